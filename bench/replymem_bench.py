#!/usr/bin/env python3
"""What hosts that answer without end make one device (A) hold, through each socket of A that
waits for something from the network. Per scenario a fresh A (and a trusted device M where one
is needed) runs while hosts on loopback send one message of empty frames that never ends (the
cheapest to send, about 32 times its bytes to ZeroMQ) in answer to:
  - endpoint challenges A makes to four addresses at once, again and again;
  - A's find requests to M, and then A's part requests to M (a relay passes everything else
    on to M; files M gets during the attack must reach A once it ends: "pull" is how long
    that took);
  - A's subscription to M's publisher (M trusted);
and 600 connections subscribing to A's publisher and cancelling it in a loop.
Prints A's resident memory before, its peak during the attack (sampled, and the kernel's
high-water mark), what it holds 30 s after the attack ended and when it was first under
100 MiB again, and what the attackers sent.

Usage: replymem_bench.py TEST_PEER [WORK_DIR]
REPLYMEM_BENCH_SECONDS (default 30) is how long each attack lasts (the subscription loop: 120);
REPLYMEM_BENCH_ONLY=TEXT runs only the scenarios whose label has TEXT.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

from bench_peer import PeakSampler, Peer, base_port, manifest, mib, settle
import zmtp_hosts

PEER = os.path.abspath(sys.argv[1])
WORK = sys.argv[2] if len(sys.argv) > 2 else tempfile.mkdtemp(prefix="velbor-replymem-bench-")
os.makedirs(WORK, exist_ok=True)
BASE_PORT = base_port(15000)
ATTACK_SECONDS = int(os.environ.get("REPLYMEM_BENCH_SECONDS", "30"))
ONLY = os.environ.get("REPLYMEM_BENCH_ONLY", "")
SETTLE_SECONDS = 30
MIB = 1 << 20
HERE = os.path.dirname(os.path.abspath(__file__))


def make_tree(root):
    os.makedirs(root)
    block = os.urandom(MIB)
    for i in range(32):
        with open(os.path.join(root, "small-%02d.txt" % i), "wb") as out:
            out.write(block[i:i + 4096])
    with open(os.path.join(root, "large.bin"), "wb") as out:
        for j in range(64):
            out.write(block[j:] + block[:j])


def add_device(one, other, route, pub):
    info = other.command("info")
    added = one.command("device-add %s %s %s %s" % (other.uuid, route, pub, info["publicKey"]))
    if not added.get("ok"):
        raise RuntimeError("device-add: %r" % added)


def trust(a, m, route, pub):
    """A knows M at route and pub, M knows A, and each trusts the other (M started with
    --accept-trust)."""
    add_device(a, m, route, pub)
    info = a.command("info")
    add_device(m, a, "tcp://127.0.0.1:%d" % info["routerPort"], "tcp://127.0.0.1:%d" % info["publisherPort"])
    if a.command("trust " + m.uuid).get("result") != "accepted":
        raise RuntimeError("trust not accepted")


def ports(peer):
    info = peer.command("info")
    return info["routerPort"], info["publisherPort"]


def measure(a, attack, stop):
    """A's memory around attack() (which returns once the attack is under way and ends when
    stop() is called after ATTACK_SECONDS)."""
    before = a.status_kib("VmRSS")
    sampler = PeakSampler(lambda: a.status_kib("VmRSS"))
    attack()
    stop()
    peak = sampler.stop()
    left = time.time()
    under100 = None
    while time.time() - left < SETTLE_SECONDS:
        time.sleep(1)
        if under100 is None and a.status_kib("VmRSS") < 100 * 1024:
            under100 = time.time() - left
    return before, peak, a.status_kib("VmHWM"), a.status_kib("VmRSS"), under100


def run_for(seconds, step):
    end = time.time() + seconds
    while time.time() < end:
        step()


def challenges(run):
    a = Peer(PEER, os.path.join(run, "a"), BASE_PORT, 0, False)
    m = Peer(PEER, os.path.join(run, "m"), BASE_PORT, 1, True)
    sent, servers = [0], []
    try:
        port = BASE_PORT + 9
        routes = ["tcp://127.0.0.%d:%d" % (host, port) for host in range(2, 6)]
        add_device(a, m, *["tcp://127.0.0.1:%d" % p for p in ports(m)])
        servers = [zmtp_hosts.Server("127.0.0.%d" % host, port, zmtp_hosts.endless_answerer("ROUTER", sent))
                   for host in range(2, 6)]
        outcomes = set()

        def attack():
            def step():
                outcomes.update(a.command("challenge %s 5000 %s" % (m.uuid, ",".join(routes)))["outcomes"])
            run_for(ATTACK_SECONDS, step)

        def stop():
            for server in servers:
                server.stop()

        figures = measure(a, attack, stop)
        return figures + ("%d MiB; %s" % (sent[0] >> 20, ", ".join(sorted(outcomes))), None)
    finally:
        a.stop()
        m.stop()


def pull_under_attack(run, kind):
    """A pulls M's tree through a relay that answers A's requests of socket type kind without
    end; afterwards it passes everything and the pull must complete."""
    a = Peer(PEER, os.path.join(run, "a"), BASE_PORT, 0, False)
    m = Peer(PEER, os.path.join(run, "m"), BASE_PORT, 1, True)
    sent, mode, relay = [0], ["pass"], None
    try:
        tree_m, tree_a = os.path.join(run, "m", "tree"), os.path.join(run, "a", "tree")
        make_tree(tree_m)
        os.makedirs(tree_a)
        router, publisher = ports(m)
        relay_port = BASE_PORT + 9
        relay = zmtp_hosts.Server("127.0.0.1", relay_port, zmtp_hosts.relay(("127.0.0.1", router), mode, sent))
        trust(a, m, "tcp://127.0.0.1:%d" % relay_port, "tcp://127.0.0.1:%d" % publisher)
        if not m.command("tree-add " + tree_m).get("ok"):
            raise RuntimeError("tree-add failed")
        settle(m)
        if not a.command("pair %s %s %s" % (tree_a, m.uuid, tree_m)).get("ok"):
            raise RuntimeError("pair failed")
        mode[0] = kind

        def attack():
            # What A has yet to pull when the attack ends.
            block = os.urandom(MIB)
            with open(os.path.join(tree_m, "late.bin"), "wb") as out:
                for j in range(32):
                    out.write(block[j:] + block[:j])
            for i in range(8):
                with open(os.path.join(tree_m, "late-%d.txt" % i), "wb") as out:
                    out.write(block[i:i + 1000])
            run_for(ATTACK_SECONDS, lambda: (a.command("sync", 600), time.sleep(0.2)))

        def stop():
            mode[0] = "pass"

        figures = measure(a, attack, stop)
        want, pulled, started = manifest(tree_m), None, time.time()
        while time.time() - started < 120:
            a.command("sync", 600)
            if manifest(tree_a) == want:
                pulled = time.time() - started
                break
            time.sleep(0.5)
        return figures + ("%d MiB" % (sent[0] >> 20), pulled)
    finally:
        if relay:
            relay.stop()
        a.stop()
        m.stop()


def endless_notice(run):
    a = Peer(PEER, os.path.join(run, "a"), BASE_PORT, 0, False)
    m = Peer(PEER, os.path.join(run, "m"), BASE_PORT, 1, True)
    sent, host = [0], None
    try:
        router, _ = ports(m)
        pub_port = BASE_PORT + 9
        trust(a, m, "tcp://127.0.0.1:%d" % router, "tcp://127.0.0.1:%d" % pub_port)
        # A pairing makes A take M as trusted at once (else at discovery's next refresh).
        tree_m, tree_a = os.path.join(run, "m", "tree"), os.path.join(run, "a", "tree")
        os.makedirs(tree_m)
        os.makedirs(tree_a)
        if not m.command("tree-add " + tree_m).get("ok"):
            raise RuntimeError("tree-add failed")
        if not a.command("pair %s %s %s" % (tree_a, m.uuid, tree_m)).get("ok"):
            raise RuntimeError("pair failed")

        def attack():
            nonlocal host
            host = zmtp_hosts.Server("127.0.0.1", pub_port, zmtp_hosts.endless_answerer("PUB", sent))
            time.sleep(ATTACK_SECONDS)

        def stop():
            host.stop()

        figures = measure(a, attack, stop)
        return figures + ("%d MiB" % (sent[0] >> 20), None)
    finally:
        a.stop()
        m.stop()


def subscribe_cancel(run):
    a = Peer(PEER, os.path.join(run, "a"), BASE_PORT, 0, False)
    flood = None
    try:
        _, publisher = ports(a)
        out = []

        def attack():
            nonlocal flood
            flood = subprocess.Popen([sys.executable, os.path.join(HERE, "subscribe_cancel_flood.py"), "127.0.0.1",
                                      str(publisher), "600", str(max(ATTACK_SECONDS, 120))], stdout=subprocess.PIPE)
            out.append(flood.communicate()[0].decode().strip())

        figures = measure(a, attack, lambda: None)
        return figures + (out[0], None)
    finally:
        if flood and flood.poll() is None:
            flood.kill()
            flood.wait()
        a.stop()


def main():
    print("%-36s %7s %7s %7s %7s %9s %7s  %s" % ("scenario (A = attacked device)", "before", "peak", "A HWM",
                                                "+30 s", "<100 MiB", "pull", "attackers sent"))
    print("%-36s %7s %7s %7s %7s %9s %7s" % ("", "MiB", "MiB", "MiB", "MiB", "after s", "s"))
    scenarios = (("challenges, 4 addresses", challenges),
                 ("find answers", lambda run: pull_under_attack(run, "REQ")),
                 ("part answers", lambda run: pull_under_attack(run, "DEALER")),
                 ("trusted publisher's notice", endless_notice),
                 ("600 subscribe/cancel connections", subscribe_cancel))
    try:
        for label, scenario in scenarios:
            if ONLY not in label:
                continue
            run = os.path.join(WORK, label.replace(" ", "-").replace("/", "-").replace(",", "").replace("'", ""))
            before, peak, hwm, settled, under100, sent, pulled = scenario(run)
            print("%-36s %7s %7s %7s %7s %9s %7s  %s" % (
                label, mib(before), mib(peak), mib(hwm), mib(settled),
                "-" if under100 is None else "%.0f" % under100,
                "-" if pulled is None else "%.1f" % pulled, sent), flush=True)
    finally:
        if len(sys.argv) <= 2:
            shutil.rmtree(WORK, ignore_errors=True)


if __name__ == "__main__":
    main()
