"""Crash-safe file writes, and directories that are never links.

A file that must survive a crash or a kill is written beside its final name,
flushed to disk, renamed over the final name, and its directory flushed, so a
reader sees either the whole old content or the whole new content.
"""

import errno
import fcntl
import json
import os
import secrets
import stat
import sys

NOFOLLOW = getattr(os, "O_NOFOLLOW", 0)
DIRECTORY = getattr(os, "O_DIRECTORY", 0)


def flush(fd, drive=True):
    """Make what was written to fd durable.

    On macOS fsync only hands the data to the drive, which may keep it in its
    cache past a power loss; F_FULLFSYNC asks the drive to write out its whole
    cache. Some file systems refuse it (network shares): fsync is the best
    they offer. drive=False is fsync alone, for many files that one full
    flush at the end covers.
    """
    full = getattr(fcntl, "F_FULLFSYNC", None) if drive else None
    if full is not None:
        try:
            fcntl.fcntl(fd, full)
            return
        except OSError:
            pass
    os.fsync(fd)


def fsync_dir(path, drive=True):
    try:
        fd = os.open(path, os.O_RDONLY | getattr(os, "O_DIRECTORY", 0))
    except OSError:
        return
    try:
        flush(fd, drive)
    except OSError:
        # Some file systems refuse fsync on directories; the rename is still atomic.
        pass
    finally:
        os.close(fd)


def temp_name(path, tag="tmp"):
    directory, name = os.path.split(path)
    return os.path.join(directory, ".%s.%s-%s" % (name, tag, secrets.token_hex(6)))


def atomic_write(path, data, mode=0o644, durable=True):
    """Replace path with data (bytes, or an iterable of bytes written in turn) atomically and durably.

    durable=False leaves the flush to the caller (see settle): every flush
    waits for the disk, and one can serve several files.
    """
    tmp = temp_name(path)
    fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, mode)
    try:
        with os.fdopen(fd, "wb") as handle:
            for piece in (data,) if isinstance(data, (bytes, bytearray, memoryview)) else data:
                handle.write(piece)
            handle.flush()
            if durable:
                flush(handle.fileno())
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise
    if durable:
        fsync_dir(os.path.dirname(path) or ".")


def settle(directory, files):
    """Make files of directory, written without their flush, and every rename in directory durable.

    One syncfs of the file system where the system offers it (it covers
    whatever else was written there); elsewhere each file, then the directory.
    """
    if _flush_file_system(directory):
        return
    for path in files:
        fd = os.open(path, os.O_RDONLY | NOFOLLOW)
        try:
            flush(fd, drive=False)
        finally:
            os.close(fd)
    fsync_dir(directory)


def atomic_write_json(path, value, mode=0o644):
    data = (json.dumps(value, indent=2, sort_keys=True, ensure_ascii=False) + "\n").encode("utf-8")
    atomic_write(path, data, mode)


def read_limited(path, limit):
    """The bytes of a file (not through a link), refusing files larger than limit."""
    with os.fdopen(os.open(path, os.O_RDONLY | NOFOLLOW), "rb") as handle:
        # As much as the file holds (a buffer of the limit's size would be asked for otherwise),
        # and on to the limit if it grows meanwhile.
        size = os.fstat(handle.fileno()).st_size
        data = handle.read(min(size, limit) + 1)
        if size < len(data) <= limit:
            data += handle.read(limit + 1 - len(data))
    if len(data) > limit:
        raise ValueError("%s is larger than %d bytes" % (path, limit))
    return data


def makedirs(path, mode=0o755):
    os.makedirs(path, mode=mode, exist_ok=True)


def real_directory(path, mode=0o755):
    """path as a directory of its own: created when missing; a link in its place is removed, never followed.

    Links there were not made by the updater; following one would write into,
    or delete from, whatever it points to.
    """
    for _ in range(3):
        try:
            info = os.lstat(path)
        except FileNotFoundError:
            makedirs(os.path.dirname(path) or ".", mode)
            try:
                os.mkdir(path, mode)
                return path
            except FileExistsError:
                continue
        if stat.S_ISDIR(info.st_mode):
            return path
        if not stat.S_ISLNK(info.st_mode):
            raise NotADirectoryError(errno.ENOTDIR, os.strerror(errno.ENOTDIR), path)
        try:
            os.unlink(path)
        except FileNotFoundError:
            pass
    raise OSError(errno.EAGAIN, "the directory keeps changing", path)


