"""The control API: plain HTTP, either sent straight to the port
(http://127.0.0.1:PORT/...) or through the proxy to http://fakecloud.control/...
Bodies and answers are JSON."""

import base64
import json
import mimetypes
import secrets

from .http import Response, json_response
from .content import Content
from .state import FOLDER_MIME

HELP = """fakecloud control API (JSON bodies):
GET /health | POST /reset | GET /state | POST /auto | GET,POST /clock | POST /redirects
GET,POST /users | GET,POST /files | POST /files/generate | GET /files/content
POST /tokens/lifetime | POST /tokens/issue | POST /tokens/expire | POST /revoke | POST /clients
GET,POST,DELETE /faults | DELETE /faults/<id> | POST /tls | POST /sink | GET,DELETE /record | POST /hosts
POST /cursors/reset | POST /sessions/expire
"""

TLS_MODES = ("normal", "expired", "wrong_host", "untrusted", "self_signed", "unknown_root")
FAULT_KINDS = ("status", "delay", "drop", "revoked", "expired", "no_space", "rate_limit",
               "bad_length", "stall", "endless", "pause")
AUTO_KEYS = ("enabled", "delay_ms", "email", "consent", "chooser", "dropbox_pick", "google_pick")


class Problem(Exception):
    def __init__(self, status, text):
        Exception.__init__(self, text)
        self.status = status


def need(cond, text, status=400):
    if not cond:
        raise Problem(status, text)


def handle(server, req):
    try:
        return dispatch(server, req)
    except Problem as p:
        return json_response({"error": str(p)}, p.status)


def body_json(req):
    raw = req.read_body()
    if not raw.strip():
        return {}
    try:
        obj = json.loads(raw)
    except ValueError:
        raise Problem(400, "the body is not JSON")
    need(isinstance(obj, dict), "the body must be a JSON object")
    return obj


def service_of(obj):
    s = obj.get("service")
    need(s in ("dropbox", "google"), 'service must be "dropbox" or "google"')
    return s


def user_of(st, service, email):
    u = st.dropbox_user(email) if service == "dropbox" else st.google_user(email)
    need(u is not None, "no such %s user: %s" % (service, email), 404)
    return u


def user_json(service, u, st):
    if service == "dropbox":
        return {"service": service, "email": u["email"], "password": u["password"], "given_name": u["given_name"],
                "surname": u["surname"], "account_id": u["account_id"], "uid": u["uid"],
                "allocated": u["allocated"], "used": st.dropbox_used(u)}
    return {"service": service, "email": u["email"], "password": u["password"], "given_name": u["given_name"],
            "surname": u["surname"], "permission_id": u["permission_id"], "root_id": u["root_id"],
            "quota_total": u["quota_total"], "used": st.google_used(u)}


def file_json(service, f, u):
    if service == "dropbox":
        out = {"path": f["path_display"], "name": f["name"], "id": f["id"], "folder": f["folder"]}
    else:
        out = {"id": f["id"], "name": f["name"], "mimeType": f["mimeType"], "parents": f["parents"],
               "folder": f["mimeType"] == FOLDER_MIME, "trashed": f["trashed"]}
    c = f.get("content")
    if c is not None:
        out.update(c.describe())
    return out


def content_from(obj):
    if "content" in obj:
        return Content.of_bytes(str(obj["content"]).encode("utf-8"))
    if "content_base64" in obj:
        return Content.of_bytes(base64.b64decode(obj["content_base64"]))
    size = obj.get("size", 0)
    need(isinstance(size, int) and size >= 0, "size must be a whole number of bytes")
    return Content(size, pattern=obj.get("seed") or obj.get("path") or obj.get("name") or "fakecloud")


def google_parent(st, u, parent):
    """A parent given as an id, "root", or a folder path like "Videos/2024"."""
    if parent in (None, "", "root", "/"):
        return u["root_id"]
    if parent in u["files"]:
        return parent
    cur = u["root_id"]
    for part in [p for p in parent.split("/") if p]:
        found = None
        for f in u["files"].values():
            if f["mimeType"] == FOLDER_MIME and f["name"] == part and cur in f["parents"] and not f["trashed"]:
                found = f
                break
        if found is None:
            found = st.google_make_folder(u, part, cur)
        cur = found["id"]
    return cur


