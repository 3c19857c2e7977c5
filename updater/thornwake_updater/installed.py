"""What is installed for a region: the reading side that check, play and retire need.

Per region, under <support>/client/regions/<id>/:

  current.json                 names the current release (written last, atomically)
  releases/<name>/             a complete release tree
  releases/<name>.manifest     its manifest, as verified when it was installed
  releases/<name>.verified     what install noted of each file it verified (stamps)
  releases/<release>.staging-* a release being built; never current
  releases/<staging>.manifest  its manifest, from when it was verified until the release is named
  feed-state.json              the highest feed sequence accepted
  update.lock                  held while an update runs

Writing these is install.py's part; nothing here changes a release.
"""

import errno
import fcntl
import hashlib
import json
import os
import re
import stat

from . import fsutil, manifest as manifest_mod
from .errors import BUSY, FeedRejected, UpdaterError, write_failed
from .feed import SHA256_HEX
from .record import Record

CURRENT_LIMIT = 1 << 20
MANIFEST_SUFFIX = ".manifest"
VERIFIED_SUFFIX = ".verified"
STAGING = ".staging-"
STAMPS_LIMIT = 64 << 20
_RELEASE_DIR = re.compile(r"\A[A-Za-z0-9][A-Za-z0-9._-]{0,63}-[0-9a-f]{12}\Z")


def region_directory(support, region_id):
    return os.path.join(support, "client", "regions", region_id)


class InstalledRelease(Record):
    """What current.json names, with the verified manifest of that release."""

    def __init__(self, region_dir, metadata, manifest, sources=None, carry_over=None, complete=None):
        self.region_dir = region_dir
        self.metadata = metadata
        # None when it was read only as a source for an update to another release (install.installed_source):
        # then sources and carry_over hold what that update needs of it; or only to be checked (checked_release):
        # then complete holds the verdict.
        self.manifest = manifest
        # The verified bytes of the manifest, kept by install.installed_source for a patch to the next one.
        self.manifest_data = None
        self.sources = sources
        self.carry_over = carry_over
        self.complete = complete

    @property
    def release_id(self):
        return self.metadata["releaseId"]

    @property
    def manifest_sha256(self):
        return self.metadata["manifestSha256"]

    @property
    def tree(self):
        return os.path.join(self.region_dir, "releases", self.metadata["releaseDirectory"])

    @property
    def executable_path(self):
        return os.path.join(self.tree, *self.manifest.executable.split("/"))

    def file_path(self, entry):
        return os.path.join(self.tree, entry.path)

    def manifest_bytes(self):
        """The bytes of the installed manifest, as kept or read again and checked against its hash; None when they
        are not those. What was kept is handed over, not kept again."""
        data, self.manifest_data = self.manifest_data, None
        return data if data is not None else verified_manifest_bytes(self.region_dir, self.metadata)

    def stamps(self):
        """What install recorded of each file it had verified: path -> [inode, size, mtime in ns] (see read_stamps)."""
        return read_stamps(self.tree + VERIFIED_SUFFIX)

    def missing_or_wrong(self):
        """The first entry that is missing or has the wrong kind or size, or None.

        Sizes only: a full hash of a large game at every check would take minutes.
        """
        prefix = os.path.join(self.tree, "")
        directories = fsutil.Directories()
        try:
            for entry in self.manifest.entries:
                if not in_place(directories, prefix + entry.path, entry.kind, entry.size, entry.target):
                    return entry
        finally:
            directories.close()
        return None

    def is_complete(self):
        if self.manifest is None:
            return bool(self.complete)
        return self.missing_or_wrong() is None


def in_place(directories, path, kind, size, target):
    """True when path is the entry of that kind: a regular file of size bytes, a link to target, a directory."""
    try:
        info = directories.lstat(path)
        if kind == "file":
            return stat.S_ISREG(info.st_mode) and info.st_size == size
        if kind == "link":
            return stat.S_ISLNK(info.st_mode) and os.readlink(path) == target
    except OSError:
        return False
    return stat.S_ISDIR(info.st_mode)


def staging_directory(region_dir, release_id, manifest_sha256):
    """Where the release of that manifest is built before it gets its final name."""
    return os.path.join(region_dir, "releases", "%s%s%s" % (release_id, STAGING, manifest_sha256[:12]))


def read_current(region_dir):
    """current.json as a dict with the keys install writes, or None."""
    try:
        data = fsutil.read_limited(os.path.join(region_dir, "current.json"), CURRENT_LIMIT)
        metadata = json.loads(data.decode("utf-8"))
    except (OSError, ValueError, RecursionError):
        return None
    if not isinstance(metadata, dict):
        return None
    for key in ("releaseId", "sourceRevision", "manifestSha256", "releaseDirectory", "executable"):
        if not isinstance(metadata.get(key), str):
            return None
    if not SHA256_HEX.match(metadata["manifestSha256"]) or not _RELEASE_DIR.match(metadata["releaseDirectory"]):
        return None
    return metadata


