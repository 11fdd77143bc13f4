"""What a user does to a device's folder in a randomized run, and the ledger of contents: every
content written (by SHA-1), and every content a user replaced or deleted having seen it. A content
that was written and that no user replaced must still be somewhere in the folders once they are
in step; one that was replaced may be gone.

Each operation reads what it replaces from the same file it then changes (one descriptor), so a
download installed meanwhile is never taken for what the user saw. Names come from counters and
targets are picked from the folder as it is on disk, sorted, so that a seed gives the same
operations as long as the devices' timing does not change what is on disk."""
import ctypes
import errno
import hashlib
import os
import re
import threading

RENAME_NOREPLACE = 1
_libc = ctypes.CDLL(None, use_errno=True)
_libc.renameat2.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p, ctypes.c_uint]
AT_FDCWD = -100
EMPTY_SHA1 = hashlib.sha1(b"").hexdigest()
CONFLICT = re.compile(r"\.Conflict\([^)]*\)", re.IGNORECASE)


def sha1(data):
    return hashlib.sha1(data).hexdigest()


GIVE_UP = (errno.EEXIST, errno.ENOENT, errno.ENOTDIR, errno.EINVAL, errno.ENOTEMPTY, errno.EISDIR)


def rename_noreplace(source, target):
    """False when the target exists (a download may have put one there). A disk without rename
    flags (exFAT through FUSE) is looked at first; there a target that differs from the source
    only in letter case is the source itself."""
    if _libc.renameat2(AT_FDCWD, source.encode(), AT_FDCWD, target.encode(), RENAME_NOREPLACE) == 0:
        return True
    code = ctypes.get_errno()
    # EINVAL: no flags on this disk; EEXIST there also for the source under another spelling.
    if (code == errno.EINVAL and os.path.lexists(source) and not os.path.lexists(target)) or (
            code in (errno.EINVAL, errno.EEXIST) and spelled_apart(source, target)):
        try:
            os.rename(source, target)
            return True
        except OSError as error:
            code = error.errno
    if code in GIVE_UP:
        return False
    raise OSError(code, os.strerror(code), source)


def spelled_apart(source, target):
    """Whether `target` is `source` spelled in other letter case, and only `source` is listed."""
    folder, name = os.path.split(source)
    if os.path.dirname(target) != folder or os.path.basename(target).lower() != name.lower():
        return False
    listed = os.listdir(folder or ".")
    return name in listed and os.path.basename(target) not in listed


def same_file(path, fd):
    """Whether the file open at `fd` is the one at `path` (a download may have replaced it)."""
    try:
        here, held = os.lstat(path), os.fstat(fd)
    except OSError:
        return False
    return (here.st_dev, here.st_ino) == (held.st_dev, held.st_ino)


def visible_tree(root):
    """(files, folders): relative paths of what a user sees, hidden names left out."""
    files, folders = [], []
    for folder, dirs, names in os.walk(root):
        dirs[:] = [name for name in dirs if not name.startswith(".")]
        for name in dirs:
            folders.append(os.path.relpath(os.path.join(folder, name), root))
        for name in names:
            if not name.startswith("."):
                path = os.path.join(folder, name)
                if os.path.isfile(path) and not os.path.islink(path):
                    files.append(os.path.relpath(path, root))
    # Conflict copies carry a random part: sorted as if it were not there.
    key = lambda path: (CONFLICT.sub(".Conflict()", path), path)
    return sorted(files, key=key), sorted(folders, key=key)


