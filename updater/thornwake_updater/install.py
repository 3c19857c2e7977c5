"""Installing a new client release of a region (the layout is described in installed.py).

A new release is built in a staging directory named after its manifest
(releases/<release>.staging-<manifest sha256, first 12 digits>), from local
files and fetched chunks (assemble.py, fetch.py), made durable, renamed to its
final name, and only then made current by replacing current.json. Until that
replacement the previous release stays current and untouched, whatever stops
the updater. A staging tree left by a run that failed or was killed is
continued by the next run for the same release; any other is removed
(retire.py).
"""

import datetime
import hashlib
import json
import os
import secrets

from . import assemble, fetch, fsutil, manifest as manifest_mod, parallel, patch as patch_mod, progress, retire, transport
from .errors import FeedRejected, InstallError, UpdaterError, write_failed
from .installed import MANIFEST_SUFFIX, VERIFIED_SUFFIX, InstalledRelease, current_manifest_text, staging_directory

CURRENT_FORMAT = 1


def load_manifest(mirrors, ref, installed=None, limits=transport.DEFAULT_LIMITS, kind="client", keep_at=None, patches=None):
    """The verified manifest that ref names: the installed one when it is that, else made from the installed one
    with a patch of patches (the feed's, by the manifest each applies to), else fetched into memory.

    With keep_at, its bytes are written there at once and not held:
    install_release gives that file the release's name, and makes it durable
    with the release. Otherwise they are in its raw.
    """
    if installed is not None and installed.manifest_sha256 == ref.sha256:
        # Its bytes, which it does not hold, are written beside the repaired release.
        raw = installed.manifest_bytes()
        if raw is not None:
            if keep_at is None:
                installed.manifest.raw = raw
            else:
                _keep(keep_at, raw)
            return installed.manifest
    data = _patched(mirrors, ref, installed, patches, limits)
    if installed is not None:
        installed.manifest_data = None  # not held beside the new manifest
    if data is None:
        data = fetch.fetch_object(mirrors, ref.chunk(), manifest_mod.MANIFEST_LIMIT, limits)
    if keep_at is None:
        return manifest_mod.parse(data, kind, sha256=ref.sha256)
    _keep(keep_at, data)
    # Parsed from its text alone: a large client's manifest is not held as bytes too.
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as exc:
        raise FeedRejected(manifest_mod.DAMAGED, detail="manifest: not UTF-8 (%s)" % exc)
    data = None
    return manifest_mod.parse(text, kind, sha256=ref.sha256)


def _patched(mirrors, ref, installed, patches, limits):
    """The manifest ref names, made from the installed one with the patch for it; None when there is no such patch,
    or it cannot be fetched or applied or does not give exactly that manifest: then the whole one is fetched."""
    patch_ref = patches.get(installed.manifest_sha256) if installed is not None and patches else None
    if patch_ref is None:
        return None
    try:
        # Mirrors of its own: a mirror that fails the patch still serves the whole manifest.
        patch = fetch.fetch_object(fetch.Mirrors(mirrors.bases), patch_ref.chunk(), manifest_mod.MANIFEST_LIMIT, limits)
        old = installed.manifest_bytes()
        data = None if old is None else patch_mod.apply(old, patch, ref.size)
    except UpdaterError:
        return None
    if data is None or len(data) != ref.size or hashlib.sha256(data).hexdigest() != ref.sha256:
        return None
    return data


def _keep(path, data):
    try:
        fsutil.real_directory(os.path.dirname(path))
        # Nothing reads it before install_release has made it durable: a torn one is only ever replaced or retired.
        fsutil.atomic_write(path, data, durable=False)
    except OSError as exc:
        raise write_failed(exc)


def release_sources(installed):
    """The installed release as a source of files and chunks (nothing when there is none)."""
    if installed is None:
        return assemble.Sources()
    if installed.sources is not None:
        return installed.sources
    sources = assemble.ReleaseSources(installed.tree)
    sources.add_entries(installed.manifest.entries, installed.stamps())
    return sources


def installed_source(region_dir):
    """The region's current release, as installed_release finds it, read only as a source for an update to
    another release: without its manifest, with its sources and what retiring it needs (see InstalledRelease).

    Its manifest's entries are read one by one into that index, never held:
    a large client's would otherwise be held beside the new one.
    """
    metadata, text, data = current_manifest_text(region_dir, keep_bytes=True)
    if text is None:
        return None
    release = InstalledRelease(region_dir, metadata, None)
    sources = assemble.ReleaseSources(release.tree)
    stamps = release.stamps()
    declared, own, executable = [], [], []

    def visit(item):
        path = item.get("path")
        manifest_mod.check_path(path)
        kind = item.get("type", "file")
        if kind == "dir":
            declared.append(path)
            return
        own.append(path)
        if kind != "file":
            return
        digest, size, mode, chunks = item.get("sha256"), item.get("size"), item.get("mode", 0o644), item.get("chunks")
        if type(digest) is not str or type(size) is not int or type(mode) is not int:
            raise FeedRejected(manifest_mod.DAMAGED, detail="manifest: entry %r" % path)
        if isinstance(chunks, list) and len(chunks) > 1:
            if not all(isinstance(chunk, list) and len(chunk) == 6 and type(chunk[1]) is int for chunk in chunks):
                raise FeedRejected(manifest_mod.DAMAGED, detail="manifest: chunks of %r" % path)
            chunks = [(chunk[0], chunk[1]) for chunk in chunks]
        else:
            chunks = ()
        sources.add(path, digest, mode, size, stamps.pop(path, None), chunks)
        if path == metadata["executable"] and mode & 0o111:
            executable.append(path)

    try:
        document = manifest_mod.scan(text, "client", visit)
    except UpdaterError:
        return None
    if document.get("releaseId") != metadata["releaseId"] or not executable:
        return None
    release.sources = sources
    release.carry_over = retire.carry_over_view(declared, own)
    # Read and checked already: a patch to the new manifest is applied to these bytes (load_manifest).
    release.manifest_data = data
    return release


