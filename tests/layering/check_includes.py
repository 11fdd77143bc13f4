#!/usr/bin/env python3
"""Checks that every quoted include of src/ points down the floor plan.

Usage: check_includes.py <src folder>

Prints one line per forbidden include, "file:line: <include> — <rule that forbids it>",
and exits with 1 when there is any (or when a pending exception no longer occurs).
Directives are read as the preprocessor reads them: lines joined by a backslash, comments
blanked out. An include in angle brackets is checked when it names a file of src/ (src/ is
on the include path); other angle includes are system and library headers.
"""

import os
import re
import sys

# Includes that break a rule below today, each waiting for a change that removes it. Every
# entry is to be removed, and the check fails once an entry no longer occurs, so this list
# cannot outlive the change that empties it. Paths are those the check prints.
PENDING_EXCEPTIONS = [
]

SERVICES = ("router", "client", "sync", "discovery", "monitor", "publisher", "http")

# Floors from the bottom up: a part may include the parts of lower floors and its own.
FLOORS = [
    ("platform",),
    ("framework/errors",),
    ("framework/crypto", "framework/persistence", "framework/network"),
    ("core/utils", "core/proto", "proto"),
    ("core/entity",),
    ("core/envelope",),
    ("core/state",),
    tuple("core/daemon/" + service for service in SERVICES),
    # QoDaemon starts and stops the services.
    ("core/daemon",),
    # The remote log client is used by the application only; what it includes is ruled below.
    ("desktop", "logger"),
    # The application runs the daemon through desktop's start-up.
    ("ui",),
]
RANK = {part: rank for rank, parts in enumerate(FLOORS) for part in parts}

# Parts on one floor that may use one another; any other pair stands side by side.
SAME_FLOOR_USES = {
    "core/utils": {"core/proto", "proto"},
    "core/proto": {"core/utils", "proto"},
    # Requests to this device itself go to its handlers in-process.
    "core/daemon/client": {"core/daemon/router", "core/daemon/sync"},
    # Liveness and trust checks use the client, and the router's trust handling for now.
    "core/daemon/discovery": {"core/daemon/client", "core/daemon/router", "core/daemon/sync", "core/daemon/http"},
    "core/daemon/router": {"core/daemon/sync"},
    "core/daemon/monitor": {"core/daemon/sync"},
    # The publisher's notice broker is a router (it derives from QoRouter); what a notice
    # asks for goes to the sync engine's entry point.
    "core/daemon/publisher": {"core/daemon/router", "core/daemon/sync"},
    "core/daemon/sync": set(),
    "core/daemon/http": set(),
    "desktop": {"logger"},
}


def is_service(part):
    return part.startswith("core/daemon/")


def is_core(part):
    return part.startswith("core/") or part == "proto"


# Rules with their own reason, tried in order before the floors.
RULES = [
    (lambda a, b: a == "core/entity" and (b == "core/state" or b.startswith("core/daemon")),
     "entity depends on nothing above it: state and services hand down what it needs"),
    (lambda a, b: (a == "platform" or a.startswith("framework/")) and (is_core(b) or b in ("ui", "desktop", "logger")),
     "framework and platform know nothing of core, ui, desktop or logger"),
    (lambda a, b: a == "platform" and b.startswith("framework/"),
     "platform is the lowest floor: it does not include framework"),
    (lambda a, b: a == "framework/errors" and b.startswith("framework/") and b != a,
     "errors is the lowest part of framework: the parts that raise its exceptions sit on it"),
    (lambda a, b: a == "ui" and b == "core/daemon/router",
     "the user interface reaches the engine through the client and the sync engine's entry point,"
     " never through router internals"),
    (lambda a, b: a == "core/envelope" and (b == "core/state" or b.startswith("core/daemon")),
     "envelope is given its keys by the caller: it does not include state or the daemon"),
    (lambda a, b: a == "core/daemon/sync" and b == "core/daemon/router",
     "sync sits under the router: the router and its handlers call the sync engine's entry point, not the reverse"),
    (lambda a, b: a == "core/daemon/monitor" and b == "core/daemon/router",
     "the monitor hands its pulls to the sync engine's entry point, not to the router"),
    (lambda a, b: a == "logger" and b not in ("logger", "platform"),
     "logger, the remote log client, stands on platform alone"),
    (lambda a, b: b == "logger" and a not in ("logger", "desktop", "ui"),
     "logger is used by the application (desktop, ui) only"),
    (lambda a, b: a == "desktop" and b == "ui",
     "desktop, the daemon's start-up, builds without Qt: it does not include the user interface"),
]

