"""The housekeeping exports through the reference host: argument checks of
FreeDropBoxMemory and KillDropBoxThread, and SetInfo with texts around its
capacity of 999 bytes."""

import pytest


@pytest.mark.win32
@pytest.mark.parametrize("args, export, expected", [
    pytest.param(["free-null"], "FreeDropBoxMemory", -1, id="free-null"),
    pytest.param(["kill", "0"], "KillDropBoxThread", -1, id="kill-zero"),
    pytest.param(["kill", "4242"], "KillDropBoxThread", 0, id="kill-never-started"),
    pytest.param(["kill", "4294967295"], "KillDropBoxThread", 0, id="kill-highest-id"),
])
def test_argument_checks(run_host, args, export, expected):
    run = run_host(*args)
    assert run.exit_code == 0, run
    assert run.result(export)["return"] == expected


@pytest.mark.win32
@pytest.mark.parametrize("args, length, kept", [
    pytest.param(["info", "Velmora 3.2.1 build 77"], 22, "Velmora 3.2.1 build 77", id="short"),
    pytest.param(["info", "--repeat", "999", "a"], 999, "a" * 999, id="999-bytes-fit"),
    pytest.param(["info", "--repeat", "1000", "b"], 1000, "b" * 999, id="1000-bytes-cut"),
    pytest.param(["info", "--repeat", "200000", "c"], 200000, "c" * 999, id="far-over-capacity"),
    pytest.param(["info", "--null"], None, "", id="null-ignored"),
])
def test_set_info_keeps_at_most_999_bytes(run_host, args, length, kept):
    # What the library kept is read back from its 1000-byte buffer: a cut one
    # byte later leaves no terminator inside it (stored_length 1000). The
    # counters sit in the library's static data too: a text written past the
    # buffer's end would show up in them (or crash the host).
    run = run_host(*args, dll="faults")
    assert run.exit_code == 0, run
    result = run.result("SetInfo")
    assert result["length"] == length
    assert (result["stored_length"], result["stored"]) == (len(kept), kept)
    assert run.counters["outstanding_blocks"] == 0
    assert run.counters["out_of_memory"] == 0
