#!/usr/bin/env python3
"""Checks every source file's includes against the layer table (cmake/layers.txt).

Usage: check_layers.py ROOT [--table FILE]

Exits 0 when every include is allowed, 1 with one line per fault otherwise, 2 when the table
itself is bad. Run by the build before any of our code compiles (target vorn_check_layers).
"""
import fnmatch
import os
import re
import sys

SOURCE_SUFFIXES = (".c", ".cc", ".cpp", ".h", ".hpp")
# Top-level folders without sources of ours (and build*, the build trees); fuzzing corpora.
SKIPPED_TOP = {"docs", "scripts", "cmake"}
SKIPPED_ANYWHERE = {"corpus"}

# Headers of the Windows SDK and of the mingw-w64 runtime that exist only on Windows.
WINDOWS_HEADERS = {
    "windows.h", "winsock2.h", "ws2tcpip.h", "shellapi.h", "commctrl.h", "shlobj.h",
    "objbase.h", "ole2.h", "iphlpapi.h", "mmsystem.h", "tlhelp32.h", "psapi.h", "wincrypt.h",
    "process.h", "io.h", "direct.h", "conio.h", "sys/timeb.h", "mswsock.h", "winioctl.h",
}
WINDOWS_PREFIXES = ("win", "ws2", "wsa", "shl", "ntdef", "ntstatus")

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')
CONDITION = re.compile(r"^\s*#\s*(if|ifdef|ifndef|elif|else|endif)\b(.*)")


class TableError(Exception):
    pass


class Row:
    def __init__(self, path, kind, allowed, line):
        self.path = path
        self.kind = kind
        self.allowed = allowed  # None: everything
        self.line = line

    def matches(self, rel):
        if any(c in self.path for c in "*?["):
            return fnmatch.fnmatchcase(rel, self.path)
        return rel == self.path or rel.startswith(self.path + "/")

    def folder(self):
        """The folder the row is about: the path itself, or the folder of a file or pattern."""
        if any(c in self.path for c in "*?[") or "." in os.path.basename(self.path):
            return os.path.dirname(self.path)
        return self.path

    def specificity(self):
        # A file beats a pattern beats a folder; a deeper folder beats a shallower one.
        if any(c in self.path for c in "*?["):
            return (1, len(self.path))
        return (2 if "." in os.path.basename(self.path) else 0, len(self.path))


def read_table(path):
    rows = []
    with open(path, encoding="utf-8") as f:
        for number, text in enumerate(f, 1):
            text = text.split("#", 1)[0].split()
            if not text:
                continue
            if len(text) < 3 or text[1] not in ("portable", "windows"):
                raise TableError(f"{path}:{number}: expected PATH portable|windows MAY-INCLUDE...")
            allowed = text[2:]
            if allowed == ["*"]:
                allowed = None
            elif allowed == ["-"]:
                allowed = []
            rows.append(Row(text[0], text[1], allowed, number))
    return rows


def row_of(rows, rel):
    found = [r for r in rows if r.matches(rel)]
    return max(found, key=Row.specificity) if found else None


def is_windows_header(name):
    name = name.lower()
    return name in WINDOWS_HEADERS or (
        "/" not in name and name.startswith(WINDOWS_PREFIXES) and name.endswith(".h"))


def mentions_win32(condition):
    """+1 when the condition holds on Windows (_WIN32 named, not negated), -1 when it holds
    off Windows (!defined(_WIN32)), 0 when it does not name _WIN32."""
    m = re.search(r"(!\s*)?(defined\s*\(?\s*)?_WIN32\b", condition)
    if not m:
        return 0
    return -1 if m.group(1) else 1


def includes(path):
    """Yields (line number, kind of bracket, name, inside a Windows-only block)."""
    stack = []  # per open #if: +1 Windows branch, -1 non-Windows branch, 0 neither
    with open(path, encoding="utf-8", errors="replace") as f:
        for number, text in enumerate(f, 1):
            c = CONDITION.match(text)
            if c:
                word, rest = c.group(1), c.group(2)
                if word in ("if", "ifdef"):
                    stack.append(mentions_win32(rest))
                elif word == "ifndef":
                    stack.append(-mentions_win32(rest))
                elif word == "elif" and stack:
                    stack[-1] = mentions_win32(rest)
                elif word == "else" and stack:
                    stack[-1] = -stack[-1]
                elif word == "endif" and stack:
                    stack.pop()
                continue
            m = INCLUDE.match(text)
            if m:
                yield number, m.group(1), m.group(2), 1 in stack


def sources(root):
    for folder, dirs, files in os.walk(root):
        top = os.path.samefile(folder, root)
        dirs[:] = sorted(
            d for d in dirs
            if not d.startswith(".") and d not in SKIPPED_ANYWHERE
            and not (top and (d in SKIPPED_TOP or d.startswith("build"))))
        for name in sorted(files):
            if name.endswith(SOURCE_SUFFIXES):
                yield os.path.relpath(os.path.join(folder, name), root).replace(os.sep, "/")


def resolve(root, rel, name):
    """The repository path of a quoted include: next to the file, else from the root."""
    beside = os.path.normpath(os.path.join(os.path.dirname(rel), name)).replace(os.sep, "/")
    if os.path.isfile(os.path.join(root, beside)):
        return beside
    return os.path.normpath(name).replace(os.sep, "/")


def allowed_by(row, rel, target):
    if row.allowed is None or os.path.dirname(target) == os.path.dirname(rel):
        return True
    if target.startswith(row.folder() + "/"):
        return True  # the row's own folder, sub-folders included
    return any(target == a or target.startswith(a.rstrip("/") + "/") for a in row.allowed)


def check(root, rows):
    faults = []
    for rel in sources(root):
        row = row_of(rows, rel)
        if row is None:
            top = rel.split("/")[0]
            faults.append(f"{rel}: the folder {top}/ has no row in the layer table; add one "
                          "(PATH KIND MAY-INCLUDE...) that says what it may include")
            continue
        for number, bracket, name, windows_block in includes(os.path.join(root, rel)):
            where = f"{rel}:{number}"
            if bracket == "<":
                if row.kind == "portable" and not windows_block and is_windows_header(name):
                    faults.append(f"{where}: <{name}> in portable code ({row.path} builds "
                                  "natively); keep it inside #if defined(_WIN32) or move the "
                                  "code to a windows layer")
                continue
            target = resolve(root, rel, name)
            target_row = row_of(rows, target)
            if not allowed_by(row, rel, target):
                may = " ".join(row.allowed) if row.allowed else "nothing outside its folder"
                faults.append(f'{where}: includes "{name}", but {row.path} may include only: '
                              f"{may} (layer table line {row.line})")
            elif (row.kind == "portable" and target_row is not None
                  and target_row.kind == "windows" and not windows_block):
                faults.append(f'{where}: includes "{name}", a Windows header of '
                              f"{target_row.path}, in portable code ({row.path})")
    return faults


def main(argv):
    args = argv[1:]
    table = None
    if "--table" in args:
        i = args.index("--table")
        table = args[i + 1]
        del args[i:i + 2]
    if len(args) != 1:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    root = os.path.abspath(args[0])
    table = table or os.path.join(root, "cmake", "layers.txt")
    try:
        rows = read_table(table)
    except (OSError, TableError) as e:
        print(f"layers: {e}", file=sys.stderr)
        return 2
    faults = check(root, rows)
    for fault in faults:
        print(f"layers: {fault}", file=sys.stderr)
    if faults:
        print(f"layers: {len(faults)} include(s) break the layers of {table}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
