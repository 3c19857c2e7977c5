"""Retiring releases that are no longer current, never one a game runs from.

A play run claims the release it starts: it holds a shared flock on the
release's manifest file (releases/<name>.manifest, written once when the
release was installed) from before it checks the tree until the game ends,
and the game inherits that descriptor, so the claim lasts as long as the game
runs, even when the updater is stopped first. Retiring takes the lock
exclusively without waiting and leaves a release whose lock it cannot get: a
later run (an update, or the play run once its game has ended) retires it.

What the game wrote into a directory that a release's manifest declares (a
"dir" entry, such as saves/) is the player's: before a release is retired,
those files are moved into the same places in the current release. Only
regular files are carried, never through a link; the current release's own
manifest entries always win, and where the current release has a file of the
game's at the same place too, the newer one wins.

A retired release is moved into <support>/client/trash at once and deleted
there by a process of its own: deleting thousands of files can take far
longer than the update itself, and nothing waits for it.
"""

import errno
import fcntl
import os
import secrets
import stat
import sys
import time
import unicodedata

from . import fsutil, manifest as manifest_mod
from .errors import UpdaterError
from .installed import MANIFEST_SUFFIX, VERIFIED_SUFFIX, RegionLock, installed_release


def trash_directory(region_dir):
    """<support>/client/trash: what is left to delete, on the same disk as the releases."""
    return os.path.join(os.path.dirname(os.path.dirname(region_dir)), "trash")


def claim_release(installed):
    """A descriptor holding a shared lock on the installed release, or None while it is being retired or gone."""
    try:
        fd = os.open(installed.tree + MANIFEST_SUFFIX, os.O_RDONLY | fsutil.NOFOLLOW)
    except FileNotFoundError:
        return None
    try:
        fcntl.flock(fd, fcntl.LOCK_SH | fcntl.LOCK_NB)
    except OSError as exc:
        os.close(fd)
        if exc.errno in (errno.EWOULDBLOCK, errno.EAGAIN):
            return None
        raise
    return fd


def retire_unused(region_dir):
    """Retire what is not current and no longer in use, unless an update is running (best effort, silent)."""
    try:
        with RegionLock(region_dir):
            installed = installed_release(region_dir)
            if installed is not None:
                remove_leftovers(region_dir, installed.metadata["releaseDirectory"])
    except (OSError, UpdaterError):
        pass


def remove_leftovers(region_dir, keep_directory, keep_staging=None, known=None):
    """Retire staging trees, releases that are not current and not in use, and stray temporary files (best effort).

    Runs under the region's update lock. Without a current release (keep_directory
    None) to carry the game's files into, installed releases are kept; the
    staging tree keep_staging is kept for the update to continue. Nothing is
    followed through a link. known maps release directories to their manifests
    where the caller holds them verified already (parsing a large one again
    costs more than the rest of a small update).
    """
    known = known or {}
    _remove_stray_temporaries(region_dir)
    trash = trash_directory(region_dir)
    _retire_object_cache(trash)
    try:
        releases = fsutil.open_directory(os.path.join(region_dir, "releases"))
    except OSError:
        empty_trash_in_background(trash)
        return
    trash_fd = None
    try:
        groups = {}
        for name in os.listdir(releases):
            groups.setdefault(_release_of(name), []).append(name)
        groups.pop(keep_directory, None)
        groups.pop(keep_staging, None)
        current = None
        if keep_directory and groups:
            current = known.get(keep_directory) or _read_manifest(releases, keep_directory)
        for release, names in sorted(groups.items()):
            claim = _exclusive_claim(releases, release)
            if claim is False:
                continue  # a game runs from it
            try:
                if claim is not None:
                    if current is None:
                        continue  # the player's files in it would have nowhere to go
                    old = known.get(release) or _manifest_of(claim)
                    if old is not None and release in names:
                        carry_over(releases, release, old, keep_directory, current)
                if trash_fd is None:
                    fsutil.real_directory(trash, 0o700)
                    trash_fd = fsutil.open_directory(trash)
                for name in names:
                    _move(releases, name, trash_fd)
            finally:
                if claim is not None:
                    os.close(claim)
    except OSError:
        pass
    finally:
        if trash_fd is not None:
            os.close(trash_fd)
        os.close(releases)
    empty_trash_in_background(trash)


