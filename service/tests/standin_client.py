"""Client side of the stand-in's tests: signs like the library and talks HTTPS trusting only the test CA."""

import http.client
import itertools
import ssl
import time
import urllib.parse


KEY, SECRET = "k7w2q9x4m1v8r3t", "s5n8d2f6h1j9l4p"
TOKEN, TOKEN_SECRET = "t0k3nt0k3nt0k3n", "s3cr3ts3cr3ts3c"
_nonces = itertools.count(1)


def enc(text):
    """Percent-encode like the library: everything but [0-9A-Za-z]."""
    return urllib.parse.quote(text.encode("utf-8"), safe="").replace("-", "%2D").replace(".", "%2E") \
        .replace("_", "%5F").replace("~", "%7E")


def oauth_query(token=TOKEN, token_secret=TOKEN_SECRET, key=KEY, secret=SECRET, nonce=None, timestamp=None):
    parts = [("oauth_consumer_key", key)]
    if token is not None:
        parts.append(("oauth_token", token))
    parts += [("oauth_nonce", nonce or "n%08d" % next(_nonces)),
              ("oauth_timestamp", str(int(time.time()) if timestamp is None else timestamp)),
              ("oauth_signature_method", "PLAINTEXT"),
              ("oauth_signature", secret + "%26" + (token_secret or "")),
              ("oauth_version", "1.0")]
    return "&".join("%s=%s" % p for p in parts)


class Client:
    """One kept-alive HTTPS connection to the stand-in, trusting only the test CA."""

    def __init__(self, standin, ca_file=None):
        self.ctx = ssl.create_default_context(cafile=ca_file or standin.ca_file)
        self.port = standin.port
        self.conn = None

    def request(self, verb, target, body=None, headers=None):
        """(status, lower-cased header dict, body bytes)."""
        if self.conn is None:
            self.conn = http.client.HTTPSConnection("localhost", self.port, context=self.ctx, timeout=10)
        self.conn.request(verb, target, body=body, headers=headers or {})
        r = self.conn.getresponse()
        data = r.read()
        out = (r.status, {k.lower(): v for k, v in r.getheaders()}, data)
        if r.will_close:
            self.close()
        return out

    def call(self, verb, call, before="", after="", body=None, **oauth):
        """A signed call in the library's layout: /1/<call>?<before>&<oauth>[&<after>]."""
        query = (before + "&" if before else "") + oauth_query(**oauth) + ("&" + after if after else "")
        return self.request(verb, "/1/%s?%s" % (call, query), body=body)

    def close(self):
        if self.conn is not None:
            self.conn.close()
            self.conn = None

