#!/usr/bin/env python3
"""What one host with no token makes a device (A) hold and spend through its guarded ports:
  - 200 connections to A's publisher port, each subscribing to everything and cancelling it
    again as ZMTP 3.1 commands (what libzmq's own SUB sockets send) in a loop; a connection
    that is cut or refused is made again at once;
  - 7,000 connections to A's request port, and then to its publisher port, each sending the
    greeting and READY and then nothing; one that ends is made again 5 s later;
  - 4 connections to A's request port sending false encrypted status requests in a loop (they
    name the trusted device M, with a random key and signature: A unwraps the key with its
    private key before it finds the signature false); one that ends is made again at once;
  - the same, but each connection sends its requests once, after A's greeting, and ends at
    once (gone before A reads them); it is made again at once.
The attacker is 127.0.0.2. Meanwhile a trusted device M (127.0.0.1) pulls a tree of A's again
and again and asks A for its status: both must complete during the attack ("pulls" and
"status" give how many did, of how many tried, and the longest pull).
Prints A's resident memory before, at its peak and 30 s after the attack, its descriptors at
the peak and after, and the processor time it spent during the attack, in cores.

Usage: connflood_bench.py TEST_PEER [WORK_DIR]
CONNFLOOD_BENCH_ONLY=TEXT runs only the scenarios whose label has TEXT.
"""
import errno
import os
import resource
import selectors
import shutil
import socket
import struct
import sys
import tempfile
import threading
import time

from bench_peer import PeakSampler, Peer, base_port, manifest, mib
from zmtp_hosts import frame, ready

PEER = os.path.abspath(sys.argv[1])
WORK = sys.argv[2] if len(sys.argv) > 2 else tempfile.mkdtemp(prefix="velbor-connflood-bench-")
os.makedirs(WORK, exist_ok=True)
BASE_PORT = base_port(17000)
ONLY = os.environ.get("CONNFLOOD_BENCH_ONLY", "")
SETTLE_SECONDS = 30
ATTACKER = "127.0.0.2"
TICKS = os.sysconf("SC_CLK_TCK")

# ZMTP 3.1: subscriptions travel as commands.
GREETING_31 = b"\xff" + b"\x00" * 8 + b"\x7f" + bytes([3, 1]) + b"NULL" + b"\x00" * 48
CHURN = (frame(b"\x09SUBSCRIBE", command=True) + frame(b"\x06CANCEL", command=True)) * 1024


