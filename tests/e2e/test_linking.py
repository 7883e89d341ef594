"""Account linking through the reference host: the request token, the notice
(kind 23), the authorization page in the prefix's fake browser, the access token
exchange, and what ends up in the credential store."""

import concurrent.futures
import os
import pathlib
import re
import threading
import time

import pytest

from conftest import account_key, assert_stored_layout, browser_urls, stored_pair

AUTHORIZE_PREFIX = "https://localhost/1/oauth/authorize?oauth_token="


def stub_pages():
    """The library's temporary stub pages ("tmphtml-<process>-<thread>-<count>.html") left in the prefix."""
    return list(pathlib.Path(os.environ["WINEPREFIX"], "drive_c").rglob("tmphtml*.html"))


def calls_to(standin, path):
    return [r for r in standin.requests() if r["path"].split("?")[0] == path]


def request_secret_of(standin):
    """The request secret, read from the signature the exchange sent ("<app secret>%26<request secret>")."""
    exchange = calls_to(standin, "/1/oauth/access_token")
    assert exchange, standin.requests()
    signature = re.search(r"oauth_signature=([^&]*)", exchange[0]["path"]).group(1)
    return signature.split("%26", 1)[1]


def assert_secrets_absent(run, *secrets):
    """No secret in the host's output, neither as text nor as UTF-16 bytes."""
    text = "\n".join([*map(str, run.events), *run.other_lines, run.stderr])
    for secret in secrets:
        assert secret and secret not in text
        assert "\x00".join(secret) not in text


@pytest.mark.win32
@pytest.mark.parametrize("window", [
    pytest.param(True, id="with-window"),
    pytest.param(False, id="null-window"),
])
def test_link_end_to_end(run_host, standin, registry, unlinked, browser_log, window):
    log, env = browser_log
    run = run_host("link", *([] if window else ["--null-window"]), env=env, timeout=30)
    assert run.exit_code == 0, run

    request = run.result("RequestAccessToken")
    token = request["request_token"]
    assert request["return"] == 0 and token and request["secret_present"] is True
    if window:
        (notice,) = run.messages
        assert notice["kind"] == 23 and notice["tag_ok"] and notice["wparam_is_window"]
        assert notice["payload"]["status"] == 1 and notice["payload"]["reserved_zero"]
        kill = run.result("KillDropBoxThread")
        assert kill["return"] == 1 and kill["thread_id"] == notice["thread_id"]
    else:
        assert run.messages == [] and run.results("KillDropBoxThread") == []
    assert browser_urls(log) == [AUTHORIZE_PREFIX + token]
    assert stub_pages() == []
    assert f"Launching {AUTHORIZE_PREFIX}{token}" in run.stderr_lines

    exchanges = run.results("CheckForAccessTokenResponse")
    assert [e["return"] for e in exchanges][-1:] == [0]
    access_token, access_secret = stored_pair(standin)
    assert (f"Access token = {access_token}, Access token secret = ********, "
            f"and uid = {standin.default_uid}.") in run.stderr_lines
    assert_secrets_absent(run, access_secret, request_secret_of(standin))
    assert_stored_layout(registry)

    creds = run_host("creds")
    assert creds.result("GetAccessCreds") == {
        "event": "result", "export": "GetAccessCreds", "return": 0,
        "token": access_token, "secret_length": len(access_secret)}
    assert_secrets_absent(creds, access_secret)


@pytest.mark.parametrize("body", [
    pytest.param("oauth_token_secret={secret}&oauth_token={token}", id="secret-first"),
    pytest.param("oauth_token={token}&oauth_token_secret={secret}", id="token-first"),
    pytest.param("oauth_token={token}&oauth_token_secret={secret}&oauth_callback_confirmed=true", id="extra-pair"),
])
def test_token_reply_in_any_order(run_host, standin, unlinked, browser_log, body):
    # The reply names a token the stand-in knows: the exchange only succeeds
    # when each variable got the right text (the secret signs the exchange).
    seeded = standin.seed_request_token()
    standin.inject("status", path="/1/oauth/request_token", status=200, content_type="text/plain",
                   body=body.format(**seeded))
    log, env = browser_log
    run = run_host("link", env=env, timeout=30)
    assert run.exit_code == 0, run
    assert run.result("RequestAccessToken")["request_token"] == seeded["token"]
    assert browser_urls(log) == [AUTHORIZE_PREFIX + seeded["token"]]
    assert run.results("CheckForAccessTokenResponse")[-1]["return"] == 0
    assert run_host("creds").result("GetAccessCreds")["token"] == stored_pair(standin)[0]


