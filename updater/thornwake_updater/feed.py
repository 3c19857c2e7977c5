"""The feed: the signed description of a region's current releases.

A feed directory holds feed.signed (the feed and its signature in one file,
see envelope.py), packs/ and objects/. The feed:

  {
    "format": 2,
    "region": "<region id>",
    "sequence": <integer, raised by every publication>,
    "expires": "YYYY-MM-DDTHH:MM:SSZ",
    "mirrors": ["https://cdn-a.example.com/thornwake/production/", ...],
    "client": {"releaseId": ..., "sourceRevision": ..., "worldVersion": ...,
               "manifest": <object reference>,
               "manifestPatches": [{"from": <sha256 of an earlier manifest>,
                                    "patch": <object reference>}, ...]},
    "launcher": {"version": "<16 hex digits>", "manifest": <object reference>}
  }

"launcher" may be absent, and so may "manifestPatches": each patch makes the
manifest from an earlier release's (patch.py), so an update from that release
fetches the changed lines rather than the whole manifest. "mirrors" (optional)
are the base URLs packs and objects are fetched from; without it, the feed
directory itself. An object reference is {"sha256": <hex of the content>,
"size": <content bytes>, "encoding": "identity" | "zlib", "storedSize":
<bytes as stored>}, for a stand-alone object (objects/ab/<sha256>, with ".z"
when compressed).

The signature is checked before anything in the feed is looked at. The
sequence of every accepted feed is kept per region, and a lower one is never
accepted again, so a server (or whoever sits in front of it) cannot roll a
player back to an older, perhaps vulnerable, release. The expiry keeps a
stale feed from being replayed forever.
"""

import datetime
import json
import os
import re
import time

from . import chunks, envelope, fsutil, transport
from .errors import FeedRejected
from .record import Record

FORMAT = 2
FEED_LIMIT = envelope.LIMIT
MAX_SEQUENCE = 2**53
MAX_MIRRORS = 16
MAX_PATCHES = 16

RELEASE_ID = re.compile(r"\A[A-Za-z0-9][A-Za-z0-9._-]{0,63}\Z")
WORLD_VERSION = re.compile(r"\A[0-9]{1,9}\.[0-9]{1,9}\.[0-9]{1,9}\.[0-9a-f]{12}\Z")
LAUNCHER_VERSION = re.compile(r"\A[0-9a-f]{16}\Z")
SOURCE_REVISION = re.compile(r"\A[0-9A-Za-z._-]{1,128}\Z")
SHA256_HEX = re.compile(r"\A[0-9a-f]{64}\Z")
TIME_FORMAT = "%Y-%m-%dT%H:%M:%SZ"
ENCODINGS = ("identity", "zlib")

_DAMAGED = "The update information from the server is damaged. Try again later."
_EXPIRED = "The update information has expired. Retry later, or check the clock."
_ROLLBACK = "The server sent older update information than before. Try again later."
_OTHER_REGION = "The server sent update information for another region. Try again later."


class ObjectRef(Record):
    """A content-addressed object as a feed or manifest refers to it."""

    def __init__(self, sha256, size, encoding="identity", stored_size=None):
        self.sha256 = sha256
        self.size = size
        self.encoding = encoding
        # The bytes as stored: the size unless given.
        self.stored_size = size if stored_size is None else stored_size

    def chunk(self):
        """The object as the fetch engine takes it: stand-alone, whole."""
        return chunks.Chunk(self.sha256, self.size, self.stored_size, self.encoding)

    def to_json(self):
        return {"sha256": self.sha256, "size": self.size, "encoding": self.encoding, "storedSize": self.stored_size}

    @staticmethod
    def from_json(value, what, error=FeedRejected, message=_DAMAGED):
        def bad(reason):
            return error(message, detail="%s: %s" % (what, reason))

        if not isinstance(value, dict):
            raise bad("not an object reference")
        digest = value.get("sha256")
        size = value.get("size")
        encoding = value.get("encoding", "identity")
        stored = value.get("storedSize", size)
        if not isinstance(digest, str) or not SHA256_HEX.match(digest):
            raise bad("sha256 is not 64 lowercase hex digits")
        for name, number in (("size", size), ("storedSize", stored)):
            if not _is_int(number) or number < 0 or number > 2**50:
                raise bad("%s is not a byte count" % name)
        if encoding not in ENCODINGS:
            raise bad("unknown encoding %r" % (encoding,))
        if encoding == "identity" and stored != size:
            raise bad("storedSize differs from size for an identity object")
        return ObjectRef(digest, size, encoding, stored)


