"""Each operation run once per N in one host process with the N-th call of a kind failing (the
files it creates, writes, replaces and reads, and the replies it reads), until a run meets no
failure: every run ends with its documented failure or with success, never hangs, leaves no
block behind, and leaves the local file exactly as it was (bytes, time and no file beside it)
unless that run succeeded. One stand-in and one linked account serve the whole module."""

import json
import os
import pathlib
import time

import pytest

from conftest import TEST_USER, browser_urls, stored_pairs, windows_path
from fault_runs import fault_loop, filetime, finals, fnv1a64, host, service, standin, transfers  # noqa: F401 (fixtures)

MTIME_POSIX = 1414611019
MTIME = "Wed, 29 Oct 2014 19:30:19 +0000"
OLD_CONTENT = b"the user's own copy, which no failed run may touch\n"
OLD_TIME = 1262347200
REMOTE = "/User Notes/notes.txt"
CONTENT = bytes((i * 7 + i // 251) % 256 for i in range(40000))  # three pieces
UPLOADED = "User Notes/up.bin"
UPLOAD = bytes((i * 13 + i // 509) % 256 for i in range(300000))  # two chunks


# The kinds of call the loops fail, per operation: every one of them that the operation makes
# (test_loops_cover_the_calls_made proves it). A kind with an error names the one its failures
# report where the kind's own would be waited out (a replace or a move refused for a holder is
# attempted again): these fail at once.
LOOPED_KINDS = {"CreateFileW", "WriteFile", "MoveFileExW", "ReplaceFileW", "ReadFile", "InternetReadFile"}
LOOPS = {
    "download": ["CreateFileW", "WriteFile", "ReplaceFileW:112", "InternetReadFile"],
    "download-to-a-new-file": ["CreateFileW", "WriteFile", "MoveFileExW:112", "InternetReadFile"],
    "upload": ["CreateFileW", "ReadFile", "InternetReadFile"],
    "size-query": ["InternetReadFile"],
    "listing": ["InternetReadFile"],
    "revision-lookup": ["InternetReadFile"],
    "delete": ["InternetReadFile"],
    "folder-creation": ["InternetReadFile"],
    "request-token": ["CreateFileW", "WriteFile", "InternetReadFile"],
    "access-token": ["InternetReadFile"],
    "stored-pair": [],
}


def state_of(data, posix_time, others=0):
    """The state --watch-file reports for a file of these bytes and last-write time."""
    return {"exists": True, "size": len(data), "last_write": filetime(posix_time), "fnv1a64": fnv1a64(data),
            "others": others}


def judged(runs, judge):
    """judge(n, run) of every run, which returns whether the run succeeded; the outcomes."""
    return [judge(n, run) for n, run in enumerate(runs, 1)]


def final_of(n, run, kind):
    (final,) = finals(run)
    assert run.messages[-1] is final and final["kind"] == kind and final["tag_ok"], (n, run.messages)
    return final


def local_file_kept(n, run, succeeded, after_success):
    """The watched file: as the run found it, unless the run succeeded; then after_success."""
    before, after = run.summary["file_before"], run.summary["file_after"]
    assert after == (after_success if succeeded else before), (n, before, after)


# ---- The download ----

@pytest.fixture
def existing(tmp_path):
    target = tmp_path / "local" / "notes.txt"
    target.parent.mkdir()
    target.write_bytes(OLD_CONTENT)
    os.utime(target, (OLD_TIME, OLD_TIME))
    return target


def download_judge(target):
    def judge(n, run):
        result = run.result("getRemoteMergeFile")
        final = final_of(n, run, 17)
        succeeded = final["payload"]["result"] == result["result_byte"] == 1
        failures = transfers(run, 24)
        # A failure is told once, with its code, before the final message; a success not at all.
        assert len(failures) == (0 if succeeded else 1), (n, run.messages)
        assert all(f["code"] != 0 and f["code_class"] in (2, 3) for f in failures), (n, failures)
        if succeeded:
            assert sum(p["count"] for p in transfers(run, 16)) == len(CONTENT), (n, run.messages)
        local_file_kept(n, run, succeeded, state_of(CONTENT, MTIME_POSIX))
        return succeeded
    return judge


@pytest.mark.parametrize("kind", LOOPS["download"])
def test_download(standin, existing, kind):
    standin.seed_file(REMOTE, CONTENT, client_mtime=MTIME)
    runs = fault_loop(kind, "get", "1", "notes.txt", windows_path(existing), watch=existing)
    outcomes = judged(runs, download_judge(existing))
    assert outcomes[-1] and not all(outcomes), outcomes
    assert existing.read_bytes() == CONTENT


@pytest.fixture
def new_target(tmp_path):
    target = tmp_path / "fresh" / "new.txt"
    target.parent.mkdir()
    return target


@pytest.mark.parametrize("kind", LOOPS["download-to-a-new-file"])
def test_download_to_a_new_file(standin, new_target, kind):
    # A failed run leaves no file, and nothing beside it; the clean one moves the file into place.
    standin.seed_file(REMOTE, CONTENT, client_mtime=MTIME)
    runs = fault_loop(kind, "get", "1", "notes.txt", windows_path(new_target), watch=new_target)
    outcomes = judged(runs, download_judge(new_target))
    assert outcomes[-1] and not all(outcomes), outcomes
    assert runs[0].summary["file_after"] == {"exists": False, "others": 0}
    assert new_target.read_bytes() == CONTENT


# ---- The upload ----

@pytest.fixture
def local(tmp_path):
    path = tmp_path / "up.bin"
    path.write_bytes(UPLOAD)
    os.utime(path, (OLD_TIME, OLD_TIME))
    return path


def upload_judge(n, run):
    result = run.result("BVUpdateRemoteWithFeedback")
    final = final_of(n, run, 20)
    succeeded = final["payload"]["result"] == result["result_byte"] == 1
    assert len(transfers(run, 24)) <= (0 if succeeded else 1), (n, run.messages)
    before, after = run.summary["file_before"], run.summary["file_after"]
    # The bytes never change; the time only with a commit (to the committed time, when the
    # commit's answer could be read).
    assert {**after, "last_write": None} == {**before, "last_write": None}, (n, before, after)
    if not succeeded:
        assert after == before, (n, before, after)
    return succeeded


@pytest.mark.parametrize("kind", LOOPS["upload"])
def test_upload(standin, local, kind):
    runs = fault_loop(kind, "put", UPLOADED, windows_path(local), watch=local)
    outcomes = judged(runs, upload_judge)
    assert outcomes[-1]
    assert standin.read_file("/" + UPLOADED) == UPLOAD


# ---- The service calls ----

def listing_length(standin):
    return len(json.dumps(standin.store.metadata(standin.default_uid, "/User Notes")))


def test_size_query(standin):
    standin.seed_file(REMOTE, CONTENT)
    length = listing_length(standin)

    def judge(n, run):
        final = final_of(n, run, 22)
        result = run.result("getDBMetadataBufferSize")["result_byte"]
        assert final["payload"]["result"] == result and final["payload"]["size"] == (length if result else 0), n
        return result == 1
    outcomes = judged(fault_loop("InternetReadFile", "size", "User%20Notes"), judge)
    assert outcomes[-1] and not outcomes[0]


def test_listing(standin):
    standin.seed_file(REMOTE, CONTENT)
    length = listing_length(standin)

    def judge(n, run):
        final = final_of(n, run, 21)
        result = run.result("getDropboxMetadata")["result_byte"]
        listing = final["payload"]["listing"]
        assert final["payload"]["result"] == result and (listing is not None) == (result == 1), n
        assert listing is None or len(listing) == length, n
        return result == 1
    outcomes = judged(fault_loop("InternetReadFile", "ls", "User%20Notes", "--length", str(length)), judge)
    assert outcomes[-1] and not outcomes[0]


def test_revision_lookup(standin):
    stored = standin.seed_file(REMOTE, CONTENT)

    def judge(n, run):
        lookup = run.result("VelmoraDebugRevision")
        assert (lookup["return"], lookup["revision"]) in ((-1, None), (200, stored["rev"])), (n, lookup)
        return lookup["return"] == 200
    outcomes = judged(fault_loop("InternetReadFile", "revision", REMOTE[1:]), judge)
    assert outcomes[-1] and not outcomes[0]


def test_delete(standin):
    # Each run is answered as the first delete of the file was, so that every run's outcome
    # depends on its own reads only.
    deleted = standin.seed_file("/User Notes/gone.txt", b"x")
    standin.inject("status", path="/1/fileops%2Fdelete", status=200, count=1000,
                   body=json.dumps(dict({"is_deleted": True}, **deleted)))

    def judge(n, run):
        final = final_of(n, run, 19)
        result = run.result("BVDeleteRemote")["result_byte"]
        assert final["payload"]["result"] == result, n
        return result == 1
    outcomes = judged(fault_loop("InternetReadFile", "rm", "1", "gone.txt"), judge)
    assert outcomes[-1] and not outcomes[0]


def test_folder_creation(standin):
    def judge(n, run):
        returned = run.result("DBFolderInitialization")["return"]
        assert returned in (0, 1), n
        return returned == 0
    outcomes = judged(fault_loop("InternetReadFile", "init"), judge)
    assert outcomes[-1] and not outcomes[0]
    assert sorted(e["path"] for e in standin.list_folder("/") if e["is_dir"]) == [
        "/Highlights", "/User Notes", "/User Tools"]


# ---- Account linking ----

def stub_pages():
    return list(pathlib.Path(os.environ["WINEPREFIX"], "drive_c").rglob("tmphtml*.html"))


@pytest.mark.parametrize("kind", LOOPS["request-token"])
def test_request_token(standin, browser_log, kind):
    log, env = browser_log

    def judge(n, run):
        (notice,) = run.messages
        status = notice["payload"]["status"]
        request = run.result("RequestAccessToken")
        assert notice["kind"] == 23 and status in (0, 1), (n, run.messages)
        assert (request["request_token"] is not None, request["secret_present"]) == (status == 1, status == 1), n
        return status == 1
    outcomes = judged(fault_loop(kind, "link", "--request-only", env=env), judge)
    assert outcomes[-1] and not outcomes[0]
    # Every link that got its token started the browser (which runs on after the host, so its
    # log may lag), and no stub page stayed.
    deadline = time.monotonic() + 20
    while len(browser_urls(log)) < sum(outcomes) and time.monotonic() < deadline:
        time.sleep(0.1)
    assert len(browser_urls(log)) == sum(outcomes)
    assert stub_pages() == []


def test_access_token(standin):
    # A request token is good for one exchange: run N trades the N-th.
    seeded = [standin.seed_request_token(approved=True) for _ in range(12)]
    pairs = [text for request in seeded for text in (request["token"], request["secret"])]

    # Each run reads the stored pair back: a failed exchange left the one stored before it, a
    # good one stored a new pair the stand-in handed out.
    stored = [stored_pairs(standin)[-1][0]]

    def judge(n, run):
        returned = run.result("CheckForAccessTokenResponse")["return"]
        assert returned in (0, 1), n
        read = run.result("GetAccessCreds")
        if returned == 0:
            assert read["token"] != stored[-1] and read["token"] in dict(stored_pairs(standin)), (n, read)
            stored.append(read["token"])
        assert (read["return"], read["token"]) == (0, stored[-1]), (n, read)
        return returned == 0
    outcomes = judged(fault_loop("InternetReadFile", "exchange", *pairs, "--read-back"), judge)
    assert outcomes[-1] and not outcomes[0]


# ---- Which calls each operation makes ----

def operation_command(operation, standin, existing, new_target, local):
    """The host command of an operation, its stand-in state seeded."""
    if operation == "folder-creation":
        # The folders are made afresh: a folder that is there already is not created.
        for entry in standin.list_folder("/"):
            standin.store.delete(standin.default_uid, entry["path"])
        return ["init"]
    standin.seed_file(REMOTE, CONTENT, client_mtime=MTIME)
    if operation == "delete":
        standin.seed_file("/User Notes/gone.txt", b"x")
    if operation == "access-token":
        seeded = standin.seed_request_token(approved=True)
        return ["exchange", seeded["token"], seeded["secret"]]
    return {
        "download": ["get", "1", "notes.txt", windows_path(existing)],
        "download-to-a-new-file": ["get", "1", "notes.txt", windows_path(new_target)],
        "upload": ["put", UPLOADED, windows_path(local)],
        "size-query": ["size", "User%20Notes"],
        "listing": ["ls", "User%20Notes"],
        "revision-lookup": ["revision", REMOTE[1:]],
        "delete": ["rm", "1", "gone.txt"],
        "request-token": ["link", "--request-only"],
        "stored-pair": ["creds"],
    }[operation]


@pytest.mark.parametrize("operation", list(LOOPS))
def test_loops_cover_the_calls_made(standin, existing, new_target, local, browser_log, operation):
    # A clean run of the operation makes exactly the looped kinds its loops fail, so that a call
    # an operation starts making gets its loop too.
    _, env = browser_log
    run = host("--repeat", "1", *operation_command(operation, standin, existing, new_target, local), env=env)
    (only,) = run.runs
    assert only.exit_code == 0, run
    made = {kind for kind, count in only.summary["calls"].items() if count and kind in LOOPED_KINDS}
    assert made == {kind.split(":")[0] for kind in LOOPS[operation]}, only.summary["calls"]
