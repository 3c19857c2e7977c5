"""Replacing the running launcher bundle with the feed's launcher release.

The new bundle is built in a staging directory beside the running one
(<parent>/.<name>.staging-<token>: a rename within one directory cannot cross
disks), checked (every file's hash, and that its Contents/Info.plist names the
feed's version, so that a wrong publication can never make the launcher
update itself in a loop), and then swapped in:

  1. a stale <bundle>.old is removed;
  2. the staged bundle and <bundle> are exchanged in one atomic step, and the
     running one, now at the staging name, is renamed to <bundle>.old.

Where the system or its file system cannot exchange two paths, step 2 is two
renames instead: <bundle> to <bundle>.old, then the staged bundle to <bundle>.
A failure between them renames <bundle>.old back at once. A run killed
between them leaves no <bundle> but a whole <bundle>.old, and the next run
that is given the bundle renames it back (recover). The old bundle stays as
<bundle>.old until the new launcher has started, which removes it.

This process itself runs from the old bundle's resources. Every module of its
own was imported before the swap, so nothing is read from the new bundle.
"""

import errno
import fcntl
import os
import plistlib
import secrets
import shutil
import stat
import sys

from . import fsutil
from .errors import BUSY, FeedRejected, UpdaterError, file_failure, write_failed
from .assemble import TreeSources
from .install import build, check_free_space, load_manifest, space_needed
from .manifest import check_room

LOCK_NAME = "launcher-update.lock"
INFO_PLIST = "Contents/Info.plist"
INFO_PLIST_LIMIT = 1 << 20

_WRONG_RELEASE = "The launcher on the server is not the version it claims to be. Try later."


def bundle_path(options):
    """The running bundle's path as given, without a trailing separator."""
    path = options.launcher_bundle
    while len(path) > 1 and path.endswith("/"):
        path = path[:-1]
    return path


def old_path(bundle):
    return bundle + ".old"


def staging_prefix(bundle):
    parent, name = os.path.split(bundle)
    return os.path.join(parent, ".%s.staging-" % name)


class BundleLock:
    """One launcher replacement at a time, across processes and regions.

    The lock file lives in the support directory, not beside the bundle, so
    nothing new appears in the player's applications folder.
    """

    def __init__(self, support, wait=True):
        self.path = os.path.join(support, LOCK_NAME)
        self.wait = wait
        self.handle = None
        self.held = False

    def __enter__(self):
        try:
            fsutil.makedirs(os.path.dirname(self.path), mode=0o700)
            self.handle = fsutil.open_lock_file(self.path)
        except OSError as exc:
            raise write_failed(exc)
        try:
            fcntl.flock(self.handle.fileno(), fcntl.LOCK_EX | fcntl.LOCK_NB)
            self.held = True
        except OSError as exc:
            if exc.errno not in (errno.EWOULDBLOCK, errno.EAGAIN, errno.EACCES):
                self.handle.close()
                raise write_failed(exc)
            if self.wait:
                self.handle.close()
                raise UpdaterError(BUSY)
        return self

    def __exit__(self, *exc_info):
        self.handle.close()
        return False


def recover(bundle):
    """Rename <bundle>.old back when a swap was cut off between its two renames; True if it did."""
    old = old_path(bundle)
    if os.path.lexists(bundle) or not os.path.isdir(old) or os.path.islink(old):
        return False
    os.rename(old, bundle)
    fsutil.fsync_dir(os.path.dirname(bundle) or ".")
    return True


def recover_quietly(support, bundle, output):
    """recover() for runs that do not replace the launcher: never waits, never fails the run."""
    try:
        with BundleLock(support, wait=False) as lock:
            if lock.held and recover(bundle):
                output.log("The launcher of an interrupted update was put back in place.")
    except (OSError, UpdaterError) as exc:
        output.log("Details: the launcher could not be put back in place: %s" % (getattr(exc, "detail", None) or exc))


def remove_staging_leftovers(bundle, keep=None):
    """Remove what earlier runs staged beside the bundle, except the staging directory keep."""
    prefix = staging_prefix(bundle)
    parent = os.path.dirname(prefix)
    try:
        names = os.listdir(parent)
    except OSError:
        return
    for name in names:
        path = os.path.join(parent, name)
        if path.startswith(prefix) and path != keep:
            shutil.rmtree(path, ignore_errors=True)