class Ledger:
    """Also kept by the in-place writer's thread: every change goes under one lock."""

    def __init__(self):
        self.lock = threading.Lock()
        self.written = {}      # sha1 -> "device op path" where it was first written
        self.superseded = set()
        self.orphaned = set()  # written into a file a download had already replaced: never in a folder
        # sha1 of what such a write overwrote -> sha1 of what it left: the write may yet have
        # landed in the folder (the file was being moved by an install, and put back), and then
        # the user replaced that content
        self.overwritten = {}
        # Since the last check: (device, path folded to lower case) of every path a user changed,
        # (device, from, to) of every rename in order, and (device, path, sha1, where, renames
        # before it) of every file a user deleted.
        self.touched = set()
        self.moves = []
        self.deleted = []

    def wrote(self, data, where):
        digest = sha1(data)
        with self.lock:
            self.written.setdefault(digest, where)
        return digest

    def replaced(self, data):
        with self.lock:
            self.superseded.add(sha1(data))

    def orphan(self, data):
        with self.lock:
            self.orphaned.add(sha1(data))

    def overwrote(self, before, after):
        with self.lock:
            self.overwritten[sha1(before)] = sha1(after)

    def overwritten_away(self, digest, present):
        """Whether an in-place write overwrote `digest` and what it left (or what a later such
        write left of that) stands in `present` or was replaced by a user since: the write landed
        in the folder after all, and that user's write superseded `digest`."""
        with self.lock:
            seen = set()
            while digest in self.overwritten and digest not in seen:
                seen.add(digest)
                digest = self.overwritten[digest]
                if digest in present or digest in self.superseded:
                    return True
            return False

    def touch(self, device, *paths):
        with self.lock:
            self.touched.update((device.name, path.lower()) for path in paths)

    def moved(self, device, source, target):
        """A rename (of a file or a folder); its paths are touched too."""
        self.touch(device, source, target)
        with self.lock:
            self.moves.append((device.name, source.lower(), target.lower()))

    def removed(self, device, relative, data, where):
        with self.lock:
            self.deleted.append((device.name, relative, sha1(data), where, len(self.moves)))

    def must_remain(self):
        """Contents that were written and that no user replaced or deleted."""
        with self.lock:
            return {digest: where for digest, where in self.written.items()
                    if digest not in self.superseded and digest not in self.orphaned and digest != EMPTY_SHA1}

    def sole_deletions(self):
        """The deletions since the last check of paths that no other device changed meanwhile (nor
        a folder above them): there no edit elsewhere can keep the file; and the paths (in lower
        case) a user changed since then. Starts the next round."""
        with self.lock:
            touched, moves, deleted = self.touched, self.moves, self.deleted
            self.touched, self.moves, self.deleted = set(), [], []
        sole = []
        for name, relative, digest, where, moved_before in deleted:
            # The paths the file had on its device before that device's renames (a file deleted in a
            # folder it moved may be the one another device changed at the folder's old place).
            aliases = {relative.lower()}
            for mover, source, target in reversed(moves[:moved_before]):
                if mover == name:
                    aliases |= {source + alias[len(target):] for alias in aliases
                                if alias == target or alias.startswith(target + os.sep)}
            if not any(other != name and (alias == path or alias.startswith(path + os.sep))
                       for other, path in touched for alias in aliases):
                sole.append((relative, digest, where))
        return sole, {path for _, path in touched}


