"""Drive's search language, as far as clients use it."""

import re

from .common import gerror



class QueryError(Exception):
    pass


def parse_q(q):
    """The part of Drive's search language the clients use: terms joined by
    `and`: name/mimeType (=, !=, contains), trashed (=, !=), '<id>' in parents."""
    tests = []
    pos = 0
    n = len(q)

    def skip():
        nonlocal pos
        while pos < n and q[pos] == " ":
            pos += 1

    def string():
        nonlocal pos
        if pos >= n or q[pos] != "'":
            raise QueryError("expected a quoted value")
        pos += 1
        out = ""
        while pos < n and q[pos] != "'":
            if q[pos] == "\\" and pos + 1 < n:
                pos += 1
            out += q[pos]
            pos += 1
        if pos >= n:
            raise QueryError("unterminated string")
        pos += 1
        return out

    while True:
        skip()
        negate = False
        if q[pos:pos + 4].lower() == "not ":
            negate = True
            pos += 4
            skip()
        if pos < n and q[pos] == "'":
            value = string()
            skip()
            if q[pos:pos + 2].lower() != "in":
                raise QueryError("expected in")
            pos += 2
            skip()
            m = re.match(r"parents\b", q[pos:])
            if not m:
                raise QueryError("expected parents")
            pos += m.end()
            tests.append((negate, "parent", "in", value))
        else:
            m = re.match(r"(name|mimeType|trashed|fullText|starred)\s*(=|!=|contains)\s*", q[pos:])
            if not m:
                raise QueryError("unknown term at %d" % pos)
            pos += m.end()
            field, op = m.group(1), m.group(2)
            if field in ("trashed", "starred"):
                m2 = re.match(r"(true|false)\b", q[pos:])
                if not m2 or op == "contains":
                    raise QueryError("expected true or false")
                pos += m2.end()
                tests.append((negate, field, op, m2.group(1) == "true"))
            else:
                tests.append((negate, field, op, string()))
        skip()
        if pos >= n:
            return tests
        if q[pos:pos + 4].lower() != "and ":
            raise QueryError("only 'and' joins are understood")
        pos += 4


def matches(u, f, tests):
    for negate, field, op, value in tests:
        if field == "parent":
            pid = u["root_id"] if value == "root" else value
            ok = pid in f["parents"]
        elif field in ("trashed", "starred"):
            have = f["trashed"] if field == "trashed" else False
            ok = (have == value) if op == "=" else (have != value)
        else:
            have = f["name"] if field in ("name", "fullText") else f["mimeType"]
            if op == "=":
                ok = have == value
            elif op == "!=":
                ok = have != value
            else:
                ok = value.lower() in have.lower()
        if negate:
            ok = not ok
        if not ok:
            return False
    return True


def invalid_q():
    return gerror(400, "Invalid Value", "invalid", status="INVALID_ARGUMENT", location="q", location_type="parameter")
