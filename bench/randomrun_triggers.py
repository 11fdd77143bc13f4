"""In-place writes timed against a device's installs, as a user's program writes into a file at
the moment a pull renames it, stamps its times or replaces it. A change made on one device arms a
trigger on the others; a thread follows their logs (inotify) and, when one shows the install of
that change (`EventRenameFile(OLD => NEW)`, `EventUpdateFile(PATH)`, ...), writes 4 KiB in place at
offset 0 of that file on that device at once, keeping its size. The written content goes into the
ledger: if the file was still at its path after the write, it must remain in the folders (where
both devices end, or in a conflict copy); if a download had replaced it already, it is orphaned.
On a disk without rename flags (the exFAT folder) a file is replaced after it is checked where it
stands, and a write in between is lost (the README says so): there only writes during a rename's
install must remain."""
import ctypes
import os
import random
import re
import select
import stat
import threading
import time

from randomrun_ops import rename_noreplace, same_file

IN_MODIFY = 0x2
_libc = ctypes.CDLL(None, use_errno=True)
# The line as the engine writes it, not the log client's copy of it ("... Thread N | ...").
EVENT = re.compile(rb"^\d{4}-\d\d-\d\d [\d:.]+ \S+\[[\d:]+\] (Event\w+)\((.*)\) ?$")
UPDATES = {"EventUpdateFile", "EventSuccessful", "EventFFConflict"}
RENAMES = {"EventRenameFile"}


def read_from(fd, offset):
    data = b""
    while True:
        chunk = os.pread(fd, 1 << 20, offset + len(data))
        if not chunk:
            return data
        data += chunk


def holds(device, relative, data):
    try:
        with open(os.path.join(device.folder, relative), "rb") as held:
            return held.read() == data
    except OSError:
        return False


class Trigger:
    def __init__(self, device, events, match, label):
        self.device, self.events, self.match, self.label = device, events, match, label


