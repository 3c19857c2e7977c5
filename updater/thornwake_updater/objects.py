"""The local object cache and fetching of objects.

Objects are files named by the SHA-256 of their content. The feed stores each
one once, as is or zlib-compressed; the cache (<support>/client/objects/)
holds uncompressed content under the same names. What is in the cache is
hashed again before it is used (a crash may have cut it short), so an update
only trusts objects that this run verified.

Updates of several regions may run at once and share the cache. An object a
run relies on must be its own: before it checks a cached object it moves it
into a directory of its own, tmp/run-<token>/ (claimed by a lock on
tmp/run-<token>.lock), and what it downloads or brings in from an installed
release goes there too, so no other run can take it or change it. What is left
there when the run ends goes back to the cache; the objects of a run that was
killed are given back by the next run, which finds its lock free.

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
import re
import secrets
import stat
import threading
import time
import zlib

from . import fsutil, transport
from .errors import FeedRejected, NetworkError, write_failed
from .parallel import Stopped

COPY_CHUNK = 1 << 20
STALE_SECONDS = 7 * 24 * 3600
TMP_STALE_SECONDS = 24 * 3600
# Attempts at one download, when each failed one still brought new bytes.
ATTEMPTS = 4
# Compressed objects smaller than this are not worth keeping a partial of.
RESUMABLE_STORED_SIZE = 1 << 20
# A run's own directory under tmp/, and its lock beside it.
RUN_PREFIX = "run-"
_OBJECT_NAME = re.compile(r"\A[0-9a-f]{64}\Z")

_MISMATCH = "A downloaded file did not match the signed release, so nothing was installed. Try again later."


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
    """True when the file at path (not a link) holds exactly ref's content."""
    return content_identity(path, ref) is not None


def content_identity(path, ref):
    """The identity (device, inode) of the regular file at path when it holds exactly ref's content, else None.

    A link is not followed: it is not content.
    """
    try:
        fd = os.open(path, os.O_RDONLY | fsutil.NOFOLLOW)
    except OSError:
        return None
    try:
        with os.fdopen(fd, "rb") as handle:
            info = os.fstat(handle.fileno())
            if not stat.S_ISREG(info.st_mode) or info.st_size != ref.size:
                return None
            digest = hashlib.sha256()
            while True:
                chunk = handle.read(COPY_CHUNK)
                if not chunk:
                    break
                digest.update(chunk)
    except OSError:
        return None
    return identity(info) if digest.hexdigest() == ref.sha256 else None


def identity(info):
    return (info.st_dev, info.st_ino)