def open_directory(path, dir_fd=None):
    """A descriptor of the directory at path, which must not be a link."""
    return os.open(path, os.O_RDONLY | DIRECTORY | NOFOLLOW, dir_fd=dir_fd)


def open_lock_file(path):
    """A lock file opened for flock, created when missing; a link is not followed (ELOOP)."""
    return os.fdopen(os.open(path, os.O_RDWR | os.O_CREAT | NOFOLLOW, 0o600), "r+b")


def remove_at(dir_fd, name):
    """Remove the entry name of the directory dir_fd and everything below it (best effort).

    A link is removed itself, never what it points to; directories are
    walked through descriptors, so a directory swapped for a link on the
    way is not followed either.
    """
    if _unlink_at(dir_fd, name):
        return
    fd = _open_below(dir_fd, name)
    if fd is None:
        return
    # Iterative: a deep tree must not exhaust the interpreter's stack.
    stack = [(dir_fd, name, fd, iter(_names(fd)))]
    while stack:
        parent, entry_name, fd, names = stack[-1]
        for child in names:
            if _unlink_at(fd, child):
                continue
            child_fd = _open_below(fd, child)
            if child_fd is not None:
                stack.append((fd, child, child_fd, iter(_names(child_fd))))
                break
        else:
            stack.pop()
            os.close(fd)
            try:
                os.rmdir(entry_name, dir_fd=parent)
            except OSError:
                pass


def empty_directory(path):
    """Remove everything in the directory at path, which must not be a link (best effort)."""
    try:
        fd = open_directory(path)
    except OSError:
        return
    try:
        for name in _names(fd):
            remove_at(fd, name)
    finally:
        os.close(fd)


def _unlink_at(dir_fd, name):
    """True when name is gone; False when it is a directory (or could not be removed)."""
    try:
        os.unlink(name, dir_fd=dir_fd)
        return True
    except FileNotFoundError:
        return True
    except OSError:
        return False


def _open_below(dir_fd, name):
    try:
        return open_directory(name, dir_fd=dir_fd)
    except OSError:
        return None


def _names(fd):
    try:
        return os.listdir(fd)
    except OSError:
        return []


class Directories:
    """Descriptors of the directories of many files worked on in turn, a few kept open: a call on a name in an
    open directory spares the system walking the whole path again, thousands of times over.

    Paths go through the same directories a full path would (links on the way
    are followed alike); a system without calls relative to a directory gets
    the full path.
    """

    USABLE = {os.stat, os.link} <= os.supports_dir_fd and os.stat in os.supports_follow_symlinks

    def __init__(self, limit=32):
        self._open = {}
        self._limit = limit

    def split(self, path):
        """(descriptor of the directory of path, or None, the name to use with it: path itself with None)."""
        directory, separator, name = path.rpartition(os.sep)
        if not self.USABLE or not separator:
            return None, path
        fd = self._open.get(directory)
        if fd is None:
            if len(self._open) >= self._limit:
                self.close()
            try:
                fd = os.open(directory or os.sep, os.O_RDONLY | DIRECTORY)
            except OSError:
                return None, path
            self._open[directory] = fd
        return fd, name

    def lstat(self, path):
        fd, name = self.split(path)
        return os.stat(name, dir_fd=fd, follow_symlinks=False)

    def link(self, source, target):
        """A hard link at target of source itself (never what a link there points to)."""
        source_fd, source_name = self.split(source)
        target_fd, target_name = self.split(target)
        os.link(source_name, target_name, src_dir_fd=source_fd, dst_dir_fd=target_fd, follow_symlinks=False)

    def close(self):
        for fd in self._open.values():
            os.close(fd)
        self._open.clear()


