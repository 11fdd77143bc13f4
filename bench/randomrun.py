#!/usr/bin/env python3
"""A randomized run of two or three devices changing one folder at once: each device a test peer in
a network namespace of its own, every pair of them paired. A seeded generator makes bursts of what
users do (creates, edits, same-size rewrites, appends, truncation to 0 bytes, an editor's save,
hard links, renames and moves of files and folders (a file also onto another), file-folder swaps,
deletions, concurrent edits and creates of one file on two devices, files of 4-16 MiB, names
changed only in letter case (`Report0.txt` -> `report0.txt`, `Album` -> `album`)) while a device
may be quit or killed and changed while it is down. Besides:
- in-place writes timed against installs ("inplace"): a file renamed, moved, its folder renamed,
  its times, mode or content changed on one device; when another device's log shows it installing
  that change, 4 KiB are written in place at offset 0 of that file there at once, keeping its
  size (see randomrun_triggers.py); that content must remain;
- one device's sync folder on an exFAT image through exfat-fuse (--exfat DEVICE, by default the
  last), which ignores letter case, keeps no hard links and has no rename flags;
- one device's home (database, settings, download journal) on a small tmpfs in a mount namespace
  of its own (--dbfull DEVICE, by default the first), filled from outside during some bursts for a
  while (another device then often copies in a folder of 20-80 files, and deletes it again before
  room comes back), then freed.
After each burst it waits until the devices are quiet and checks them (see randomrun_oracle.py):
among others, nothing written is lost and nothing deleted on one device alone comes back. Every
failure line carries the seed; the operations go to WORK/ops.log and each device's log to
WORK/<device>/peer.log; after a failure the home on the tmpfs is copied to WORK/<device>/home-at-end
and the exFAT image kept as WORK/<device>-exfat.img (mount it to look: the run's mounts are its
own, seen by no other process). Every
namespace, mount, loop device, tmpfs and peer is undone at the end, also when the run is killed:
the run's mounts stay in a mount namespace of its own, and a guard process undoes the rest (see
randomrun_disks.py). Needs root, exfat-fuse and exfatprogs.

Usage: randomrun.py TEST_PEER SEED DEVICES BURSTS [--sanitize] [--keep-going] [--without KINDS] [--steps FILE]
                    [--exfat DEVICE] [--dbfull DEVICE] [--work DIR]
--without leaves out operations by kind (comma-separated: the kinds of WEIGHTS, "kill", "quit",
"empty" for contents of 0 bytes, "exfat" and "dbfull" for those disks), to look past a fault
already known. --steps plays written steps in place of the bursts (see randomrun_steps.py), to
repeat a shrunk failure. A seed repeats the same operations as long as the devices' timing leaves
the same files on disk for the generator to pick from; with --without
inplace,case-rename,case-rename-folder,big,exfat,dbfull a seed makes the operations it made before
these were added. Exit status 0 when every burst passed."""
import argparse
import os
import random
import shutil
import signal
import sys
import tempfile
import threading
import time

from randomrun_devices import Device, Network, join
from randomrun_disks import DataDisk, ExfatFolder, Guard, private_mounts
from randomrun_oracle import Memory, check, sanitizer_reports, wait_quiet
from randomrun_ops import Ledger, Operations, visible_tree
from randomrun_steps import Steps
from randomrun_triggers import InplaceWriter

NAMES = "abc"
WEIGHTS = {"create": 14, "mkdir": 5, "edit": 9, "same-size": 6, "append": 6, "truncate": 3, "save": 4,
           "link": 3, "rename": 5, "move": 5, "move-over": 2, "rename-folder": 3, "move-folder": 3, "delete": 5,
           "rmdir": 2, "swap": 1, "concurrent-edit": 7, "concurrent-create": 2,
           # Added later, last so that leaving them out gives a seed's earlier operations.
           "inplace": 6, "case-rename": 3, "case-rename-folder": 2, "big": 1}
DISKS = {"exfat", "dbfull"}


