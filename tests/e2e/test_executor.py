"""The request executor (ExecuteRequest, MeasureResponse) through the test DLL's hook and the
host's `exec` command, against the stand-in with faults for the requests it makes."""

import pytest

URL_PATH = "/1/metadata?root=sandbox&path=%2FUser%20Notes&oauth_token=t0k3n&oauth_signature=s%26x"
URL = "https://localhost" + URL_PATH
BODY_CAP = 65535
# A reply of 100,000 printable bytes (no zero byte) that never repeats within the cap.
BIG_BODY = bytes(33 + (i * 31 + i // 97) % 94 for i in range(100000))
NOT_FOUND_BODY = "{\"error\": \"Path '/User Notes' not found\"}"


def fnv1a64(data):
    value = 14695981039346656037
    for byte in data:
        value = ((value ^ byte) * 1099511628211) & 0xFFFFFFFFFFFFFFFF
    return value


def run_exec(run_host, url, measure=False):
    run = run_host("exec", url, *(["--measure"] if measure else []), dll="faults")
    assert run.exit_code == 0, run
    # The host gave the body back: nothing the library allocated is left.
    assert run.counters["outstanding_blocks"] == 0, run.counters
    return run.result("VelmoraDebugExecute")


def status_fault(status, body=None):
    return ("status", {"status": status, **({"body": body} if body is not None else {})})


DROP = ("drop", {})


def framed(kind, status, body, **params):
    """A reply of status and body, framed by the fault kind (truncate_body, chunked, no_length)."""
    return (kind, {"status": status, "body": body, **params})


UNTRUSTED = ("untrusted_cert", {})
WRONG_NAME = ("wrong_name_cert", {})


@pytest.mark.parametrize("faults, measure, expected, body, requests", [
    # A completed reply of any status is read: the caller judges status and text.
    pytest.param([status_fault(404, NOT_FOUND_BODY)], False, (1, 404), NOT_FOUND_BODY.encode(), 1,
                 id="404-json-read"),
    # 403/407 end at the dialog, which finds nothing to ask for here; one request only.
    pytest.param([status_fault(403)], False, (0, 403), None, 1, id="403-refused", marks=pytest.mark.win32),
    pytest.param([status_fault(407)], False, (0, 407), None, 1, id="407-refused"),
    pytest.param([status_fault(200, BIG_BODY)], False, (1, 200), BIG_BODY[:BODY_CAP], 1, id="body-capped", marks=pytest.mark.win32),
    pytest.param([status_fault(200, BIG_BODY)], True, (1, len(BIG_BODY)), None, 1, id="measure-counts-all"),
    pytest.param([status_fault(500)], True, (0, 0), None, 1, id="measure-500-fails"),
    # A dropped connection is retried once in a fresh session; a second drop ends the call.
    pytest.param([DROP, status_fault(200, "done")], False, (1, 200), b"done", 2, id="drop-then-reopen", marks=pytest.mark.win32),
    pytest.param([DROP, DROP], False, (0, 0), None, 2, id="two-drops-fail"),
    # No certificate fault is relaxed: the reopen meets the same certificate, and no
    # request (with its token and signature) ever reaches the server.
    pytest.param([UNTRUSTED, UNTRUSTED], False, (0, 0), None, 0, id="untrusted-ca", marks=pytest.mark.win32),
    pytest.param([WRONG_NAME, WRONG_NAME], False, (0, 0), None, 0, id="wrong-name"),
    # A reply is read only when its length is proven: cut short of its Content-Length, or
    # framed without one (WinINet ends a chunked body cut off like a complete one), it fails
    # with its status kept and no body.
    pytest.param([framed("truncate_body", 200, BIG_BODY, send=40000)], False, (0, 200), None, 1, id="cut-short"),
    pytest.param([framed("truncate_body", 200, BIG_BODY, send=40000)], True, (0, 0), None, 1,
                 id="measure-cut-short"),
    pytest.param([framed("chunked", 200, "done")], False, (0, 200), None, 1, id="chunked"),
    pytest.param([framed("chunked", 200, BIG_BODY, send=40000)], True, (0, 0), None, 1, id="measure-chunked-cut"),
    pytest.param([framed("no_length", 200, "done")], False, (0, 200), None, 1, id="closed-framing"),
    pytest.param([framed("no_length", 404, NOT_FOUND_BODY)], False, (0, 404), None, 1, id="closed-framing-404"),
    # A status that never has a body needs no length.
    pytest.param([framed("no_length", 304, "")], False, (1, 304), b"", 1, id="304-needs-no-length"),
])
def test_exchange(run_host, standin, faults, measure, expected, body, requests):
    for kind, params in faults:
        standin.inject(kind, **params)
    result = run_exec(run_host, URL, measure)
    # MeasureResponse reports no status; ExecuteRequest no count.
    assert (result["return"], result["count"] if measure else result["status"]) == expected, result
    assert result["status" if measure else "count"] == 0, result
    if body is None:
        assert result["body_length"] is None, result
    else:
        assert result["body_length"] == len(body), result
        assert result["body"] == body[:200].decode("ascii")
        assert result["body_fnv1a64"] == fnv1a64(body)
    # Every fault was met: the exchange tried exactly as often as expected.
    assert standin.pending_faults() == []
    logged = standin.requests()
    assert len(logged) == requests, logged
    assert all(entry["path"] == URL_PATH and entry["verb"] == "POST" for entry in logged), logged


def test_long_query_sent_verbatim(run_host, standin):
    query = "root=sandbox&path=%2F" + "Trip%202014%2Fn%C3%B6tes%20" * 60 + "&file_limit=25000&list=true"
    path = "/1/metadata?" + query
    assert len(query) > 1000
    standin.inject("status", status=200, body="ok")
    result = run_exec(run_host, "https://localhost" + path)
    assert (result["return"], result["status"], result["body"]) == (1, 200, "ok"), result
    (entry,) = standin.requests()
    assert entry["verb"] == "POST"
    assert entry["path"] == path
    assert entry["headers"].get("user-agent") == "Velmora Dropbox Communication"
    assert entry["body_length"] == 0