def generate(st, obj):
    """`count` files of `size` bytes each (generated when read, never stored)
    in one folder, named "<prefix> 00001<ext>" and on: a folder of ten
    thousand in a fraction of a second."""
    svc = service_of(obj)
    count, size = obj.get("count"), obj.get("size", 0)
    need(isinstance(count, int) and 1 <= count <= 1000000, "count: 1 to 1000000 files")
    need(isinstance(size, int) and size >= 0, "size must be a whole number of bytes")
    prefix, ext = str(obj.get("prefix", "file")), str(obj.get("ext", ".bin"))
    mime = obj.get("mimeType") or mimetypes.guess_type("x" + ext)[0] or "application/octet-stream"
    with st.lock:
        u = user_of(st, svc, obj.get("email"))
        if svc == "dropbox":
            folder = obj.get("folder", "")
            need(isinstance(folder, str) and (folder == "" or folder.startswith("/")) and not folder.endswith("/"),
                 "folder must look like /Folder/Sub (or \"\" for the root)")
            need(st.dropbox_ensure_folders(u, folder), "a file is in the way")
            folder = u["files"][folder.lower()]["path_display"]
            seed = folder + "/" + prefix
            for n in range(1, count + 1):
                st.dropbox_put_file(u, "%s/%s %05d%s" % (folder, prefix, n, ext), Content(size, pattern=seed))
        else:
            parent = google_parent(st, u, obj.get("folder"))
            for n in range(1, count + 1):
                st.google_put_file(u, "%s %05d%s" % (prefix, n, ext), mime, parent, Content(size, pattern=parent + prefix))
    return json_response({"ok": True, "count": count})


