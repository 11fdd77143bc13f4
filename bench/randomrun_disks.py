"""The disks of a randomized run that are not the machine's own, and what undoes them:
- Guard: a process of its own session that is told, through a pipe, each peer, holder, mount, loop
  device and network namespace the run makes; when the pipe closes (the run ended, also by kill -9)
  it ends those processes by their id and removes the rest, last made first.
- ExfatFolder: a device's sync folder on an exFAT image through exfat-fuse, as on a USB stick
  (case-insensitive names, no hard links, no rename flags).
- DataDisk: a device's home (database, settings, download journal) on a small tmpfs in a mount
  namespace of its own, kept by a holder process so that it outlives the device's restarts;
  filled from outside through /proc/HOLDER/root and freed again."""
import ctypes
import errno
import json
import os
import shutil
import signal
import subprocess
import sys
import time

PR_SET_PDEATHSIG = 1
CLONE_NEWNS = 0x00020000


def quiet_run(*args, check=True):
    return subprocess.run(args, check=check, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def private_mounts():
    """Moves this process (while it has one thread) into a mount namespace of its own, where
    mounts of the machine still arrive but from where none leaves: a process beside the run that
    makes a mount namespace meanwhile (a test with unshare -m) then holds no copy of the run's
    exFAT mount, which would keep exfat-fuse and its loop device after the run."""
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.unshare(CLONE_NEWNS) != 0:
        raise OSError(ctypes.get_errno(), "unshare(CLONE_NEWNS)")
    quiet_run("mount", "--make-rslave", "/")


def start_time(pid):
    """The process's start in clock ticks, so that a reused process id is never taken for it;
    None when it is gone or a zombie (whose parent, the run, may be gone too)."""
    try:
        with open("/proc/%d/stat" % pid) as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
        return None if fields[0] == "Z" else fields[19]
    except (OSError, IndexError):
        return None


class Guard:
    def __init__(self):
        self.proc = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--guard"], stdin=subprocess.PIPE,
                                     start_new_session=True)

    def tell(self, verb, kind, value):
        try:
            self.proc.stdin.write((json.dumps([verb, kind, value]) + "\n").encode())
            self.proc.stdin.flush()
        except (BrokenPipeError, OSError, ValueError):
            pass

    def hold(self, kind, value):
        """kind: "pid" (value: process id), "mount" (a folder), "loop" (a device), "netns" (a name)."""
        if kind == "pid":
            value = [value, start_time(value)]
        self.tell("hold", kind, value)

    def drop(self, kind, value):
        if kind == "pid":
            value = [value, None]
        self.tell("drop", kind, value)

    def close(self):
        """Undoes whatever is still held, and waits until that is done."""
        try:
            self.proc.stdin.close()
        except OSError:
            pass
        self.proc.wait()


def undo(kind, value):
    if kind == "pid":
        pid, started = value
        if started is not None and start_time(pid) == started:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            for _ in range(100):
                if start_time(pid) != started:
                    break
                time.sleep(0.05)
    elif kind == "mount":
        unmount(value)
    elif kind == "loop":
        quiet_run("losetup", "-d", value, check=False)
    elif kind == "netns":
        quiet_run("ip", "netns", "del", value, check=False)


def mounted(folder):
    """From the mount table: a FUSE mount whose daemon is stuck or gone fails the stat that
    os.path.ismount relies on."""
    escaped = folder.replace("\\", "\\134").replace(" ", "\\040").replace("\t", "\\011").replace("\n", "\\012")
    with open("/proc/self/mountinfo") as table:
        return any(row.split()[4] == escaped for row in table)


def unmount(folder):
    for _ in range(20):
        if not mounted(folder) or quiet_run("umount", folder, check=False).returncode == 0:
            return
        time.sleep(0.25)
    if quiet_run("umount", "-l", folder, check=False).returncode != 0 and mounted(folder):
        print("randomrun: %s is still mounted" % folder, file=sys.stderr, flush=True)


def guard_main():
    """Reads what to undo until the run's end closes the pipe; processes first, then mounts,
    loop devices and namespaces, each kind last made first."""
    for number in (signal.SIGINT, signal.SIGHUP, signal.SIGTERM, signal.SIGPIPE):
        signal.signal(number, signal.SIG_IGN)
    held = []
    for line in sys.stdin:
        try:
            verb, kind, value = json.loads(line)
        except ValueError:
            continue
        if verb == "hold":
            held.append((kind, value))
        elif kind == "pid":
            held = [item for item in held if not (item[0] == "pid" and item[1][0] == value[0])]
        else:
            held = [item for item in held if item != (kind, value)]
    for kind in ("pid", "mount", "loop", "netns"):
        for item_kind, value in reversed(held):
            if item_kind == kind:
                undo(kind, value)


