"""Dropbox's OAuth: the consent page and the token endpoint. Under today's
rules: redirect URIs registered per app and matched exactly, PKCE without a
client secret, short-lived access tokens and, with offline access, refresh
tokens."""

import base64
import secrets
from urllib.parse import urlencode

from .. import pages
from ..http import html_response, json_response, redirect
from ..oauth import verifier_matches
from .web import auto_on, session_user, web_cookies

DENY_DESCRIPTION = "The user chose not to give your app access to their Dropbox account."
# Every app key is registered with the plug-in's loopback address unless the
# control API says otherwise.
DEFAULT_REDIRECTS = ["http://127.0.0.1:53190/"]
CARRIED = ["client_id", "response_type", "redirect_uri", "state", "code_challenge", "code_challenge_method",
           "token_access_type"]


def bad_request(text):
    return html_response(pages.page("Dropbox - Bad request", '<p class="error" id="error">Error (400)</p><p>%s</p>'
                                    % pages.esc(text)), 400)


def problems_of(server, p):
    st = server.state
    client_id, rtype, ruri = p.get("client_id", ""), p.get("response_type", ""), p.get("redirect_uri", "")
    problems = []
    if not client_id:
        problems.append('Missing "client_id".')
    elif st.clients["dropbox"] and client_id not in st.clients["dropbox"]:
        problems.append('Invalid client_id: "%s"' % client_id)
    if rtype not in ("token", "code"):
        problems.append('"response_type" should be one of "token", "code".')
    if rtype == "token" and not ruri:
        problems.append('Missing "redirect_uri".')
    if st.live:
        if ruri and ruri not in st.db_redirects.get(client_id, DEFAULT_REDIRECTS):
            problems.append("Invalid redirect_uri. It must exactly match one of the redirect URIs you've "
                            "pre-configured for your app (including the path).")
        if p.get("code_challenge_method", "plain") not in ("plain", "S256") or \
                ("code_challenge_method" in p and not p.get("code_challenge")):
            problems.append('"code_challenge_method" should be one of "plain", "S256", with a "code_challenge".')
        if p.get("token_access_type", "online") not in ("online", "offline", "legacy"):
            problems.append('"token_access_type" should be one of "online", "offline", "legacy".')
    return problems


def authorize(server, req):
    st = server.state
    p = dict(req.params)
    if req.method == "POST":
        p.update(req.form())
    p = {k: v for k, v in p.items() if k in CARRIED or k == "decision"}
    problems = problems_of(server, p)
    if problems:
        return bad_request(" ".join(problems))
    u = session_user(server, req)
    if u is None:
        return redirect("https://www.dropbox.com/login?" + urlencode({"cont": req.url}))
    if req.method == "POST":
        return decided(server, p, u)
    hidden = "".join('<input type="hidden" name="%s" value="%s">' % (pages.esc(k), pages.esc(p.get(k, "")))
                     for k in CARRIED if k in p or k in ("client_id", "response_type", "redirect_uri"))
    body = ('<p id="ask">The app <b>%s</b> would like access to the files and folders in your Dropbox.</p>'
            '<p>Signed in as <span id="who">%s</span></p>'
            '<form id="consent" method="post" action="/oauth2/authorize">%s'
            '<button id="deny" type="submit" name="decision" value="deny">Deny</button>'
            '<button id="allow" class="primary" type="submit" name="decision" value="allow">Allow</button>'
            '</form>') % (pages.esc(p["client_id"]), pages.esc(u["email"]), hidden)
    note = script = None
    if auto_on(server):
        choice = "allow" if st.auto["consent"] != "deny" else "deny"
        note = "Automatic mode: choosing %s" % choice.capitalize()
        script = pages.auto_submit(st.auto["delay_ms"], "consent", {}, choice)
    return web_cookies(html_response(pages.page("API Request Authorization", body, auto_note=note, auto_script=script)))


