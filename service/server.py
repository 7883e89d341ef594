"""HTTPS server of the stand-in: TLS per connection, keep-alive, request log, and fault application."""

import http.server
import socket
import socketserver
import ssl
import sys
import threading
import time
import traceback

from . import calls, faults, wire
from .refusal import ConnectionRefuser
from .store import ServiceError

LOGGED_BODY_BYTES = 65536
CHUNK_BYTES = 16384  # chunk size of the chunked fault
MAX_BODY_BYTES = 256 << 20  # far above the library's 256 KiB chunks; refuses runaway bodies


def _tls_context(chain, key):
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(chain, key)
    return ctx


class TlsServer(socketserver.ThreadingMixIn, http.server.HTTPServer):
    """One thread per connection; the certificate is picked when a connection is accepted."""

    daemon_threads = False
    block_on_close = True
    allow_reuse_address = True

    def __init__(self, address, service):
        self.service = service
        pki = service.pki
        self.contexts = {
            None: _tls_context(pki.chain, pki.leaf_key),
            "untrusted_cert": _tls_context(pki.untrusted_chain, pki.untrusted_key),
            "wrong_name_cert": _tls_context(pki.wrong_name_chain, pki.wrong_name_key),
        }
        self.open_sockets = set()
        self.open_lock = threading.Lock()
        self.closing = False
        super().__init__(address, Handler)
        self.refuser = ConnectionRefuser(self.socket)

    def server_bind(self):
        socketserver.TCPServer.server_bind(self)  # skip the reverse lookup of HTTPServer

    def get_request(self):
        sock, addr = self.socket.accept()
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        fault = self.service.faults.take_connection()
        ctx = self.contexts[fault.kind if fault else None]
        return ctx.wrap_socket(sock, server_side=True, do_handshake_on_connect=False), addr

    def finish_request(self, request, client_address):
        with self.open_lock:
            if self.closing:
                return
            self.open_sockets.add(request)
        try:
            request.settimeout(30)
            try:
                request.do_handshake()
            except (ssl.SSLError, OSError):
                return  # the client refused the certificate, or went away
            request.settimeout(None)
            super().finish_request(request, client_address)
        finally:
            with self.open_lock:
                self.open_sockets.discard(request)

    def handle_error(self, request, client_address):
        if not isinstance(sys.exc_info()[1], (ConnectionError, ssl.SSLError, TimeoutError)):
            traceback.print_exc()

    def server_close(self):
        self.refuser.disarm()
        super().server_close()

    def close_connections(self):
        """Cut every open connection so that their threads end (held and stalled replies let go first)."""
        self.service.faults.clear()
        with self.open_lock:
            self.closing = True
            for sock in list(self.open_sockets):
                try:
                    sock.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    timeout = 300

    def log_message(self, *args):
        pass

    def _read_body(self):
        if self.headers.get("Transfer-Encoding", "").lower() == "chunked":
            parts = []
            while True:
                size = int(self.rfile.readline(100).split(b";")[0].strip() or b"0", 16)
                total = sum(map(len, parts)) + size
                if size < 0 or total > MAX_BODY_BYTES:
                    raise ValueError("body too large")
                if size == 0:
                    while self.rfile.readline(65537) not in (b"\r\n", b"\n", b""):
                        pass
                    return b"".join(parts)
                parts.append(self.rfile.read(size))
                self.rfile.readline(3)
        length = int(self.headers.get("Content-Length") or 0)
        if length < 0 or length > MAX_BODY_BYTES:
            raise ValueError("Content-Length out of range")
        return self.rfile.read(length) if length else b""

    def _serve(self):
        service = self.server.service
        verb, target = self.command, self.path
        headers = {k.lower(): v for k, v in self.headers.items()}
        try:
            body = self._read_body()
        except (ValueError, OSError):
            self.close_connection = True
            self._send(calls.Reply(400, wire.dumps({"error": "Bad request body"}), "application/json"), None)
            return
        entry = {"verb": verb, "path": target, "headers": headers, "body_length": len(body),
                 "body": body[:LOGGED_BODY_BYTES], "status": None, "time": time.time()}
        fault = service.faults.take_request(verb, target)
        params = fault.params if fault else {}
        logged = False
        try:
            if params.get("hold"):
                fault.released.wait(float(params["hold"]))
            if params.get("delay"):
                time.sleep(float(params["delay"]))
            reply = None
            if fault is None or not faults.replaces_reply(fault.kind, params) or params.get("process"):
                reply = self._answer(service, verb, target, headers, body)
            if fault is not None:
                reply = self._bend(service, fault, reply)
            # logged before the client can see the reply, so a test reading the log never races it
            entry["status"] = reply.status if reply is not None else None
            service.log_request(entry)
            logged = True
            if params.get("arm"):
                # Armed before the reply leaves: the client's next request already meets it.
                service.faults.add(**params["arm"])
            if reply is None:  # drop
                self.close_connection = True
                self.connection.shutdown(socket.SHUT_RDWR)
                return
            self._send(reply, fault)
        finally:
            if not logged:
                service.log_request(entry)

    do_GET = do_POST = do_PUT = do_DELETE = do_HEAD = do_PATCH = do_OPTIONS = _serve

    def _answer(self, service, verb, target, headers, body):
        try:
            req = calls.Request(verb, target, headers, body)
            return service.api.answer(req)
        except ServiceError as err:
            return calls.error_reply(err)
        except Exception:  # a bug must cost one reply, never the server
            traceback.print_exc()
            return calls.Reply(500, wire.dumps({"error": "Internal Server Error"}), "application/json")

    def _bend(self, service, fault, reply):
        """Apply a request fault: a replacement reply, or None for a dropped connection."""
        p = fault.params
        if fault.kind == "drop":
            if reply is not None and not isinstance(reply.body, bytes):
                reply.body.close()
            return None
        if fault.kind == "status":
            status = int(p.get("status", 500))
            body = p.get("body")
            if body is None:
                body = wire.dumps({"error": p.get("message", "Injected failure")}) if status >= 400 else ""
            ctype = p.get("content_type") or ("application/json" if status >= 400 else "text/javascript")
            headers = p.get("headers") or []
            headers = list(headers.items()) if isinstance(headers, dict) else [tuple(h) for h in headers]
            return calls.Reply(status, body, ctype, headers)
        if fault.kind == "error_200":
            return calls.Reply(200, wire.dumps({"error": p.get("message", "Internal error")}))
        if fault.kind == "redirect":
            if reply is not None and not isinstance(reply.body, bytes):
                reply.body.close()
            status = int(p.get("status", 302))
            # "{target}" in the location stands for this request's own target (path and query), so a
            # redirect can send a call to another origin of the service as it was.
            location = p["location"].replace("{target}", self.path)
            return calls.Reply(status, "", "text/html; charset=utf-8", [("Location", location)])
        if fault.kind in faults.FRAMING and "status" in p:
            if reply is not None and not isinstance(reply.body, bytes):
                reply.body.close()
            return calls.Reply(int(p["status"]), p.get("body", ""), p.get("content_type") or "text/javascript")
        if fault.kind == "offset_back" and reply.session is not None and reply.status == 200:
            service.store.set_back(reply.session, int(p.get("bytes", 1)))
            return calls.restate_chunk(service.store, reply)
        if fault.kind == "skip_ahead" and reply.session is not None and reply.status == 200:
            service.store.skip_to(reply.session, int(p["to"]))
            return calls.restate_chunk(service.store, reply)
        if fault.kind == "refuse_next":
            # armed before the reply leaves, so the client's next connection is already refused
            self.close_connection = True
            self.server.refuser.arm(int(p.get("connections", 1)))
        return reply

    def _send(self, reply, fault):
        kind = fault.kind if fault else None
        p = fault.params if fault else {}
        reason = self.responses.get(reply.status, ("Unknown",))[0]
        status_line = p.get("line", "HTTP/1.0 200 OK") if kind == "raw_status_line" else \
            "HTTP/1.1 %d %s" % (reply.status, reason)
        headers = [("Date", wire.http_date(time.time()).replace(" +0000", " GMT"))]
        if reply.content_type:
            headers.append(("Content-Type", reply.content_type))
        headers.append(("Content-Length", str(reply.length)))
        headers += reply.headers
        if kind in ("omit_headers", "chunked", "no_length"):
            # The two framings drop the Content-Length, and may drop more (names) like omit_headers.
            gone = {h.lower() for h in p.get("names", [])} | ({"content-length"} if kind != "omit_headers" else set())
            headers = [h for h in headers if h[0].lower() not in gone]
        if kind == "big_headers":
            total, n = int(p.get("bytes", 20000)), 0
            while total > 0:
                line = min(total, 1000)
                headers.append(("X-Padding-%04d" % n, "x" * max(1, line - 20)))
                total -= line
                n += 1
        if kind == "chunked":
            headers.append(("Transfer-Encoding", "chunked"))
        if not self.server.service.keep_alive:
            self.close_connection = True
        if self.close_connection or kind in ("truncate_body", "no_length", "stall") or \
                (kind == "chunked" and "send" in p):
            headers.append(("Connection", "close"))
        head = status_line + "\r\n" + "".join("%s: %s\r\n" % h for h in headers) + "\r\n"
        out = self.wfile
        out.write(head.encode("latin-1"))
        if verb_has_no_body(self.command, reply.status):
            if not isinstance(reply.body, bytes):
                reply.body.close()
            out.flush()
            return
        if kind in ("truncate_body", "chunked", "no_length", "stall"):
            self._send_bent_body(reply.read_all(), kind, fault)
            return
        if isinstance(reply.body, bytes):
            out.write(reply.body)
        else:
            with reply.body as f:
                while True:
                    block = f.read(1 << 20)
                    if not block:
                        break
                    out.write(block)
        out.flush()


    def _send_bent_body(self, body, kind, fault):
        """The body of a reply whose framing a fault changed; the connection closes after it.

        truncate_body: `send` bytes under the full Content-Length. chunked: chunks of CHUNK_BYTES,
        ended by the zero-size chunk, or (with `send`) cut off after that many body bytes, inside a
        chunk when it falls there. no_length: the body (or its first `send` bytes) without a length,
        ended by closing. stall: `send` bytes (default half) under the full Content-Length, then
        nothing, the connection open, for `seconds` (default 300) or until release(); then the rest."""
        p = fault.params
        cut = int(p["send"]) if "send" in p else (len(body) // 2 if kind in ("truncate_body", "stall") else None)
        if cut is not None and cut < 0:
            cut = max(0, len(body) + cut)  # all but the last -send bytes
        sent = body if cut is None else body[:cut]
        out = self.wfile
        if kind == "chunked":
            for at in range(0, len(sent), CHUNK_BYTES):
                piece = sent[at:at + CHUNK_BYTES]
                whole = body[at:at + CHUNK_BYTES]
                # A cut inside a chunk announces the chunk's full size and stops short of it.
                out.write(b"%x\r\n" % len(whole) + piece + (b"\r\n" if len(piece) == len(whole) else b""))
            if cut is None:
                out.write(b"0\r\n\r\n")
        else:
            out.write(sent)
        out.flush()
        if kind == "stall":
            fault.released.wait(float(p.get("seconds", 300)))
            try:
                out.write(body[len(sent):])
                out.flush()
            except OSError:
                pass  # the client gave up on the silence and went
        self.close_connection = True
        try:
            self.connection.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass  # the client went first (it gave up on a stalled reply)


def verb_has_no_body(verb, status):
    return verb == "HEAD" or status in (204, 304) or 100 <= status < 200
