"""Starting the stand-in and talking to it (through the proxy, as a client of
the services would, and directly, as a test driving it does)."""

import http.client
import json
import os
import socket
import ssl
import subprocess
import time
import unittest
import urllib.parse

HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "fakecloud")
EXE = os.path.join(HERE, "fakecloud")
CA = os.path.join(HERE, "ca.pem")
PYTHON = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else "python3"


class Running:
    """One stand-in process."""

    def __init__(self, *args):
        self.started = time.monotonic()
        self.proc = subprocess.Popen([PYTHON, EXE] + list(args), stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True)
        self.first_line = self.proc.stdout.readline()
        self.ready_after = time.monotonic() - self.started
        if not self.first_line.startswith("listening on 127.0.0.1:"):
            self.proc.kill()
            raise RuntimeError("no start line: %r %r" % (self.first_line, self.proc.stderr.read()))
        self.port = int(self.first_line.strip().rsplit(":", 1)[1])
        self.cpu_at_start = self.cpu_seconds()

    def cpu_seconds(self):
        """Processor time the stand-in has used (user + system)."""
        with open("/proc/%d/stat" % self.proc.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc.stdout.close()
        self.proc.stderr.close()


def tls_context():
    ctx = ssl.create_default_context(cafile=CA)
    return ctx


class Reply:
    def __init__(self, resp, body):
        self.status = resp.status
        self.headers = resp.getheaders()
        self.header_map = {k.lower(): v for k, v in self.headers}
        self.body = body

    def header(self, name):
        return self.header_map.get(name.lower())

    def header_all(self, name):
        return [v for k, v in self.headers if k.lower() == name.lower()]

    def json(self):
        return json.loads(self.body)

    @property
    def text(self):
        return self.body.decode("utf-8")


class StandInCase(unittest.TestCase):
    """One stand-in for the test class; its state is reset before each test."""

    args = ()
    server = None

    @classmethod
    def setUpClass(cls):
        cls.server = Running(*cls.args)
        cls.port = cls.server.port
        cls.conns = {}

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def setUp(self):
        self.ctl("POST", "/reset")
        self.__class__.conns = {}

    def tearDown(self):
        for c in self.conns.values():
            c.close()
        self.__class__.conns = {}

    # ------------------------------------------------------------- control
    def ctl(self, method, path, obj=None, expect=200):
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=10)
        body = json.dumps(obj).encode() if obj is not None else None
        conn.request(method, path, body=body, headers={"Content-Type": "application/json"} if body else {})
        resp = conn.getresponse()
        data = resp.read()
        conn.close()
        if expect is not None:
            self.assertEqual(resp.status, expect, data[:500])
        ctype = resp.getheader("Content-Type") or ""
        return json.loads(data) if ctype.startswith("application/json") else data

    def record(self, **filters):
        q = urllib.parse.urlencode(filters)
        return self.ctl("GET", "/record" + ("?" + q if q else ""))["requests"]

    def settled_record(self, **filters):
        """The record once every entry in it is complete (a refused TLS
        handshake is noted by the stand-in a moment after the client gives up)."""
        deadline = time.monotonic() + 5
        while True:
            rec = self.record(**filters)
            if all(e["complete"] for e in rec) or time.monotonic() > deadline:
                return rec
            time.sleep(0.02)

    def token(self, service="dropbox", **kw):
        kw["service"] = service
        return self.ctl("POST", "/tokens/issue", kw)

    # ------------------------------------------------------------- clients
    def https(self, method, url, body=None, headers=None, timeout=20, fresh=False):
        """A request to a service host through the proxy (CONNECT + TLS trusting ca.pem)."""
        parts = urllib.parse.urlsplit(url)
        host = parts.hostname
        path = parts.path or "/"
        if parts.query:
            path += "?" + parts.query
        conn = None if fresh else self.conns.get(host)
        if conn is None:
            conn = http.client.HTTPSConnection("127.0.0.1", self.port, timeout=timeout, context=tls_context())
            conn.set_tunnel(host, 443)
            if not fresh:
                self.conns[host] = conn
        else:
            conn.timeout = timeout
            if conn.sock is not None:
                conn.sock.settimeout(timeout)
        try:
            conn.request(method, path, body=body, headers=headers or {})
            resp = conn.getresponse()
            data = resp.read()
        except BaseException:
            conn.close()
            self.conns.pop(host, None)
            raise
        if resp.will_close or fresh:
            conn.close()
            self.conns.pop(host, None)
        return Reply(resp, data)

    def plain(self, method, url, body=None, headers=None):
        """A plain-HTTP request in absolute form through the proxy."""
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=10)
        conn.request(method, url, body=body, headers=headers or {})
        resp = conn.getresponse()
        data = resp.read()
        conn.close()
        return Reply(resp, data)

    def db_api(self, path, args=None, token=None, raw=None, headers=None):
        h = {"Authorization": "Bearer " + token} if token else {}
        body = None
        if args is not None:
            body = json.dumps(args).encode()
            h["Content-Type"] = "application/json"
        if raw is not None:
            body = raw
        h.update(headers or {})
        return self.https("POST", "https://api.dropboxapi.com" + path, body, h)

    def db_content(self, path, arg, data=b"", token=None, headers=None):
        h = {"Authorization": "Bearer " + token, "Content-Type": "application/octet-stream",
             "Dropbox-API-Arg": arg if isinstance(arg, str) else json.dumps(arg)}
        h.update(headers or {})
        return self.https("POST", "https://content.dropboxapi.com" + path, data, h)


def cookies_from(reply):
    """name -> full Set-Cookie text."""
    out = {}
    for line in reply.header_all("Set-Cookie"):
        out[line.split("=", 1)[0]] = line
    return out


def cookie_header(reply, names=None):
    parts = []
    for line in reply.header_all("Set-Cookie"):
        nv = line.split(";", 1)[0]
        if "Max-Age=0" in line:
            continue
        if names is None or nv.split("=", 1)[0] in names:
            parts.append(nv)
    return "; ".join(parts)


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    p = s.getsockname()[1]
    s.close()
    return p
