"""Building a release tree in its staging directory from local files and fetched chunks.

Every file of the new release comes, in this order of preference, from:

  1. an installed file with the same whole hash: hard-linked (copied when the
     new release gives it another mode, so a shared inode never changes under
     the release still in use), and verified by the inode, size and
     modification time recorded when it was installed, or else by its hash;
  2. chunks: each from the staging file a killed run left (its bytes already
     at their offset), from an installed file (read at its offset), or else
     fetched. Local bytes are hash-checked as they are read; a chunk that fails
     is fetched instead.

A file of several chunks is put together in one pass: the chunks no local
file holds are fetched first, then its local chunks are read, checked and
written front to back, while a second thread hashes the file as a whole from
its first byte as far as it is in place (hashing runs at C speed without the
interpreter lock, so the two checks share the machine's cores) and sends what
it hashed on to the disk, so the flush of the tree finds little left. Only
when a local chunk fails is that file hashed again once the chunk is fetched.

Files are created with O_EXCL and no link followed, sized first, and written
with pwrite straight to their place; a file that is a hard link of another is
never written to. A file assembled from several chunks is hashed as a whole
once it is complete, before it joins the release; a file of one chunk is that
chunk, checked before it was written. The inode, size and modification time
of every file are taken while its descriptor is open, for the record a later
update trusts.

The staging directory of a release is named after its manifest, so a run that
was killed leaves a tree the next run for the same release continues: what
does not belong there is removed, what is there is checked before it is kept.
"""

import errno
import hashlib
import os
import stat
import struct
import threading

from . import chunks as chunks_mod, fetch, fsutil
from .errors import FeedRejected

# Files are hashed on several threads at once, each with a buffer of this size.
READ_BLOCK = 256 << 10
_OPEN_SOURCES = 16


# A file's stamp (inode, size, modification time in ns), packed: a third of the room of three numbers in a list,
# and a release of many thousand files holds one per file.
STAMP = struct.Struct("<QQq")


def stamp_of(info):
    return STAMP.pack(info.st_ino, info.st_size, info.st_mtime_ns)


class Sources:
    """Local files whose content an update may use; every byte taken is checked."""

    def whole(self, entry):
        """[(path, install mode, recorded stamp or None)] of files that may hold entry's whole content."""
        return []

    def chunk(self, entry, chunk, offset):
        """[(path, offset)] where chunk (at offset in entry) may lie."""
        return []

    def linkable(self, entry):
        """True when a file that may hold entry's whole content has its install mode (it would be hard-linked)."""
        mode = entry.install_mode()
        return any(found == mode for _, found, _ in self.whole(entry))

    def close(self):
        """Let go of what is held to find local files: the tree is prepared."""


class ReleaseSources(Sources):
    """An installed release: where its manifest says each file and chunk lies, and the stamps install recorded.

    Only that is kept, not the manifest: a client of many thousand files would
    otherwise be held twice during an update (install.installed_source reads
    it straight from the manifest's text).
    """

    def __init__(self, tree):
        self.tree = tree
        self._prefix = os.path.join(tree, "")
        # Whole hash (its 32 bytes: half the room of its hex digits) -> its file's record (_RECORD, then its path in
        # UTF-8); a file of one chunk is also where that chunk lies.
        self._whole = {}
        # Chunk hash -> (path, offset), of the files of several chunks.
        self._chunks = {}

    def add(self, path, sha256, mode, size, stamp, chunks=()):
        """The file at path (relative), its stamp as recorded (see _packed); chunks: (sha256, size) of each when
        there are several."""
        try:
            digest = bytes.fromhex(sha256)
            if digest not in self._whole:
                stamp = _packed(stamp)
                self._whole[digest] = _RECORD.pack(0o755 if mode & 0o111 else 0o644, size, stamp is not None,
                                                   stamp or b"") + path.encode("utf-8")
        except (ValueError, struct.error):
            return  # not a file an update could use
        if len(chunks) > 1:
            offset = 0
            for chunk_sha256, length in chunks:
                self._chunks.setdefault(chunk_sha256, (path, offset))
                offset += length

    def add_entries(self, entries, stamps):
        for entry in entries:
            if entry.kind == "file":
                self.add(entry.path, entry.sha256, entry.mode, entry.size, stamps.get(entry.path),
                         [(chunk.sha256, chunk.size) for chunk in entry.chunks])

    def close(self):
        self._whole = {}
        self._chunks = {}

    def _path(self, relative):
        return self._prefix + relative

    def whole(self, entry):
        record = self._whole.get(bytes.fromhex(entry.sha256))
        if record is None:
            return []
        mode, _, stamped, stamp = _RECORD.unpack_from(record)
        return [(self._path(record[_RECORD.size:].decode("utf-8")), mode, stamp if stamped else None)]

    def linkable(self, entry):
        record = self._whole.get(bytes.fromhex(entry.sha256))
        return record is not None and _RECORD.unpack_from(record)[0] == entry.install_mode()

    def chunk(self, entry, chunk, offset):
        found = self._chunks.get(chunk.sha256)
        if found is not None:
            return [(self._path(found[0]), found[1])]
        record = self._whole.get(bytes.fromhex(chunk.sha256))
        if record is None or _RECORD.unpack_from(record)[1] != chunk.size:
            return []
        return [(self._path(record[_RECORD.size:].decode("utf-8")), 0)]