@pytest.mark.parametrize("fault", [
    pytest.param(dict(kind="status", status=500), id="status-500"),
    pytest.param(dict(kind="status", status=401, message="Token is invalid."), id="status-401"),
    pytest.param(dict(kind="status", status=200, body="oauth_token=abc", content_type="text/plain"),
                 id="no-secret-in-reply"),
    pytest.param(dict(kind="status", status=200, body="oauth_token_secret=abc", content_type="text/plain"),
                 id="no-token-in-reply"),
    pytest.param(dict(kind="drop", count=2), id="dropped-twice"),
])
def test_request_token_refused(run_host, standin, unlinked, browser_log, fault):
    standin.inject(path="/1/oauth/request_token", **fault)
    log, env = browser_log
    run = run_host("link", dll="faults", env=env, timeout=20)
    assert run.exit_code == 1, run
    (notice,) = run.messages
    assert notice["kind"] == 23 and notice["payload"]["status"] == 0 and notice["wparam_is_window"]
    assert run.result("KillDropBoxThread")["return"] == 1
    request = run.result("RequestAccessToken")
    assert request["return"] == 0 and request["request_token"] is None and request["secret_present"] is False
    assert run.results("CheckForAccessTokenResponse") == []
    assert browser_urls(log) == []
    assert calls_to(standin, "/1/oauth/access_token") == []
    assert run.counters["outstanding_blocks"] == 0


@pytest.mark.parametrize("fault", [
    pytest.param(dict(kind="status", status=500), id="status-500"),
    pytest.param(dict(kind="status", status=200, body="oauth_token=abc", content_type="text/plain"),
                 id="no-secret-in-reply"),
])
def test_windowless_link_ends_with_its_worker(run_host, standin, unlinked, browser_log, fault):
    # No notice tells a windowless host that the link failed: it learns it
    # from the worker's end with both variables still null, long before the
    # 60 s it would otherwise wait.
    standin.inject(path="/1/oauth/request_token", **fault)
    log, env = browser_log
    started = time.monotonic()
    run = run_host("link", "--null-window", dll="faults", env=env, timeout=60)
    elapsed = time.monotonic() - started
    assert run.exit_code == 1 and run.of("error") == [], run
    assert run.result("RequestAccessToken") == {"event": "result", "export": "RequestAccessToken", "return": 0,
                                                "request_token": None, "secret_present": False}
    assert run.messages == [] and run.results("KillDropBoxThread") == []
    assert run.results("CheckForAccessTokenResponse") == []
    assert browser_urls(log) == []
    assert run.counters["outstanding_blocks"] == 0
    assert elapsed < 20, elapsed


LINKS_AT_ONCE = 24


def test_links_at_once_each_get_their_token(run_host, standin, unlinked, tmp_path):
    # One Windows user linking from many hosts at once: every flow finds the
    # browser through a stub page of its own in the shared temporary folder.
    # Each host's browser writes a log of its own, so each address can be
    # matched to its host.
    logs = [tmp_path / f"browser-{index}.log" for index in range(LINKS_AT_ONCE)]
    together = threading.Barrier(LINKS_AT_ONCE)

    def link(log):
        together.wait()
        return run_host("link", "--request-only", env={"VELMORA_FAKE_BROWSER_LOG": str(log)}, timeout=120)

    with concurrent.futures.ThreadPoolExecutor(LINKS_AT_ONCE) as pool:
        runs = list(pool.map(link, logs))
    tokens = set()
    for run in runs:
        assert run.exit_code == 0, run
        (notice,) = run.messages
        assert notice["kind"] == 23 and notice["payload"]["status"] == 1, run
        tokens.add(run.result("RequestAccessToken")["request_token"])
    assert None not in tokens and len(tokens) == LINKS_AT_ONCE, tokens
    # A host that only requests the token does not wait for its browser: each
    # log is read once its browser has written its line.
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline and not all(log.exists() and log.read_text().endswith("\n") for log in logs):
        time.sleep(0.1)
    for run, log in zip(runs, logs):
        assert browser_urls(log) == [AUTHORIZE_PREFIX + run.result("RequestAccessToken")["request_token"]], run
    assert stub_pages() == []


