"""The local object cache and fetching of objects.

Objects are files named by the SHA-256 of their content. The feed stores each
one once, as is or zlib-compressed; the cache (<support>/client/objects/)
holds uncompressed content under the same names. An object enters the cache
only after its size and hash were checked, by writing it to a temporary file
and renaming it into place. What an earlier run left in the cache is hashed
again before it is used (a crash may have cut it short), so an update only
trusts objects that this run verified.

A download goes to tmp/<sha256>.part (tmp/<sha256>.z.part for compressed
objects: the stored bytes), a name that the next attempt finds again, so an
interrupted download continues where it stopped. The whole object is
verified at the end, and a partial that does not lead to the right content is
dropped and fetched again from its first byte.
"""

import errno
import fcntl
import hashlib
import os
import secrets
import stat
import threading
import time
import zlib

from . import fsutil, transport
from .errors import FeedRejected, InstallError, NetworkError, os_error_advice

COPY_CHUNK = 1 << 20
STALE_SECONDS = 7 * 24 * 3600
TMP_STALE_SECONDS = 24 * 3600
# Attempts at one download, when each failed one still brought new bytes.
ATTEMPTS = 4
# Compressed objects smaller than this are not worth keeping a partial of.
RESUMABLE_STORED_SIZE = 1 << 20

_MISMATCH = "A downloaded file did not match the signed release, so nothing was installed. Try again later."


def write_failed(exc):
    cause, advice = os_error_advice(exc)
    return InstallError("Thornwake could not write its files (%s). %s" % (cause, advice), detail=str(exc))


class _Decoder:
    """Turns stored bytes into content, bounded by the declared content size."""

    def __init__(self, ref, write=None):
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
        if self.write is not None:
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


def file_matches(path, ref):
    """True when the file at path holds exactly ref's content."""
    try:
        with open(path, "rb") as handle:
            if os.fstat(handle.fileno()).st_size != ref.size:
                return False
            digest = hashlib.sha256()
            while True:
                chunk = handle.read(COPY_CHUNK)
                if not chunk:
                    break
                digest.update(chunk)
    except OSError:
        return False
    return digest.hexdigest() == ref.sha256


class _Partial:
    """The stored bytes of one download so far, in a file the next attempt finds again."""

    @staticmethod
    def name(store, ref):
        return os.path.join(store.tmp, "%s%s.part" % (ref.sha256, ".z" if ref.encoding == "zlib" else ""))

    def __init__(self, store, ref):
        self.path = self.name(store, ref)
        fd = os.open(self.path, os.O_RDWR | os.O_CREAT | getattr(os, "O_NOFOLLOW", 0), 0o644)
        try:
            # Another region's update may be fetching the same object: it gets its own file.
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError as exc:
            os.close(fd)
            if exc.errno not in (errno.EWOULDBLOCK, errno.EAGAIN, errno.EACCES):
                raise
            self.path = os.path.join(store.tmp, "%s.%s.part" % (ref.sha256, secrets.token_hex(4)))
            fd = os.open(self.path, os.O_RDWR | os.O_CREAT | os.O_EXCL, 0o644)
        self.handle = os.fdopen(fd, "r+b")
        self.handle.seek(0, os.SEEK_END)

    @property
    def size(self):
        return self.handle.tell()

    def clear(self):
        self.handle.seek(0)
        self.handle.truncate()

    def replay(self, feed):
        """Pass what the partial holds to feed(chunk) again."""
        self.handle.flush()
        end = self.handle.tell()
        self.handle.seek(0)
        left = end
        while left:
            chunk = self.handle.read(min(COPY_CHUNK, left))
            if not chunk:
                raise OSError(errno.EIO, "partial download shrank", self.path)
            left -= len(chunk)
            feed(chunk)
        self.handle.seek(end)

    def close(self, remove):
        empty = self.handle.tell() == 0
        self.handle.close()
        # path is None once the partial became the cached object.
        if (remove or empty) and self.path is not None:
            _unlink(self.path)