class ExfatFolder:
    """An exFAT image of `size` mounted at `folder` through a loop device and exfat-fuse."""

    def __init__(self, guard, folder, image, size="512M"):
        self.guard, self.folder, self.image, self.loop = guard, folder, image, None
        os.makedirs(folder, exist_ok=True)
        quiet_run("truncate", "-s", size, image)
        quiet_run("mkfs.exfat", image)
        self.loop = subprocess.run(["losetup", "-f", "--show", image], check=True, capture_output=True,
                                   text=True).stdout.strip()
        guard.hold("loop", self.loop)
        guard.hold("mount", folder)
        quiet_run("mount.exfat-fuse", self.loop, folder)

    def close(self, keep_image=False):
        """Unmounted; the image is removed unless `keep_image` (to look at after a failure)."""
        unmount(self.folder)
        self.guard.drop("mount", self.folder)
        if self.loop:
            # Detached once exfat-fuse has let go of it, which may be a moment after the unmount.
            quiet_run("losetup", "-d", self.loop, check=False)
            for _ in range(60):
                listed = subprocess.run(["losetup", "-n", "-O", "BACK-FILE", self.loop], capture_output=True, text=True)
                if self.image not in listed.stdout:
                    break
                time.sleep(0.25)
            self.guard.drop("loop", self.loop)
            self.loop = None
        if not keep_image:
            try:
                os.unlink(self.image)
            except OSError:
                pass


def die_with_parent():
    ctypes.CDLL(None).prctl(PR_SET_PDEATHSIG, signal.SIGKILL)


class DataDisk:
    """A tmpfs of `size` at `home`, seen only inside the holder's mount namespace (and the
    devices started in it). Mounts made outside later reach it (slave propagation)."""

    def __init__(self, guard, home, size="64m"):
        self.guard, self.home = guard, home
        os.makedirs(home, exist_ok=True)
        script = 'mount -t tmpfs -o size=%s,mode=0755 velbor-randomrun "$1" && echo ready && exec sleep infinity' % size
        self.holder = subprocess.Popen(["unshare", "-m", "--propagation", "slave", "sh", "-c", script, "sh", home],
                                       stdout=subprocess.PIPE, preexec_fn=die_with_parent)
        guard.hold("pid", self.holder.pid)
        if self.holder.stdout.readline().strip() != b"ready":
            self.close()
            raise RuntimeError("no tmpfs at %s" % home)
        self.filler = None

    def enter(self):
        """The command prefix that starts a program in the holder's mount namespace."""
        return ["nsenter", "--mount=/proc/%d/ns/mnt" % self.holder.pid]

    def inside(self, name=""):
        """A path on the tmpfs as seen from outside."""
        return "/proc/%d/root%s" % (self.holder.pid, os.path.join(self.home, name))

    def fill(self):
        """Writes a hidden file until the disk refuses more; gives the bytes written."""
        self.filler = self.inside(".randomrun-fill")
        written = 0
        with open(self.filler, "ab", buffering=0) as out:
            for block in (1 << 20, 4096, 512):
                chunk = b"\0" * block
                while True:
                    try:
                        written += out.write(chunk)
                    except OSError as error:
                        if error.errno != errno.ENOSPC:
                            raise
                        break
        return written

    def free(self):
        if self.filler:
            try:
                os.unlink(self.filler)
            except FileNotFoundError:
                pass
            self.filler = None

    @property
    def full(self):
        return self.filler is not None

    def close(self, keep=None):
        """Ends the holder, the tmpfs with it; `keep` is a folder to copy its files to first."""
        if self.holder.poll() is None:
            if keep:
                self.free()
                shutil.copytree(self.inside(), keep, dirs_exist_ok=True, ignore_dangling_symlinks=True)
            self.holder.kill()
            self.holder.wait()
        self.holder.stdout.close()
        self.guard.drop("pid", self.holder.pid)


if __name__ == "__main__" and sys.argv[1:] == ["--guard"]:
    guard_main()
