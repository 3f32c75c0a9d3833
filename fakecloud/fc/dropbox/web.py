"""Dropbox's web site: the signed-in session, the sign-in page (with its
"Sign in with Google" under today's rules), log-out."""

import secrets
from urllib.parse import urlencode, urlsplit

from .. import pages
from ..http import html_response, redirect
from ..oauth import s256
from ..state import b64u
from .common import COOKIE_DOMAIN, WEB

# Dropbox's own Google sign-in: a web client of Google's with this callback.
GOOGLE_CLIENT = "dropbox-web.apps.googleusercontent.com"
GOOGLE_CALLBACK_PATH = "/sso/google"


def session_user(server, req):
    email = pages.unsign(req.cookies.get("lid"))
    if not email or not req.cookies.get("blid"):
        return None
    return server.state.dropbox_user(email)


def web_cookies(resp, extra=()):
    """Every page answer sets cookies, as the real site does."""
    resp.headers.add("Set-Cookie", pages.cookie("locale", "en", COOKIE_DOMAIN, http_only=False))
    resp.headers.add("Set-Cookie", pages.cookie("t", secrets.token_urlsafe(18), COOKIE_DOMAIN))
    for c in extra:
        resp.headers.add("Set-Cookie", c)
    resp.headers.set("Cache-Control", "no-cache, no-store")
    return resp


def auto_on(server):
    return server.state.auto["enabled"]


def auto_user(server):
    a = server.state.auto
    return server.state.dropbox_user(a["email"]) if a["email"] else server.state.dropbox_user()


def login_page(server, cont, error=None, status=200):
    body = []
    if error:
        body.append('<p class="error" id="error">%s</p>' % pages.esc(error))
    body.append('<form id="login" method="post" action="/login">'
                '<input type="hidden" name="cont" value="%s">'
                '<div>Email<br><input type="email" id="email" name="login_email" autocomplete="username"></div>'
                '<div>Password<br><input type="password" id="password" name="login_password"></div>'
                '<button class="primary" id="signin" type="submit">Sign in</button></form>' % pages.esc(cont))
    if server.state.live:
        body.append('<p><a id="google-signin" href="%s">Sign in with Google</a></p>' % pages.esc(google_signin_url(cont)))
    note = script = None
    if auto_on(server) and not error:
        u = auto_user(server)
        if u:
            note = "Automatic mode: signing in as %s" % u["email"]
            script = pages.auto_submit(server.state.auto["delay_ms"], "login",
                                       {"email": u["email"], "password": u["password"]}, "signin")
    return web_cookies(html_response(pages.page("Sign in to Dropbox", "".join(body),
                                                auto_note=note, auto_script=script), status))


def safe_cont(cont):
    if not cont:
        return "/home"
    parts = urlsplit(cont)
    if parts.scheme and (parts.scheme != "https" or parts.hostname != WEB):
        return "/home"
    if not parts.scheme and not cont.startswith("/"):
        return "/home"
    return cont


def site(server, req):
    """The home page, sign-in and log-out."""
    path = req.path
    if path in ("/", "/home"):
        u = session_user(server, req)
        if u:
            body = '<p id="who">Signed in as %s</p><p><a id="logout" href="/logout">Sign out</a></p>' % pages.esc(u["email"])
        else:
            body = '<p id="who">Not signed in</p><p><a href="/login">Sign in</a></p>'
        return web_cookies(html_response(pages.page("Dropbox", body)))
    if path == "/login":
        if req.method == "POST":
            f = req.form()
            cont = safe_cont(f.get("cont"))
            u = server.state.dropbox_user(f.get("login_email", ""))
            if not u or u["password"] != f.get("login_password"):
                return login_page(server, cont, "Invalid email or password.")
            return signed_in(req, u, cont)
        return login_page(server, safe_cont(req.params.get("cont")))
    if path == GOOGLE_CALLBACK_PATH:
        return google_callback(server, req)
    if path == "/logout":
        resp = redirect("https://www.dropbox.com/login")
        for name in ("blid", "lid", "jar", "t", "__Host-js_csrf"):
            resp.headers.add("Set-Cookie", pages.expired_cookie(name, COOKIE_DOMAIN))
        resp.headers.set("Cache-Control", "no-cache, no-store")
        return resp


def signed_in(req, u, cont):
    """The answer that signs `u` in and goes on to `cont`."""
    blid = req.cookies.get("blid") or "AAA" + secrets.token_urlsafe(24)
    return web_cookies(redirect(cont), [pages.cookie("blid", blid, COOKIE_DOMAIN),
                                        pages.cookie("lid", pages.sign(u["email"]), COOKIE_DOMAIN),
                                        pages.cookie("jar", b64u(secrets.token_bytes(12)), COOKIE_DOMAIN),
                                        pages.cookie("__Host-js_csrf", secrets.token_urlsafe(18), COOKIE_DOMAIN,
                                                     http_only=False)])


def google_signin_url(cont):
    """Google's authorization page, as Dropbox's site sends a person there;
    the state carries where to go on, signed."""
    return "https://accounts.google.com/o/oauth2/v2/auth?" + urlencode([
        ("client_id", GOOGLE_CLIENT), ("redirect_uri", "https://" + WEB + GOOGLE_CALLBACK_PATH),
        ("response_type", "code"), ("scope", "openid email"), ("state", pages.sign(cont)),
        ("code_challenge", s256(secrets.token_urlsafe(48))), ("code_challenge_method", "S256")])


def google_callback(server, req):
    """Back from Google: the code names the Google account; the Dropbox
    account of the same address is signed in (the site takes the code itself)."""
    cont = safe_cont(pages.unsign(req.params.get("state")))
    with server.state.lock:
        code = server.state.codes.pop(req.params.get("code", ""), None)
    if not code or code["service"] != "google" or code["client_id"] != GOOGLE_CLIENT:
        return login_page(server, cont, "Google sign-in did not complete. Try again.", 400)
    u = server.state.dropbox_user(code["email"])
    if u is None:
        return login_page(server, cont, "No Dropbox account uses %s." % code["email"], 400)
    return signed_in(req, u, cont)