def dispatch(server, req):
    st = server.state
    path = req.path.rstrip("/") or "/"
    m = req.method
    if path == "/" and m == "GET":
        return Response(200, HELP, content_type="text/plain; charset=utf-8")
    if path == "/health":
        return json_response({"ok": True, "port": server.port, "auto": st.auto["enabled"]})
    if path == "/reset" and m == "POST":
        req.drain()
        st.reset()
        return json_response({"ok": True})
    if path == "/state" and m == "GET":
        with st.lock:
            return json_response({
                "rules": st.rules, "clock_offset": st.clock_offset,
                "auto": st.auto, "tls": st.tls, "sink": st.sink, "token_lifetime": st.token_lifetime,
                "faults": st.faults, "record_last": st.seq,
                "clients": {k: sorted(v) if isinstance(v, set) else v for k, v in st.clients.items()},
                "users": {"dropbox": [user_json("dropbox", u, st) for u in st.db_users.values()],
                          "google": [user_json("google", u, st) for u in st.g_users.values()]}})
    if path == "/auto" and m == "POST":
        obj = body_json(req)
        for k in obj:
            need(k in AUTO_KEYS, "unknown auto setting %r" % k)
        if "consent" in obj:
            need(obj["consent"] in ("allow", "deny"), 'consent must be "allow" or "deny"')
        if "chooser" in obj:
            need(obj["chooser"] in ("pick", "cancel"), 'chooser must be "pick" or "cancel"')
        with st.lock:
            st.auto.update(obj)
            st.auto["enabled"] = bool(st.auto["enabled"])
            return json_response(st.auto)
    if path == "/users":
        if m == "GET":
            svc = req.params.get("service")
            with st.lock:
                out = []
                if svc in (None, "dropbox"):
                    out += [user_json("dropbox", u, st) for u in st.db_users.values()]
                if svc in (None, "google"):
                    out += [user_json("google", u, st) for u in st.g_users.values()]
            return json_response({"users": out})
        if m == "POST":
            obj = body_json(req)
            svc = service_of(obj)
            need(isinstance(obj.get("email"), str) and "@" in obj["email"], "email is required")
            kw = {"given": obj.get("given_name", "User"), "surname": obj.get("surname", "Example"),
                  "used_extra": int(obj.get("used_extra", 0))}
            if svc == "dropbox":
                if "allocated" in obj:
                    kw["allocated"] = int(obj["allocated"])
                u = st.add_dropbox_user(obj["email"], obj.get("password", "password"), **kw)
            else:
                if "quota_total" in obj:
                    kw["quota_total"] = int(obj["quota_total"])
                u = st.add_google_user(obj["email"], obj.get("password", "password"), **kw)
            with st.lock:
                return json_response(user_json(svc, u, st))
    if path == "/files":
        if m == "GET":
            svc = req.params.get("service", "dropbox")
            need(svc in ("dropbox", "google"), "bad service")
            with st.lock:
                u = user_of(st, svc, req.params.get("email"))
                files = [file_json(svc, f, u) for k, f in sorted(u["files"].items())
                         if not (svc == "dropbox" and k == "") and not (svc == "google" and k == u["root_id"])]
            return json_response({"files": files})
        if m == "POST":
            obj = body_json(req)
            svc = service_of(obj)
            with st.lock:
                u = user_of(st, svc, obj.get("email"))
                if svc == "dropbox":
                    p = obj.get("path")
                    need(isinstance(p, str) and p.startswith("/") and not p.endswith("/"), "path must look like /Folder/name.ext")
                    if obj.get("folder"):
                        need(st.dropbox_ensure_folders(u, p), "a file is in the way")
                        f = u["files"][p.lower()]
                    else:
                        f = st.dropbox_put_file(u, p, content_from(obj))
                else:
                    need(isinstance(obj.get("name"), str) and obj["name"], "name is required")
                    pid = google_parent(st, u, obj.get("parent"))
                    if obj.get("folder"):
                        f = st.google_make_folder(u, obj["name"], pid)
                    else:
                        f = st.google_put_file(u, obj["name"], obj.get("mimeType", "application/octet-stream"),
                                               pid, content_from(obj))
                return json_response(file_json(svc, f, u))
    if path == "/files/generate" and m == "POST":
        return generate(st, body_json(req))
    if path == "/files/content" and m == "GET":
        svc = req.params.get("service", "dropbox")
        with st.lock:
            u = user_of(st, svc, req.params.get("email"))
            if svc == "dropbox":
                f = u["files"].get((req.params.get("path") or "").lower())
            else:
                f = u["files"].get(req.params.get("id") or "")
                if f is None and req.params.get("name"):
                    f = next((x for x in u["files"].values() if x["name"] == req.params["name"] and x.get("content")), None)
        need(f is not None and f.get("content") is not None, "no such file", 404)
        c = f["content"]
        need(c.available(), "the bytes of this file were not kept; its size is %d and its sha256 %s" % (c.size, c.sha256), 410)
        r = Response(200, stream=c.blocks(), length=c.size, content_type="application/octet-stream")
        r.headers.set("X-Fakecloud-Sha256", c.sha256)
        return r
    if path == "/links" and m == "GET":
        # The direct link a Dropbox chooser would hand over for a file.
        from .dropbox import file_links
        with st.lock:
            u = user_of(st, "dropbox", req.params.get("email"))
            f = u["files"].get((req.params.get("path") or "").lower())
            need(f is not None and not f["folder"], "no such file", 404)
            return json_response({"link": file_links(f, u, "direct")["link"]})
    if path == "/tokens/lifetime" and m == "POST":
        obj = body_json(req)
        svc = service_of(obj)
        need(isinstance(obj.get("seconds"), int) and obj["seconds"] >= 0, "seconds must be a whole number, 0 for never")
        with st.lock:
            st.token_lifetime[svc] = obj["seconds"]
            return json_response(st.token_lifetime)
    if path == "/tokens/issue" and m == "POST":
        obj = body_json(req)
        svc = service_of(obj)
        u = user_of(st, svc, obj.get("email"))
        life = obj.get("lifetime")
        client = obj.get("client_id", "fakecloud-test-client")
        refresh, grant = st.issue_token(svc, "refresh", u["email"], client)
        access, payload = st.issue_token(svc, "access", u["email"], client, lifetime=life, extra={"r": grant["n"]})
        if svc == "dropbox":
            out = {"access_token": access, "token_type": "bearer", "account_id": u["account_id"],
                   "uid": u["uid"], "email": u["email"]}
            if st.live:  # today's tokens: short-lived, with a refresh token (offline access)
                out.update({"refresh_token": refresh, "client_id": client,
                            "expires_in": (life if life is not None else st.token_lifetime["dropbox"]) or 0})
            return json_response(out)
        return json_response({"access_token": access, "refresh_token": refresh, "token_type": "Bearer",
                              "expires_in": (life if life is not None else st.token_lifetime["google"]) or 0,
                              "client_id": client, "email": u["email"]})
    if path in ("/tokens/expire", "/revoke") and m == "POST":
        obj = body_json(req)
        svc = service_of(obj)
        with st.lock:
            if obj.get("token"):
                (st.expired_tokens if path == "/tokens/expire" else st.revoked_tokens).add(obj["token"])
                grant, _ = st.check_token(svc, "refresh", obj["token"])
                if grant and path == "/revoke":  # a refresh token: every access token it gave goes with it
                    st.revoked_refresh.add(grant["n"])
            else:
                u = user_of(st, svc, obj.get("email"))
                table = st.expired_before if path == "/tokens/expire" else st.revoked_before
                table[(svc, u["email"].lower())] = st.now()
                if path == "/revoke":
                    st.granted = {g for g in st.granted if g[0] != u["email"].lower()}
        return json_response({"ok": True})
    if path == "/clients" and m == "POST":
        obj = body_json(req)
        svc = service_of(obj)
        ids = obj.get("ids")
        if svc == "dropbox":
            need(ids is None or isinstance(ids, list), "ids: a list of app keys, or null for any")
            st.clients[svc] = set(ids) if ids is not None else None
        else:
            need(ids is None or isinstance(ids, dict), "ids: an object client id -> secret, or null for any")
            st.clients[svc] = dict(ids) if ids is not None else None
        return json_response({"ok": True})
    if path == "/faults":
        if m == "GET":
            with st.lock:
                return json_response({"faults": st.faults})
        if m == "DELETE":
            with st.lock:
                st.faults = []
            return json_response({"ok": True})
        if m == "POST":
            obj = body_json(req)
            need(obj.get("kind") in FAULT_KINDS, "kind must be one of " + ", ".join(FAULT_KINDS))
            need(isinstance(obj.get("path"), str) and obj["path"].startswith("/"), "path is required (exact, or a prefix ending in *)")
            if obj["kind"] == "drop":
                need(obj.get("where", "auto") in ("auto", "request", "response"), "where: auto, request or response")
            if obj["kind"] == "status" or (obj["kind"] == "endless" and "status" in obj):
                need(isinstance(obj.get("status"), int) and 100 <= obj["status"] <= 599, "status is required")
            for k in ("after", "extra"):
                if k in obj:
                    need(isinstance(obj[k], int) and obj[k] >= 0, "%s: a whole number of bytes" % k)
            if obj["kind"] == "pause" and "seconds" in obj:
                need(isinstance(obj["seconds"], (int, float)) and not isinstance(obj["seconds"], bool)
                     and obj["seconds"] >= 0, "seconds: a number, 0 or more")
            f = st.add_fault(obj)
            return json_response(f)
    if path.startswith("/faults/") and m == "DELETE":
        try:
            fid = int(path.rsplit("/", 1)[1])
        except ValueError:
            raise Problem(400, "bad fault id")
        with st.lock:
            before = len(st.faults)
            st.faults = [f for f in st.faults if f["id"] != fid]
            need(len(st.faults) < before, "no such fault", 404)
        return json_response({"ok": True})
    if path == "/clock":
        if m == "POST":
            obj = body_json(req)
            step = obj.get("advance")
            need(isinstance(step, (int, float)) and not isinstance(step, bool) and step >= 0,
                 "advance: seconds, 0 or more (the clock only moves forward)")
            with st.lock:
                st.clock_offset += step
        return json_response({"now": st.now(), "offset": st.clock_offset})
    if path == "/redirects" and m == "POST":
        obj = body_json(req)
        uris = obj.get("uris")
        need(isinstance(obj.get("app_key"), str) and obj["app_key"], "app_key is required")
        need(uris is None or (isinstance(uris, list) and all(isinstance(x, str) for x in uris)),
             "uris: a list of redirect URIs, or null for the default registration")
        with st.lock:
            if uris is None:
                st.db_redirects.pop(obj["app_key"], None)
            else:
                st.db_redirects[obj["app_key"]] = list(uris)
        return json_response({"ok": True})
    if path in ("/cursors/reset", "/sessions/expire") and m == "POST":
        obj = body_json(req)
        services = [service_of(obj)] if "service" in obj else ["dropbox", "google"]
        with st.lock:
            for svc in services:
                if path == "/cursors/reset":
                    st.cursor_epoch[svc] = secrets.token_hex(4)
                else:
                    for sess in (st.db_sessions if svc == "dropbox" else st.g_sessions).values():
                        sess["expired"] = True
        return json_response({"ok": True})
    if path == "/sink" and m == "POST":
        obj = body_json(req)
        for k in obj:
            need(k == "enabled", "unknown sink setting %r" % k)
        need(isinstance(obj.get("enabled"), bool), "enabled: true or false")
        with st.lock:
            st.sink = obj["enabled"]
            return json_response({"enabled": st.sink})
    if path == "/tls" and m == "POST":
        obj = body_json(req)
        need(obj.get("mode") in TLS_MODES, "mode must be one of " + ", ".join(TLS_MODES))
        hosts = obj.get("hosts")
        need(hosts is None or isinstance(hosts, list), "hosts: a list of host names, or null for all")
        with st.lock:
            st.tls = {"mode": obj["mode"], "hosts": [h.lower() for h in hosts] if hosts else None}
        return json_response(st.tls)
    if path == "/record":
        if m == "DELETE":
            with st.lock:
                st.record = []
            return json_response({"ok": True})
        if m == "GET":
            since = int(req.params.get("since", "0") or 0)
            host = req.params.get("host")
            rpath = req.params.get("path")
            with st.lock:
                out = [dict(e) for e in st.record if e["seq"] > since
                       and (not host or e["host"] == host) and (not rpath or e["path"] == rpath)]
                last = st.seq
            return json_response({"requests": out, "last": last})
    if path == "/hosts" and m == "POST":
        obj = body_json(req)
        need(isinstance(obj.get("host"), str), "host is required")
        st.extra_hosts[obj["host"].lower()] = {"status": int(obj.get("status", 200)), "body": obj.get("body", ""),
                                              "content_type": obj.get("content_type", "text/plain")}
        return json_response({"ok": True})
    raise Problem(404, "unknown control call %s %s" % (m, req.path))