def test_no_browser_registered(run_host, standin, registry, unlinked, browser_log):
    html = r"HKLM\Software\Classes\.html"
    code, listing, _ = registry._reg("query", html, "/ve")
    assert code == 0 and "VelmoraTestBrowser.html" in listing
    registry._reg("add", html, "/ve", "/d", "VelmoraNoSuchProgram.html", "/f")
    try:
        log, env = browser_log
        run = run_host("link", dll="faults", env=env, timeout=20)
    finally:
        registry._reg("add", html, "/ve", "/d", "VelmoraTestBrowser.html", "/f")
    (notice,) = run.messages
    assert notice["kind"] == 23 and notice["payload"]["status"] == 0
    request = run.result("RequestAccessToken")
    assert request["request_token"] is None and request["secret_present"] is False
    assert browser_urls(log) == [] and stub_pages() == []
    # The request token came; only the browser lookup failed.
    assert any(line.startswith("Launching " + AUTHORIZE_PREFIX) for line in run.stderr_lines)
    assert run.counters["outstanding_blocks"] == 0


@pytest.mark.parametrize("options, faults", [
    pytest.param([], "CreateThread=1", id="thread-not-started", marks=pytest.mark.win32),
    pytest.param(["--null-token"], "", id="null-token-variable"),
    pytest.param(["--null-secret"], "", id="null-secret-variable"),
])
def test_link_not_started(run_host, standin, unlinked, browser_log, options, faults):
    log, env = browser_log
    run = run_host("link", *options, dll="faults", env={**env, "VELMORA_FAULTS": faults}, timeout=10)
    assert run.exit_code == 1, run
    request = run.result("RequestAccessToken")
    assert (request["return"], request["request_token"], request["secret_present"]) == (1, None, False)
    assert run.messages == [] and run.results("KillDropBoxThread") == []
    assert standin.requests() == [] and browser_urls(log) == []
    assert run.counters["outstanding_blocks"] == 0


def test_browser_process_handle_closed(run_host, standin, unlinked, browser_log):
    # Four links in one process, each starting the browser, whose process handle
    # comes back from ShellExecuteExW. The first link also opens what WinINet
    # keeps for the process; every later one must leave as many handles open as
    # it found.
    log, env = browser_log
    run = run_host("--repeat", "4", "link", "--request-only", dll="faults", env=env, timeout=30)
    assert run.exit_code == 0, run
    assert len(run.runs) == 4
    # Four browsers started (they run on after the host, so their log may lag).
    deadline = time.monotonic() + 20
    while len(browser_urls(log)) < 4 and time.monotonic() < deadline:
        time.sleep(0.1)
    assert len(browser_urls(log)) == 4
    for n, linking in enumerate(run.runs, 1):
        assert linking.result("RequestAccessToken")["return"] == 0, (n, linking)
        assert linking.result("KillDropBoxThread")["return"] == 1, (n, linking)
        summary = linking.summary
        assert summary["workers_ended"] and summary["outstanding_after"] == 0, (n, summary)
        if n > 1:
            assert 0 < summary["handles_before"] == summary["handles_after"], (n, summary)


# Secrets the stand-in is told to hand out, found nowhere else.
WATCHED_ACCESS = ("wipetok3n0acc3s", "w1pedacc3sss3cr")


def store_known_pair(run_host, standin, dll="shipped", env=None):
    """One exchange whose reply carries WATCHED_ACCESS; returns its run."""
    seeded = standin.seed_request_token(approved=True)
    token, secret = WATCHED_ACCESS
    standin.inject("status", path="/1/oauth/access_token", status=200, content_type="text/plain",
                   body=f"oauth_token_secret={secret}&oauth_token={token}&uid={standin.default_uid}")
    run = run_host("exchange", seeded["token"], seeded["secret"], dll=dll, env=env)
    assert run.result("CheckForAccessTokenResponse")["return"] == 0, run
    return run


