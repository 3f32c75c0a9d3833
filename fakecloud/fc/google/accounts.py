"""Google's accounts host: sign-in, log-out, the OAuth consent page."""

import json
import secrets
from urllib.parse import quote, urlencode, urlsplit

from .. import pages
from ..http import redirect
from ..oauth import embedded, loopback
from .common import ACCOUNTS, BRAND, COOKIE_DOMAIN, SESSION_COOKIES, page_answer
from .tokens import revoke_endpoint, token_endpoint

LOOPBACK_HOSTS = ("localhost", "127.0.0.1", "::1")



def session_user(server, req):
    email = pages.unsign(req.cookies.get("SID"))
    if not email or not req.cookies.get("HSID"):
        return None
    return server.state.google_user(email)


def auto_user(server):
    a = server.state.auto
    return server.state.google_user(a["email"]) if a["email"] else server.state.google_user()


def signin_page(server, cont, error=None):
    body = []
    if error:
        body.append('<p class="error" id="error">%s</p>' % pages.esc(error))
    body.append('<form id="signin-form" method="post" action="/ServiceLogin">'
                '<input type="hidden" name="continue" value="%s">'
                '<div>Email<br><input type="email" id="identifier" name="Email"></div>'
                '<div>Password<br><input type="password" id="password" name="Passwd"></div>'
                '<button class="primary" id="next" type="submit">Next</button></form>' % pages.esc(cont))
    note = script = None
    if server.state.auto["enabled"] and not error:
        u = auto_user(server)
        if u:
            note = "Automatic mode: signing in as %s" % u["email"]
            script = pages.auto_submit(server.state.auto["delay_ms"], "signin-form",
                                       {"identifier": u["email"], "password": u["password"]}, "next")
    return page_answer(pages.page("Sign in - Google Accounts", "".join(body), brand=BRAND,
                                  auto_note=note, auto_script=script),
                       cookies=[pages.cookie("GAPS", "1:" + secrets.token_urlsafe(20), ACCOUNTS, max_age=2 * 365 * 86400)])


def safe_continue(cont):
    if not cont:
        return "https://myaccount.google.com/"
    parts = urlsplit(cont)
    if parts.scheme == "https" and parts.hostname and parts.hostname.endswith("google.com"):
        return cont
    if not parts.scheme and cont.startswith("/"):
        return "https://accounts.google.com" + cont
    return "https://accounts.google.com/"


def accounts(server, req):
    path = req.path
    if path == "/ServiceLogin" and req.method == "POST":
        f = req.form()
        cont = safe_continue(f.get("continue"))
        u = server.state.google_user(f.get("Email", ""))
        if not u or u["password"] != f.get("Passwd"):
            return signin_page(server, cont, "Wrong password or unknown account. Try again.")
        cookies = [pages.cookie("SID", pages.sign(u["email"]), COOKIE_DOMAIN, max_age=2 * 365 * 86400, http_only=False)]
        for name in SESSION_COOKIES[1:]:
            cookies.append(pages.cookie(name, secrets.token_urlsafe(20), COOKIE_DOMAIN, max_age=2 * 365 * 86400,
                                        http_only=name in ("HSID", "SSID")))
        cookies.append(pages.cookie("LSID", "o.drive:" + secrets.token_urlsafe(24), ACCOUNTS, max_age=2 * 365 * 86400))
        r = redirect(cont)
        for c in cookies:
            r.headers.add("Set-Cookie", c)
        return r
    if path == "/ServiceLogin":
        return signin_page(server, safe_continue(req.params.get("continue")))
    if path.lower() == "/logout":
        r = page_answer(pages.page("Signed out", '<p id="signed-out">You are signed out.</p>', brand=BRAND))
        for name in SESSION_COOKIES:
            r.headers.add("Set-Cookie", pages.expired_cookie(name, COOKIE_DOMAIN))
        r.headers.add("Set-Cookie", pages.expired_cookie("LSID", ACCOUNTS))
        return r
    if path in ("/o/oauth2/auth", "/o/oauth2/v2/auth"):
        return oauth_auth(server, req)
    if path == "/o/oauth2/approval":
        return oauth_approval(server, req)
    if path == "/o/oauth2/token":
        return token_endpoint(server, req)
    if path == "/o/oauth2/revoke":
        return revoke_endpoint(server, req)
    return page_answer(pages.page("Google", "<p>Not Found</p>", brand=BRAND), 404)


AUTH_PARAMS = ["client_id", "redirect_uri", "response_type", "scope", "state", "access_type", "origin",
               "prompt", "immediate", "include_granted_scopes", "authuser", "code_challenge", "code_challenge_method"]


def oauth_params_problem(server, p):
    for name in ("client_id", "redirect_uri", "response_type", "scope"):
        if not p.get(name):
            return "invalid_request", "Missing required parameter: %s" % name
    if p["response_type"] not in ("code", "token"):
        return "unsupported_response_type", "Invalid response_type: %s" % p["response_type"]
    clients = server.state.clients["google"]
    if clients and p["client_id"] not in clients:
        return "invalid_client", "The OAuth client was not found."
    ruri = p["redirect_uri"]
    if ruri != "postmessage" and not loopback(ruri, LOOPBACK_HOSTS) and not ruri.startswith("https://"):
        return "redirect_uri_mismatch", "Invalid redirect: %s" % ruri
    if server.state.live:
        # Installed apps are public clients: PKCE with S256 and a state, always.
        for name in ("state", "code_challenge"):
            if not p.get(name):
                return "invalid_request", "Missing required parameter: %s" % name
        if p.get("code_challenge_method") != "S256":
            return "invalid_request", "Invalid code_challenge_method: %s" % p.get("code_challenge_method", "")
    return None


