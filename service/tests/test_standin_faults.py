"""Every fault kind, seen from the client side, and the request log around them."""

import http.client
import json
import socket
import ssl
import threading
import time

import pytest

from standin_client import Client, enc, oauth_query

META = "/1/metadata?root=sandbox&path=%2F&"


def raw_exchange(standin, target, verb="GET"):
    """Send one request on a fresh TLS connection; return (head bytes, body bytes read until close or length)."""
    ctx = ssl.create_default_context(cafile=standin.ca_file)
    with socket.create_connection(("127.0.0.1", standin.port), timeout=10) as plain:
        with ctx.wrap_socket(plain, server_hostname="localhost") as s:
            s.sendall(("%s %s HTTP/1.1\r\nHost: localhost\r\nContent-Length: 0\r\n\r\n" % (verb, target)).encode())
            data = b""
            while b"\r\n\r\n" not in data:
                block = s.recv(65536)
                if not block:
                    return data, None
                data += block
            head, _, body = data.partition(b"\r\n\r\n")
            length = int(next(line.split(b":")[1] for line in head.split(b"\r\n")
                              if line.lower().startswith(b"content-length:")))
            while len(body) < length:
                block = s.recv(65536)
                if not block:
                    break
                body += block
            return head, body


def download_target(name="notes.txt"):
    return "/1/files?root=sandbox&path=User%20Notes/" + enc(name) + "&" + oauth_query()


@pytest.fixture
def notes(standin):
    return standin.seed_file("/User Notes/notes.txt", bytes(range(256)) * 4)


def test_status_fault_replaces_reply_without_doing_the_call(standin, client):
    standin.inject("status", verb="POST", path="/1/fileops/create_folder", status=503,
                   headers={"Retry-After": "7"})
    status, headers, body = client.call("POST", "fileops/create_folder", "root=sandbox&path=%2FHighlights")
    assert (status, headers["retry-after"], headers["content-type"]) == (503, "7", "application/json")
    assert json.loads(body) == {"error": "Injected failure"}
    assert client.call("POST", "fileops/create_folder", "root=sandbox&path=%2FHighlights")[0] == 200
    assert [e["status"] for e in standin.requests()] == [503, 200]


def test_status_fault_with_own_body(standin, client):
    standin.inject("status", status=507, body='{"error": "Over quota"}')
    assert client.call("POST", "metadata", "root=sandbox&path=%2F")[::2] == (507, b'{"error": "Over quota"}')


def test_error_200(standin, client):
    standin.inject("error_200", message="Something broke")
    status, headers, body = client.call("POST", "metadata", "root=sandbox&path=%2F")
    assert (status, body, headers["content-type"]) == (200, b'{"error": "Something broke"}', "text/javascript")


@pytest.mark.parametrize("process, created", [(False, False), (True, True)])
def test_drop_closes_without_reply(standin, client, process, created):
    standin.inject("drop", path="/1/fileops/create_folder", process=process)
    with pytest.raises((http.client.RemoteDisconnected, ConnectionError)):
        client.call("POST", "fileops/create_folder", "root=sandbox&path=%2FHighlights")
    client.close()
    log = standin.requests()
    assert len(log) == 1 and log[0]["status"] is None and log[0]["verb"] == "POST"
    assert any(c["path"] == "/Highlights" for c in standin.list_folder("/")) == created


def test_delay_holds_the_reply(standin, client):
    standin.inject("delay", delay=0.3)
    started = time.monotonic()
    assert client.call("POST", "metadata", "root=sandbox&path=%2F")[0] == 200
    assert time.monotonic() - started >= 0.3


def test_raw_status_line(standin, notes):
    standin.inject("raw_status_line", line="HTTP/1.0 200 OK")
    head, body = raw_exchange(standin, download_target())
    assert head.split(b"\r\n")[0] == b"HTTP/1.0 200 OK"
    assert body == bytes(range(256)) * 4


def test_big_headers_come_as_many_lines(standin, notes):
    standin.inject("big_headers", bytes=20000)
    head, body = raw_exchange(standin, download_target())
    lines = head.split(b"\r\n")
    assert len(head) > 20000 and max(len(line) for line in lines) < 4095
    assert b"x-dropbox-metadata: {" in head and body == bytes(range(256)) * 4


