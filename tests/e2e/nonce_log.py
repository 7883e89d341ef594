"""The OAuth nonces of the requests the stand-in logged, for checks that no nonce comes twice."""

import urllib.parse


def nonce_keys(entries):
    """(timestamp, nonce) of every logged request that carries a nonce (in its query or its
    form body), with the request (verb, the target's first 60 characters, status), in order."""
    keys = []
    for entry in entries:
        params = dict(urllib.parse.parse_qs(entry["path"].partition("?")[2]))
        body = entry.get("body") or b""
        if entry["verb"] == "POST" and b"oauth_nonce=" in body:
            params.update(urllib.parse.parse_qs(body.decode("latin-1")))
        if "oauth_nonce" in params:
            key = (params.get("oauth_timestamp", [""])[0], params["oauth_nonce"][0])
            keys.append((key, (entry["verb"], entry["path"][:60], entry["status"])))
    return keys


def repeated(keys):
    """The keys that come more than once, each with its requests. A request that follows a
    redirect (3xx) of the same key is the service's own asking again, with its own target,
    and does not count."""
    seen = {}
    for key, request in keys:
        requests = seen.setdefault(key, [])
        redirected = bool(requests) and requests[-1][2] is not None and 300 <= requests[-1][2] < 400
        requests.append(request if not redirected else None)
    repeats = {}
    for key, requests in seen.items():
        counted = [r for r in requests if r is not None]
        if len(requests) > 1 and len(counted) > 1:
            repeats[key] = requests
    return repeats
