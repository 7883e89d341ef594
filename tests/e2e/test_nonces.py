"""Nonces made on several threads at once (test DLL hook): each turn makes a
timestamp and a nonce through the library's own functions, as every signed
query does."""

import pytest


@pytest.mark.win32
@pytest.mark.parametrize("faults", [
    # The library's clock stands still at its first reading: a generator seeded
    # from the clock would start every thread on the same sequence.
    pytest.param("clock=1", id="clock-held"),
    pytest.param("", id="clock-running"),
])
def test_nonces_never_repeat_across_threads(run_host, faults):
    threads, per_thread = 8, 50
    run = run_host("nonces", str(threads), str(per_thread), dll="faults", env={"VELMORA_FAULTS": faults})
    assert run.exit_code == 0, run
    result = run.result("VelmoraDebugMakeNonces")
    assert (result["made"], result["lengths"], result["distinct"]) == (threads * per_thread, [17], threads * per_thread)
    assert (run.counters["outstanding_blocks"], run.counters["out_of_memory"]) == (0, 0)