def check_bundle(root, version):
    """Raise FeedRejected unless the tree at root is a launcher bundle of the given version."""
    path = os.path.join(root, *INFO_PLIST.split("/"))
    try:
        if not stat.S_ISREG(os.lstat(path).st_mode):
            raise ValueError("not a regular file")
        info = plistlib.loads(fsutil.read_limited(path, INFO_PLIST_LIMIT))
    except (OSError, ValueError, plistlib.InvalidFileException) as exc:
        raise FeedRejected(_WRONG_RELEASE, detail="%s: %s" % (INFO_PLIST, exc))
    except Exception as exc:  # plistlib raises a variety of errors for malformed documents
        raise FeedRejected(_WRONG_RELEASE, detail="%s: unreadable (%s)" % (INFO_PLIST, exc.__class__.__name__))
    if not isinstance(info, dict) or info.get("CFBundleVersion") != version:
        found = info.get("CFBundleVersion") if isinstance(info, dict) else None
        raise FeedRejected(_WRONG_RELEASE, detail="CFBundleVersion is %r, the feed offers %s" % (found, version))
    macos = os.path.join(root, "Contents", "MacOS")
    executable = info.get("CFBundleExecutable")
    names = [executable] if isinstance(executable, str) and executable else _names(macos)
    for name in names:
        candidate = os.path.join(macos, name)
        try:
            info_exe = os.lstat(candidate)
        except OSError:
            continue
        if "/" not in name and stat.S_ISREG(info_exe.st_mode) and info_exe.st_mode & 0o111:
            return
    raise FeedRejected(_WRONG_RELEASE, detail="the bundle has no executable program in Contents/MacOS")


def _names(directory):
    try:
        return sorted(os.listdir(directory))
    except OSError:
        return []


def _exchange_call():
    """The system's atomic exchange of two paths as call(a, b) -> 0, or -1 with errno set; None without one.

    renameat2(RENAME_EXCHANGE) on Linux (glibc 2.28 and later), renamex_np(RENAME_SWAP)
    on macOS (10.12 and later).
    """
    try:
        import ctypes

        libc = ctypes.CDLL(None, use_errno=True)
        if sys.platform.startswith("linux"):
            function = libc.renameat2
            function.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p, ctypes.c_uint]
            function.restype = ctypes.c_int
            return lambda a, b: function(_AT_FDCWD, a, _AT_FDCWD, b, _RENAME_EXCHANGE)
        if sys.platform == "darwin":
            function = libc.renamex_np
            function.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_uint]
            function.restype = ctypes.c_int
            return lambda a, b: function(a, b, _RENAME_SWAP)
    except (ImportError, OSError, AttributeError):
        pass
    return None


_AT_FDCWD = -100
_RENAME_EXCHANGE = 2
_RENAME_SWAP = 2
# What a system or file system without the exchange answers.
_NO_EXCHANGE = (errno.EINVAL, errno.ENOSYS, errno.ENOTSUP, errno.EOPNOTSUPP)


def exchange(a, b):
    """Swap what the two paths name in one atomic step; False when this system or file system cannot."""
    call = _exchange_call()
    if call is None:
        return False
    import ctypes

    if call(os.fsencode(a), os.fsencode(b)) == 0:
        return True
    number = ctypes.get_errno()
    if number in _NO_EXCHANGE:
        return False
    raise OSError(number, os.strerror(number), a, None, b)


def swap(bundle, staged):
    """Put the staged bundle at bundle's path, keeping the running one as <bundle>.old.

    Where the system can exchange two paths atomically, bundle's path always
    holds a whole bundle; elsewhere two renames leave a moment without one,
    which recover() repairs.
    """
    parent = os.path.dirname(bundle) or "."
    old = old_path(bundle)
    if os.path.lexists(old):
        if os.path.isdir(old) and not os.path.islink(old):
            shutil.rmtree(old, ignore_errors=True)
        else:
            os.unlink(old)
    if exchange(staged, bundle):
        try:
            os.rename(staged, old)
        except BaseException:
            exchange(staged, bundle)  # the running bundle back at its path; the caller removes the staged one
            raise
    else:
        os.rename(bundle, old)
        try:
            os.rename(staged, bundle)
        except BaseException:
            if not os.path.lexists(bundle):
                os.rename(old, bundle)
            raise
    fsutil.fsync_dir(parent)


def install_launcher(ctx, feed, release, mirrors):
    """Install the feed's launcher release in place of the running bundle and print the two lines."""
    output = ctx.output
    bundle = bundle_path(ctx.options)
    parent = os.path.dirname(os.path.abspath(bundle))
    with BundleLock(ctx.support):
        manifest = load_manifest(mirrors, release.manifest, None, ctx.limits, kind="launcher")
        if manifest.version != release.version:
            raise FeedRejected(_WRONG_RELEASE, detail="manifest names version %r, the feed %r" % (manifest.version, release.version))
        # Named after the manifest: what a run that was stopped staged is continued.
        staged = staging_prefix(bundle) + manifest.sha256[:12]
        try:
            recover(bundle)
            remove_staging_leftovers(bundle, keep=staged)
        except OSError as exc:
            raise write_failed(exc)
        check_room(manifest, staged)
        sources = TreeSources(bundle)
        try:
            check_free_space(parent, space_needed(manifest, sources))
            build(staged, manifest, sources, mirrors, output, "launcher", release.version, ctx.limits)
            try:
                check_bundle(staged, release.version)
            except FeedRejected:
                shutil.rmtree(staged, ignore_errors=True)
                raise
            swap(bundle, staged)
        except OSError as exc:
            raise file_failure(exc, "Launcher not updated", parent)
    output.launcher_installed_at(bundle)
    output.installed_launcher(release.version)
    return 0