@pytest.mark.win32
@pytest.mark.parametrize("step", ["request-token", "exchange", "creds"])
def test_secret_blocks_wiped_before_freed(run_host, standin, unlinked, browser_log, step):
    # The test DLL looks for the watched secret (as bytes and as UTF-16) in every
    # library block just before it is wiped and just before it is freed. Every
    # block that held it (the reply that carried it, the copies parsed from it,
    # the copies handed to the host and given back with FreeDropBoxMemory) must
    # be wiped: it may be seen before a wipe, never at a free.
    if step == "request-token":
        seeded = standin.seed_request_token()
        standin.inject("status", path="/1/oauth/request_token", status=200, content_type="text/plain",
                       body="oauth_token={token}&oauth_token_secret={secret}".format(**seeded))
        log, env = browser_log
        run = run_host("link", "--request-only", dll="faults", env={**env, "VELMORA_WATCH_SECRET": seeded["secret"]},
                       timeout=30)
        assert run.result("RequestAccessToken")["request_token"] == seeded["token"], run
    elif step == "exchange":
        run = store_known_pair(run_host, standin, dll="faults", env={"VELMORA_WATCH_SECRET": WATCHED_ACCESS[1]})
    else:
        store_known_pair(run_host, standin)
        run = run_host("creds", dll="faults", env={"VELMORA_WATCH_SECRET": WATCHED_ACCESS[1]})
        assert run.result("GetAccessCreds")["token"] == WATCHED_ACCESS[0], run
    assert run.exit_code == 0, run
    counters = run.counters
    assert counters["watched_at_wipe"] > 0 and counters["watched_at_free"] == 0, counters
    assert counters["outstanding_blocks"] == 0


@pytest.mark.parametrize("case", ["unapproved", "wrong-secret", "unknown-token", "no-secret-in-reply",
                                  "status-500", "null-token", "null-secret"])
def test_exchange_refused_stores_nothing(run_host, standin, registry, unlinked, case):
    seeded = standin.seed_request_token(approved=case != "unapproved")
    token, secret = seeded["token"], seeded["secret"]
    if case == "wrong-secret":
        secret = "x" + secret
    elif case == "unknown-token":
        token = "x" + token
    elif case == "no-secret-in-reply":
        standin.inject("status", path="/1/oauth/access_token", status=200, content_type="text/plain",
                       body="oauth_token=abc&uid=1")
    elif case == "status-500":
        standin.inject("status", path="/1/oauth/access_token", status=500)
    elif case == "null-token":
        token = "--null"
    elif case == "null-secret":
        secret = "--null"
    run = run_host("exchange", token, secret, dll="faults")
    assert run.exit_code == 0, run
    assert run.result("CheckForAccessTokenResponse")["return"] == 1
    assert registry.query(account_key(), "DBTokenBlobPayloadSize") is None
    assert run.counters["outstanding_blocks"] == 0
    expected_calls = 0 if case.startswith("null-") else 1
    assert len(calls_to(standin, "/1/oauth/access_token")) == expected_calls


@pytest.mark.parametrize("faults, token_stored", [
    pytest.param("CryptProtectData=1", False, id="protect-token"),
    pytest.param("RegSetValueExW=1", False, id="write-token-size"),
    pytest.param("RegSetValueExW=2", False, id="write-token-payload"),
    # Both are protected before anything is written.
    pytest.param("CryptProtectData=2", False, id="protect-secret"),
    pytest.param("RegSetValueExW=3", True, id="write-secret-size"),
    pytest.param("RegSetValueExW=4", True, id="write-secret-payload"),
])
def test_store_failure_reported(run_host, standin, registry, unlinked, faults, token_stored):
    seeded = standin.seed_request_token(approved=True)
    run = run_host("exchange", seeded["token"], seeded["secret"], dll="faults", env={"VELMORA_FAULTS": faults})
    assert run.result("CheckForAccessTokenResponse")["return"] == 1
    assert run.counters["outstanding_blocks"] == 0
    # What was written before the failure stays; the pair as a whole cannot be read.
    assert (registry.query(account_key(), "DBTokenBlobPayload") is not None) == token_stored
    assert run_host("creds").result("GetAccessCreds")["return"] == -1
    assert_secrets_absent(run, stored_pair(standin)[1])


@pytest.mark.parametrize("faults", [
    pytest.param("CryptProtectData=2", id="protect-secret"),
    pytest.param("RegSetValueExW=3", id="write-secret-size"),
    pytest.param("RegSetValueExW=4", id="write-secret-payload"),
])
def test_store_failure_keeps_the_pair_stored_before(run_host, standin, linked, faults):
    # A linked account whose new pair cannot be stored whole keeps the pair it had: a new token
    # beside the old secret would break the link it has and make no new one.
    seeded = standin.seed_request_token(approved=True)
    run = run_host("exchange", seeded["token"], seeded["secret"], dll="faults", env={"VELMORA_FAULTS": faults})
    assert run.result("CheckForAccessTokenResponse")["return"] == 1
    assert run.counters["outstanding_blocks"] == 0
    read = run_host("creds").result("GetAccessCreds")
    assert (read["return"], read["token"], read["secret_length"]) == (0, linked[0], len(linked[1]))


