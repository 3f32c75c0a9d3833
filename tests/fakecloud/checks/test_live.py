"""Today's rules (--rules live): Google refuses embedded engines and wants PKCE, state and a loopback redirect;
Dropbox matches registered redirects exactly and gives short-lived tokens that refresh; a clock to move; no token
in an address."""

import base64, hashlib, html, json, urllib.parse
from .support import SPACE, StandInCase, cookies, dig

VERIFIER = "fakecloud-verifier-" + "x" * 40
CHALLENGE = base64.urlsafe_b64encode(hashlib.sha256(VERIFIER.encode()).digest()).rstrip(b"=").decode()
QTWEBKIT = "Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/602.1 (KHTML, like Gecko) QtWebKit/5.212.0 Safari/602.1"
WEBVIEW = "Mozilla/5.0 (Linux; Android 13; Pixel 7; wv) AppleWebKit/537.36 Chrome/120.0 Mobile Safari/537.36"
BROWSER = "Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/120.0 Safari/537.36"
FORM = {"Content-Type": "application/x-www-form-urlencoded"}
DRIVE_FILES, DB_TOKEN, G_TOKEN = "https://www.googleapis.com/drive/v3/files", "https://api.dropboxapi.com/oauth2/token", "https://oauth2.googleapis.com/token"
G_AUTH = dict(client_id="app", redirect_uri="http://127.0.0.1:40123/cb", response_type="code", scope="https://www.googleapis.com/auth/drive",
              state="s t/\u00e4", code_challenge=CHALLENGE, code_challenge_method="S256")
DB_AUTH = dict(client_id="key", response_type="code", redirect_uri="http://127.0.0.1:53190/", state="xyz", code_challenge=CHALLENGE,
               code_challenge_method="S256", token_access_type="offline")


def query(location):
    return dict(urllib.parse.parse_qsl(urllib.parse.urlsplit(location).query or urllib.parse.urlsplit(location).fragment))


def changed(base, **changes):
    """The parameters with some replaced (None: left out)."""
    return {k: v for k, v in dict(base, **changes).items() if v is not None}


