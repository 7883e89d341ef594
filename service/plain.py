"""A plain-HTTP listener on loopback: where the redirect fault sends a client, to see what reaches it."""

import http.server
import socketserver
import threading
import time

MAX_BODY_BYTES = 16 << 20


class PlainListener:
    """Answers every request with 200 "plain" over plain HTTP and logs what it received.

    Use as a context manager; `url(path)` is an address on it for a redirect's Location, and
    `requests()` what arrived: dicts of verb, path, headers (lower-cased names), body_length, time.
    """

    BODY = b"plain listener body"

    def __init__(self, host="127.0.0.1", port=0):
        self._log = []
        self._lock = threading.Lock()
        self._server = _Server((host, port), self)
        self._thread = None

    def start(self):
        self._thread = threading.Thread(target=self._server.serve_forever, args=(0.05,), name="plain-listener",
                                        daemon=True)
        self._thread.start()
        return self

    def stop(self):
        self._server.shutdown()
        self._thread.join()
        self._server.server_close()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    @property
    def port(self):
        return self._server.server_address[1]

    def url(self, path="/"):
        # A name, as the library's own addresses use: Wine ignores IP-address certificate names.
        return "http://localhost:%d%s" % (self.port, path)

    def log(self, entry):
        with self._lock:
            self._log.append(entry)

    def requests(self):
        with self._lock:
            return [dict(e) for e in self._log]


class _Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, address, listener):
        self.listener = listener
        super().__init__(address, _Handler)

    def server_bind(self):
        socketserver.TCPServer.server_bind(self)  # no reverse lookup


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    timeout = 30

    def log_message(self, *args):
        pass

    def _body_length(self):
        """Reads the request body (Content-Length or chunked) and returns its length."""
        if self.headers.get("Transfer-Encoding", "").lower() == "chunked":
            total = 0
            while True:
                size = int(self.rfile.readline(100).split(b";")[0].strip() or b"0", 16)
                if size == 0:
                    while self.rfile.readline(65537) not in (b"\r\n", b"\n", b""):
                        pass
                    return total
                total += len(self.rfile.read(min(size, MAX_BODY_BYTES)))
                self.rfile.readline(3)
        length = min(int(self.headers.get("Content-Length") or 0), MAX_BODY_BYTES)
        return len(self.rfile.read(length)) if length > 0 else 0

    def _serve(self):
        entry = {"verb": self.command, "path": self.path,
                 "headers": {k.lower(): v for k, v in self.headers.items()}, "body_length": 0, "time": time.time()}
        try:
            entry["body_length"] = self._body_length()
        finally:
            self.server.listener.log(entry)
        self.send_response(200)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(PlainListener.BODY)))
        self.end_headers()
        self.wfile.write(PlainListener.BODY)

    do_GET = do_POST = do_PUT = do_DELETE = do_HEAD = do_PATCH = do_OPTIONS = _serve
