"""Dropbox: listing folders page by page (cursors), search, and temporary
links that stream."""

import bisect
import json

from .. import pages
from ..http import json_response
from .common import api_error, bad_input, check_path, endpoint_name, file_metadata, rpc_args
from .links import temporary_link

PAGE_LIMIT = 2000     # list_folder's `limit`: 1 to 2000 (files.stone); also the page size when none is asked
SEARCH_DEFAULT, SEARCH_LIMIT = 100, 1000  # search_v2's max_results
NOT_FOUND = ("path/not_found", {".tag": "path", "path": {".tag": "not_found"}})


def entry_at(u, path):
    """The entry at a path ("" is the root) or an "id:" of Dropbox's."""
    if path.startswith("id:"):
        return next((e for e in u["files"].values() if e["id"] == path), None)
    return u["files"].get(path.lower())


def cursor(st, u, **fields):
    return pages.sign(json.dumps(dict(fields, e=u["email"].lower(), g=st.cursor_epoch["dropbox"])))


def read_cursor(st, u, text, kind):
    """(fields, None), or (None, the answer): a cursor made before a reset answers `reset`."""
    try:
        c = json.loads(pages.unsign(text) or "null") if isinstance(text, str) else None
    except ValueError:
        c = None
    if not isinstance(c, dict) or c.get("k") != kind or c.get("e") != u["email"].lower():
        return None, "invalid"
    return (c, None) if c["g"] == st.cursor_epoch["dropbox"] else (None, "reset")


def page(st, u, c):
    """One page of a folder's listing, after the cursor's last path."""
    paths = st.sorted_paths(u)
    prefix = c["p"] + "/"
    i = bisect.bisect_right(paths, c["a"]) if c["a"] else bisect.bisect_left(paths, prefix)
    out, last = [], c["a"]
    while i < len(paths) and paths[i].startswith(prefix) and len(out) < c["l"]:
        if c["r"] or "/" not in paths[i][len(prefix):]:
            out.append(file_metadata(u["files"][paths[i]], tag=True))
        last = paths[i]
        i += 1
    while i < len(paths) and paths[i].startswith(prefix) and not c["r"] and "/" in paths[i][len(prefix):]:
        last, i = paths[i], i + 1  # what is left is deeper down: no more pages
    more = i < len(paths) and paths[i].startswith(prefix)
    return json_response({"entries": out, "cursor": cursor(st, u, **dict(c, a=last)), "has_more": more})


def list_folder(server, req, u):
    st, ep = server.state, endpoint_name(req.path)
    args, err = rpc_args(req)
    if err:
        return err
    if req.path.endswith("/continue"):
        c, problem = read_cursor(st, u, args.get("cursor"), "list")
        if problem == "reset":
            return api_error("reset", {".tag": "reset"})
        if problem:
            return bad_input(ep, 'Invalid "cursor" parameter: %r' % (args.get("cursor"),))
        with st.lock:
            if c["p"] and c["p"] not in u["files"]:
                return api_error(*NOT_FOUND)
            return page(st, u, c)
    path, limit = args.get("path", ""), args.get("limit", PAGE_LIMIT)
    if not isinstance(limit, int) or isinstance(limit, bool) or not 1 <= limit <= PAGE_LIMIT:
        return bad_input(ep, "request body: limit: %r is not within the range [1, %d]" % (limit, PAGE_LIMIT))
    bad = check_path(path, allow_root=True) if not str(path).startswith("id:") else None
    if bad:
        return api_error("path/" + bad, {".tag": "path", "path": {".tag": bad}})
    with st.lock:
        e = entry_at(u, path)
        if e is None:
            return api_error(*NOT_FOUND)
        if not e["folder"]:
            return api_error("path/not_folder", {".tag": "path", "path": {".tag": "not_folder"}})
        return page(st, u, {"k": "list", "p": e["path_display"].lower(), "r": bool(args.get("recursive")), "l": limit,
                            "a": ""})


def search(server, req, u):
    st, ep = server.state, endpoint_name(req.path)
    args, err = rpc_args(req)
    if err:
        return err
    if req.path.endswith("/continue_v2"):
        c, problem = read_cursor(st, u, args.get("cursor"), "search")
        if problem:
            return bad_input(ep, 'Invalid "cursor" parameter: %r' % (args.get("cursor"),))
    else:
        options = args.get("options") or {}
        query, limit = args.get("query"), options.get("max_results", SEARCH_DEFAULT)
        if not isinstance(query, str) or not query.strip() or len(query) > 1000:
            return bad_input(ep, "request body: query: a text of 1 to 1000 characters is required")
        if not isinstance(limit, int) or isinstance(limit, bool) or not 1 <= limit <= SEARCH_LIMIT:
            return bad_input(ep, "request body: options.max_results: %r is not within the range [1, %d]"
                             % (limit, SEARCH_LIMIT))
        scope = options.get("path", "")
        if check_path(scope, allow_root=True):
            return api_error("path/malformed_path", {".tag": "path", "path": {".tag": "malformed_path"}})
        c = {"k": "search", "q": query.lower().split(), "p": scope.lower(), "l": limit, "o": 0}
    with st.lock:
        found = [p for p in st.sorted_paths(u) if p.startswith(c["p"] + "/")
                 and all(t in u["files"][p]["name"].lower() for t in c["q"])]
        shown = found[c["o"]:c["o"] + c["l"]]
        out = {"matches": [{"match_type": {".tag": "filename"},
                            "metadata": {".tag": "metadata", "metadata": file_metadata(u["files"][p], tag=True)}}
                           for p in shown],
               "has_more": c["o"] + c["l"] < len(found)}
        if out["has_more"]:
            out["cursor"] = cursor(st, u, **dict(c, o=c["o"] + c["l"]))
    return json_response(out)


def get_temporary_link(server, req, u):
    args, err = rpc_args(req)
    if err:
        return err
    path = args.get("path")
    if not isinstance(path, str) or (check_path(path) and not path.startswith("id:")):
        return api_error("path/malformed_path", {".tag": "path", "path": {".tag": "malformed_path"}})
    with server.state.lock:
        e = entry_at(u, path)
        if e is None:
            return api_error(*NOT_FOUND)
        if e["folder"]:
            return api_error("path/not_file", {".tag": "path", "path": {".tag": "not_file"}})
        return json_response({"metadata": file_metadata(e), "link": temporary_link(server.state, u, e)})


ENDPOINTS = {"/2/files/list_folder": list_folder, "/2/files/list_folder/continue": list_folder,
             "/2/files/search_v2": search, "/2/files/search/continue_v2": search,
             "/2/files/get_temporary_link": get_temporary_link}