# What the index of an installed release keeps of a file, in one bytes object with its path (a release of many
# thousand files has as many): install mode, size, whether it has a stamp, the stamp.
_RECORD = struct.Struct("<HQ?%ds" % STAMP.size)


def _packed(stamp):
    """A recorded stamp as read (anything but a list of three numbers is none), packed; or None."""
    if type(stamp) is not list or len(stamp) != 3:
        return None
    try:
        return STAMP.pack(*stamp)
    except (struct.error, TypeError):
        return None


class TreeSources(Sources):
    """A tree without a manifest (the running launcher bundle): the file at the same path may hold the same bytes."""

    def __init__(self, root):
        self.root = root

    def _regular(self, entry):
        path = os.path.join(self.root, *entry.path.split("/"))
        try:
            info = os.lstat(path)
        except OSError:
            return None, None
        return (path, info) if stat.S_ISREG(info.st_mode) else (None, None)

    def whole(self, entry):
        path, info = self._regular(entry)
        if path is None or info.st_size != entry.size:
            return []
        return [(path, 0o755 if info.st_mode & 0o111 else 0o644, None)]

    def chunk(self, entry, chunk, offset):
        path, info = self._regular(entry)
        return [(path, offset)] if path is not None and info.st_size >= offset + chunk.size else []


class _Reader:
    """Reads checked bytes out of local files, keeping a few open (a big file gives many chunks)."""

    def __init__(self):
        self._open = {}

    def _descriptor(self, path):
        fd = self._open.get(path)
        if fd is None:
            if len(self._open) >= _OPEN_SOURCES:
                self.close()
            fd = self._open[path] = os.open(path, os.O_RDONLY | fsutil.NOFOLLOW)
        return fd

    def read(self, path, offset, size, sha256):
        """The size bytes at offset of path when they hash to sha256, else None."""
        try:
            data = os.pread(self._descriptor(path), size, offset)
        except OSError:
            return None
        if len(data) != size or hashlib.sha256(data).hexdigest() != sha256:
            return None
        return data

    def read_into(self, path, offset, view, sha256):
        """True when the len(view) bytes at offset of path, read into view, hash to sha256.

        Into a buffer used again and again: a big file's chunks by the thousand
        would otherwise each be a fresh allocation, mapped and faulted in.
        """
        try:
            return _read_checked(self._descriptor(path), view, offset, sha256)
        except OSError:
            return False

    def close(self):
        for fd in self._open.values():
            os.close(fd)
        self._open.clear()


def _read_checked(fd, view, offset, sha256):
    """True when view, filled from offset of fd, hashes to sha256."""
    return _read_into(fd, view, offset) == len(view) and hashlib.sha256(view).hexdigest() == sha256


