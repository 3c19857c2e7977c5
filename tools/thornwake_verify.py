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

from thornwake_updater import chunks as chunks_mod, config, ed25519, envelope, feed as feed_mod, manifest as manifest_mod, transfer
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
            found = feed_mod.parse_feed(envelope.open_envelope(data, keys), base)
        except UpdaterError as exc:
            check.problem("%s: %s" % (envelope.NAME, exc.detail or exc.message))
        else:
            _check_dates(check, envelope.NAME, found.region, found.sequence, found.expires)
            releases = [("client", found.client.manifest)]
            if found.launcher is not None:
                releases.append(("launcher", found.launcher.manifest))
            _check_releases(check, releases, found.mirrors)
            # Without one, players fetch the whole manifest: slower, but not refused.
            for mirror in found.mirrors:
                for patch in found.client.manifest_patches.values():
                    _fetch_object(check, mirror, patch.chunk())
    _check_transition(check, base)
    return check


def _check_dates(check, name, region, sequence, expires):
    """The checks a player makes beyond the signature: region and expiry."""
    if check.region is not None and region != check.region:
        check.problem("%s is for region %r, not %r" % (name, region, check.region))
    if check.now >= expires:
        check.problem("%s expired at %s; players refuse it: sign again" % (name, feed_mod.format_time(expires)))
    else:
        check.notes.append("%s: region %s, sequence %s, expires %s (in %.1f days)"
                           % (name, region, sequence, feed_mod.format_time(expires), (expires - check.now).total_seconds() / 86400))


def _legacy_releases(check, data):
    """The manifests of a format-1 feed.json (read by launchers from before feed.signed), or None."""
    try:
        document = json.loads(data.decode("utf-8"))
        if document.get("format") != 1:
            raise ValueError("not format 1")
        expires = feed_mod.parse_time(document.get("expires"))
        releases = [(kind, feed_mod.ObjectRef.from_json(document[kind]["manifest"], "%s manifest" % kind))
                    for kind in ("client", "launcher") if kind in document]
    except (UnicodeDecodeError, ValueError, AttributeError, KeyError, TypeError) as exc:
        check.problem("feed.json is not a feed of format 1: %s" % exc)
        return None
    except UpdaterError as exc:
        check.problem("feed.json: %s" % (exc.detail or exc.message))
        return None
    _check_dates(check, "feed.json", document.get("region"), document.get("sequence"), expires)
    return releases


def _check_releases(check, releases, mirrors):
    """Every manifest of releases ((kind, reference) pairs) and everything they name, on every mirror."""
    packs = {}
    objects = {}
    for kind, ref in releases:
        data = None
        for mirror in mirrors:
            found = _fetch_object(check, mirror, chunks_mod.Chunk(ref.sha256, ref.size, ref.stored_size, ref.encoding), keep=True)
            data = data or found
        if data is None:
            continue
        try:
            entries = manifest_mod.parse(data, kind).files()
        except UpdaterError as exc:
            check.problem("the %s manifest would be refused: %s" % (kind, exc.detail or exc.message))
            continue
        for chunk in (chunk for entry in entries for chunk in entry.chunks):
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
                       % (len(releases), len(packs), len(objects), len(mirrors), "" if len(mirrors) == 1 else "s"))


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
    releases = _legacy_releases(check, data)
    if releases is not None:
        _check_releases(check, releases, [base])


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
