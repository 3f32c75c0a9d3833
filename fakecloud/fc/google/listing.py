"""Drive's files.list: a search in Drive's query language, sorted, page by
page with page tokens, with only the fields asked for."""

import json

from .. import pages
from ..state import FOLDER_MIME
from .common import V3_DEFAULT, cacheable, gerror, select, split_fields, v3_file, wanted
from .query import QueryError, invalid_q, matches, parse_q

PAGE_DEFAULT, PAGE_LIMIT = 100, 1000  # pageSize: 100 unless asked, at most 1000


def invalid(location, message="Invalid Value"):
    return gerror(400, message, "invalid", status="INVALID_ARGUMENT", location=location, location_type="parameter")


def sort(found, order):
    found.sort(key=lambda f: f["name"].lower())
    for k in reversed([k.strip() for k in order.split(",") if k.strip()]):
        desc = k.endswith(" desc")
        k = k.split()[0]
        if k == "folder":
            found.sort(key=lambda f: f["mimeType"] != FOLDER_MIME, reverse=desc)
        elif k in ("name", "name_natural"):
            found.sort(key=lambda f: f["name"].lower(), reverse=desc)
        elif k in ("createdTime", "modifiedTime", "recency"):
            found.sort(key=lambda f: f["created"], reverse=desc)
        elif k == "quotaBytesUsed":
            found.sort(key=lambda f: f["content"].size if f.get("content") else 0, reverse=desc)


def search(st, u, q, order):
    """The ids the search finds, in order; kept while the user's files stay
    the same in number (files are never removed, renamed or moved)."""
    key = (u["email"].lower(), len(u["files"]), q, order)
    ids = st.listings.get(key)
    if ids is None:
        tests = parse_q(q) if q.strip() else []
        found = [f for f in u["files"].values() if f["id"] != u["root_id"] and matches(u, f, tests)]
        sort(found, order)
        if len(st.listings) > 32:
            st.listings.clear()
        ids = st.listings[key] = [f["id"] for f in found]
    return ids


def files_list(server, req, u):
    st, p = server.state, req.params
    q, order, size = p.get("q", ""), p.get("orderBy", ""), p.get("pageSize", str(PAGE_DEFAULT))
    if not size.isdigit() or not 1 <= int(size) <= PAGE_LIMIT:
        return invalid("pageSize", "Invalid value '%s'. Values must be within the range: [1, %d]" % (size, PAGE_LIMIT))
    start = 0
    if "pageToken" in p:  # made for this user, this search and this order, since the last reset
        try:
            t = json.loads(pages.unsign(p["pageToken"]) or "null")
            if [t["e"], t["q"], t["ob"], t["g"]] != [u["email"].lower(), q, order, st.cursor_epoch["google"]]:
                raise ValueError
            start = int(t["o"])
        except (TypeError, ValueError, KeyError):
            return invalid("pageToken")
    fields = split_fields(p["fields"]) if p.get("fields") else None
    want = wanted(fields, "files") if fields else V3_DEFAULT
    with st.lock:
        try:
            ids = search(st, u, q, order)
        except QueryError:
            return invalid_q()
        files = [v3_file(u, u["files"][i], want) for i in ids[start:start + int(size)]]
    listing = {"kind": "drive#fileList"}
    if start + int(size) < len(ids):
        listing["nextPageToken"] = pages.sign(json.dumps({"e": u["email"].lower(), "q": q, "ob": order,
                                                          "g": st.cursor_epoch["google"], "o": start + int(size)}))
    listing.update({"incompleteSearch": False, "files": files})
    if fields:
        listing = select(listing, fields)
    else:
        listing["files"] = [select(f, V3_DEFAULT) for f in files]
    return cacheable(req, listing)
