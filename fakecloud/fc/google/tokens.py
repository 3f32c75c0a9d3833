"""Google's token and revocation endpoints (on both hosts that serve them)."""

from ..http import json_response
from ..oauth import verifier_matches
from .common import DRIVE_SCOPE


def token_json(obj, status=200):
    r = json_response(obj, status)
    r.headers.set("Content-Type", "application/json; charset=utf-8")
    r.headers.set("Cache-Control", "no-cache, no-store, max-age=0, must-revalidate")
    r.headers.set("Pragma", "no-cache")
    return r


def token_endpoint(server, req):
    if req.method != "POST":
        return token_json({"error": "invalid_request", "error_description": "Method not allowed"}, 405)
    f = req.form()
    gt = f.get("grant_type")
    client_id = f.get("client_id", "")
    clients = server.state.clients["google"]
    if not client_id:
        return token_json({"error": "invalid_request", "error_description": "Could not determine client ID from request."}, 400)
    if clients is not None:
        secret = clients.get(client_id)
        if secret is None:
            return token_json({"error": "invalid_client", "error_description": "The OAuth client was not found."}, 401)
        if secret and f.get("client_secret") != secret:
            return token_json({"error": "invalid_client", "error_description": "Unauthorized"}, 401)
    if not f.get("client_secret"):
        return token_json({"error": "invalid_request", "error_description": "client_secret is missing."}, 400)
    life = server.state.token_lifetime["google"]
    if gt == "authorization_code":
        with server.state.lock:
            c = server.state.codes.pop(f.get("code", ""), None)
        if not c or c["service"] != "google" or server.state.now() - c["time"] > 600 or c["client_id"] != client_id:
            return token_json({"error": "invalid_grant", "error_description": "Bad Request"}, 400)
        if not verifier_matches(c, f.get("code_verifier")):
            return token_json({"error": "invalid_grant", "error_description": "Invalid code verifier."}, 400)
        if f.get("redirect_uri") != c["redirect_uri"]:
            return token_json({"error": "redirect_uri_mismatch", "error_description": "Bad Request"}, 400)
        refresh, grant = server.state.issue_token("google", "refresh", c["email"], client_id, extra={"sc": c["scope"]})
        access, _ = server.state.issue_token("google", "access", c["email"], client_id, extra={"r": grant["n"]})
        return token_json({"access_token": access, "expires_in": life or 3599, "refresh_token": refresh,
                           "scope": c["scope"], "token_type": "Bearer"})
    if gt == "refresh_token":
        payload, problem = server.state.check_token("google", "refresh", f.get("refresh_token", ""))
        if problem or payload.get("c") != client_id:
            return token_json({"error": "invalid_grant", "error_description":
                               "Token has been expired or revoked." if problem in ("revoked", "expired") else "Bad Request"}, 400)
        access, _ = server.state.issue_token("google", "access", payload["e"], client_id, extra={"r": payload["n"]})
        return token_json({"access_token": access, "expires_in": life or 3599, "scope": payload.get("sc", DRIVE_SCOPE),
                           "token_type": "Bearer"})
    return token_json({"error": "unsupported_grant_type", "error_description": "Invalid grant_type: %s" % (gt or "")}, 400)


def revoke_endpoint(server, req):
    token = req.params.get("token")
    if token is None and req.method == "POST":
        token = req.form().get("token")
    for kind in ("refresh", "access"):
        payload, problem = server.state.check_token("google", kind, token or "")
        if payload and not problem:
            with server.state.lock:
                server.state.revoked_before[("google", payload["e"].lower())] = server.state.now()
                server.state.granted = {g for g in server.state.granted if g[0] != payload["e"].lower()}
            return token_json({})
    return token_json({"error": "invalid_token", "error_description": "Token expired or revoked"}, 400)