class InplaceWriter(threading.Thread):
    """`owner` (the run) gives the devices, the ledger, `note`, `burst_number` and `user_lock`,
    which every user operation holds, so that a write here never falls inside another operation
    on the same file."""

    def __init__(self, owner):
        super().__init__(name="inplace", daemon=True)
        self.owner, self.ledger = owner, owner.ledger
        self.random = random.Random(owner.seed * 1000003 + 7)
        self.lock = threading.Lock()
        self.triggers = []
        self.count = 0
        self.fired = 0
        # A trigger taken whose write is not done yet.
        self.writing = False
        self.wake_read, self.wake_write = os.pipe()
        self.inotify = _libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
        if self.inotify < 0:
            raise OSError(ctypes.get_errno(), "inotify_init1")
        self.logs = {}
        for device in owner.devices:
            open(device.log_path, "ab").close()
            fd = os.open(device.log_path, os.O_RDONLY | os.O_CLOEXEC)
            self.logs[device.name] = [fd, os.fstat(fd).st_size, b""]
            _libc.inotify_add_watch(self.inotify, device.log_path.encode(), IN_MODIFY)

    # -- the run's side -------------------------------------------------------------------------
    def arm(self, device, events, match, label):
        trigger = Trigger(device, events, match, label)
        with self.lock:
            self.triggers.append(trigger)
        return trigger

    def disarm(self, burst, wait=5):
        """Before a check: the installs of the last changes are given `wait` seconds to come,
        then the triggers left are noted and dropped, and a write under way is waited for."""
        deadline = time.time() + wait
        while time.time() < deadline:
            with self.lock:
                if not any(trigger.device.up for trigger in self.triggers):
                    break
            time.sleep(0.1)
        with self.lock:
            left, self.triggers = self.triggers, []
        while True:
            with self.lock:
                if not self.writing:
                    break
            time.sleep(0.01)
        for trigger in left:
            self.owner.note(burst, "%s: in-place trigger not fired: %s" % (trigger.device.name, trigger.label))

    def stop(self):
        os.write(self.wake_write, b"x")
        self.join(10)
        for fd, _, _ in self.logs.values():
            os.close(fd)
        for fd in (self.inotify, self.wake_read, self.wake_write):
            os.close(fd)

    def provoke(self, device, others):
        """One change on `device` whose install on the `others` arms a trigger there: a file
        renamed or moved, its folder renamed, its times or mode changed, its content rewritten.
        Gives the text for the log, or None."""
        ops, rng = self.owner.ops, self.owner.rng
        kind = rng.choices(("rename", "rename-folder", "touch", "chmod", "edit"), (3, 2, 2, 1, 2))[0]
        if kind == "rename-folder":
            folder = ops.pick_folder(device, root_too=False)
            if folder is None:
                return None
            target = os.path.join(os.path.dirname(folder), ops.fresh("d"))
            armed = self.arm_all(others, RENAMES, lambda old, new: new.startswith(target + os.sep),
                                 "rename under %s" % target)
            if not rename_noreplace(ops.path(device, folder), ops.path(device, target)):
                return self.forget(armed)
            self.ledger.moved(device, folder, target)
            return "in-place rename-folder %s -> %s" % (folder, target)
        relative = self.largest(ops, device, rng)
        if relative is None:
            return None
        path = ops.path(device, relative)
        if kind == "rename":
            folder = ops.pick_folder(device) if rng.random() < 0.3 else os.path.dirname(relative)
            extension = os.path.splitext(relative)[1]
            target = os.path.join(folder, ops.fresh("r") + (extension if extension in (".txt", ".bin") else ".txt"))
            armed = self.arm_all(others, RENAMES, lambda old, new: new == target, "rename to %s" % target)
            if not rename_noreplace(path, ops.path(device, target)):
                return self.forget(armed)
            self.ledger.moved(device, relative, target)
            return "in-place rename %s -> %s" % (relative, target)
        armed = self.arm_all(others, UPDATES, lambda old, new: new == relative, "%s of %s" % (kind, relative))
        try:
            if kind == "touch":
                held = os.lstat(path)
                when = held.st_mtime_ns - rng.randint(1, 10 ** 6) * 10 ** 6
                os.utime(path, ns=(when, when), follow_symlinks=False)
                done = "in-place touch %s" % relative
            elif kind == "chmod":
                mode = stat.S_IMODE(os.lstat(path).st_mode) ^ 0o111
                os.chmod(path, mode)
                done = "in-place chmod %s %o" % (relative, mode)
            else:
                done = ops.rewrite(device, relative, mode="same-size")
                done = done and "in-place " + done
        except OSError:
            done = None
        if done is None:
            return self.forget(armed)
        self.ledger.touch(device, relative)
        return done

    @staticmethod
    def largest(ops, device, rng):
        """A file, half of the time the largest of three picks (an install of it takes longer)."""
        picks = [ops.pick_file(device) for _ in range(3 if rng.random() < 0.5 else 1)]
        sizes = []
        for relative in filter(None, picks):
            try:
                sizes.append((os.lstat(ops.path(device, relative)).st_size, relative))
            except OSError:
                pass
        return max(sizes)[1] if sizes else None

    def arm_all(self, others, events, match, label):
        return [self.arm(other, events, match, label) for other in others]

    def forget(self, armed):
        """Drops the triggers `armed` (their change was not made); gives None."""
        with self.lock:
            self.triggers = [trigger for trigger in self.triggers if trigger not in armed]
        return None

    # -- the thread's side ----------------------------------------------------------------------
    def run(self):
        while True:
            ready = select.select([self.inotify, self.wake_read], [], [], 0.5)[0]
            if self.wake_read in ready:
                return
            if self.inotify in ready:
                try:
                    while os.read(self.inotify, 65536):
                        pass
                except BlockingIOError:
                    pass
            for device in self.owner.devices:
                for event, old, new in self.events(device):
                    self.react(device, event, old, new)

    def events(self, device):
        """(event, old relative path, new relative path) of the install lines new in the log."""
        entry = self.logs[device.name]
        fd, offset, rest = entry
        chunks = []
        while True:
            chunk = os.pread(fd, 1 << 20, offset)
            if not chunk:
                break
            chunks.append(chunk)
            offset += len(chunk)
        lines = (rest + b"".join(chunks)).split(b"\n")
        entry[1], entry[2] = offset, lines.pop()
        with self.lock:
            armed = any(trigger.device is device for trigger in self.triggers)
        if not armed:
            return []
        found = []
        prefix = (device.folder + os.sep).encode()
        for line in lines:
            match = EVENT.match(line)
            if not match:
                continue
            paths = match.group(2).split(b" => ")
            relative = [path[len(prefix):].decode(errors="replace") for path in paths if path.startswith(prefix)]
            if len(relative) == len(paths):
                found.append((match.group(1).decode(), relative[0], relative[-1]))
        return found

    def react(self, device, event, old, new):
        with self.lock:
            for trigger in self.triggers:
                if trigger.device is device and event in trigger.events and trigger.match(old, new):
                    self.triggers.remove(trigger)
                    self.writing = True
                    break
            else:
                return
        # A rename moves the file itself; other installs may replace it.
        excused = device.name == self.owner.exfat_name and event not in RENAMES
        try:
            with self.owner.user_lock:
                done = self.write_at_start(device, [new, old], "during %s(%s)" % (event, new), excused)
        finally:
            with self.lock:
                self.writing = False
        self.owner.note(self.owner.burst_number, "%s: in-place write %s (%s)" % (device.name, done, trigger.label))

    def write_at_start(self, device, paths, when, excused):
        """4 KiB (or the whole file when smaller) written at offset 0 of the file at the first of
        `paths` found, keeping its size. A rename may not have happened yet: its new path is
        waited for a little (the install hashes the file after renaming it), then the old one
        taken. `excused`: the content may be lost."""
        start = time.time()
        deadline = start + 0.2
        while True:
            for relative in list(dict.fromkeys(paths))[:1 if time.time() - start < 0.03 else None]:
                try:
                    fd = os.open(os.path.join(device.folder, relative), os.O_RDWR | os.O_NOFOLLOW)
                    break
                except OSError:
                    continue
            else:
                if time.time() > deadline:
                    return "missed, no file at %s" % " or ".join(dict.fromkeys(paths))
                time.sleep(0.001)
                continue
            break
        try:
            size = os.fstat(fd).st_size
            count = min(size, 4096)
            head = os.pread(fd, count, 0)
            self.count += 1
            data = (b"seed %d in-place %d on %s\n" % (self.owner.seed, self.count, device.name.encode()) +
                    self.random.randbytes(count))[:count]
            if count == 0 or data == head:
                return "missed, %s is empty" % relative
            try:
                rest = read_from(fd, count)
            except OSError as error:
                return "missed, %s went before the write (%s)" % (relative, error.strerror)
            os.pwrite(fd, data, 0)
            try:
                after = read_from(fd, 0)
            except OSError:
                # exfat-fuse answers ENOENT once the file was removed or replaced under the
                # descriptor: what the write left is what it wrote over what the file held.
                after = data + rest
            # Still there: the same file, or (exfat-fuse numbers a file anew under a new name) the
            # same content at one of its paths.
            still = any(same_file(os.path.join(device.folder, path), fd) or holds(device, path, after)
                        for path in paths)
        finally:
            os.close(fd)
        before = head + rest
        self.ledger.touch(device, *paths)
        self.ledger.wrote(after, "%s in-place %s %s" % (device.name, relative, when))
        if still:
            self.ledger.replaced(before)
        else:
            self.ledger.overwrote(before, after)
        if excused or not still:
            self.ledger.orphan(after)
        self.fired += 1
        return "%s (%d of %d bytes at 0)%s" % (relative, count, size, ", already replaced" if not still else
                                               ", may be replaced on exFAT" if excused else "")
