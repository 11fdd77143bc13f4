"""Written steps for the randomized run's devices, one a line, to repeat a shrunk failure exactly:
    DEVICE write PATH [SIZE]     a new content (SIZE bytes, default 100) in place of PATH's, or a new file
    DEVICE append PATH [SIZE]    SIZE bytes (default 100) added to PATH
    DEVICE truncate PATH         PATH emptied to 0 bytes
    DEVICE save PATH [SIZE]      an editor's save: a new content renamed over PATH
    DEVICE touch PATH            PATH's times set back a moment, its content kept
    DEVICE mkdir PATH            DEVICE rm PATH          DEVICE rmdir PATH (with what is in it)
    DEVICE mv FROM TO            DEVICE link FROM TO (a hard link)
    DEVICE many PATH COUNT       a new folder PATH of COUNT small files
    DEVICE kill | quit | start
    DEVICE umount | mount        its exFAT folder (--exfat DEVICE) unmounted in the device's own mount
                                 namespace (kept bound aside), or bound back there
    DEVICE bind DIR | unbind     DIR bound over its folder there, or unbound
    DEVICE fill | free           its home's disk (--dbfull DEVICE) filled, or freed again
    DEVICE arm PATH              when DEVICE's log next shows it install a rename to PATH or an
                                 update of PATH, 4 KiB are written at offset 0 of PATH there
    sleep SECONDS
    quiet                        wait until the devices are quiet and check them
Devices are a, b and c; paths are relative to a device's folder; `#` starts a comment (%23 in a
path stands for it). The run
ends with a check as after `quiet`. A folder is on exFAT, or a home on the small disk, only where
named (--exfat DEVICE, --dbfull DEVICE; the first line of a case says so). bench/randomrun_cases/ holds failures found and shrunk so:
    bench/randomrun.sh 0 DEVICES 1 --steps bench/randomrun_cases/NAME.txt"""
import os
import time


class Steps:
    def __init__(self, run, path):
        self.run = run
        with open(path) as text:
            self.lines = [[w.replace("%23", "#") for w in line.split("#", 1)[0].split()] for line in text]
        self.lines = [words for words in self.lines if words]

    def device(self, name):
        for device in self.run.devices:
            if device.name == name:
                return device
        raise SystemExit("no device " + name)

    def play(self):
        """The number of the first check that failed, or None."""
        run, ops, failed, checks = self.run, self.run.ops, None, 0
        for number, words in enumerate(self.lines, 1):
            run.burst_number = checks + 1
            if words[0] == "sleep":
                time.sleep(float(words[1]))
                continue
            if words[0] == "quiet":
                checks += 1
                if not run.check(checks) and failed is None:
                    failed = checks
                continue
            device, action, arguments = self.device(words[0]), words[1], words[2:]
            size = int(arguments[1]) if len(arguments) > 1 and action != "mv" and action != "link" else 100
            path = lambda i: os.path.join(device.folder, arguments[i])
            if action == "write":
                if os.path.exists(path(0)):
                    done = ops.rewrite(device, arguments[0], data=ops.content(device, size=size), mode="edit")
                else:
                    done = ops.create(device, arguments[0], data=ops.content(device, size=size))
            elif action == "append":
                done = ops.rewrite(device, arguments[0], mode="append", data=None, size=size)
            elif action == "truncate":
                done = ops.rewrite(device, arguments[0], mode="truncate")
            elif action == "save":
                done = ops.save_as_editor(device, arguments[0], size)
            elif action == "touch":
                when = os.lstat(path(0)).st_mtime_ns - 10 ** 9
                os.utime(path(0), ns=(when, when), follow_symlinks=False)
                ops.ledger.touch(device, arguments[0])
                done = "touch " + arguments[0]
            elif action == "mkdir":
                os.makedirs(path(0), exist_ok=True)
                done = "mkdir " + arguments[0]
            elif action == "rm":
                done = ops.remove_file(device, arguments[0]) and "rm " + arguments[0]
            elif action == "rmdir":
                done = ops.delete_folder(device, arguments[0])
            elif action == "mv":
                os.rename(path(0), path(1))
                ops.ledger.moved(device, arguments[0], arguments[1])
                done = "mv %s %s" % tuple(arguments)
            elif action == "link":
                os.link(path(0), path(1))
                done = "link %s %s" % tuple(arguments)
            elif action in ("fill", "free"):
                if device.data_disk is None:
                    raise SystemExit("line %d: %s has no disk to fill (--dbfull %s)" % (number, device.name, device.name))
                done = "data disk %s (%s bytes)" % (action, device.data_disk.fill()) if action == "fill" else \
                    device.data_disk.free() or "data disk freed"
            elif action == "many":
                os.makedirs(path(0))
                for index in range(int(arguments[1])):
                    ops.create(device, os.path.join(arguments[0], "f%d.txt" % index), ops.content(device, size=100))
                done = "many %s %s" % tuple(arguments)
            elif action == "arm":
                if run.writer is None:
                    raise SystemExit("line %d: in-place writes are left out" % number)
                target = arguments[0]
                run.writer.arm(device, {"EventRenameFile", "EventUpdateFile", "EventSuccessful", "EventFFConflict"},
                               lambda old, new: new == target, "install of " + target)
                done = "armed for " + target
            elif action == "umount":
                import subprocess
                ns = ["nsenter", "-t", str(device.proc.pid), "-m"]
                os.makedirs(device.folder + "-stash", exist_ok=True)
                subprocess.run(ns + ["mount", "--bind", device.folder, device.folder + "-stash"], check=True)
                subprocess.run(ns + ["umount", device.folder], check=True)
                done = "umount"
            elif action == "mount":
                import subprocess
                subprocess.run(["nsenter", "-t", str(device.proc.pid), "-m", "mount", "--bind", device.folder + "-stash", device.folder], check=True)
                done = "mount"
            elif action == "bind":
                import subprocess
                os.makedirs(arguments[0], exist_ok=True)
                subprocess.run(["nsenter", "-t", str(device.proc.pid), "-m", "mount", "--bind", arguments[0], device.folder], check=True)
                done = "bind " + arguments[0]
            elif action == "unbind":
                import subprocess
                subprocess.run(["nsenter", "-t", str(device.proc.pid), "-m", "umount", device.folder], check=True)
                done = "unbind"
            elif action == "kill":
                device.kill()
                done = "kill -9"
            elif action == "quit":
                device.quit()
                done = "quit"
            elif action == "start":
                device.start()
                done = "started"
            else:
                raise SystemExit("line %d: unknown step %s" % (number, action))
            run.note(checks + 1, "%s: %s" % (device.name, done))
        checks += 1
        if not run.check(checks) and failed is None:
            failed = checks
        return failed
