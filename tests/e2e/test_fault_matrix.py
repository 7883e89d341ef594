"""The fault matrix: every network operation against every fault the stand-in can put in its
way, each row the documented outcome. One reference host runs all rows (its `session`), so the
stand-in is changed between two operations and nothing but the operation itself is timed.

Every row checks: the operation's message sequence (its transfer messages, the one final
message, the result byte, kind 24's code and class), the local files (bytes and times exactly
as before unless the operation succeeded, and no temporary file left), what the stand-in
stores (unchanged unless the operation succeeded, or the service carried the call out before
the fault broke its reply), that every injected fault was met, and that no block of the
library's heap is left (the test DLL's counters, read once the worker has ended).

The stand-in closes every connection after its reply here, so that each request opens a new
one: a certificate fault then meets exactly the request it is meant for."""

import dataclasses
import os
import re
import time

import pytest

from conftest import (ACCOUNTS_KEY, PAYLOAD_SIZES, TEST_USER, TIME_SCALE, Registry, StandIn, build_dir,
                      load_constants, windows_path)
import nonce_log
from host_session import HostSession
from service import PlainListener, wire

CHUNK = 262144
MTIME = "Wed, 29 Oct 2014 19:30:19 +0000"
MTIME_POSIX = 1414611019
OLD_TIME = 1262347200  # 2010-01-01 12:00:00 UTC: a time the stand-in never writes
OLD_LOCAL = b"the user's own copy, which no failed download may touch\n"
DOWNLOAD_SIZE = 40000
UPLOAD_SIZE = CHUNK + 45056  # two chunks
FOLDERS = ("/Highlights", "/User Notes", "/User Tools")
# The payload sizes of the build under test: a ResultPayload is the tag and one pointer.
RESULT_PAYLOAD = PAYLOAD_SIZES["result"]

# The system errors the transfers report (class 3). A server that closes without a reply:
# Windows fails the send (12030, 12031), Wine answers it with no status line (12152). A
# server that falls silent: ERROR_INTERNET_TIMEOUT, under Wine the aborted connection.
DROPPED = (12030, 12031, 12152)
SILENCE = (12002, 12030)
HTTPS_TO_HTTP = (12040,)
UNTRUSTED_CA = (12045,)
WRONG_NAME = (12038,)
HEADERS_TOO_BIG = (122,)

# Request timeouts of the test DLL: rows whose server falls silent wait 2 s; the others get
# far more than a busy machine ever needs, and still end well within the host's own timeout.
# Both grow by TIME_SCALE under emulation, as the host's timeout does.
SHORT_WAIT_MS = 2000 * TIME_SCALE
LONG_WAIT_MS = 30000 * TIME_SCALE


# ---- The faults ----

@dataclasses.dataclass(frozen=True)
class Fault:
    """One row's fault: the stand-in's fault kind and parameters (a function of the world for
    those that name a listener), whether the service still carries the call out (the fault
    bends its reply; it does not replace it), and whether the server falls silent."""
    kind: str
    params: dict = dataclasses.field(default_factory=dict)
    carried: bool = False
    silent: bool = False
    locate: object = None  # world -> extra params

    def injection(self, world):
        return dict(kind=self.kind, **self.params, **(self.locate(world) if self.locate else {}))

    @property
    def connection(self):
        return self.kind in ("untrusted_cert", "wrong_name_cert")