class ClientRelease(Record):
    def __init__(self, release_id, source_revision, world_version, manifest, manifest_patches=None):
        self.release_id = release_id
        self.source_revision = source_revision
        self.world_version = world_version
        self.manifest = manifest
        # The SHA-256 of an earlier manifest -> the reference of the patch that makes this one of it.
        self.manifest_patches = manifest_patches or {}


class LauncherRelease(Record):
    def __init__(self, version, manifest):
        self.version = version
        self.manifest = manifest


class Feed(Record):
    def __init__(self, base_url, region, sequence, expires, client, launcher, mirrors, raw):
        self.base_url = base_url
        self.region = region
        self.sequence = sequence
        self.expires = expires
        self.client = client
        # None when the feed offers no launcher.
        self.launcher = launcher
        # Where packs and objects come from: the feed's mirrors, else its own directory.
        self.mirrors = mirrors
        self.raw = raw


def _is_int(value):
    return isinstance(value, int) and not isinstance(value, bool)


def parse_time(text):
    if not isinstance(text, str):
        raise ValueError("not a string")
    parsed = datetime.datetime.strptime(text, TIME_FORMAT)
    return parsed.replace(tzinfo=datetime.timezone.utc)


def format_time(moment):
    return moment.astimezone(datetime.timezone.utc).strftime(TIME_FORMAT)


def parse_feed(data, base_url):
    """The Feed in already verified bytes; FeedRejected when malformed."""

    def bad(reason):
        return FeedRejected(_DAMAGED, detail="feed: %s" % reason)

    try:
        document = json.loads(data.decode("utf-8"))
    except (UnicodeDecodeError, ValueError, RecursionError) as exc:
        raise bad("not JSON (%s)" % exc)
    if not isinstance(document, dict):
        raise bad("top level is not an object")
    version = document.get("format")
    if _is_int(version) and version > FORMAT:
        raise FeedRejected(envelope.NEWER, detail="the feed has format %d; this updater reads format %d" % (version, FORMAT))
    if version != FORMAT or not _is_int(version):
        raise bad("unsupported format %r" % (version,))
    region = document.get("region")
    if not isinstance(region, str):
        raise bad("no region")
    sequence = document.get("sequence")
    if not _is_int(sequence) or sequence < 0 or sequence > MAX_SEQUENCE:
        raise bad("sequence is not a non-negative integer")
    try:
        expires = parse_time(document.get("expires"))
    except ValueError:
        raise bad("expires is not a time like 2027-01-31T00:00:00Z")
    client = document.get("client")
    if not isinstance(client, dict):
        raise bad("no client release")
    release_id = client.get("releaseId")
    if not isinstance(release_id, str) or not RELEASE_ID.match(release_id):
        raise bad("client releaseId %r is not a valid release name" % (release_id,))
    revision = client.get("sourceRevision")
    if not isinstance(revision, str) or not SOURCE_REVISION.match(revision):
        raise bad("client sourceRevision is not valid")
    world = client.get("worldVersion")
    if not isinstance(world, str) or not WORLD_VERSION.match(world):
        raise bad("client worldVersion %r is not valid" % (world,))
    manifest = ObjectRef.from_json(client.get("manifest"), "client manifest")
    client_release = ClientRelease(release_id, revision, world, manifest, _patches(client.get("manifestPatches", []), bad))
    launcher_release = None
    launcher = document.get("launcher")
    if launcher is not None:
        if not isinstance(launcher, dict):
            raise bad("launcher is not an object")
        version = launcher.get("version")
        if not isinstance(version, str) or not LAUNCHER_VERSION.match(version):
            raise bad("launcher version %r is not 16 hex digits" % (version,))
        launcher_release = LauncherRelease(version, ObjectRef.from_json(launcher.get("manifest"), "launcher manifest"))
    mirrors = _mirrors(document.get("mirrors", [base_url]), bad)
    return Feed(base_url, region, sequence, expires, client_release, launcher_release, mirrors, data)


