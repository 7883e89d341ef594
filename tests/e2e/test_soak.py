"""The concurrency soak for 20 seconds (scripts/soak runs it longer): mixed operations from many
host threads at once against one stand-in with random faults, some rounds destroying the window
while they run and unloading the library after the last final message. See soak.py."""

import os

import pytest

import soak
from conftest import windows_path


def run_and_check(tmp_path, seconds):
    totals = soak.run_soak(tmp_path, seconds)
    print(totals.line())
    report = os.environ.get("VELMORA_SOAK_REPORT")
    if report:
        with open(report, "w", encoding="utf-8") as out:
            out.write("\n".join(totals.problems) + "\n" + totals.line() + "\n")
    assert totals.rounds >= 4, totals
    assert (totals.mismatches, totals.leaked) == (0, 0), totals.problems
    # Every round met some of its faults; a soak without any proves nothing about them.
    assert totals.faults > 0, totals


def test_soak_20_seconds(tmp_path):
    run_and_check(tmp_path, 20)


@pytest.mark.skipif(not os.environ.get("VELMORA_SOAK_SECONDS"), reason="scripts/soak runs this")
def test_soak_scripted(tmp_path):
    run_and_check(tmp_path, float(os.environ["VELMORA_SOAK_SECONDS"]))


@pytest.mark.win32
def test_window_closed_with_messages_queued_leaks_nothing(run_host, standin, linked, tmp_path):
    # Six workers report to one window at once; in the first message's handler the host waits
    # until another worker's message is queued and destroys the window. The queued messages never
    # reach a window procedure: the library keeps their blocks and must give them back, and the
    # messages its workers send afterwards find no window at all.
    standin.seed_file("/User Notes/notes.txt", b"notes")
    plan = tmp_path / "plan.txt"
    plan.write_text("".join(f"{starter}\tls\tUser%20Notes\n" for starter in range(6)), encoding="utf-8")
    run = run_host("--repeat", "5", "soak-round", windows_path(plan), "--destroy-when-queued", dll="faults")
    assert run.exit_code == 0, run
    for n, round_ in enumerate(run.runs, 1):
        (summary,) = round_.of("round")
        assert summary["queued_at_destroy"], (n, summary)
        assert (summary["hung"], summary["workers_ended"], summary["table_free"]) == (False, True, 30), (n, summary)
        assert round_.summary["outstanding_before"] == round_.summary["outstanding_after"], (n, round_.summary)