FAULTS = {
    "status-400": Fault("status", dict(status=400, message="Bad request")),
    "status-401": Fault("status", dict(status=401, message="Token is invalid.",
                                       headers={"WWW-Authenticate": 'OAuth realm="https://localhost/"'})),
    "status-403": Fault("status", dict(status=403, message="Invalid or missing signature")),
    "status-404": Fault("status", dict(status=404, message="Path not found")),
    "status-409": Fault("status", dict(status=409, message="Conflict")),
    "status-500": Fault("status", dict(status=500, message="Internal Server Error")),
    "status-503-retry-after": Fault("status", dict(status=503, message="Rate limited", headers={"Retry-After": "2"})),
    "error-object-200": Fault("error_200", dict(message="Internal error")),  # {"error": "Internal error"}
    # Closed without a reply, once (the single reopen then succeeds) and again on the reopen.
    "dropped-before-reply-once": Fault("drop"),
    "dropped-before-reply": Fault("drop", dict(count=2)),
    # Closed in the middle of the body, in each framing.
    "dropped-mid-body-with-length": Fault("truncate_body", carried=True),
    "dropped-mid-body-chunked": Fault("chunked", dict(send=-16), carried=True),
    "dropped-mid-body-closed": Fault("no_length", dict(send=-16), carried=True),
    # The body one byte short of its Content-Length: every key the library looks for is there.
    "truncated-body": Fault("truncate_body", dict(send=-1), carried=True),
    # Whole replies in the two framings without a Content-Length.
    "chunked-whole": Fault("chunked", carried=True),
    "closed-at-end-whole": Fault("no_length", carried=True),
    "http-1.0": Fault("raw_status_line", dict(line="HTTP/1.0 200 OK"), carried=True),
    "headers-over-16k": Fault("big_headers", dict(bytes=20000), carried=True),
    "slow-reply": Fault("delay", dict(delay=1.5), carried=True),
    # Half the body, then nothing with the connection open.
    "stops-sending": Fault("stall", dict(seconds=120), carried=True, silent=True),
    # No reply at all, also to the reopen (the connection is dropped, the call never carried out,
    # once the row is over).
    "silent": Fault("drop", dict(hold=120, count=2), silent=True),
    "redirect-to-http": Fault("redirect", dict(status=302), locate=lambda w: dict(location=w.plain.url("/x"))),
    # Another HTTPS origin of the service (same storage, a certificate of the trusted CA): 307 keeps
    # the verb, 302 turns every verb but GET into GET.
    "redirect-307-to-https-host": Fault("redirect", dict(status=307),
                                        locate=lambda w: dict(location=w.standin.other_origin + "{target}")),
    "redirect-302-to-https-host": Fault("redirect", dict(status=302),
                                        locate=lambda w: dict(location=w.standin.other_origin + "{target}")),
    "untrusted-certificate": Fault("untrusted_cert", dict(count=2)),
    "wrong-name-certificate": Fault("wrong_name_cert", dict(count=2)),
}


# ---- The outcomes ----

@dataclasses.dataclass(frozen=True)
class Outcome:
    """done: the operation succeeded. codes: for a failed transfer, kind 24's code class and the
    codes it may carry (None: no kind 24 comes)."""
    done: bool
    code_class: int = None
    codes: tuple = None


DONE = Outcome(True)
FAILED = Outcome(False)


def fails(code_class, *codes):
    """A failed transfer whose kind 24 carries one of codes in code_class."""
    flat = tuple(c for group in codes for c in (group if isinstance(group, tuple) else (group,)))
    return Outcome(False, code_class, flat)


def http(status):
    return fails(1, status)


# ---- The tables: operation × fault → documented outcome ----
# A row reads: fault, what the operation reports. Rows the library reports otherwise than a
# reading of the header alone would suggest carry a comment.

# getDBMetadataBufferSize: kind 22; result 1 with the listing's length, else 0 and size 0.
SIZE_QUERY = {
    "status-400": FAILED,
    "status-401": FAILED,
    "status-403": FAILED,
    "status-404": FAILED,
    "status-409": FAILED,
    "status-500": FAILED,
    "status-503-retry-after": FAILED,
    "error-object-200": FAILED,
    "dropped-before-reply-once": DONE,
    "dropped-before-reply": FAILED,
    "dropped-mid-body-with-length": FAILED,
    "dropped-mid-body-chunked": FAILED,
    "dropped-mid-body-closed": FAILED,
    "truncated-body": FAILED,
    # No Content-Length proves no service call's reply whole, not even a complete one.
    "chunked-whole": FAILED,
    "closed-at-end-whole": FAILED,
    "http-1.0": DONE,
    "headers-over-16k": DONE,
    "slow-reply": DONE,
    "stops-sending": FAILED,
    "silent": FAILED,
    "redirect-to-http": FAILED,
    "redirect-307-to-https-host": DONE,
    # The listing answers GET as well.
    "redirect-302-to-https-host": DONE,
    "untrusted-certificate": FAILED,
    "wrong-name-certificate": FAILED,
}

