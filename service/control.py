"""Plain-HTTP JSON control port: the StandIn methods for scripts that run the stand-in as a separate process.

Protocol: `POST /<operation>` with a JSON object of keyword arguments (empty body = none), or
`GET /<operation>` for operations without arguments. Success: 200 `{"result": ...}`; failure:
400/404 `{"error": "..."}`. Bytes travel as base64: `content_b64` in arguments, and
`{"base64": "..."}` for byte results and for the logged request bodies (`body`).
"""

import base64
import http.server
import json
import socketserver

from .store import ServiceError

OPERATIONS = ("seed_account", "seed_request_token", "seed_access_token", "seed_folder", "seed_file",
              "seed_upload_session", "set_clock_offset", "freeze_clock", "approve", "requests", "clear_requests",
              "inject", "pending_faults", "wait_taken", "release", "refused_connections", "clear_faults", "read_file",
              "metadata", "list_folder", "info")


def _plain(value):
    """JSON-ready copy of a result: bytes become {"base64": ...}."""
    if isinstance(value, (bytes, bytearray)):
        return {"base64": base64.b64encode(bytes(value)).decode("ascii")}
    if isinstance(value, dict):
        return {k: _plain(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_plain(v) for v in value]
    return value


class ControlServer(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, address, service):
        self.service = service
        super().__init__(address, ControlHandler)

    def server_bind(self):
        socketserver.TCPServer.server_bind(self)


class ControlHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def _reply(self, status, obj):
        body = json.dumps(obj).encode("utf-8")
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def _call(self):
        name = self.path.split("?", 1)[0].strip("/")
        length = int(self.headers.get("Content-Length") or 0)
        raw = self.rfile.read(length) if length else b""
        if name not in OPERATIONS:
            return self._reply(404, {"error": "unknown operation %r" % name})
        try:
            args = json.loads(raw.decode("utf-8")) if raw.strip() else {}
            if not isinstance(args, dict):
                raise ValueError("arguments must be a JSON object")
            if "content_b64" in args:
                args["content"] = base64.b64decode(args.pop("content_b64"))
            result = getattr(self.server.service, name)(**args)
        except ServiceError as err:
            return self._reply(err.status, {"error": err.message})
        except (TypeError, ValueError, KeyError) as err:
            return self._reply(400, {"error": "%s: %s" % (type(err).__name__, err)})
        return self._reply(200, {"result": _plain(result)})

    do_GET = do_POST = _call
