"""Today's rules (--rules live): Google refuses embedded engines and wants PKCE, state and a loopback redirect;
Dropbox matches registered redirects exactly and gives short-lived tokens that refresh; a clock to move; no token
in an address."""

import base64, hashlib, html, json, urllib.parse
from .support import SPACE, StandInCase, cookies, dig

VERIFIER = "fakecloud-verifier-" + "x" * 40
CHALLENGE = base64.urlsafe_b64encode(hashlib.sha256(VERIFIER.encode()).digest()).rstrip(b"=").decode()
# What QtWebKit 5.212 sends: it names no engine.
QTWEBKIT = "Mozilla/5.0 (Unknown; Linux x86_64) AppleWebKit/602.1 (KHTML, like Gecko) lumen-player Version/10.0 Safari/602.1"
WEBVIEW = "Mozilla/5.0 (Linux; Android 13; Pixel 7; wv) AppleWebKit/537.36 Chrome/120.0 Mobile Safari/537.36"
BROWSER = "Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/120.0 Safari/537.36"
FORM, G, DB = {"Content-Type": "application/x-www-form-urlencoded"}, "https://accounts.google.com", "https://www.dropbox.com"
DB_TOKEN, G_TOKEN = "https://api.dropboxapi.com/oauth2/token", "https://oauth2.googleapis.com/token"
G_AUTH = dict(client_id="app", redirect_uri="http://127.0.0.1:40123/cb", response_type="code", scope="https://www.googleapis.com/auth/drive",
              state="s t/\u00e4", code_challenge=CHALLENGE, code_challenge_method="S256")
DB_AUTH = dict(client_id="key", response_type="code", redirect_uri="http://127.0.0.1:53190/", state="xyz", code_challenge=CHALLENGE,
               code_challenge_method="S256", token_access_type="offline")


def query(location):
    parts = urllib.parse.urlsplit(location)
    return dict(urllib.parse.parse_qsl(parts.query or parts.fragment))


def changed(base, **changes):
    """The parameters with some replaced (None: left out)."""
    return {k: v for k, v in dict(base, **changes).items() if v is not None}


