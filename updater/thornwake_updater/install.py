"""The installed client release of a region, and installing a new one.

Per region, under <support>/client/regions/<id>/:

  current.json                 names the current release (written last, atomically)
  releases/<name>/             a complete release tree
  releases/<name>.manifest     its manifest, as verified when it was installed
  releases/<release>.staging-* a release being built; never current
  feed-state.json              the highest feed sequence accepted
  update.lock                  held while an update runs

A new release is built and verified in a staging directory, renamed to its
final name, and only then made current by replacing current.json. Until that
replacement the previous release stays current and untouched, whatever stops
the updater; anything half-done is removed by the next update (retire.py).
"""

import errno
import fcntl
import hashlib
import json
import os
import re
import secrets
import shutil
import stat
import threading
import time
import datetime

from . import fsutil, manifest as manifest_mod, transport
from .errors import FeedRejected, InstallError, NetworkError, UpdaterError
from .feed import SHA256_HEX, RELEASE_ID
from .objects import COPY_CHUNK, Stopped, file_matches, identity, write_failed

CURRENT_FORMAT = 1
CURRENT_LIMIT = 1 << 20
_RELEASE_DIR = re.compile(r"\A[A-Za-z0-9][A-Za-z0-9._-]{0,63}-[0-9a-f]{12}\Z")

_INCOMPLETE = "The installed game is incomplete or damaged. Update the game to repair it."
_MISMATCH = "A downloaded file did not match the signed release, so nothing was installed. Try again later."


def region_directory(support, region_id):
    return os.path.join(support, "client", "regions", region_id)


def object_store_directory(support):
    return os.path.join(support, "client", "objects")


class InstalledRelease:
    """What current.json names, with the verified manifest of that release."""

    def __init__(self, region_dir, metadata, manifest):
        self.region_dir = region_dir
        self.metadata = metadata
        self.manifest = manifest

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
        return os.path.join(self.tree, *entry.path.split("/"))

    def stamps(self):
        """What install recorded of each file it had verified: path -> (inode, size, mtime in ns)."""
        return read_stamps(self.tree + VERIFIED_SUFFIX)

    def missing_or_wrong(self):
        """The first entry that is missing or has the wrong kind or size, or None.

        Sizes only: a full hash of a large game at every check would take minutes.
        """
        for entry in self.manifest.entries:
            path = self.file_path(entry)
            try:
                info = os.lstat(path)
            except OSError:
                return entry
            if entry.kind == "file":
                if not _is_regular(info) or info.st_size != entry.size:
                    return entry
            elif entry.kind == "link":
                if not _is_link(info) or os.readlink(path) != entry.target:
                    return entry
            elif not _is_dir(info):
                return entry
        return None

    def is_complete(self):
        return self.missing_or_wrong() is None


def _is_regular(info):
    return stat.S_ISREG(info.st_mode)


def _is_link(info):
    return stat.S_ISLNK(info.st_mode)


def _is_dir(info):
    return stat.S_ISDIR(info.st_mode)


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
    metadata = read_current(region_dir)
    if metadata is None:
        return None
    path = os.path.join(region_dir, "releases", metadata["releaseDirectory"] + ".manifest")
    try:
        data = fsutil.read_limited(path, manifest_mod.MANIFEST_LIMIT)
    except (OSError, ValueError):
        return None
    if hashlib.sha256(data).hexdigest() != metadata["manifestSha256"]:
        return None
    try:
        parsed = manifest_mod.parse(data, "client", sha256=metadata["manifestSha256"])
    except UpdaterError:
        return None
    if parsed.executable != metadata["executable"] or parsed.release_id != metadata["releaseId"]:
        return None
    return InstalledRelease(region_dir, metadata, parsed)


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
                raise UpdaterError("Another Thornwake update is already running. Wait for it to finish, then try again.")
            raise write_failed(exc)
        return self

    def __exit__(self, *exc_info):
        self.handle.close()
        return False


def load_manifest(feed, ref, store, installed, limits=transport.DEFAULT_LIMITS, kind="client"):
    """The verified manifest that ref names (from disk when possible)."""
    if installed is not None and installed.manifest_sha256 == ref.sha256:
        return installed.manifest
    if ref.size > manifest_mod.MANIFEST_LIMIT:
        raise FeedRejected(_MISMATCH, detail="manifest of %d bytes is too large" % ref.size)
    store.download(feed, ref, limits=limits)  # returns at once when the cache has it
    data = store.read(ref, manifest_mod.MANIFEST_LIMIT)
    return manifest_mod.parse(data, kind, sha256=ref.sha256)