# getDropboxMetadata with the listing's length: kind 21, the listing only with result 1.
LISTING = dict(SIZE_QUERY)
# Rows whose listing request asks for another length than the listing's: the error object's
# own, as a size query that counted the error object would have reported it.
ERROR_OBJECT = b'{"error": "Internal error"}'
LISTING_LENGTHS = {"error-object-200": len(ERROR_OBJECT)}

# getRemoteMergeFile: kind 16 per piece, kind 24 on failure, the final kind 17.
DOWNLOAD = {
    "status-400": fails(2, 4003),
    "status-401": fails(2, 4003),
    "status-403": fails(2, 4003),
    "status-404": fails(2, 4003),
    "status-409": fails(2, 4003),
    "status-500": fails(2, 4003),
    "status-503-retry-after": fails(2, 4003),
    "error-object-200": fails(2, 4009),
    "dropped-before-reply-once": DONE,
    "dropped-before-reply": fails(3, DROPPED),
    "dropped-mid-body-with-length": fails(2, 4010),
    "dropped-mid-body-chunked": fails(2, 4010),
    "dropped-mid-body-closed": fails(2, 4010),
    "truncated-body": fails(2, 4010),
    # The metadata's size proves the body whole whatever the framing.
    "chunked-whole": DONE,
    "closed-at-end-whole": DONE,
    "http-1.0": DONE,
    "headers-over-16k": fails(3, HEADERS_TOO_BIG),
    "slow-reply": DONE,
    "stops-sending": fails(3, SILENCE),
    "silent": fails(3, SILENCE),
    "redirect-to-http": fails(3, HTTPS_TO_HTTP),
    "redirect-307-to-https-host": DONE,
    "redirect-302-to-https-host": DONE,
    "untrusted-certificate": fails(3, UNTRUSTED_CA),
    "wrong-name-certificate": fails(3, WRONG_NAME),
}

# BVDeleteRemote: kind 19; result 1 only when the service confirmed the deletion.
DELETE = {
    "status-400": FAILED,
    "status-401": FAILED,
    "status-403": FAILED,
    "status-404": FAILED,
    "status-409": FAILED,
    "status-500": FAILED,
    "status-503-retry-after": FAILED,
    "error-object-200": FAILED,
    "dropped-before-reply-once": DONE,
    "dropped-before-reply": FAILED,
    "dropped-mid-body-with-length": FAILED,
    "dropped-mid-body-chunked": FAILED,
    "dropped-mid-body-closed": FAILED,
    "truncated-body": FAILED,
    "chunked-whole": FAILED,
    "closed-at-end-whole": FAILED,
    "http-1.0": DONE,
    "headers-over-16k": DONE,
    "slow-reply": DONE,
    "stops-sending": FAILED,
    "silent": FAILED,
    "redirect-to-http": FAILED,
    "redirect-307-to-https-host": DONE,
    # The delete is a POST: as a GET the service refuses it (405).
    "redirect-302-to-https-host": FAILED,
    "untrusted-certificate": FAILED,
    "wrong-name-certificate": FAILED,
}

# BVUpdateRemoteWithFeedback, the fault on the first chunk: kind 16 per accepted chunk, kind 24
# when a chunk request fails, the final kind 20.
UPLOAD = {
    "status-400": http(400),
    "status-401": http(401),
    "status-403": http(403),
    "status-404": http(404),
    "status-409": http(409),
    "status-500": http(500),
    "status-503-retry-after": http(503),
    "error-object-200": fails(2, 5003),
    "dropped-before-reply-once": DONE,
    "dropped-before-reply": fails(3, DROPPED),
    "dropped-mid-body-with-length": fails(2, 5009),
    "dropped-mid-body-chunked": fails(2, 5009),
    "dropped-mid-body-closed": fails(2, 5009),
    "truncated-body": fails(2, 5009),
    "chunked-whole": fails(2, 5009),
    "closed-at-end-whole": fails(2, 5009),
    "http-1.0": DONE,
    "headers-over-16k": DONE,
    "slow-reply": DONE,
    "stops-sending": fails(3, SILENCE),
    "silent": fails(3, SILENCE),
    "redirect-to-http": fails(3, HTTPS_TO_HTTP),
    "redirect-307-to-https-host": DONE,
    # The chunk is a PUT: as a GET the service refuses it (405).
    "redirect-302-to-https-host": http(405),
    "untrusted-certificate": fails(3, UNTRUSTED_CA),
    "wrong-name-certificate": fails(3, WRONG_NAME),
}