def space_needed(manifest, sources):
    """The bytes of the files that cannot be hard-linked from a local source."""
    return sum(entry.size for entry in manifest.files() if not sources.linkable(entry))


def check_free_space(path, needed):
    try:
        info = os.statvfs(path)  # as shutil.disk_usage, without importing shutil for it
    except OSError:
        return
    free = info.f_bavail * info.f_frsize
    # Leave room for the file system's own overhead and for the player's other programs.
    margin = 64 << 20
    if free < needed + margin:
        raise InstallError(
            "Not enough free disk space for the update. Free some space and retry.",
            detail="%d bytes needed, %d free at %s" % (needed + margin, free, path),
        )


def build(staging, manifest, sources, mirrors, output, kind, name, limits=transport.DEFAULT_LIMITS):
    """Build the tree of manifest in staging (see assemble.py) and make it durable; the stamps of its files.

    Prints the progress of the download as kind ("client" or "launcher") name,
    then the line that says it is verifying and installing (both again when
    chunks of local files fail their check and are fetched after all).
    """
    tree = assemble.Build(staging, manifest, sources)
    installing = output.installing_client if kind == "client" else output.installing_launcher
    try:
        pieces = tree.prepare()
        sources.close()  # where local files hold what is needed is noted: the index of the installed release goes
        fsutil.return_freed_memory(at_once=False)  # the manifests' large buffers are gone; chunk buffers come next
        _fetch(tree, pieces, mirrors, output, kind, name, limits)
        pieces = None  # one piece each of many thousand files, no longer needed
        installing()
        again = tree.assemble()
        if again:
            # Chunks of local files that failed their check: fetched after all, shown as a download of its own.
            _fetch(tree, again, mirrors, output, kind, name, limits)
            installing()
        tree.finish(lambda items, work: parallel.run_parallel(items, lambda item, should_stop: work(item)))
    finally:
        tree.close()
    files, directories = tree.paths()
    fsutil.flush_tree(staging, files, directories)
    return tree.stamps()


def _fetch(tree, pieces, mirrors, output, kind, name, limits):
    spans = fetch.plan_spans(pieces)
    report = progress.Progress(output.report, kind, name, fetch.total_bytes(spans))
    report.start()
    fetch.Engine(mirrors, tree, limits, report).run(spans)
    report.finish()


def write_stamps(path, stamps, durable=True):
    """The inode, size and modification time of every file of a tree that was just verified.

    stamps: (path, [inode, size, mtime in ns]) of each file. A later update
    hashes a file again only when these changed: the tree's files are its own,
    and nothing writes to them without changing them. durable=False leaves the
    flush to the caller (fsutil.settle).
    """
    fsutil.atomic_write(path, _stamps_document(stamps), durable=durable)


def _stamps_document(stamps, batch=1024):
    """{"format":1,"files":{path: stamp, ...}} in pieces: at many thousand files one string of it, and its bytes,
    would be held beside everything else."""
    yield b'{"format":1,"files":{'
    pieces = []
    separator = ""
    quoted = json.encoder.encode_basestring_ascii  # what json.dumps(path) gives, without its per-call cost
    for path, (inode, size, mtime) in stamps:
        pieces.append("%s%s:[%d,%d,%d]" % (separator, quoted(path), inode, size, mtime))
        separator = ","
        if len(pieces) >= batch:
            yield "".join(pieces).encode("utf-8")
            pieces = []
    yield ("".join(pieces) + "}}").encode("utf-8")


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


def staging_manifest(staging):
    """Where the manifest of the release built in staging is kept until the release gets its name (load_manifest).

    It goes with the staging tree: kept while that is continued, retired with it.
    """
    return staging + MANIFEST_SUFFIX


def install_release(feed, manifest, region_dir, sources, mirrors, output, limits=transport.DEFAULT_LIMITS):
    """Build, verify and switch to the release of manifest; its directory name."""
    client = feed.client
    releases = os.path.join(region_dir, "releases")
    name = "%s-%s" % (client.release_id, secrets.token_hex(6))
    final = os.path.join(releases, name)
    staging = staging_directory(region_dir, client.release_id, manifest.sha256)
    try:
        fsutil.real_directory(releases)
        check_free_space(releases, space_needed(manifest, sources))
        # A failure leaves the staging tree for the next run to continue.
        stamps = build(staging, manifest, sources, mirrors, output, "client", client.release_id, limits)
        write_stamps(final + VERIFIED_SUFFIX, stamps, durable=False)
        if manifest.raw is None:
            os.rename(staging_manifest(staging), final + MANIFEST_SUFFIX)  # written when it was loaded (load_manifest)
        else:
            fsutil.atomic_write(final + MANIFEST_SUFFIX, manifest.raw, durable=False)
        os.rename(staging, final)
        # One wait for the disk, for the stamps, the manifest and the renames, before the release is made current:
        # until then a crash leaves a release that is not current, which the next update retires.
        fsutil.settle(releases, [final + VERIFIED_SUFFIX, final + MANIFEST_SUFFIX])
        make_current(region_dir, client, manifest, name)
    except OSError as exc:
        raise write_failed(exc)
    return name
