"""The small services of the transport: URL splitting, the proxy setting and
the conversion of service dates, through the reference host."""

import pytest

INTERNET_SETTINGS = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings"
EPOCH_FILETIME = 116444736000000000  # 1970-01-01, also every failed parse


@pytest.mark.win32
@pytest.mark.parametrize("url, host, path", [
    pytest.param("https://localhost/1/metadata/sandbox/User%20Notes?list=true&oauth_token=a%2Fb",
                 "localhost", "/1/metadata/sandbox/User%20Notes?list=true&oauth_token=a%2Fb",
                 id="escapes-in-path-and-query-kept"),
    pytest.param("https://api-content.example.test:8443/1/files/sandbox/Highlights/a%2Fb.json?rev=7",
                 "api-content.example.test", "/1/files/sandbox/Highlights/a%2Fb.json?rev=7", id="port-dropped"),
    pytest.param("https://localhost", "localhost", None, id="host-only-no-path"),
])
def test_crack_host_and_path(run_host, url, host, path):
    run = run_host("crack", url)
    assert run.exit_code == 0, run
    result = run.result("CrackHostAndPath")
    assert (result["return"], result["host"], result["path"]) == (0, host, path)
    assert result["host_written"] and result["path_written"]


ERROR_INTERNET_UNRECOGNIZED_SCHEME = 12006
ERROR_INVALID_PARAMETER = 87


@pytest.mark.parametrize("url", [
    pytest.param("not a url", id="words"),
    pytest.param("localhost/1/metadata/sandbox", id="no-scheme"),
])
def test_crack_malformed_url_leaves_out_values(run_host, url):
    run = run_host("crack", url)
    assert run.exit_code == 0, run
    result = run.result("CrackHostAndPath")
    assert result["return"] == ERROR_INTERNET_UNRECOGNIZED_SCHEME, result
    assert not result["host_written"] and not result["path_written"]


@pytest.mark.win32
def test_proxy_direct(run_host):
    run = run_host("proxy")
    assert run.exit_code == 0, run
    result = run.result("GetProxyInfo")
    assert (result["type"], result["server"], result["server_written"]) == (1, None, True)


@pytest.mark.win32
@pytest.mark.parametrize("server", [
    "proxy.example.test:3128",
    "10.20.30.40:8080",
])
def test_proxy_manual(run_host, registry, server):
    registry.set(INTERNET_SETTINGS, "ProxyEnable", "REG_DWORD", 1)
    registry.set(INTERNET_SETTINGS, "ProxyServer", "REG_SZ", server)
    run = run_host("proxy")
    assert run.exit_code == 0, run
    result = run.result("GetProxyInfo")
    # Wine reports the proxy bit alone (Windows adds the direct bit).
    assert (result["type"], result["server"]) == (2, server)


def test_proxy_texts_freed(run_host, registry):
    # WinINet hands the server, the bypass list and the autoconfiguration URL
    # over as GlobalAlloc blocks that the caller frees. The host measures how
    # the process's heaps grow over many GetProxyInfo calls, and over as many
    # queries of its own that free every text: left unfreed, a text would add
    # its bytes once per call. (Wine reports no autoconfiguration URL.)
    server = "proxy.example.test:3128"
    bypass = ";".join(f"host{i}.internal.example.test" for i in range(60))
    registry.set(INTERNET_SETTINGS, "ProxyEnable", "REG_DWORD", 1)
    registry.set(INTERNET_SETTINGS, "ProxyServer", "REG_SZ", server)
    registry.set(INTERNET_SETTINGS, "ProxyOverride", "REG_SZ", bypass)
    registry.set(INTERNET_SETTINGS, "AutoConfigURL", "REG_SZ", "http://config.example.test/proxy.pac")
    calls = 100
    run = run_host("proxy-heap", str(calls))
    assert run.exit_code == 0, run
    result = run.result("GetProxyInfo")
    smallest_text = 2 * (len(server) + 1)
    assert result["text_bytes"] >= smallest_text + 2 * (len(bypass) + 1), result
    assert result["library_growth"] - result["host_growth"] < calls * smallest_text // 2, result


