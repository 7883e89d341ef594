"""The credential store (GetAccessCreds and what the access token exchange
writes) and the creation of the application's three folders, through the
reference host against the stand-in."""

import re

import pytest

from conftest import ACCOUNTS_KEY, TEST_USER, account_key, assert_stored_layout, link, stored_pairs

OTHER_USER = "someone-else"
FOLDERS = ("Highlights", "User%20Notes", "User%20Tools")
FOLDER_CALL = re.compile(r"^/1/fileops/create_folder\?root=sandbox&path=%2F(?P<folder>[^&]+)"
                         r"&oauth_consumer_key=(?P<key>[^&]+)&oauth_token=(?P<token>[^&]+)"
                         r"&oauth_nonce=(?P<nonce>[^&]+)&oauth_timestamp=\d+&oauth_signature_method=PLAINTEXT"
                         r"&oauth_signature=(?P<signature>[^&]+)&oauth_version=1\.0$")


def creds(run_host, user=TEST_USER):
    run = run_host("creds", dll="faults", env={"USER": user})
    assert run.counters["outstanding_blocks"] == 0, run
    return run.result("GetAccessCreds")


def read_values(registry, user=TEST_USER):
    """{name: (type, data)} of the four stored values (REG_BINARY data as hex text)."""
    names = [prefix + suffix for prefix in ("DBToken", "DBPassword") for suffix in ("BlobPayloadSize", "BlobPayload")]
    return {name: registry.query(account_key(user), name) for name in names}


@pytest.mark.win32
def test_stored_pair_reads_back(run_host, standin, registry, linked):
    token, secret = linked
    assert_stored_layout(registry)
    assert creds(run_host) == {"event": "result", "export": "GetAccessCreds", "return": 0, "token": token,
                               "secret_length": len(secret)}


def test_later_exchange_replaces_pair(run_host, standin, linked):
    token, secret = link(run_host, standin)
    assert token != linked[0]
    assert creds(run_host)["token"] == token


def test_never_linked(run_host, standin, registry, unlinked):
    assert creds(run_host) == {"event": "result", "export": "GetAccessCreds", "return": -1, "token": None,
                               "secret_length": None}
    answer = registry._reg("query", ACCOUNTS_KEY)
    assert registry._says_absent(*answer), f"reading must not create the key: {answer}"


@pytest.mark.parametrize("change, readable", [
    pytest.param(lambda v: {}, True, id="as-stored"),
    pytest.param(lambda v: {"DBTokenBlobPayload": ("REG_BINARY", v["DBTokenBlobPayload"][1][:-2])}, True,
                 id="token-payload-exactly-size"),
    pytest.param(lambda v: {"DBPasswordBlobPayload": ("REG_BINARY", v["DBPasswordBlobPayload"][1][:-2])}, True,
                 id="secret-payload-exactly-size"),
    pytest.param(lambda v: {"DBTokenBlobPayload": ("REG_BINARY", v["DBTokenBlobPayload"][1] + "00")}, False,
                 id="token-payload-size-plus-two"),
    pytest.param(lambda v: {"DBPasswordBlobPayload": ("REG_BINARY", v["DBPasswordBlobPayload"][1] + "0000")}, False,
                 id="secret-payload-size-plus-three"),
    pytest.param(lambda v: {"DBTokenBlobPayloadSize": ("REG_SZ", str(v["DBTokenBlobPayloadSize"][1]))}, False,
                 id="token-size-as-text"),
    pytest.param(lambda v: {"DBPasswordBlobPayload": ("REG_NONE", v["DBPasswordBlobPayload"][1])}, False,
                 id="secret-payload-not-binary"),
    pytest.param(lambda v: {"DBTokenBlobPayloadSize": ("REG_DWORD", v["DBTokenBlobPayloadSize"][1] - 1)}, False,
                 id="token-size-from-other-write"),
    pytest.param(lambda v: {"DBTokenBlobPayload": ("REG_BINARY", v["DBTokenBlobPayload"][1][:-8] + "A5A5A5A5")},
                 False, id="token-blob-damaged"),
    pytest.param(lambda v: {"DBPasswordBlobPayloadSize": None, "DBPasswordBlobPayload": None}, False,
                 id="secret-missing"),
    pytest.param(lambda v: {"DBTokenBlobPayloadSize": None}, False, id="token-size-missing"),
])
def test_stored_values_checked(run_host, standin, registry, linked, change, readable):
    for name, value in change(read_values(registry)).items():
        if value is None:
            registry.delete(account_key(), name)
        else:
            registry.add(account_key(), name, *value)
    result = creds(run_host)
    if readable:
        assert (result["return"], result["token"], result["secret_length"]) == (0, linked[0], len(linked[1]))
    else:
        assert (result["return"], result["token"], result["secret_length"]) == (-1, None, None)


def test_pair_of_another_windows_user_refused(run_host, standin, registry, linked):
    # The other user's own pair reads back: the key follows the logon name.
    other = link(run_host, standin, user=OTHER_USER)
    assert creds(run_host, OTHER_USER)["token"] == other[0]
    # This user's blobs under the other user's name: DPAPI refuses them.
    for name, (reg_type, data) in read_values(registry).items():
        registry.add(account_key(OTHER_USER), name, reg_type, data)
    assert creds(run_host, OTHER_USER)["return"] == -1
    assert creds(run_host)["token"] == linked[0]


