"""verify: fetch a served feed as a player's launcher does, and check everything it names.

The envelope's signature with the given keys, the feed's region and expiry,
then every manifest, every pack and every object in it, from every mirror the
feed lists, each against its hash. During a transition the format-1 feed.json
is checked the same way with its stand-alone objects. Fetching goes through
the updater's own transfer code, so what passes here is what players get.
"""

import datetime
import hashlib
import json
import os
import sys
import zlib

from thornwake_updater import chunks as chunks_mod, config, ed25519, envelope, feed as feed_mod, transfer
from thornwake_updater.errors import UpdaterError

# A pack is read whole into memory and checked against its name; the publisher writes about 8 MiB.
PACK_LIMIT = 64 << 20
SIGNATURE_LIMIT = 1024


class Check:
    """What one verify found: problems (the feed is not fit to serve) and plain notes."""

    def __init__(self, keys, region, now):
        self.keys = keys
        self.region = region
        self.now = now
        self.problems = []
        self.notes = []
        self.checked = 0

    def problem(self, text):
        self.problems.append(text)

    def fetch(self, url, limit, **options):
        """The bytes at url, or None (a problem said why)."""
        try:
            return transfer.get_bytes(url, limit, **options)
        except UpdaterError as exc:
            self.problem("%s: %s" % (url, exc.detail or exc.message))
            return None


def parse_keys(texts):
    keys = []
    for text in texts:
        try:
            key = bytes.fromhex(text)
        except ValueError:
            key = b""
        if len(key) != ed25519.PUBLIC_KEY_BYTES:
            raise ValueError("%r is not a public key of 64 hex digits" % text)
        keys.append(key)
    return keys


def verify(feed_url, keys, region=None, now=None):
    """The Check of the feed served at feed_url (a URL or a directory)."""
    check = Check(keys, region, now or datetime.datetime.now(datetime.timezone.utc))
    try:
        base = config.normalize_feed_location(feed_url, os.getcwd())
    except UpdaterError as exc:
        check.problem("%s: %s" % (feed_url, exc.detail or exc.message))
        return check
    data = check.fetch(base + envelope.NAME, envelope.LIMIT, headers=envelope.NO_CACHE)
    if data is not None:
        try:
            document = _feed_document(check, envelope.open_envelope(data, keys), 2)
        except UpdaterError as exc:
            check.problem("%s: %s" % (envelope.NAME, exc.detail or exc.message))
            document = None
        if document is not None:
            mirrors = document.get("mirrors") or [base]
            _check_releases(check, document, mirrors)
    _check_transition(check, base)
    return check


def _feed_document(check, data, version):
    """The feed's JSON after the checks a player makes (region, expiry), or None."""
    name = envelope.NAME if version == 2 else "feed.json"
    try:
        document = json.loads(data.decode("utf-8"))
    except (UnicodeDecodeError, ValueError) as exc:
        check.problem("%s: not JSON (%s)" % (name, exc))
        return None
    if not isinstance(document, dict) or document.get("format") != version:
        check.problem("%s: not a feed of format %d" % (name, version))
        return None
    if check.region is not None and document.get("region") != check.region:
        check.problem("%s is for region %r, not %r" % (name, document.get("region"), check.region))
    try:
        expires = feed_mod.parse_time(document.get("expires"))
    except ValueError:
        check.problem("%s: expires is not a time" % name)
        return None
    if check.now >= expires:
        check.problem("%s expired at %s; players refuse it: sign again" % (name, feed_mod.format_time(expires)))
    else:
        check.notes.append("%s: region %s, sequence %s, expires %s (in %.1f days)"
                           % (name, document.get("region"), document.get("sequence"), feed_mod.format_time(expires),
                              (expires - check.now).total_seconds() / 86400))
    return document


def _check_releases(check, document, mirrors):
    packs = {}
    objects = {}
    for kind in ("client", "launcher"):
        release = document.get(kind)
        if not isinstance(release, dict):
            if kind == "client":
                check.problem("the feed names no client release")
            continue
        try:
            ref = feed_mod.ObjectRef.from_json(release.get("manifest"), "%s manifest" % kind)
        except UpdaterError as exc:
            check.problem(exc.detail or exc.message)
            continue
        data = None
        for mirror in mirrors:
            found = _fetch_object(check, mirror, chunks_mod.Chunk(ref.sha256, ref.size, ref.stored_size, ref.encoding), keep=True)
            data = data or found
        if data is not None:
            for chunk in _manifest_chunks(check, data, kind):
                if chunk.pack is None:
                    objects[(chunk.sha256, chunk.encoding)] = chunk
                else:
                    packs.setdefault(chunk.pack, {})[(chunk.offset, chunk.sha256)] = chunk
    for mirror in mirrors:
        for name, listed in sorted(packs.items()):
            _check_pack(check, mirror, name, sorted(listed.values(), key=lambda chunk: chunk.offset))
        for chunk in objects.values():
            _fetch_object(check, mirror, chunk)
    check.notes.append("%d manifests, %d packs and %d stand-alone objects checked on %d mirror%s"
                       % (sum(1 for kind in ("client", "launcher") if kind in document), len(packs), len(objects),
                          len(mirrors), "" if len(mirrors) == 1 else "s"))


