"""The harness itself: Wine starts that cannot die before the program runs, and
faults that reach the program as Windows reports them.

Without a preloader the wine64 loader's brk heap is placed at random in the
gigabyte above it, and a heap that covers the shared user data page at
0x7ffe0000 kills the start with exit code 1 and no output. The namespaces of
scripts/e2e run with address-space randomization off, so the heap starts right
after the loader. A probe that grows the heap by 32 MiB before Wine starts
makes such a death about 200 times likelier where randomization is on (about 1
start in 37); here every start must still run the program."""

import concurrent.futures
import pathlib
import subprocess

import pytest

from conftest import ARCH, build_dir, run_wine

SHARED_USER_DATA = 0x7FFE0000
# The heap's first part that Wine's start needs free of that page (measured).
HEAP_HEAD = 0x21000
STARTS = 300


def build_probe(folder):
    source = pathlib.Path(__file__).parent / "probes" / "brk_probe.c"
    probe = folder / "brk_probe.so"
    subprocess.run(["gcc", "-O2", "-shared", "-fPIC", "-o", str(probe), str(source)], check=True)
    return probe


@pytest.mark.win32
def test_randomization_is_off_in_the_session():
    personality = int(pathlib.Path("/proc/self/personality").read_text(), 16)
    assert personality & 0x0040000, f"personality {personality:#x}: scripts/e2e must run under setarch -R"


@pytest.mark.not_win32(reason="the probe is an amd64 preload that grows the heap of the wine64 loader, a native "
                               "process; the 32-bit loader is an i386 program whose heap qemu-i386 places in the "
                               "memory it emulates, out of reach of such a preload (and of that page's window)")
def test_wine_starts_survive_a_grown_heap(tmp_path):
    probe = build_probe(tmp_path)
    log = tmp_path / "heap.log"
    env = {"LD_PRELOAD": str(probe), "VELMORA_BRK_PROBE_LOG": str(log)}
    command = [build_dir() / "velmora-sync.exe", "--json", "date", "Wed, 29 Oct 2014 19:30:19 +0000"]

    def start(_):
        done = run_wine(command, 60, env)
        return done.returncode, b"130590846190000000" in done.stdout, done.stderr.decode("utf-8", "replace")

    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        outcomes = list(pool.map(start, range(STARTS)))
    failed = [(code, err) for code, ran, err in outcomes if code != 0 or not ran]
    assert not failed, f"{len(failed)} of {STARTS} starts failed, the first: {failed[0]}"

    # The probe ran in every wine64 process (the loader runs itself once more
    # at each start) and grew its heap, which stayed clear of the page.
    heaps = [line.split() for line in log.read_text().splitlines()]
    loader_heaps = [(int(start, 16), int(end, 16)) for exe, start, end in heaps if exe.endswith("/wine64")]
    assert len(loader_heaps) >= STARTS, heaps[:5]
    for start, end in loader_heaps:
        assert end - start == 32 << 20
        assert not start <= SHARED_USER_DATA < end + HEAP_HEAD, f"heap {start:#x}-{end:#x}"


CROSS_COMPILERS = {"win64": "x86_64-w64-mingw32-gcc", "win32": "i686-w64-mingw32-gcc"}


@pytest.mark.win32
def test_access_violation_arrives_with_its_address(tmp_path):
    # qemu-i386 hands the 32-bit Wine a page fault with trap number -1; without
    # the root's shim Wine then raises an illegal instruction (0xC000001D).
    probe = tmp_path / "access_violation.exe"
    source = pathlib.Path(__file__).parent / "probes" / "access_violation.c"
    subprocess.run([CROSS_COMPILERS[ARCH], "-O2", "-o", str(probe), str(source)], check=True)
    done = run_wine([probe], 60)
    assert done.returncode == 0, done
    assert done.stdout.decode().split() == ["code", "c0000005", "address", "10"], done