def _patches(value, bad):
    if not isinstance(value, list) or len(value) > MAX_PATCHES:
        raise bad("manifestPatches is not a list of at most %d patches" % MAX_PATCHES)
    patches = {}
    for item in value:
        source = item.get("from") if isinstance(item, dict) else None
        if not isinstance(source, str) or not SHA256_HEX.match(source):
            raise bad("a manifest patch does not name the manifest it applies to")
        patches[source] = ObjectRef.from_json(item.get("patch"), "client manifest patch")
    return patches


def _mirrors(value, bad):
    """The mirror base URLs: 1 to MAX_MIRRORS URLs the updater may fetch, each a directory ("/" at the end)."""
    if not isinstance(value, list) or not 0 < len(value) <= MAX_MIRRORS:
        raise bad("mirrors is not a list of 1 to %d URLs" % MAX_MIRRORS)
    for url in value:
        if not isinstance(url, str) or not url.endswith("/") or "?" in url or "#" in url or not transport.allowed_url(url):
            raise bad("mirror %r is not a URL this updater fetches from" % (url,))
    return value


class SequenceState:
    """The highest feed sequence accepted for one region, kept across runs."""

    def __init__(self, path):
        self.path = path

    def load(self):
        try:
            data = fsutil.read_limited(self.path, 64 * 1024)
            value = json.loads(data.decode("utf-8")).get("sequence")
        except FileNotFoundError:
            return None
        except (OSError, ValueError, AttributeError, RecursionError):
            # A damaged state file must not lock the player out; the next accepted feed rewrites it.
            return None
        return value if _is_int(value) else None

    def store(self, sequence):
        fsutil.makedirs(os.path.dirname(self.path))
        fsutil.atomic_write_json(self.path, {"sequence": sequence})


def accept_feed(data, settings, state, now=None):
    """Check the signed feed bytes data for settings' region; the accepted Feed."""
    feed = parse_feed(data, settings.feed_url)
    if feed.region != settings.id:
        raise FeedRejected(_OTHER_REGION, detail="the feed is for region %r, not %r" % (feed.region, settings.id))
    now = now or datetime.datetime.now(datetime.timezone.utc)
    if now >= feed.expires:
        raise FeedRejected(_EXPIRED, detail="the feed expired at %s" % format_time(feed.expires))
    previous = state.load()
    if previous is not None and feed.sequence < previous:
        raise FeedRejected(_ROLLBACK, detail="feed sequence %d is below %d, accepted before" % (feed.sequence, previous))
    if previous is None or feed.sequence > previous:
        state.store(feed.sequence)
    return feed


def fetch_feed(settings, state, limits=transport.DEFAULT_LIMITS, seconds=None, now=None):
    """Fetch the region's feed.signed and accept the feed in it. NetworkError when unreachable or cut short.

    It gets seconds (by default the limits' feed deadline).
    """
    deadline = time.monotonic() + (limits.feed_deadline if seconds is None else seconds)
    data = envelope.fetch(settings.feed_url, limits, deadline)
    return accept_feed(envelope.open_envelope(data, settings.trusted_keys), settings, state, now)
