"""The local object cache and fetching of objects.

Objects are files named by the SHA-256 of their content. The feed stores each
one once, as is or zlib-compressed; the cache (<support>/client/objects/)
holds verified, uncompressed content under the same names. An object enters
the cache only after its size and hash were checked, by writing it to a
temporary file and renaming it into place, so anything found there under its
name was verified when it arrived. Downloads that an interrupted update
already finished are found here the next time.
"""

import hashlib
import os
import secrets
import time
import zlib

from . import fsutil, transport
from .errors import FeedRejected, InstallError

COPY_CHUNK = 1 << 20
STALE_SECONDS = 7 * 24 * 3600
TMP_STALE_SECONDS = 24 * 3600

_MISMATCH = "A downloaded file did not match the signed release, so nothing was installed. Try again later."


def write_failed(exc):
    return InstallError(
        "Thornwake could not write its files (%s). Free some disk space and try again." % (exc.strerror or exc),
        detail=str(exc),
    )


class _Decoder:
    """Turns stored bytes into content, bounded by the declared content size."""

    def __init__(self, ref, write):
        self.ref = ref
        self.write = write
        self.produced = 0
        self.hash = hashlib.sha256()
        self.inflater = zlib.decompressobj() if ref.encoding == "zlib" else None

    def _emit(self, data):
        if not data:
            return
        self.produced += len(data)
        if self.produced > self.ref.size:
            raise FeedRejected(_MISMATCH, detail="object %s is larger than %d bytes" % (self.ref.sha256, self.ref.size))
        self.hash.update(data)
        self.write(data)

    def feed(self, chunk):
        if self.inflater is None:
            self._emit(chunk)
            return
        try:
            if self.inflater.eof:
                raise FeedRejected(_MISMATCH, detail="object %s has data after its end" % self.ref.sha256)
            data = chunk
            while True:
                room = self.ref.size - self.produced + 1
                out = self.inflater.decompress(data, room)
                self._emit(out)
                data = self.inflater.unconsumed_tail
                if not data:
                    break
        except zlib.error as exc:
            raise FeedRejected(_MISMATCH, detail="object %s: %s" % (self.ref.sha256, exc))

    def finish(self):
        if self.inflater is not None:
            try:
                self._emit(self.inflater.flush())
            except zlib.error as exc:
                raise FeedRejected(_MISMATCH, detail="object %s: %s" % (self.ref.sha256, exc))
            if not self.inflater.eof or self.inflater.unused_data:
                raise FeedRejected(_MISMATCH, detail="object %s is not one complete zlib stream" % self.ref.sha256)
        if self.produced != self.ref.size or self.hash.hexdigest() != self.ref.sha256:
            raise FeedRejected(_MISMATCH, detail="object %s: content does not match its hash" % self.ref.sha256)


class ObjectStore:
    def __init__(self, root):
        self.root = root
        self.tmp = os.path.join(root, "tmp")

    def path(self, ref_or_hash):
        digest = getattr(ref_or_hash, "sha256", ref_or_hash)
        return os.path.join(self.root, digest[:2], digest)

    def has(self, ref):
        try:
            return os.path.getsize(self.path(ref)) == ref.size
        except OSError:
            return False

    def _receive(self, ref, produce):
        """Run produce(feed_chunk) into a temporary file, verify, and move into the cache."""
        try:
            fsutil.makedirs(self.tmp)
            fsutil.makedirs(os.path.dirname(self.path(ref)))
            tmp = os.path.join(self.tmp, "%s.%s.part" % (ref.sha256, secrets.token_hex(4)))
            handle = open(tmp, "xb")
        except OSError as exc:
            raise write_failed(exc)
        try:
            with handle:
                decoder = _Decoder(ref, handle.write)
                produce(decoder.feed)
                decoder.finish()
                handle.flush()
                os.fsync(handle.fileno())
            os.replace(tmp, self.path(ref))
        except OSError as exc:
            _unlink(tmp)
            raise write_failed(exc)
        except BaseException:
            _unlink(tmp)
            raise
        return self.path(ref)

    def download(self, feed, ref, on_stored_bytes=None, limits=transport.DEFAULT_LIMITS):
        """Fetch ref from the feed into the cache; its path.

        on_stored_bytes(n) is called as stored bytes arrive, for progress.
        """

        def produce(feed_chunk):
            def sink(chunk):
                feed_chunk(chunk)
                if on_stored_bytes is not None:
                    on_stored_bytes(len(chunk))

            transport.fetch(feed.object_url(ref), sink, ref.stored_size, exact=ref.stored_size, limits=limits)

        return self._receive(ref, produce)

    def import_file(self, ref, source):
        """Copy a local file (an installed release's) into the cache if it has ref's content.

        Returns False when the file is missing or different; the caller downloads instead.
        """
        identity = type(ref)(ref.sha256, ref.size)

        def produce(feed_chunk):
            with open(source, "rb") as handle:
                while True:
                    chunk = handle.read(COPY_CHUNK)
                    if not chunk:
                        break
                    feed_chunk(chunk)

        try:
            self._receive(identity, produce)
            return True
        except (FeedRejected, InstallError):
            return False

    def read(self, ref, limit):
        """The bytes of a cached object, re-verified (used for small objects like manifests)."""
        if ref.size > limit:
            raise FeedRejected(_MISMATCH, detail="object %s is larger than %d bytes" % (ref.sha256, limit))
        data = fsutil.read_limited(self.path(ref), limit)
        if len(data) != ref.size or hashlib.sha256(data).hexdigest() != ref.sha256:
            _unlink(self.path(ref))
            raise FeedRejected(_MISMATCH, detail="cached object %s is damaged" % ref.sha256)
        return data

    def prune(self, keep=(), now=None):
        """Remove day-old temporary files and cached objects unused for a week (best effort)."""
        now = time.time() if now is None else now
        # Another region's update may be downloading right now; only old leftovers go.
        try:
            for name in os.listdir(self.tmp):
                path = os.path.join(self.tmp, name)
                try:
                    if now - os.lstat(path).st_mtime > TMP_STALE_SECONDS:
                        os.unlink(path)
                except OSError:
                    pass
        except OSError:
            pass
        try:
            buckets = os.listdir(self.root)
        except OSError:
            return
        for bucket in buckets:
            directory = os.path.join(self.root, bucket)
            if len(bucket) != 2 or not os.path.isdir(directory):
                continue
            for name in os.listdir(directory):
                path = os.path.join(directory, name)
                try:
                    if name not in keep and now - os.lstat(path).st_mtime > STALE_SECONDS:
                        os.unlink(path)
                except OSError:
                    pass
            try:
                os.rmdir(directory)  # only succeeds when the bucket is empty
            except OSError:
                pass


def _unlink(path):
    try:
        os.unlink(path)
    except OSError:
        pass
