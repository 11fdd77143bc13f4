"""What a randomized run checks once the devices are quiet after a burst: the folders are the same
(path, size and SHA-1 of each file, and each folder; hidden names left out), every content in them
is one a user wrote, no content that no user replaced is lost (conflict copies count: the check
is by content, wherever it now stands), no temporary download is left, no pairing keeps a failed
usn, no device died or reported a sanitizer error, each device's memory stays flat, and no file that
a user deleted, and that no other device changed meanwhile, comes back. A device on a disk that
ignores letter case (exFAT) holds one of two names that differ only in case: where the other
devices hold such a pair (made by the engine, never by the generator), it is compared by name
folded to lower case, holding the entry of one of them (of two such folders, what is in the one
it holds), and the failed usn it keeps (it cannot install the second name while the first stands)
is excused; no other failed usn is."""
import hashlib
import os
import time

from randomrun_ops import CONFLICT

DOWNLOAD_SUFFIX = ".Velbor.Download"
SANITIZER_MARKS = (b"ERROR: AddressSanitizer", b"ERROR: LeakSanitizer", b"runtime error:")


def snapshot(root):
    """{relative path: (size, sha1)} of visible files, {relative path/: None} of visible folders,
    and the temporary downloads anywhere."""
    items, downloads = {}, []
    for folder, dirs, names in os.walk(root):
        for name in names:
            if name.endswith(DOWNLOAD_SUFFIX):
                downloads.append(os.path.relpath(os.path.join(folder, name), root))
        dirs[:] = [name for name in dirs if not name.startswith(".")]
        for name in dirs:
            items[os.path.relpath(os.path.join(folder, name), root) + "/"] = None
        for name in names:
            if name.startswith("."):
                continue
            path = os.path.join(folder, name)
            try:
                if os.path.islink(path) or not os.path.isfile(path):
                    items[os.path.relpath(path, root)] = ("other", None)
                    continue
                with open(path, "rb") as data:
                    content = data.read()
            except OSError:
                continue
            items[os.path.relpath(path, root)] = (len(content), hashlib.sha1(content).hexdigest())
    return items, downloads


def differences(trees, names, limit=12):
    """Lines naming the paths where the folders differ."""
    paths = sorted(set().union(*(tree.keys() for tree in trees)))
    lines = []
    for path in paths:
        seen = [tree.get(path, "absent") for tree in trees]
        if any(entry != seen[0] for entry in seen):
            shown = ", ".join("%s=%s" % (name, describe(entry)) for name, entry in zip(names, seen))
            lines.append("  %s: %s" % (path, shown))
    if len(lines) > limit:
        lines = lines[:limit] + ["  ... and %d more" % (len(lines) - limit)]
    return lines


def describe(entry):
    if entry == "absent":
        return "absent"
    if entry is None:
        return "folder"
    size, digest = entry
    return "%s bytes %s" % (size, (digest or "")[:10])


def fold(path):
    """A path as a disk that ignores case names it: a file and a folder of one name are one."""
    return path.lower().rstrip("/")


def folded(tree):
    """{folded path: [entries]}."""
    groups = {}
    for path, entry in tree.items():
        groups.setdefault(fold(path), []).append(entry)
    return groups


def trees_agree(trees, caseless):
    """Whether the trees are the same; those at the indexes `caseless` (devices on a disk that
    ignores case) may hold one name of each pair that the others hold differing only in case."""
    return all(tree == trees[0] for tree in trees) or holds_one_of_case_pairs(trees, caseless)