def installed_release(region_dir):
    """The region's current release, or None when nothing usable is installed."""
    metadata, text = current_manifest_text(region_dir)
    if text is None:
        return None
    try:
        parsed = manifest_mod.parse(text, "client", sha256=metadata["manifestSha256"])
    except UpdaterError:
        return None
    if parsed.executable != metadata["executable"] or parsed.release_id != metadata["releaseId"]:
        return None
    return InstalledRelease(region_dir, metadata, parsed)


def checked_release(region_dir):
    """The region's current release as installed_release finds it, with complete: whether missing_or_wrong would
    find nothing; or None. Without its manifest (None): each entry is looked at as it is read from the text.

    The verdict of a check, and of an update with nothing to do: building a large
    client's entries would cost more than looking at its files. An update that
    finds the release incomplete reads it in full to repair it.
    """
    metadata, text = current_manifest_text(region_dir)
    if text is None:
        return None
    prefix = os.path.join(region_dir, "releases", metadata["releaseDirectory"], "")
    executable = metadata["executable"]
    complete = True
    runnable = False

    def visit(item):
        nonlocal complete, runnable
        path = item.get("path")
        manifest_mod.check_path(path)
        kind = item.get("type", "file")
        size, target = item.get("size"), item.get("target")
        if kind == "file":
            mode = item.get("mode", 0o644)
            if type(size) is not int or type(mode) is not int:
                raise FeedRejected(manifest_mod.DAMAGED, detail="manifest: entry %r" % path)
            runnable = runnable or (path == executable and mode & 0o111 != 0)
        elif kind == "link":
            manifest_mod.check_link_target(path, target)
        elif kind != "dir":
            raise FeedRejected(manifest_mod.DAMAGED, detail="manifest: entry %r" % path)
        # The first entry out of place decides; the rest is only read.
        complete = complete and in_place(directories, prefix + path, kind, size, target)

    directories = fsutil.Directories()
    try:
        document = manifest_mod.scan(text, "client", visit)
    except UpdaterError:
        return None
    finally:
        directories.close()
    if document.get("releaseId") != metadata["releaseId"] or document.get("executable") != executable or not runnable:
        return None
    return InstalledRelease(region_dir, metadata, None, complete=complete)


def current_manifest_text(region_dir, keep_bytes=False):
    """(metadata, text of its verified manifest) of the region's current release, or (metadata or None, None);
    with keep_bytes, (metadata, text, bytes) or (metadata or None, None, None).

    The bytes are kept only on request: held they would add a large client's manifest again.
    """
    metadata = read_current(region_dir)
    data = verified_manifest_bytes(region_dir, metadata) if metadata is not None else None
    try:
        text = None if data is None else data.decode("utf-8")
    except UnicodeDecodeError:
        text = data = None
    return (metadata, text, data) if keep_bytes else (metadata, text)


def verified_manifest_bytes(region_dir, metadata):
    path = os.path.join(region_dir, "releases", metadata["releaseDirectory"] + MANIFEST_SUFFIX)
    try:
        data = fsutil.read_limited(path, manifest_mod.MANIFEST_LIMIT)
    except (OSError, ValueError):
        return None
    return data if hashlib.sha256(data).hexdigest() == metadata["manifestSha256"] else None


def read_stamps(path):
    """The recorded stamps by path, as read: a value that is not a list of three is no stamp, and its user skips it.

    Not copied into another form: at many thousand files that copy would be held beside the original.
    """
    try:
        document = json.loads(fsutil.read_limited(path, STAMPS_LIMIT).decode("utf-8"))
        files = document["files"]
        return files if isinstance(files, dict) else {}
    except (OSError, ValueError, KeyError, TypeError, AttributeError, RecursionError):
        return {}


class RegionLock:
    """One update at a time per region, across processes."""

    def __init__(self, region_dir):
        self.path = os.path.join(region_dir, "update.lock")
        self.handle = None

    def __enter__(self):
        try:
            fsutil.real_directory(os.path.dirname(self.path))
            self.handle = fsutil.open_lock_file(self.path)
        except OSError as exc:
            raise write_failed(exc)
        try:
            fcntl.flock(self.handle.fileno(), fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError as exc:
            self.handle.close()
            if exc.errno in (errno.EWOULDBLOCK, errno.EAGAIN, errno.EACCES):
                raise UpdaterError(BUSY)
            raise write_failed(exc)
        return self

    def __exit__(self, *exc_info):
        self.handle.close()
        return False
