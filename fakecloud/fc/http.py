"""HTTP/1.1 on one client connection: request heads, streamed bodies, responses."""

import hashlib
import json
import queue
import socket
import ssl
import threading
import weakref
from urllib.parse import parse_qsl, urlsplit

READ_BLOCK = 1 << 20          # body data is handed on in blocks of up to 1 MiB
HEAD_LIMIT = 64 * 1024        # a request head larger than this is refused
RECORD_BODY_LIMIT = 64 * 1024  # bodies up to this size are kept in the record
BACKGROUND_HASH_FROM = 2 << 20  # larger bodies are hashed on a helper thread

REASONS = {
    100: "Continue", 200: "OK", 201: "Created", 204: "No Content", 206: "Partial Content",
    301: "Moved Permanently", 302: "Found", 303: "See Other", 304: "Not Modified",
    308: "Resume Incomplete", 400: "Bad Request", 401: "Unauthorized",
    403: "Forbidden", 404: "Not Found", 405: "Method Not Allowed", 409: "Conflict", 410: "Gone",
    411: "Length Required", 413: "Payload Too Large", 416: "Range Not Satisfiable", 429: "Too Many Requests",
    500: "Internal Server Error", 502: "Bad Gateway", 503: "Service Unavailable",
    504: "Gateway Timeout", 507: "Insufficient Storage",
}


class BackgroundHasher:
    """A digest (SHA-256 unless another hash is given, in its state so far)
    of a large body, computed on a helper thread while the connection's
    thread reads and handles the body (hashlib lets go of the interpreter
    lock while it hashes, so the two run side by side)."""

    def __init__(self, h=None):
        self.h = h or hashlib.sha256()
        self.q = queue.Queue(maxsize=8)
        self.t = threading.Thread(target=self._run, args=(self.q, self.h), daemon=True)
        self.t.start()
        self.done = False
        weakref.finalize(self, self.q.put, None).atexit = False  # a hasher dropped unfinished ends its thread

    @staticmethod
    def _run(q, h):
        while True:
            data = q.get()
            if data is None:
                return
            h.update(data)

    def update(self, view):
        self.q.put(bytes(view))

    def _finish(self):
        if not self.done:
            self.done = True
            self.q.put(None)
            self.t.join()

    def copy(self):
        self._finish()
        return self.h.copy()

    def hexdigest(self):
        self._finish()
        return self.h.hexdigest()


class NullHasher:
    """Sink mode (POST /sink): takes the bytes of a body and computes
    nothing, so that the stand-in spends its CPU on TLS and sockets only.
    Its digest is None (unknown)."""

    def update(self, view):
        pass

    def copy(self):
        return self

    def hexdigest(self):
        return None


class ConnectionDropped(Exception):
    """The peer went away, or we are dropping the connection on purpose."""


class BadRequest(Exception):
    pass


class Conn:
    """A socket (plain or TLS) with a small read-ahead buffer."""

    def __init__(self, sock):
        self.sock = sock
        self.buf = bytearray()
        self.closed = False

    def recv_some(self, n=65536):
        try:
            data = self.sock.recv(n)
        except (ssl.SSLError, OSError) as e:
            raise ConnectionDropped(str(e))
        if not data:
            raise ConnectionDropped("peer closed")
        return data

    def read_head(self):
        """Returns the head (bytes, without the blank line) or None at a clean end."""
        while True:
            i = self.buf.find(b"\r\n\r\n")
            if i >= 0:
                head = bytes(self.buf[:i])
                del self.buf[:i + 4]
                return head
            if len(self.buf) > HEAD_LIMIT:
                raise BadRequest("request head too large")
            try:
                data = self.sock.recv(65536)
            except (ssl.SSLError, OSError):
                data = b""
            if not data:
                if self.buf.strip():
                    raise ConnectionDropped("peer closed inside a request head")
                return None
            self.buf += data

    def read_line(self):
        while True:
            i = self.buf.find(b"\r\n")
            if i >= 0:
                line = bytes(self.buf[:i])
                del self.buf[:i + 2]
                return line
            if len(self.buf) > HEAD_LIMIT:
                raise BadRequest("line too long")
            self.buf += self.recv_some()

    def read_exact_into(self, view):
        """Fills the memoryview completely."""
        n = len(view)
        got = 0
        if self.buf:
            take = min(n, len(self.buf))
            view[:take] = self.buf[:take]
            del self.buf[:take]
            got = take
        sock = self.sock
        while got < n:
            try:
                r = sock.recv_into(view[got:], n - got)
            except (ssl.SSLError, OSError) as e:
                raise ConnectionDropped(str(e))
            if not r:
                raise ConnectionDropped("peer closed inside a body")
            got += r

    def sendall(self, data):
        try:
            self.sock.sendall(data)
        except (ssl.SSLError, OSError) as e:
            raise ConnectionDropped(str(e))

    def drop(self):
        """Ends the connection abruptly (no TLS close_notify; RST when data is unread)."""
        self.closed = True
        try:
            raw = self.sock
            if isinstance(raw, ssl.SSLSocket):
                fd = raw.detach()
                raw = socket.socket(fileno=fd)
            raw.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
            raw.close()
        except OSError:
            pass

    def close(self):
        if self.closed:
            return
        self.closed = True
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        try:
            self.sock.close()
        except OSError:
            pass


