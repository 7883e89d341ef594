"""The remote delete (BVDeleteRemote) through the reference host's `rm`, against the stand-in."""

import re

import pytest

from conftest import PAYLOAD_SIZES


DELETE_CALL = re.compile(r"^/1/fileops%2Fdelete\?root=sandbox&path=(?P<path>[^&]+)&oauth_consumer_key=(?P<key>[^&]+)"
                         r"&oauth_token=(?P<token>[^&]+)&oauth_nonce=[^&]+&oauth_timestamp=\d+"
                         r"&oauth_signature_method=PLAINTEXT&oauth_signature=(?P<signature>[^&]+)"
                         r"&oauth_version=1\.0$")


def rm(run_host, index, name, *options):
    run = run_host("rm", str(index), name, *options, dll="faults")
    assert run.counters["outstanding_blocks"] == 0, run
    return run


def notice(run):
    (message,) = run.messages
    assert (message["kind"], message["size"]) == (19, PAYLOAD_SIZES["result"])
    assert message["tag_ok"] and message["wparam_is_window"] and message["payload"]["result_is_host_byte"]
    assert run.result("KillDropBoxThread")["return"] == 1
    return message["payload"]["result"]


def live_names(standin, folder):
    return [entry["path"] for entry in standin.list_folder(folder)]


@pytest.mark.win32
def test_delete_sends_the_exact_request(run_host, standin, linked):
    standin.seed_file("/User Notes/report 1.txt", b"report")
    standin.seed_file("/User Notes/report 2.txt", b"kept")
    standin.clear_requests()
    run = rm(run_host, 1, "report 1.txt")
    assert run.exit_code == 0, run
    assert notice(run) == 1
    (request,) = standin.requests()
    match = DELETE_CALL.match(request["path"])
    assert match["path"] == "%2FUser%20Notes%2Freport%201%2Etxt"
    token, secret = linked
    assert (match["key"], match["token"], match["signature"]) == (standin.app_key, token,
                                                                  f"{standin.app_secret}%26{secret}")
    assert (request["verb"], request["body_length"]) == ("POST", 0)
    assert request["headers"].get("user-agent") == "Velmora Resilient Download"
    assert live_names(standin, "/User Notes") == ["/User Notes/report 2.txt"]


@pytest.mark.parametrize("fault, seeded", [
    pytest.param(dict(kind="error_200", message="Internal error"), True, id="200-with-error-object"),
    pytest.param(None, False, id="404-no-such-file"),
    pytest.param(dict(kind="status", status=500), True, id="500"),
    pytest.param(dict(kind="drop", count=2), True, id="dropped-twice"),
])
def test_delete_failures(run_host, standin, linked, fault, seeded):
    if seeded:
        standin.seed_file("/Highlights/h.json", b"{}")
    if fault:
        standin.inject(path="/1/fileops%2Fdelete", **fault)
    run = rm(run_host, 0, "h.json")
    assert run.exit_code == 1, run
    assert notice(run) == 0
    assert run.result("BVDeleteRemote")["result_byte"] == 0


def test_single_character_name(run_host, standin, linked):
    standin.seed_file("/User Tools/x", b"tool")
    run = rm(run_host, 2, "x")
    assert notice(run) == 1
    assert live_names(standin, "/User Tools") == []


def test_null_window_writes_result_only(run_host, standin, linked):
    standin.seed_file("/User Notes/a.txt", b"a")
    run = rm(run_host, 1, "a.txt", "--null-window")
    assert run.exit_code == 0, run
    assert run.messages == []
    assert run.result("BVDeleteRemote")["result_byte"] == 1
    assert live_names(standin, "/User Notes") == []


def test_not_linked_sends_no_request(run_host, standin, unlinked):
    run = rm(run_host, 1, "a.txt")
    assert notice(run) == 0
    assert standin.requests() == []


@pytest.mark.parametrize("index", [3, 7])
def test_folder_index_out_of_range_refused(run_host, standin, linked, index):
    standin.clear_requests()
    run = rm(run_host, index, "a.txt")
    start = run.result("BVDeleteRemote")
    assert (start["return"], start["result_byte"]) == (1, 0)
    assert run.messages == [] and standin.requests() == []


@pytest.mark.win32
@pytest.mark.parametrize("count, later", [
    # Thirty-one alive at once: the 31st found no slot, so its release answers 0;
    # the extra delete took the slot the first one freed.
    pytest.param(31, [1] * 29 + [0], id="table-full"),
    pytest.param(3, [1, 1], id="few"),
])
def test_thread_table_with_operations_alive(run_host, standin, linked, count, later):
    standin.seed_file("/User Notes/n0.txt", b"n")
    # Every delete waits at the service, so all of them are alive together.
    standin.inject("delay", path="/1/fileops%2Fdelete", delay=3, count=count)
    run = run_host("parallel-rm", str(count), "1", "n0.txt", dll="faults", timeout=60)
    assert run.exit_code == 0, run
    result = run.result("BVDeleteRemote")
    assert result["starts"] == [0] * count and result["extra_start"] == 0
    assert (result["first_release"], result["extra_release"]) == (1, 1)
    assert result["later_releases"] == later
    assert run.counters["outstanding_blocks"] == 0
