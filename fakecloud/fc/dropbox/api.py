"""Dropbox API v2 on the API host (RPC calls) and its token endpoint."""


from ..http import json_response, text_response
from .authorize import token_endpoint
from .listing import ENDPOINTS, entry_at
from .common import (account_json, api_error, bad_input, bearer, check_path, endpoint_name, file_metadata,
                     free_name, rpc_args)



def api(server, req):
    path = req.path
    if path == "/oauth2/token":
        return token_endpoint(server, req)
    if req.method != "POST":
        return text_response("Only POST is supported for %s" % path, 405)
    u, err = bearer(server, req)
    if err:
        return err
    ep = endpoint_name(path)
    if path == "/2/users/get_account":
        args, err = rpc_args(req)
        if err:
            return err
        aid = args.get("account_id")
        if not isinstance(aid, str) or len(aid) < 40:
            return bad_input(ep, "request body: account_id: '%s' should be at least 40 characters" % (aid,))
        with server.state.lock:
            who = next((x for x in server.state.db_users.values() if x["account_id"] == aid), None)
        if who is None:
            return api_error("no_account", {".tag": "no_account"})
        return json_response(account_json(who))
    if path == "/2/users/get_current_account":
        args, err = rpc_args(req, optional=True)
        if err:
            return err
        out = account_json(u)
        out.update({"country": "US", "locale": "en", "referral_link": "https://db.tt/fakecloud",
                    "is_paired": False, "account_type": {".tag": "basic"},
                    "root_info": {".tag": "user", "root_namespace_id": u["uid"], "home_namespace_id": u["uid"]}})
        return json_response(out)
    if path == "/2/users/get_space_usage":
        args, err = rpc_args(req, optional=True)
        if err:
            return err
        with server.state.lock:
            used = server.state.dropbox_used(u)
        return json_response({"used": used, "allocation": {".tag": "individual", "allocated": u["allocated"]}})
    if path in ("/2/files/create_folder", "/2/files/create_folder_v2"):
        args, err = rpc_args(req)
        if err:
            return err
        fpath = args.get("path")
        bad = check_path(fpath)
        if bad:
            return api_error("path/" + bad, {".tag": "path", "path": {".tag": bad}})
        with server.state.lock:
            low = fpath.lower()
            existing = u["files"].get(low)
            if existing is not None:
                if args.get("autorename"):
                    fpath = free_name(u, fpath)
                    low = fpath.lower()
                else:
                    what = "folder" if existing["folder"] else "file"
                    return api_error("path/conflict/" + what, {".tag": "path", "path": {".tag": "conflict", "conflict": {".tag": what}}})
            if not server.state.dropbox_ensure_folders(u, fpath):
                return api_error("path/conflict/file", {".tag": "path", "path": {".tag": "conflict", "conflict": {".tag": "file"}}})
            meta = file_metadata(u["files"][low])
        return json_response({"metadata": meta} if path.endswith("_v2") else meta)
    if path == "/2/files/get_metadata":
        args, err = rpc_args(req)
        if err:
            return err
        fpath = args.get("path", "")
        bad = check_path(fpath) if not str(fpath).startswith("id:") else None
        if bad:
            return api_error("path/" + bad, {".tag": "path", "path": {".tag": bad}})
        with server.state.lock:
            e = entry_at(u, fpath)
            if e is None:
                return api_error("path/not_found", {".tag": "path", "path": {".tag": "not_found"}})
            return json_response(file_metadata(e, tag=True))
    if path in ENDPOINTS:
        return ENDPOINTS[path](server, req, u)
    return text_response("Unknown API function: \"%s\"" % ep, 404)