class Headers:
    """Request or response headers: ordered, duplicates kept, looked up without case."""

    def __init__(self, items=None):
        self.items = list(items or [])

    def get(self, name, default=None):
        lname = name.lower()
        for k, v in self.items:
            if k.lower() == lname:
                return v
        return default

    def get_all(self, name):
        lname = name.lower()
        return [v for k, v in self.items if k.lower() == lname]

    def add(self, name, value):
        self.items.append((name, str(value)))

    def set(self, name, value):
        lname = name.lower()
        self.items = [(k, v) for k, v in self.items if k.lower() != lname]
        self.items.append((name, str(value)))

    def __contains__(self, name):
        return self.get(name) is not None


class Request:
    def __init__(self, conn, method, target, version, headers, scheme, host, port):
        self.conn = conn
        self.method = method
        self.target = target
        self.version = version
        self.headers = headers
        self.scheme = scheme
        self.host = host.lower()
        self.port = port
        if target.startswith("http://") or target.startswith("https://"):
            parts = urlsplit(target)
            path_q = parts.path or "/"
            if parts.query:
                path_q += "?" + parts.query
        else:
            path_q = target
        self.path_qs = path_q
        p, _, q = path_q.partition("?")
        self.path = p or "/"
        self.query = q
        self.params = {}
        for k, v in parse_qsl(q, keep_blank_values=True):
            self.params.setdefault(k, v)
        default_port = 443 if scheme == "https" else 80
        hostpart = self.host if port in (None, default_port) else "%s:%d" % (self.host, port)
        self.url = "%s://%s%s" % (scheme, hostpart, self.path_qs)
        te = (headers.get("Transfer-Encoding") or "").lower()
        self.chunked = "chunked" in te
        cl = headers.get("Content-Length")
        if self.chunked:
            self.body_length = None
        elif cl is not None:
            try:
                self.body_length = int(cl.strip())
                if self.body_length < 0:
                    raise ValueError
            except ValueError:
                raise BadRequest("bad Content-Length")
        else:
            self.body_length = 0
        self.body_read = 0
        self.body_limit = None    # set by a fault that drops the connection inside the body
        self.pause_at = None      # set by a pause fault: body bytes read before the pause
        self.pause_for = 0.0      # seconds of the pause
        self.pause_wait = None    # waits that long (returns early when the stand-in stops)
        self.body_done = self.body_length == 0
        self.hasher = hashlib.sha256()
        self.small_body = bytearray()
        self.sent_continue = False
        self.record = None
        self.cookies = {}
        for line in headers.get_all("Cookie"):
            for part in line.split(";"):
                k, eq, v = part.strip().partition("=")
                if eq:
                    self.cookies.setdefault(k, v)

    def hdr(self, name, default=None):
        return self.headers.get(name, default)

    def _continue(self):
        if not self.sent_continue and (self.hdr("Expect") or "").lower() == "100-continue":
            self.sent_continue = True
            self.conn.sendall(b"HTTP/1.1 100 Continue\r\n\r\n")

    def _note(self, view):
        self.hasher.update(view)
        if len(self.small_body) <= RECORD_BODY_LIMIT:
            self.small_body += view[:RECORD_BODY_LIMIT + 1 - len(self.small_body)]
        self.body_read += len(view)

    def iter_body(self, limit=None):
        """Yields the body in blocks (memoryviews valid until the next block).

        With `limit`, stops after that many bytes of the body (used to drop a
        connection in the middle of a body)."""
        if self.body_done:
            return
        if limit is None:
            limit = self.body_limit
        if self.body_read == 0 and (self.body_length is None or self.body_length > BACKGROUND_HASH_FROM) \
                and not isinstance(self.hasher, (BackgroundHasher, NullHasher)):
            self.hasher = BackgroundHasher()
        self._continue()
        if self.chunked:
            yield from self._iter_chunked(limit)
            return
        block = bytearray(min(READ_BLOCK, max(self.body_length, 1)))
        mv = memoryview(block)
        while self.body_read < self.body_length:
            n = self._room(min(len(block), self.body_length - self.body_read), limit)
            if n <= 0:
                return
            view = mv[:n]
            self.conn.read_exact_into(view)
            self._note(view)
            yield view
        self.body_done = True

    def _room(self, n, limit):
        """How many of the next n body bytes to read now: none past `limit`;
        at a pause fault's point, first a wait without reading, so that the
        client is held back by TCP alone (full socket buffers)."""
        if self.pause_at is not None:
            if self.body_read >= self.pause_at:
                self.pause_at = None
                self.pause_wait(self.pause_for)
            else:
                n = min(n, self.pause_at - self.body_read)
        if limit is not None:
            n = min(n, limit - self.body_read)
        return n

    def _iter_chunked(self, limit):
        while True:
            line = self.conn.read_line()
            size_text = line.split(b";")[0].strip()
            try:
                size = int(size_text, 16)
            except ValueError:
                raise BadRequest("bad chunk size")
            if size == 0:
                while self.conn.read_line():
                    pass
                self.body_done = True
                return
            left = size
            while left:
                n = self._room(min(left, READ_BLOCK), limit)
                if n <= 0:
                    return
                view = memoryview(bytearray(n))
                self.conn.read_exact_into(view)
                self._note(view)
                left -= n
                yield view
            self.conn.read_line()

    def read_body(self, limit=16 << 20):
        out = bytearray()
        for view in self.iter_body():
            out += view
            if len(out) > limit:
                raise BadRequest("body too large")
        return bytes(out)

    def drain(self):
        for _ in self.iter_body():
            pass

    def form(self):
        return dict(parse_qsl(self.read_body().decode("utf-8", "replace"), keep_blank_values=True))