# The same upload with the fault on its commit, which sends no message: kind 20 with 0 alone
# after the chunks' kind 16.
COMMIT = {name: (DONE if outcome.done else FAILED) for name, outcome in UPLOAD.items()}

# The same upload with the fault on its revision lookup (the remote file exists): a lookup that
# fails sends no message and nothing is committed; 404 means "nothing there", and the file is
# committed as a new one.
REVISION = dict(SIZE_QUERY, **{"status-404": DONE, "redirect-302-to-https-host": DONE})

# RequestAccessToken: kind 23 with status 1 (browser started with the authorization page) or 0.
REQUEST_TOKEN = dict(SIZE_QUERY)

# CheckForAccessTokenResponse: 0 with the new pair stored, else 1 and the stored pair unchanged.
ACCESS_TOKEN = dict(SIZE_QUERY)

# DBFolderInitialization, the fault on the first folder's request: 0 with the three folders
# created; else 1, the later folders not tried.
FOLDER_CREATION = dict(SIZE_QUERY, **{
    # 403 is the service's "exists already": that folder counts as there, and the others are made.
    "status-403": DONE,
    "redirect-302-to-https-host": FAILED,
})

TABLES = {"size": SIZE_QUERY, "listing": LISTING, "download": DOWNLOAD, "delete": DELETE, "upload": UPLOAD,
          "commit": COMMIT, "revision": REVISION, "request-token": REQUEST_TOKEN, "access-token": ACCESS_TOKEN,
          "folder-creation": FOLDER_CREATION}


def test_every_table_has_every_fault():
    for name, table in TABLES.items():
        assert list(table) == list(FAULTS), name


# ---- The world the rows share: one stand-in, one plain listener, one host ----

def encoded(text):
    """A name as the library puts it in a URL: every byte but ASCII letters and digits escaped."""
    return "".join(chr(b) if chr(b).isascii() and chr(b).isalnum() else "%%%02X" % b for b in text.encode())


class World:
    def __init__(self, root, standin, plain, browser_log):
        self.root = root
        self.standin = standin
        self.plain = plain
        self.browser_log = browser_log
        self.wait_ms = None
        self._session = None

    @property
    def session(self):
        """The running host, started again should a row have ended it (the row has failed then)."""
        if self._session is None or self._session._process.poll() is not None:
            self._session = HostSession(env={"USER": TEST_USER, "VELMORA_FAKE_BROWSER_LOG": str(self.browser_log),
                                             "VELMORA_FAKE_BROWSER_NO_APPROVE": "1"}, timeout=60)
            self.wait_ms = None
        return self._session

    def step(self, *fields):
        run = self.session.step(*fields)
        assert run.of("error") == [], run
        return run

    def begin(self, fault):
        """Clears what earlier rows left and sets the request timeout the row's fault needs."""
        self.standin.clear_faults()
        self.standin.clear_requests()
        wait = SHORT_WAIT_MS if fault.silent else LONG_WAIT_MS
        if wait != self.wait_ms:
            assert self.session.step("setenv", "VELMORA_TRANSFER_TIMEOUT_MS", str(wait)).exit_code == 0
            self.wait_ms = wait

    def inject(self, fault, **match):
        """Queues the row's fault for the requests that match (a connection fault: the next connections)."""
        injection = fault.injection(self)
        if fault.connection:
            return self.standin.inject(**injection)
        return self.standin.inject(**injection, **match)

    def arm_after(self, fault, **match):
        """A connection fault for the connections opened after the request that matches."""
        return self.standin.inject("delay", delay=0, arm=fault.injection(self), **match)

    def end(self, run):
        """What every row checks at its end: the fault was met, nothing is left allocated."""
        assert self.standin.pending_faults() == [], self.standin.pending_faults()
        summary = run.summary
        assert summary["workers_ended"] and summary["outstanding_blocks"] == 0, summary
        # A request sent again (after a connection dropped before its reply) is signed anew: the
        # service may have seen the first, and refuses a nonce twice.
        assert nonce_log.repeated(nonce_log.nonce_keys(self.standin.requests())) == {}
        assert summary["out_of_memory"] == 0, summary
        # Lets go of held or stalled replies.
        self.standin.clear_faults()

    def close(self):
        if self._session is not None:
            self._session.close()


