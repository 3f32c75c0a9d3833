"""Dropbox's content host: upload sessions, single uploads, downloads."""

import calendar
import json
import posixpath
import secrets
import time

from ..http import Response, json_response, text_response
from ..content import Upload
from ..state import b64u
from .links import stream_content

SESSION_LIFETIME = 7 * 86400  # an upload session lasts a week (files.stone)
from .common import (api_error, bad_input, bearer, check_path, content_args, endpoint_name, file_metadata,
                     free_name)



def content(server, req):
    path = req.path
    if req.method != "POST":
        return text_response("Only POST is supported for %s" % path, 405)
    u, err = bearer(server, req)
    if err:
        return err
    args, err = content_args(req)
    if err:
        return err
    st = server.state
    if path == "/2/files/upload_session/start":
        sid = "pid_upload_session:" + b64u(secrets.token_bytes(30))
        sess = {"email": u["email"], "upload": Upload(st.sink, "content_hash"), "closed": bool(args.get("close")), "created": st.now()}
        if not receive(req, sess, atomic=True):
            return broken_body()
        with st.lock:
            st.db_sessions[sid] = sess
        return json_response({"session_id": sid})
    if path in ("/2/files/upload_session/append_v2", "/2/files/upload_session/append"):
        cursor = args.get("cursor") if path.endswith("_v2") else args
        if not isinstance(cursor, dict) or not isinstance(cursor.get("session_id"), str) or not isinstance(cursor.get("offset"), int):
            return bad_input(endpoint_name(path), "HTTP header \"Dropbox-API-Arg\": cursor: missing required field")
        with st.lock:
            sess = open_session(st, cursor["session_id"])
            committed = st.db_committed.get(cursor["session_id"])
        if committed is not None and committed.lower() == u["email"].lower():
            return api_error("closed", {".tag": "closed"})
        if sess is None or sess["email"].lower() != u["email"].lower():
            return api_error("not_found", {".tag": "not_found"})
        with sess["upload"].lock:
            if sess["closed"]:
                return api_error("closed", {".tag": "closed"})
            if cursor["offset"] != sess["upload"].size:
                return api_error("incorrect_offset", {".tag": "incorrect_offset", "correct_offset": sess["upload"].size})
            if not receive(req, sess, atomic=True):
                return broken_body()
            if args.get("close"):
                sess["closed"] = True
        return Response(200, b"null", content_type="application/json")
    if path == "/2/files/upload_session/finish":
        cursor = args.get("cursor")
        commit = args.get("commit")
        if not isinstance(cursor, dict) or not isinstance(commit, dict) or not isinstance(cursor.get("offset"), int):
            return bad_input(endpoint_name(path), "HTTP header \"Dropbox-API-Arg\": missing required field")
        sid = cursor.get("session_id")
        closed = api_error("lookup_failed/closed", {".tag": "lookup_failed", "lookup_failed": {".tag": "closed"}})
        with st.lock:
            sess = open_session(st, sid)
            committed = st.db_committed.get(sid) if isinstance(sid, str) else None
        if committed is not None and committed.lower() == u["email"].lower():
            return closed  # finished already: the session is spent
        if sess is None or sess["email"].lower() != u["email"].lower():
            return api_error("lookup_failed/not_found", {".tag": "lookup_failed", "lookup_failed": {".tag": "not_found"}})
        with sess["upload"].lock:
            if sess.get("committed"):
                return closed  # a finish of the same session that ran at the same time won
            if cursor["offset"] != sess["upload"].size:
                return api_error("lookup_failed/incorrect_offset",
                                 {".tag": "lookup_failed", "lookup_failed": {".tag": "incorrect_offset",
                                                                           "correct_offset": sess["upload"].size}})
            if not receive(req, sess, atomic=True):
                return broken_body()
            resp = commit_file(st, u, commit, sess["upload"].content(), endpoint_name(path))
            if resp.status == 200:
                sess["committed"] = True
                with st.lock:
                    st.db_sessions.pop(sid, None)
                    st.db_committed[sid] = u["email"]
            return resp
    if path == "/2/files/upload":
        sess = {"email": u["email"], "upload": Upload(st.sink, "content_hash"), "closed": False}
        if not receive(req, sess, atomic=True):
            return broken_body()
        return commit_file(st, u, args, sess["upload"].content(), endpoint_name(path))
    if path == "/2/files/download":
        fpath = args.get("path")
        with st.lock:
            e = u["files"].get(fpath.lower()) if isinstance(fpath, str) else None
        if e is None or e["folder"]:
            return api_error("path/not_found", {".tag": "path", "path": {".tag": "not_found"}})
        return stream_content(req, e["content"], e["name"], {"Dropbox-API-Result": json.dumps(file_metadata(e))})
    return text_response("Unknown API function: \"%s\"" % endpoint_name(path), 404)