class Live(StandInCase):
    ARGS = ("--rules", "live")

    def session(self, url, form):
        return cookies(self.https("POST", url, urllib.parse.urlencode(form), FORM))

    def page(self, url, params, agent=BROWSER, cookie="", form=None):
        """A page as a browser (or an embedded engine) asks for it: GET with `params`, or POST of `form`."""
        h = {"User-Agent": agent, "Cookie": cookie}
        if form is not None:
            return self.https("POST", url, urllib.parse.urlencode(form), dict(FORM, **h))
        return self.https("GET", url + "?" + urllib.parse.urlencode(params), headers=h)

    def token(self, url, **form):
        r = self.https("POST", url, urllib.parse.urlencode(changed(form)), FORM)
        return r.status, json.loads(r.body)

    def test_google_authorization(self):
        signed_in = self.session(G + "/ServiceLogin", {"Email": "alice@example.com", "Passwd": "alice-password"})
        self.page(G + "/o/oauth2/approval", None, cookie=signed_in, form=dict(G_AUTH, decision="allow"))  # allowed once: at once afterwards
        for path, changes, agent, status, want in [  # want: in the page, or at the start of the redirect
                ("/o/oauth2/v2/auth", {}, QTWEBKIT, 403, "Error 403: disallowed_useragent"),
                ("/o/oauth2/auth", {}, WEBVIEW, 403, "Google can&#39;t sign you in safely inside this app"),
                ("/o/oauth2/v2/auth", {"state": None}, BROWSER, 400, "Missing required parameter: state"),
                ("/o/oauth2/v2/auth", {"code_challenge": None}, BROWSER, 400, "Missing required parameter: code_challenge"),
                ("/o/oauth2/v2/auth", {"code_challenge_method": "plain"}, BROWSER, 400, "Invalid code_challenge_method: plain"),
                ("/o/oauth2/v2/auth", {"code_challenge_method": None}, BROWSER, 400, "Invalid code_challenge_method"),
                ("/o/oauth2/v2/auth", {}, BROWSER, 302, "http://127.0.0.1:40123/cb?code="),
                ("/o/oauth2/auth", {"redirect_uri": "http://localhost:51234/"}, BROWSER, 302, "http://localhost:51234/?code=")]:
            with self.subTest(path=path, changes=changes, agent=agent):
                r = self.page(G + path, changed(G_AUTH, **changes), agent, signed_in)
                where = r.getheader("Location") or ""
                self.assertEqual((r.status, want in (where[:len(want)] or r.body.decode())), (status, True), r.body[:300])
                self.assertEqual(query(where).get("state", G_AUTH["state"]), G_AUTH["state"], "the state comes back unchanged")
        for verifier, status, want in [(VERIFIER, 200, ("token_type", "Bearer")), (VERIFIER[:-1] + "y", 400, ("error", "invalid_grant")),
                                       (None, 400, ("error", "invalid_grant"))]:
            with self.subTest(verifier=verifier):
                code = query(self.page(G + "/o/oauth2/v2/auth", G_AUTH, cookie=signed_in).getheader("Location"))["code"]
                got, body = self.token(G_TOKEN, grant_type="authorization_code", code=code, client_id="app", client_secret="s",
                                       redirect_uri=G_AUTH["redirect_uri"], code_verifier=verifier)
                self.assertEqual((got, dig(body, want[0])), (status, want[1]), body)
        self.assertIn(b"var authRetired = true;", self.https("GET", "https://apis.google.com/js/api.js").body)

    def test_dropbox_authorization(self):
        signed_in = self.session(DB + "/login", {"login_email": "alice@example.com", "login_password": "alice-password"})
        other, bad = "http://127.0.0.1:8080/cb", "Invalid redirect_uri"
        for registered, changes, status, want in [  # the page still loads in an embedded engine; the redirect must match exactly
                (None, {}, 200, 'id="allow"'), (None, {"redirect_uri": "http://127.0.0.1:53191/"}, 400, bad),
                (None, {"redirect_uri": "http://localhost:53190/"}, 400, bad), (None, {"redirect_uri": "http://127.0.0.1:53190"}, 400, bad),
                ([other], {"redirect_uri": other}, 200, 'id="allow"'), ([other], {}, 400, bad),
                (None, {"code_challenge_method": "S512"}, 400, "code_challenge_method")]:
            with self.subTest(registered=registered, changes=changes):
                self.ctl("POST", "/redirects", {"app_key": "key", "uris": registered})
                r = self.page(DB + "/oauth2/authorize", changed(DB_AUTH, **changes), QTWEBKIT, signed_in)
                self.assertEqual((r.status, want in r.body.decode()), (status, True), r.body[:300])
        for changes, verifier, status, keys in [  # keys: what the token answer holds beside the access token
                ({}, VERIFIER, 200, {"refresh_token", "expires_in", "scope", "uid", "account_id", "token_type"}),
                ({"token_access_type": "online"}, VERIFIER, 200, {"expires_in", "scope", "uid", "account_id", "token_type"}),
                ({}, "wrong-" + VERIFIER, 400, {"error", "error_description"}), ({}, None, 400, {"error", "error_description"}),
                ({"response_type": "token", "code_challenge": None, "code_challenge_method": None}, None, None, {"expires_in", "token_type", "state",
                                                                                                               "account_id", "uid"})]:
            with self.subTest(changes=changes, verifier=verifier):
                back = query(self.page(DB + "/oauth2/authorize", None, QTWEBKIT, signed_in, dict(changed(DB_AUTH, **changes), decision="allow"))
                             .getheader("Location"))
                got, body = (None, back) if "access_token" in back else self.token(  # the implicit flow answers in the fragment
                    DB_TOKEN, grant_type="authorization_code", code=back["code"], client_id="key", redirect_uri=DB_AUTH["redirect_uri"],
                    code_verifier=verifier)
                self.assertEqual((back["state"], got, set(body) - {"access_token"}, int(body.get("expires_in", 14400))), ("xyz", status, keys, 14400))

    def test_dropbox_sign_in_with_google(self):
        login = self.page(DB + "/login", {"cont": "/home"}, QTWEBKIT).body.decode()
        google = html.unescape(login.split('id="google-signin" href="', 1)[1].split('"', 1)[0])
        r = self.https("GET", google, headers={"User-Agent": QTWEBKIT})
        self.assertEqual((r.status, "disallowed_useragent" in r.body.decode()), (403, True), "refused inside the app's engine")
        g = self.session(G + "/ServiceLogin", {"Email": "alice@example.com", "Passwd": "alice-password"})
        back = self.page(G + "/o/oauth2/approval", None, cookie=g, form=dict(query(google), decision="allow"))  # in a browser
        done = self.https("GET", back.getheader("Location"))
        self.assertEqual((done.status, done.getheader("Location"), "lid=" in cookies(done)), (302, "/home", True))

    def test_tokens_expire_refresh_and_are_revoked_by_the_clock(self):
        def answer(svc, tok):
            r = self.db(SPACE, tok) if svc == "dropbox" else self.drive("GET", "/drive/v2/about", tok)
            body = json.loads(r.body)
            if r.status == 200 or "expired" in r.body.decode():
                return "ok" if r.status == 200 else body
            return dig(body, "error/.tag" if svc == "dropbox" else "error/errors/0/reason")
        for svc, life, url, secret, expired, refused in [
                ("dropbox", 14400, DB_TOKEN, None, {"error_summary": "expired_access_token/...", "error": {".tag": "expired_access_token"}},
                 "invalid_access_token"), ("google", 3599, G_TOKEN, "s", "authError", "authError")]:
            with self.subTest(svc=svc):
                issued = self.issue(svc)
                refresh = lambda: self.token(url, grant_type="refresh_token", refresh_token=issued["refresh_token"],  # noqa: E731
                                             client_id=issued["client_id"], client_secret=secret)
                self.ctl("POST", "/clock", {"advance": life - 1})
                self.assertEqual(answer(svc, issued["access_token"]), "ok")
                self.ctl("POST", "/clock", {"advance": 2})
                self.assertEqual(answer(svc, issued["access_token"]), expired)
                status, fresh = refresh()
                self.assertEqual((status, fresh["expires_in"], "refresh_token" in fresh, answer(svc, fresh["access_token"])), (200, life, False, "ok"))
                self.ctl("POST", "/revoke", {"service": svc, "token": issued["refresh_token"]})
                self.assertEqual((refresh()[1]["error"], answer(svc, fresh["access_token"])), ("invalid_grant", refused))

    def test_tokens_in_an_address_are_refused_and_reset_keeps_the_rules(self):
        for url, headers, status in [("https://api.dropboxapi.com" + SPACE + "?authorization=Bearer%20" + self.tok, {}, 400),
                                     ("https://api.dropboxapi.com" + SPACE + "?access_token=" + self.tok, {"Authorization": "Bearer " + self.tok}, 400),
                                     ("https://www.googleapis.com/drive/v3/files?access_token=" + self.gtok, {"Authorization": "Bearer " + self.gtok}, 401)]:
            with self.subTest(url=url, headers=headers):
                self.assertEqual(self.https("POST" if "dropbox" in url else "GET", url, None, headers).status, status)
        self.ctl("POST", "/clock", {"advance": 60})
        self.ctl("POST", "/reset")
        state = self.ctl("GET", "/state")
        self.assertEqual((state["rules"], state["clock_offset"], state["token_lifetime"]), ("live", 0, {"dropbox": 14400, "google": 3599}))