@pytest.fixture(scope="module")
def world(tmp_path_factory):
    pki = os.environ.get("VELMORA_E2E_PKI")
    if StandIn is None or not pki:
        pytest.skip("service stand-in or test PKI not available")
    root = tmp_path_factory.mktemp("matrix")
    constants_file = build_dir() / "service_constants.json"
    constants = load_constants(constants_file) if constants_file.exists() else None
    registry = Registry()
    registry.delete(ACCOUNTS_KEY)
    with StandIn(str(root / "service"), port=443, pki_dir=pki, constants=constants, other_port=0) as standin, \
            PlainListener() as plain:
        standin.set_keep_alive(False)
        world = World(root, standin, plain, root / "browser.log")
        try:
            seeded = standin.seed_request_token(approved=True)
            linked = world.step("access", seeded["token"], seeded["secret"])
            assert linked.result("CheckForAccessTokenResponse")["return"] == 0, linked
            yield world
        finally:
            world.close()
    registry.delete(ACCOUNTS_KEY)


# ---- Checks shared by the rows ----

def final_message(run, kind, size=RESULT_PAYLOAD):
    """The operation's one final message, which comes last, from the worker the host released."""
    messages = run.messages
    assert messages, run
    final = messages[-1]
    assert (final["kind"], final["size"]) == (kind, size), messages
    assert final["tag_ok"] and final["wparam_is_window"] and final["free_failures"] == 0, final
    assert final["payload"]["result_is_host_byte"], final
    assert all(m["thread_id"] == final["thread_id"] for m in messages), messages
    kill = run.result("KillDropBoxThread")
    assert (kill["return"], kill["thread_id"]) == (1, final["thread_id"]), kill
    return final["payload"]


def transfer_steps(run):
    """The messages before the final one: each a TransferPayload sent with wParam 0, as
    (16, count) or (24, code, class)."""
    steps = []
    for m in run.messages[:-1]:
        assert m["kind"] in (16, 24) and m["size"] == PAYLOAD_SIZES["transfer"] and m["wparam_zero"] and m["tag_ok"], m
        payload = m["payload"]
        if m["kind"] == 16:
            assert 0 < payload["count"] and (payload["code"], payload["code_class"]) == (0, 0), m
            steps.append((16, payload["count"]))
        else:
            assert payload["count"] == 0, m
            steps.append((24, payload["code"], payload["code_class"]))
    return steps


def assert_failure_message(steps, outcome):
    """No kind 24 unless the outcome names one; then exactly one, last, with one of its codes."""
    failures = [s for s in steps if s[0] == 24]
    if outcome.done or outcome.code_class is None:
        assert failures == [], steps
        return
    assert len(failures) == 1 and steps[-1] == failures[0], steps
    (_, code, code_class) = failures[0]
    assert code_class == outcome.code_class and code in outcome.codes, (failures, outcome)


def local_copy(world, table, row, content):
    """A local file of its own for the row, with content and an old time."""
    folder = world.root / table / row
    folder.mkdir(parents=True)
    path = folder / "file.bin"
    path.write_bytes(content)
    os.utime(path, (OLD_TIME, OLD_TIME))
    return path


def assert_as_before(path, content):
    assert path.read_bytes() == content
    assert int(path.stat().st_mtime) == OLD_TIME
    assert [p.name for p in path.parent.iterdir()] == [path.name], "a temporary file was left"


