"""OAuth 1.0 PLAINTEXT checks of incoming requests: consumer, signature, token kind, timestamp, nonce replay."""

import threading
import urllib.parse

from .store import ServiceError

BAD_REQUEST = "Invalid or missing signature"

# what a call needs in oauth_token
NONE, REQUEST, ACCESS = "none", "request", "access"


def header_params(value):
    """OAuth parameters of an `Authorization: OAuth k="v", ...` header ({} for other schemes)."""
    if not value or not value[:6].lower() == "oauth ":
        return {}
    out = {}
    for item in value[6:].split(","):
        key, sep, val = item.strip().partition("=")
        if sep and key != "realm":
            out[urllib.parse.unquote(key)] = urllib.parse.unquote(val.strip().strip('"'))
    return out


class Checker:
    """Checks one request's OAuth parameters against the store; remembers nonces for replay refusal."""

    def __init__(self, store, app_key, app_secret, clock, window=300, realm="https://localhost/"):
        self.store = store
        self.app_key = app_key
        self.app_secret = app_secret
        self.clock = clock
        self.window = window
        self.realm = realm
        self._seen = {}
        self._lock = threading.Lock()

    def _invalid(self, message="Token is invalid."):
        return ServiceError(401, message, headers=[("WWW-Authenticate", 'OAuth realm="%s"' % self.realm)])

    def check(self, params, need):
        """Validate `params` (decoded) for a call needing token kind `need`.

        Returns the token record (None for NONE). Raises ServiceError 401 for token trouble and
        403 for a malformed, wrongly signed, stale or replayed request.
        """
        bad = ServiceError(403, BAD_REQUEST)
        if params.get("oauth_consumer_key") != self.app_key:
            raise bad
        if params.get("oauth_signature_method") != "PLAINTEXT":
            raise bad
        if params.get("oauth_version", "1.0") != "1.0":
            raise bad
        token = params.get("oauth_token")
        record, token_secret = None, ""
        with self.store.lock:
            if need == NONE:
                if token:
                    raise bad
            elif not token:
                raise self._invalid()
            elif need == REQUEST:
                record = self.store.request_tokens.get(token)
                if record is None:
                    raise self._invalid()
                if record["uid"] is None:
                    raise self._invalid("Token is disabled or invalid")
            else:
                record = self.store.access_tokens.get(token)
                if record is None or record["uid"] not in self.store.accounts:
                    raise self._invalid()
            if record is not None:
                token_secret = record["secret"]
        if params.get("oauth_signature") != self.app_secret + "&" + token_secret:
            raise bad
        try:
            stamp = int(params.get("oauth_timestamp", ""))
        except ValueError:
            raise bad from None
        now = self.clock()
        if abs(now - stamp) > self.window:
            raise bad
        nonce = params.get("oauth_nonce")
        if not nonce:
            raise bad
        key = (self.app_key, token or "", stamp, nonce)
        with self._lock:
            if key in self._seen:
                raise bad
            self._seen[key] = now
            if len(self._seen) > 10000:
                for k in [k for k, seen in self._seen.items() if now - seen > 2 * self.window]:
                    del self._seen[k]
        return record
