"""Host messages when the library runs out of memory while reporting: a lost
record still reaches the window (lParam 0), a lost HostMessage leaves only the
record to free, and nothing is leaked either way."""

from conftest import TEST_USER


def classify(message):
    if message.get("record", True) is None:
        return "no-record"
    if message.get("message", True) is None:
        return "no-message"
    return f"kind-{message['kind']}"


def test_link_notice_under_allocation_failures(run_host, standin, unlinked, browser_log):
    seen = set()
    for n in range(1, 200):
        run = run_host("link", "--request-only", "--timeout", "2", dll="faults",
                       env={"VELMORA_FAULTS": f"alloc={n}", "USER": TEST_USER})
        kinds = [classify(message) for message in run.messages]
        seen.update(kinds)
        # At most one notice, and a lost notice never crashes the host.
        assert run.exit_code in (0, 1, 3) and len(kinds) <= 1, (n, run)
        for message in run.messages:
            assert message.get("free_failures", 0) == 0, (n, message)
        if kinds in (["no-record"], ["no-message"]):
            # The payload could not travel: the library released it itself.
            assert run.counters["outstanding_blocks"] in (0, 2), (n, run)
        if run.exit_code == 0:
            assert run.counters["outstanding_blocks"] == 0, (n, run)
        if run.counters["out_of_memory"] == 0:
            assert kinds == ["kind-23"] and run.exit_code == 0, (n, run)
            break
    else:
        raise AssertionError("every run met an allocation failure")
    assert {"no-record", "no-message", "kind-23"} <= seen, seen
