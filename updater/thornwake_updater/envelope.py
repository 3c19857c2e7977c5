"""feed.signed: the feed and its signature in one file.

  {"envelope": 1, "feed": "<base64 of the exact feed bytes>", "signature": "<128 hex digits>"}

One file cannot pair a feed with the signature of another publication, as two
files could while an upload is under way or when a cache holds them at
different ages. It is fetched past caches (Cache-Control and Pragma no-cache,
and a random query on http and https) and bounded in size and time.

What arrives cut short or garbled is a network failure, never a signature
failure: only an envelope that is whole (JSON, base64 that decodes, a
signature of 128 hex digits) whose signature no trusted key made is refused
as unsigned.
"""

import base64
import binascii
import json
import secrets
import urllib.parse

from . import ed25519, transfer
from .errors import FeedRejected, NetworkError

NAME = "feed.signed"
VERSION = 1
LIMIT = 1 << 20
NO_CACHE = {"Cache-Control": "no-cache", "Pragma": "no-cache"}

_GARBLED = "The update server sent incomplete update information. Try again later."
_UNSIGNED = "The update information is not signed by a trusted key. Try again later."
NEWER = "This update needs a newer Thornwake Launcher. Install the latest one."


def url_of(feed_url):
    """Where the envelope of the feed directory feed_url is fetched: past caches on http(s)."""
    url = feed_url + NAME
    if urllib.parse.urlsplit(url).scheme.lower() in ("http", "https"):
        url += "?t=" + secrets.token_hex(8)
    return url


def fetch(feed_url, limits, deadline):
    """The envelope's bytes; NetworkError when unreachable or cut short."""
    return transfer.get_bytes(url_of(feed_url), LIMIT, limits, deadline, headers=NO_CACHE)


def open_envelope(data, trusted_keys):
    """The feed bytes in the envelope data, signed by one of trusted_keys.

    NetworkError when the envelope is not whole, FeedRejected when no trusted
    key signed it (or it is of a newer envelope version).
    """

    def garbled(reason):
        return NetworkError(_GARBLED, detail="%s: %s" % (NAME, reason))

    try:
        document = json.loads(data.decode("utf-8"))
    except (UnicodeDecodeError, ValueError, RecursionError) as exc:
        raise garbled("not complete JSON (%s)" % exc)
    if not isinstance(document, dict):
        raise garbled("not a JSON object")
    version = document.get("envelope")
    if not isinstance(version, int) or isinstance(version, bool):
        raise garbled("no envelope version")
    if version > VERSION:
        raise FeedRejected(NEWER, detail="%s has envelope version %d; this updater reads %d" % (NAME, version, VERSION))
    feed_text = document.get("feed")
    signature_text = document.get("signature")
    if version != VERSION or not isinstance(feed_text, str) or not isinstance(signature_text, str):
        raise garbled("no feed or no signature")
    try:
        feed = base64.b64decode(feed_text.encode("ascii"), validate=True)
    except (UnicodeEncodeError, binascii.Error) as exc:
        raise garbled("the feed is not base64 (%s)" % exc)
    if len(signature_text) != 2 * ed25519.SIGNATURE_BYTES or not all(c in "0123456789abcdefABCDEF" for c in signature_text):
        raise garbled("the signature is not %d hex digits" % (2 * ed25519.SIGNATURE_BYTES))
    signature = bytes.fromhex(signature_text)
    for key in trusted_keys:
        if ed25519.verify(key, feed, signature):
            return feed
    raise FeedRejected(_UNSIGNED, detail="%s: no trusted key made its signature" % NAME)


def seal(feed, seed):
    """The envelope of the feed bytes, signed with the private key seed (for the publisher and tests)."""
    document = {
        "envelope": VERSION,
        "feed": base64.b64encode(feed).decode("ascii"),
        "signature": ed25519.sign(seed, feed).hex(),
    }
    return (json.dumps(document, separators=(",", ": ")) + "\n").encode("ascii")