class Operations:
    """Operations on device folders; each returns a short text for the log, or None when it did
    nothing (its target went away)."""

    def __init__(self, rng, ledger, seed):
        self.rng, self.ledger, self.seed = rng, ledger, seed
        self.counter = 0
        # Whether new contents may have 0 bytes.
        self.empty = True

    def fresh(self, prefix):
        self.counter += 1
        return "%s%d" % (prefix, self.counter)

    def content(self, device, size=None, same_as=None):
        """New content, unique for the run unless very short."""
        rng = self.rng
        if same_as is not None:
            size = same_as
        elif size is None:
            pick = rng.random()
            size = 0 if pick < 0.05 and self.empty else rng.randint(1, 200) if pick < 0.5 else \
                rng.randint(200, 64 * 1024) if pick < 0.97 else rng.randint(1 << 20, 3 << 20)
        self.counter += 1
        head = b"seed %d op %d by %s\n" % (self.seed, self.counter, device.name.encode())
        body = head + rng.randbytes(max(0, size - len(head)))
        return body[:size]

    # -- targets -------------------------------------------------------------------------------
    def pick_file(self, device):
        files, _ = visible_tree(device.folder)
        return self.rng.choice(files) if files else None

    def pick_folder(self, device, root_too=True):
        _, folders = visible_tree(device.folder)
        if root_too:
            folders = [""] + folders
        return self.rng.choice(folders) if folders else None

    def path(self, device, relative):
        return os.path.join(device.folder, relative)

    # -- files ---------------------------------------------------------------------------------
    def create(self, device, relative=None, data=None):
        if relative is None:
            folder = self.pick_folder(device)
            relative = os.path.join(folder, self.fresh("f") + ".txt")
        data = self.content(device) if data is None else data
        try:
            fd = os.open(self.path(device, relative), os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
        except FileExistsError:
            # Already there (another device made it and it arrived): the user's write replaces it.
            return self.rewrite(device, relative, data=data, kind="create-over")
        except (FileNotFoundError, NotADirectoryError):
            return None
        with os.fdopen(fd, "wb") as out:
            out.write(data)
        self.ledger.touch(device, relative)
        self.ledger.wrote(data, "%s create %s" % (device.name, relative))
        return "create %s (%d bytes)" % (relative, len(data))

    def rewrite(self, device, relative=None, data=None, kind="edit", mode=None, size=None):
        """In place, through one descriptor: edit (new size), same-size, append (`size` bytes),
        truncate."""
        relative = relative or self.pick_file(device)
        if relative is None:
            return None
        path = self.path(device, relative)
        try:
            fd = os.open(path, os.O_RDWR | os.O_NOFOLLOW)
        except OSError:
            return None
        with os.fdopen(fd, "r+b") as handle:
            before = handle.read()
            if not same_file(path, fd):
                return None
            mode = mode or kind
            if data is None:
                if mode == "same-size":
                    data = self.content(device, same_as=len(before))
                    if data == before:
                        return None
                elif mode == "append":
                    data = before + self.content(device, size=size or self.rng.randint(1, 4000))
                elif mode == "truncate":
                    data = b""
                    if before == data:
                        return None
                else:
                    data = self.content(device)
            handle.seek(0)
            if mode == "append":
                handle.seek(len(before))
                handle.write(data[len(before):])
            else:
                handle.truncate(0)
                handle.write(data)
            handle.flush()
            # Whether the file the user wrote is still the one at its path.
            still = same_file(path, fd)
        self.ledger.touch(device, relative)
        self.ledger.wrote(data, "%s %s %s" % (device.name, mode, relative))
        if still:
            self.ledger.replaced(before)
        else:
            # Moved or replaced meanwhile (a pull's rename keeps the file open here): the old
            # content counts as replaced wherever the new one stands, and lost if it stands nowhere.
            self.ledger.orphan(data)
            self.ledger.overwrote(before, data)
        return "%s %s (%d -> %d bytes)" % (mode, relative, len(before), len(data))

    def save_as_editor(self, device, relative=None, size=None):
        """An editor's save: the new content in a hidden file, renamed over the old."""
        relative = relative or self.pick_file(device)
        if relative is None:
            return None
        path = self.path(device, relative)
        temporary = os.path.join(os.path.dirname(path), "." + os.path.basename(path) + ".swp")
        data = self.content(device, size=size)
        try:
            with open(temporary, "wb") as out:
                out.write(data)
            with open(path, "rb") as old:
                before = old.read()
            os.rename(temporary, path)
        except OSError:
            if os.path.exists(temporary):
                os.unlink(temporary)
            return None
        self.ledger.touch(device, relative)
        self.ledger.wrote(data, "%s save %s" % (device.name, relative))
        self.ledger.replaced(before)
        return "save %s (%d bytes)" % (relative, len(data))

    def hard_link(self, device):
        relative = self.pick_file(device)
        folder = self.pick_folder(device)
        if relative is None or folder is None:
            return None
        target = os.path.join(folder, self.fresh("l") + ".txt")
        try:
            os.link(self.path(device, relative), self.path(device, target))
        except OSError:
            return None
        self.ledger.touch(device, relative, target)
        return "link %s -> %s" % (target, relative)

    def delete_file(self, device):
        relative = self.pick_file(device)
        if relative is None:
            return None
        return "delete %s" % relative if self.remove_file(device, relative) else None

    def remove_file(self, device, relative):
        try:
            with open(self.path(device, relative), "rb") as old:
                before = old.read()
            os.unlink(self.path(device, relative))
        except OSError:
            return False
        self.ledger.replaced(before)
        self.ledger.removed(device, relative, before, "%s delete %s" % (device.name, relative))
        return True

    # -- names ---------------------------------------------------------------------------------
    def rename_file(self, device, move):
        relative = self.pick_file(device)
        if relative is None:
            return None
        folder = self.pick_folder(device) if move else os.path.dirname(relative)
        target = os.path.join(folder, self.fresh("r") + ".txt")
        if not rename_noreplace(self.path(device, relative), self.path(device, target)):
            return None
        self.ledger.moved(device, relative, target)
        return "%s %s -> %s" % ("move" if move else "rename", relative, target)

    def move_over(self, device):
        """A file moved onto another, which it replaces (as `mv a b` does)."""
        files, _ = visible_tree(device.folder)
        if len(files) < 2:
            return None
        source, target = self.rng.sample(files, 2)
        target_path = self.path(device, target)
        try:
            fd = os.open(target_path, os.O_RDONLY | os.O_NOFOLLOW)
        except OSError:
            return None
        with os.fdopen(fd, "rb") as old:
            before = old.read()
            if not same_file(target_path, fd):
                return None
            try:
                os.rename(self.path(device, source), target_path)
            except OSError:
                return None
        self.ledger.moved(device, source, target)
        self.ledger.replaced(before)
        return "move-over %s -> %s" % (source, target)

    def make_folder(self, device):
        parent = self.pick_folder(device)
        relative = os.path.join(parent, self.fresh("d"))
        try:
            os.mkdir(self.path(device, relative))
        except OSError:
            return None
        self.ledger.touch(device, relative)
        # A folder is made with a file or two in it, as a user copies one in.
        for _ in range(self.rng.randint(0, 2)):
            self.create(device, os.path.join(relative, self.fresh("f") + ".txt"))
        return "mkdir %s" % relative

    def rename_folder(self, device, move):
        folder = self.pick_folder(device, root_too=False)
        if folder is None:
            return None
        parent = self.pick_folder(device) if move else os.path.dirname(folder)
        if parent == folder or parent.startswith(folder + os.sep):
            return None
        target = os.path.join(parent, self.fresh("d"))
        if not rename_noreplace(self.path(device, folder), self.path(device, target)):
            return None
        self.ledger.moved(device, folder, target)
        return "%s-folder %s -> %s" % ("move" if move else "rename", folder, target)

    def delete_folder(self, device, folder=None):
        """File by file (each read first, as deleted having been seen), then the folders bottom-up;
        what a download put there meanwhile is read and deleted on the next round."""
        folder = folder or self.pick_folder(device, root_too=False)
        if folder is None:
            return None
        top = self.path(device, folder)
        self.ledger.touch(device, folder)
        for _ in range(5):
            if not os.path.isdir(top) or os.path.islink(top):
                return "rmdir %s" % folder
            for here, dirs, names in os.walk(top, topdown=False):
                for name in names:
                    path = os.path.join(here, name)
                    if name.startswith(".") or os.path.islink(path) or not os.path.isfile(path):
                        try:
                            os.unlink(path)
                        except OSError:
                            pass
                    else:
                        self.remove_file(device, os.path.relpath(path, device.folder))
                for name in dirs:
                    try:
                        os.rmdir(os.path.join(here, name))
                    except OSError:
                        pass
            try:
                os.rmdir(top)
                return "rmdir %s" % folder
            except FileNotFoundError:
                return "rmdir %s" % folder
            except OSError:
                continue
        return None

    # -- letter case -----------------------------------------------------------------------------
    def case_rename(self, device, folder):
        """A file's or folder's name spelled in other letter case (`Report0.txt` -> `report0.txt`);
        never to a name that another entry of its folder has in any case, which a disk that ignores
        case could not hold beside it."""
        relative = self.pick_folder(device, root_too=False) if folder else self.pick_file(device)
        if relative is None:
            return None
        parent, name = os.path.split(relative)
        spellings = sorted({name.lower(), name.upper(), name[:1].upper() + name[1:].lower(), name.swapcase()} - {name})
        try:
            listed = os.listdir(self.path(device, parent))
        except OSError:
            return None
        if not spellings or any(other != name and other.lower() == name.lower() for other in listed):
            return None
        target = os.path.join(parent, self.rng.choice(spellings))
        if not rename_noreplace(self.path(device, relative), self.path(device, target)):
            return None
        self.ledger.moved(device, relative, target)
        return "case-rename%s %s -> %s" % ("-folder" if folder else "", relative, target)

    # -- larger changes ------------------------------------------------------------------------------
    def big_file(self, device):
        """A file of 4-16 MiB, whose hashing keeps an install busy for a while."""
        folder = self.pick_folder(device)
        relative = os.path.join(folder, self.fresh("b") + ".bin")
        return self.create(device, relative, self.content(device, size=self.rng.randint(4 << 20, 16 << 20)))

    def many_files(self, device, count):
        """A new folder of `count` small files, as a user copies one in; its path, or None."""
        relative = os.path.join(self.pick_folder(device), self.fresh("m"))
        try:
            os.mkdir(self.path(device, relative))
        except OSError:
            return None
        self.ledger.touch(device, relative)
        for _ in range(count):
            self.create(device, os.path.join(relative, self.fresh("f") + ".txt"),
                        self.content(device, size=self.rng.randint(1, 2000)))
        return relative

    def swap(self, device):
        """A file and a folder exchange their names (through a third name)."""
        relative = self.pick_file(device)
        folder = self.pick_folder(device, root_too=False)
        if relative is None or folder is None or relative.startswith(folder + os.sep):
            return None
        middle = os.path.join(os.path.dirname(relative), self.fresh("t"))
        file_path, folder_path = self.path(device, relative), self.path(device, folder)
        if not rename_noreplace(file_path, self.path(device, middle)):
            return None
        self.ledger.moved(device, relative, middle)
        if not rename_noreplace(folder_path, file_path):
            return "swap (half) %s -> %s" % (relative, middle)
        self.ledger.moved(device, folder, relative)
        if rename_noreplace(self.path(device, middle), folder_path):
            self.ledger.moved(device, middle, folder)
        return "swap %s <-> %s" % (relative, folder)