def test_omit_headers(standin, notes, client):
    standin.inject("omit_headers", names=["x-dropbox-metadata"])
    status, headers, body = client.request("GET", download_target())
    assert status == 200 and "x-dropbox-metadata" not in headers and len(body) == 1024


def test_truncate_body(standin, notes):
    standin.inject("truncate_body", send=100)
    head, body = raw_exchange(standin, download_target())
    assert b"Content-Length: 1024" in head and body == (bytes(range(256)) * 4)[:100]


def test_offset_back_sets_session_back(standin, client):
    q = oauth_query
    status, _, body = client.request("PUT", "/1/chunked_upload?&offset=0&" + q(), body=b"a" * 100)
    upload_id = json.loads(body)["upload_id"]
    standin.inject("offset_back", verb="PUT", bytes=10)
    status, _, body = client.request("PUT", "/1/chunked_upload?upload_id=%s&offset=100&%s" % (upload_id, q()),
                                     body=b"b" * 50)
    assert (status, json.loads(body)["offset"]) == (200, 140)
    status, _, body = client.request("PUT", "/1/chunked_upload?upload_id=%s&offset=150&%s" % (upload_id, q()),
                                     body=b"c")
    assert status == 400 and b"expected [140]" in body
    client.request("PUT", "/1/chunked_upload?upload_id=%s&offset=140&%s" % (upload_id, q()), body=b"b" * 10)
    status, _, _ = client.request("POST", "/1/commit_chunked_upload/sandbox/x.bin?upload_id=%s&%s" % (upload_id, q()))
    assert status == 200 and standin.read_file("/x.bin") == b"a" * 100 + b"b" * 50


@pytest.mark.parametrize("kind, trust, check_hostname", [
    ("untrusted_cert", "untrusted_ca_cert", True),   # a proper localhost leaf, from a CA the client lacks
    ("wrong_name_cert", "ca_cert", False),           # signed by the trusted CA, but for another name
])
def test_certificate_faults(standin, client, kind, trust, check_hostname):
    standin.inject(kind)
    with pytest.raises(ssl.SSLCertVerificationError):
        client.call("POST", "metadata", "root=sandbox&path=%2F")
    client.close()
    assert standin.requests() == []
    assert client.call("POST", "metadata", "root=sandbox&path=%2F")[0] == 200  # next connection is normal

    standin.inject(kind)
    other = Client(standin, ca_file=getattr(standin.pki, trust))
    other.ctx.check_hostname = check_hostname
    assert other.call("POST", "metadata", "root=sandbox&path=%2F")[0] == 200
    other.close()


def test_matching_and_count(standin, client):
    standin.inject("status", verb="GET", status=500, count=2)
    standin.inject("status", path_regex=r"path=%2FTools", status=502)
    assert client.call("POST", "metadata", "root=sandbox&path=%2F")[0] == 200       # verb differs
    assert client.call("POST", "metadata", "root=sandbox&path=%2FTools")[0] == 502  # regex
    assert len(standin.pending_faults()) == 1
    assert [client.request("GET", META + oauth_query())[0] for _ in range(3)] == [500, 500, 200]
    standin.inject("drop")
    standin.clear_faults()
    assert standin.pending_faults() == [] and client.call("POST", "metadata", "root=sandbox&path=%2F")[0] == 200


def test_unknown_fault_kind_is_refused(standin):
    with pytest.raises(ValueError):
        standin.inject("explode")


def test_log_keeps_raw_target_headers_and_body(standin, client):
    target = "/1/chunked_upload?&offset=0&" + oauth_query()
    client.request("PUT", target, body=b"12345", headers={"X-Test": "yes"})
    client.request("POST", "/1/fileops%2Fdelete?root=sandbox&path=%2Fnone&" + oauth_query())
    first, second = standin.requests(clear=True)
    assert (first["verb"], first["path"], first["body_length"], first["body"], first["status"]) == \
        ("PUT", target, 5, b"12345", 200)
    assert first["headers"]["x-test"] == "yes" and first["headers"]["content-length"] == "5"
    assert second["path"].startswith("/1/fileops%2Fdelete?") and second["status"] == 404
    assert standin.requests() == []