def _manifest_chunks(check, data, kind):
    """Every chunk of every file of a manifest (format 1 or 2), or none when it is unusable."""
    try:
        value = json.loads(data.decode("utf-8"))
        if not isinstance(value, dict) or value.get("kind") != kind or value.get("format") not in (1, 2):
            raise ValueError("not a %s manifest of format 1 or 2" % kind)
        packs = chunks_mod.parse_packs(value["packs"]) if value["format"] == 2 else None
        found = []
        for entry in value["files"]:
            if entry.get("type", "file") != "file":
                continue
            if packs is None:
                found += chunks_mod.whole_object(entry["path"], entry["sha256"], entry["size"],
                                                 entry.get("encoding", "identity"), entry.get("storedSize", entry["size"]))
            else:
                found += chunks_mod.parse_chunks(entry["chunks"], packs, entry["path"], entry["size"], entry["sha256"])
        return found
    except (UnicodeDecodeError, ValueError, KeyError, TypeError, AttributeError) as exc:
        check.problem("the %s manifest is unusable: %s" % (kind, exc))
    except UpdaterError as exc:
        check.problem("the %s manifest is unusable: %s" % (kind, exc.detail or exc.message))
    return []


def _decoded(chunk, stored):
    """The content of a stored object, or None when it is not the one named."""
    try:
        data = zlib.decompress(stored) if chunk.encoding == "zlib" else stored
    except zlib.error:
        return None
    return data if len(data) == chunk.size and hashlib.sha256(data).hexdigest() == chunk.sha256 else None


class _Content:
    """Decodes and hashes a stand-alone object as it arrives (format-1 objects are whole files of any size)."""

    def __init__(self, chunk, keep):
        self.chunk = chunk
        self.digest = hashlib.sha256()
        self.unpacker = zlib.decompressobj() if chunk.encoding == "zlib" else None
        self.size = 0
        self.kept = [] if keep else None

    def __call__(self, stored):
        data = self.unpacker.decompress(stored) if self.unpacker else stored
        self.add(data)

    def add(self, data):
        self.digest.update(data)
        self.size += len(data)
        if self.kept is not None:
            self.kept.append(data)

    def matches(self):
        if self.unpacker is not None:
            self.add(self.unpacker.flush())
            if not self.unpacker.eof:
                return False
        return self.size == self.chunk.size and self.digest.hexdigest() == self.chunk.sha256


def _fetch_object(check, base, chunk, keep=False):
    """Check a stand-alone object; its content when keep (else True), or None (a problem said why)."""
    url = base + chunks_mod.object_path(chunk.sha256, chunk.encoding)
    content = _Content(chunk, keep)
    try:
        transfer.get(url, content, limit=chunk.stored_size)
        matches = content.matches()
    except zlib.error:
        matches = False
    except UpdaterError as exc:
        check.problem("%s: %s" % (url, exc.detail or exc.message))
        return None
    if not matches:
        check.problem("%s: the content does not match its hash" % url)
        return None
    check.checked += 1
    return b"".join(content.kept) if keep else True


def _check_pack(check, base, name, listed):
    url = base + "packs/%s.pack" % name
    data = check.fetch(url, PACK_LIMIT)
    if data is None:
        return
    if hashlib.sha256(data).hexdigest() != name:
        check.problem("%s: the pack does not match its name" % url)
    for chunk in listed:
        if _decoded(chunk, data[chunk.offset:chunk.offset + chunk.stored_size]) is None:
            check.problem("%s: object %s at offset %d does not match its hash" % (url, chunk.sha256, chunk.offset))
        else:
            check.checked += 1


def _check_transition(check, base):
    """The format-1 feed for launchers already installed, when one is served."""
    try:
        data = transfer.get_bytes(base + "feed.json", feed_mod.FEED_LIMIT, headers=envelope.NO_CACHE)
    except UpdaterError as exc:
        check.notes.append("no transition feed for launchers already installed (feed.json: %s)" % (exc.detail or exc.message))
        return
    signature = check.fetch(base + "feed.json.sig", SIGNATURE_LIMIT, headers=envelope.NO_CACHE)
    if signature is None:
        return
    try:
        signature = bytes.fromhex(signature.decode("ascii").strip())
    except (UnicodeDecodeError, ValueError):
        signature = b""
    if not any(ed25519.verify(key, data, signature) for key in check.keys if len(signature) == ed25519.SIGNATURE_BYTES):
        check.problem("feed.json: feed.json.sig is not a signature of feed.json by a given key")
        return
    document = _feed_document(check, data, 1)
    if document is not None:
        _check_releases(check, document, [base])


def main(feed_url, key_texts, region):
    try:
        keys = parse_keys(key_texts)
    except ValueError as exc:
        print("thornwake_publish: %s" % exc, file=sys.stderr)
        return 1
    check = verify(feed_url, keys, region)
    for note in check.notes:
        print(note)
    for problem in check.problems:
        print("PROBLEM: " + problem)
    if check.problems:
        print("%d problems: players would not get this feed's releases whole" % len(check.problems))
        return 1
    print("the feed is whole: %d objects checked" % check.checked)
    return 0