def _read_into(fd, view, offset):
    """Bytes read into view from offset of fd, until it is full or the file ends."""
    done = 0
    while done < len(view):
        if _PREADV:
            count = os.preadv(fd, [view[done:]], offset + done)
        else:
            os.lseek(fd, offset + done, os.SEEK_SET)
            count = os.readv(fd, [view[done:]])
        if not count:
            break
        done += count
    return done


# Python has no preadv on some systems (macOS before 11); each thread then reads through a descriptor of its own.
_PREADV = hasattr(os, "preadv")


def hash_file(path, size, sha256):
    """The stamp of the regular file at path (no link followed) when it holds exactly that content, else None."""
    try:
        fd = os.open(path, os.O_RDONLY | fsutil.NOFOLLOW)
    except OSError:
        return None
    try:
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode) or info.st_size != size:
            return None
        digest = hashlib.sha256()
        while True:
            block = os.read(fd, READ_BLOCK)
            if not block:
                break
            digest.update(block)
        # After the last read: a file still being written would show another time.
        info = os.fstat(fd)
    except OSError:
        return None
    finally:
        os.close(fd)
    return stamp_of(info) if digest.hexdigest() == sha256 and info.st_size == size else None


def _pwrite_all(fd, data, offset):
    view = memoryview(data)
    while view:
        written = os.pwrite(fd, view, offset)
        view = view[written:]
        offset += written


def _unlink(path):
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass


class _Target:
    """One file of the new release in staging; a release of many thousand files has as many of these."""

    __slots__ = ("entry", "root", "mode", "remaining", "fd", "stamp", "whole_check", "local")

    def __init__(self, entry, root, mode):
        self.entry = entry
        # The staging directory: the path is made when needed, not held for every file.
        self.root = root
        self.mode = mode
        self.remaining = 0
        self.fd = None
        self.stamp = None
        # Several chunks make it up: hash it as a whole once it is complete.
        self.whole_check = len(entry.chunks) > 1
        # Of several chunks: where local files may hold them (_Local), until they are put in place.
        self.local = None

    @property
    def path(self):
        return os.path.join(self.root, self.entry.path)


class _Local:
    """Where local files may hold the chunks of one file of several, kept from preparing (when the index of the
    installed release is let go) to the pass that puts them in place after the fetch.

    Per chunk, in order: the index of the file that may hold it in paths (NOWHERE: none), and its offset there;
    a dozen bytes a chunk, where a tuple each would take ten times that.
    """

    __slots__ = ("paths", "places", "continued")
    NOWHERE = 0xFFFFFFFF
    _PLACE = struct.Struct("<Iq")

    def __init__(self, count, continued):
        self.paths = []
        self.places = bytearray(self._PLACE.pack(self.NOWHERE, 0) * count)
        # The staging file a killed run left: a chunk may be in place already.
        self.continued = continued

    def put(self, index, path, offset):
        try:
            which = self.paths.index(path)
        except ValueError:
            which = len(self.paths)
            self.paths.append(path)
        self._PLACE.pack_into(self.places, index * self._PLACE.size, which, offset)

    def place(self, index):
        """(path, offset) where chunk index may lie, or None."""
        which, offset = self._PLACE.unpack_from(self.places, index * self._PLACE.size)
        return None if which == self.NOWHERE else (self.paths[which], offset)


