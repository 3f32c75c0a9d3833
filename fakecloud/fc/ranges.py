"""Downloads that stream, whole or by byte range (RFC 9110 `Range: bytes=`),
as the services' download hosts answer them."""

import re

from .http import Response

RANGE = re.compile(r"^bytes=(\d*)-(\d*)$")


def byte_range(header, size):
    """(start, end) with `end` excluded, None for the whole file (no header,
    or one that is not a single byte range), or "unsatisfiable"."""
    m = RANGE.match((header or "").replace(" ", ""))
    if not m or not (m.group(1) or m.group(2)):
        return None
    if not m.group(1):  # the last N bytes
        n = int(m.group(2))
        return (max(0, size - n), size) if n else "unsatisfiable"
    start = int(m.group(1))
    end = min(int(m.group(2)) + 1, size) if m.group(2) else size
    if start >= size or end <= start:
        return "unsatisfiable"
    return start, end


def download(req, content, content_type="application/octet-stream", headers=None):
    """The file's bytes, streamed from where they are (never held whole):
    200, or 206 with Content-Range for a byte range, or 416."""
    span = byte_range(req.hdr("Range"), content.size)
    if span == "unsatisfiable":
        r = Response(416, b"", content_type=content_type)
        r.headers.set("Content-Range", "bytes */%d" % content.size)
    elif span is None:
        r = Response(200, stream=content.blocks(), length=content.size, content_type=content_type)
    else:
        start, end = span
        r = Response(206, stream=content.blocks(start, end), length=end - start, content_type=content_type)
        r.headers.set("Content-Range", "bytes %d-%d/%d" % (start, end - 1, content.size))
    r.headers.set("Accept-Ranges", "bytes")
    for k, v in (headers or {}).items():
        r.headers.set(k, v)
    return r
