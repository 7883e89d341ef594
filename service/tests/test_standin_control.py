"""The plain-HTTP control port and the command line, driven as a separate script would drive them."""

import base64
import http.client
import json
import os
import signal
import subprocess
import sys
import threading

import pytest

from standin_client import Client, oauth_query
from service import StandIn

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def control(port, op, args=None, verb="POST"):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    body = json.dumps(args).encode() if args is not None else None
    conn.request(verb, "/" + op, body=body, headers={"Content-Type": "application/json"} if body else {})
    r = conn.getresponse()
    out = r.status, json.loads(r.read())
    conn.close()
    return out


@pytest.fixture
def controlled(tmp_path, pki):
    s = StandIn(str(tmp_path / "root"), port=0, pki_dir=pki.dir, control_port=0)
    s.start()
    yield s
    s.stop()


def test_control_round_trip(controlled):
    port = controlled.control_port
    assert control(port, "seed_access_token", {"token": "abcabcabcabcabc", "secret": "defdefdefdefdef"})[0] == 200
    status, reply = control(port, "seed_file", {"path": "/User Tools/t.bin",
                                                "content_b64": base64.b64encode(b"\x00\xffdata").decode(),
                                                "client_mtime": "Wed, 29 Oct 2014 19:30:19 +0000"})
    assert status == 200 and reply["result"]["client_mtime"] == "Wed, 29 Oct 2014 19:30:19 +0000"
    assert control(port, "read_file", {"path": "/user tools/T.BIN"})[1] == \
        {"result": {"base64": base64.b64encode(b"\x00\xffdata").decode()}}
    assert [c["path"] for c in control(port, "list_folder", {"path": "/User Tools"})[1]["result"]] == \
        ["/User Tools/t.bin"]

    assert control(port, "inject", {"kind": "status", "verb": "GET", "status": 503})[0] == 200
    client = Client(controlled)
    q = oauth_query(token="abcabcabcabcabc", token_secret="defdefdefdefdef")
    assert client.request("GET", "/1/files?root=sandbox&path=User%20Tools/t%2Ebin&" + q)[0] == 503
    client.close()
    status, reply = control(port, "requests", verb="GET")
    assert status == 200 and [(e["verb"], e["status"]) for e in reply["result"]] == [("GET", 503)]
    assert reply["result"][0]["path"].startswith("/1/files?root=sandbox&path=User%20Tools/t%2Ebin&")
    control(port, "clear_requests")
    assert control(port, "requests", verb="GET")[1] == {"result": []}

    rt = control(port, "seed_request_token", {})[1]["result"]
    assert control(port, "approve", {"token": rt["token"]})[1] == {"result": True}
    assert control(port, "info", verb="GET")[1]["result"]["port"] == controlled.port


@pytest.mark.parametrize("op, args, status", [
    ("no_such_operation", {}, 404),
    ("seed_file", {"path": "/x"}, 400),             # content missing
    ("inject", {"kind": "explode"}, 400),
    ("read_file", {"path": "/missing.txt"}, 404),
    ("seed_folder", ["not", "an", "object"], 400),
])
def test_control_errors(controlled, op, args, status):
    got, reply = control(controlled.control_port, op, args)
    assert got == status and reply["error"]


def test_command_line_runs_until_sigterm(tmp_path, pki):
    constants = tmp_path / "service_constants.json"
    constants.write_text(json.dumps({"app_key": "abcdefghij12345", "app_secret": "zyxwvutsrq98765",
                                     "api_origin": "https://localhost", "content_origin": "https://localhost",
                                     "web_origin": "https://localhost"}))
    proc = subprocess.Popen([sys.executable, "-m", "service", "--root", str(tmp_path / "root"), "--port", "0",
                             "--control-port", "0", "--pki", pki.dir, "--constants", str(constants)],
                            cwd=REPO, stdout=subprocess.PIPE, text=True)
    try:
        line = proc.stdout.readline().strip()
        parts = line.split()
        assert parts[:3] == ["service", "listening", "on"] and parts[4] == "control", line
        port = int(parts[3].rsplit(":", 1)[1])
        cport = int(parts[5].rsplit(":", 1)[1])

        class Where:
            ca_file = pki.ca_cert
        Where.port = port
        client = Client(Where)
        q = oauth_query(token=None, token_secret="", key="abcdefghij12345", secret="zyxwvutsrq98765")
        assert client.request("POST", "/1/oauth/request_token?" + q)[0] == 200
        assert client.request("POST", "/1/oauth/request_token?" + oauth_query(token=None, token_secret=""))[0] == 403
        client.close()
        assert control(cport, "info", verb="GET")[1]["result"]["app_key"] == "abcdefghij12345"
        proc.send_signal(signal.SIGTERM)
        assert proc.wait(timeout=10) == 0
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()


def test_stop_ends_open_connections(tmp_path, pki):
    s = StandIn(str(tmp_path / "root"), port=0, pki_dir=pki.dir, control_port=0).start()
    s.seed_access_token("abcabcabcabcabc", "defdefdefdefdef")
    client = Client(s)
    q = oauth_query(token="abcabcabcabcabc", token_secret="defdefdefdefdef")
    assert client.request("POST", "/1/metadata?root=sandbox&path=%2F&" + q)[0] == 200  # left open
    stopper = threading.Thread(target=s.stop)
    stopper.start()
    stopper.join(timeout=20)
    assert not stopper.is_alive()
    assert all(not t.is_alive() for t in threading.enumerate() if t.name.startswith("standin-"))
    client.close()
