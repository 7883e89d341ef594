"""Static checks of the shipped 32-bit DLL: export names, calling convention, imports."""
import re
import subprocess

import pytest

SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "advapi32.dll", "crypt32.dll",
               "wininet.dll", "shell32.dll", "msvcrt.dll"}


def objdump(options, *args):
    return subprocess.run([options.objdump, *args, options.dll], check=True,
                          capture_output=True, text=True).stdout


def listed_exports(def_file):
    names = []
    for line in open(def_file, encoding="ascii"):
        line = line.split(";")[0].strip()
        if line and line != "EXPORTS":
            names.append(line.split()[0])
    return names


def exported_names(headers):
    """Names of the export table as objdump -p prints them ("[Ordinal/Name Pointer] Table")."""
    table = headers.split("[Ordinal/Name Pointer] Table", 1)[1]
    names = []
    for line in table.splitlines()[1:]:
        match = re.match(r"\s+\[\s*\d+\]\s+(\S+)\s*$", line)
        if not match:
            break
        names.append(match.group(1))
    return names


def test_exports_are_exactly_the_listed_names_undecorated(options):
    names = exported_names(objdump(options, "-p"))
    assert sorted(names) == sorted(listed_exports(options.def_file))
    for name in names:
        assert re.fullmatch(r"[A-Za-z][A-Za-z0-9]*", name), name


def function_bodies(disassembly):
    """Maps each symbol of the disassembly to its instruction lines."""
    bodies, current = {}, None
    for line in disassembly.splitlines():
        label = re.match(r"^[0-9a-f]+ <([^>]+)>:$", line)
        if label:
            current = bodies.setdefault(label.group(1), [])
        elif current is not None and line.strip():
            current.append(line)
    return bodies


def test_every_export_leaves_the_arguments_to_the_caller(options):
    bodies = function_bodies(objdump(options, "-d", "--no-show-raw-insn"))
    for name in listed_exports(options.def_file):
        body = bodies.get("_" + name) or bodies.get(name)
        assert body, f"{name} not found in the disassembly"
        returns = [line for line in body if re.search(r"\bret[lw]?\b", line)]
        tail_jumps = [line for line in body if re.search(r"\bjmp\b", line)]
        assert returns or tail_jumps, f"{name} has no return"
        for line in returns:
            # cdecl: a plain ret; "ret $n" would pop the caller's arguments.
            assert not re.search(r"\bret[lw]?\s+\$", line), f"{name}: {line.strip()}"


def test_imports_only_system_dlls(options):
    imported = {name.lower() for name in re.findall(r"DLL Name: (\S+)", objdump(options, "-p"))}
    assert imported, "no import table found"
    assert imported <= SYSTEM_DLLS, imported - SYSTEM_DLLS


def test_is_a_32_bit_image(options):
    assert "file format pei-i386" in objdump(options, "-f")


def test_carries_no_trace_of_the_test_build(options):
    # The fault switch with its override table and the test hooks exist only in the test DLL
    # (the table's kind names stand there as text; the shipped DLL names its calls only as imports).
    image = open(options.dll, "rb").read()
    for marker in (b"VELMORA_FAULTS", b"VELMORA_WATCH_SECRET", b"VelmoraDebug", b"faults_on", b"testhook",
                   b"ThreadRunsFirst", b"\0alloc\0", b"Overridden"):
        assert marker not in image, marker
