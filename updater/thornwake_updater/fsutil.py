"""Crash-safe file writes.

A file that must survive a crash or a kill is written beside its final name,
flushed to disk, renamed over the final name, and its directory flushed, so a
reader sees either the whole old content or the whole new content.
"""

import json
import os
import secrets


def fsync_dir(path):
    try:
        fd = os.open(path, os.O_RDONLY | getattr(os, "O_DIRECTORY", 0))
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        # Some file systems refuse fsync on directories; the rename is still atomic.
        pass
    finally:
        os.close(fd)


def temp_name(path, tag="tmp"):
    directory, name = os.path.split(path)
    return os.path.join(directory, ".%s.%s-%s" % (name, tag, secrets.token_hex(6)))


def atomic_write(path, data, mode=0o644):
    """Replace path with data (bytes) atomically and durably."""
    tmp = temp_name(path)
    fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, mode)
    try:
        with os.fdopen(fd, "wb") as handle:
            handle.write(data)
            handle.flush()
            os.fsync(handle.fileno())
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise
    fsync_dir(os.path.dirname(path) or ".")


def atomic_write_json(path, value, mode=0o644):
    data = (json.dumps(value, indent=2, sort_keys=True, ensure_ascii=False) + "\n").encode("utf-8")
    atomic_write(path, data, mode)


def read_limited(path, limit):
    """The bytes of a file, refusing files larger than limit."""
    with open(path, "rb") as handle:
        data = handle.read(limit + 1)
    if len(data) > limit:
        raise ValueError("%s is larger than %d bytes" % (path, limit))
    return data


def makedirs(path, mode=0o755):
    os.makedirs(path, mode=mode, exist_ok=True)
