"""The process (first line, --port, --auto, SIGTERM) and the proxy: certificates, TLS modes, plain HTTP, refused hosts."""

import json, os, re, signal, socket, ssl, subprocess, sys, time, unittest
from .support import CA, EXE, Running, StandInCase, eventually, tunnel

HOSTS = ["www.dropbox.com", "dropbox.com", "api.dropboxapi.com", "content.dropboxapi.com", "dl.dropboxusercontent.com",
         "accounts.google.com", "oauth2.googleapis.com", "www.googleapis.com", "apis.google.com", "docs.google.com"]


def raw(port, method, url, body=""):
    """A request sent straight to the port; all that comes back until the stand-in closes."""
    with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
        s.sendall(("%s %s HTTP/1.1\r\nContent-Length: %d\r\nConnection: close\r\n\r\n%s" % (method, url, len(body), body)).encode())
        return b"".join(iter(lambda: s.recv(65536), b"")).decode()


def gone(pid):
    """No such process, or a zombie that nobody reaps (as in some containers)."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] in "ZX"
    except FileNotFoundError:
        return True


class Process(unittest.TestCase):
    def test_first_line_flags_and_sigterm_with_a_tunnel_open(self):
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            free = s.getsockname()[1]
        for args, port, auto in [((), None, False), (("--port", str(free)), free, False), (("--auto",), None, True)]:
            with self.subTest(args=args):
                r = Running(*args)  # fails unless the first line is exactly "listening on 127.0.0.1:<port>\n"
                health = json.loads(raw(r.port, "GET", "/health").split("\r\n\r\n", 1)[1])
                self.assertEqual(health, {"ok": True, "port": port or r.port, "auto": auto})
                held, t0 = tunnel(r.port, "www.dropbox.com"), time.monotonic()
                self.assertEqual(r.stop(), (0, ""))
                self.assertLess(time.monotonic() - t0, 3)
                held.close()
                self.assertRaises(ConnectionRefusedError, socket.create_connection, ("127.0.0.1", r.port))

    def test_ends_with_the_process_that_started_it(self):
        starter = ("import subprocess, sys, time\n"
                   "p = subprocess.Popen(['/usr/bin/python3', %r], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)\n"
                   "print(p.pid, p.stdout.readline().rsplit(':', 1)[1].strip(), flush=True)\n"
                   "time.sleep(60) if sys.argv[1] == 'wait' else None\n") % EXE
        for how in ["SIGKILL", "exit"]:  # killed without a chance to clean up; or ended without stopping it
            with self.subTest(how=how):
                parent = subprocess.Popen([sys.executable, "-c", starter, "wait" if how == "SIGKILL" else "exit"],
                                          stdout=subprocess.PIPE, text=True)
                pid, port = map(int, parent.stdout.readline().split())
                socket.create_connection(("127.0.0.1", port)).close()
                if how == "SIGKILL":
                    parent.send_signal(signal.SIGKILL)
                parent.wait(5)
                parent.stdout.close()
                self.addCleanup(lambda pid=pid: gone(pid) or os.kill(pid, signal.SIGKILL))
                self.assertTrue(eventually(lambda: gone(pid), 3), "the stand-in still runs")
                self.assertRaises(ConnectionRefusedError, socket.create_connection, ("127.0.0.1", port))


class Proxy(StandInCase):
    def test_front_door(self):
        pings = "http://pings.example.net/hint/x"
        for method, url, body, start, text in [
                ("NONSENSE", "", "", "HTTP/1.1 400", ""), ("CONNECT", "example.com:443", "", "HTTP/1.1 502", ""),
                ("GET", "http://www.dropbox.com/a?b=1", "", "HTTP/1.1 301", "\r\nLocation: https://www.dropbox.com/a?b=1\r\n"),
                ("GET", pings, "", "HTTP/1.1 502", "not emulated"), ("GET", "http://fakecloud.control/health", "", "HTTP/1.1 200", '"ok": true'),
                ("POST", "http://fakecloud.control/hosts", '{"host": "pings.example.net", "status": 203, "body": "pong"}', "HTTP/1.1 200", ""),
                ("GET", pings, "", "HTTP/1.1 203", "\r\n\r\npong")]:
            with self.subTest(method=method, url=url):
                got = raw(self.port, method, url, body)
                self.assertTrue(got.startswith(start), got)
                self.assertIn(text, got)
        self.assertEqual([(e["method"], e["url"], e["status"]) for e in self.record() if "example" in e["url"]],
                         [("CONNECT", "example.com:443", 502), ("GET", pings, 502), ("GET", pings, 203)])

    def test_tls_modes_and_certificates(self):
        unknown = "unable to get local issuer certificate"
        for mode, complaint in [("expired", "certificate has expired"), ("wrong_host", "Hostname mismatch"), ("untrusted", unknown),
                                ("self_signed", "self-signed certificate"), ("unknown_root", unknown)]:
            with self.subTest(mode=mode):
                self.ctl("DELETE", "/record")
                self.ctl("POST", "/tls", {"mode": mode, "hosts": ["api.dropboxapi.com"]})
                with self.assertRaises(ssl.SSLCertVerificationError) as cm:
                    tunnel(self.port, "api.dropboxapi.com")
                self.assertIn(complaint, str(cm.exception))
                tunnel(self.port, "content.dropboxapi.com").close()  # the other hosts keep theirs
                last = eventually(lambda: all(e["complete"] for e in self.record()) and self.record(host="api.dropboxapi.com")[-1])
                self.assertEqual((last["certificate"], last["tls"][:16]), ("refused-%s.pem" % mode.replace("_", "-"), "handshake failed"))
        self.ctl("POST", "/tls", {"mode": "normal"})
        for host in HOSTS:  # each service host has its own certificate again; tunnel() checks the chain and the name
            with self.subTest(host=host), tunnel(self.port, host) as t:
                self.assertIn(("DNS", host), t.getpeercert()["subjectAltName"])
        self.ctl("POST", "/tls", {"mode": "unknown_root"})  # a whole chain with the right names; only its root is unknown
        out = subprocess.run(["openssl", "s_client", "-proxy", "127.0.0.1:%d" % self.port, "-connect", "docs.google.com:443",
                              "-verify_hostname", "docs.google.com", "-CAfile", CA, "-showcerts"], stdin=subprocess.DEVNULL,
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=10).stdout
        self.assertEqual(out.count("-----BEGIN CERTIFICATE-----"), 2, out)
        self.assertEqual(re.findall(r"depth=(\d).*\nverify error:num=(\d+)", out), [("1", "20")], out)
