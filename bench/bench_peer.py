"""What the Python benchmarks share: a velbor_test_peer process driven over its JSON lines, the
memory figures the kernel keeps for a process and their peak, the benchmarks' ports, and the steps that make two
peers trust each other and wait for a tree to be complete."""
import json
import os
import select
import subprocess
import threading
import time


def base_port(first):
    """Ten ports from FIRST on, apart from another run of the same benchmark that started beside
    this one. Every benchmark takes its own FIRST below the ephemeral range (32768 and up), where
    the system hands out ports to connections, and beside the tests' range (20000-32000)."""
    return first + (os.getpid() % 500) * 10


def mib(kib):
    """A figure in KiB as whole MiB for a table; "-" where there is none."""
    return "-" if kib is None else "%.0f" % (kib / 1024)


def status_kib(pid, key):
    """A figure in KiB from /proc/PID/status (VmRSS, VmHWM); -1 when it has no such row. Raises
    OSError when the process is gone."""
    with open("/proc/%d/status" % pid) as status:
        for row in status:
            if row.startswith(key + ":"):
                return int(row.split()[1])
    return -1


class PeakSampler:
    """The highest value probe() gives, sampled every 20 ms until stop(); probe raising OSError
    (the process is gone) ends the sampling."""

    def __init__(self, probe):
        self.probe, self.peak, self.running = probe, 0, True
        self.thread = threading.Thread(target=self.loop)
        self.thread.start()

    def loop(self):
        while self.running:
            try:
                self.peak = max(self.peak, self.probe())
            except OSError:
                return
            time.sleep(0.02)

    def stop(self):
        self.running = False
        self.thread.join()
        return self.peak


class Peer:
    """A test peer with its own HOME and the three ports from base + slot * 3.

    wrap: a command put before the program (heaptrack); its memory figures are then the test
    peer's own process's, and lines the wrapper writes to the same output are passed over.
    start_wait: how long the peer may take to say it is ready; quit_wait and exit_wait: how long
    it may take to answer quit and then to end before it is killed."""

    def __init__(self, program, home, base, slot, accept, wrap=(), start_wait=60, quit_wait=30, exit_wait=30):
        os.makedirs(home, exist_ok=True)
        self.program, self.home, self.wrapped = program, home, bool(wrap)
        self.quit_wait, self.exit_wait = quit_wait, exit_wait
        port = base + slot * 3
        args = list(wrap) + [program, "--router-port", str(port), "--publisher-port", str(port + 1),
                             "--udp-port", str(port + 2), "--online-timeout", "100000"]
        if accept:
            args.append("--accept-trust")
        self.log = open(os.path.join(home, "peer.log"), "wb")
        self.proc = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self.log,
                                     env=dict(os.environ, HOME=home))
        self.pid = self.find_pid() if wrap else self.proc.pid
        self.buffer = b""
        ready = self.read(start_wait)
        if not ready or not ready.get("ok"):
            raise RuntimeError("peer did not start: %r" % ready)
        self.uuid = ready["uuid"]

    def find_pid(self):
        """The test peer's own process when a wrapper (heaptrack) started it."""
        deadline = time.time() + 30
        name = os.path.basename(self.program)[:15]
        while time.time() < deadline:
            pending = [self.proc.pid]
            while pending:
                pid = pending.pop()
                try:
                    with open("/proc/%d/comm" % pid) as comm:
                        if comm.read().strip() == name:
                            return pid
                    with open("/proc/%d/task/%d/children" % (pid, pid)) as children:
                        pending.extend(int(child) for child in children.read().split())
                except OSError:
                    pass
            time.sleep(0.05)
        return self.proc.pid

    def read(self, wait):
        deadline = time.time() + wait
        while True:
            while b"\n" not in self.buffer:
                left = deadline - time.time()
                if left <= 0 or not select.select([self.proc.stdout], [], [], left)[0]:
                    return None
                chunk = os.read(self.proc.stdout.fileno(), 65536)
                if not chunk:
                    return None
                self.buffer += chunk
            line, self.buffer = self.buffer.split(b"\n", 1)
            # A wrapper (heaptrack) writes lines of its own to the same output; unwrapped, every
            # line is the peer's and one that is not JSON is an error worth seeing.
            if not self.wrapped or line.startswith(b"{"):
                return json.loads(line)

    def command(self, line, wait=600):
        self.proc.stdin.write((line + "\n").encode())
        self.proc.stdin.flush()
        return self.read(wait)

    def status_kib(self, key):
        """Raises OSError when the peer is gone."""
        return status_kib(self.pid, key)

    def rss_kib(self, key):
        """As status_kib, but -1 when the peer is gone."""
        try:
            return self.status_kib(key)
        except OSError:
            return -1

    def stop(self):
        try:
            self.command("quit", self.quit_wait)
        except (BrokenPipeError, OSError):
            pass
        try:
            self.proc.wait(self.exit_wait)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.log.close()


def introduce(one, other):
    info = other.command("info")
    added = one.command("device-add %s tcp://127.0.0.1:%d tcp://127.0.0.1:%d %s" % (
        other.uuid, info["routerPort"], info["publisherPort"], info["publicKey"]))
    if not added.get("ok"):
        raise RuntimeError("device-add: %r" % added)


def befriend(asking, accepting):
    """Each knows the other, and accepting (started with --accept-trust) trusts asking."""
    introduce(asking, accepting)
    introduce(accepting, asking)
    if asking.command("trust " + accepting.uuid).get("result") != "accepted":
        raise RuntimeError("trust not accepted")


def settle(peer):
    """Returns once the peer's update number has stood still for 1.5 s."""
    last, still = peer.command("status")["usn"], 0
    while still < 3:
        time.sleep(0.5)
        now = peer.command("status")["usn"]
        still = still + 1 if now == last else 0
        last = now


def manifest(root, folders=False):
    """Every file below root with its size, without files being downloaded; with folders, every
    folder too (as "path/" with size -1)."""
    items = {}
    for folder, dirs, files in os.walk(root):
        for name in files:
            if name.endswith(".Velbor.Download"):
                continue
            path = os.path.join(folder, name)
            items[os.path.relpath(path, root)] = os.stat(path).st_size
        if folders:
            for name in dirs:
                items[os.path.relpath(os.path.join(folder, name), root) + "/"] = -1
    return items
