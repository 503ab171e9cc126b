#!/usr/bin/env python3
"""Keeps the include lines of src/ running one way.

Core folders (src/port, src/text, src/app, src/pop3, src/oauth, src/lcd, src/settings,
src/shell) include no OS header and no back-end header (src/win32, src/posix), and of the
libraries only nlohmann/json, in src/oauth alone; src/port includes nothing of the
core and src/text nothing but itself; only src/app itself includes src/app. `--arrows` prints
the include lines counted per pair of folders instead.

Usage: include_rules.py [--arrows] [SRC_DIR]
"""
import collections
import pathlib
import re
import sys

CORE = ("port", "text", "app", "pop3", "oauth", "lcd", "settings", "shell")
# The one library the core uses (header only, the same for every build), and where.
LIBRARIES = {"nlohmann/json.hpp": ("oauth",)}
BACK_ENDS = ("win32", "posix")
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')
# The C++ standard library headers the core may use; anything else in angle brackets is an OS
# or third-party header.
STANDARD = set("""
algorithm array atomic bitset cassert cctype cerrno cfloat charconv chrono cinttypes climits
clocale cmath condition_variable cstdarg cstddef cstdint cstdio cstdlib cstring ctime cwchar
cwctype deque exception functional initializer_list iomanip ios iosfwd iostream istream
iterator limits list map memory mutex new numeric optional ostream queue random ratio set
sstream stack stdexcept string string_view system_error thread tuple type_traits typeinfo
unordered_map unordered_set utility variant vector
""".split())


def includes(src):
    for path in sorted(src.rglob("*")):
        if path.suffix not in (".h", ".cpp"):
            continue
        folder = path.relative_to(src).parts[0]
        for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
            m = INCLUDE.match(line)
            if m:
                yield path, number, folder, m.group(1), m.group(2)


def violations(src):
    for path, number, folder, kind, name in includes(src):
        if folder not in CORE:
            continue
        where = f"{path}:{number}: {name}"
        target = name.split("/")[0] if "/" in name else None
        if kind == "<" and folder in LIBRARIES.get(name, ()):
            continue
        if kind == "<" and name not in STANDARD:
            yield f"{where}: OS or library header in core folder src/{folder}"
        elif kind == '"' and target is None:
            yield f"{where}: include a project header by its folder (\"folder/file.h\")"
        elif target in BACK_ENDS or (kind == '"' and target not in CORE):
            yield f"{where}: back-end or outside header in core folder src/{folder}"
        elif target == "app" and folder != "app":
            yield f"{where}: src/{folder} includes src/app"
        elif folder == "port" and kind == '"' and target != "port":
            yield f"{where}: a port includes the core"
        elif folder == "text" and kind == '"' and target != "text":
            yield f"{where}: the text helpers include nothing above them"


def arrows(src):
    counts = collections.Counter()
    for _, _, folder, kind, name in includes(src):
        if kind == '"' and "/" in name:
            target = name.split("/")[0]
            if target != folder:
                counts[(folder, target)] += 1
    return counts


def main(argv):
    show_arrows = "--arrows" in argv
    rest = [a for a in argv if a != "--arrows"]
    src = pathlib.Path(rest[0] if rest else pathlib.Path(__file__).resolve().parents[2] / "src")
    if show_arrows:
        for (a, b), n in sorted(arrows(src).items()):
            print(f"{a} -> {b}: {n}")
        return 0
    problems = list(violations(src))
    for p in problems:
        print(p)
    if problems:
        return 1
    print(f"include rules hold in {src}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
