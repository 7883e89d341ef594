"""OAuth: the linking flow, the authorization page, and refusal of bad, stale or replayed requests."""

import re
import time
import urllib.parse

import pytest

from standin_client import oauth_query

META = ("metadata", "root=sandbox&path=%2F", "file_limit=25000&list=true&include_deleted=false")


def test_request_authorize_access_flow(standin, client):
    status, headers, body = client.call("POST", "oauth/request_token", token=None, token_secret="")
    assert status == 200 and headers["content-type"] == "text/plain"
    m = re.fullmatch(rb"oauth_token_secret=([a-z0-9]{15})&oauth_token=([a-z0-9]{15})", body)
    assert m, body
    rsecret, rtoken = m.group(1).decode(), m.group(2).decode()

    # not approved yet
    status, headers, body = client.call("POST", "oauth/access_token", token=rtoken, token_secret=rsecret)
    assert (status, body) == (401, b'{"error": "Token is disabled or invalid"}')
    assert headers["www-authenticate"] == 'OAuth realm="https://localhost/"'

    status, headers, page = client.request("GET", "/1/oauth/authorize?oauth_token=" + rtoken)
    assert status == 200 and headers["content-type"].startswith("text/html")
    action = re.search(rb'action="([^"]*approve=1)"', page).group(1).decode().replace("&amp;", "&")
    status, _, page = client.request("POST", action, body=b"")
    assert status == 200 and b"Return to the application" in page

    status, headers, body = client.call("POST", "oauth/access_token", token=rtoken, token_secret=rsecret)
    assert status == 200 and headers["content-type"] == "text/plain"
    m = re.fullmatch(rb"oauth_token_secret=([a-z0-9]{15})&oauth_token=([a-z0-9]{15})&uid=(\d+)", body)
    assert m and int(m.group(3)) == standin.default_uid
    secret, token = m.group(1).decode(), m.group(2).decode()

    status, _, _ = client.call("POST", *META[:2], after=META[2], token=token, token_secret=secret)
    assert status == 200
    # the request token is used up
    status, _, body = client.call("POST", "oauth/access_token", token=rtoken, token_secret=rsecret)
    assert (status, body) == (401, b'{"error": "Token is invalid."}')


def test_authorize_redirects_to_callback(standin, client):
    rt = standin.seed_request_token(callback="http://127.0.0.1:9/done")
    status, headers, _ = client.request("POST", "/1/oauth/authorize?oauth_token=%s&approve=1" % rt["token"])
    assert status == 302
    assert headers["location"] == "http://127.0.0.1:9/done?uid=%d&oauth_token=%s" % (standin.default_uid, rt["token"])
    rt2 = standin.seed_request_token(callback="http://127.0.0.1:9/done?x=1")
    status, headers, _ = client.request("POST", "/1/oauth/authorize",
                                        body=("oauth_token=%s&approve=0" % rt2["token"]).encode(),
                                        headers={"Content-Type": "application/x-www-form-urlencoded"})
    assert (status, headers["location"]) == (302, "http://127.0.0.1:9/done?x=1&not_approved=true")


def test_authorize_unknown_token_page(client):
    status, headers, page = client.request("GET", "/1/oauth/authorize?oauth_token=nosuchtoken0000")
    assert status == 404 and headers["content-type"].startswith("text/html") and b"unknown" in page


def test_approve_through_api(standin, client):
    rt = standin.seed_request_token()
    assert standin.approve(rt["token"]) is True
    assert standin.approve("unknown") is False
    status, _, body = client.call("POST", "oauth/access_token", token=rt["token"], token_secret=rt["secret"])
    assert status == 200 and body.endswith(b"&uid=12345678")


@pytest.mark.parametrize("case, oauth", [
    ("wrong consumer key", dict(key="x7w2q9x4m1v8r3t")),
    ("wrong consumer secret", dict(secret="wrongsecret0000")),
    ("wrong token secret", dict(token_secret="wrongsecret0000")),
    ("stale timestamp", dict(timestamp=int(time.time()) - 301)),
    ("future timestamp", dict(timestamp=int(time.time()) + 400)),
    ("bad timestamp", dict(timestamp="soon")),
])
def test_bad_oauth_is_403(client, case, oauth):
    status, headers, body = client.call("POST", *META[:2], after=META[2], **oauth)
    assert (status, body) == (403, b'{"error": "Invalid or missing signature"}'), case
    assert headers["content-type"] == "application/json"


def test_signature_method_must_be_plaintext(client):
    q = oauth_query().replace("PLAINTEXT", "HMAC-SHA1")
    assert client.request("POST", "/1/metadata?root=sandbox&path=%2F&" + q)[0] == 403


def test_replayed_nonce_is_403(client):
    now = int(time.time())
    first = client.call("POST", *META[:2], after=META[2], nonce="samenonce", timestamp=now)
    again = client.call("POST", *META[:2], after=META[2], nonce="samenonce", timestamp=now)
    other_stamp = client.call("POST", *META[:2], after=META[2], nonce="samenonce", timestamp=now - 1)
    assert [first[0], again[0], other_stamp[0]] == [200, 403, 200]
    assert again[2] == b'{"error": "Invalid or missing signature"}'


def test_clock_offset_moves_the_window(standin, client):
    standin.set_clock_offset(-1000)
    assert client.call("POST", *META[:2], after=META[2])[0] == 403
    assert client.call("POST", *META[:2], after=META[2], timestamp=int(time.time()) - 1000)[0] == 200


@pytest.mark.parametrize("case, oauth, message", [
    ("unknown token", dict(token="unknowntoken000"), b'{"error": "Token is invalid."}'),
    ("request token where an access token belongs", None, b'{"error": "Token is invalid."}'),
])
def test_unknown_or_wrong_kind_token_is_401(standin, client, case, oauth, message):
    if oauth is None:
        rt = standin.seed_request_token(approved=True)
        oauth = dict(token=rt["token"], token_secret=rt["secret"])
    status, headers, body = client.call("POST", *META[:2], after=META[2], **oauth)
    assert (status, body) == (401, message), case
    assert headers["www-authenticate"] == 'OAuth realm="https://localhost/"'


def test_oauth_in_header_and_form_body(client):
    params = dict(urllib.parse.parse_qsl(oauth_query(), keep_blank_values=True))
    header = "OAuth " + ", ".join('%s="%s"' % (k, urllib.parse.quote(v, safe="")) for k, v in params.items())
    status, _, _ = client.request("POST", "/1/metadata?root=sandbox&path=%2F", headers={"Authorization": header})
    assert status == 200
    form = oauth_query() + "&root=sandbox&path=%2F"
    status, _, _ = client.request("POST", "/1/metadata", body=form.encode(),
                                  headers={"Content-Type": "application/x-www-form-urlencoded"})
    assert status == 200

