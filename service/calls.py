"""The service's API calls: routing of one parsed request to the store and the reply it gets."""

import html
import urllib.parse

from . import oauth, wire
from .store import ServiceError


class Reply:
    """Status, body (bytes, or an open file of `length` bytes), content type and extra headers."""

    def __init__(self, status, body=b"", content_type="text/javascript", headers=None, length=None):
        self.status = status
        self.body = body.encode("utf-8") if isinstance(body, str) else body
        self.content_type = content_type
        self.headers = list(headers or [])
        self.length = len(self.body) if length is None else length
        self.session = None  # upload session touched by a chunk, for the offset_back fault

    def read_all(self):
        if isinstance(self.body, bytes):
            return self.body
        data = self.body.read()
        self.body.close()
        self.body = data
        return data


def json_reply(obj, status=200):
    return Reply(status, wire.dumps(obj))


def error_reply(err):
    return Reply(err.status, err.body(), "application/json", err.headers)


class Request:
    """One parsed request: verb, raw target, decoded path, query and form values, headers, body."""

    def __init__(self, verb, target, headers, body):
        self.verb = verb
        self.target = target
        raw_path, _, raw_query = target.partition("?")
        self.raw_path = raw_path
        try:
            self.path = urllib.parse.unquote(raw_path, errors="strict")
        except UnicodeDecodeError:
            raise ServiceError(400, "Path is not valid UTF-8") from None
        self.headers = headers
        self.body = body
        self.query = parse_form(raw_query)
        self.form = {}
        if headers.get("content-type", "").startswith("application/x-www-form-urlencoded"):
            try:
                self.form = parse_form(body.decode("ascii"))
            except (UnicodeDecodeError, ServiceError):
                self.form = {}

    def param(self, name, default=None):
        if name in self.query:
            return self.query[name]
        return self.form.get(name, default)

    def oauth_params(self):
        params = oauth.header_params(self.headers.get("authorization"))
        params.update({k: v for k, v in self.form.items() if k.startswith("oauth_")})
        params.update({k: v for k, v in self.query.items() if k.startswith("oauth_")})
        return params


def parse_form(text):
    """Decode `a=b&c=d` once ('+' is a space); the first of repeated names wins. Bad UTF-8 gives 400."""
    out = {}
    for part in text.split("&"):
        if not part:
            continue
        key, _, value = part.partition("=")
        try:
            key = urllib.parse.unquote_to_bytes(key.replace("+", " ")).decode("utf-8")
            value = urllib.parse.unquote_to_bytes(value.replace("+", " ")).decode("utf-8")
        except UnicodeDecodeError:
            raise ServiceError(400, "Parameter is not valid UTF-8") from None
        out.setdefault(key, value)
    return out


def _flag(req, name, default):
    value = req.param(name)
    if value is None or value == "":
        return default
    if value.lower() in ("true", "1", "yes"):
        return True
    if value.lower() in ("false", "0", "no"):
        return False
    raise ServiceError(400, "Invalid value for %s: '%s'" % (name, value))


def _int(req, name, default=None):
    value = req.param(name)
    if value is None or value == "":
        return default
    try:
        n = int(value)
    except ValueError:
        raise ServiceError(400, "Invalid value for %s: '%s'" % (name, value)) from None
    if n < 0:
        raise ServiceError(400, "Invalid value for %s: '%s'" % (name, value))
    return n


def _check_root(root):
    if root is None:
        raise ServiceError(400, "Missing parameter: root")
    if root not in ("sandbox", "app_folder"):
        raise ServiceError(400, "Invalid root: '%s'" % root)


def _target(req, prefix):
    """Path of a call either as `<prefix>/<root>/<path>` in the URL or as `root=`/`path=` in the query."""
    if req.path == prefix:
        _check_root(req.param("root"))
        path = req.param("path")
        if path is None:
            raise ServiceError(400, "Missing parameter: path")
        return path
    root, _, path = req.path[len(prefix) + 1:].partition("/")
    _check_root(root)
    return "/" + path


def _page(status, title, text, extra=""):
    body = ("<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>%s</title></head>"
            "<body><h1>%s</h1><p>%s</p>%s</body></html>\n") % (title, title, text, extra)
    return Reply(status, body, "text/html; charset=utf-8")