def holds_one_of_case_pairs(trees, caseless):
    """Whether the trees at indexes other than `caseless` are the same and hold two names that
    differ only in case (at one parent: folded paths meet only below their first differing name),
    and each tree at the indexes `caseless` holds one of each such pair and the rest as they do;
    what lies in a folder of such a pair stands, on it, in the spelling it holds or not at all (the
    folder of the spelling not installed is not made, nor anything in it). Every file's content
    stands on it all the same, wherever (a folder respelled while files arrived in its old spelling
    brings them into the new one), but for content the others hold only in such a folder."""
    exact = [tree for index, tree in enumerate(trees) if index not in caseless]
    if not exact or not all(tree == exact[0] for tree in exact):
        return False
    groups = folded(exact[0])
    if len(groups) == len(exact[0]):
        return False
    for index in caseless:
        held = folded(trees[index])
        if any(path not in groups or len(entries) != 1 or entries[0] not in groups[path]
               for path, entries in held.items()):
            return False
        if any(fold(path) not in held and not in_unheld_spelling(exact[0], groups, trees[index], path)
               for path in exact[0]):
            return False
        contents = set(entry for entry in trees[index].values() if entry)
        if any(entry and entry not in contents and not in_unheld_spelling(exact[0], groups, trees[index], path)
               for path, entry in exact[0].items()):
            return False
    return True


def in_unheld_spelling(tree, groups, held, path):
    """Whether `path` of `tree` lies in a folder that has a twin differing only in case, while
    `held` holds that twin and not the folder."""
    parts = path.rstrip("/").split("/")
    for depth in range(1, len(parts)):
        folder = "/".join(parts[:depth]) + "/"
        if folder in tree and len(groups[fold(folder)]) > 1 and folder not in held:
            return True
    return False


class Observation:
    """One look at every device: their trees, downloads and status. `caseless`: the indexes of
    devices on a disk that ignores letter case."""

    def __init__(self, devices, caseless=()):
        self.caseless = caseless
        self.trees, self.downloads, self.statuses = [], [], []
        for device in devices:
            tree, downloads = snapshot(device.folder)
            self.trees.append(tree)
            self.downloads.append(downloads)
            self.statuses.append(device.status() if device.alive() else None)

    def same_trees(self):
        return trees_agree(self.trees, self.caseless)

    def failed_usns(self, devices):
        """The failed usns the pairings keep. A device on a disk that ignores case cannot install
        the second of two names that differ only in case, and keeps its usn failed while the pair
        stands: excused, but only while the others hold such a pair and it holds one of each."""
        pairs = holds_one_of_case_pairs(self.trees, self.caseless)
        failed = []
        for index, (device, status) in enumerate(zip(devices, self.statuses)):
            if pairs and index in self.caseless:
                continue
            for pairing in (status or {}).get("pairings", []):
                if pairing.get("failedUsn", 0):
                    failed.append("%s pulling %s: failed usn %d (mark %d)" % (
                        device.name, name_of(devices, pairing.get("remoteDeviceUuid")), pairing["failedUsn"],
                        pairing.get("maxUsn", -1)))
        return failed

    def marks(self):
        """What moves while the devices still work: usns and each pairing's mark."""
        return [(status or {}).get("usn") for status in self.statuses] + [
            tuple((p.get("maxUsn"), p.get("failedUsn")) for p in (status or {}).get("pairings", []))
            for status in self.statuses]

    def settled(self, devices):
        return (all(status is not None for status in self.statuses) and self.same_trees() and
                not any(self.downloads) and not self.failed_usns(devices))


def name_of(devices, uuid):
    for device in devices:
        if device.uuid == uuid:
            return device.name
    return uuid


def wait_quiet(devices, limit, still_for, stalled_for, caseless=()):
    """Looks every second until the devices agree (same trees, no downloads left, no failed usns)
    and nothing has moved (trees, usns, marks) for `still_for` seconds; or until they disagree
    and nothing has moved for `stalled_for` seconds (they are stuck), or `limit` seconds have
    passed. Gives the last look and how long the wait took."""
    start = time.time()
    last, last_key, since = None, None, time.time()
    while True:
        look = Observation(devices, caseless)
        key = (look.marks(), look.trees)
        if key != last_key:
            last_key, since = key, time.time()
        last = look
        if look.settled(devices) and time.time() - since >= still_for:
            return look, time.time() - start
        if time.time() - since >= stalled_for or time.time() - start > limit:
            return look, time.time() - start
        time.sleep(1)