def test_keep_alive_serves_many_requests_on_one_connection(standin, client):
    client.call("POST", "metadata", "root=sandbox&path=%2F")
    sock = client.conn.sock
    for _ in range(5):
        assert client.call("POST", "metadata", "root=sandbox&path=%2F")[0] == 200
    assert client.conn.sock is sock
    # Nagle's delay would stall every small reply: each accepted socket has it off
    sockets = list(standin._server.open_sockets)
    assert sockets and all(s.getsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY) for s in sockets)


@pytest.mark.parametrize("case, head", [
    ("bad length", "PUT /1/chunked_upload HTTP/1.1\r\nHost: localhost\r\nContent-Length: lots\r\n\r\n"),
    ("huge length", "PUT /1/chunked_upload HTTP/1.1\r\nHost: localhost\r\nContent-Length: 999999999999\r\n\r\n"),
    ("bad chunk size", "PUT /1/chunked_upload HTTP/1.1\r\nHost: localhost\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n"),
])
def test_bad_bodies_get_400_and_server_lives_on(standin, client, case, head):
    ctx = ssl.create_default_context(cafile=standin.ca_file)
    with ctx.wrap_socket(socket.create_connection(("127.0.0.1", standin.port), timeout=10),
                         server_hostname="localhost") as s:
        s.sendall(head.encode())
        assert s.recv(65536).startswith(b"HTTP/1.1 400 "), case
    assert client.call("POST", "metadata", "root=sandbox&path=%2F")[0] == 200


def test_refuse_next_refuses_exactly_that_many_connections(standin, client):
    standin.inject("refuse_next", path="/1/metadata", connections=2)
    status, headers, _ = client.call("POST", "metadata", "root=sandbox&path=%2F")
    assert (status, headers["connection"]) == (200, "close")
    for _ in range(2):
        with pytest.raises(ConnectionRefusedError):
            socket.create_connection(("127.0.0.1", standin.port), timeout=10).close()
    assert standin.refused_connections() == 2
    # the listener was open all along: the next attempt is served
    assert client.call("POST", "metadata", "root=sandbox&path=%2F")[0] == 200
    assert standin.refused_connections() == 2


def test_hold_keeps_the_request_until_released(standin, client):
    fault = standin.inject("delay", path="/1/fileops/create_folder", hold=30)
    replies = []
    waiting = threading.Thread(target=lambda: replies.append(
        client.call("POST", "fileops/create_folder", "root=sandbox&path=%2FHighlights")))
    waiting.start()
    assert standin.wait_taken(fault)
    # the held request is carried out only after the release: it meets the folder made meanwhile
    standin.seed_folder("/Highlights")
    assert replies == [] and standin.requests() == []
    standin.release(fault)
    waiting.join(10)
    assert replies[0][0] == 403 and [e["status"] for e in standin.requests()] == [403]


def test_clear_faults_releases_held_requests(standin, client):
    fault = standin.inject("delay", verb="POST", hold=30)
    waiting = threading.Thread(target=lambda: client.call("POST", "metadata", "root=sandbox&path=%2F"))
    waiting.start()
    assert standin.wait_taken(fault)
    standin.clear_faults()
    waiting.join(10)
    assert not waiting.is_alive() and [e["status"] for e in standin.requests()] == [200]


def raw_until_close(standin, target, timeout=10):
    """One GET on a fresh TLS connection: (head bytes, everything after it until the server closes)."""
    ctx = ssl.create_default_context(cafile=standin.ca_file)
    with socket.create_connection(("127.0.0.1", standin.port), timeout=timeout) as plain:
        with ctx.wrap_socket(plain, server_hostname="localhost") as s:
            s.sendall(("GET %s HTTP/1.1\r\nHost: localhost\r\n\r\n" % target).encode())
            data = b""
            while True:
                try:
                    block = s.recv(65536)
                except ssl.SSLEOFError:
                    break
                if not block:
                    break
                data += block
    head, _, rest = data.partition(b"\r\n\r\n")
    return head, rest


def dechunk(raw):
    """The body of a chunked framing and whether its zero-size final chunk came."""
    body = b""
    while raw:
        size_line, _, raw = raw.partition(b"\r\n")
        size = int(size_line, 16)
        if size == 0:
            return body, raw == b"\r\n"
        body += raw[:size]
        raw = raw[size + 2:]
    return body, False


