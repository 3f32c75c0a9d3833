"""The proxy: plain HTTP in absolute form, CONNECT tunnels with TLS terminated
here, direct requests for the control API. Nothing leaves this machine."""

import base64
import json
import os
import select
import socket
import ssl
import sys
import threading
import time

from . import control, dropbox, google
from .http import (BadRequest, Conn, ConnectionDropped, NullHasher, Request, Response,
                   RECORD_BODY_LIMIT, parse_head, redirect, text_response)
from .state import State

HERE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CERTS = os.path.join(HERE, "certs")
CONTROL_HOST = "fakecloud.control"

SERVICES = {}
for _mod in (dropbox, google):
    for _h in _mod.HOSTS:
        SERVICES[_h] = _mod

REFUSED = {
    "expired": "refused-expired.pem",
    "wrong_host": "refused-wrong-host.pem",
    "untrusted": "refused-untrusted.pem",
    "self_signed": "refused-self-signed.pem",
    "unknown_root": "refused-unknown-root.pem",
}

# Faults whose answer never ends: the connection is kept open, silent, until
# the client closes it or the stand-in stops.
HOLD_KINDS = ("bad_length", "stall", "endless")
PAD_BLOCK = b"x" * 65536


class Server:
    def __init__(self, port=0, auto=False, verbose=False, rules="classic"):
        self.state = State(auto=auto, rules=rules)
        self.verbose = verbose
        self.stopping = threading.Event()
        self.contexts = {}
        self.ctx_lock = threading.Lock()
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", port))
        self.listener.listen(128)
        self.port = self.listener.getsockname()[1]

    # ----------------------------------------------------------------- TLS
    def context_for(self, host):
        tls = self.state.tls
        name = host + ".pem"
        if tls["mode"] != "normal" and (not tls["hosts"] or host in tls["hosts"]):
            name = REFUSED[tls["mode"]]
        with self.ctx_lock:
            ctx = self.contexts.get(name)
            if ctx is None:
                ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
                ctx.load_cert_chain(os.path.join(CERTS, name), os.path.join(CERTS, "server-key.pem"))
                ctx.set_alpn_protocols(["http/1.1"])
                self.contexts[name] = ctx
            return ctx, name

    # ------------------------------------------------------------- serving
    def serve_forever(self):
        self.listener.settimeout(0.2)
        try:
            while not self.stopping.is_set():
                try:
                    sock, _ = self.listener.accept()
                except socket.timeout:
                    continue
                except OSError:
                    if self.stopping.is_set():
                        break
                    raise
                sock.settimeout(None)
                sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
                t = threading.Thread(target=self.client, args=(sock,), daemon=True)
                t.start()
        finally:
            self.listener.close()

    def stop(self):
        """Safe from a signal handler: the serving loop notices within 0.2 s."""
        self.stopping.set()

    def log(self, text):
        if self.verbose:
            sys.stderr.write(text + "\n")
            sys.stderr.flush()

    def client(self, sock):
        conn = Conn(sock)
        try:
            self.requests(conn, "http", None, None)
        finally:
            conn.close()

    def requests(self, conn, scheme, tunnel_host, tunnel_port):
        while not conn.closed:
            try:
                head = conn.read_head()
            except BadRequest as e:
                conn.sendall(text_response(str(e), 400).head_bytes(False) + str(e).encode())
                return
            except ConnectionDropped:
                return
            if head is None:
                return
            try:
                method, target, version, headers = parse_head(head)
            except BadRequest as e:
                try:
                    body = str(e).encode()
                    conn.sendall(text_response(str(e), 400).head_bytes(False) + body)
                except ConnectionDropped:
                    pass
                return
            if method == "CONNECT" and scheme == "http":
                self.connect(conn, target, version, headers)
                return
            if scheme == "https":
                host, port = tunnel_host, tunnel_port
                mode = "service"
            elif target.startswith("http://"):
                hostport = target[7:].split("/", 1)[0]
                host, _, p = hostport.partition(":")
                port = int(p) if p.isdigit() else 80
                mode = "control" if host.lower() == CONTROL_HOST else "plain"
            elif target.startswith("/"):
                host, port, mode = CONTROL_HOST, None, "control"
            else:
                try:
                    conn.sendall(text_response("bad request target", 400).head_bytes(False) + b"bad request target")
                except ConnectionDropped:
                    pass
                return
            try:
                req = Request(conn, method, target, version, headers, scheme, host, port)
            except BadRequest as e:
                try:
                    conn.sendall(text_response(str(e), 400).head_bytes(False) + str(e).encode())
                except ConnectionDropped:
                    pass
                return
            if mode == "service" and self.state.sink:
                req.hasher = NullHasher()  # sink mode: the body is read, not hashed
            if not self.one(conn, req, mode):
                return

    def one(self, conn, req, mode):
        """Handles one request; False when the connection must end."""
        entry = None
        if mode != "control":
            entry = self.state.add_record({
                "time": time.time(), "method": req.method, "url": req.url, "host": req.host,
                "path": req.path, "query": req.query, "tunnel": req.scheme == "https",
                "headers": [[k, v] for k, v in req.headers.items], "complete": False,
            })
        keep_alive = (req.hdr("Connection") or "").lower() != "close" and req.version == "HTTP/1.1"
        resp = None
        dropped = False
        fault = None
        try:
            if mode == "control":
                resp = control.handle(self, req)
            elif mode == "plain":
                resp = self.plain(req)
            else:
                svc = SERVICES.get(req.host)
                if svc is None:
                    resp = text_response("fakecloud: %s is not emulated\n" % req.host, 502)
                else:
                    fault = self.state.take_fault(req.host, req.path, req.method)
                    resp = self.apply_fault(req, svc, fault) if fault else None
                    if resp is None:
                        resp = svc.handle(self, req)
                    if fault and fault["kind"] == "delay" and fault.get("when") == "after":
                        self.stopping.wait(float(fault.get("seconds", 60)))
            if getattr(req, "drop_now", False):
                raise ConnectionDropped("dropped on purpose")
            if not req.body_done:
                if keep_alive:
                    req.drain()
            if fault and fault["kind"] == "drop" and fault.get("where", "auto") in ("response", "auto"):
                length = resp.length if resp.stream is not None else len(resp.body)
                resp.drop_after = int(fault.get("after", length // 2))
            if fault and fault["kind"] == "pause" and fault.get("where") == "response":
                length = resp.length if resp.stream is not None else len(resp.body)
                resp.pause_after = int(fault.get("after", (length or 2) // 2))
                resp.pause_for, resp.pause_wait = float(fault.get("seconds", 3)), self.stopping.wait
            if fault and fault["kind"] == "bad_length":
                length = resp.length if resp.stream is not None else len(resp.body)
                resp.headers.set("Content-Length", str(length + int(fault.get("extra", 1000))))
            if entry is not None:  # recorded before the client can read the answer
                self.finish_entry(entry, req, resp, resp.drop_after is not None, fault)
            if fault and fault["kind"] in HOLD_KINDS:
                self.write_and_hold(conn, resp, fault, keep_alive, entry)
                keep_alive = False
            else:
                resp.write(conn, keep_alive)
        except ConnectionDropped:
            dropped = True
            if entry is not None:  # recorded before the client can see the connection end
                if entry["complete"]:
                    entry["dropped"] = True
                else:
                    self.finish_entry(entry, req, resp, dropped, fault)
            conn.drop()
        except BadRequest as e:
            resp = text_response(str(e), 400)
            try:
                resp.write(conn, False)
            except ConnectionDropped:
                pass
            keep_alive = False
        except Exception as e:  # a fault in the stand-in itself: answer 500, keep going
            import traceback
            traceback.print_exc()
            resp = text_response("fakecloud internal error: %r\n" % (e,), 500)
            try:
                resp.write(conn, False)
            except ConnectionDropped:
                pass
            keep_alive = False
        finally:
            if entry is not None and not entry["complete"]:
                self.finish_entry(entry, req, resp, dropped, fault)
        self.log("%s %s -> %s" % (req.method, req.url, "dropped" if dropped else (resp.status if resp else "?")))
        return keep_alive and not dropped

    def finish_entry(self, entry, req, resp, dropped, fault):
        body = bytes(req.small_body)
        with self.state.lock:
            entry["body_size"] = req.body_read
            entry["body_complete"] = req.body_done
            entry["body_sha256"] = req.hasher.hexdigest()
            if req.body_read <= RECORD_BODY_LIMIT:
                try:
                    entry["body"] = body.decode("utf-8")
                except UnicodeDecodeError:
                    entry["body_base64"] = base64.b64encode(body).decode()
            entry["status"] = None if (dropped and resp is None) else (resp.status if resp else None)
            entry["dropped"] = dropped
            if fault:
                entry["fault"] = fault["kind"]
            if resp is not None:
                entry["response_headers"] = [[k, v] for k, v in resp.headers.items]
                if resp.stream is None and len(resp.body) <= RECORD_BODY_LIMIT:
                    try:
                        entry["response_body"] = resp.body.decode("utf-8")
                    except UnicodeDecodeError:
                        pass
            entry["complete"] = True

    def write_and_hold(self, conn, resp, fault, keep_alive, entry):
        """bad_length, stall, endless: an answer that never ends. Returns when
        the client has closed the connection or the stand-in is stopping; the
        record entry then gets `held` (seconds)."""
        t0 = time.monotonic()
        try:
            kind = fault["kind"]
            if kind == "stall":
                length = resp.length if resp.stream is not None else len(resp.body)
                resp.write(conn, keep_alive, limit=int(fault.get("after", length // 2)))
            else:  # bad_length: the whole body; endless: ends only by an exception
                resp.write(conn, keep_alive)
            self.hold(conn)
        except ConnectionDropped:
            pass
        if entry is not None:
            with self.state.lock:
                entry["held"] = round(time.monotonic() - t0, 3)

    def hold(self, conn):
        """Sends nothing more and waits (without spinning) until the client
        closes the connection or the stand-in stops. Whatever the client sends
        meanwhile is read and ignored."""
        sock = conn.sock
        poller = select.poll()
        poller.register(sock.fileno(), select.POLLIN | select.POLLPRI)
        sock.settimeout(0.5)
        while not self.stopping.is_set():
            pending = sock.pending() if isinstance(sock, ssl.SSLSocket) else 0
            if not pending and not poller.poll(250):
                continue
            try:
                data = sock.recv(65536)
            except socket.timeout:  # part of a TLS record: wait for the rest
                continue
            except (ssl.SSLError, OSError):
                return
            if not data:
                return

    def endless_body(self):
        """`{"pad": "xxxx…` for ever, from one fixed block."""
        yield b'{"pad": "'
        while not self.stopping.is_set():
            yield PAD_BLOCK
        raise ConnectionDropped("the stand-in is stopping")

    def apply_fault(self, req, svc, fault):
        kind = fault["kind"]
        if kind in ("bad_length", "stall"):
            return None  # answered normally, sent short (see write_and_hold)
        if kind == "endless":
            return Response(int(fault.get("status", 200)), stream=self.endless_body(), length=None,
                            content_type="application/json")
        if kind == "pause" and fault.get("where") == "response":
            return None  # answered normally, sent with a pause (see one)
        if kind == "pause":
            # Answered normally; the body stops being read for a while on its way.
            after = fault.get("after")
            if after is None:
                after = (req.body_length or 2) // 2
            req.pause_at = int(after)
            req.pause_for = float(fault.get("seconds", 3))
            req.pause_wait = self.stopping.wait
            return None
        if kind == "delay":
            if fault.get("when", "before") == "before":
                self.stopping.wait(float(fault.get("seconds", 60)))
            return None
        if kind == "drop":
            where = fault.get("where", "auto")
            if where == "request" or (where == "auto" and (req.body_length is None or req.body_length > 0)):
                after = fault.get("after")
                if after is None:
                    after = (req.body_length or 2) // 2
                req.body_limit = int(after)
                req.drop_now = True
                fault["where"] = "request"
                return svc.handle(self, req)
            return None
        if kind == "status":
            status = int(fault.get("status", 500))
            if "body" in fault:
                body = fault["body"]
                if not isinstance(body, (str, bytes)):
                    body = json.dumps(body)
                resp = Response(status, body, content_type=fault.get("content_type", "application/json"))
            else:
                resp = svc.error_for_status(req, status)
            for k, v in (fault.get("headers") or {}).items():
                resp.headers.set(k, v)
            return resp
        return svc.fault_response(self, req, kind, fault)

    def plain(self, req):
        if req.host in SERVICES:
            return redirect("https://" + req.host + req.path_qs, 301)
        extra = self.state.extra_hosts.get(req.host)
        if extra is not None:
            return Response(extra["status"], extra.get("body", ""),
                            content_type=extra.get("content_type", "text/plain"))
        return text_response("fakecloud: %s is not emulated\n" % req.host, 502)

    # ------------------------------------------------------------- CONNECT
    def connect(self, conn, target, version, headers):
        host, _, port = target.rpartition(":")
        host = host.strip("[]").lower()
        port = int(port) if port.isdigit() else 443
        entry = self.state.add_record({
            "time": time.time(), "method": "CONNECT", "url": target, "host": host, "path": "",
            "query": "", "tunnel": False, "headers": [[k, v] for k, v in headers.items],
            "body_size": 0, "complete": False})
        if host not in SERVICES:
            entry["status"] = 502
            entry["complete"] = True
            msg = b"fakecloud: only the emulated service hosts are reachable\n"
            try:
                conn.sendall(b"HTTP/1.1 502 Bad Gateway\r\nContent-Type: text/plain\r\nContent-Length: %d\r\nConnection: close\r\n\r\n%s" % (len(msg), msg))
            except ConnectionDropped:
                pass
            self.log("CONNECT %s -> 502" % target)
            return
        entry["status"] = 200
        try:
            conn.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n")
        except ConnectionDropped:
            entry["complete"] = True
            return
        ctx, certname = self.context_for(host)
        entry["certificate"] = certname
        if conn.buf:
            # TLS data sent before the tunnel was answered: not what clients do.
            entry["tls"] = "client sent data before the tunnel was established"
            entry["complete"] = True
            return
        try:
            tls = ctx.wrap_socket(conn.sock, server_side=True)
        except (ssl.SSLError, OSError) as e:
            entry["tls"] = "handshake failed: %s" % (getattr(e, "reason", None) or e)
            entry["complete"] = True
            self.log("CONNECT %s -> TLS refused (%s)" % (target, entry["tls"]))
            return
        entry["tls"] = "ok"
        entry["complete"] = True
        self.log("CONNECT %s -> tunnel (%s)" % (target, certname))
        tconn = Conn(tls)
        try:
            self.requests(tconn, "https", host, port)
        finally:
            tconn.close()
            conn.closed = True