def decided(server, p, u):
    st = server.state
    rtype, ruri, state = p["response_type"], p.get("redirect_uri", ""), p.get("state")
    sep = "#" if rtype == "token" else ("&" if "?" in ruri else "?")
    if p.get("decision") != "allow":
        items = [("error", "access_denied"), ("error_description", DENY_DESCRIPTION)]
    elif rtype == "token":  # the implicit flow: never a refresh token
        token, _ = st.issue_token("dropbox", "access", u["email"], p["client_id"])
        items = [("access_token", token), ("token_type", "bearer")]
        life = st.token_lifetime["dropbox"]
        if life:
            items.append(("expires_in", str(life)))
        items += [("account_id", u["account_id"]), ("uid", u["uid"])]
    else:
        code = "fc" + secrets.token_urlsafe(30)
        record = {"service": "dropbox", "email": u["email"], "client_id": p["client_id"], "redirect_uri": ruri,
                  "time": st.now()}
        if st.live:
            record.update({k: p[k] for k in ("code_challenge", "code_challenge_method", "token_access_type") if k in p})
        with st.lock:
            st.codes[code] = record
        items = [("code", code)]
    if state is not None:
        items.append(("state", state))
    if not ruri:
        return html_response(pages.page("Dropbox", '<p id="code">%s</p>' % pages.esc(dict(items).get("code", ""))))
    return redirect(ruri + sep + urlencode(items))


def token_error(error, text):
    return json_response({"error": error, "error_description": text}, 400)


def client_of(req, f):
    """The app key from the form, or from HTTP Basic authentication."""
    basic = req.hdr("Authorization") or ""
    if basic.startswith("Basic "):
        try:
            return base64.b64decode(basic[6:]).decode("utf-8").partition(":")[0]
        except (ValueError, UnicodeDecodeError):
            return None
    return f.get("client_id")


def token_endpoint(server, req):
    st = server.state
    f = req.form()
    f.update({k: v for k, v in req.params.items() if k not in f})
    grant = f.get("grant_type")
    if grant == "refresh_token" and st.live:
        return refreshed(server, f, client_of(req, f))
    if grant != "authorization_code":
        return token_error("unsupported_grant_type", "unsupported grant_type")
    with st.lock:
        c = st.codes.pop(f.get("code", ""), None)
    if not c or c["service"] != "dropbox" or st.now() - c["time"] > 600:
        return token_error("invalid_grant", "code doesn't exist or has expired")
    if c["redirect_uri"] and f.get("redirect_uri") != c["redirect_uri"]:
        return token_error("invalid_grant", "redirect_uri mismatch")
    if c.get("code_challenge") and client_of(req, f) != c["client_id"]:
        return token_error("invalid_client", "Invalid client_id or client_secret")
    if not verifier_matches(c, f.get("code_verifier")):
        return token_error("invalid_grant", "invalid code verifier")
    u = st.dropbox_user(c["email"])
    out = {"access_token": None, "token_type": "bearer"}
    life = st.token_lifetime["dropbox"]
    if life:
        out["expires_in"] = life
    extra = None
    if c.get("token_access_type") == "offline":
        out["refresh_token"], grant_payload = st.issue_token("dropbox", "refresh", u["email"], c["client_id"])
        extra = {"r": grant_payload["n"]}
    out["access_token"], _ = st.issue_token("dropbox", "access", u["email"], c["client_id"], extra=extra)
    if st.live:
        out["scope"] = "account_info.read files.content.read files.content.write files.metadata.read"
    out.update({"uid": u["uid"], "account_id": u["account_id"]})
    return json_response(out)


def refreshed(server, f, client_id):
    """A new access token for a refresh token; the refresh token stays."""
    st = server.state
    payload, problem = st.check_token("dropbox", "refresh", f.get("refresh_token", ""))
    if problem:
        return token_error("invalid_grant", "refresh token is invalid or revoked")
    if not client_id or client_id != payload.get("c"):
        return token_error("invalid_client", "Invalid client_id or client_secret")
    token, _ = st.issue_token("dropbox", "access", payload["e"], client_id, extra={"r": payload["n"]})
    return json_response({"access_token": token, "token_type": "bearer", "expires_in": st.token_lifetime["dropbox"]})
