#!/usr/bin/env python3
"""One pull between two velbor_test_peer processes over loopback, beside `rsync -a` of the same
tree to an rsync daemon, per data set. Prints time, rate, ratio and each side's peak RSS, and
for context `rsync -a --fsync`: velbor flushes each file to the disk before it is in place, so
on a slow disk its time is bound by the disk's write speed, which plain rsync never waits for.

Usage: pull_bench.py TEST_PEER [WORK_DIR]
PULL_BENCH_SETS (big, small, tiny, comma-separated; all by default) picks the data sets.
PULL_BENCH_PROFILE=DIR records a perf profile of both peers during each pull into DIR/KIND.data.
Every run uses fresh folders (files made right after deleting many others are slow to create
on some disks) and removes them only at the end.
"""
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time

from bench_peer import PeakSampler, Peer, base_port, befriend, manifest, settle, status_kib

PEER = os.path.abspath(sys.argv[1])
WORK = sys.argv[2] if len(sys.argv) > 2 else tempfile.mkdtemp(prefix="velbor-pull-bench-")
os.makedirs(WORK, exist_ok=True)
BASE_PORT = base_port(12000)
RSYNC_PORT = BASE_PORT + 9


def make_tree(root, kind):
    os.makedirs(root)
    rng = random.Random(11)
    if kind == "big":
        block = os.urandom(1 << 20)
        for i in range(4):
            with open(os.path.join(root, "big-%d.bin" % i), "wb") as out:
                for j in range(256):
                    out.write(block[j:] + block[:j])
        return 4 * (256 << 20), 4
    count, low, high = (2000, 1024, 64 * 1024) if kind == "small" else (10000, 100, 100)
    total = 0
    for i in range(count):
        folder = os.path.join(root, "d%02d" % (i % 50))
        os.makedirs(folder, exist_ok=True)
        size = rng.randint(low, high)
        with open(os.path.join(folder, "f%05d" % i), "wb") as out:
            out.write(os.urandom(size))
        total += size
    return total, count


def write_back(source):
    """Puts every timed run in the same state. Every dirty page goes to the disk: a tree just made
    (or a run just before) would otherwise be written back during the next timed run and slow its
    flushes. Then, where allowed, the page cache is emptied and the source read back into it: on a
    virtual machine whose host lends memory lazily, writing into pages the guest has not used of
    late costs several times more than into pages just freed (1 GiB took 0.2 s or 2.7 s by turns),
    so without this the run that happened to come after a large free was the fast one."""
    os.sync()
    try:
        with open("/proc/sys/vm/drop_caches", "w") as caches:
            caches.write("3\n")
    except OSError as error:
        # Said once: without it the runs are compared from whatever state the last one left.
        if not getattr(write_back, "told", False):
            write_back.told = True
            print("page cache not dropped (%s): timed runs do not start from the same memory state" % error,
                  file=sys.stderr, flush=True)
        return
    for folder, _, files in os.walk(source):
        for name in files:
            with open(os.path.join(folder, name), "rb") as data:
                while data.read(1 << 20):
                    pass


def children_peak_kib(parent):
    """The highest peak RSS among the rsync daemon's children (one per connection)."""
    try:
        with open("/proc/%d/task/%d/children" % (parent, parent)) as f:
            children = f.read().split()
    except OSError:
        children = []
    peak = 0
    for child in children:
        try:
            peak = max(peak, status_kib(int(child), "VmHWM"))
        except OSError:
            pass
    return peak


def run_rsync(source, sink, daemon, flush=False):
    os.makedirs(sink)
    name = os.path.basename(sink)
    write_back(source)
    peak = PeakSampler(lambda: children_peak_kib(daemon.pid))
    start = time.time()
    # With flush, the daemon's end makes each file durable before it is in place, as velbor does.
    args = ["rsync", "-a"] + (["--fsync"] if flush else [])
    client = subprocess.Popen(args + [source + "/", "rsync://127.0.0.1:%d/sink/%s/" % (RSYNC_PORT, name)])
    _, status, usage = os.wait4(client.pid, 0)
    client.returncode = status
    want = manifest(source, folders=True)
    while manifest(sink, folders=True) != want:
        time.sleep(0.01)
    seconds = time.time() - start
    return seconds, usage.ru_maxrss, peak.stop()