# Files of src/ that are not C++ (anything else may be compiled or included, whatever its suffix).
NOT_SOURCE_SUFFIXES = (".txt", ".cmake", ".md", ".proto", ".qrc", ".ui", ".svg", ".png", ".ico", ".json", ".in",
                       ".desktop", ".py", ".sh")
DIRECTIVE = re.compile(r"^\s*#\s*(?:include_next|include|import)\b\s*(.*?)\s*$")
QUOTED = re.compile(r'^"([^"]+)"')
ANGLED = re.compile(r"^<([^>]+)>")
GENERATED = re.compile(r"^proto/[^/]+\.pb\.h$")


def part_of(path):
    """The part of the plan that `path` (relative to src/) belongs to, or None."""
    folders = path.split("/")[:-1]
    if not folders:
        return None
    if folders[0] in ("platform", "logger", "desktop", "ui", "proto"):
        return folders[0]
    if len(folders) >= 2 and folders[0] in ("framework", "core"):
        part = folders[0] + "/" + folders[1]
        if part == "core/daemon":
            if len(folders) == 2:
                return part
            if folders[2] in SERVICES:
                return part + "/" + folders[2]
            return None
        return part if part in RANK else None
    return None


def reason_forbidding(a, b):
    """Why part `a` may not include part `b`, or None when it may."""
    for applies, reason in RULES:
        if applies(a, b):
            return reason
    if a == b or RANK[b] < RANK[a]:
        return None
    if RANK[b] == RANK[a]:
        if b in SAME_FLOOR_USES.get(a, set()):
            return None
        if is_service(a) and is_service(b):
            allowed = ", ".join(sorted(s.rsplit("/", 1)[1] for s in SAME_FLOOR_USES[a])) or "no other service"
            return "services use one another downwards only: %s may use %s" % (a.rsplit("/", 1)[1], allowed)
        return "%s and %s stand side by side on one floor: neither includes the other" % (a, b)
    return "includes point down: %s may not include %s, a floor above it" % (a, b)


def resolve(src_root, including, written, angled=False):
    """The included file relative to src/ as the compiler finds it (the including file's
    folder first unless angled, then src/), or None."""
    here = os.path.dirname(including)
    for candidate in ((written,) if angled else (os.path.join(here, written), written)):
        full = os.path.join(src_root, candidate)
        if os.path.isfile(full):
            # Placed by where it really is, so that a link cannot carry a header down a floor.
            return os.path.relpath(os.path.realpath(full), os.path.realpath(src_root)).replace(os.sep, "/")
    if GENERATED.match(written):
        return written
    return None


def source_files(src_root):
    root = os.path.realpath(src_root)
    linked = set()
    for folder, subfolders, files in os.walk(src_root, followlinks=True):
        # A linked folder is read where the link places it, unless it leads into src/ (its
        # files are read where they are) or to a folder read already.
        kept = []
        for name in sorted(subfolders):
            full = os.path.join(folder, name)
            if os.path.islink(full):
                real = os.path.realpath(full)
                if real == root or real.startswith(root + os.sep) or real in linked:
                    continue
                linked.add(real)
            kept.append(name)
        subfolders[:] = kept
        for name in sorted(files):
            if name != "CMakeLists.txt" and not name.endswith(NOT_SOURCE_SUFFIXES):
                yield os.path.relpath(os.path.join(folder, name), src_root).replace(os.sep, "/")