def _retire_object_cache(trash):
    """Move the object cache of updaters before packs (client/objects, beside the trash) into the trash."""
    client = os.path.dirname(trash)
    try:
        os.lstat(os.path.join(client, "objects"))
    except OSError:
        return
    try:
        fsutil.real_directory(trash, 0o700)
        os.rename(os.path.join(client, "objects"), os.path.join(trash, "%s-objects" % secrets.token_hex(6)))
    except OSError:
        pass


def _exclusive_claim(releases, release):
    """A descriptor holding the release's lock exclusively; None when nothing can claim it; False while in use."""
    try:
        fd = os.open(release + MANIFEST_SUFFIX, os.O_RDONLY | fsutil.NOFOLLOW, dir_fd=releases)
    except OSError:
        return None  # no manifest (a staging tree, a half-installed release): no game can run from it
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError:
        os.close(fd)
        return False
    return fd


def _read_manifest(releases, release):
    try:
        fd = os.open(release + MANIFEST_SUFFIX, os.O_RDONLY | fsutil.NOFOLLOW, dir_fd=releases)
    except OSError:
        return None
    try:
        return _manifest_of(fd)
    finally:
        os.close(fd)


def _manifest_of(fd):
    """The manifest in the open file fd (it was verified when its release was installed), or None."""
    try:
        with os.fdopen(os.dup(fd), "rb") as handle:
            handle.seek(0)
            data = handle.read(manifest_mod.MANIFEST_LIMIT + 1)
        if len(data) > manifest_mod.MANIFEST_LIMIT:
            return None
        return manifest_mod.parse(data, "client")
    except (OSError, UpdaterError):
        return None


def carry_over_view(declared, own):
    """All that carry_over needs of a release's manifest when it is the old one, from the paths of its "dir"
    entries (declared) and of its other entries (own): the directories and its own entries below them.
    Held instead of the manifest while an update replaces that release."""
    below = tuple(_fold(path) + "/" for path in declared)
    kept = [manifest_mod.Entry(path, "dir") for path in declared]
    if below:
        kept += [manifest_mod.Entry(path, "file") for path in own if _fold(path).startswith(below)]
    return manifest_mod.Manifest("client", kept)


def carry_over(releases, old, old_manifest, new, new_manifest):
    """Move the game's files from the directories old's manifest declares into the same places in new.

    releases is a descriptor of the directory that holds both release trees.
    """
    declared = [entry.path for entry in old_manifest.entries if entry.kind == "dir"]
    if not declared:
        return
    own = {_fold(entry.path) for entry in old_manifest.entries if entry.kind != "dir"}
    taken = {_fold(entry.path): entry.kind for entry in new_manifest.entries}
    for top in declared:
        if any(top.startswith(other + "/") for other in declared):
            continue  # walked with the declared directory above it
        source = _open_path(releases, [old] + top.split("/"))
        if source is None:
            continue
        # Iterative, with one descriptor per level: a deep tree must not exhaust the stack.
        stack = [(source, top, iter(_names(source)))]
        while stack:
            directory, relative, names = stack[-1]
            for name in names:
                path = relative + "/" + name
                try:
                    info = os.stat(name, dir_fd=directory, follow_symlinks=False)
                    if stat.S_ISDIR(info.st_mode):
                        below = fsutil.open_directory(name, dir_fd=directory)
                        stack.append((below, path, iter(_names(below))))
                        break
                    if stat.S_ISREG(info.st_mode) and _fold(path) not in own and _free(path, taken):
                        _carry_file(releases, new, directory, name, path, info)
                except OSError:
                    pass
            else:
                stack.pop()
                os.close(directory)


def _free(path, taken):
    """True when the current release's manifest has no entry at path, nor a file or link above it."""
    folded = _fold(path)
    if folded in taken:
        return False
    parts = folded.split("/")
    return all(taken.get("/".join(parts[:depth]), "dir") == "dir" for depth in range(1, len(parts)))