class Run:
    def __init__(self, args):
        self.args = args
        self.seed = args.seed
        self.rng = random.Random(args.seed)
        self.ledger = Ledger()
        self.ops = Operations(self.rng, self.ledger, args.seed)
        self.without = set(filter(None, (args.without or "").split(",")))
        unknown = self.without - set(WEIGHTS) - {"kill", "quit", "empty"} - DISKS
        if unknown:
            raise SystemExit("unknown kinds: " + ",".join(sorted(unknown)))
        names = NAMES[:args.devices]
        # Written steps were shrunk on the machine's own disk: there the disks are only those named.
        self.exfat_name = None if "exfat" in self.without else (args.exfat or (None if args.steps else names[-1]))
        self.dbfull_name = None if "dbfull" in self.without else (args.dbfull or (None if args.steps else names[0]))
        if {self.exfat_name, self.dbfull_name} - {None} - set(names):
            raise SystemExit("no such device: --exfat %s --dbfull %s" % (args.exfat, args.dbfull))
        self.ops.empty = "empty" not in self.without
        self.weights = {kind: weight for kind, weight in WEIGHTS.items() if kind not in self.without}
        self.work = os.path.abspath(args.work or tempfile.mkdtemp(prefix="velbor-randomrun-%d-" % args.seed))
        os.makedirs(self.work, exist_ok=True)
        self.op_log = open(os.path.join(self.work, "ops.log"), "a")
        self.note_lock = threading.Lock()
        # Held by every user operation; the in-place writer's thread takes it too.
        self.user_lock = threading.Lock()
        self.burst_number = 0
        self.exfat, self.data_disk, self.writer, self.devices = None, None, None, []
        environment = {}
        if args.sanitize:
            # A smaller quarantine than AddressSanitizer's 256 MiB, so that the memory check below
            # sees the program's growth rather than freed memory the sanitizer holds back.
            environment = {"ASAN_OPTIONS": "detect_leaks=1:abort_on_error=1:strict_string_checks=1:quarantine_size_mb=64",
                           "UBSAN_OPTIONS": "print_stacktrace=1:halt_on_error=1"}
        private_mounts()
        self.guard = Guard()
        try:
            self.make_devices(args, names, environment)
        except BaseException:
            self.guard.close()
            raise
        self.memory = Memory(2.0, 256 * 1024) if args.sanitize else Memory(1.5, 64 * 1024)
        # Seconds: the longest wait for quiet, how long quiet must last, and how long devices that
        # disagree may stand still before they count as stuck.
        self.quiet_limit, self.still_for, self.stalled_for = (480, 8, 120) if args.sanitize else (300, 6, 60)
        self.log_offsets = {device.name: 0 for device in self.devices}
        self.reported = set()
        self.last_files = set()
        self.counts = {"ops": 0, "kills": 0, "quits": 0, "concurrent": 0, "full": 0}

    def make_devices(self, args, names, environment):
        self.network = Network(args.devices, self.guard)
        if self.exfat_name:
            self.exfat = ExfatFolder(self.guard, os.path.join(self.work, self.exfat_name, "sync"),
                                     os.path.join(self.work, self.exfat_name + "-exfat.img"))
        if self.dbfull_name:
            self.data_disk = DataDisk(self.guard, os.path.join(self.work, self.dbfull_name, "home"))
        self.devices = [Device(name, args.peer, self.network.hosts[i], os.path.join(self.work, name), environment,
                               self.guard, self.data_disk if name == self.dbfull_name else None)
                        for i, name in enumerate(names)]
        self.caseless = tuple(i for i, name in enumerate(names) if name == self.exfat_name)
        if "inplace" not in self.without:
            self.writer = InplaceWriter(self)
            self.writer.start()

    def note(self, burst, text):
        with self.note_lock:
            self.op_log.write("seed %d burst %d %.3f %s\n" % (self.seed, burst, time.time(), text))
            self.op_log.flush()

    def fail(self, burst, text):
        print("FAIL seed=%d devices=%d burst=%d: %s" % (self.seed, len(self.devices), burst, text), flush=True)
        self.note(burst, "FAIL " + text.replace("\n", " | "))

    def setup(self):
        for device in self.devices:
            device.start()
        join(self.devices)

    # -- one operation ---------------------------------------------------------------------------
    def operation(self, burst, kind):
        device = self.rng.choice(self.devices)
        try:
            with self.user_lock:
                return self.apply(burst, kind, device)
        except OSError as error:
            # What was picked changed under the user's hand (a pull moved or removed it).
            self.note(burst, "%s: (%s: %s)" % (device.name, kind, error))
            return False

    def apply(self, burst, kind, device):
        ops = self.ops
        if kind == "create":
            done = ops.create(device)
        elif kind == "mkdir":
            done = ops.make_folder(device)
        elif kind in ("edit", "same-size", "append", "truncate"):
            done = ops.rewrite(device, mode=kind)
        elif kind == "save":
            done = ops.save_as_editor(device)
        elif kind == "link":
            done = ops.hard_link(device)
        elif kind in ("rename", "move"):
            done = ops.rename_file(device, kind == "move")
        elif kind in ("rename-folder", "move-folder"):
            done = ops.rename_folder(device, kind == "move-folder")
        elif kind == "move-over":
            done = ops.move_over(device)
        elif kind == "delete":
            done = ops.delete_file(device)
        elif kind == "rmdir":
            done = ops.delete_folder(device)
        elif kind == "swap":
            done = ops.swap(device)
        elif kind in ("case-rename", "case-rename-folder"):
            done = ops.case_rename(device, kind == "case-rename-folder")
        elif kind == "big":
            done = ops.big_file(device)
        elif kind == "inplace":
            done = self.writer.provoke(device, [other for other in self.devices if other is not device])
        else:
            return self.concurrent(burst, kind)
        self.note(burst, "%s: %s" % (device.name, done or "(%s: nothing to do)" % kind))
        return done is not None

    def concurrent(self, burst, kind):
        """The same file changed on two devices one right after the other, before either can
        have heard of the other's change."""
        one, other = self.rng.sample(self.devices, 2)
        if kind == "concurrent-edit":
            shared = sorted(set(visible_tree(one.folder)[0]) & set(visible_tree(other.folder)[0]))
            if not shared:
                self.note(burst, "concurrent edit: no file on both %s and %s" % (one.name, other.name))
                return False
            relative = self.rng.choice(shared)
            modes = [self.rng.choice(("edit", "append", "same-size")) for _ in range(2)]
            first = self.ops.rewrite(one, relative, mode=modes[0])
            second = self.ops.rewrite(other, relative, mode=modes[1])
        else:
            folder = self.ops.pick_folder(one)
            relative = os.path.join(folder, self.ops.fresh("c") + ".txt")
            first = self.ops.create(one, relative)
            second = self.ops.create(other, relative)
        self.counts["concurrent"] += 1
        self.note(burst, "%s: %s / %s: %s" % (one.name, first, other.name, second))
        return True

    # -- a device down and up ----------------------------------------------------------------------
    def take_down(self, burst, device):
        kill = self.rng.random() < 0.5
        if "kill" in self.without or "quit" in self.without:
            kill = "quit" in self.without
        if kill:
            device.kill()
            self.counts["kills"] += 1
            self.note(burst, "%s: kill -9" % device.name)
        else:
            device.quit()
            self.counts["quits"] += 1
            self.note(burst, "%s: quit" % device.name)

    def bring_up(self, burst, device):
        """Started again; a peer that died meanwhile (its failure is reported by the check) is
        cleared first, and a start that fails is tried again."""
        if device.proc is not None and not device.alive():
            device.close_pipes()
        for attempt in range(3):
            try:
                device.start()
                break
            except RuntimeError as error:
                self.note(burst, "%s: start failed: %s" % (device.name, error))
                if attempt == 2:
                    raise
                if device.data_disk and device.data_disk.full:
                    # A device may refuse to start on a full disk; it must start once there is room.
                    self.free_disk(burst)
                time.sleep(3)
        self.note(burst, "%s: started" % device.name)

    # -- a full database disk ------------------------------------------------------------------------
    def fill_disk(self, burst, many):
        """The data disk filled; with `many`, another device copies in a folder of small files
        that the full device pulls meanwhile. Gives (device, folder) of that folder."""
        written = self.data_disk.fill()
        self.counts["full"] += 1
        self.note(burst, "%s: data disk full (%d bytes written to fill it)" % (self.dbfull_name, written))
        if not many:
            return None
        other = self.rng.choice([device for device in self.devices if device.name != self.dbfull_name])
        count = self.rng.randint(20, 80)
        with self.user_lock:
            folder = self.ops.many_files(other, count)
        self.note(burst, "%s: %s" % (other.name, "many files: %d in %s" % (count, folder) if folder else
                                     "(many files: nothing to do)"))
        return (other, folder) if folder else None

    def free_disk(self, burst, copied=None):
        """Room again; the folder copied in meanwhile is deleted first, as it was in the failure
        this reproduces (files pulled while the disk was full, then deleted on their device)."""
        if not self.data_disk.full:
            return
        if copied:
            other, folder = copied
            with self.user_lock:
                done = self.ops.delete_folder(other, folder)
            self.note(burst, "%s: %s" % (other.name, done or "(rmdir %s: nothing to do)" % folder))
            time.sleep(self.rng.uniform(0.5, 3))
        self.data_disk.free()
        self.note(burst, "%s: data disk freed" % self.dbfull_name)

    # -- a burst ------------------------------------------------------------------------------------
    def burst(self, burst):
        rng = self.rng
        self.burst_number = burst
        count = rng.randint(15, 30)
        down, down_at, up_at = None, -1, -1
        if rng.random() < 0.45 and not {"kill", "quit"} <= self.without:
            down = rng.choice(self.devices)
            down_at = rng.randint(0, count // 2)
            up_at = rng.randint(down_at + 3, count + 3)
        # Drawn only with the data disk, so that a seed without it makes the operations it made before.
        fill_at, free_at, many, copied = -1, -1, False, None
        if self.data_disk and rng.random() < 0.5:
            fill_at = rng.randint(0, count // 2)
            free_at = rng.randint(fill_at + 2, count + 3)
            many = rng.random() < 0.6
        kinds, weights = zip(*self.weights.items())
        for index in range(count + 4):
            if index == fill_at:
                copied = self.fill_disk(burst, many)
            if index == free_at:
                self.free_disk(burst, copied)
            if down is not None and index == down_at and down.up:
                self.take_down(burst, down)
            if down is not None and index == up_at and not down.up:
                self.bring_up(burst, down)
            if index < count:
                self.operation(burst, rng.choices(kinds, weights)[0])
                self.counts["ops"] += 1
                pause = rng.random()
                time.sleep(0 if pause < 0.35 else rng.uniform(0.05, 0.4) if pause < 0.85 else rng.uniform(1, 3))
        for device in self.devices:
            if not device.alive():
                self.bring_up(burst, device)
        return self.check(burst, count)

    def check(self, burst, count=0):
        """Waits for quiet and checks the devices; True when all is well."""
        if self.data_disk:
            self.free_disk(burst)
        if self.writer:
            self.writer.disarm(burst)
        look, waited = wait_quiet(self.devices, self.quiet_limit, self.still_for, self.stalled_for, self.caseless)
        failures = check(self.devices, look, self.ledger, self.reported, self.last_files)
        self.last_files = {(path, entry[1]) for tree in look.trees for path, entry in tree.items() if entry}
        for device in self.devices:
            reports, self.log_offsets[device.name] = sanitizer_reports(device, self.log_offsets[device.name])
            if reports:
                failures.append("sanitizer on %s: %s" % (device.name, " | ".join(reports)))
            if device.alive():
                grown = self.memory.record(device)
                if grown:
                    failures.append("memory grew: " + grown)
        files = sum(1 for entry in look.trees[0].values() if entry)
        rss = " ".join("%s=%dMiB" % (device.name, max(device.rss_kib(), 0) // 1024) for device in self.devices)
        state = "FAILED" if failures else "ok"
        print("seed=%d devices=%d burst=%d ops=%d quiet after %.0fs files=%d rss %s: %s" % (
            self.seed, len(self.devices), burst, count, waited, files, rss, state), flush=True)
        self.note(burst, "end of burst: %s after %.0fs" % (state, waited))
        for failure in failures:
            self.fail(burst, failure)
        return not failures

    def close(self, failed):
        """Everything undone, in order: the devices first (they hold the disks), then the disks,
        the namespaces, and the guard, which undoes whatever is left."""
        if self.writer:
            self.writer.stop()
        for device in self.devices:
            if device.alive():
                try:
                    device.quit()
                except Exception:
                    device.kill()
            elif device.proc:
                device.kill()
        if self.data_disk:
            keep = os.path.join(self.work, self.dbfull_name, "home-at-end") if failed else None
            try:
                self.data_disk.close(keep)
            except OSError as error:
                print("randomrun: home of %s not kept: %s" % (self.dbfull_name, error), flush=True)
        if self.exfat:
            self.exfat.close(keep_image=failed)
        self.network.close()
        self.guard.close()
        self.op_log.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("peer")
    parser.add_argument("seed", type=int)
    parser.add_argument("devices", type=int, choices=(2, 3))
    parser.add_argument("bursts", type=int)
    parser.add_argument("--sanitize", action="store_true", help="the peer is built with the sanitizers")
    parser.add_argument("--keep-going", action="store_true", help="go on after a failing burst")
    parser.add_argument("--without", help="kinds of operation left out, comma-separated")
    parser.add_argument("--steps", help="written steps to play in place of the bursts")
    parser.add_argument("--exfat", metavar="DEVICE", help="the device whose folder is on exFAT (default: the last)")
    parser.add_argument("--dbfull", metavar="DEVICE",
                        help="the device whose home is on a small disk filled at times (default: the first)")
    parser.add_argument("--work", help="folder for the devices and logs (default: a fresh one in /tmp)")
    args = parser.parse_args()
    args.peer = os.path.abspath(args.peer)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    signal.signal(signal.SIGHUP, lambda *_: sys.exit(129))
    run = Run(args)
    print("randomrun seed=%d devices=%d bursts=%d%s work=%s" % (
        args.seed, args.devices, args.bursts, " sanitize" if args.sanitize else "", run.work), flush=True)
    passed, failed_at = 0, None
    started = time.time()
    try:
        run.setup()
        if args.steps:
            failed_at = Steps(run, args.steps).play()
            args.bursts = 0
        for burst in range(1, args.bursts + 1):
            if run.burst(burst):
                passed += 1
            elif failed_at is None:
                failed_at = burst
                if not args.keep_going:
                    break
    except Exception as error:
        # The run itself could not go on (a device that does not start): a failure of this seed.
        print("FAIL seed=%d devices=%d: run stopped, %s: %s" % (args.seed, args.devices, type(error).__name__, error),
              flush=True)
        failed_at = failed_at or passed + 1
    finally:
        run.close(failed_at is not None)
    if failed_at is None and not args.work:
        shutil.rmtree(run.work, ignore_errors=True)
    if args.steps:
        print("randomrun steps %s devices=%d%s: %s" % (
            args.steps, args.devices, " sanitize" if args.sanitize else "",
            "passed" if failed_at is None else "failed at check %d" % failed_at), flush=True)
        return 0 if failed_at is None else 1
    memory = " ".join("%s=%d..%dMiB" % (name, min(values) // 1024, max(values) // 1024)
                      for name, values in sorted(run.memory.figures.items()))
    print("randomrun seed=%d devices=%d%s: %d of %d bursts passed%s; %d operations, %d concurrent, %d kills, "
          "%d quits, %d in-place writes, %d full disks, %d contents written, %.0f s; rss %s" % (
              args.seed, args.devices, " sanitize" if args.sanitize else "", passed, args.bursts,
              "" if failed_at is None else " (first failure in burst %d)" % failed_at, run.counts["ops"],
              run.counts["concurrent"], run.counts["kills"], run.counts["quits"],
              run.writer.fired if run.writer else 0, run.counts["full"], len(run.ledger.written),
              time.time() - started, memory), flush=True)
    return 0 if failed_at is None else 1


if __name__ == "__main__":
    sys.exit(main())