class ObjectStore:
    def __init__(self, root):
        self.root = root
        self.tmp = os.path.join(root, "tmp")
        self._verified = set()
        self._made = set()
        self._lock = threading.Lock()

    def path(self, ref_or_hash):
        digest = getattr(ref_or_hash, "sha256", ref_or_hash)
        return os.path.join(self.root, digest[:2], digest)

    def has(self, ref):
        try:
            return os.path.getsize(self.path(ref)) == ref.size
        except OSError:
            return False

    def is_verified(self, ref):
        """True when this process checked the cached object's content (and it is still there)."""
        with self._lock:
            return ref.sha256 in self._verified

    def _mark(self, ref):
        with self._lock:
            self._verified.add(ref.sha256)

    def forget(self, ref):
        """The cached object was moved out of the cache (into a release)."""
        with self._lock:
            self._verified.discard(ref.sha256)

    def _prepare(self, ref):
        bucket = os.path.dirname(self.path(ref))
        if bucket in self._made:
            return
        try:
            fsutil.makedirs(self.tmp)
            fsutil.makedirs(bucket)
        except OSError as exc:
            raise write_failed(exc)
        with self._lock:
            self._made.add(bucket)

    def verify(self, ref):
        """True when the cache holds ref's content; a damaged copy is removed."""
        if self.is_verified(ref):
            return True
        if file_matches(self.path(ref), ref):
            self._mark(ref)
            return True
        _unlink(self.path(ref))
        return False

    def _content_file(self, ref):
        tmp = os.path.join(self.tmp, "%s.%s.tmp" % (ref.sha256, secrets.token_hex(4)))
        return tmp, open(tmp, "xb")

    def _settle(self, ref, source):
        os.replace(source, self.path(ref))
        self._mark(ref)
        return self.path(ref)

    def partial_size(self, ref):
        """Stored bytes of ref that an earlier, interrupted download already holds."""
        try:
            size = os.path.getsize(_Partial.name(self, ref))
        except OSError:
            return 0
        return size if size <= ref.stored_size else 0

    def download(self, feed, ref, on_stored_bytes=None, limits=transport.DEFAULT_LIMITS, should_stop=None):
        """Fetch ref from the feed into the cache, continuing an earlier partial download; its path.

        on_stored_bytes(n, more) is called as n stored bytes arrive, with more
        > 0 when bytes an earlier attempt had must be fetched again, for
        progress. should_stop(), checked as bytes arrive, ends the download
        early by raising Stopped.
        """
        self._prepare(ref)
        if self.has(ref) and self.verify(ref):
            return self.path(ref)
        keep_partial = ref.encoding != "zlib" or ref.stored_size >= RESUMABLE_STORED_SIZE
        try:
            partial = _Partial(self, ref) if keep_partial else None
        except OSError as exc:
            raise write_failed(exc)
        done = False
        try:
            path = self._download(feed, ref, partial, on_stored_bytes or (lambda n, more=0: None), limits, should_stop)
            done = True
            return path
        except FeedRejected:
            done = True
            raise
        except OSError as exc:
            raise write_failed(exc)
        finally:
            if partial is not None:
                # A failed transfer keeps its partial for the next attempt; anything else drops it.
                partial.close(remove=done)

    def _download(self, feed, ref, partial, progress, limits, should_stop):
        url = feed.object_url(ref)
        if partial is not None and partial.size > ref.stored_size:
            partial.clear()
        retried_from_zero = False
        attempt = 0
        # One bound for all attempts: a retry must not give a stalling server its time again.
        deadline = time.monotonic() + limits.deadline_for(ref.stored_size)
        while True:
            attempt += 1
            content = content_path = None
            received = [0]
            try:
                if ref.encoding == "zlib":
                    content_path, content = self._content_file(ref)
                state = {"decoder": _Decoder(ref, content.write if content is not None else None)}
                if partial is not None and partial.size:
                    partial.replay(state["decoder"].feed)
                offset = partial.size if partial is not None else 0

                def restart():
                    progress(0, offset)
                    partial.clear()
                    if content is not None:
                        content.seek(0)
                        content.truncate()
                    state["decoder"] = _Decoder(ref, content.write if content is not None else None)

                def sink(chunk):
                    if should_stop is not None and should_stop():
                        raise Stopped()
                    if partial is not None:
                        partial.handle.write(chunk)
                    state["decoder"].feed(chunk)
                    received[0] += len(chunk)
                    progress(len(chunk))

                try:
                    if offset < ref.stored_size or ref.stored_size == 0:
                        transport.fetch(url, sink, ref.stored_size, exact=ref.stored_size, limits=limits,
                                        offset=offset, restart=restart, deadline=deadline)
                    state["decoder"].finish()
                except NetworkError:
                    if received[0] and attempt < ATTEMPTS:
                        if partial is None:
                            progress(0, received[0])  # nothing kept: those bytes come again
                        continue  # the connection broke after new bytes arrived: go on from there
                    raise
                except FeedRejected:
                    if offset and not retried_from_zero:
                        # What an earlier attempt left does not lead to the content: start from zero once.
                        retried_from_zero = True
                        progress(0, offset)
                        partial.clear()
                        continue
                    raise
                if content is not None:
                    content.close()
                    content = None
                    return self._settle(ref, content_path)
                partial.handle.flush()
                path = self._settle(ref, partial.path)
                partial.path = None
                return path
            finally:
                if content is not None:
                    content.close()
                if content_path is not None:
                    _unlink(content_path)

    def import_file(self, ref, source, link=False, stamp=None):
        """Bring a local file (an installed release's) into the cache if it has ref's content.

        With link, a hard link is tried first (no bytes are copied). The content
        is hashed, unless the linked file still has the stamp (inode, size,
        modification time in ns) recorded when it was verified before. Returns
        False when the file is missing or different; the caller downloads instead.
        """
        self._prepare(ref)
        tmp = os.path.join(self.tmp, "%s.%s.tmp" % (ref.sha256, secrets.token_hex(4)))
        try:
            linked = False
            if link:
                try:
                    os.link(source, tmp, follow_symlinks=False)
                    linked = stat.S_ISREG(os.lstat(tmp).st_mode)
                    if not linked:
                        _unlink(tmp)
                except OSError:
                    pass
            if linked:
                info = os.lstat(tmp)
                unchanged = stamp is not None and tuple(stamp) == (info.st_ino, info.st_size, info.st_mtime_ns)
                if not unchanged and not file_matches(tmp, ref):
                    _unlink(tmp)
                    return False
            else:
                decoder = _Decoder(type(ref)(ref.sha256, ref.size))
                try:
                    with open(source, "rb") as src, open(tmp, "xb") as out:
                        decoder.write = out.write
                        while True:
                            chunk = src.read(COPY_CHUNK)
                            if not chunk:
                                break
                            decoder.feed(chunk)
                    decoder.finish()
                except (FeedRejected, FileNotFoundError, IsADirectoryError):
                    _unlink(tmp)
                    return False
            self._settle(ref, tmp)
            return True
        except OSError as exc:
            _unlink(tmp)
            raise write_failed(exc)

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


class Stopped(Exception):
    """Another download of the same update failed; this one ends too."""


def _unlink(path):
    try:
        os.unlink(path)
    except OSError:
        pass
