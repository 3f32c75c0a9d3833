"""OAuth rules both services apply today: PKCE (RFC 7636), loopback
redirects (RFC 8252) and the refusal of embedded browser engines."""

import base64
import hashlib
import hmac
import re
from urllib.parse import urlsplit

# User-Agent markers of engines embedded in an app: Google refuses them all
# (QtWebKit and QtWebEngine in desktop apps, "; wv)" in Android web views).
# QtWebKit 5.212 names no engine: "Mozilla/5.0 (Unknown; Linux x86_64)
# AppleWebKit/602.1 (KHTML, like Gecko) <app> Version/10.0 Safari/602.1".
EMBEDDED_MARKERS = ("QtWebKit", "QtWebEngine", "; wv)", "AppleWebKit/602.1")
VERIFIER = re.compile(r"^[A-Za-z0-9\-._~]{43,128}$")


def embedded(req):
    agent = req.hdr("User-Agent") or ""
    return any(m in agent for m in EMBEDDED_MARKERS)


def s256(verifier):
    return base64.urlsafe_b64encode(hashlib.sha256(verifier.encode("ascii")).digest()).rstrip(b"=").decode("ascii")


def verifier_matches(code, verifier):
    """Whether the token request's code_verifier matches the challenge that
    came with the authorization request (a code without one needs none)."""
    challenge = code.get("code_challenge")
    if not challenge:
        return True
    if not verifier or not VERIFIER.match(verifier):
        return False
    want = s256(verifier) if code.get("code_challenge_method", "plain") == "S256" else verifier
    return hmac.compare_digest(want, challenge)


def loopback(uri, hosts=("127.0.0.1", "localhost")):
    """http://127.0.0.1:<any port>/... or http://localhost:<any port>/..."""
    try:
        p = urlsplit(uri)
        p.port  # noqa: B018 (a bad port raises)
    except ValueError:
        return False
    return p.scheme == "http" and p.hostname in hosts