def open_session(st, sid):
    """The upload session, unless unknown or expired (7 days by the clock, or
    expired by the control API): Dropbox then no longer knows it."""
    sess = st.db_sessions.get(sid) if isinstance(sid, str) else None
    if sess is not None and (sess.get("expired") or st.now() - sess["created"] > SESSION_LIFETIME):
        del st.db_sessions[sid]
        return None
    return sess


def broken_body():
    """The body did not arrive whole (the connection is being dropped)."""
    return Response(400, b"", content_type="text/plain")


def receive(req, sess, atomic):
    """Takes the request body into the session. An append is all or nothing:
    a body that breaks off leaves the session as it was."""
    up = sess["upload"]
    first = up.size == 0
    saved = up.snapshot()
    for view in req.iter_body():
        up.add(view, hash_it=not first)
    if not req.body_done:
        if atomic:
            up.restore(saved)
        return False
    if first:
        up.take_over(req.hasher)
    return True


def commit_file(st, u, commit, content, ep):
    path = commit.get("path")
    bad = check_path(path)
    if bad:
        return api_error("path/" + bad, {".tag": "path", "path": {".tag": bad}})
    client_modified = commit.get("client_modified")
    if client_modified is not None:
        try:
            client_modified = calendar.timegm(time.strptime(client_modified, "%Y-%m-%dT%H:%M:%SZ"))
        except (TypeError, ValueError):
            return bad_input(ep, 'HTTP header "Dropbox-API-Arg": client_modified: '
                                 'timestamp does not match format \'%Y-%m-%dT%H:%M:%SZ\'')
    mode = commit.get("mode", "add")
    if isinstance(mode, dict):
        mode = mode.get(".tag", "add")
    with st.lock:
        existing = u["files"].get(path.lower())
        replacing = 0
        if existing is not None:
            if existing["folder"]:
                if not commit.get("autorename"):
                    return api_error("path/conflict/folder", {".tag": "path", "reason": {".tag": "conflict", "conflict": {".tag": "folder"}},
                                                              "path": {".tag": "conflict", "conflict": {".tag": "folder"}}})
                path = free_name(u, path)
            elif mode == "overwrite":
                replacing = existing["content"].size
            elif commit.get("autorename"):
                path = free_name(u, path)
            else:
                return api_error("path/conflict/file", {".tag": "path", "reason": {".tag": "conflict", "conflict": {".tag": "file"}},
                                                        "path": {".tag": "conflict", "conflict": {".tag": "file"}}})
        if st.dropbox_used(u) - replacing + content.size > u["allocated"]:
            return api_error("path/insufficient_space", {".tag": "path", "reason": {".tag": "insufficient_space"},
                                                         "path": {".tag": "insufficient_space"}})
        parent = posixpath.dirname(path)
        if not st.dropbox_ensure_folders(u, parent):
            return api_error("path/conflict/file", {".tag": "path", "path": {".tag": "conflict", "conflict": {".tag": "file"}}})
        # Keep the letter case of existing folders, as Dropbox does.
        pe = u["files"].get(parent.lower())
        display = ((pe["path_display"] if pe else "") + "/" + posixpath.basename(path)) if parent != "/" else path
        entry = st.dropbox_put_file(u, display, content)
        if client_modified is not None:
            entry["client_modified"] = client_modified
        return json_response(file_metadata(entry))
