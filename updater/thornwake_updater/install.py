"""Installing a new client release of a region (the layout is described in installed.py).

A new release is built and verified in a staging directory, renamed to its
final name, and only then made current by replacing current.json. Until that
replacement the previous release stays current and untouched, whatever stops
the updater; anything half-done is removed by the next update (retire.py).
"""

import datetime
import errno
import json
import os
import secrets
import shutil
import stat
import threading
import time

from . import fsutil, manifest as manifest_mod, transport
from .errors import FeedRejected, InstallError, NetworkError, write_failed
from .feed import RELEASE_ID
from .installed import VERIFIED_SUFFIX
from .objects import COPY_CHUNK, file_matches, identity
from .parallel import WORKERS, DeadlinePassed, run_parallel

CURRENT_FORMAT = 1

_MISMATCH = "A downloaded file did not match the signed release, so nothing was installed. Try again later."


def object_store_directory(support):
    return os.path.join(support, "client", "objects")


def load_manifest(feed, ref, store, installed, limits=transport.DEFAULT_LIMITS, kind="client"):
    """The verified manifest that ref names (from disk when possible)."""
    if installed is not None and installed.manifest_sha256 == ref.sha256:
        return installed.manifest
    if ref.size > manifest_mod.MANIFEST_LIMIT:
        raise FeedRejected(_MISMATCH, detail="manifest of %d bytes is too large" % ref.size)
    store.download(feed, ref, limits=limits)  # returns at once when the cache has it
    data = store.read(ref, manifest_mod.MANIFEST_LIMIT)
    return manifest_mod.parse(data, kind, sha256=ref.sha256)


def record_stamps(tree, manifest, path):
    """Note the inode, size and modification time of every file of a tree that was just verified.

    A later update hashes a file again only when these changed: the tree's
    files are its own, and nothing writes to them without changing them.
    """
    stamps = {}
    for entry in manifest.files():
        info = os.lstat(os.path.join(tree, *entry.path.split("/")))
        stamps[entry.path] = [info.st_ino, info.st_size, info.st_mtime_ns]
    data = json.dumps({"format": 1, "files": stamps}, separators=(",", ":")).encode("utf-8")
    fsutil.atomic_write(path, data)


def release_sources(installed):
    """Files of the installed release by content hash: where an update may take them from.

    Each is (path, install mode, stamp recorded when it was verified, or None).
    """
    sources = {}
    if installed is not None:
        stamps = installed.stamps()
        for entry in installed.manifest.files():
            sources.setdefault(
                entry.ref.sha256, (installed.file_path(entry), entry.install_mode(), stamps.get(entry.path))
            )
    return sources


def tree_sources(root, manifest):
    """Files of a tree without a manifest (a running launcher bundle) that may hold a new release's content.

    A file at the same path with the same size is a candidate; its content is
    hashed before it is used.
    """
    sources = {}
    for entry in manifest.files():
        path = os.path.join(root, *entry.path.split("/"))
        try:
            info = os.lstat(path)
        except OSError:
            continue
        if stat.S_ISREG(info.st_mode) and info.st_size == entry.size:
            mode = 0o755 if info.st_mode & 0o111 else 0o644
            sources.setdefault(entry.ref.sha256, (path, mode, None))
    return sources