@pytest.mark.parametrize("option", ["--null-token", "--null-secret"])
def test_null_out_argument(run_host, linked, option):
    # The pair is readable: only the missing out-argument makes the call fail,
    # and nothing is left allocated.
    run = run_host("creds", option, dll="faults")
    assert run.result("GetAccessCreds") == {"event": "result", "export": "GetAccessCreds", "return": -1,
                                            "token": None, "secret_length": None}
    assert run.counters["outstanding_blocks"] == 0


def test_read_without_leaks_under_allocation_failures(run_host, linked):
    # One process reads the pair once per N with its N-th allocation failing,
    # until a read meets no failure: each failed read hands out nothing and
    # leaves nothing allocated; the clean one reads the pair.
    run = run_host("--fault-loop", "alloc", "creds", dll="faults")
    assert run.exit_code == 0, run
    runs = run.fault_loop_runs()
    for n, read in enumerate(runs, 1):
        assert read.summary["outstanding_before"] == read.summary["outstanding_after"] == 0, (n, read.summary)
        result = read.result("GetAccessCreds")
        found = (result["return"], result["token"], result["secret_length"])
        assert found == ((0, linked[0], len(linked[1])) if n == len(runs) else (-1, None, None)), (n, result)


def folder_calls(standin):
    return [(FOLDER_CALL.match(r["path"]), r["status"]) for r in standin.requests()
            if r["path"].startswith("/1/fileops/create_folder")]


def folder_names(standin):
    return sorted(entry["path"] for entry in standin.list_folder("/") if entry["is_dir"])


@pytest.mark.parametrize("existing, fault, expected, statuses", [
    pytest.param([], None, 0, [("Highlights", 200), ("User%20Notes", 200), ("User%20Tools", 200)], id="fresh", marks=pytest.mark.win32),
    pytest.param(["/Highlights", "/User Notes", "/User Tools"], None, 0,
                 [("Highlights", 403), ("User%20Notes", 403), ("User%20Tools", 403)], id="all-present"),
    pytest.param(["/User Notes"], None, 0,
                 [("Highlights", 200), ("User%20Notes", 403), ("User%20Tools", 200)], id="one-present"),
    pytest.param([], dict(kind="status", status=500), 1, [("Highlights", 200), ("User%20Notes", 500)],
                 id="second-fails-500", marks=pytest.mark.win32),
    pytest.param([], dict(kind="status", status=404), 1, [("Highlights", 200), ("User%20Notes", 404)],
                 id="second-fails-404"),
    # WinINet silently resends once on the kept-alive connection of the first
    # folder, then the executor reopens once: three drops make it give up.
    pytest.param([], dict(kind="drop", count=3), 1,
                 [("Highlights", 200)] + [("User%20Notes", None)] * 3, id="second-dropped-each-time"),
])
def test_folder_initialization(run_host, standin, linked, existing, fault, expected, statuses):
    for path in existing:
        standin.seed_folder(path)
    if fault:
        standin.inject(path_regex=r"^/1/fileops/create_folder\?root=sandbox&path=%2FUser%20Notes&", **fault)
    standin.clear_requests()
    run = run_host("init", dll="faults")
    assert run.result("DBFolderInitialization")["return"] == expected
    assert run.counters["outstanding_blocks"] == 0

    calls = folder_calls(standin)
    assert [(match and match["folder"], status) for match, status in calls] == statuses
    token, secret = linked
    for match, _ in calls:
        assert (match["key"], match["token"], match["signature"]) == (standin.app_key, token,
                                                                      f"{standin.app_secret}%26{secret}")
    # A fresh nonce per folder (the executor's own retry resends the same address).
    assert len({match["nonce"] for match, _ in calls}) == len({match["folder"] for match, _ in calls})
    made = {"/Highlights", "/User Notes", "/User Tools"} if expected == 0 else {"/Highlights"}
    assert folder_names(standin) == sorted(made | set(existing))
    assert secret not in "\n".join([*map(str, run.events), *run.other_lines, run.stderr])


def test_folder_initialization_not_linked(run_host, standin, unlinked):
    run = run_host("init", dll="faults")
    assert run.result("DBFolderInitialization")["return"] == 1
    assert standin.requests() == []
    assert run.counters["outstanding_blocks"] == 0


def test_folder_initialization_without_leaks_under_allocation_failures(run_host, standin, linked):
    # One process creates the folders once per N with its N-th allocation
    # failing, until a run meets no failure: each run returns 0 or 1 and leaves
    # nothing allocated; the clean one finds or makes all three.
    run = run_host("--fault-loop", "alloc", "init", dll="faults", timeout=120)
    assert run.exit_code == 0, run
    runs = run.fault_loop_runs()
    for n, init in enumerate(runs, 1):
        assert init.summary["outstanding_before"] == init.summary["outstanding_after"] == 0, (n, init.summary)
        assert init.result("DBFolderInitialization")["return"] in (0, 1), (n, init)
    assert runs[-1].result("DBFolderInitialization")["return"] == 0
    assert folder_names(standin) == ["/Highlights", "/User Notes", "/User Tools"]
