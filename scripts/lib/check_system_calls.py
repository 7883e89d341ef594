#!/usr/bin/python3
"""Fails when library code calls one of the fault switch's system calls directly.

Every call listed in VELMORA_SYSTEM_CALLS (src/frame/faults_win32.h) must be made as
sys::NAME(...), so that the test DLL can fail it; only the two versions of the fault
switch bind the names to the system functions. Test hooks (*_testhook_win32.cpp) set up
what tests need and are not subject to faults, so they may call the system directly.
Prints each direct call as FILE:LINE: NAME and exits 1 when there is one."""

import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]
TABLE = ROOT / "src" / "frame" / "faults_win32.h"
EXEMPT = re.compile(r"(^faults_(on|off)_win32\.cpp|^faults_win32\.h|_testhook_win32\.cpp)$")
# Comments, then string and character literals (kept as empty quotes, so lines stay where they were).
NOISE = re.compile(r'//[^\n]*|/\*.*?\*/|"(?:\\.|[^"\\\n])*"|\'(?:\\.|[^\'\\\n])*\'', re.S)


def table_names(text):
    body = text.split("#define VELMORA_SYSTEM_CALLS(X)", 1)[1].split("\nnamespace", 1)[0]
    return re.findall(r"\bX\((\w+),", body)


def blank(match):
    """The match with everything but its line breaks blanked out."""
    return re.sub(r"[^\n]", " ", match.group(0))


def direct_calls(path, names):
    code = NOISE.sub(blank, path.read_text(encoding="utf-8"))
    call = re.compile(r"(?<![\w.>])(::)?\b(" + "|".join(map(re.escape, names)) + r")\s*\(")
    for match in call.finditer(code):
        before = code[:match.start()]
        if before.endswith("sys::") or before.rstrip().endswith("sys::"):
            continue
        yield before.count("\n") + 1, match.group(2)


def main():
    names = table_names(TABLE.read_text(encoding="utf-8"))
    if not names:
        print(f"{TABLE}: no rows in VELMORA_SYSTEM_CALLS", file=sys.stderr)
        return 1
    found = 0
    for path in sorted((ROOT / "src").rglob("*")):
        if path.suffix not in (".cpp", ".h") or EXEMPT.search(path.name):
            continue
        for line, name in direct_calls(path, names):
            print(f"{path.relative_to(ROOT)}:{line}: {name} called directly; call sys::{name}")
            found += 1
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