class Response:
    def __init__(self, status=200, body=b"", headers=None, content_type=None,
                 stream=None, length=None):
        self.status = status
        self.headers = Headers(headers)
        if isinstance(body, str):
            body = body.encode("utf-8")
        self.body = body
        self.stream = stream          # iterator of bytes-like blocks, with `length`
        self.length = length
        if content_type:
            self.headers.set("Content-Type", content_type)
        self.drop_after = None        # send this many body bytes, then drop
        self.pause_after = None       # send this many body bytes, then wait `pause_for` seconds
        self.pause_for = 0.0
        self.pause_wait = None
        self.fault = None

    def head_bytes(self, keep_alive):
        reason = REASONS.get(self.status, "Status")
        lines = ["HTTP/1.1 %d %s" % (self.status, reason)]
        length = self.length if self.stream is not None else len(self.body)
        has_len = False
        for k, v in self.headers.items:
            if k.lower() == "content-length":
                has_len = True
            lines.append("%s: %s" % (k, v))
        if self.chunked:
            lines.append("Transfer-Encoding: chunked")
        elif not has_len:
            lines.append("Content-Length: %d" % length)
        if not keep_alive:
            lines.append("Connection: close")
        return ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1", "replace")

    @property
    def chunked(self):
        """A stream of unknown length is sent with chunked transfer encoding."""
        return self.stream is not None and self.length is None

    def write(self, conn, keep_alive, limit=None):
        """Sends the answer; with `limit`, only that many bytes of the body
        (the rest is never sent: used to stall an answer)."""
        conn.sendall(self.head_bytes(keep_alive))
        if self.stream is not None:
            sent = 0
            for block in self.stream:
                if self.pause_after is not None and sent + len(block) > self.pause_after:
                    # A peer that stops sending for a while mid-answer (streams only).
                    head, self.pause_after = self.pause_after - sent, None
                    conn.sendall(block[:head])
                    self.pause_wait(self.pause_for)
                    sent, block = sent + head, block[head:]
                if self.drop_after is not None and sent + len(block) > self.drop_after:
                    conn.sendall(block[:self.drop_after - sent])
                    raise ConnectionDropped("dropped on purpose")
                if limit is not None and sent + len(block) >= limit:
                    conn.sendall(block[:limit - sent])
                    return
                if self.chunked:
                    if len(block):
                        conn.sendall(b"%x\r\n%s\r\n" % (len(block), block))
                else:
                    conn.sendall(block)
                sent += len(block)
            if self.chunked:
                conn.sendall(b"0\r\n\r\n")
        else:
            if self.drop_after is not None:
                conn.sendall(self.body[:self.drop_after])
                raise ConnectionDropped("dropped on purpose")
            body = self.body if limit is None else self.body[:limit]
            if body:
                conn.sendall(body)


def parse_head(head):
    try:
        text = head.decode("latin-1")
    except Exception:
        raise BadRequest("undecodable head")
    lines = text.split("\r\n")
    parts = lines[0].split(" ")
    if len(parts) != 3 or not parts[2].startswith("HTTP/1."):
        raise BadRequest("bad request line: %r" % lines[0][:200])
    headers = Headers()
    for line in lines[1:]:
        if not line:
            continue
        k, sep, v = line.partition(":")
        if not sep:
            raise BadRequest("bad header line")
        headers.add(k.strip(), v.strip())
    return parts[0], parts[1], parts[2], headers


def json_response(obj, status=200, headers=None):
    return Response(status, json.dumps(obj, indent=None, separators=(", ", ": ")),
                    headers=headers, content_type="application/json")


def html_response(text, status=200, headers=None):
    return Response(status, text, headers=headers, content_type="text/html; charset=utf-8")


def text_response(text, status=200, headers=None):
    return Response(status, text, headers=headers, content_type="text/plain; charset=utf-8")


def redirect(location, status=302, headers=None):
    r = Response(status, b"", headers=headers)
    r.headers.set("Location", location)
    return r