def _carry_file(releases, new, directory, name, path, info):
    target = _open_path(releases, [new] + path.split("/")[:-1], create=True)
    if target is None:
        return
    try:
        try:
            present = os.stat(name, dir_fd=target, follow_symlinks=False)
            if not stat.S_ISREG(present.st_mode) or present.st_mtime_ns >= info.st_mtime_ns:
                return  # not a file of the game's, or the newer one
        except FileNotFoundError:
            pass
        os.replace(name, name, src_dir_fd=directory, dst_dir_fd=target)
    finally:
        os.close(target)


def _open_path(releases, components, create=False):
    """A descriptor of the directory at components below releases, no link followed; None when there is none."""
    fd = os.dup(releases)
    try:
        for component in components:
            if create:
                try:
                    os.mkdir(component, 0o755, dir_fd=fd)
                except FileExistsError:
                    pass
            below = fsutil.open_directory(component, dir_fd=fd)
            os.close(fd)
            fd = below
    except OSError:
        os.close(fd)
        return None
    return fd


def _names(fd):
    try:
        return os.listdir(fd)
    except OSError:
        return []


def _fold(path):
    # One name however a file system may spell it (case, Unicode composition).
    return unicodedata.normalize("NFC", path).casefold()


def _move(releases, name, trash_fd):
    try:
        os.rename(name, "%s-%s" % (secrets.token_hex(6), name), src_dir_fd=releases, dst_dir_fd=trash_fd)
    except OSError:
        pass


def _remove_stray_temporaries(region_dir):
    try:
        for name in os.listdir(region_dir):
            path = os.path.join(region_dir, name)
            # A minute old at least: a check run may be writing one right now.
            if name.startswith(".") and ".tmp-" in name and time.time() - os.lstat(path).st_mtime > 60:
                os.unlink(path)
    except OSError:
        pass


def _release_of(name):
    """The release directory an entry of releases/ belongs to (its own name for trees)."""
    for suffix in (MANIFEST_SUFFIX, VERIFIED_SUFFIX):
        if name.endswith(suffix):
            return name[: -len(suffix)]
    return name


# Runs as its own process, detached from the launcher's pipe; a later update starts it again
# for whatever it did not finish. It imports this package from where this run found it.
_EMPTY_TRASH = """
import os, sys
os.chdir("/")
try:
    os.nice(10)
except OSError:
    pass
sys.path.insert(0, sys.argv[2])
from thornwake_updater import fsutil
fsutil.empty_directory(sys.argv[1])
"""


def empty_trash_in_background(trash):
    try:
        fd = fsutil.open_directory(trash)
        try:
            if not os.listdir(fd):
                return
        finally:
            os.close(fd)
        package_parent = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
        _start_detached([sys.executable or "/usr/bin/python3", "-I", "-S", "-B", "-c", _EMPTY_TRASH, trash, package_parent])
    except OSError:
        pass


def _start_detached(argv):
    """Start argv in a session of its own, its standard streams on the null device, and do not wait for it.

    posix_spawn where the system can give the child its own session with it:
    it spares the update importing subprocess and copying itself. Like
    subprocess's close_fds, no descriptor reaches the child: one the launcher
    let this run inherit (a pipe's end) would otherwise be held open as long
    as the deletion runs.
    """
    inherited = _inheritable_descriptors() if hasattr(os, "posix_spawn") else None
    if inherited is not None:
        actions = [(os.POSIX_SPAWN_OPEN, 0, os.devnull, os.O_RDONLY, 0), (os.POSIX_SPAWN_OPEN, 1, os.devnull, os.O_WRONLY, 0),
                   (os.POSIX_SPAWN_DUP2, 1, 2)] + [(os.POSIX_SPAWN_CLOSE, fd) for fd in inherited]
        try:
            os.posix_spawn(argv[0], argv, os.environ, file_actions=actions, setsid=True)
            return
        except NotImplementedError:
            pass
    import subprocess

    subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                     close_fds=True, start_new_session=True, cwd="/")


def _inheritable_descriptors():
    """This process's open descriptors above the standard streams that a child would inherit; None when unknown."""
    try:
        names = os.listdir("/dev/fd")  # Linux and macOS alike
    except OSError:
        return None
    found = []
    for name in names:
        try:
            fd = int(name)
            if fd > 2 and os.get_inheritable(fd):
                found.append(fd)
        except (ValueError, OSError):
            pass  # the listing's own descriptor, closed by now
    return found
