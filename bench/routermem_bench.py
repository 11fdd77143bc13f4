#!/usr/bin/env python3
"""What hostile hosts make one device's router hold. Per scenario a fresh device A serves a tree
(a 64 MiB file the attacker asks for, and 256 MiB more) and a good peer B pulls all of it from
A while the attack runs:
  - a trusted device that asks for 1 MiB parts on 1 or 6 connections and reads none of them;
  - sixteen connections from nobody A trusts, each sending 60 MiB frames without end;
  - four hosts sending A's request port a request of empty frames without end
    (bench/empty_frames_flood.py);
  - sixteen hosts subscribing to A's publisher with the largest subscriptions it takes, while
    a file of A's tree changes every second (bench/subscription_flood.py).
Prints, per scenario, A's resident memory before, its peak during the attack (sampled, and the
kernel's high-water mark), what it holds 5 s and 60 s after the attacker left and when it first
was under 100 MiB again, and how long B's pull took. All hosts are on loopback.

Usage: routermem_bench.py TEST_PEER ROUTER_FLOOD [WORK_DIR]
ROUTERMEM_BENCH_SECONDS (default 30) is how long each attack lasts; ROUTERMEM_BENCH_ONLY=TEXT runs
only the scenarios whose label has TEXT.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

from bench_peer import PeakSampler, Peer, base_port, befriend, manifest, mib, settle

PEER = os.path.abspath(sys.argv[1])
FLOOD = os.path.abspath(sys.argv[2])
WORK = sys.argv[3] if len(sys.argv) > 3 else tempfile.mkdtemp(prefix="velbor-routermem-bench-")
os.makedirs(WORK, exist_ok=True)
# Beside the pull benchmark's.
BASE_PORT = base_port(14000)
ATTACK_SECONDS = int(os.environ.get("ROUTERMEM_BENCH_SECONDS", "30"))
# Only the scenarios whose label has this text (all when unset).
ONLY = os.environ.get("ROUTERMEM_BENCH_ONLY", "")
SETTLE_SECONDS = 60
MIB = 1 << 20
SUBSCRIPTION_FLOOD = os.path.join(os.path.dirname(os.path.abspath(__file__)), "subscription_flood.py")
EMPTY_FRAMES_FLOOD = os.path.join(os.path.dirname(os.path.abspath(__file__)), "empty_frames_flood.py")
# The largest subscription frame the publisher takes (QoPublisher::kMaxSubscriptionBytes):
# a flag byte and the prefix.
SUBSCRIPTION_BYTES = 255


def make_tree(root):
    os.makedirs(root)
    block = os.urandom(MIB)
    for name, size in (("target.bin", 64), ("good-0.bin", 128), ("good-1.bin", 128)):
        with open(os.path.join(root, name), "wb") as out:
            for j in range(size):
                out.write(block[j:] + block[:j])


def scenario(label, mode, connections):
    run = os.path.join(WORK, label.replace(" ", "-"))
    home_a, home_b, home_m = (os.path.join(run, name) for name in ("a", "b", "m"))
    tree_a, tree_b = os.path.join(home_a, "tree"), os.path.join(home_b, "tree")
    os.makedirs(home_a)
    make_tree(tree_a)
    os.makedirs(tree_b)
    a, b = Peer(PEER, home_a, BASE_PORT, 0, True), Peer(PEER, home_b, BASE_PORT, 1, False)
    flood = None
    try:
        befriend(b, a)
        added = a.command("tree-add " + tree_a)
        if not added.get("ok"):
            raise RuntimeError("tree-add failed: %r" % added)
        settle(a)
        endpoint = "tcp://127.0.0.1:%d" % a.command("info")["routerPort"]
        if mode == "silent":
            m = Peer(PEER, home_m, BASE_PORT, 2, False)
            befriend(m, a)
            m.stop()
            args = [FLOOD, "silent", endpoint, a.uuid, added["treeUuid"], "/target.bin", str(connections),
                    str(ATTACK_SECONDS)]
        elif mode == "junk":
            args = [FLOOD, "junk", endpoint, str(connections), str(ATTACK_SECONDS), "60"]
        elif mode == "empty frames":
            args = [EMPTY_FRAMES_FLOOD, "127.0.0.1", str(a.command("info")["routerPort"]), str(connections),
                    str(ATTACK_SECONDS)]
        elif mode == "subscriptions":
            publisher = "tcp://127.0.0.1:%d" % a.command("info")["publisherPort"]
            args = [SUBSCRIPTION_FLOOD, publisher, str(connections), str(ATTACK_SECONDS),
                    str(SUBSCRIPTION_BYTES), os.path.join(tree_a, "touched.txt")]
        else:
            args = None
        before = a.status_kib("VmRSS")
        sampler = PeakSampler(lambda: a.status_kib("VmRSS"))
        started = time.time()
        if args:
            flood_log = open(os.path.join(run, "flood.log"), "wb")
            # Named as the test peer, whose database (named after the process) it opens.
            if mode in ("subscriptions", "empty frames"):
                flood = subprocess.Popen(["/usr/bin/python3"] + args, stdout=subprocess.PIPE, stderr=flood_log)
            else:
                flood = subprocess.Popen([os.path.basename(PEER)] + args[1:], executable=FLOOD,
                                         stdout=subprocess.PIPE, stderr=flood_log, env=dict(os.environ, HOME=home_m))
            # The attack in full swing before the good peer starts.
            time.sleep(3)
        pull_start = time.time()
        if not b.command("pair %s %s %s" % (tree_b, a.uuid, tree_a)).get("ok"):
            raise RuntimeError("pair failed")
        want = manifest(tree_a)
        pulled = None
        deadline = pull_start + max(ATTACK_SECONDS, 60) + 60
        while time.time() < deadline:
            b.command("sync", 600)
            if manifest(tree_b) == want:
                pulled = time.time() - pull_start
                break
            time.sleep(0.5)
        sent = ""
        if flood:
            out, _ = flood.communicate(timeout=ATTACK_SECONDS + 60)
            sent = out.decode().strip()
        left = time.time()
        peak = sampler.stop()
        at5 = at60 = under100 = None
        while time.time() - left < SETTLE_SECONDS:
            time.sleep(1)
            rss = a.status_kib("VmRSS")
            elapsed = time.time() - left
            if at5 is None and elapsed >= 5:
                at5 = rss
            if under100 is None and rss < 100 * 1024:
                under100 = elapsed
        at60 = a.status_kib("VmRSS")
        hwm = a.status_kib("VmHWM")
        return before, peak, hwm, at5, at60, under100, pulled, time.time() - started, sent
    finally:
        if flood and flood.poll() is None:
            flood.kill()
            flood.wait()
        a.stop()
        b.stop()


def main():
    print("%-34s %8s %8s %8s %8s %8s %10s %10s  %s" % (
        "scenario (A = attacked device)", "before", "peak", "A HWM", "+5 s", "+60 s", "<100 MiB", "B pull s",
        "attacker sent"))
    print("%-34s %8s %8s %8s %8s %8s %10s %10s" % ("", "MiB", "MiB", "MiB", "MiB", "MiB", "after s", "(320 MiB)"))
    try:
        for label, mode, connections in (("no attack", "none", 0),
                                         ("trusted, reads nothing, 1 conn", "silent", 1),
                                         ("trusted, reads nothing, 6 conns", "silent", 6),
                                         ("untrusted, 60 MiB frames, 16 conns", "junk", 16),
                                         ("empty frames, 4 hosts", "empty frames", 4),
                                         ("subscriptions, 16 hosts", "subscriptions", 16)):
            if ONLY not in label:
                continue
            before, peak, hwm, at5, at60, under100, pulled, _, sent = scenario(label, mode, connections)
            print("%-34s %8s %8s %8s %8s %8s %10s %10s  %s" % (
                label, mib(before), mib(peak), mib(hwm), mib(at5), mib(at60),
                "-" if under100 is None else "%.0f" % under100,
                "not done" if pulled is None else "%.1f" % pulled, sent), flush=True)
    finally:
        if len(sys.argv) <= 3:
            shutil.rmtree(WORK, ignore_errors=True)


if __name__ == "__main__":
    main()