class _WholeHash:
    """Hashes a file from its first byte on, as far as it is in place, on a thread of its own.

    It reads the file back (from the page cache: it was just written), so what
    is hashed is what the release gets. The thread holds one buffer.
    """

    def __init__(self, path):
        self.digest = hashlib.sha256()
        self.position = 0
        self._written = 0
        self._ready = 0
        self._ended = False
        self._error = None
        self._changed = threading.Condition()
        self._fd = os.open(path, os.O_RDONLY | fsutil.NOFOLLOW)
        # Made here: memory the thread takes itself would be served from a heap of its own, kept resident.
        self._view = memoryview(bytearray(_HASH_BLOCK))
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def ready(self, end):
        """Bytes [0, end) are in place."""
        with self._changed:
            self._ready = end
            self._changed.notify()

    def end(self):
        """The hex digest of what was in place, once hashed (None when it could not be read)."""
        with self._changed:
            self._ended = True
            self._changed.notify()
        self._thread.join()
        os.close(self._fd)
        if self._error is not None and not isinstance(self._error, OSError):
            raise self._error  # raised where the run's failures are handled, not printed by the thread
        return None if self._error is not None else self.digest.hexdigest()

    def _run(self):
        view = self._view
        try:
            while True:
                with self._changed:
                    while self.position >= self._ready and not self._ended:
                        self._changed.wait()
                    ready = self._ready
                    if self.position >= ready:
                        return
                while self.position < ready:
                    count = _read_into(self._fd, view[:min(_HASH_BLOCK, ready - self.position)], self.position)
                    if not count:
                        raise OSError(errno.EIO, "the file ended early")
                    self.digest.update(view[:count])
                    self.position += count
                    if self.position - self._written >= _WRITEBACK_STEP:
                        fsutil.start_writeback(self._fd, self._written, self.position - self._written)
                        self._written = self.position
        except BaseException as exc:
            self._error = exc


# What the whole hash reads at a time: more only adds to the memory held beside the chunk buffer.
_HASH_BLOCK = 64 << 10
# How far a file's whole hash may lag behind the chunks put in place before it is told to go on.
_HASH_STEP = 1 << 20
# How much of a file is put in place before it is sent on to the disk.
_WRITEBACK_STEP = 8 << 20