def test_exchange_without_leaks_under_allocation_failures(run_host, standin, unlinked):
    # One process runs the exchange once per N with its N-th allocation failing,
    # until an exchange meets no failure. A request token is good for one
    # exchange, so run N takes the N-th of the seeded ones. Each result is 0 or
    # 1, nothing stays allocated, and the pair is read back (with no failure)
    # within each run: a 0 stored the pair handed out, a 1 left what was stored
    # before (no pair until the first 0).
    seeded = [standin.seed_request_token(approved=True) for _ in range(80)]
    pairs = [text for request in seeded for text in (request["token"], request["secret"])]
    run = run_host("--fault-loop", "alloc", "exchange", *pairs, "--read-back", dll="faults", timeout=120)
    assert run.exit_code == 0, run
    runs = run.fault_loop_runs()
    # Access tokens in the order the stand-in handed them out, one per exchange it answered.
    answered = [re.search(r"oauth_token=([^&]*)", r["path"]).group(1)
                for r in calls_to(standin, "/1/oauth/access_token") if r["status"] == 200]
    handed_out = dict(zip(answered, standin.store.access_tokens))
    stored = (-1, None)
    for n, exchange in enumerate(runs, 1):
        summary = exchange.summary
        assert summary["outstanding_after"] == summary["outstanding_before"] == 0, (n, summary)
        returned = exchange.result("CheckForAccessTokenResponse")["return"]
        assert returned in (0, 1), (n, exchange)
        if returned == 0:
            stored = (0, handed_out[seeded[n - 1]["token"]])
        read = exchange.result("GetAccessCreds")
        assert (read["return"], read["token"]) == stored, (n, exchange)
    assert runs[-1].result("CheckForAccessTokenResponse")["return"] == 0


def cut_inside_token(body, token):
    """Bytes of body up to the middle of token: a reply cut off there names a shorter token."""
    return body.index(token) + len(token) // 2


def test_request_token_cut_short_starts_no_link(run_host, standin, unlinked, browser_log):
    seeded = standin.seed_request_token()
    body = "oauth_token_secret={secret}&oauth_token={token}".format(**seeded)
    standin.inject("truncate_body", path="/1/oauth/request_token", status=200, content_type="text/plain",
                   body=body, send=cut_inside_token(body, seeded["token"]))
    log, env = browser_log
    run = run_host("link", dll="faults", env=env, timeout=20)
    assert run.exit_code == 1, run
    (notice,) = run.messages
    assert notice["kind"] == 23 and notice["payload"]["status"] == 0
    request = run.result("RequestAccessToken")
    assert request["request_token"] is None and request["secret_present"] is False
    assert browser_urls(log) == [] and run.results("CheckForAccessTokenResponse") == []
    assert run.counters["outstanding_blocks"] == 0


def test_access_token_cut_short_stores_nothing(run_host, standin, registry, unlinked):
    # The secret arrived whole, the token only in part: nothing is stored, and
    # every block that held the secret was wiped before it was freed.
    seeded = standin.seed_request_token(approved=True)
    token, secret = WATCHED_ACCESS
    body = f"oauth_token_secret={secret}&oauth_token={token}&uid={standin.default_uid}"
    standin.inject("truncate_body", path="/1/oauth/access_token", status=200, content_type="text/plain",
                   body=body, send=cut_inside_token(body, token))
    run = run_host("exchange", seeded["token"], seeded["secret"], dll="faults", env={"VELMORA_WATCH_SECRET": secret})
    assert run.exit_code == 0, run
    assert run.result("CheckForAccessTokenResponse")["return"] == 1
    assert registry.query(account_key(), "DBTokenBlobPayloadSize") is None
    assert run_host("creds").result("GetAccessCreds")["return"] == -1
    counters = run.counters
    assert counters["watched_at_wipe"] > 0 and counters["watched_at_free"] == 0, counters
    assert counters["outstanding_blocks"] == 0
    assert_secrets_absent(run, secret)
