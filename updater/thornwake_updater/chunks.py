"""Where a file's bytes are stored: its chunks, in packs or as stand-alone objects.

A manifest of format 2 names the packs of a release once ("packs": the SHA-256
of each pack file, served as packs/<sha256>.pack) and lists every file as its
whole hash plus its chunks in order:

  [<chunk sha256>, <size>, <stored size>, <encoding: 0 identity, 1 zlib>, <pack index>, <offset in pack>]

A chunk's place in the file follows from the sizes of the chunks before it.
A file of format 1 is one stand-alone object (objects/ab/<sha256>[.z]), which
counts here as a single chunk without a pack, so releases installed before
format 2 serve as sources of chunks all the same.
"""

import hashlib
import re

from .errors import FeedRejected

# A chunk is decoded and checked in memory, so its size is bounded.
MAX_CHUNK = 4 << 20
MAX_PACKS = 1 << 20
POSITION_LIMIT = 2**50
ENCODINGS = ("identity", "zlib")
EMPTY_SHA256 = hashlib.sha256(b"").hexdigest()

DAMAGED = "The release description is damaged or unsafe. Nothing was installed."
# In place of a manifest's packs: chunks keep their pack's index, while the packs are not known yet.
BY_INDEX = object()


def stored_bound(size):
    """The most bytes zlib can take to store size bytes (its worst case, with room to spare)."""
    return size + (size >> 10) + 64


class Chunk:
    """One stored object holding part (or all) of a file."""

    __slots__ = ("sha256", "size", "stored_size", "encoding", "pack", "offset")

    def __init__(self, sha256, size, stored_size, encoding, pack=None, offset=None):
        self.sha256 = sha256
        self.size = size
        self.stored_size = stored_size
        self.encoding = encoding
        # The pack's SHA-256, or None for a stand-alone object (then offset is None too).
        self.pack = pack
        self.offset = offset

    def location(self):
        """(path below a mirror's base, first byte or None for the whole file there)."""
        if self.pack is not None:
            return "packs/%s.pack" % self.pack, self.offset
        return object_path(self.sha256, self.encoding), None

    def to_json(self, pack_index):
        return [self.sha256, self.size, self.stored_size, ENCODINGS.index(self.encoding), pack_index, self.offset]


def object_path(sha256, encoding):
    return "objects/%s/%s%s" % (sha256[:2], sha256, ".z" if encoding == "zlib" else "")


def _bad(reason):
    return FeedRejected(DAMAGED, detail="manifest: %s" % reason)


_HEX64 = re.compile(r"[0-9a-f]{64}\Z")


def _count(value):
    # type() rather than isinstance(): True and False are ints too, and are refused.
    return type(value) is int and value >= 0


def _hex64(value):
    return type(value) is str and _HEX64.match(value) is not None


def parse_packs(value):
    """The pack hashes of a format-2 manifest; FeedRejected when malformed."""
    if not isinstance(value, list) or len(value) > MAX_PACKS or not all(_hex64(item) for item in value):
        raise _bad("packs is not a list of SHA-256 hashes")
    return value


def parse_chunks(value, packs, path, size, sha256):
    """The chunks of the file path (size bytes, whole hash sha256); FeedRejected unless they make up the file."""
    if not isinstance(value, list):
        raise _bad("entry %r has no chunk list" % path)
    chunks = []
    total = 0
    # _hex64 and _count written out: these run for every chunk of every file of a manifest.
    for item in value:
        if type(item) is not list or len(item) != 6:
            raise _bad("entry %r has a malformed chunk" % path)
        digest, length, stored, encoding, pack, offset = item
        if type(digest) is not str or _HEX64.match(digest) is None:
            raise _bad("entry %r has a chunk without a SHA-256" % path)
        if type(length) is not int or not 0 < length <= MAX_CHUNK:
            raise _bad("entry %r has a chunk of a bad size" % path)
        if type(encoding) is not int or not 0 <= encoding <= 1:
            raise _bad("entry %r has a chunk of an unknown encoding" % path)
        if type(stored) is not int or stored < 0 or (stored != length if encoding == 0 else stored > stored_bound(length)):
            raise _bad("entry %r has a chunk of a bad stored size" % path)
        if type(pack) is not int or pack < 0 or (packs is not BY_INDEX and pack >= len(packs)):
            raise _bad("entry %r names a pack that is not listed" % path)
        if type(offset) is not int or offset < 0 or offset + stored > POSITION_LIMIT:
            raise _bad("entry %r has a chunk at a bad offset" % path)
        # The same value held once: a release of many small files holds many of these.
        length = size if length == size else length
        chunks.append(Chunk(digest, length, length if stored == length else stored, ENCODINGS[encoding],
                            pack if packs is BY_INDEX else packs[pack], offset))
        total += length
    if total != size:
        raise _bad("the chunks of %r add up to %d bytes, not %d" % (path, total, size))
    # One chunk is the whole file, no chunk an empty one: the hashes must agree.
    if len(chunks) == 1:
        if chunks[0].sha256 != sha256:
            raise _bad("the chunks of %r do not make up its hash" % path)
        chunks[0].sha256 = sha256
    elif not chunks and sha256 != EMPTY_SHA256:
        raise _bad("the chunks of %r do not make up its hash" % path)
    # A tuple takes less room than a list, and nothing changes a file's chunks.
    return tuple(chunks)


def whole_object(path, sha256, size, encoding, stored_size):
    """A format-1 file: one stand-alone object (none for an empty file)."""
    if not size:
        if sha256 != EMPTY_SHA256:
            raise _bad("the empty file %r has the hash of content" % path)
        return ()
    return (Chunk(sha256, size, stored_size, encoding),)


def positions(chunks):
    """(chunk, offset in the file) for each chunk, in order."""
    offset = 0
    for chunk in chunks:
        yield chunk, offset
        offset += chunk.size