class _Partial:
    """The stored bytes of one download so far, in a file the next attempt finds again."""

    @staticmethod
    def name(store, ref):
        return os.path.join(store.tmp, "%s%s.part" % (ref.sha256, ".z" if ref.encoding == "zlib" else ""))

    def __init__(self, store, ref):
        self.path = self.name(store, ref)
        fd = self._open_shared(self.path)
        if fd is None:
            # Another region's update is fetching the same object: this one gets a file of its own.
            self.path = os.path.join(store.tmp, "%s.%s.part" % (ref.sha256, secrets.token_hex(4)))
            fd = os.open(self.path, os.O_RDWR | os.O_CREAT | os.O_EXCL | fsutil.NOFOLLOW, 0o644)
        self.handle = os.fdopen(fd, "r+b")
        self.handle.seek(0, os.SEEK_END)

    @staticmethod
    def _open_shared(path):
        """The partial at path, locked for this run; None while another run holds it."""
        for _ in range(3):
            fd = os.open(path, os.O_RDWR | os.O_CREAT | fsutil.NOFOLLOW, 0o644)
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                # The run that held it may have finished it and renamed it away since it was opened.
                if identity(os.fstat(fd)) == identity(os.lstat(path)):
                    return fd
            except FileNotFoundError:
                pass
            except OSError as exc:
                os.close(fd)
                if exc.errno not in (errno.EWOULDBLOCK, errno.EAGAIN, errno.EACCES):
                    raise
                return None
            os.close(fd)
        return None

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
    """The shared cache, and the objects this run verified and keeps to itself (see the module text)."""

    def __init__(self, root):
        self.root = root
        self.tmp = os.path.join(root, "tmp")
        # sha256 -> identity of this run's verified copy, in its own directory.
        self._verified = {}
        self._lock = threading.Lock()
        self._own = None
        self._own_lock = None

    def cached_path(self, ref_or_hash):
        digest = getattr(ref_or_hash, "sha256", ref_or_hash)
        return os.path.join(self.root, digest[:2], digest)

    def path(self, ref):
        """Where this run keeps its verified copy of ref."""
        return os.path.join(self._own_directory(), ref.sha256)

    def identity(self, ref):
        """The identity of this run's verified copy of ref, or None."""
        with self._lock:
            return self._verified.get(ref.sha256)

    def has(self, ref):
        """True when this run holds ref or the cache seems to (it is checked when claimed)."""
        if self.is_verified(ref):
            return True
        try:
            info = os.lstat(self.cached_path(ref))
        except OSError:
            return False
        return stat.S_ISREG(info.st_mode) and info.st_size == ref.size

    def is_verified(self, ref):
        """True when this run checked ref's content and still holds it."""
        return self.identity(ref) is not None

    def _mark(self, ref, file_identity):
        with self._lock:
            self._verified[ref.sha256] = file_identity

    def forget(self, ref):
        """This run's copy was moved out (into a release)."""
        with self._lock:
            self._verified.pop(ref.sha256, None)

    def _own_directory(self):
        with self._lock:
            if self._own is None:
                try:
                    self._own, self._own_lock = self._claim_directory()
                except OSError as exc:
                    raise write_failed(exc)
            return self._own

    def _claim_directory(self):
        fsutil.real_directory(self.root)
        fsutil.real_directory(self.tmp)
        self._give_back_orphans()
        own = os.path.join(self.tmp, RUN_PREFIX + secrets.token_hex(6))
        # Locked before it has its name, so no other run ever sees it free.
        unnamed = own + ".new"
        fd = os.open(unnamed, os.O_RDWR | os.O_CREAT | os.O_EXCL | fsutil.NOFOLLOW, 0o600)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX)
            os.rename(unnamed, own + ".lock")
            os.mkdir(own, 0o700)
        except BaseException:
            os.close(fd)
            _unlink(unnamed)
            raise
        return own, fd

    def _give_back_orphans(self):
        """Return to the cache what runs that were killed kept for themselves."""
        names = set(os.listdir(self.tmp))
        for name in names:
            if not name.startswith(RUN_PREFIX) or "." in name:
                continue
            directory = os.path.join(self.tmp, name)
            try:
                fd = os.open(directory + ".lock", os.O_RDWR | fsutil.NOFOLLOW)
            except FileNotFoundError:
                fd = None  # the lock goes last: its run has ended
            except OSError:
                continue
            try:
                if fd is not None:
                    fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except OSError:
                os.close(fd)
                continue  # its run is still going
            self._give_back(directory)
            if fd is not None:
                _unlink(directory + ".lock")
                os.close(fd)

    def _give_back(self, directory):
        """Move the objects in a run's own directory back to the cache and remove the directory."""
        try:
            names = os.listdir(directory)
        except OSError:
            names = []
        for name in names:
            path = os.path.join(directory, name)
            try:
                if not _OBJECT_NAME.match(name):
                    raise OSError(errno.EINVAL, "not an object", path)
                fsutil.real_directory(os.path.dirname(self.cached_path(name)))
                os.rename(path, self.cached_path(name))
            except OSError:
                _unlink(path)
        try:
            os.rmdir(directory)
        except OSError:
            pass

    def close(self):
        """Give what this run kept back to the cache, for the next run or another region (best effort)."""
        with self._lock:
            own, fd = self._own, self._own_lock
            self._own = self._own_lock = None
            self._verified.clear()
        if own is None:
            return
        self._give_back(own)
        _unlink(own + ".lock")
        try:
            os.close(fd)
        except OSError:
            pass

    def verify(self, ref):
        """True when this run holds ref's content; the cache's copy is taken and checked, and removed when damaged."""
        if self.is_verified(ref):
            return True
        own = self.path(ref)
        try:
            os.rename(self.cached_path(ref), own)
        except OSError:
            return False  # not in the cache, or another run took it first
        file_identity = content_identity(own, ref)
        if file_identity is None:
            _unlink(own)
            return False
        self._mark(ref, file_identity)
        return True

    def _content_file(self, ref):
        tmp = os.path.join(self._own_directory(), "%s.%s.tmp" % (ref.sha256, secrets.token_hex(4)))
        return tmp, open(tmp, "xb")

    def _settle(self, ref, source, file_identity):
        """Make source, whose content was verified as ref's, this run's copy."""
        own = self.path(ref)
        os.rename(source, own)
        self._mark(ref, file_identity)
        return own

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
        if self.verify(ref):
            return self.path(ref)
        try:
            fsutil.real_directory(self.tmp)
        except OSError as exc:
            raise write_failed(exc)
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
                    path = self._settle(ref, content_path, identity(os.lstat(content_path)))
                    content_path = None
                    return path
                partial.handle.flush()
                path = self._settle(ref, partial.path, identity(os.fstat(partial.handle.fileno())))
                partial.path = None
                return path
            finally:
                if content is not None:
                    content.close()
                if content_path is not None:
                    _unlink(content_path)

    def import_file(self, ref, source, link=False, stamp=None):
        """Bring a local file (an installed release's) in as this run's copy if it has ref's content.

        With link, a hard link is tried first (no bytes are copied). The content
        is hashed, unless the linked file still has the stamp (inode, size,
        modification time in ns) recorded when it was verified before. Returns
        False when the file is missing or different; the caller downloads instead.
        """
        tmp = os.path.join(self._own_directory(), "%s.%s.tmp" % (ref.sha256, secrets.token_hex(4)))
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
                file_identity = identity(info) if unchanged else content_identity(tmp, ref)
                if file_identity is None:
                    _unlink(tmp)
                    return False
            else:
                decoder = _Decoder(type(ref)(ref.sha256, ref.size))
                try:
                    with os.fdopen(os.open(source, os.O_RDONLY | fsutil.NOFOLLOW), "rb") as src, open(tmp, "xb") as out:
                        decoder.write = out.write
                        while True:
                            chunk = src.read(COPY_CHUNK)
                            if not chunk:
                                break
                            decoder.feed(chunk)
                        out.flush()
                        file_identity = identity(os.fstat(out.fileno()))
                    decoder.finish()
                except (FeedRejected, FileNotFoundError, IsADirectoryError):
                    _unlink(tmp)
                    return False
                except OSError as exc:
                    if exc.errno != errno.ELOOP:
                        raise
                    _unlink(tmp)
                    return False
            self._settle(ref, tmp, file_identity)
            return True
        except OSError as exc:
            _unlink(tmp)
            raise write_failed(exc)

    def read(self, ref, limit):
        """The bytes of an object this run holds, checked again (for small objects like manifests)."""
        if ref.size > limit:
            raise FeedRejected(_MISMATCH, detail="object %s is larger than %d bytes" % (ref.sha256, limit))
        if not self.verify(ref):
            raise FeedRejected(_MISMATCH, detail="object %s is missing or damaged" % ref.sha256)
        data = fsutil.read_limited(self.path(ref), limit)
        if len(data) != ref.size or hashlib.sha256(data).hexdigest() != ref.sha256:
            self.forget(ref)
            _unlink(self.path(ref))
            raise FeedRejected(_MISMATCH, detail="cached object %s is damaged" % ref.sha256)
        return data

    def prune(self, keep=(), now=None):
        """Remove day-old temporary files and cached objects unused for a week (best effort, no links followed)."""
        now = time.time() if now is None else now
        try:
            root = fsutil.open_directory(self.root)
        except OSError:
            return
        try:
            # Another region's update may be downloading right now; only old leftovers go. A run's
            # own directory is given back by the next run once its lock is free.
            _remove_old(root, "tmp", now - TMP_STALE_SECONDS,
                        lambda name: name.startswith(RUN_PREFIX) and not name.endswith(".new"))
            for bucket in os.listdir(root):
                if len(bucket) == 2:
                    _remove_old(root, bucket, now - STALE_SECONDS, lambda name: name in keep)
        except OSError:
            pass
        finally:
            os.close(root)


def _remove_old(parent, name, before, spared):
    """Unlink the entries of the directory name (in parent) last changed before the time before."""
    try:
        fd = fsutil.open_directory(name, dir_fd=parent)
    except OSError:
        return
    try:
        for entry in os.listdir(fd):
            try:
                info = os.stat(entry, dir_fd=fd, follow_symlinks=False)
                if not spared(entry) and not stat.S_ISDIR(info.st_mode) and info.st_mtime < before:
                    os.unlink(entry, dir_fd=fd)
            except OSError:
                pass
    finally:
        os.close(fd)


def _unlink(path):
    try:
        os.unlink(path)
    except OSError:
        pass
