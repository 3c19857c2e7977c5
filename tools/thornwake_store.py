"""A feed directory as the publisher keeps it: what is served, and its own records beside it.

  <feed>/packs/<sha256>.pack       the stored bytes of many objects, one after another, named
                                   by the SHA-256 of the pack file
  <feed>/objects/ab/<sha256>[.z]   stand-alone objects (manifests; during a transition also the
                                   launcher's files for launchers that read only format 1)
  <feed>.publisher/                never uploaded:
      draft.json                   releases added since the last signing
      objects.idx                  where each packed object lies, one line per object
      history/feed-<sequence>.json every feed signed (format-1 transition feeds: legacy-<sequence>.json)
      settings.json                mirrors, and the transition for launchers already installed
      lock                         held while a command works on the feed

The index lets a new release point at objects an earlier release already
stored, so they are neither stored nor downloaded again. Everything here is
written beside its final name and renamed, so a publisher that is stopped
leaves at most a pack no feed names (removed by prune), never a damaged one.
"""

import fcntl
import hashlib
import json
import os
import zlib

from thornwake_updater import fsutil

PACK_TARGET = 8 << 20
READ_BLOCK = 1 << 20
# The whole-object rule: zlib only when it saves at least this share.
MIN_SAVING = 0.05
ENCODING_NAMES = ("identity", "zlib")


class PublishError(Exception):
    pass


class Ref:
    """A stand-alone object as a feed or a format-1 manifest names it."""

    def __init__(self, sha256, size, encoding="identity", stored_size=None):
        self.sha256 = sha256
        self.size = size
        self.encoding = encoding
        self.stored_size = size if stored_size is None else stored_size

    def to_json(self):
        return {"sha256": self.sha256, "size": self.size, "encoding": self.encoding, "storedSize": self.stored_size}

    @staticmethod
    def from_json(value):
        return Ref(value["sha256"], value["size"], value.get("encoding", "identity"), value.get("storedSize"))


class Pack:
    """A pack file; its name (the SHA-256 of its bytes) is known once it is finished."""

    __slots__ = ("name",)

    def __init__(self, name=None):
        self.name = name


class Location:
    """Where a packed object lies and how it is stored."""

    __slots__ = ("size", "stored_size", "encoding", "pack", "offset")

    def __init__(self, size, stored_size, encoding, pack, offset):
        self.size = size
        self.stored_size = stored_size
        self.encoding = encoding
        self.pack = pack
        self.offset = offset


def publisher_dir(feed_dir):
    return os.path.normpath(os.path.abspath(feed_dir)) + ".publisher"


