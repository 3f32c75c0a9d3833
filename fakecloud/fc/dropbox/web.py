"""Dropbox's web site: the signed-in session, the sign-in page, the OAuth consent page."""

import secrets
import time
from urllib.parse import urlencode, urlsplit

from .. import pages
from ..http import html_response, redirect
from ..state import b64u
from .common import COOKIE_DOMAIN, WEB



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
            resp = redirect(cont)
            blid = req.cookies.get("blid") or "AAA" + secrets.token_urlsafe(24)
            return web_cookies(resp, [pages.cookie("blid", blid, COOKIE_DOMAIN),
                                      pages.cookie("lid", pages.sign(u["email"]), COOKIE_DOMAIN),
                                      pages.cookie("jar", b64u(secrets.token_bytes(12)), COOKIE_DOMAIN),
                                      pages.cookie("__Host-js_csrf", secrets.token_urlsafe(18), COOKIE_DOMAIN,
                                                   http_only=False)])
        return login_page(server, safe_cont(req.params.get("cont")))
    if path == "/logout":
        resp = redirect("https://www.dropbox.com/login")
        for name in ("blid", "lid", "jar", "t", "__Host-js_csrf"):
            resp.headers.add("Set-Cookie", pages.expired_cookie(name, COOKIE_DOMAIN))
        resp.headers.set("Cache-Control", "no-cache, no-store")
        return resp


DENY_DESCRIPTION = "The user chose not to give your app access to their Dropbox account."


def authorize(server, req):
    p = dict(req.params)
    if req.method == "POST":
        p.update(req.form())
    client_id = p.get("client_id", "")
    rtype = p.get("response_type", "")
    ruri = p.get("redirect_uri", "")
    state = p.get("state")
    problems = []
    if not client_id:
        problems.append('Missing "client_id".')
    elif server.state.clients["dropbox"] and client_id not in server.state.clients["dropbox"]:
        problems.append('Invalid client_id: "%s"' % client_id)
    if rtype not in ("token", "code"):
        problems.append('"response_type" should be one of "token", "code".')
    if rtype == "token" and not ruri:
        problems.append('Missing "redirect_uri".')
    if problems:
        return html_response(pages.page("Dropbox - Bad request", '<p class="error" id="error">Error (400)</p><p>%s</p>'
                                        % pages.esc(" ".join(problems))), 400)
    u = session_user(server, req)
    if u is None:
        return redirect("https://www.dropbox.com/login?" + urlencode({"cont": req.url}))
    if req.method == "POST":
        decision = p.get("decision")
        sep = "#" if rtype == "token" else ("&" if "?" in ruri else "?")
        if decision != "allow":
            items = [("error", "access_denied"), ("error_description", DENY_DESCRIPTION)]
        elif rtype == "token":
            token, _ = server.state.issue_token("dropbox", "access", u["email"], client_id)
            items = [("access_token", token), ("token_type", "bearer")]
            life = server.state.token_lifetime["dropbox"]
            if life:
                items.append(("expires_in", str(life)))
            items += [("account_id", u["account_id"]), ("uid", u["uid"])]
        else:
            code = "fc" + secrets.token_urlsafe(30)
            with server.state.lock:
                server.state.codes[code] = {"service": "dropbox", "email": u["email"], "client_id": client_id,
                                            "redirect_uri": ruri, "time": time.time()}
            items = [("code", code)]
        if state is not None:
            items.append(("state", state))
        if not ruri:
            return html_response(pages.page("Dropbox", '<p id="code">%s</p>' % pages.esc(dict(items).get("code", ""))))
        return redirect(ruri + sep + urlencode(items))
    hidden = "".join('<input type="hidden" name="%s" value="%s">' % (pages.esc(k), pages.esc(v))
                     for k, v in [("client_id", client_id), ("response_type", rtype), ("redirect_uri", ruri)]
                     + ([("state", state)] if state is not None else []))
    body = ('<p id="ask">The app <b>%s</b> would like access to the files and folders in your Dropbox.</p>'
            '<p>Signed in as <span id="who">%s</span></p>'
            '<form id="consent" method="post" action="/oauth2/authorize">%s'
            '<button id="deny" type="submit" name="decision" value="deny">Deny</button>'
            '<button id="allow" class="primary" type="submit" name="decision" value="allow">Allow</button>'
            '</form>') % (pages.esc(client_id), pages.esc(u["email"]), hidden)
    note = script = None
    if auto_on(server):
        choice = "allow" if server.state.auto["consent"] != "deny" else "deny"
        note = "Automatic mode: choosing %s" % choice.capitalize()
        script = pages.auto_submit(server.state.auto["delay_ms"], "consent", {}, choice)
    return web_cookies(html_response(pages.page("API Request Authorization", body, auto_note=note, auto_script=script)))
