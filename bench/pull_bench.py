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
import json
import os
import random
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

PEER = os.path.abspath(sys.argv[1])
WORK = sys.argv[2] if len(sys.argv) > 2 else tempfile.mkdtemp(prefix="velbor-pull-bench-")
os.makedirs(WORK, exist_ok=True)
# Below the ephemeral range (32768 and up), where the system hands out ports to connections,
# and beside the tests' range (20000-32000).
BASE_PORT = 12000 + (os.getpid() % 500) * 10
RSYNC_PORT = BASE_PORT + 9


class Peer:
    def __init__(self, home, slot, accept):
        os.makedirs(home, exist_ok=True)
        base = BASE_PORT + slot * 3
        args = [PEER, "--router-port", str(base), "--publisher-port", str(base + 1), "--udp-port", str(base + 2),
                "--online-timeout", "100000"]
        if accept:
            args.append("--accept-trust")
        self.log = open(os.path.join(home, "peer.log"), "wb")
        self.proc = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self.log,
                                     env=dict(os.environ, HOME=home))
        self.buffer = b""
        ready = self.read(60)
        if not ready or not ready.get("ok"):
            raise RuntimeError("peer did not start: %r" % ready)
        self.uuid = ready["uuid"]

    def read(self, wait):
        deadline = time.time() + wait
        while b"\n" not in self.buffer:
            left = deadline - time.time()
            if left <= 0 or not select.select([self.proc.stdout], [], [], left)[0]:
                return None
            chunk = os.read(self.proc.stdout.fileno(), 65536)
            if not chunk:
                return None
            self.buffer += chunk
        line, self.buffer = self.buffer.split(b"\n", 1)
        return json.loads(line)

    def command(self, line, wait=600):
        self.proc.stdin.write((line + "\n").encode())
        self.proc.stdin.flush()
        return self.read(wait)

    def peak_rss_kib(self):
        with open("/proc/%d/status" % self.proc.pid) as status:
            for row in status:
                if row.startswith("VmHWM:"):
                    return int(row.split()[1])
        return -1

    def stop(self):
        try:
            self.command("quit", 30)
        except (BrokenPipeError, OSError):
            pass
        try:
            self.proc.wait(30)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.log.close()


def manifest(root):
    items = {}
    for folder, dirs, files in os.walk(root):
        for name in files:
            if name.endswith(".Velbor.Download"):
                continue
            path = os.path.join(folder, name)
            items[os.path.relpath(path, root)] = os.stat(path).st_size
        for name in dirs:
            items[os.path.relpath(os.path.join(folder, name), root) + "/"] = -1
    return items


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


def settle(peer):
    last, still = peer.command("status")["usn"], 0
    while still < 3:
        time.sleep(0.5)
        now = peer.command("status")["usn"]
        still = still + 1 if now == last else 0
        last = now


def introduce(one, other):
    info = other.command("info")
    added = one.command("device-add %s tcp://127.0.0.1:%d tcp://127.0.0.1:%d %s" % (
        other.uuid, info["routerPort"], info["publisherPort"], info["publicKey"]))
    if not added.get("ok"):
        raise RuntimeError("device-add: %r" % added)


class PeakOfChildren:
    """Samples the peak RSS of the rsync daemon's children (one per connection) while it runs."""

    def __init__(self, parent):
        self.parent, self.peak, self.running = parent, 0, True
        self.thread = threading.Thread(target=self.loop)
        self.thread.start()

    def loop(self):
        while self.running:
            try:
                with open("/proc/%d/task/%d/children" % (self.parent, self.parent)) as f:
                    children = f.read().split()
            except OSError:
                children = []
            for child in children:
                try:
                    with open("/proc/%s/status" % child) as status:
                        for row in status:
                            if row.startswith("VmHWM:"):
                                self.peak = max(self.peak, int(row.split()[1]))
                except OSError:
                    pass
            time.sleep(0.02)

    def stop(self):
        self.running = False
        self.thread.join()
        return self.peak


def run_rsync(source, sink, daemon, flush=False):
    os.makedirs(sink)
    name = os.path.basename(sink)
    write_back(source)
    peak = PeakOfChildren(daemon.pid)
    start = time.time()
    # With flush, the daemon's end makes each file durable before it is in place, as velbor does.
    args = ["rsync", "-a"] + (["--fsync"] if flush else [])
    client = subprocess.Popen(args + [source + "/", "rsync://127.0.0.1:%d/sink/%s/" % (RSYNC_PORT, name)])
    _, status, usage = os.wait4(client.pid, 0)
    client.returncode = status
    want = manifest(source)
    while manifest(sink) != want:
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
    a, b = Peer(home_a, 0, False), Peer(home_b, 1, True)
    try:
        introduce(a, b)
        introduce(b, a)
        if a.command("trust " + b.uuid).get("result") != "accepted":
            raise RuntimeError("trust not accepted")
        if not a.command("tree-add " + tree_a).get("ok"):
            raise RuntimeError("tree-add failed")
        settle(a)
        want = manifest(tree_a)
        write_back(tree_a)
        profile = start_profile(kind, a, b)
        start = time.time()
        paired = b.command("pair %s %s %s" % (tree_b, a.uuid, tree_a))
        if not paired.get("ok"):
            raise RuntimeError("pair: %r" % paired)
        b.command("sync", 3600)
        while manifest(tree_b) != want:
            time.sleep(0.05)
        seconds = time.time() - start
        stop_profile(profile)
        return size, count, seconds, a.peak_rss_kib(), b.peak_rss_kib(), tree_a
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