def logical_lines(text):
    """The lines the preprocessor reads directives from, as (number of the first physical line,
    text): backslash-newlines joined, comments replaced by a blank, string and character
    literals kept (a comment marker inside one is no comment)."""
    out = []
    start = 1
    number = 1
    line = []
    i = 0
    n = len(text)
    in_block = False
    while i < n:
        c = text[i]
        if c == "\\" and text.startswith("\n", i + 1):
            i += 2
            number += 1
            continue
        if c == "\n" and in_block:
            # A comment over several lines is one blank: the line goes on after it.
            number += 1
            i += 1
            continue
        if c == "\n":
            out.append((start, "".join(line)))
            line = []
            number += 1
            start = number
            i += 1
            continue
        if in_block:
            if text.startswith("*/", i):
                in_block = False
                line.append(" ")
                i += 2
            else:
                i += 1
            continue
        if text.startswith("/*", i):
            in_block = True
            i += 2
            continue
        if text.startswith("//", i):
            # To the end of the (joined) line.
            while i < n and text[i] != "\n":
                if text[i] == "\\" and text.startswith("\n", i + 1):
                    number += 1
                    i += 1
                i += 1
            continue
        if c in "\"'":
            j = i + 1
            while j < n and text[j] not in (c, "\n"):
                j += 2 if text[j] == "\\" else 1
            line.append(text[i:j + 1])
            i = j + 1
            continue
        line.append(c)
        i += 1
    if line:
        out.append((start, "".join(line)))
    return out


def includes(text):
    """Each include of `text` as (line, written, angled); `angled` is None for an include
    through a macro, whose path the check cannot see."""
    for number, line in logical_lines(text):
        directive = DIRECTIVE.match(line)
        if not directive:
            continue
        rest = directive.group(1)
        quoted = QUOTED.match(rest)
        angled = ANGLED.match(rest)
        if quoted:
            yield number, quoted.group(1), False
        elif angled:
            yield number, angled.group(1), True
        else:
            yield number, rest, None


def check(src_root, pending=()):
    """Forbidden includes under `src_root` as (file, line, include, reason), with the pending
    exceptions that no longer occur as (file, None, include, reason)."""
    label = os.path.basename(os.path.normpath(src_root))
    pending = set(pending)
    found = []
    excused = set()
    for path in source_files(src_root):
        shown = label + "/" + path
        part = part_of(path)
        with open(os.path.join(src_root, path), encoding="utf-8", errors="replace") as source:
            text = source.read()
        for number, written, angled in includes(text):
            target = None
            if angled is not None:
                target = resolve(src_root, path, written, angled)
                if angled and target is None:
                    # A system or library header.
                    continue
            if part is None:
                reason = "%s is in no folder of the floor plan: give its folder a place here" % shown
            elif angled is None:
                reason = "includes through a macro, which this check cannot follow: write the path"
            else:
                if target is None:
                    reason = "names no file of src/ (write include paths from src/)"
                elif part_of(target) is None:
                    reason = "%s is in no folder of the floor plan" % target
                else:
                    reason = reason_forbidding(part, part_of(target))
            if reason is None:
                continue
            if (shown, written) in pending:
                excused.add((shown, written))
                continue
            found.append((shown, number, written, reason))
    for shown, written in sorted(pending - excused):
        found.append((shown, None, written,
                      "pending exception no longer occurs: remove it from PENDING_EXCEPTIONS"))
    return found


def main(argv):
    if len(argv) != 2 or not os.path.isdir(argv[1]):
        print("usage: check_includes.py <src folder>", file=sys.stderr)
        return 2
    sys.stdout.reconfigure(encoding="utf-8", errors="replace")
    found = check(argv[1], PENDING_EXCEPTIONS)
    for shown, number, written, reason in found:
        where = shown if number is None else "%s:%d" % (shown, number)
        print("%s: %s — %s" % (where, written, reason))
    if found:
        print("%d forbidden include(s) or stale exception(s)" % len(found))
        return 1
    print("every include points down (%d pending exception(s))" % len(PENDING_EXCEPTIONS))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