class Live(StandInCase):
    ARGS = ("--rules", "live")

    def session(self, url, form):
        return cookies(self.https("POST", url, urllib.parse.urlencode(form), FORM))

    def page(self, url, params, agent=BROWSER, cookie=""):
        return self.https("GET", url + "?" + urllib.parse.urlencode(params), headers={"User-Agent": agent, "Cookie": cookie})

    def approve(self, cookie, form):
        """Allow on Google's consent page (once allowed, Google answers at once)."""
        return self.https("POST", "https://accounts.google.com/o/oauth2/approval", urllib.parse.urlencode(dict(form, decision="allow")),
                          dict(FORM, Cookie=cookie, **{"User-Agent": BROWSER}))

    def google_code(self, cookie, **changes):
        r = self.page("https://accounts.google.com/o/oauth2/v2/auth", changed(G_AUTH, **changes), cookie=cookie)
        return query(r.getheader("Location"))["code"]

    def token(self, url, **form):
        r = self.https("POST", url, urllib.parse.urlencode(form), FORM)
        return r.status, json.loads(r.body)

    def test_google_authorization(self):
        signed_in = self.session("https://accounts.google.com/ServiceLogin", {"Email": "alice@example.com", "Passwd": "alice-password"})
        self.approve(signed_in, G_AUTH)
        for path, changes, agent, status, want in [  # want: text of the page, or the redirect's start
                ("/o/oauth2/v2/auth", {}, QTWEBKIT, 403, "Error 403: disallowed_useragent"),
                ("/o/oauth2/auth", {}, WEBVIEW, 403, "Google can&#39;t sign you in safely inside this app"),
                ("/o/oauth2/v2/auth", {"state": None}, BROWSER, 400, "Missing required parameter: state"),
                ("/o/oauth2/v2/auth", {"code_challenge": None}, BROWSER, 400, "Missing required parameter: code_challenge"),
                ("/o/oauth2/v2/auth", {"code_challenge_method": "plain"}, BROWSER, 400, "Invalid code_challenge_method: plain"),
                ("/o/oauth2/v2/auth", {"code_challenge_method": None}, BROWSER, 400, "Invalid code_challenge_method"),
                ("/o/oauth2/v2/auth", {}, BROWSER, 302, "http://127.0.0.1:40123/cb?code="),
                ("/o/oauth2/auth", {"redirect_uri": "http://localhost:51234/"}, BROWSER, 302, "http://localhost:51234/?code=")]:
            with self.subTest(path=path, changes=changes, agent=agent):
                r = self.page("https://accounts.google.com" + path, changed(G_AUTH, **changes), agent, signed_in)
                self.assertEqual(r.status, status, r.body[:300])
                if status == 302:
                    self.assertEqual((r.getheader("Location")[:len(want)], query(r.getheader("Location"))["state"]), (want, G_AUTH["state"]))
                else:
                    self.assertIn(want, r.body.decode())
        for verifier, status, want in [(VERIFIER, 200, ("token_type", "Bearer")), (VERIFIER[:-1] + "y", 400, ("error", "invalid_grant")),
                                       (None, 400, ("error", "invalid_grant"))]:
            with self.subTest(verifier=verifier):
                form = changed({"grant_type": "authorization_code", "code": self.google_code(signed_in), "client_id": "app",
                                "client_secret": "s", "redirect_uri": G_AUTH["redirect_uri"], "code_verifier": verifier})
                got, body = self.token(G_TOKEN, **form)
                self.assertEqual((got, dig(body, want[0])), (status, want[1]), body)
        self.assertIn(b"var authRetired = true;", self.https("GET", "https://apis.google.com/js/api.js").body)

    def test_dropbox_authorization(self):
        signed_in = self.session("https://www.dropbox.com/login", {"login_email": "alice@example.com", "login_password": "alice-password"})
        other = "http://127.0.0.1:8080/cb"
        for registered, changes, status, want in [  # the page still loads in an embedded engine; the redirect must match exactly
                (None, {}, 200, 'id="allow"'), (None, {"redirect_uri": "http://127.0.0.1:53191/"}, 400, "Invalid redirect_uri"),
                (None, {"redirect_uri": "http://localhost:53190/"}, 400, "Invalid redirect_uri"),
                (None, {"redirect_uri": "http://127.0.0.1:53190"}, 400, "Invalid redirect_uri"),
                ([other], {"redirect_uri": other}, 200, 'id="allow"'), ([other], {}, 400, "Invalid redirect_uri"),
                (None, {"code_challenge_method": "S512"}, 400, "code_challenge_method")]:
            with self.subTest(registered=registered, changes=changes):
                self.ctl("POST", "/redirects", {"app_key": "key", "uris": registered})
                r = self.page("https://www.dropbox.com/oauth2/authorize", changed(DB_AUTH, **changes), QTWEBKIT, signed_in)
                self.assertEqual((r.status, want in r.body.decode()), (status, True), r.body[:300])
        for changes, verifier, status, keys in [  # keys: what the token answer holds beside the access token
                ({}, VERIFIER, 200, {"refresh_token", "expires_in", "scope", "uid", "account_id", "token_type"}),
                ({"token_access_type": "online"}, VERIFIER, 200, {"expires_in", "scope", "uid", "account_id", "token_type"}),
                ({}, "wrong-" + VERIFIER, 400, {"error", "error_description"}), ({}, None, 400, {"error", "error_description"})]:
            with self.subTest(changes=changes, verifier=verifier):
                form = dict(changed(DB_AUTH, **changes), decision="allow")
                location = self.https("POST", "https://www.dropbox.com/oauth2/authorize", urllib.parse.urlencode(form), dict(FORM, Cookie=signed_in)).getheader("Location")
                self.assertEqual(query(location)["state"], "xyz")
                got, body = self.token(DB_TOKEN, **changed({"grant_type": "authorization_code", "code": query(location)["code"], "client_id": "key",
                                                            "redirect_uri": DB_AUTH["redirect_uri"], "code_verifier": verifier}))
                self.assertEqual((got, set(body) - {"access_token"}, body.get("expires_in", 14400)), (status, keys, 14400), body)
        form = dict(changed(DB_AUTH, response_type="token", code_challenge=None, code_challenge_method=None), decision="allow")
        implicit = query(self.https("POST", "https://www.dropbox.com/oauth2/authorize", urllib.parse.urlencode(form), dict(FORM, Cookie=signed_in)).getheader("Location"))
        self.assertEqual((implicit["expires_in"], "refresh_token" in implicit, implicit["state"]), ("14400", False, "xyz"))

    def test_dropbox_sign_in_with_google(self):
        login = self.page("https://www.dropbox.com/login", {"cont": "/home"}, QTWEBKIT).body.decode()
        google = html.unescape(login.split('id="google-signin" href="', 1)[1].split('"', 1)[0])
        r = self.https("GET", google, headers={"User-Agent": QTWEBKIT})
        self.assertEqual((r.status, "disallowed_useragent" in r.body.decode()), (403, True), "refused inside the app's engine")
        g = self.session("https://accounts.google.com/ServiceLogin", {"Email": "alice@example.com", "Passwd": "alice-password"})
        back = self.approve(g, query(google))
        done = self.https("GET", back.getheader("Location"))
        self.assertEqual((done.status, done.getheader("Location"), "lid=" in cookies(done)), (302, "/home", True))

    def test_tokens_expire_refresh_and_are_revoked_by_the_clock(self):
        space = {"dropbox": lambda t: self.db(SPACE, t), "google": lambda t: self.drive("GET", "/drive/v2/about", t)}
        expired = {"dropbox": (401, {"error_summary": "expired_access_token/...", "error": {".tag": "expired_access_token"}}),
                   "google": (401, "authError")}
        refused = {"dropbox": (401, "invalid_access_token"), "google": (401, "authError")}

        def answer(svc, tok):
            r = space[svc](tok)
            body = json.loads(r.body)
            return "ok" if r.status == 200 else (r.status, body if svc == "dropbox" and r.status == 401 and "expired" in r.body.decode()
                                                 else dig(body, "error/.tag" if svc == "dropbox" else "error/errors/0/reason"))
        for svc, life, url, secret in [("dropbox", 14400, DB_TOKEN, {}), ("google", 3599, G_TOKEN, {"client_secret": "s"})]:
            with self.subTest(svc=svc):
                issued = self.issue(svc)
                self.ctl("POST", "/clock", {"advance": life - 1})
                self.assertEqual(answer(svc, issued["access_token"]), "ok")
                self.ctl("POST", "/clock", {"advance": 2})
                self.assertEqual(answer(svc, issued["access_token"]), expired[svc])
                status, fresh = self.token(url, grant_type="refresh_token", refresh_token=issued["refresh_token"], client_id=issued["client_id"], **secret)
                self.assertEqual((status, fresh["expires_in"], "refresh_token" in fresh, answer(svc, fresh["access_token"])), (200, life, False, "ok"))
                self.ctl("POST", "/revoke", {"service": svc, "token": issued["refresh_token"]})
                status, body = self.token(url, grant_type="refresh_token", refresh_token=issued["refresh_token"], client_id=issued["client_id"], **secret)
                self.assertEqual((status, body["error"], answer(svc, fresh["access_token"])), (400, "invalid_grant", refused[svc]))

    def test_tokens_in_an_address_are_refused_and_reset_keeps_the_rules(self):
        for url, headers, status in [
                ("https://api.dropboxapi.com" + SPACE + "?authorization=Bearer%20" + self.tok, {}, 400),
                ("https://api.dropboxapi.com" + SPACE + "?access_token=" + self.tok, {"Authorization": "Bearer " + self.tok}, 400),
                (DRIVE_FILES + "?access_token=" + self.gtok, {}, 401),
                (DRIVE_FILES + "?access_token=" + self.gtok, {"Authorization": "Bearer " + self.gtok}, 401),
                (DRIVE_FILES, {"Authorization": "Bearer " + self.gtok}, 200)]:
            with self.subTest(url=url, headers=headers):
                self.assertEqual(self.https("POST" if "dropbox" in url else "GET", url, None, headers).status, status)
        self.ctl("POST", "/clock", {"advance": 60})
        self.ctl("POST", "/reset")
        state = self.ctl("GET", "/state")
        self.assertEqual((state["rules"], state["clock_offset"], state["token_lifetime"]), ("live", 0, {"dropbox": 14400, "google": 3599}))
