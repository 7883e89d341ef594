"""Every system call of the library failing in a test: for each row of the fault switch's table,
runs in which that call fails (with the error the row names, as Windows would report it, Wine
or not) and the operation ends as documented: the messages in the header's order with their
code and class, the result byte, every block back, the local file as it was. Each table is one
operation; its rows are the calls it makes. One stand-in and one linked account serve the whole
module, so a row costs one host process."""

import email.utils
import json
import os
import pathlib
import time

import pytest

from conftest import browser_urls, stored_pairs, windows_path
from fault_runs import RUN_TIMEOUT, faulted, finals, host, service, standin, transfers  # noqa: F401 (fixtures)

MTIME = "Wed, 29 Oct 2014 19:30:19 +0000"
MTIME_POSIX = 1414611019
OLD_CONTENT = b"the user's own copy, which no failed download may touch\n"
OLD_TIME = 1262347200  # 2010-01-01 12:00:00 UTC, a time the stand-in never writes
REMOTE = "/User Notes/notes.txt"
CONTENT = bytes((i * 7 + i // 251) % 256 for i in range(40000))  # three pieces: 16384, 16384, 7232
PIECES = [16384, 16384, 7232]
UPLOADED = "User Notes/up.bin"
UPLOAD = bytes((i * 13 + i // 509) % 256 for i in range(300000))  # two chunks: 262144, 37856
CHUNKS = [262144, 37856]


def row(rules, expect, *, id, calls=None, fault=None, injected=True):
    """One row: the fault rules, the documented outcome, the exact count of some calls, a fault
    of the stand-in, and whether the rules strike at all (a call that must never be made)."""
    return pytest.param(rules, expect, calls or {}, fault, injected, id=id)


def run_row(rules, args, calls, injected, **options):
    run = faulted(rules, *args, injected=injected, **options)
    counted = run.summary["calls"]
    assert {kind: counted.get(kind, 0) for kind in calls} == calls, counted
    return run


def leftovers(target):
    return sorted(p.name for p in target.parent.iterdir() if p.name != target.name)


# The refusal the credentials dialog is asked about: a 403 without an authentication header.
REFUSED = dict(kind="status", status=403, body='{"error": "Forbidden"}')

# ---- Outcomes of the transfers ----

def done(progress, own_time=False):
    """Succeeded: progress messages of these counts, then the final message with 1; the local
    file has the service's time (own_time: the time it had, or was written at)."""
    return {"result": 1, "failure": None, "progress": list(progress), "own_time": own_time}


def failed(code, code_class, progress=()):
    """Failed on the way: progress messages of these counts, kind 24 with (code, class), then
    the final message with 0; the local file as it was."""
    return {"result": 0, "failure": (code, code_class), "progress": list(progress)}


def ended(progress=()):
    """Failed without a transfer failure to report: only progress and the final message with 0."""
    return {"result": 0, "failure": None, "progress": list(progress)}


# The export returned 1: no worker, no message, the result byte as the host set it.
NOT_STARTED = {"result": None}


def check_messages(run, export, final_kind, expect):
    """The run's messages are the outcome's, in the header's order, and the result byte agrees."""
    result = run.result(export)
    if expect["result"] is None:
        assert (result["return"], result["result_byte"], run.messages) == (1, 0xFF, []), run
        return
    (final,) = finals(run)
    assert run.messages[-1] is final and final["kind"] == final_kind and final["tag_ok"], run.messages
    assert final["payload"]["result"] == result["result_byte"] == expect["result"], run
    assert [p["count"] for p in transfers(run, 16)] == expect["progress"], run.messages
    failures = [(p["code"], p["code_class"]) for p in transfers(run, 24)]
    assert failures == ([expect["failure"]] if expect["failure"] else []), run.messages
    if expect["failure"]:
        assert [m["kind"] for m in run.messages][-2:] == [24, final_kind], run.messages


# ---- The download (getRemoteMergeFile) ----

DOWNLOAD_ROWS = [
    row("InternetQueryOptionW=1", failed(4001, 2), calls={"InternetOpenW": 0}, id="proxy-settings-unreadable"),
    row("InternetCrackUrlW=1", failed(87, 3), id="url-not-split-no-host-to-connect"),
    row("InternetOpenW=1", done(PIECES), calls={"InternetOpenW": 2}, id="session-falls-back-to-preconfigured"),
    row("InternetOpenW=1+", failed(12004, 3), calls={"InternetOpenW": 2}, id="no-session"),
    row("InternetConnectW=1", failed(12004, 3), id="no-connection"),
    row("HttpOpenRequestW=1", failed(12004, 3), id="no-request"),
    # The options the download sets are asked for, not needed: their failure changes nothing.
    row("InternetSetOptionW=1+", done(PIECES), id="options-refused"),
    row("HttpSendRequestW=1", done(PIECES), calls={"InternetOpenW": 2, "HttpSendRequestW": 2},
        id="send-failure-reopens-once"),
    row("HttpSendRequestW=1+", failed(12031, 3), calls={"InternetOpenW": 2, "HttpSendRequestW": 2},
        id="send-failure-after-the-reopen"),
    # A failed revocation check is relaxed on the same request and sent again at once.
    row("HttpSendRequestW=1:12057", done(PIECES),
        calls={"InternetOpenW": 1, "HttpSendRequestW": 2, "InternetSetOptionW": 4}, id="revocation-relaxed"),
    row("HttpSendRequestW=1:12057,InternetSetOptionW=4", failed(12004, 3),
        calls={"HttpSendRequestW": 1, "InternetOpenW": 1}, id="revocation-relaxation-refused"),
    # An unknown authority is never relaxed: the reopen, then the failure.
    row("HttpSendRequestW=1+:12045", failed(12045, 3),
        calls={"InternetOpenW": 2, "HttpSendRequestW": 2, "InternetSetOptionW": 6}, id="unknown-ca-never-relaxed"),
    # A redirect away from HTTPS is the server's answer: never sent again.
    row("HttpSendRequestW=1:12040", failed(12040, 3), calls={"InternetOpenW": 1, "HttpSendRequestW": 1},
        id="redirect-to-http-not-sent-again"),
    # The status probe after the send; the status is read again.
    row("HttpQueryInfoW=1", done(PIECES), id="status-probe-unreadable"),
    row("HttpQueryInfoW=2", failed(12150, 3), id="status-unreadable"),
    # The Content-Length at the end: the metadata's size proves the body all the same.
    row("HttpQueryInfoW=3", done(PIECES), id="content-length-unreadable"),
    row("HttpQueryInfoA=1", failed(12150, 3), id="raw-headers-unreadable"),
    # The reply's own URL, which proves it came over HTTPS: unreadable counts as plain HTTP.
    row("InternetQueryOptionW=2", failed(12040, 3), id="reply-url-unreadable"),
    row("CompareStringOrdinal=1", failed(12040, 3), id="reply-origin-not-compared"),
    # The credentials dialog is never asked: only a 200 counts.
    row("InternetErrorDlg=1+:12032", failed(4003, 2), fault=REFUSED, injected=False, calls={"InternetErrorDlg": 0},
        id="refusal-shows-no-dialog"),
    row("InternetReadFile=1", failed(12031, 3), id="first-read-fails"),
    row("InternetReadFile=3", failed(12031, 3, PIECES[:2]), id="read-fails-midway"),
    row("GetFullPathNameW=1", failed(123, 3), id="target-path-not-resolved"),
    row("CreateFileW=1", failed(5, 3), id="temporary-file-not-created"),
    row("CreateFileW=1:80", done(PIECES), calls={"CreateFileW": 3}, id="temporary-name-taken-another-tried"),
    # The check for a holder of the target before each replace, refused every time.
    row("CreateFileW=2+", failed(5, 3, PIECES), calls={"CreateFileW": 7}, id="target-held-throughout"),
    row("WriteFile=1", failed(112, 3), id="disk-full"),
    row("WriteFile=3:29", failed(29, 3, PIECES[:2]), id="last-piece-not-written"),
    row("SetFileTime=1", done(PIECES, own_time=True), id="time-not-set"),
    row("SetFileInformationByHandle=1", failed(5, 3, PIECES), id="attributes-not-set"),
    row("FlushFileBuffers=1", failed(29, 3, PIECES), id="flush-fails"),
    row("GetFileAttributesW=1", done(PIECES), id="target-attributes-unreadable"),
    row("ReplaceFileW=1", done(PIECES), calls={"ReplaceFileW": 2}, id="replace-refused-once-then-done"),
    row("ReplaceFileW=1+", failed(5, 3, PIECES), calls={"ReplaceFileW": 6}, id="replace-refused-throughout"),
    row("ReplaceFileW=1:112", failed(112, 3, PIECES), calls={"ReplaceFileW": 1}, id="replace-fails-at-once"),
    # A program that looks at the new file refuses its deletion a moment: waited out.
    row("WriteFile=2,DeleteFileW=1", failed(112, 3, PIECES[:1]), calls={"DeleteFileW": 2},
        id="temporary-file-deletion-refused-once"),
    row("RtlGenRandom=1", ended(), calls={"InternetOpenW": 0}, id="no-nonce"),
    row("RtlGenRandom=2", done(PIECES), id="temporary-name-without-random"),
    row("GetUserNameW=1", ended(), calls={"InternetOpenW": 0}, id="no-logon-name"),
    row("SendMessageTimeoutW=1", done(PIECES[1:]), id="progress-undelivered"),
    row("CreateThread=1", NOT_STARTED, id="thread-not-created"),
    row("ResumeThread=1", NOT_STARTED, id="thread-not-resumed"),
    row("GetModuleHandleExW=1", NOT_STARTED, id="no-reference-on-the-library"),
]


@pytest.fixture
def existing(tmp_path):
    target = tmp_path / "local" / "notes.txt"
    target.parent.mkdir()
    target.write_bytes(OLD_CONTENT)
    os.utime(target, (OLD_TIME, OLD_TIME))
    return target


def check_target(target, expect, existed=True):
    if expect["result"] == 1:
        assert target.read_bytes() == CONTENT
        assert (int(target.stat().st_mtime) == MTIME_POSIX) == (not expect["own_time"])
    elif existed:
        assert target.read_bytes() == OLD_CONTENT and int(target.stat().st_mtime) == OLD_TIME
    else:
        assert not target.exists()
    assert leftovers(target) == []


@pytest.mark.parametrize("rules, expect, calls, fault, injected", DOWNLOAD_ROWS)
def test_download(standin, existing, rules, expect, calls, fault, injected):
    standin.seed_file(REMOTE, CONTENT, client_mtime=MTIME)
    if fault:
        standin.inject(path="/1/files", **fault)
    run = run_row(rules, ["get", "1", "notes.txt", windows_path(existing)], calls, injected)
    check_messages(run, "getRemoteMergeFile", 17, expect)
    check_target(existing, expect)


# Without a target the file is moved into place, with the same wait for a brief holder.
@pytest.mark.parametrize("rules, expect, calls, fault, injected", [
    row("MoveFileExW=1", done(PIECES), calls={"MoveFileExW": 2, "ReplaceFileW": 0}, id="move-refused-once-then-done"),
    row("MoveFileExW=1+", failed(5, 3, PIECES), calls={"MoveFileExW": 6}, id="move-refused-throughout"),
])
def test_download_to_a_new_file(standin, tmp_path, rules, expect, calls, fault, injected):
    standin.seed_file(REMOTE, CONTENT, client_mtime=MTIME)
    target = tmp_path / "local" / "new.txt"
    target.parent.mkdir()
    run = run_row(rules, ["get", "1", "notes.txt", windows_path(target)], calls, injected)
    check_messages(run, "getRemoteMergeFile", 17, expect)
    check_target(target, expect, existed=False)


# ---- The upload (BVUpdateRemoteWithFeedback) ----

UPLOAD_ROWS = [
    row("CreateFileW=1", ended(), id="local-file-not-opened"),
    row("GetFileSizeEx=1", ended(), id="size-unreadable"),
    # The change time is read where the file system keeps one; a reading without it is compared
    # by size and last-write time only.
    row("GetFileInformationByHandleEx=1", done(CHUNKS), id="change-time-unreadable-when-opened"),
    row("GetFileInformationByHandleEx=2", done(CHUNKS), id="change-time-unreadable-after-the-chunks"),
    row("GetFileInformationByHandleEx=1+,GetFileTime=1", ended(), id="times-unreadable"),
    row("SetFilePointerEx=1", ended(), id="seek-fails"),
    row("ReadFile=2", ended(CHUNKS[:1]), id="second-chunk-unreadable"),
    row("InternetQueryOptionW=1", failed(5001, 2), calls={"InternetOpenW": 0}, id="proxy-settings-unreadable"),
    # A chunk answer that cannot be read is unknown: the upload stops with the read's error, nothing committed.
    row("InternetReadFile=1", failed(12031, 3), calls={"HttpSendRequestW": 1}, id="chunk-answer-unread"),
    # 12029 makes a chunk go again at once on the same request, three times at most.
    row("HttpSendRequestW=1:12029", done(CHUNKS), calls={"InternetOpenW": 4, "HttpSendRequestW": 5},
        id="cannot-connect-sent-again-at-once"),
    row("HttpSendRequestW=1+:12029", failed(12029, 3), calls={"InternetOpenW": 2, "HttpSendRequestW": 5},
        id="cannot-connect-throughout"),
    row("HttpSendRequestW=1", done(CHUNKS), calls={"InternetOpenW": 5, "HttpSendRequestW": 5},
        id="send-failure-reopens-once"),
    row("HttpQueryInfoW=2", failed(12150, 3), id="status-unreadable"),
    # The credentials dialog asks for a retry: a new connection and request, sent again.
    row("InternetErrorDlg=1:12032", done(CHUNKS), calls={"InternetErrorDlg": 1, "HttpSendRequestW": 5},
        fault=dict(REFUSED, verb="PUT", path="/1/chunked_upload"), id="chunk-refused-dialog-retries"),
    row("InternetErrorDlg=1:12032", done(CHUNKS), calls={"InternetErrorDlg": 1, "HttpSendRequestW": 5},
        fault=dict(REFUSED, path="/1/commit_chunked_upload"), id="commit-refused-dialog-retries"),
    row("InternetErrorDlg=1", failed(403, 1), calls={"InternetErrorDlg": 1},
        fault=dict(REFUSED, verb="PUT", path="/1/chunked_upload"), id="chunk-refused-dialog-cancelled"),
    row("SetFileTime=1", done(CHUNKS, own_time=True), id="committed-time-not-set"),
    row("RtlGenRandom=1", ended(), id="no-nonce"),
    row("CreateThread=1", NOT_STARTED, id="thread-not-created"),
]


@pytest.fixture
def local(tmp_path):
    path = tmp_path / "up.bin"
    path.write_bytes(UPLOAD)
    os.utime(path, (OLD_TIME, OLD_TIME))
    return path


def service_time(text):
    return int(email.utils.parsedate_to_datetime(text).timestamp())


@pytest.mark.parametrize("rules, expect, calls, fault, injected", UPLOAD_ROWS)
def test_upload(standin, local, rules, expect, calls, fault, injected):
    stored = standin.seed_file("/" + UPLOADED, b"the service's older copy")
    if fault:
        standin.inject(**fault)
    run = run_row(rules, ["put", UPLOADED, windows_path(local)], calls, injected)
    check_messages(run, "BVUpdateRemoteWithFeedback", 20, expect)
    # The upload never writes the local file's bytes; its time is the commit's only after a commit.
    assert local.read_bytes() == UPLOAD
    if expect["result"] == 1:
        assert standin.read_file("/" + UPLOADED) == UPLOAD
        committed = service_time(standin.metadata("/" + UPLOADED)["client_mtime"])
        assert int(local.stat().st_mtime) == (OLD_TIME if expect["own_time"] else committed)
    else:
        assert standin.metadata("/" + UPLOADED)["rev"] == stored["rev"]
        assert int(local.stat().st_mtime) == OLD_TIME


# ---- The service calls: the size query, the listing, the revision lookup, the delete ----

def listing_length(standin, folder="/User Notes"):
    return len(json.dumps(standin.store.metadata(standin.default_uid, folder)))


# Outcomes: True (the call succeeded), False (it failed as a failed request does), "timeout" (the
# final message was not delivered: the host waits out its time and the library kept nothing).
SIZE_ROWS = [
    row("InternetCrackUrlW=1", False, calls={"InternetOpenW": 0}, id="url-not-split-nothing-opened"),
    # A service call passes an unreadable setting on as the preconfigured one.
    row("InternetQueryOptionW=1", True, id="proxy-settings-unreadable"),
    row("InternetOpenW=1", True, calls={"InternetOpenW": 2}, id="session-falls-back-to-preconfigured"),
    row("InternetOpenW=1+", False, id="no-session"),
    row("InternetConnectW=1", False, id="no-connection"),
    row("HttpOpenRequestW=1", False, id="no-request"),
    # 12029 is a send failure like any other here: one reopen.
    row("HttpSendRequestW=1:12029", True, calls={"InternetOpenW": 2, "HttpSendRequestW": 2},
        id="cannot-connect-reopens-once"),
    row("HttpSendRequestW=1+", False, calls={"InternetOpenW": 2, "HttpSendRequestW": 2}, id="send-fails"),
    row("HttpSendRequestW=1:12057", True, calls={"HttpSendRequestW": 2, "InternetOpenW": 1},
        id="revocation-relaxed"),
    row("HttpQueryInfoW=2", False, id="status-unreadable"),
    # A reply whose Content-Length cannot be read is not proven whole.
    row("HttpQueryInfoW=3", False, id="content-length-unreadable"),
    row("InternetReadFile=1", False, id="read-fails"),
    row("InternetErrorDlg=1:12032", True, calls={"InternetErrorDlg": 1, "HttpSendRequestW": 2},
        fault=dict(REFUSED, path="/1/metadata"), id="refused-dialog-retries"),
    row("RtlGenRandom=1", False, calls={"InternetOpenW": 0}, id="no-nonce"),
    row("SendMessageTimeoutW=1", "timeout", id="final-message-undelivered"),
]


@pytest.mark.parametrize("rules, expect, calls, fault, injected", SIZE_ROWS)
def test_size_query(standin, rules, expect, calls, fault, injected):
    standin.seed_file(REMOTE, CONTENT)
    if fault:
        standin.inject(**fault)
    run = run_row(rules, ["size", "User%20Notes"], calls, injected)
    result = run.result("getDBMetadataBufferSize")
    if expect == "timeout":
        assert run.exit_code == 3 and run.messages == [], run
        assert result["result_byte"] == 1
        return
    (final,) = finals(run)
    assert final["kind"] == 22 and final["tag_ok"] and run.messages == [final], run.messages
    assert final["payload"]["result"] == result["result_byte"] == int(expect), run
    assert final["payload"]["size"] == (listing_length(standin) if expect else 0)


@pytest.mark.parametrize("rules, expect, calls, fault, injected", [
    row("HttpQueryInfoW=3", False, id="content-length-unreadable"),
    row("InternetReadFile=2", False, id="second-read-fails"),
    row("InternetErrorDlg=1:12032", True, fault=dict(REFUSED, path="/1/metadata"), id="refused-dialog-retries"),
])
def test_listing(standin, rules, expect, calls, fault, injected):
    standin.seed_file(REMOTE, CONTENT)
    length = listing_length(standin)
    if fault:
        standin.inject(**fault)
    run = run_row(rules, ["ls", "User%20Notes", "--length", str(length)], calls, injected)
    (final,) = finals(run)
    assert final["kind"] == 21 and run.messages == [final], run.messages
    assert final["payload"]["result"] == run.result("getDropboxMetadata")["result_byte"] == int(expect)
    assert (final["payload"]["listing"] is not None and len(final["payload"]["listing"]) == length) == expect


@pytest.mark.parametrize("rules, expect, calls, fault, injected", [
    row("InternetReadFile=1", -1, id="read-fails"),
    row("HttpQueryInfoW=3", -1, id="content-length-unreadable"),
    row("InternetErrorDlg=1:12032", 200, fault=dict(REFUSED, path="/1/metadata"), id="refused-dialog-retries"),
    row("RtlGenRandom=1", -1, calls={"InternetOpenW": 0}, id="no-nonce"),
])
def test_revision_lookup(standin, rules, expect, calls, fault, injected):
    stored = standin.seed_file(REMOTE, CONTENT)
    if fault:
        standin.inject(**fault)
    run = run_row(rules, ["revision", REMOTE[1:]], calls, injected)
    lookup = run.result("VelmoraDebugRevision")
    assert (lookup["return"], lookup["revision"]) == (expect, stored["rev"] if expect == 200 else None)


@pytest.mark.parametrize("rules, expect, calls, fault, injected", [
    row("InternetQueryOptionW=1", False, calls={"InternetOpenW": 0, "HttpSendRequestW": 0},
        id="proxy-settings-unreadable"),
    # The service carried the delete out; its answer did not arrive whole, so the host hears 0.
    row("InternetReadFile=1", False, id="answer-unread"),
    row("HttpQueryInfoW=2", False, id="status-unreadable"),
    row("InternetErrorDlg=1:12032", True, calls={"InternetErrorDlg": 1, "HttpSendRequestW": 2},
        fault=dict(REFUSED, path="/1/fileops%2Fdelete"), id="refused-dialog-retries"),
])
def test_delete(standin, rules, expect, calls, fault, injected):
    standin.seed_file("/User Notes/gone.txt", b"x")
    if fault:
        standin.inject(**fault)
    run = run_row(rules, ["rm", "1", "gone.txt"], calls, injected)
    (final,) = finals(run)
    assert final["kind"] == 19 and run.messages == [final], run.messages
    assert final["payload"]["result"] == run.result("BVDeleteRemote")["result_byte"] == int(expect)
    kept = "/User Notes/gone.txt" in [e["path"] for e in standin.list_folder("/User Notes")]
    if expect:
        assert not kept
    elif run.summary["calls"].get("HttpSendRequestW", 0) == 0:
        assert kept


# ---- Account linking: the request token step and the access token exchange ----

def stub_pages():
    """The stub pages the browser lookup writes ("tmphtml-....html") left in the prefix."""
    return list(pathlib.Path(os.environ["WINEPREFIX"], "drive_c").rglob("tmphtml*.html"))


# Outcomes: the notice's status (1: the browser was started, or its start failed unnoticed),
# and whether the browser really started.
@pytest.mark.parametrize("rules, expect, calls, fault, injected", [
    row("InternetReadFile=1", (0, False), id="request-token-unread"),
    row("GetTempPathW=1", (0, False), id="no-temporary-folder"),
    row("CreateFileW=1", (0, False), id="stub-page-not-created"),
    row("WriteFile=1", (0, False), id="stub-page-not-written"),
    # The flush of the stub page is asked for, not needed.
    row("FlushFileBuffers=1", (1, True), id="stub-page-not-flushed"),
    row("FindExecutableW=1", (0, False), id="no-browser-registered"),
    row("FindExecutableW=1:2", (0, False), id="stub-page-not-found"),
    row("DeleteFileW=1", (1, True), calls={"DeleteFileW": 2}, id="stub-page-deletion-refused-once"),
    # The browser's start is not watched: the notice says 1 all the same.
    row("ShellExecuteExW=1", (1, False), id="browser-not-started"),
    row("InternetErrorDlg=1:12032", (1, True), fault=dict(REFUSED, path="/1/oauth/request_token"),
        id="refused-dialog-retries"),
])
def test_request_token(standin, browser_log, rules, expect, calls, fault, injected):
    log, env = browser_log
    if fault:
        standin.inject(**fault)
    run = run_row(rules, ["link", "--request-only"], calls, injected, env=env, timeout=20)
    status, started = expect
    request = run.result("RequestAccessToken")
    (notice,) = run.messages
    assert notice["kind"] == 23 and notice["payload"]["status"] == status, run.messages
    assert (request["request_token"] is not None, request["secret_present"]) == (status == 1, status == 1)
    # A host that only asks for the token does not wait for its browser, whose log may lag.
    deadline = time.monotonic() + (20 if started else 0)
    while not browser_urls(log) and time.monotonic() < deadline:
        time.sleep(0.1)
    assert (browser_urls(log) != []) == started
    assert stub_pages() == []


@pytest.mark.parametrize("rules, expect, calls, fault, injected", [
    row("InternetReadFile=1", False, id="reply-unread"),
    row("GetUserNameW=1", False, id="no-logon-name"),
    row("RegCreateKeyExW=1", False, id="key-not-created"),
    row("InternetErrorDlg=1:12032", True, calls={"InternetErrorDlg": 1, "HttpSendRequestW": 2},
        fault=dict(REFUSED, path="/1/oauth/access_token"), id="refused-dialog-retries"),
])
def test_access_token(standin, rules, expect, calls, fault, injected):
    seeded = standin.seed_request_token(approved=True)
    stored_before = host("creds").result("GetAccessCreds")["token"]
    if fault:
        standin.inject(**fault)
    run = run_row(rules, ["exchange", seeded["token"], seeded["secret"]], calls, injected)
    assert run.result("CheckForAccessTokenResponse")["return"] == (0 if expect else 1)
    # A failed exchange stored nothing: the pair stored before is read as it was.
    stored = host("creds").result("GetAccessCreds")["token"]
    assert stored == (stored_pairs(standin)[-1][0] if expect else stored_before)


# ---- The small exports ----

@pytest.mark.parametrize("rules, expect, calls, fault, injected", [
    row("GetUserNameW=1", False, id="logon-name-length-unknown"),
    row("GetUserNameW=2", False, id="logon-name-unreadable"),
    row("RegOpenKeyExW=1", False, id="key-not-opened"),
    # Not found in the view of this process's bitness: read through the 64-bit one.
    row("RegOpenKeyExW=1:2", True, calls={"RegOpenKeyExW": 3}, id="key-found-in-the-64-bit-view"),
    row("RegQueryValueExW=1", False, id="size-value-unreadable"),
    row("RegQueryValueExW=2", False, id="payload-value-unreadable"),
    row("RegQueryValueExW=4", False, id="secret-payload-unreadable"),
    row("CryptUnprotectData=1", False, id="token-not-unprotected"),
    row("CryptUnprotectData=2", False, id="secret-not-unprotected"),
    row("HeapCreate=1", False, id="no-heap-for-the-first-block"),
])
def test_stored_pair(standin, rules, expect, calls, fault, injected):
    run = run_row(rules, ["creds"], calls, injected)
    result = run.result("GetAccessCreds")
    if expect:
        token, secret = stored_pairs(standin)[-1]
        assert (result["return"], result["token"], result["secret_length"]) == (0, token, len(secret))
    else:
        assert (result["return"], result["token"], result["secret_length"]) == (-1, None, None)


def test_proxy_settings_unreadable():
    run = faulted("InternetQueryOptionW=1", "proxy")
    result = run.result("GetProxyInfo")
    assert (result["type"], result["server_written"], result["server"]) == (0, True, None)


@pytest.mark.parametrize("rules, expect", [
    pytest.param("InternetCrackUrlW=1", 12005, id="not-split"),
    pytest.param("InternetCrackUrlW=1:87", 87, id="not-split-bad-parameter"),
])
def test_url_not_split(rules, expect):
    run = faulted(rules, "crack", "https://localhost/1/metadata?root=sandbox&path=%2Fa%20b")
    result = run.result("CrackHostAndPath")
    assert (result["return"], result["host_written"], result["path_written"]) == (expect, False, False)


@pytest.mark.parametrize("rules, expect, calls, fault, injected", [
    row("RegOpenKeyExW=1", 1, calls={"HttpSendRequestW": 0}, id="not-linked-nothing-sent"),
    # The first folder's request, and its one reopen; the later folders are not tried.
    row("HttpSendRequestW=1+", 1, calls={"HttpSendRequestW": 2}, id="first-folder-not-sent"),
])
def test_folder_creation(standin, rules, expect, calls, fault, injected):
    run = run_row(rules, ["init"], calls, injected)
    assert run.result("DBFolderInitialization")["return"] == expect


def test_worker_gives_its_reference_back_whatever_the_module_lookup_says(standin):
    # The worker's end must not depend on finding the library again: the reference its start
    # took goes back, so the host's unload is the last one (each run loads the library afresh,
    # and each run's second module lookup fails).
    run = host("unload", "after", "3", "size", "User%20Notes", env={"VELMORA_FAULTS": "GetModuleHandleExW=2"})
    assert run.exit_code == 0, run
    for unload in run.of("unload"):
        assert unload == {"event": "unload", "return": 0, "result_byte": 1, "release": 1,
                          "outstanding_blocks": 0, "worker_ended": True, "unloaded": True}, run.of("unload")
    assert len(run.of("unload")) == 3
