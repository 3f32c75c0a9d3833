"""Command line, start-up, shutdown, and the proxy's front door."""

import http.client
import os
import re
import signal
import socket
import ssl
import time
import unittest

from .support import CA, EXE, PYTHON, Running, StandInCase, free_port, tls_context

HOSTS = ["www.dropbox.com", "dropbox.com", "api.dropboxapi.com", "content.dropboxapi.com", "dl.dropboxusercontent.com",
         "accounts.google.com", "www.googleapis.com", "apis.google.com", "docs.google.com", "oauth2.googleapis.com"]


class CommandLine(unittest.TestCase):
    def test_first_line_and_fast_start(self):
        r = Running()
        try:
            self.assertRegex(r.first_line, r"^listening on 127\.0\.0\.1:\d+\n$")
            self.assertGreater(r.port, 0)
            # The work of starting is well under a second of processor time; the
            # wall time also depends on how busy the machine is, so it gets slack.
            self.assertLess(r.cpu_at_start, 0.5, "start-up used %.3f s of processor time" % r.cpu_at_start)
            self.assertLess(r.ready_after, 3.0, "start-up took %.3f s" % r.ready_after)
            conn = http.client.HTTPConnection("127.0.0.1", r.port, timeout=5)
            conn.request("GET", "/health")
            self.assertEqual(conn.getresponse().status, 200)
        finally:
            r.stop()

    def test_fixed_port(self):
        port = free_port()
        r = Running("--port", str(port))
        try:
            self.assertEqual(r.first_line.strip(), "listening on 127.0.0.1:%d" % port)
        finally:
            r.stop()

    def test_port_in_use_is_an_error(self):
        s = socket.socket()
        s.bind(("127.0.0.1", 0))
        s.listen(1)
        try:
            import subprocess
            p = subprocess.run([PYTHON, EXE, "--port", str(s.getsockname()[1])], capture_output=True, text=True, timeout=10)
            self.assertNotEqual(p.returncode, 0)
            self.assertEqual(p.stdout, "")
            self.assertIn("cannot listen", p.stderr)
        finally:
            s.close()

    def test_sigterm_stops_cleanly_with_open_connections(self):
        r = Running()
        c = socket.create_connection(("127.0.0.1", r.port))
        c.sendall(b"CONNECT www.dropbox.com:443 HTTP/1.1\r\nHost: www.dropbox.com:443\r\n\r\n")
        self.assertIn(b"200", c.recv(100))
        t0 = time.monotonic()
        r.proc.send_signal(signal.SIGTERM)
        rc = r.proc.wait(5)
        self.assertEqual(rc, 0)
        self.assertLess(time.monotonic() - t0, 3.0)
        self.assertEqual(r.proc.stderr.read(), "")
        c.close()
        with self.assertRaises(OSError):
            socket.create_connection(("127.0.0.1", r.port), timeout=1)
        r.stop()

    def test_sigterm_right_after_start(self):
        for _ in range(5):
            r = Running()
            r.proc.send_signal(signal.SIGTERM)
            self.assertEqual(r.proc.wait(5), 0)
            self.assertEqual(r.proc.stderr.read(), "")
            r.stop()

    def test_auto_flag(self):
        r = Running("--auto")
        try:
            conn = http.client.HTTPConnection("127.0.0.1", r.port, timeout=5)
            conn.request("GET", "/health")
            self.assertIn(b'"auto": true', conn.getresponse().read())
        finally:
            r.stop()


class Proxy(StandInCase):
    def test_connect_to_each_service_host_gives_a_trusted_certificate(self):
        for host in HOSTS:
            s = socket.create_connection(("127.0.0.1", self.port), timeout=5)
            s.sendall(("CONNECT %s:443 HTTP/1.1\r\nHost: %s:443\r\n\r\n" % (host, host)).encode())
            head = b""
            while b"\r\n\r\n" not in head:
                head += s.recv(1)
            self.assertTrue(head.startswith(b"HTTP/1.1 200"), head)
            t = tls_context().wrap_socket(s, server_hostname=host)  # verifies chain and host name
            self.assertEqual(t.selected_alpn_protocol(), None)
            cert = t.getpeercert()
            self.assertIn(("DNS", host), cert["subjectAltName"])
            t.close()

    def test_connect_to_other_hosts_is_refused_and_nothing_leaves(self):
        s = socket.create_connection(("127.0.0.1", self.port), timeout=5)
        s.sendall(b"CONNECT example.com:443 HTTP/1.1\r\nHost: example.com:443\r\n\r\n")
        data = s.recv(1000)
        self.assertTrue(data.startswith(b"HTTP/1.1 502"), data)
        s.close()
        rec = self.record(host="example.com")
        self.assertEqual([(e["method"], e["status"]) for e in rec], [("CONNECT", 502)])

    def test_plain_http_to_a_service_host_redirects_to_https(self):
        r = self.plain("GET", "http://www.dropbox.com/static/api/2/dropins.js?x=1")
        self.assertEqual(r.status, 301)
        self.assertEqual(r.header("Location"), "https://www.dropbox.com/static/api/2/dropins.js?x=1")

    def test_plain_http_to_an_unknown_host_is_refused_unless_configured(self):
        self.assertEqual(self.plain("GET", "http://pings.example.net/hint/x").status, 502)
        self.ctl("POST", "/hosts", {"host": "pings.example.net", "status": 200, "body": "ok"})
        r = self.plain("GET", "http://pings.example.net/hint/q10-macplayer-cloud-connect-Register-Dropbox-Geo-US")
        self.assertEqual((r.status, r.body), (200, b"ok"))
        self.assertEqual(self.record(host="pings.example.net")[-1]["url"],
                         "http://pings.example.net/hint/q10-macplayer-cloud-connect-Register-Dropbox-Geo-US")

    def test_control_through_the_proxy(self):
        r = self.plain("GET", "http://fakecloud.control/health")
        self.assertEqual(r.status, 200)
        self.assertTrue(r.json()["ok"])

    def test_keep_alive_inside_a_tunnel(self):
        for _ in range(3):
            self.assertEqual(self.https("GET", "https://apis.google.com/js/api.js").status, 200)
        connects = [e for e in self.record(host="apis.google.com") if e["method"] == "CONNECT"]
        self.assertEqual(len(connects), 1)

    def test_malformed_request_gets_400(self):
        s = socket.create_connection(("127.0.0.1", self.port), timeout=5)
        s.sendall(b"NONSENSE\r\n\r\n")
        self.assertTrue(s.recv(100).startswith(b"HTTP/1.1 400"))
        s.close()