class InstallPlan:
    """Which objects a release needs, and where each will come from.

    In order of preference: the local cache (verified again), a file of the
    installed release (hard-linked or copied, then verified), the feed.
    """

    def __init__(self, manifest, store, sources):
        self.manifest = manifest
        self.store = store
        self.refs = {}
        mode_of_last_use = {}
        for entry in manifest.files():
            self.refs.setdefault(entry.ref.sha256, entry.ref)
            mode_of_last_use[entry.ref.sha256] = entry.install_mode()
        self.cached = []
        self.local = []
        self.remote = []
        for ref in self.refs.values():
            if store.has(ref):
                self.cached.append(ref)
                continue
            source = sources.get(ref.sha256)
            if source is None:
                self.remote.append(ref)
            else:
                # A shared inode must not change its mode under the release that is still current.
                path, mode, stamp = source
                self.local.append((ref, path, mode == mode_of_last_use[ref.sha256], stamp))

    def prepare(self, workers=None):
        """Verify cached objects and bring in local files; what fails joins the downloads."""
        failed = []
        lock = threading.Lock()

        def check_cached(ref, should_stop):
            if not self.store.verify(ref):
                with lock:
                    failed.append(ref)

        def bring_local(item, should_stop):
            ref, path, linkable, stamp = item
            if not self.store.import_file(ref, path, link=linkable, stamp=stamp):
                with lock:
                    failed.append(ref)

        run_parallel(self.cached, check_cached, workers)
        run_parallel(self.local, bring_local, workers)
        self.remote.extend(failed)
        self.cached = self.local = []

    @property
    def download_bytes(self):
        return sum(ref.stored_size - self.store.partial_size(ref) for ref in self.remote)

    @property
    def tree_bytes(self):
        return sum(entry.size for entry in self.manifest.files())


def check_free_space(path, needed):
    try:
        free = shutil.disk_usage(path).free
    except OSError:
        return
    # Leave room for the file system's own overhead and for the player's other programs.
    margin = 64 << 20
    if free < needed + margin:
        raise InstallError(
            "There is not enough free disk space to install the update. Free some disk space and try again.",
            detail="%d bytes needed, %d free at %s" % (needed + margin, free, path),
        )