@pytest.fixture
def big(standin):
    content = bytes((i * 7) % 251 for i in range(40000))
    standin.seed_file("/User Notes/big.bin", content)
    return content


@pytest.mark.parametrize("params, whole", [
    pytest.param({}, True, id="complete"),
    pytest.param({"send": 20000}, False, id="cut-inside-a-chunk"),
    pytest.param({"send": 16384}, False, id="cut-between-chunks"),
])
def test_chunked_framing(standin, big, params, whole):
    standin.inject("chunked", path="/1/files", **params)
    head, raw = raw_until_close(standin, download_target("big.bin"))
    assert b"Transfer-Encoding: chunked" in head and b"Content-Length" not in head
    assert b"x-dropbox-metadata: {" in head
    body, ended = dechunk(raw)
    assert ended == whole
    assert body == (big if whole else big[:params["send"]])


@pytest.mark.parametrize("params, sent", [
    pytest.param({}, 40000, id="complete"),
    pytest.param({"send": 12345}, 12345, id="cut"),
])
def test_no_length_framing_ends_by_closing(standin, big, params, sent):
    standin.inject("no_length", path="/1/files", **params)
    head, body = raw_until_close(standin, download_target("big.bin"))
    assert b"Content-Length" not in head and b"Transfer-Encoding" not in head and b"Connection: close" in head
    assert body == big[:sent]


def test_framing_faults_leave_out_named_headers(standin, big):
    standin.inject("no_length", path="/1/files", names=["x-dropbox-metadata"])
    head, body = raw_until_close(standin, download_target("big.bin"))
    assert b"x-dropbox-metadata" not in head and b"Content-Length" not in head and body == big


def test_stall_keeps_the_connection_silent_until_released(standin, big):
    # A reader sees the first 1000 bytes at once, then nothing until the release, then the rest.
    fault = standin.inject("stall", path="/1/files", send=1000)
    got = []
    reader = threading.Thread(target=lambda: got.append(raw_until_close(standin, download_target("big.bin"), 30)))
    reader.start()
    assert standin.wait_taken(fault)
    reader.join(1)
    assert reader.is_alive(), "the stalled reply must not end by itself"
    standin.release(fault)
    reader.join(10)
    head, body = got[0]
    assert b"Content-Length: 40000" in head and body == big


def test_redirect_points_elsewhere_without_doing_the_call(standin, client):
    standin.inject("redirect", path="/1/fileops/create_folder", location="http://localhost:9/x", status=307)
    status, headers, body = client.call("POST", "fileops/create_folder", "root=sandbox&path=%2FHighlights")
    assert (status, headers["location"], body) == (307, "http://localhost:9/x", b"")
    assert not any(c["path"] == "/Highlights" for c in standin.list_folder("/"))


def test_plain_listener_logs_what_reaches_it():
    from service import PlainListener
    with PlainListener() as plain:
        conn = http.client.HTTPConnection("127.0.0.1", plain.port, timeout=10)
        conn.request("PUT", "/x?y=1", body=b"z" * 300)
        reply = conn.getresponse()
        assert (reply.status, reply.read()) == (200, PlainListener.BODY)
        conn.close()
        (entry,) = plain.requests()
        assert (entry["verb"], entry["path"], entry["body_length"]) == ("PUT", "/x?y=1", 300)
        assert plain.url("/a") == "http://localhost:%d/a" % plain.port


@pytest.mark.parametrize("kind", ["chunked", "no_length", "truncate_body"])
def test_framing_faults_carry_a_reply_of_their_own(standin, client, kind):
    standin.inject(kind, path="/1/fileops/create_folder", status=201, body="own reply", send=3)
    head, body = raw_until_close(standin, "/1/fileops/create_folder?root=sandbox&path=%2FHighlights&" + oauth_query())
    assert head.startswith(b"HTTP/1.1 201 ")
    assert (dechunk(body)[0] if kind == "chunked" else body) == b"own"
    # The call itself was not carried out.
    assert not any(c["path"] == "/Highlights" for c in standin.list_folder("/"))