def return_freed_memory(at_once=True):
    """How freed memory is kept, for the rest of the run: large blocks go back to the system at once (at_once),
    or blocks of up to several MiB are kept for reuse.

    An update holds a large client's manifest in buffers of several MB for a
    moment: GNU libc would otherwise serve such blocks from its heap after the
    first is freed, where they stay resident for the rest of the run. A download
    takes and frees chunk buffers of up to a few MiB by the thousand: mapping
    each afresh would cost more time than the download. Other C libraries
    (macOS's) return large blocks anyway: nothing to do there.
    """
    try:
        os.confstr("CS_GNU_LIBC_VERSION")
    except (ValueError, OSError):
        return
    try:
        import ctypes

        libc = ctypes.CDLL(None)
        # M_MMAP_THRESHOLD: blocks this large are mapped of their own and unmapped when freed. Fixed, so GNU libc
        # no longer raises it; M_TRIM_THRESHOLD then too, as it would have done.
        threshold = 128 << 10 if at_once else 8 << 20
        libc.mallopt(-3, threshold)
        if not at_once:
            libc.mallopt(-1, 2 * threshold)
        else:
            # M_ARENA_MAX: the download threads share two heaps rather than one each, every one of which would keep
            # its own freed chunk buffers resident (48 MB against 43 MB at the peak of a 20,000-file install).
            libc.mallopt(-8, 2)
    except (ImportError, OSError, AttributeError):
        pass


def _syncfs():
    """The system's syncfs(2) where there is one (Linux), else None."""
    if not sys.platform.startswith("linux"):
        return None
    try:
        import ctypes

        function = ctypes.CDLL(None, use_errno=True).syncfs
    except (ImportError, OSError, AttributeError):
        return None
    function.argtypes = [ctypes.c_int]
    function.restype = ctypes.c_int
    return function


def _flush_file_system(path):
    """True when the whole file system of path was flushed (syncfs)."""
    syncfs = _syncfs()
    if syncfs is None:
        return False
    fd = os.open(path, os.O_RDONLY | DIRECTORY)
    try:
        return syncfs(fd) == 0
    finally:
        os.close(fd)


def start_writeback(fd, offset, length):
    """Start writing bytes [offset, offset + length) of fd to the disk, without waiting for them.

    A big file written in pieces then goes to the disk while the rest is
    still being put together, and the flush of the whole tree finds little
    left to do. Only Linux can be told (sync_file_range); elsewhere nothing.
    """
    function = _sync_file_range()
    if function is not None:
        function(fd, offset, length, 2)  # SYNC_FILE_RANGE_WRITE; a failure only leaves it to the flush


_SYNC_FILE_RANGE = []


def _sync_file_range():
    if not _SYNC_FILE_RANGE:
        function = None
        if sys.platform.startswith("linux"):
            try:
                import ctypes

                function = ctypes.CDLL(None).sync_file_range
                function.argtypes = [ctypes.c_int, ctypes.c_int64, ctypes.c_int64, ctypes.c_uint]
                function.restype = ctypes.c_int
            except (ImportError, OSError, AttributeError):
                function = None
        _SYNC_FILE_RANGE.append(function)
    return _SYNC_FILE_RANGE[0]


def flush_tree(root, files, directories):
    """Make the files and directories of a new tree under root durable.

    One syncfs of root's file system where the system offers it: flushing
    thousands of small files one by one costs far more than the data itself.
    Elsewhere every file and directory is flushed on its own, a few at a time,
    and one full flush at the end empties the drive's cache for all of them.
    """
    if _flush_file_system(root):
        return
    import concurrent.futures

    def flush_file(path):
        fd = os.open(path, os.O_RDONLY | getattr(os, "O_NOFOLLOW", 0))
        try:
            flush(fd, drive=False)
        finally:
            os.close(fd)

    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        for _ in pool.map(flush_file, files):
            pass
    for directory in sorted(directories, key=lambda d: -d.count(os.sep)):
        fsync_dir(directory, drive=False)
    fsync_dir(root)