class Build(fetch.Sink):
    """One release tree built in staging (see the module text)."""

    def __init__(self, staging, manifest, sources):
        self.staging = staging
        self.manifest = manifest
        self.sources = sources
        self.targets = []
        # sha256 -> (target, offset in it), or a list of those, of a chunk still to fetch; the target alone for
        # offset 0 (most files are one chunk, and a tuple for each would be held with it).
        self.wanted = {}
        self.pieces = []
        self.linked = 0
        self._lock = threading.Lock()
        self._reader = _Reader()
        self._dirs = fsutil.Directories()
        umask = os.umask(0)
        os.umask(umask)
        self._umask = umask

    def place(self, relative):
        # Manifest paths are relative and "/"-separated, as this system's are.
        return os.path.join(self.staging, relative)

    # Preparing -----------------------------------------------------------------------------------

    def prepare(self):
        """Make the tree's directories, bring in what local files hold, and list the pieces to fetch."""
        resumed = self._make_root()
        if resumed:
            self._tidy()
        for directory in self._directories():
            path = self.place(directory)
            if resumed:
                fsutil.real_directory(path)
            else:
                os.mkdir(path, 0o755)
        try:
            for entry in self.manifest.files():
                target = _Target(entry, self.staging, entry.install_mode())
                self.targets.append(target)
                if resumed and self._resume(target):
                    continue
                candidates = self.sources.whole(entry)
                if candidates:
                    if resumed:
                        _unlink(target.path)  # part of the file: a whole one is at hand
                    if self._bring_whole(target, candidates):
                        continue
                self._assemble(target, resumed)
        finally:
            self._reader.close()
            self._dirs.close()
        return self.pieces

    def _make_root(self):
        """True when a staging tree a killed run left is there to continue."""
        try:
            info = os.lstat(self.staging)
        except FileNotFoundError:
            os.mkdir(self.staging, 0o755)
            return False
        if stat.S_ISDIR(info.st_mode):
            return True
        os.unlink(self.staging)  # a link or a file in its place: never followed
        os.mkdir(self.staging, 0o755)
        return False

    def _directories(self):
        directories = set()
        for entry in self.manifest.entries:
            path = entry.path if entry.kind == "dir" else entry.path.rpartition("/")[0]
            # A directory in the set has its parents there too: most entries stop at their own.
            while path and path not in directories:
                directories.add(path)
                path = path.rpartition("/")[0]
        return sorted(directories, key=lambda directory: (directory.count("/"), directory))

    def _tidy(self):
        """Remove from a continued tree what the manifest does not place there; links are made again at the end."""
        kinds = {directory: "dir" for directory in self._directories()}
        kinds.update((entry.path, "file") for entry in self.manifest.files())
        root = fsutil.open_directory(self.staging)
        stack = [(root, "")]
        while stack:
            fd, prefix = stack.pop()
            try:
                for name in os.listdir(fd):
                    relative = prefix + name
                    try:
                        info = os.stat(name, dir_fd=fd, follow_symlinks=False)
                    except FileNotFoundError:
                        continue
                    kind = kinds.get(relative)
                    if kind == "dir" and stat.S_ISDIR(info.st_mode):
                        stack.append((fsutil.open_directory(name, dir_fd=fd), relative + "/"))
                    elif not (kind == "file" and stat.S_ISREG(info.st_mode)):
                        fsutil.remove_at(fd, name)
            finally:
                os.close(fd)

    def _resume(self, target):
        """Keep what a killed run left of target when it checks out; True when the file is complete."""
        try:
            info = os.lstat(target.path)
        except FileNotFoundError:
            return False
        entry = target.entry
        if info.st_nlink > 1 or not target.whole_check:
            # A link of an installed file, or a file of one chunk: all of it or nothing.
            if (info.st_mode & 0o7777) == target.mode and self._is_linked_source(entry, info):
                target.stamp = stamp_of(info)
            else:
                target.stamp = hash_file(target.path, entry.size, entry.sha256) if (info.st_mode & 0o7777) == target.mode else None
            if target.stamp is None:
                _unlink(target.path)
                return False
            self.linked += info.st_nlink > 1
            return True
        return False  # several chunks: each is checked where it lies (_assemble)

    def _is_linked_source(self, entry, info):
        for path, mode, stamp in self.sources.whole(entry):
            if stamp is not None and stamp == stamp_of(info):
                return True
        return False

    def _bring_whole(self, target, candidates):
        """Hard-link (or copy) an installed file with target's content; True when done and checked."""
        for source, mode, stamp in candidates:
            if mode == target.mode:
                linked = self._link(source, stamp, target)
                if linked:
                    return True
                if linked is False:
                    continue  # not the content: a copy would not be either
            if self._copy(source, target):
                return True
        return False

    def _link(self, source, stamp, target):
        """True when linked and checked; None when no link can be made there; False when the content is wrong."""
        path = target.path
        try:
            self._dirs.link(source, path)
        except OSError as exc:
            if exc.errno == errno.EEXIST:
                raise
            return None  # another disk, or a file system without links
        info = self._dirs.lstat(path)
        found = stamp_of(info)
        if stamp is not None and stamp == found and stat.S_ISREG(info.st_mode):
            target.stamp = found
        else:
            target.stamp = hash_file(path, target.entry.size, target.entry.sha256)
        if target.stamp is None:
            _unlink(target.path)
            return False
        self.linked += 1
        return True

    def _copy(self, source, target):
        entry = target.entry
        digest = hashlib.sha256()
        try:
            src = os.open(source, os.O_RDONLY | fsutil.NOFOLLOW)
        except OSError:
            return False
        try:
            fd = self._create(target)
            try:
                offset = 0
                while True:
                    try:
                        block = os.read(src, READ_BLOCK)
                    except OSError:
                        block = None
                        break
                    if not block or offset + len(block) > entry.size:
                        break
                    digest.update(block)
                    _pwrite_all(fd, block, offset)
                    offset += len(block)
                if block is None or block or offset != entry.size or digest.hexdigest() != entry.sha256:
                    os.close(fd)
                    fd = None
                    _unlink(target.path)
                    return False
                target.stamp = stamp_of(os.fstat(fd))
                return True
            finally:
                if fd is not None:
                    os.close(fd)
        finally:
            os.close(src)

    def _create(self, target):
        fd = os.open(target.path, os.O_RDWR | os.O_CREAT | os.O_EXCL | fsutil.NOFOLLOW, target.mode)
        if target.mode & self._umask:
            os.fchmod(fd, target.mode)
        return fd

    def _assemble(self, target, resumed):
        """Put the chunk of a one-chunk target in place from a local source, or list it to be fetched; of a target
        of several, note where local files may hold each (read after the fetch: assemble) or list it to be fetched."""
        entry = target.entry
        if not entry.chunks:
            fd = self._create(target)
            target.stamp = stamp_of(os.fstat(fd))
            os.close(fd)
            return
        if target.whole_check:
            self._plan(target, resumed)
            return
        chunk = entry.chunks[0]
        data = None
        for path, at in self.sources.chunk(entry, chunk, 0):
            data = self._reader.read(path, at, chunk.size, chunk.sha256)
            if data is not None:
                break
        if data is None:
            self._want(target, chunk, 0)
            return
        fd = self._create(target)
        try:
            _pwrite_all(fd, data, 0)
            target.stamp = stamp_of(os.fstat(fd))
        finally:
            os.close(fd)

    def _plan(self, target, resumed):
        """Make target's staging file (or keep the one a killed run left), note which chunks local files may hold,
        and list the others to be fetched, unless a continued file holds them already."""
        entry = target.entry
        fd = self._open_continued(target) if resumed else None
        continued = fd is not None
        if fd is None:
            fd = self._create(target)
            os.ftruncate(fd, entry.size)
        try:
            for index, (chunk, offset) in enumerate(chunks_mod.positions(entry.chunks)):
                places = self.sources.chunk(entry, chunk, offset)
                if places:
                    if target.local is None:
                        target.local = _Local(len(entry.chunks), continued)
                    target.local.put(index, *places[0])
                elif not (continued and self._reader_at(fd, offset, chunk) is not None):
                    self._want(target, chunk, offset)
        finally:
            os.close(fd)

    def _open_continued(self, target):
        """The staging file a killed run left for target, open for writing, or None (then it is gone)."""
        try:
            fd = os.open(target.path, os.O_RDWR | fsutil.NOFOLLOW)
        except FileNotFoundError:
            return None
        info = os.fstat(fd)
        if stat.S_ISREG(info.st_mode) and info.st_nlink == 1:
            if (info.st_mode & 0o7777) != target.mode:
                os.fchmod(fd, target.mode)
            if info.st_size != target.entry.size:
                os.ftruncate(fd, target.entry.size)
            return fd
        os.close(fd)
        _unlink(target.path)
        return None

    @staticmethod
    def _reader_at(fd, offset, chunk):
        try:
            data = os.pread(fd, chunk.size, offset)
        except OSError:
            return None
        return data if len(data) == chunk.size and hashlib.sha256(data).hexdigest() == chunk.sha256 else None

    def _want(self, target, chunk, offset):
        target.remaining += 1
        places = self.wanted.get(chunk.sha256)
        if places is None:
            # Mostly a chunk has one place: a list only for the others.
            self.wanted[chunk.sha256] = target if offset == 0 else (target, offset)
            self.pieces.append(fetch.Piece(chunk))
        elif type(places) is list:
            places.append((target, offset))
        else:
            self.wanted[chunk.sha256] = [self._places(chunk)[0], (target, offset)]

    def _places(self, piece):
        places = self.wanted[piece.sha256]
        if type(places) is _Target:
            return ((places, 0),)
        return places if type(places) is list else (places,)

    # Fetched chunks (from the fetching threads) ---------------------------------------------------

    def write(self, piece, at, data):
        for target, offset in self._places(piece):
            if target.whole_check:
                fd = os.open(target.path, os.O_WRONLY | fsutil.NOFOLLOW)
                try:
                    _pwrite_all(fd, data, offset + at)
                finally:
                    os.close(fd)
                continue
            # A file of one chunk: only this thread writes it, from its first byte on.
            if target.fd is None:
                target.fd = self._create(target)
            _pwrite_all(target.fd, data, offset + at)

    def finished(self, piece):
        for target, offset in self._places(piece):
            with self._lock:
                target.remaining -= 1
                complete = target.remaining == 0
            if complete and not target.whole_check:
                target.stamp = stamp_of(os.fstat(target.fd))
                os.close(target.fd)
                target.fd = None

    def close(self):
        """Close what a failed fetch left open."""
        for target in self.targets:
            if target.fd is not None:
                os.close(target.fd)
                target.fd = None

    # Finishing -----------------------------------------------------------------------------------

    def assemble(self):
        """Once the fetch is done: put the chunks local files hold in place, each file of several chunks front to
        back while it is hashed as a whole (see the module text). The pieces to fetch after all (local chunks that
        failed their check); finish then hashes their files as a whole.
        """
        self.close()
        # What was fetched is in place: its bookkeeping goes; what is listed now is fetched again.
        self.wanted = {}
        self.pieces = []
        failed = []
        try:
            for target in self.targets:
                if target.local is not None:
                    local, target.local = target.local, None
                    if self._assemble_file(target, local) is False:
                        failed.append(target.entry.path)
        finally:
            self._reader.close()
        self._reject(failed)
        return self.pieces

    def _assemble_file(self, target, local):
        """Put target's local chunks in place, each checked as read; True when the whole hash checked out too,
        False when it did not, None when a chunk is to be fetched after all (the file is then hashed later)."""
        entry = target.entry
        fd = os.open(target.path, os.O_RDWR | fsutil.NOFOLLOW)
        whole = None
        try:
            whole = _WholeHash(target.path)
            buffer = memoryview(bytearray(max(chunk.size for chunk in entry.chunks)))
            told = 0
            for index, (chunk, offset) in enumerate(chunks_mod.positions(entry.chunks)):
                place = local.place(index)
                if place is not None:
                    view = buffer[:chunk.size]
                    if local.continued and _read_checked(fd, view, offset, chunk.sha256):
                        pass  # a killed run put it in place already
                    elif self._reader.read_into(place[0], place[1], view, chunk.sha256):
                        _pwrite_all(fd, view, offset)
                    else:
                        self._want(target, chunk, offset)
                end = offset + chunk.size
                if target.remaining == 0 and (end - told >= _HASH_STEP or end == entry.size):
                    told = end
                    whole.ready(told)
            digest, whole = whole.end(), None
            if target.remaining:
                return None
            # After the last write and the last read: a file still being written would show another time.
            stamp = stamp_of(os.fstat(fd))
        finally:
            if whole is not None:
                whole.end()
            os.close(fd)
        if digest != entry.sha256:
            return False
        target.stamp = stamp
        return True

    def _reject(self, failed):
        if failed:
            for path in failed:
                _unlink(self.place(path))
            raise FeedRejected(fetch.MISMATCH, detail="%s does not match its hash once assembled" % failed[0])

    def finish(self, check_each=None):
        """Hash as a whole every file of several chunks not hashed yet, make the links; every file has its stamp
        then.

        check_each(items, work) runs work(item) for every item (on threads).
        """
        self.close()
        # What was fetched is in place: its bookkeeping goes before the stamps are gathered.
        self.wanted = {}
        self.pieces = []
        pending = [target for target in self.targets if target.whole_check and target.stamp is None]
        failed = []

        def check(target):
            entry = target.entry
            target.stamp = hash_file(target.path, entry.size, entry.sha256)
            if target.stamp is None:
                failed.append(entry.path)

        (check_each or (lambda items, work: [work(item) for item in items]))(pending, check)
        self._reject(failed)
        missing = [target.entry.path for target in self.targets if target.stamp is None]
        if missing:
            raise FeedRejected(fetch.MISMATCH, detail="%s was not completed" % missing[0])
        # Links last, so no file above was ever written through one.
        for entry in self.manifest.entries:
            if entry.kind == "link":
                os.symlink(entry.target, self.place(entry.path))

    def stamps(self):
        """(path, [inode, size, modification time in ns]) of every file, once finished."""
        for target in self.targets:
            yield target.entry.path, STAMP.unpack(target.stamp)

    def paths(self):
        """Every file (made as they are asked for: one flush of the whole disk needs none) and directory of the tree."""
        return (target.path for target in self.targets), [self.place(d) for d in self._directories()]
