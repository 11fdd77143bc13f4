"""The devices of a randomized run: a LAN of network namespaces joined by a bridge, one test peer
per namespace with its own HOME and sync folder, started, quit, killed and started again; and the
steps that make them trust each other and pair their folders (every pair of devices shares one
folder)."""
import json
import os
import select
import signal
import subprocess
import time

# Inside each namespace every device uses the same ports; the namespaces keep them apart.
PORT_OPTIONS = ["--router-port", "29527", "--publisher-port", "29526", "--udp-port", "29525",
                "--broadcast-interval", "1", "--online-timeout", "6"]


def run(*args):
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


class Network:
    """Hosts on one LAN: a bridge in a "switch" namespace, one veth pair per host, each host in a
    namespace of its own with 10.78.<net>.<n>/24. Named from this process's id, so that runs
    beside this one (and the end-to-end tests) keep their own."""

    def __init__(self, hosts, guard):
        tag = "rr%d" % (os.getpid() % 100000)
        net = os.getpid() % 250 + 1
        self.switch = tag + "s"
        self.hosts = []
        try:
            guard.hold("netns", self.switch)
            run("ip", "netns", "add", self.switch)
            run("ip", "-n", self.switch, "link", "add", "br0", "type", "bridge")
            run("ip", "-n", self.switch, "link", "set", "br0", "up")
            for i in range(hosts):
                host = "%sh%d" % (tag, i)
                guard.hold("netns", host)
                run("ip", "netns", "add", host)
                self.hosts.append(host)
                run("ip", "link", "add", "%sp%d" % (tag, i), "netns", self.switch, "type", "veth", "peer", "name",
                    "eth0", "netns", host)
                run("ip", "-n", self.switch, "link", "set", "%sp%d" % (tag, i), "master", "br0", "up")
                run("ip", "-n", host, "addr", "add", "10.78.%d.%d/24" % (net, i + 1), "brd", "+", "dev", "eth0")
                run("ip", "-n", host, "link", "set", "lo", "up")
                run("ip", "-n", host, "link", "set", "eth0", "up")
        except subprocess.CalledProcessError:
            self.close()
            raise

    def close(self):
        for name in self.hosts + [self.switch]:
            subprocess.run(["ip", "netns", "del", name], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.hosts = []


class Device:
    """One test peer in a namespace. Its log (all starts) is ROOT/peer.log; its folder ROOT/sync;
    its HOME is ROOT, or ROOT/home on the small disk `data_disk` (a DataDisk) when one is given.
    `environment` adds variables (the sanitizers' options); `guard` is told of every process."""

    def __init__(self, name, program, netns, root, environment, guard, data_disk=None):
        self.name, self.program, self.netns, self.root = name, program, netns, root
        self.home = os.path.join(root, "home") if data_disk else root
        self.folder = os.path.join(root, "sync")
        self.log_path = os.path.join(root, "peer.log")
        self.environment, self.guard, self.data_disk = environment, guard, data_disk
        # On a mounted disk (an exFAT image) the folder is the mount point, made before it.
        os.makedirs(self.folder, exist_ok=True)
        self.proc = None
        self.uuid = None
        self.buffer = b""
        # Exit statuses of quits that were not clean (a sanitizer's report ends a process so).
        self.bad_exits = []

    @property
    def up(self):
        return self.proc is not None

    def start(self, wait=120):
        env = {key: value for key, value in os.environ.items() if not key.startswith("XDG_")}
        env.update(self.environment, HOME=self.home)
        with open(self.log_path, "ab") as log:
            log.write(b"\n===== randomrun: start %s =====\n" % time.strftime("%H:%M:%S").encode())
            log.flush()
            # ip netns exec, nsenter and env all replace themselves: the process is the peer.
            prefix = self.data_disk.enter() if self.data_disk else []
            self.proc = subprocess.Popen(prefix + ["ip", "netns", "exec", self.netns, self.program, "--accept-trust",
                                                   "--token", "randomrun", "--name", self.name] + PORT_OPTIONS,
                                         stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=log, env=env)
            self.guard.hold("pid", self.proc.pid)
        self.buffer = b""
        ready = self.read(wait)
        if not ready or not ready.get("ok"):
            self.kill()
            raise RuntimeError("%s did not start: %r" % (self.name, ready))
        if self.uuid and ready["uuid"] != self.uuid:
            raise RuntimeError("%s came back as another device" % self.name)
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

    def command(self, line, wait=120):
        """The answer, or None when the device is down, gone or silent for `wait` seconds."""
        if not self.proc:
            return None
        try:
            self.proc.stdin.write((line + "\n").encode())
            self.proc.stdin.flush()
        except (BrokenPipeError, OSError):
            return None
        return self.read(wait)

    def alive(self):
        return self.proc is not None and self.proc.poll() is None

    def quit(self):
        answer = self.command("quit", 120)
        try:
            code = self.proc.wait(60)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            code = self.proc.wait()
        if code != 0 or not answer or not answer.get("ok"):
            self.bad_exits.append(code)
        self.close_pipes()

    def kill(self):
        if self.proc:
            self.proc.send_signal(signal.SIGKILL)
            self.proc.wait()
            self.close_pipes()

    def close_pipes(self):
        self.guard.drop("pid", self.proc.pid)
        for stream in (self.proc.stdin, self.proc.stdout):
            try:
                stream.close()
            except OSError:
                pass
        self.proc = None

    def rss_kib(self):
        try:
            with open("/proc/%d/status" % self.proc.pid) as status:
                for row in status:
                    if row.startswith("VmRSS:"):
                        return int(row.split()[1])
        except (OSError, AttributeError):
            pass
        return -1

    def status(self):
        answer = self.command("status", 60)
        return answer if answer and answer.get("ok") else None


def wait_until(check, limit, step=0.5):
    deadline = time.time() + limit
    while time.time() < deadline:
        if check():
            return True
        time.sleep(step)
    return check()


def listed(device, other):
    answer = device.command("devices")
    return any(entry.get("uuid") == other.uuid for entry in (answer or {}).get("devices", []))


def trust_status(device, other):
    answer = device.command("devices")
    for entry in (answer or {}).get("devices", []):
        if entry.get("uuid") == other.uuid:
            return entry.get("status")
    return None


def join(devices):
    """Every pair trusts each other; the first device's folder is a tree; every other folder joins
    its sync folder by pairing with it, and then every other pair is paired too."""
    for i, one in enumerate(devices):
        for other in devices[i + 1:]:
            if not wait_until(lambda: listed(one, other) and listed(other, one), 120):
                raise RuntimeError("%s and %s never saw each other" % (one.name, other.name))
            answer = one.command("trust " + other.uuid)
            if not answer or answer.get("result") != "accepted":
                raise RuntimeError("%s trust %s: %r" % (one.name, other.name, answer))
            if not wait_until(lambda: trust_status(other, one) == 1, 60):
                raise RuntimeError("%s never trusted %s" % (other.name, one.name))
    first = devices[0]
    added = first.command("tree-add " + first.folder)
    if not added or not added.get("ok"):
        raise RuntimeError("tree-add: %r" % added)
    for i, one in enumerate(devices[1:], 1):
        for other in devices[:i]:
            answer = one.command("pair %s %s %s" % (one.folder, other.uuid, other.folder))
            if not answer or not answer.get("ok"):
                raise RuntimeError("%s pair %s: %r" % (one.name, other.name, answer))
    for device in devices:
        count = len(device.status()["pairings"])
        if count != len(devices) - 1:
            raise RuntimeError("%s has %d pairings" % (device.name, count))