def sanitizer_reports(device, offset):
    """Sanitizer lines in the device's log after `offset` bytes; and the new offset."""
    try:
        with open(device.log_path, "rb") as log:
            log.seek(offset)
            text = log.read()
    except OSError:
        return [], offset
    found = [line.decode(errors="replace").strip() for line in text.splitlines()
             if any(mark in line for mark in SANITIZER_MARKS)]
    return found[:5], offset + len(text)


class Memory:
    """Each device process's resident memory after each burst, against its first figure: flat
    means under first * factor + slack."""

    def __init__(self, factor, slack_kib):
        self.factor, self.slack = factor, slack_kib
        self.first = {}
        self.figures = {}

    def record(self, device):
        rss = device.rss_kib()
        if rss <= 0:
            return None
        pid = device.proc.pid
        self.first.setdefault(pid, rss)
        self.figures.setdefault(device.name, []).append(rss)
        if rss > self.first[pid] * self.factor + self.slack:
            return "%s (pid %d) holds %d KiB, was %d KiB after its first burst" % (
                device.name, pid, rss, self.first[pid])
        return None


def check(devices, look, ledger, reported, before=()):
    """The failures of one look at quiet devices; `reported` keeps lost contents already named;
    `before`: the (path, sha1) of every file in the previous look, whose conflict copies are old."""
    names = [device.name for device in devices]
    failures = []
    for device in devices:
        if not device.alive():
            failures.append("device %s is not running (exit %s)" % (device.name, device.proc and device.proc.poll()))
        if device.bad_exits:
            failures.append("device %s quit with status %s" % (device.name, device.bad_exits))
            device.bad_exits = []
    if not look.same_trees():
        failures.append("folders differ:\n" + "\n".join(differences(look.trees, names)))
    for device, downloads in zip(devices, look.downloads):
        if downloads:
            failures.append("temporary download left on %s: %s" % (device.name, ", ".join(downloads[:5])))
    failed = look.failed_usns(devices)
    if failed:
        failures.append("failed usn kept: " + "; ".join(failed))
    present = {}
    for name, tree in zip(names, look.trees):
        for path, entry in tree.items():
            if entry and entry[1]:
                present.setdefault(entry[1], (name, path))
    unknown = ["%s:%s" % where for digest, where in present.items() if digest not in ledger.written]
    if unknown:
        failures.append("content never written: " + ", ".join(sorted(unknown)[:8]))
    # Overwritten in place by a write that stands in a folder after all, or stood there until a
    # user replaced it in turn: replaced by that user.
    lost = [(digest, where) for digest, where in ledger.must_remain().items()
            if digest not in present and digest not in reported and not ledger.overwritten_away(digest, present)]
    if lost:
        reported.update(digest for digest, _ in lost)
        failures.append("edit lost (written, replaced by no user, in no folder): " +
                        "; ".join("%s [%s]" % (where, digest[:10]) for digest, where in sorted(lost, key=str)[:8]))
    back = []
    deletions, touched = ledger.sole_deletions()
    for relative, digest, where in deletions:
        # At its path, or in a conflict copy of it made since the previous look, unless a user
        # wrote that content there (emptied, a conflict copy holds what an emptied file held).
        holding = sorted({name for name, tree in zip(names, look.trees) for path, entry in tree.items()
                          if entry and entry[1] == digest and (path == relative or (
                              CONFLICT.sub("", path) == relative and (path, digest) not in before and
                              path.lower() not in touched))})
        if holding:
            back.append("%s, back on %s [%s]" % (where, ",".join(holding), digest[:10]))
    if back:
        failures.append("deleted file came back (deleted on one device, changed on no other): " +
                        "; ".join(back[:8]) + ("; ... and %d more" % (len(back) - 8) if len(back) > 8 else ""))
    return failures