def false_requests(uuid):
    """64 status requests at level 2 (MsgHead: code 9, level 2, uuid, key, sign) from a DEALER."""
    uuid = uuid.encode()
    # Below the modulus: the key is unwrapped (a private-key operation) before it is found false.
    key, sign = b"\x01" + os.urandom(255), b"\x01" + os.urandom(255)
    head = (b"\x08\x09\x10\x02\x1a" + bytes([len(uuid)]) + uuid + b"\x22\x80\x02" + key + b"\x2a\x80\x02" +
            sign)
    return (frame(b"", more=True) + frame(head, more=True) + frame(os.urandom(32))) * 64


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def descriptors(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


class Flood:
    """COUNT connections from ATTACKER to PORT, each sending HELLO once and then LOOP (when not
    empty) as fast as it is taken; one that ends is made again AGAIN seconds later. Runs on a
    thread until stop()."""

    def __init__(self, port, count, hello, loop=b"", again=0, once=False):
        self.address, self.count, self.hello, self.loop = ("127.0.0.1", port), count, hello, loop
        self.once = once
        self.again, self.later = again, []
        self.sent = self.ended = self.made = self.missing = 0
        self.running = True
        self.selector = selectors.DefaultSelector()
        self.thread = threading.Thread(target=self.run)
        self.thread.start()

    def connect(self):
        conn = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        conn.setblocking(False)
        try:
            conn.bind((ATTACKER, 0))
            failed = conn.connect_ex(self.address) not in (0, errno.EINPROGRESS)
        except OSError:
            failed = True
        if failed:
            # Tried again on the next round.
            conn.close()
            self.missing += 1
            return False
        self.made += 1
        self.selector.register(conn, selectors.EVENT_READ | selectors.EVENT_WRITE, [self.hello])
        return True

    def run(self):
        for _ in range(self.count):
            self.connect()
        while self.running:
            retried, self.missing = self.missing, 0
            for _ in range(retried):
                self.connect()
            due = [at for at in self.later if at <= time.time()]
            self.later = [at for at in self.later if at > time.time()]
            for _ in due:
                self.connect()
            for key, events in self.selector.select(0.2):
                conn, pending = key.fileobj, key.data
                try:
                    if events & selectors.EVENT_READ and not conn.recv(65536):
                        raise ConnectionError("closed")
                    if self.once:
                        self.send_once(conn, pending, events)
                        continue
                    if events & selectors.EVENT_WRITE:
                        if not pending[0] and self.loop:
                            pending[0] = self.loop
                        if pending[0]:
                            done = conn.send(pending[0])
                            pending[0] = pending[0][done:]
                            self.sent += done
                        if not pending[0] and not self.loop:
                            self.selector.modify(conn, selectors.EVENT_READ, pending)
                except (OSError, ConnectionError):
                    self.selector.unregister(conn)
                    conn.close()
                    self.ended += 1
                    if self.again:
                        self.later.append(time.time() + self.again)
                    else:
                        self.connect()
        for key in list(self.selector.get_map().values()):
            key.fileobj.close()

    def send_once(self, conn, pending, events):
        """HELLO, then LOOP once A has greeted, then the end: pending is [left, greeted]."""
        if len(pending) == 1:
            pending.append(False)
        if events & selectors.EVENT_READ and not pending[1]:
            pending[0] += self.loop
            pending[1] = True
            self.selector.modify(conn, selectors.EVENT_READ | selectors.EVENT_WRITE, pending)
        if events & selectors.EVENT_WRITE and pending[0]:
            done = conn.send(pending[0])
            pending[0] = pending[0][done:]
            self.sent += done
        if not pending[0]:
            if pending[1]:
                raise ConnectionError("sent")
            self.selector.modify(conn, selectors.EVENT_READ, pending)

    def stop(self):
        self.running = False
        self.thread.join()
        return "%d made, %d ended, %d MiB sent" % (self.made, self.ended, self.sent >> 20)


def make_tree(root, tag):
    os.makedirs(root, exist_ok=True)
    for i in range(8):
        with open(os.path.join(root, "%s-%d.txt" % (tag, i)), "wb") as out:
            out.write(os.urandom(4096))


def scenario(run, port_of, count, hello, loop, again, seconds, once=False):
    a = Peer(PEER, os.path.join(run, "a"), BASE_PORT, 0, True)
    m = Peer(PEER, os.path.join(run, "m"), BASE_PORT, 1, True)
    try:
        info_a, info_m = a.command("info"), m.command("info")
        route_a = "tcp://127.0.0.1:%d" % info_a["routerPort"]
        pub_a = "tcp://127.0.0.1:%d" % info_a["publisherPort"]
        if not a.command("device-add %s tcp://127.0.0.1:%d tcp://127.0.0.1:%d %s" % (
                m.uuid, info_m["routerPort"], info_m["publisherPort"], info_m["publicKey"])).get("ok"):
            raise RuntimeError("device-add on A failed")
        if not m.command("device-add %s %s %s %s" % (a.uuid, route_a, pub_a, info_a["publicKey"])).get("ok"):
            raise RuntimeError("device-add on M failed")
        if m.command("trust " + a.uuid).get("result") != "accepted":
            raise RuntimeError("trust not accepted")
        tree_a, tree_m = os.path.join(run, "a", "tree"), os.path.join(run, "m", "tree")
        make_tree(tree_a, "first")
        os.makedirs(tree_m)
        if not a.command("tree-add " + tree_a).get("ok"):
            raise RuntimeError("tree-add failed")
        if not m.command("pair %s %s %s" % (tree_m, a.uuid, tree_a)).get("ok"):
            raise RuntimeError("pair failed")
        m.command("sync")

        rss_before, fds_before = a.status_kib("VmRSS"), descriptors(a.pid)
        rss_peak = PeakSampler(lambda: a.status_kib("VmRSS"))
        fds_peak = PeakSampler(lambda: descriptors(a.pid))
        cpu_before, started = cpu_seconds(a.pid), time.time()
        flood = Flood(port_of(info_a), count, hello, loop(m.uuid) if callable(loop) else loop, again, once)
        pulls = statuses = tries = 0
        pull_times = []
        round_no = 0
        while time.time() - started < seconds:
            round_no += 1
            make_tree(tree_a, "round%d" % round_no)
            tries += 1
            asked = time.time()
            while time.time() - asked < 20:
                m.command("sync", 120)
                if manifest(tree_m) == manifest(tree_a):
                    pulls += 1
                    pull_times.append(time.time() - asked)
                    break
                time.sleep(0.3)
            answered = m.command("status-of " + a.uuid, 60)
            if answered and answered.get("ok"):
                statuses += 1
        sent = flood.stop()
        cpu = (cpu_seconds(a.pid) - cpu_before) / (time.time() - started)
        peak, fds = rss_peak.stop(), fds_peak.stop()
        time.sleep(SETTLE_SECONDS)
        return (rss_before, peak, a.status_kib("VmRSS"), fds_before, fds, descriptors(a.pid), cpu,
                "%d/%d %.1fs" % (pulls, tries, max(pull_times or [0])), "%d/%d" % (statuses, tries), sent)
    finally:
        a.stop()
        m.stop()


def main():
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    print("%-40s %6s %6s %6s %6s %6s %6s %6s %12s %9s  %s" % (
        "scenario (A = attacked device)", "before", "peak", "+30 s", "fds", "peak", "+30 s", "cores", "pulls",
        "status", "attacker"))
    print("%-40s %6s %6s %6s" % ("", "MiB", "MiB", "MiB"))
    scenarios = (
        ("200 conns churning SUBSCRIBE/CANCEL, 30 s", lambda info: info["publisherPort"], 200,
         GREETING_31 + ready("SUB"), CHURN, 0, 30),
        ("7,000 idle conns, request port, 60 s", lambda info: info["routerPort"], 7000,
         GREETING_31 + ready("DEALER"), b"", 5, 60),
        ("7,000 idle conns, publisher port, 60 s", lambda info: info["publisherPort"], 7000,
         GREETING_31 + ready("SUB"), b"", 5, 60),
        ("4 conns sending false requests, 30 s", lambda info: info["routerPort"], 4,
         GREETING_31 + ready("DEALER"), false_requests, 0, 30),
        ("4 conns, false reqs ended at once, 30 s", lambda info: info["routerPort"], 4,
         GREETING_31 + ready("DEALER"), false_requests, 0, 30, True),
    )
    try:
        for label, port_of, count, hello, loop, again, seconds, *once in scenarios:
            if ONLY not in label:
                continue
            run = os.path.join(WORK, "".join(c if c.isalnum() else "-" for c in label))
            before, peak, settled, fds0, fds, fds1, cpu, pulls, statuses, sent = scenario(
                run, port_of, count, hello, loop, again, seconds, *once)
            print("%-40s %6s %6s %6s %6d %6d %6d %6.2f %12s %9s  %s" % (
                label, mib(before), mib(peak), mib(settled), fds0, fds, fds1, cpu, pulls, statuses, sent),
                flush=True)
    finally:
        if len(sys.argv) <= 2:
            shutil.rmtree(WORK, ignore_errors=True)


if __name__ == "__main__":
    main()