class Certificates(StandInCase):
    def handshake(self, host="api.dropboxapi.com"):
        s = socket.create_connection(("127.0.0.1", self.port), timeout=5)
        s.sendall(("CONNECT %s:443 HTTP/1.1\r\n\r\n" % host).encode())
        head = b""
        while b"\r\n\r\n" not in head:
            head += s.recv(1)
        t = tls_context().wrap_socket(s, server_hostname=host)
        t.close()

    def refused(self, mode, text, host="api.dropboxapi.com"):
        self.ctl("POST", "/tls", {"mode": mode})
        with self.assertRaises(ssl.SSLCertVerificationError) as cm:
            self.handshake(host)
        self.assertIn(text, str(cm.exception))

    def test_expired_certificate_is_refused(self):
        self.refused("expired", "certificate has expired")

    def test_certificate_for_another_host_is_refused(self):
        self.refused("wrong_host", "Hostname mismatch")

    def test_certificate_of_an_unknown_authority_is_refused(self):
        self.refused("untrusted", "unable to get local issuer certificate")

    def test_chain_under_an_unknown_root_is_refused(self):
        self.refused("unknown_root", "unable to get local issuer certificate", host="content.dropboxapi.com")
        # The committed chain: server certificate for every host, then its intermediate, whose issuer is not ca.pem.
        import subprocess
        import tempfile
        pem = open(os.path.join(os.path.dirname(CA), "certs", "refused-unknown-root.pem")).read()
        leaf, inter = ["-----BEGIN" + c for c in pem.split("-----BEGIN")[1:]]
        with tempfile.NamedTemporaryFile("w", suffix=".pem") as a, tempfile.NamedTemporaryFile("w", suffix=".pem") as b:
            a.write(leaf), b.write(inter), a.flush(), b.flush()
            out = subprocess.run(["openssl", "verify", "-CAfile", CA, "-untrusted", b.name, a.name], capture_output=True, text=True)
            sans = subprocess.run(["openssl", "x509", "-in", a.name, "-noout", "-ext", "subjectAltName"], capture_output=True, text=True).stdout
        self.assertNotEqual(out.returncode, 0)
        self.assertEqual(re.findall(r"error (\d+) at (\d+) depth", out.stdout + out.stderr), [("20", "1")])
        self.assertTrue(all("DNS:" + h in sans for h in HOSTS), sans)

    def test_self_signed_certificate_is_refused(self):
        self.refused("self_signed", "self-signed certificate")

    def test_refusal_limited_to_named_hosts_and_back_to_normal(self):
        self.ctl("POST", "/tls", {"mode": "expired", "hosts": ["accounts.google.com"]})
        self.handshake("api.dropboxapi.com")
        with self.assertRaises(ssl.SSLCertVerificationError):
            self.handshake("accounts.google.com")
        rec = [e for e in self.settled_record(host="accounts.google.com") if e["method"] == "CONNECT"]
        self.assertEqual(rec[-1]["certificate"], "refused-expired.pem")
        self.assertTrue(rec[-1]["tls"].startswith("handshake failed"))
        self.ctl("POST", "/tls", {"mode": "normal"})
        self.handshake("accounts.google.com")

    def test_bad_mode_is_rejected(self):
        self.ctl("POST", "/tls", {"mode": "broken"}, expect=400)

    def test_committed_files_are_consistent(self):
        # The expired certificate really is expired, the others really are not.
        import subprocess
        certs = os.path.join(os.path.dirname(CA), "certs")
        out = subprocess.run(["openssl", "x509", "-in", os.path.join(certs, "refused-expired.pem"), "-noout", "-checkend", "0"],
                             capture_output=True, text=True)
        self.assertNotEqual(out.returncode, 0)
        out = subprocess.run(["openssl", "x509", "-in", CA, "-noout", "-checkend", str(10 * 365 * 86400)],
                             capture_output=True, text=True)
        self.assertEqual(out.returncode, 0, "the test authority must stay valid for years")


if __name__ == "__main__":
    unittest.main()