def content_of(size, seed):
    return bytes((i * 7 + i // 251 + seed) % 256 for i in range(size))


def rows(table):
    return pytest.mark.parametrize("row", list(TABLES[table]))


def which(table, row):
    return FAULTS[row], TABLES[table][row]


# ---- One test per operation ----

@rows("size")
def test_size_query(world, row):
    fault, outcome = which("size", row)
    folder = f"/matrix/size-{row}"
    world.standin.seed_file(folder + "/a.txt", b"a" * 100)
    expected = world.standin.listing_text(folder)
    world.begin(fault)
    world.inject(fault, path_regex=re.escape(f"path=%2F{folder[1:]}&"))
    run = world.step("size", folder[1:])
    payload = final_message(run, 22, PAYLOAD_SIZES["listing_size"])
    assert transfer_steps(run) == []
    assert (payload["result"], payload["size"]) == ((1, len(expected)) if outcome.done else (0, 0)), payload
    assert payload["path"] == folder[1:] and payload["size_is_host_variable"]
    world.end(run)


@rows("listing")
def test_listing(world, row):
    fault, outcome = which("listing", row)
    folder = f"/matrix/listing-{row}"
    world.standin.seed_file(folder + "/a.txt", b"a" * 100)
    world.standin.seed_file(folder + "/b.txt", b"b" * 10)
    expected = world.standin.listing_text(folder)
    world.begin(fault)
    world.inject(fault, path_regex=re.escape(f"path=%2F{folder[1:]}&"))
    length = LISTING_LENGTHS.get(row, len(expected))
    run = world.step("ls", folder[1:], "--length", length)
    payload = final_message(run, 21, PAYLOAD_SIZES["listing"])
    assert transfer_steps(run) == []
    assert payload["length"] == length and payload["path"] == folder[1:]
    if outcome.done:
        assert (payload["result"], payload["listing"]) == (1, expected.decode()), payload
    else:
        assert (payload["result"], payload["listing"]) == (0, None), payload
    world.end(run)


@rows("download")
def test_download(world, row):
    fault, outcome = which("download", row)
    name = f"download-{row}.txt"
    content = content_of(DOWNLOAD_SIZE, 1)
    world.standin.seed_file("/User Notes/" + name, content, client_mtime=MTIME)
    target = local_copy(world, "download", row, OLD_LOCAL)
    world.begin(fault)
    world.inject(fault, verb="GET", path_regex=re.escape(f"path=User%20Notes/{encoded(name)}&"))
    run = world.step("get", 1, name, windows_path(target))
    payload = final_message(run, 17)
    steps = transfer_steps(run)
    assert_failure_message(steps, outcome)
    if outcome.done:
        assert payload["result"] == 1
        assert sum(s[1] for s in steps) == DOWNLOAD_SIZE, steps
        assert target.read_bytes() == content
        assert int(target.stat().st_mtime) == MTIME_POSIX
        assert [p.name for p in target.parent.iterdir()] == [target.name]
    else:
        assert payload["result"] == 0
        assert_as_before(target, OLD_LOCAL)
    assert world.standin.read_file("/User Notes/" + name) == content
    world.end(run)


@rows("delete")
def test_delete(world, row):
    fault, outcome = which("delete", row)
    name = f"delete-{row}.txt"
    world.standin.seed_file("/Highlights/" + name, b"to be deleted")
    world.begin(fault)
    world.inject(fault, verb="POST", path_regex=re.escape(f"path=%2FHighlights%2F{encoded(name)}&"))
    run = world.step("rm", 0, name)
    payload = final_message(run, 19)
    assert transfer_steps(run) == []
    assert payload["result"] == (1 if outcome.done else 0)
    live = [e["path"] for e in world.standin.list_folder("/Highlights")]
    # A service that carried the delete out before its reply broke has deleted the file.
    gone = outcome.done or fault.carried
    assert (("/Highlights/" + name) not in live) == gone, live
    world.end(run)


def run_upload(world, table, row, place_fault):
    """One upload of a two-chunk file over an older remote version; place_fault(fault, name)
    queues the row's fault. Checks the messages, the stored file and the local file."""
    fault, outcome = which(table, row)
    name = f"{table}-{row}.bin"
    remote = "/User Notes/" + name
    old_remote = content_of(1000, 9)
    world.standin.seed_file(remote, old_remote, client_mtime=MTIME)
    content = content_of(UPLOAD_SIZE, 2)
    local = local_copy(world, table, row, content)
    world.begin(fault)
    place_fault(fault, name)
    run = world.step("put", remote[1:], windows_path(local))
    payload = final_message(run, 20)
    steps = transfer_steps(run)
    assert_failure_message(steps, outcome)
    assert all(s[1] <= CHUNK for s in steps if s[0] == 16), steps
    # The upload never writes the local file's bytes; its time is the service's only after a commit.
    assert local.read_bytes() == content
    stored = world.standin.read_file(remote)
    if outcome.done:
        assert payload["result"] == 1
        assert stored == content
        assert int(local.stat().st_mtime) == wire.parse_date(world.standin.metadata(remote)["client_mtime"])
    else:
        assert payload["result"] == 0
        # Only a commit that the service carried out before its reply broke stores the new bytes.
        committed = table == "commit" and fault.carried
        assert stored == (content if committed else old_remote)
        assert int(local.stat().st_mtime) == OLD_TIME
    world.end(run)


@rows("upload")
def test_upload_chunk(world, row):
    def place(fault, name):
        world.inject(fault, verb="PUT", path_regex=r"^/1/chunked_upload\?&offset=0&")
    run_upload(world, "upload", row, place)


@rows("commit")
def test_upload_commit(world, row):
    def place(fault, name):
        if fault.connection:
            # The commit's connection is the first after the revision lookup.
            world.arm_after(fault, verb="POST", path_regex=rf"^/1/metadata\?root=sandbox&path=User%20Notes%2F"
                                                           rf"{re.escape(encoded(name))}&")
        else:
            world.inject(fault, verb="POST", path_regex=rf"^/1/commit_chunked_upload/sandbox/User%20Notes%2F"
                                                        rf"{re.escape(encoded(name))}\?")
    run_upload(world, "commit", row, place)


@rows("revision")
def test_revision_lookup(world, row):
    def place(fault, name):
        if fault.connection:
            # The lookup's connection is the first after the last chunk.
            world.arm_after(fault, verb="PUT", path_regex=rf"^/1/chunked_upload\?upload_id=[^&]+&offset={CHUNK}&")
        else:
            world.inject(fault, verb="POST", path_regex=rf"^/1/metadata\?root=sandbox&path=User%20Notes%2F"
                                                        rf"{re.escape(encoded(name))}&")
    run_upload(world, "revision", row, place)


def browser_starts(world):
    return world.browser_log.read_text().splitlines() if world.browser_log.exists() else []


@rows("request-token")
def test_request_token(world, row):
    fault, outcome = which("request-token", row)
    world.begin(fault)
    known = set(world.standin.store.request_tokens)
    world.inject(fault, path="/1/oauth/request_token")
    run = world.step("link", "--request-only")
    # The notice points at the library's status byte, not at a result byte of the host.
    (notice,) = run.messages
    assert (notice["kind"], notice["size"]) == (23, PAYLOAD_SIZES["link_status"])
    assert notice["tag_ok"] and notice["wparam_is_window"]
    assert notice["payload"]["reserved_zero"]
    kill = run.result("KillDropBoxThread")
    assert (kill["return"], kill["thread_id"]) == (1, notice["thread_id"]), kill
    request = run.result("RequestAccessToken")
    issued = set(world.standin.store.request_tokens) - known
    if outcome.done:
        assert notice["payload"]["status"] == 1
        assert request["request_token"] in issued and request["secret_present"], (request, issued)
        # The browser was started with the token's authorization page.
        address = "https://localhost/1/oauth/authorize?oauth_token=" + request["request_token"]
        deadline = time.monotonic() + 30 * TIME_SCALE
        while address not in browser_starts(world) and time.monotonic() < deadline:
            time.sleep(0.05)
        assert address in browser_starts(world)
    else:
        assert notice["payload"]["status"] == 0
        assert (request["request_token"], request["secret_present"]) == (None, False), request
    world.end(run)


def stored_token(world):
    creds = world.step("creds")
    return creds.result("GetAccessCreds")["token"]


@rows("access-token")
def test_access_token(world, row):
    fault, outcome = which("access-token", row)
    before = stored_token(world)
    seeded = world.standin.seed_request_token(approved=True)
    known = set(world.standin.store.access_tokens)
    world.begin(fault)
    world.inject(fault, path="/1/oauth/access_token")
    run = world.step("access", seeded["token"], seeded["secret"])
    assert run.messages == []
    assert run.result("CheckForAccessTokenResponse")["return"] == (0 if outcome.done else 1)
    world.end(run)
    issued = set(world.standin.store.access_tokens) - known
    if outcome.done:
        (token,) = issued
        assert stored_token(world) == token
    else:
        # The pair stored before stays, also when the service issued one that never arrived whole.
        assert stored_token(world) == before
        assert len(issued) == (1 if fault.carried else 0), issued


@rows("folder-creation")
def test_folder_creation(world, row):
    fault, outcome = which("folder-creation", row)
    for folder in FOLDERS:
        if any(e["path"] == folder for e in world.standin.list_folder("/")):
            world.standin.store.delete(world.standin.default_uid, folder)
    world.begin(fault)
    world.inject(fault, verb="POST", path="/1/fileops/create_folder")
    run = world.step("init")
    assert run.messages == []
    assert run.result("DBFolderInitialization")["return"] == (0 if outcome.done else 1)
    live = {e["path"] for e in world.standin.list_folder("/") if e["is_dir"]} & set(FOLDERS)
    if outcome.done:
        # After a 403 the first folder counts as there; the service never made it.
        made = set(FOLDERS) - ({FOLDERS[0]} if row == "status-403" else set())
        assert live == made, live
    else:
        # The later folders are not tried; the first exists only when the service carried its call out.
        assert live == ({FOLDERS[0]} if fault.carried else set()), live
    world.end(run)


# ---- Ids the service hands out with characters a URL must escape ----

ODD_SUFFIX = "&/ %+#?="


def test_upload_with_ids_a_url_must_escape(world):
    """The upload id of the chunk answers and the rev of the lookup go back to the service in
    request URLs: each byte escaped, so the service gets back exactly what it gave."""
    name = "odd-ids.bin"
    remote = "/User Notes/" + name
    world.standin.seed_file(remote, content_of(1000, 9), client_mtime=MTIME)
    content = content_of(UPLOAD_SIZE, 5)
    local = local_copy(world, "odd-ids", "upload", content)
    world.begin(Fault("delay"))
    world.standin.set_id_suffix(ODD_SUFFIX)
    try:
        rev = world.standin.metadata(remote)["rev"]
        run = world.step("put", remote[1:], windows_path(local))
    finally:
        world.standin.set_id_suffix("")
    payload = final_message(run, 20)
    assert [s[0] for s in transfer_steps(run)] == [16, 16], run.messages
    assert payload["result"] == 1
    assert world.standin.read_file(remote) == content
    # The old version was replaced at its rev, not kept beside a conflicted copy.
    names = [e["path"] for e in world.standin.list_folder("/User Notes")]
    assert [n for n in names if n.startswith("/User Notes/odd-ids")] == [remote], names
    escaped = "".join("%%%02X" % b for b in ODD_SUFFIX.encode())
    targets = [r["path"] for r in world.standin.requests()]
    second_chunk = [t for t in targets if t.startswith("/1/chunked_upload?upload_id=")]
    commit = [t for t in targets if t.startswith("/1/commit_chunked_upload/")]
    assert len(second_chunk) == 1 and escaped + "&offset=" in second_chunk[0], targets
    assert len(commit) == 1 and "parent_rev=" + rev.replace(ODD_SUFFIX, escaped) + "&" in commit[0], commit
    world.end(run)
