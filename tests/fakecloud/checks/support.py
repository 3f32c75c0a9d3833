"""Starting the stand-in and talking to it: straight to its control API, and through its proxy
(CONNECT, then TLS trusting only the test authority) as a client of the services does."""

import hashlib, http.client, json, os, re, ssl, subprocess, time, unittest, urllib.parse

TOP = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "fakecloud"))
EXE, CA, SPACE = os.path.join(TOP, "fakecloud"), os.path.join(TOP, "ca.pem"), "/2/users/get_space_usage"


class Running:
    """One stand-in process; its port comes from the first line it prints."""

    def __init__(self, *args):
        self.proc = subprocess.Popen(["/usr/bin/python3", EXE, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        m = re.fullmatch(r"listening on 127\.0\.0\.1:(\d+)\n", self.proc.stdout.readline())
        if not m:
            self.proc.kill()
            raise AssertionError("no start line; errors: %r" % self.proc.communicate()[1])
        self.port = int(m.group(1))

    def stop(self):
        """SIGTERM: the exit status and what went to standard error (killed if still running 5 s later)."""
        self.proc.terminate()
        try:
            return self.proc.wait(5), self.proc.communicate()[1]
        finally:
            self.proc.kill()  # nothing once it has ended


def dig(obj, path):
    """dig(j, "error/errors/0/reason") is j["error"]["errors"][0]["reason"]."""
    for key in path.split("/"):
        obj = obj[int(key)] if isinstance(obj, list) else obj[key]
    return obj


def tunnel(port, host, timeout=5):
    """A TLS socket to `host` through the proxy, checked against ca.pem and the host name."""
    conn = http.client.HTTPSConnection("127.0.0.1", port, timeout=timeout, context=ssl.create_default_context(cafile=CA))
    conn.set_tunnel(host, 443)
    conn.connect()
    return conn.sock


def dropbox_hash(data):
    """Dropbox's content hash: the SHA-256 of the SHA-256 digests of each 4 MiB block."""
    blocks = (hashlib.sha256(data[i:i + (4 << 20)]).digest() for i in range(0, len(data), 4 << 20))
    return hashlib.sha256(b"".join(blocks)).hexdigest()


def cookies(r):
    """The cookies an answer sets, as a Cookie header's value."""
    return "; ".join(c.split(";", 1)[0] for c in r.msg.get_all("Set-Cookie") or [])


def eventually(probe, seconds=5):
    """probe()'s value once it is true (the stand-in notes some things a moment late), or its last one."""
    deadline = time.monotonic() + seconds
    while not probe() and time.monotonic() < deadline:
        time.sleep(0.05)
    return probe()


class StandInCase(unittest.TestCase):
    """One stand-in for the test class, back to its start state (and new tokens of alice's) before each test."""
    ARGS = ()  # the stand-in's options

    @classmethod
    def setUpClass(cls):
        cls.server = Running(*cls.ARGS)
        cls.port = cls.server.port

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def setUp(self):
        self.ctl("POST", "/reset")
        self.tok, self.gtok = self.issue("dropbox")["access_token"], self.issue("google")["access_token"]

    def send(self, conn, method, path, body, headers):
        """The response, read whole into `body`."""
        try:
            conn.request(method, path, body, headers or {})
            r = conn.getresponse()
            r.body = r.read()
            return r
        finally:
            conn.close()

    def ctl(self, method, path, obj=None, expect=200):
        """A control call: its JSON answer (else the response)."""
        r = self.send(http.client.HTTPConnection("127.0.0.1", self.port, timeout=10), method, path,
                      json.dumps(obj) if obj is not None else None, {})
        self.assertEqual(r.status, expect, r.body[:300])
        return json.loads(r.body) if r.getheader("Content-Type", "").startswith("application/json") else r

    def record(self, **filters):
        return self.ctl("GET", "/record?" + urllib.parse.urlencode(filters))["requests"]

    def issue(self, service, **kw):
        return self.ctl("POST", "/tokens/issue", dict(kw, service=service))

    def stored(self, service, key):
        """The user's files by path (Dropbox), id or name (Google), as the control API lists them."""
        return {f[key]: f for f in self.ctl("GET", "/files?service=" + service)["files"]}

    def https(self, method, url, body=None, headers=None, timeout=10):
        """One request to a service host through the proxy, on a tunnel of its own."""
        u = urllib.parse.urlsplit(url)
        conn = http.client.HTTPSConnection("127.0.0.1", self.port, timeout=timeout, context=ssl.create_default_context(cafile=CA))
        conn.set_tunnel(u.hostname, 443)
        return self.send(conn, method, u.path + ("?" + u.query if u.query else ""), body, headers)

    def db(self, path, tok, args=None, data=None, headers=None, **kw):
        """Dropbox: an RPC call with `args` as its JSON body, or, when `data` is given,
        a content call with `args` in Dropbox-API-Arg (text or bytes as given)."""
        url, h = "https://%s.dropboxapi.com%s" % ("api" if data is None else "content", path), {"Authorization": "Bearer " + tok}
        if data is not None:
            h.update({"Content-Type": "application/octet-stream", "Dropbox-API-Arg": args if isinstance(args, (str, bytes)) else json.dumps(args)})
        elif args is not None:
            data, h["Content-Type"] = json.dumps(args), "application/json"
        return self.https("POST", url, data, {**h, **(headers or {})}, **kw)

    def session(self, tok):
        return json.loads(self.db("/2/files/upload_session/start", tok, {"close": False}, b"").body)["session_id"]

    def drive(self, method, path, tok, body=None, headers=None, **kw):
        return self.https(method, "https://www.googleapis.com" + path, body, dict(headers or {}, Authorization="Bearer " + tok), **kw)
