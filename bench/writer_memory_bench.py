#!/usr/bin/env python3
"""The writing device's memory while it records many new files. Two velbor_test_peer processes
over loopback: A holds a synced folder that B has paired and pulled (empty); then COUNT small
files are made inside A's folder, A records them from its file-system events and B pulls them.
Prints, per count, A's peak RSS, and its RSS once everything is pulled, the time until A has
recorded every file and until B has every file, and B's peak RSS. Printed, not asserted.

Usage: writer_memory_bench.py TEST_PEER [WORK_DIR]
WRITER_BENCH_COUNTS   comma-separated file counts, one fresh pair of devices each
                      (default 100000,1000000; each file takes a 4 KiB block on both sides)
WRITER_BENCH_PER_DIR  files per folder (default 1000)
WRITER_BENCH_WRAP     a command put before A's program, e.g. "heaptrack -o /tmp/writer"
Every run uses fresh folders and removes them at the end (unless WORK_DIR was given).
"""
import os
import shlex
import shutil
import subprocess
import sys
import tempfile
import time

from bench_peer import Peer, base_port, befriend

PEER = os.path.abspath(sys.argv[1])
WORK = sys.argv[2] if len(sys.argv) > 2 else tempfile.mkdtemp(prefix="velbor-writer-bench-")
os.makedirs(WORK, exist_ok=True)
BASE_PORT = base_port(17000)
COUNTS = [int(n) for n in os.environ.get("WRITER_BENCH_COUNTS", "100000,1000000").split(",") if n]
PER_DIR = int(os.environ.get("WRITER_BENCH_PER_DIR", "1000"))
WRAP = shlex.split(os.environ.get("WRITER_BENCH_WRAP", ""))
# A pull that makes no progress for this long counts as stuck.
STALL_SECONDS = 600


def count_files(root):
    total = 0
    for entry in os.scandir(root):
        if entry.is_dir(follow_symlinks=False):
            total += sum(1 for name in os.listdir(entry.path) if not name.endswith(".Velbor.Download"))
    return total


def drop_files(root, count):
    data = b"x" * 100
    for i in range(count):
        if i % PER_DIR == 0:
            folder = os.path.join(root, "d%05d" % (i // PER_DIR))
            os.mkdir(folder)
        with open(os.path.join(folder, "f%07d" % i), "wb") as out:
            out.write(data)


def wait_for(what, probe, goal, sample):
    """Polls probe() until it reaches goal; sample() runs between polls. Raises when stuck."""
    last, since = -1, time.time()
    while True:
        now = probe()
        if now >= goal:
            return
        if now != last:
            last, since = now, time.time()
        elif time.time() - since > STALL_SECONDS:
            raise RuntimeError("%s stuck at %d of %d" % (what, now, goal))
        sample()
        time.sleep(1)


def run(count):
    run_dir = os.path.join(WORK, "run-%d" % count)
    home_a, home_b = os.path.join(run_dir, "a"), os.path.join(run_dir, "b")
    tree_a, tree_b = os.path.join(home_a, "tree"), os.path.join(home_b, "tree")
    os.makedirs(tree_a)
    os.makedirs(tree_b)
    # Longer waits than the other benchmarks': a peer under heaptrack starts and ends slowly, and
    # one with a million records takes its time to close.
    a = Peer(PEER, home_a, BASE_PORT, 0, False, WRAP, start_wait=120, quit_wait=60, exit_wait=120)
    b = Peer(PEER, home_b, BASE_PORT, 1, True, start_wait=120, quit_wait=60, exit_wait=120)
    folders = (count + PER_DIR - 1) // PER_DIR
    try:
        befriend(a, b)
        if not a.command("tree-add " + tree_a).get("ok"):
            raise RuntimeError("tree-add failed")
        paired = b.command("pair %s %s %s" % (tree_b, a.uuid, tree_a))
        if not paired.get("ok"):
            raise RuntimeError("pair: %r" % paired)
        b.command("sync", 3600)
        idle_rss = a.rss_kib("VmRSS")
        highest = [idle_rss]

        def sample():
            highest[0] = max(highest[0], a.rss_kib("VmRSS"))

        start = time.time()
        drop_files(tree_a, count)
        made = time.time() - start
        # One record per file and folder of A's only copy.
        wait_for("recording", lambda: a.command("status")["records"], count + folders, sample)
        recorded = time.time() - start
        # The change notices start the pulls; one more asks for whatever a notice missed.
        b.command("sync", 3600)
        wait_for("pull", lambda: count_files(tree_b), count, sample)
        pulled = time.time() - start
        sample()
        return (made, recorded, pulled, a.rss_kib("VmHWM"), highest[0], a.rss_kib("VmRSS"), idle_rss,
                b.rss_kib("VmHWM"))
    finally:
        a.stop()
        b.stop()


def main():
    print("%10s %8s %10s %10s %12s %12s %12s %12s %12s %12s" % (
        "new files", "made s", "recorded s", "pulled s", "pull files/s", "writer peak", "writer seen",
        "writer end", "writer idle", "puller peak"))
    print("%10s %8s %10s %10s %12s %12s %12s %12s %12s %12s" % ("", "", "", "", "", "MiB", "MiB", "MiB", "MiB",
                                                                "MiB"))
    try:
        for count in COUNTS:
            made, recorded, pulled, peak, seen, end, idle, puller = run(count)
            print("%10d %8.1f %10.1f %10.1f %12.0f %12.1f %12.1f %12.1f %12.1f %12.1f" % (
                count, made, recorded, pulled, count / pulled, peak / 1024, seen / 1024, end / 1024, idle / 1024,
                puller / 1024), flush=True)
    finally:
        if len(sys.argv) <= 2:
            shutil.rmtree(WORK, ignore_errors=True)


if __name__ == "__main__":
    main()