def fetch_objects(feed, plan, store, on_progress=None, limits=transport.DEFAULT_LIMITS, workers=None):
    """Download every object the plan still lacks into the cache (after plan.prepare()).

    on_progress(done, total) reports stored bytes fetched out of those to fetch.
    """
    total = [plan.download_bytes]
    done = [0]
    last_byte = [time.monotonic()]
    lock = threading.Lock()

    def arrived(count, more=0):
        with lock:
            done[0] += count
            total[0] += more
            if count:
                last_byte[0] = time.monotonic()
            if on_progress is not None:
                on_progress(done[0], total[0])

    if on_progress is not None and plan.remote:
        on_progress(0, total[0])
    # Large objects first, so no thread is left with one big download at the end.
    remote = sorted(plan.remote, key=lambda ref: -ref.stored_size)
    count = len(remote)
    workers = WORKERS if workers is None else workers
    overall = time.monotonic() + limits.deadline_for(total[0]) + limits.base_deadline * (count // max(1, workers) + 1)

    def deadline():
        # Also when no byte arrived for a while: a thread stuck where no socket timeout reaches
        # (a name lookup, a server trickling its headers) must not hold the update.
        return min(overall, last_byte[0] + limits.stall)

    def fetch(ref, should_stop):
        store.download(feed, ref, on_stored_bytes=arrived, limits=limits, should_stop=should_stop)

    try:
        run_parallel(remote, fetch, workers, deadline, at_thread_end=transport.close_connections)
    except DeadlinePassed:
        raise NetworkError(
            "The update server could not be reached. Check your internet connection and try again.",
            detail="downloads stalled or did not finish in time",
        )
    return total[0]


def build_tree(staging, manifest, store, verify_all=False):
    """Create the release tree in the empty directory staging from this run's objects, and make it durable.

    Every object was verified by this process and kept where no other run
    takes it; a moved object is checked to be the very file that was verified
    (else hashed again), a copy is hashed again. verify_all checks every file
    of the finished tree again as well.
    """
    directories = _make_directories(staging, manifest)
    for entry in manifest.files():
        if not store.is_verified(entry.ref):
            raise FeedRejected(_MISMATCH, detail="%s was not verified before installation" % entry.path)
    to_check = _place_files(staging, manifest, store)
    if verify_all:
        to_check = manifest.files()
    damaged = []

    def check(entry, should_stop):
        if not file_matches(os.path.join(staging, *entry.path.split("/")), entry.ref):
            damaged.append(entry.path)

    run_parallel(to_check, check)
    if damaged:
        raise FeedRejected(_MISMATCH, detail="%s does not match its hash after installation" % damaged[0])
    # Links last, so no file above was ever written through one.
    for entry in manifest.entries:
        if entry.kind == "link":
            os.symlink(entry.target, os.path.join(staging, *entry.path.split("/")))
    fsutil.flush_tree(
        staging,
        [os.path.join(staging, *entry.path.split("/")) for entry in manifest.files()],
        [os.path.join(staging, *d.split("/")) for d in directories],
    )


def _make_directories(staging, manifest):
    """Create every directory of the tree (declared, or above an entry), parents first; their paths."""
    directories = set()
    for entry in manifest.entries:
        parts = entry.path.split("/")
        for depth in range(1, len(parts)):
            directories.add("/".join(parts[:depth]))
        if entry.kind == "dir":
            directories.add(entry.path)
    for directory in sorted(directories, key=lambda d: d.count("/")):
        os.mkdir(os.path.join(staging, *directory.split("/")), 0o755)
    return directories


def _place_files(staging, manifest, store):
    """Put every file of the tree in place from this run's objects; the entries whose content needs a check."""
    last_use = {}
    for entry in manifest.files():
        last_use[entry.ref.sha256] = entry.path
    to_check = []
    for entry in manifest.files():
        target = os.path.join(staging, *entry.path.split("/"))
        source = store.path(entry.ref)
        if last_use[entry.ref.sha256] != entry.path:
            _copy_new(source, target)
            to_check.append(entry)
        elif not _move_verified(store, entry.ref, source, target):
            to_check.append(entry)
        os.chmod(target, entry.install_mode(), follow_symlinks=False)
    return to_check


def _move_verified(store, ref, source, target):
    """Move this run's copy of ref into the tree (it is no longer needed); True when it is still the verified file."""
    verified = store.identity(ref)
    try:
        os.rename(source, target)
        unchanged = identity(os.lstat(target)) == verified
    except OSError as exc:
        if exc.errno != errno.EXDEV:
            raise
        # The regions directory was moved to another disk; copy instead.
        _copy_new(source, target)
        os.unlink(source)
        unchanged = False
    store.forget(ref)
    return unchanged


def _copy_new(source, target):
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | fsutil.NOFOLLOW
    fd = os.open(target, flags, 0o644)
    with os.fdopen(fd, "wb") as out, os.fdopen(os.open(source, os.O_RDONLY | fsutil.NOFOLLOW), "rb") as src:
        shutil.copyfileobj(src, out, COPY_CHUNK)


def make_current(region_dir, feed_client, manifest, directory_name):
    metadata = {
        "format": CURRENT_FORMAT,
        "releaseId": feed_client.release_id,
        "sourceRevision": feed_client.source_revision,
        "worldVersion": feed_client.world_version,
        "manifestSha256": manifest.sha256,
        "releaseDirectory": directory_name,
        "executable": manifest.executable,
        "installedAt": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ"),
    }
    fsutil.atomic_write_json(os.path.join(region_dir, "current.json"), metadata)
    return metadata


def staging_directory(region_dir, release_id, token=None):
    """Where a release is built before it gets its final name (token: a new one by default)."""
    token = token or secrets.token_hex(6)
    return os.path.join(region_dir, "releases", "%s.staging-%s" % (release_id, token))


def install_release(feed, manifest, store, region_dir):
    """Build, verify and switch to the release of manifest; its directory name.

    The objects must already be in the cache (fetch_objects).
    """
    client = feed.client
    if not RELEASE_ID.match(client.release_id):
        raise FeedRejected(_MISMATCH, detail="bad release id")
    releases = os.path.join(region_dir, "releases")
    token = secrets.token_hex(6)
    name = "%s-%s" % (client.release_id, token)
    staging = staging_directory(region_dir, client.release_id, token)
    final = os.path.join(releases, name)
    try:
        fsutil.real_directory(releases)
        os.mkdir(staging, 0o755)
        try:
            build_tree(staging, manifest, store)
            record_stamps(staging, manifest, final + VERIFIED_SUFFIX)
            fsutil.atomic_write(final + ".manifest", manifest.raw)
            os.rename(staging, final)
        except BaseException:
            shutil.rmtree(staging, ignore_errors=True)
            raise
        fsutil.fsync_dir(releases)
        make_current(region_dir, client, manifest, name)
    except OSError as exc:
        raise write_failed(exc)
    return name