def disallowed_useragent():
    """Google's answer to a sign-in inside an embedded browser engine."""
    body = ('<h1 id="headline">Google can&#39;t sign you in safely inside this app</h1>'
            '<p>You can&#39;t sign in from this screen because this app doesn&#39;t comply with Google&#39;s secure '
            'browsers policy. If this app has a website, you can open a web browser and try signing in from there.</p>'
            '<p class="error" id="error">Error 403: disallowed_useragent</p>')
    return page_answer(pages.page("Access blocked: Error 403: disallowed_useragent", body, brand=BRAND), 403)


def error_page(kind, text):
    return page_answer(pages.page("Error 400: %s" % kind, '<p class="error" id="error">Error 400: %s</p><p>%s</p>'
                                  % (pages.esc(kind), pages.esc(text)), brand=BRAND), 400)


def relay_page(server, p, result):
    """redirect_uri=postmessage: hand the result to the opening page and close."""
    origin = p.get("origin") or "*"
    result = dict(result)
    if p.get("state") is not None:
        result["state"] = p["state"]
    script = ("(function(){var w = window.opener || window.parent; var msg = %s;"
              "if (w && w !== window) { w.postMessage(msg, %s); }"
              "setTimeout(function(){ if (window.opener) { window.close(); } }, 50);})();") % (
        pages.js(json.dumps(result)), pages.js(origin if origin != "null" else "*"))
    return page_answer(pages.page("Connecting...", '<p id="relay">%s</p>' % ("Signed in." if "access_token" in result else "Not signed in."),
                                  brand=BRAND, auto_script=script))


def finish_grant(server, p, u, allow):
    ruri = p["redirect_uri"]
    rtype = p["response_type"]
    scope = " ".join(p["scope"].replace(",", " ").split())
    if allow:
        with server.state.lock:
            server.state.granted.add((u["email"].lower(), p["client_id"]))
        if rtype == "token":
            token, payload = server.state.issue_token("google", "access", u["email"], p["client_id"])
            life = server.state.token_lifetime["google"]
            items = [("access_token", token), ("token_type", "Bearer"), ("expires_in", str(life or 3599)),
                     ("scope", scope)]
        else:
            code = "4/0" + secrets.token_urlsafe(40)
            with server.state.lock:
                server.state.codes[code] = {"service": "google", "email": u["email"], "client_id": p["client_id"],
                                            "redirect_uri": ruri, "scope": scope, "time": server.state.now()}
                if server.state.live:
                    server.state.codes[code].update({k: p[k] for k in ("code_challenge", "code_challenge_method")})
            items = [("code", code), ("scope", scope)]
    else:
        items = [("error", "access_denied")]
    if ruri == "postmessage":
        result = dict(items)
        result["client_id"] = p["client_id"]
        if allow and rtype == "token":
            result["issued_at"] = str(int(server.state.now()))
            result["expires_at"] = str(int(server.state.now()) + int(result["expires_in"]))
        return relay_page(server, p, result)
    if p.get("state") is not None:
        items.append(("state", p["state"]))
    if rtype == "token":
        return redirect(ruri + "#" + urlencode(items, quote_via=quote))
    return redirect(ruri + ("&" if "?" in ruri else "?") + urlencode(items, quote_via=quote, safe="/:"))


def oauth_auth(server, req):
    if server.state.live and embedded(req):
        return disallowed_useragent()
    p = dict(req.params)
    problem = oauth_params_problem(server, p)
    if problem:
        return error_page(*problem)
    u = session_user(server, req)
    immediate = p.get("immediate") == "true"
    if immediate:
        granted = server.state.granted
        if u is None or (u["email"].lower(), p["client_id"]) not in granted:
            return relay_page(server, p, {"error": "immediate_failed", "client_id": p["client_id"]})
        return finish_grant(server, p, u, True)
    if u is None:
        return signin_page(server, req.url)
    if (u["email"].lower(), p["client_id"]) in server.state.granted and p.get("prompt") != "consent":
        # Already allowed and not revoked: Google answers at once, without asking again.
        return finish_grant(server, p, u, True)
    hidden = "".join('<input type="hidden" name="%s" value="%s">' % (pages.esc(k), pages.esc(p[k]))
                     for k in AUTH_PARAMS if k in p)
    body = ('<p id="ask"><b>%s</b> wants to access your Google Account</p>'
            '<p><span id="who">%s</span></p><p>This will allow it to see, edit, create, and delete all of your Google Drive files (%s)</p>'
            '<form id="consent" method="post" action="/o/oauth2/approval">%s'
            '<button id="deny" type="submit" name="decision" value="deny">Cancel</button>'
            '<button id="allow" class="primary" type="submit" name="decision" value="allow">Allow</button></form>') % (
        pages.esc(p["client_id"]), pages.esc(u["email"]), pages.esc(p["scope"]), hidden)
    note = script = None
    if server.state.auto["enabled"]:
        choice = "allow" if server.state.auto["consent"] != "deny" else "deny"
        note = "Automatic mode: choosing %s" % choice.capitalize()
        script = pages.auto_submit(server.state.auto["delay_ms"], "consent", {}, choice)
    return page_answer(pages.page("Sign in - Google Accounts", body, brand=BRAND, auto_note=note, auto_script=script))


def oauth_approval(server, req):
    if req.method != "POST":
        return error_page("invalid_request", "The approval must be posted.")
    if server.state.live and embedded(req):
        return disallowed_useragent()
    p = req.form()
    problem = oauth_params_problem(server, p)
    if problem:
        return error_page(*problem)
    u = session_user(server, req)
    if u is None:
        return signin_page(server, "https://accounts.google.com/o/oauth2/auth?" +
                           urlencode([(k, p[k]) for k in AUTH_PARAMS if k in p]))
    return finish_grant(server, p, u, p.get("decision") == "allow")