@pytest.mark.parametrize("args, expected", [
    pytest.param(["crack", "--null"], {"host_written": False, "path_written": False}, id="crack-null-url"),
    pytest.param(["crack", "https://localhost/a?b=1", "--null-host"], {"path_written": False}, id="crack-null-host"),
    pytest.param(["crack", "https://localhost/a?b=1", "--null-path"], {"host_written": False}, id="crack-null-path"),
    # The server variable is cleared even when no type can be written.
    pytest.param(["proxy", "--null-type"], {"type": 0xFFFFFFFF, "server_written": True, "server": None},
                 id="proxy-null-type"),
    # A manual proxy is set, and its type still arrives without the server variable.
    pytest.param(["proxy", "--null-server"], {"type": 2, "server_written": False}, id="proxy-null-server"),
    pytest.param(["date", "--null"], {"return": EPOCH_FILETIME}, id="date-null"),
])
def test_null_arguments(run_host, registry, args, expected):
    if args[0] == "proxy":
        registry.set(INTERNET_SETTINGS, "ProxyEnable", "REG_DWORD", 1)
        registry.set(INTERNET_SETTINGS, "ProxyServer", "REG_SZ", "proxy.example.test:3128")
    run = run_host(*args, dll="faults")
    assert run.exit_code == 0, run
    (result,) = run.of("result")
    if args[0] == "crack":
        expected = {"return": ERROR_INVALID_PARAMETER, **expected}
    assert {key: result[key] for key in expected} == expected, result
    assert (run.counters["outstanding_blocks"], run.counters["out_of_memory"]) == (0, 0)


@pytest.mark.parametrize("text, expected", [
    pytest.param("Wed, 29 Oct 2014 19:30:19 +0000", 130590846190000000, id="worked-example", marks=pytest.mark.win32),
    pytest.param("Wed, 29 Oct 2014 19:30:19 +0200", 130590774190000000, id="offset-applied"),
    pytest.param("Wed, 29 oct 2014 19:30:19 +0000", EPOCH_FILETIME, id="unknown-month-fails"),
    pytest.param("Sun, 01 Jan 2040 00:00:00 +0000", 138534624000000000, id="2040"),
    pytest.param("Mon, 29 Feb 2016 12:00:00 +0000", 131012208000000000, id="leap-day"),
    pytest.param("Mon, 01 Mar 2100 00:00:00 +0000", 157520160000000000, id="2100-not-a-leap-year"),
    pytest.param("Sun, 15 Jun 1969 01:02:03 +0000", 116271973230000000, id="before-1970"),
    pytest.param("Wed, 29 Oct 2014 25:00:00 +0000", 130591044000000000, id="hour-25-next-day"),
    pytest.param("Wed, 29 Oct 2014 19:30:19", 130590846190000000, id="no-zone-is-utc"),
    pytest.param("Wed, 29 Oct 2014 19:30:19 GMT", 130590846190000000, id="gmt-is-utc"),
    pytest.param("Wed, 29 Oct 2014 19:30:19 EST", EPOCH_FILETIME, id="other-zone-name-fails"),
    pytest.param("29 Oct 2014 19:30:19 +0000", EPOCH_FILETIME, id="no-day-name"),
    pytest.param("Wed,", EPOCH_FILETIME, id="too-short"),
    pytest.param("yesterday, around noon", EPOCH_FILETIME, id="unparseable"),
])
def test_convert_to_filetime(run_host, text, expected):
    run = run_host("date", text)
    assert run.exit_code == 0, run
    assert run.result("ConvertToFILETIME")["return"] == expected


@pytest.mark.parametrize("args, manual_proxy", [
    pytest.param(["proxy"], True, id="proxy-manual"),
    pytest.param(["proxy"], False, id="proxy-direct"),
    pytest.param(["crack", "https://localhost/a?b=%20"], False, id="crack"),
    pytest.param(["date", "Wed, 29 Oct 2014 19:30:19 +0000"], False, id="date"),
])
def test_nothing_outstanding_after_small_services(run_host, registry, args, manual_proxy):
    if manual_proxy:
        registry.set(INTERNET_SETTINGS, "ProxyEnable", "REG_DWORD", 1)
        registry.set(INTERNET_SETTINGS, "ProxyServer", "REG_SZ", "proxy.example.test:3128")
    run = run_host(*args, dll="faults")
    assert run.exit_code == 0, run
    if manual_proxy:
        # The server text was handed over, so the host really freed a block.
        assert run.result("GetProxyInfo")["server"] == "proxy.example.test:3128"
    assert (run.counters["outstanding_blocks"], run.counters["out_of_memory"]) == (0, 0)