def start_profile(kind, a, b):
    folder = os.environ.get("PULL_BENCH_PROFILE")
    if not folder:
        return None
    os.makedirs(folder, exist_ok=True)
    return subprocess.Popen(["perf", "record", "-q", "-g", "-F", "999", "-o", os.path.join(folder, kind + ".data"),
                             "-p", "%d,%d" % (a.proc.pid, b.proc.pid)], stderr=subprocess.DEVNULL)


def stop_profile(profile):
    if profile:
        profile.send_signal(signal.SIGINT)
        profile.wait()


def run_velbor(kind, source_kind):
    run = os.path.join(WORK, "velbor-" + kind)
    home_a, home_b = os.path.join(run, "a"), os.path.join(run, "b")
    tree_a, tree_b = os.path.join(home_a, "tree"), os.path.join(home_b, "tree")
    os.makedirs(home_a)
    size, count = make_tree(tree_a, source_kind)
    os.makedirs(tree_b)
    a, b = Peer(PEER, home_a, BASE_PORT, 0, False), Peer(PEER, home_b, BASE_PORT, 1, True)
    try:
        befriend(a, b)
        if not a.command("tree-add " + tree_a).get("ok"):
            raise RuntimeError("tree-add failed")
        settle(a)
        want = manifest(tree_a, folders=True)
        write_back(tree_a)
        profile = start_profile(kind, a, b)
        start = time.time()
        paired = b.command("pair %s %s %s" % (tree_b, a.uuid, tree_a))
        if not paired.get("ok"):
            raise RuntimeError("pair: %r" % paired)
        b.command("sync", 3600)
        while manifest(tree_b, folders=True) != want:
            time.sleep(0.05)
        seconds = time.time() - start
        stop_profile(profile)
        return size, count, seconds, a.status_kib("VmHWM"), b.status_kib("VmHWM"), tree_a
    finally:
        a.stop()
        b.stop()


def main():
    rsync_root = os.path.join(WORK, "rsync-sink")
    os.makedirs(rsync_root)
    conf = os.path.join(WORK, "rsyncd.conf")
    with open(conf, "w") as out:
        out.write("[sink]\n path = %s\n read only = false\n uid = root\n gid = root\n use chroot = no\n" % rsync_root)
    daemon = subprocess.Popen(["rsync", "--daemon", "--no-detach", "--config=" + conf, "--port=%d" % RSYNC_PORT])
    time.sleep(0.5)
    print("%-28s %10s %10s %12s %8s %12s %12s %12s %14s" % (
        "data set", "velbor s", "rsync s", "velbor rate", "ratio", "sender MiB", "puller MiB", "rsync MiB",
        "rsync --fsync s"))
    try:
        wanted = os.environ.get("PULL_BENCH_SETS", "big,small,tiny").split(",")
        for kind, label in (("big", "4 x 256 MiB"), ("small", "2,000 x 1-64 KiB"), ("tiny", "10,000 x 100 B")):
            if kind not in wanted:
                continue
            size, count, seconds, rss_a, rss_b, tree_a = run_velbor(kind, kind)
            rsync_seconds, rss_client, rss_daemon = run_rsync(tree_a, os.path.join(rsync_root, kind), daemon)
            flushed_seconds = run_rsync(tree_a, os.path.join(rsync_root, kind + "-fsync"), daemon, flush=True)[0]
            rate = "%.1f MB/s" % (size / 1e6 / seconds) if kind == "big" else "%.0f files/s" % (count / seconds)
            rsync_rate = "%.1f MB/s" % (size / 1e6 / rsync_seconds) if kind == "big" else \
                "%.0f files/s" % (count / rsync_seconds)
            print("%-28s %10.2f %10.2f %12s %8.2f %12.1f %12.1f %12s %14.2f   (rsync %s)" % (
                label, seconds, rsync_seconds, rate, seconds / rsync_seconds, rss_a / 1024, rss_b / 1024,
                "%.1f/%.1f" % (rss_client / 1024, rss_daemon / 1024), flushed_seconds, rsync_rate), flush=True)
    finally:
        daemon.send_signal(signal.SIGTERM)
        daemon.wait()
        if len(sys.argv) <= 2:
            shutil.rmtree(WORK, ignore_errors=True)


if __name__ == "__main__":
    main()