class FeedDirectory:
    def __init__(self, root):
        self.root = root
        self.objects = os.path.join(root, "objects")
        self.packs = os.path.join(root, "packs")
        self.private = publisher_dir(root)
        self.index = ObjectIndex(os.path.join(self.private, "objects.idx"), self.packs)

    def private_path(self, *names):
        return os.path.join(self.private, *names)

    def pack_path(self, name):
        return os.path.join(self.packs, name + ".pack")

    def lock(self):
        """Hold the feed for one command: a second publisher on the same feed stops instead of mixing in."""
        fsutil.makedirs(self.private)
        handle = fsutil.open_lock_file(self.private_path("lock"))
        try:
            fcntl.flock(handle.fileno(), fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            handle.close()
            raise PublishError("another publisher command is working on %s; try again when it has finished" % self.root)
        return handle

    # Stand-alone objects

    def object_path(self, ref):
        return os.path.join(self.objects, ref.sha256[:2], ref.sha256 + (".z" if ref.encoding == "zlib" else ""))

    def _stored(self, digest):
        base = os.path.join(self.objects, digest[:2], digest)
        return [(base, "identity"), (base + ".z", "zlib")]

    def existing(self, digest, size):
        for path, encoding in self._stored(digest):
            if os.path.isfile(path):
                return Ref(digest, size, encoding, os.path.getsize(path))
        return None

    def has_object(self, ref):
        return os.path.isfile(self.object_path(ref))

    def store_bytes(self, data):
        """(reference, whether it was new) of data as a stand-alone object."""
        digest = hashlib.sha256(data).hexdigest()
        return self.store_stream(digest, len(data), lambda: iter([data]))

    def store_stream(self, digest, size, blocks):
        """Store the content that blocks() yields (called again when compression does not pay).

        PublishError, with nothing stored, unless the content has that hash and size.
        """
        found = self.existing(digest, size)
        if found is not None:
            return found, False
        (raw_path, _), (packed_path, _) = self._stored(digest)
        fsutil.makedirs(os.path.dirname(raw_path))
        packer = zlib.compressobj(9)
        content = hashlib.sha256()
        counted = [0]

        def packed_blocks():
            for block in blocks():
                content.update(block)
                counted[0] += len(block)
                yield packer.compress(block)
            yield packer.flush()

        tmp, packed = _write_temp(packed_path, packed_blocks())
        if content.hexdigest() != digest or counted[0] != size:
            _remove(tmp)
            raise PublishError("object %s: the content does not match its name" % digest)
        if packed <= size * (1 - MIN_SAVING):
            _commit(tmp, packed_path)
            return Ref(digest, size, "zlib", packed), True
        _remove(tmp)
        tmp, _ = _write_temp(raw_path, blocks())
        _commit(tmp, raw_path)
        return Ref(digest, size, "identity", size), True

    def read_object(self, ref, limit=64 << 20):
        """The content of a stand-alone object, checked against its reference; PublishError otherwise."""
        path = self.object_path(ref)
        try:
            stored = fsutil.read_limited(path, limit)
            data = zlib.decompress(stored) if ref.encoding == "zlib" else stored
        except (OSError, ValueError, zlib.error) as exc:
            raise PublishError("cannot read object %s: %s" % (path, exc))
        if len(data) != ref.size or hashlib.sha256(data).hexdigest() != ref.sha256:
            raise PublishError("object %s is damaged: its content does not match its name" % path)
        return data

    # Packs

    def read_packed(self, sha256, location):
        """The content of a packed object, checked against its hash; PublishError when it is not there."""
        try:
            with open(self.pack_path(location.pack.name), "rb") as handle:
                handle.seek(location.offset)
                stored = handle.read(location.stored_size)
            data = zlib.decompress(stored) if location.encoding == 1 else stored
        except (OSError, zlib.error) as exc:
            raise PublishError("pack %s: cannot read object %s: %s" % (location.pack.name, sha256, exc))
        if len(data) != location.size or hashlib.sha256(data).hexdigest() != sha256:
            raise PublishError("pack %s holds a damaged copy of object %s" % (location.pack.name, sha256))
        return data


def _write_temp(path, blocks):
    """(temporary file beside path holding the blocks, durably; its size)."""
    tmp = fsutil.temp_name(path)
    size = 0
    try:
        with open(tmp, "xb") as out:
            for block in blocks:
                out.write(block)
                size += len(block)
            out.flush()
            fsutil.flush(out.fileno(), drive=False)
    except BaseException:
        _remove(tmp)
        raise
    return tmp, size


def _commit(tmp, path):
    os.replace(tmp, path)
    fsutil.fsync_dir(os.path.dirname(path), drive=False)


def _remove(path):
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass


class ObjectIndex:
    """Where each packed object lies: "<sha256> <size> <stored size> <encoding> <pack> <offset>" lines.

    Lines are appended once their pack is durable under its name. An object
    whose pack has gone (removed by hand) is not found, so it is stored again.
    """

    def __init__(self, path, packs):
        self.path = path
        self.packs = packs
        self._entries = None
        self._present = {}

    def entries(self):
        if self._entries is None:
            self._entries = {}
            try:
                with open(self.path, "r", encoding="ascii") as handle:
                    for line in handle:
                        self._add(line)
            except FileNotFoundError:
                pass
            except (OSError, UnicodeDecodeError) as exc:
                raise PublishError("cannot read the object index %s: %s" % (self.path, exc))
        return self._entries

    def _add(self, line):
        fields = line.split()
        # A line cut short by a crash is skipped: its objects are stored again.
        if len(fields) != 6 or not line.endswith("\n"):
            return
        digest, size, stored, encoding, pack, offset = fields
        try:
            self._entries[digest] = Location(int(size), int(stored), int(encoding), Pack(pack), int(offset))
        except ValueError:
            pass

    def find(self, digest):
        location = self.entries().get(digest)
        if location is None:
            return None
        name = location.pack.name
        if name not in self._present:
            self._present[name] = os.path.isfile(os.path.join(self.packs, name + ".pack"))
        return location if self._present[name] else None

    def append(self, records):
        """Record (sha256, Location) pairs of a finished pack durably."""
        fsutil.makedirs(os.path.dirname(self.path))
        lines = "".join(_line(digest, location) for digest, location in records)
        with open(self.path, "a", encoding="ascii") as handle:
            handle.write(lines)
            handle.flush()
            fsutil.flush(handle.fileno(), drive=False)
        entries = self.entries()
        for digest, location in records:
            entries[digest] = location
            self._present[location.pack.name] = True

    def keep_only(self, packs):
        """Forget every object outside the named packs (after prune removed the others)."""
        entries = {digest: location for digest, location in self.entries().items() if location.pack.name in packs}
        fsutil.atomic_write(self.path, "".join(_line(d, loc) for d, loc in sorted(entries.items())).encode("ascii"))
        self._entries = entries
        self._present = {}


def _line(digest, location):
    return "%s %d %d %d %s %d\n" % (digest, location.size, location.stored_size, location.encoding, location.pack.name,
                                    location.offset)


class PackWriter:
    """Writes new objects, in the order they come, into pack files of about PACK_TARGET bytes."""

    def __init__(self, feed):
        self.feed = feed
        self.finished = []
        self._handle = None

    def add(self, digest, size, stored, encoding):
        if self._handle is None:
            fsutil.makedirs(self.feed.packs)
            self._tmp = fsutil.temp_name(os.path.join(self.feed.packs, "new.pack"))
            self._handle = open(self._tmp, "xb")
            self._hash = hashlib.sha256()
            self._pack = Pack()
            self._records = []
            self._size = 0
        location = Location(size, len(stored), encoding, self._pack, self._size)
        self._handle.write(stored)
        self._hash.update(stored)
        self._size += len(stored)
        self._records.append((digest, location))
        if self._size >= PACK_TARGET:
            self.finish()
        return location

    def finish(self):
        """Finish the pack being written: durable under its name, then in the index."""
        if self._handle is None:
            return
        handle, self._handle = self._handle, None
        try:
            handle.flush()
            fsutil.flush(handle.fileno(), drive=False)
            handle.close()
            self._pack.name = self._hash.hexdigest()
            os.replace(self._tmp, self.feed.pack_path(self._pack.name))
        except BaseException:
            handle.close()
            _remove(self._tmp)
            raise
        fsutil.fsync_dir(self.feed.packs, drive=False)
        self.feed.index.append(self._records)
        self.finished.append(self._pack.name)

    def abandon(self):
        if self._handle is not None:
            self._handle.close()
            self._handle = None
            _remove(self._tmp)