class Api:
    """Answers the calls of one stand-in; `service` supplies store, checker, settings and default uid."""

    def __init__(self, service):
        self.service = service
        self.store = service.store
        self.routes = [
            ("/1/oauth/request_token", False, ("POST", "GET"), self.request_token),
            ("/1/oauth/access_token", False, ("POST", "GET"), self.access_token),
            ("/1/oauth/authorize", False, ("GET", "POST"), self.authorize),
            ("/1/fileops/create_folder", False, ("POST",), self.create_folder),
            ("/1/fileops/delete", False, ("POST",), self.delete),
            ("/1/metadata", True, ("GET", "POST"), self.metadata),
            ("/1/files", True, ("GET",), self.files),
            ("/1/chunked_upload", False, ("PUT", "POST"), self.chunked_upload),
            ("/1/commit_chunked_upload", True, ("POST",), self.commit),
        ]

    def answer(self, req):
        """The Reply to `req`; ServiceErrors become error replies."""
        try:
            for prefix, nested, verbs, call in self.routes:
                if req.path == prefix or (nested and req.path.startswith(prefix + "/")):
                    if req.verb not in verbs:
                        return Reply(405, wire.dumps({"error": "Method Not Allowed"}), "application/json",
                                     [("Allow", ", ".join(verbs))])
                    return call(req)
            raise ServiceError(404, "Not Found")
        except ServiceError as err:
            return error_reply(err)

    def _uid(self, req):
        return self.service.checker.check(req.oauth_params(), oauth.ACCESS)["uid"]

    def request_token(self, req):
        self.service.checker.check(req.oauth_params(), oauth.NONE)
        token, secret = self.store.add_request_token(callback=req.param("oauth_callback"))
        return Reply(200, "oauth_token_secret=%s&oauth_token=%s" % (secret, token), "text/plain")

    def access_token(self, req):
        params = req.oauth_params()
        self.service.checker.check(params, oauth.REQUEST)
        try:
            token, secret, uid = self.store.exchange(params["oauth_token"])
        except KeyError:  # used up by a concurrent exchange
            raise self.service.checker._invalid() from None
        return Reply(200, "oauth_token_secret=%s&oauth_token=%s&uid=%d" % (secret, token, uid), "text/plain")

    def authorize(self, req):
        token = req.param("oauth_token") or ""
        with self.store.lock:
            record = self.store.request_tokens.get(token)
            callback = req.param("oauth_callback") or (record or {}).get("callback")
        if record is None:
            return _page(404, "Unknown request", "This authorization request is unknown or has expired.")
        if req.verb == "GET" or req.param("approve") is None:
            query = urllib.parse.urlencode({"oauth_token": token})
            form = ('<form method="post" action="/1/oauth/authorize?%s&amp;approve=1">'
                    '<button type="submit" id="approve">Allow</button></form>'
                    '<form method="post" action="/1/oauth/authorize?%s&amp;approve=0">'
                    '<button type="submit" id="deny">Deny</button></form>') % (html.escape(query), html.escape(query))
            return _page(200, "Authorize application", "The application asks for access to its folder.", form)
        approved = req.param("approve") in ("1", "true")
        uid = self.service.default_uid
        if approved:
            uid = _int(req, "uid", uid)
            if self.store.approve(token, uid) is None:
                return _page(404, "Unknown request", "This authorization request is unknown or has expired.")
        if callback:
            sep = "&" if "?" in callback else "?"
            extra = ("uid=%d&oauth_token=%s" % (uid, urllib.parse.quote(token))) if approved else "not_approved=true"
            return Reply(302, "", "text/html; charset=utf-8", [("Location", callback + sep + extra)])
        if approved:
            return _page(200, "Success", "The application is now linked. Return to the application to finish.")
        return _page(200, "Not linked", "You did not allow the application. You may close this page.")

    def create_folder(self, req):
        uid = self._uid(req)
        _check_root(req.param("root"))
        path = req.param("path")
        if path is None:
            raise ServiceError(400, "Missing parameter: path")
        return json_reply(self.store.create_folder(uid, path, self.service.messages["exists"]))

    def delete(self, req):
        uid = self._uid(req)
        _check_root(req.param("root"))
        path = req.param("path")
        if path is None:
            raise ServiceError(400, "Missing parameter: path")
        return json_reply(self.store.delete(uid, path))

    def metadata(self, req):
        uid = self._uid(req)
        path = _target(req, "/1/metadata")
        limit = min(_int(req, "file_limit", 10000), 25000)
        result = self.store.metadata(uid, path, _flag(req, "list", True), _flag(req, "include_deleted", False),
                                     limit, req.param("hash"), self.service.messages["too_many"])
        if result is None:
            return Reply(304, b"", None)
        return json_reply(result)

    def files(self, req):
        uid = self._uid(req)
        meta, f = self.store.open_file(uid, _target(req, "/1/files"))
        return Reply(200, f, meta["mime_type"], [("x-dropbox-metadata", wire.dumps(meta))], length=meta["bytes"])

    def chunked_upload(self, req):
        uid = self._uid(req)
        upload_id = req.param("upload_id") or None
        with self.store.lock:
            session = self.store.open_session(uid, upload_id, _int(req, "offset"))
            with open(session.file, "ab") as f:
                f.write(req.body)
            session.offset += len(req.body)
            reply = json_reply(self.store.chunk_state(session))
        reply.session = session
        return reply

    def commit(self, req):
        uid = self._uid(req)
        path = _target(req, "/1/commit_chunked_upload")
        meta = self.store.commit(uid, path, req.param("upload_id"), overwrite=_flag(req, "overwrite", True),
                                 parent_rev=req.param("parent_rev") or None,
                                 autorename=_flag(req, "autorename", True),
                                 conflict_message=self.service.messages["conflict"])
        return json_reply(meta)


def restate_chunk(store, reply):
    """Rebuild a chunk reply after its session changed (offset_back)."""
    with store.lock:
        return json_reply(store.chunk_state(reply.session))