VERIFIED_SUFFIX = ".verified"
STAMPS_LIMIT = 64 << 20


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


def read_stamps(path):
    try:
        document = json.loads(fsutil.read_limited(path, STAMPS_LIMIT).decode("utf-8"))
        files = document["files"]
        return {name: tuple(value) for name, value in files.items() if isinstance(value, list) and len(value) == 3}
    except (OSError, ValueError, KeyError, TypeError, AttributeError, RecursionError):
        return {}


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
        if _is_regular(info) and info.st_size == entry.size:
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


WORKERS = 4


def run_parallel(items, work, workers=None, deadline=None):
    """Call work(item, should_stop) for every item on up to workers threads.

    The first failure stops the other threads (should_stop() turns true) and
    is raised here. deadline() (a time.monotonic value, asked again and again)
    bounds the wait as a whole.
    """
    items = list(items)
    workers = WORKERS if workers is None else workers
    if not items:
        return
    if workers <= 1 or len(items) == 1:
        for item in items:
            work(item, lambda: False)
        return
    lock = threading.Lock()
    position = [0]
    errors = []
    stop = threading.Event()

    def worker():
        try:
            while not stop.is_set():
                with lock:
                    if position[0] >= len(items):
                        return
                    item = items[position[0]]
                    position[0] += 1
                try:
                    work(item, stop.is_set)
                except Stopped:
                    return
                except BaseException as exc:
                    with lock:
                        errors.append(exc)
                    stop.set()
                    return
        finally:
            transport.close_connections()

    # Daemon threads: a thread stuck where no timeout reaches cannot keep the updater alive.
    threads = [threading.Thread(target=worker, daemon=True) for _ in range(min(workers, len(items)))]
    try:
        for thread in threads:
            thread.start()
        for thread in threads:
            while thread.is_alive():
                thread.join(0.25)
                if deadline is not None and time.monotonic() > deadline():
                    stop.set()
                    raise NetworkError(
                        "The update server could not be reached. Check your internet connection and try again.",
                        detail="downloads stalled or did not finish in time",
                    )
    except BaseException:
        stop.set()
        raise
    if errors:
        raise errors[0]


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

    run_parallel(remote, fetch, workers, deadline)
    return total[0]


def build_tree(staging, manifest, store, verify_all=False):
    """Create the release tree in the empty directory staging from this run's objects, and make it durable.

    Every object was verified by this process and kept where no other run
    takes it; a moved object is checked to be the very file that was verified
    (else hashed again), a copy is hashed again. verify_all checks every file
    of the finished tree again as well.
    """
    last_use = {}
    for entry in manifest.files():
        last_use[entry.ref.sha256] = entry.path
    directories = set()
    for entry in manifest.entries:
        parts = entry.path.split("/")
        for depth in range(1, len(parts)):
            directories.add("/".join(parts[:depth]))
        if entry.kind == "dir":
            directories.add(entry.path)
    for directory in sorted(directories, key=lambda d: d.count("/")):
        os.mkdir(os.path.join(staging, *directory.split("/")), 0o755)
    for entry in manifest.files():
        if not store.is_verified(entry.ref):
            raise FeedRejected(_MISMATCH, detail="%s was not verified before installation" % entry.path)
    to_check = []
    for entry in manifest.files():
        target = os.path.join(staging, *entry.path.split("/"))
        source = store.path(entry.ref)
        if last_use[entry.ref.sha256] == entry.path:
            # This run's copy is no longer needed once the release holds it.
            verified = store.identity(entry.ref)
            try:
                os.rename(source, target)
                if identity(os.lstat(target)) != verified:
                    to_check.append(entry)
            except OSError as exc:
                if exc.errno != errno.EXDEV:
                    raise
                # The regions directory was moved to another disk; copy instead.
                _copy_new(source, target)
                os.unlink(source)
                to_check.append(entry)
            store.forget(entry.ref)
        else:
            _copy_new(source, target)
            to_check.append(entry)
        os.chmod(target, entry.install_mode(), follow_symlinks=False)
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

