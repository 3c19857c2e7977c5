"""Release trees as manifests: reading a tree, storing its files, and the two manifest formats.

Format 2 lists each file as its whole hash plus its chunks, each chunk as
[sha256, size, stored size, encoding (0 identity, 1 zlib), pack index, offset
in the pack], the pack index pointing into the manifest's "packs". Format 1,
read by launchers from before packs existed, lists each file as one
stand-alone object; the publisher writes it only for a transition's launcher.
"""

import hashlib
import json
import os
import stat

import thornwake_chunks as chunks
from thornwake_updater import patch as patch_mod
from thornwake_store import Location, Pack, PackWriter, PublishError, Ref

FORMAT = 2
LEGACY_FORMAT = 1
RELEASE_FIELDS = (("release_id", "releaseId"), ("version", "version"), ("executable", "executable"))


def scan_tree(tree):
    """(entries, sources) for every file, link and empty directory of tree; nothing is stored yet.

    Entries are manifest entries without content hashes, sorted by path;
    sources maps a file's path to the file.
    """
    if not os.path.isdir(tree):
        raise PublishError("%s is not a directory" % tree)
    entries = []
    sources = {}
    for directory, dirnames, filenames in os.walk(tree, followlinks=False):
        dirnames.sort()
        relative_dir = os.path.relpath(directory, tree)
        prefix = "" if relative_dir == "." else relative_dir.replace(os.sep, "/") + "/"
        if not dirnames and not filenames and prefix:
            entries.append({"path": _utf8_name(directory, prefix[:-1]), "type": "dir"})
        for name in sorted(filenames) + [d for d in dirnames if os.path.islink(os.path.join(directory, d))]:
            path = os.path.join(directory, name)
            relative = _utf8_name(path, prefix + name)
            info = os.lstat(path)
            if stat.S_ISLNK(info.st_mode):
                entries.append({"path": relative, "type": "link", "target": _utf8_name(path, os.readlink(path))})
            elif stat.S_ISREG(info.st_mode):
                entries.append({"path": relative, "type": "file", "size": info.st_size, "mode": stat.S_IMODE(info.st_mode)})
                sources[relative] = path
            else:
                raise PublishError("%s is neither a file, a directory nor a link" % path)
    entries.sort(key=lambda entry: entry["path"])
    return entries, sources


def _utf8_name(path, text):
    """text (a name or link target found at path) when it is UTF-8; PublishError otherwise."""
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        shown = os.fsencode(path).decode("utf-8", "backslashreplace")
        raise PublishError("%s: the name is not UTF-8, so players could not install it" % shown)
    return text


def document(kind, entries, fields, packs=None):
    """The manifest as JSON values: format 2 when packs is given, else format 1."""
    value = {"format": LEGACY_FORMAT if packs is None else FORMAT, "kind": kind, "files": entries}
    if packs is not None:
        value["packs"] = packs
    for name, key in RELEASE_FIELDS:
        if fields.get(name) is not None:
            value[key] = fields[name]
    return value


def to_bytes(value):
    if value["format"] == LEGACY_FORMAT:
        # Exactly as launchers from before wrote and read it.
        return (json.dumps(value, indent=1, sort_keys=True, ensure_ascii=False) + "\n").encode("utf-8")
    # Fetched on every update: no spaces, one line per file so a change shows as one.
    lines = ",\n".join(json.dumps(entry, sort_keys=True, separators=(",", ":"), ensure_ascii=False) for entry in value["files"])
    head = json.dumps({k: v for k, v in value.items() if k != "files"}, sort_keys=True, separators=(",", ":"), ensure_ascii=False)
    return ('%s,"files":[\n%s]}\n' % (head[:-1], lines)).encode("utf-8")


def stand_in(kind, entries, fields):
    """A format-1 manifest of the entries with placeholder hashes: what the players' path rules judge."""
    files = []
    for entry in entries:
        if entry["type"] == "file":
            entry = dict(entry, sha256="0" * 64, encoding="identity", storedSize=entry["size"])
        files.append(entry)
    return to_bytes(document(kind, files, fields))


def store_tree(feed, entries, sources, earlier_packs=()):
    """Store the content of every file entry in packs, completing the entries; (pack names, new objects).

    Objects go into new packs in manifest order, so a full install reads the
    packs front to back; an object the feed has already (this release or an
    earlier one) is not stored again: the entry points at the stored copy.
    The packs of earlier_packs (the previous release's, in its order) that
    are still named come first, so an unchanged file keeps its line.
    """
    writer = PackWriter(feed)
    chunker = chunks.Chunker()
    stored = {}
    new = 0
    try:
        for entry in entries:
            if entry["type"] == "file":
                entry["chunks"], entry["size"], entry["sha256"], added = _store_file(
                    feed, writer, chunker, stored, sources[entry["path"]]
                )
                new += added
        writer.finish()
    finally:
        writer.abandon()
    named = {chunk[4].name for entry in entries for chunk in entry.get("chunks", ())}
    packs = [name for name in earlier_packs if name in named]
    numbers = {name: number for number, name in enumerate(packs)}
    for entry in entries:
        for chunk in entry.get("chunks", ()):
            name = chunk[4].name
            if name not in numbers:
                numbers[name] = len(packs)
                packs.append(name)
            chunk[4] = numbers[name]
    return packs, new


def manifest_patch(old, new):
    """The patch (thornwake_updater/patch.py) that makes the manifest bytes new of old, found line by line.

    Manifests list their entries sorted by path, so the lines two of them
    share come in the same order and one pass finds them (a general line diff
    takes minutes on a large client whose every other line changed).
    """
    before, after = _lines(old), _lines(new)
    shared = set(before).intersection(after)
    runs = []  # [operation, bytes]

    def add(operation, line):
        if not runs or runs[-1][0] != operation:
            runs.append([operation, []])
        runs[-1][1].append(line)

    i = j = 0
    while i < len(before) or j < len(after):
        if i < len(before) and j < len(after) and before[i] == after[j]:
            add(b"=", before[i])
            i, j = i + 1, j + 1
        elif j < len(after) and (i == len(before) or after[j] not in shared):
            add(b"+", after[j])
            j += 1
        else:
            add(b"-", before[i])
            i += 1
    out = [patch_mod.HEADER]
    for operation, lines in runs:
        data = b"".join(lines)
        out.append(b"%s%d\n" % (operation, len(data)))
        if operation == b"+":
            out.append(data + b"\n")
    return b"".join(out)


def _lines(data):
    """data cut after each line feed."""
    lines = [line + b"\n" for line in data.split(b"\n")]
    lines[-1] = lines[-1][:-1]
    return lines if lines[-1] else lines[:-1]


def _store_file(feed, writer, chunker, stored, path):
    whole = None
    listed = []
    size = new = 0
    try:
        fd = os.open(path, os.O_RDONLY | getattr(os, "O_NOFOLLOW", 0))
    except OSError as exc:
        raise PublishError("cannot read %s: %s" % (path, exc))
    with os.fdopen(fd, "rb", buffering=0) as handle:
        for chunk in chunker.chunks(handle.readinto):
            hashed = hashlib.sha256(chunk)
            size += len(chunk)
            digest = hashed.hexdigest()
            # The first chunk's hash is where the whole file's starts: small files are hashed once.
            if whole is None:
                whole = hashed.copy()
            else:
                whole.update(chunk)
            location = stored.get(digest) or feed.index.find(digest)
            if location is None:
                data, encoding = chunks.encode(chunk)
                location = writer.add(digest, len(chunk), data, encoding)
                new += 1
            stored[digest] = location
            listed.append([digest, location.size, location.stored_size, location.encoding, location.pack, location.offset])
    return listed, size, (whole or hashlib.sha256()).hexdigest(), new


def read_manifest(feed, ref, kind):
    """Our own manifest object, decoded and checked against its reference; PublishError otherwise."""
    data = feed.read_object(ref)
    try:
        value = json.loads(data.decode("utf-8"))
    except (UnicodeDecodeError, ValueError) as exc:
        raise PublishError("manifest %s is not JSON: %s" % (ref.sha256, exc))
    if not isinstance(value, dict) or value.get("kind") != kind or value.get("format") not in (FORMAT, LEGACY_FORMAT):
        raise PublishError("object %s is not a %s manifest this publisher wrote" % (ref.sha256, kind))
    return value


def legacy_files(feed, manifest):
    """The format-1 entries of a format-2 manifest: each file stored whole as a stand-alone object.

    The content comes out of the packs, checked chunk by chunk and as a
    whole, so the transition's launcher is exactly the launcher of the new feed.
    """
    files = []
    new = 0
    for entry in manifest["files"]:
        if entry["type"] != "file":
            files.append(entry)
            continue

        def blocks(entry=entry):
            for digest, size, stored_size, encoding, pack, offset in entry["chunks"]:
                yield feed.read_packed(digest, _location(manifest, size, stored_size, encoding, pack, offset))

        ref, added = feed.store_stream(entry["sha256"], entry["size"], blocks)
        new += added
        files.append({"path": entry["path"], "type": "file", "size": entry["size"], "mode": entry["mode"],
                      "sha256": ref.sha256, "encoding": ref.encoding, "storedSize": ref.stored_size})
    return files, new


def _location(manifest, size, stored_size, encoding, pack, offset):
    return Location(size, stored_size, encoding, Pack(manifest["packs"][pack]), offset)


def named_objects(manifest):
    """(pack names, stand-alone object references) that a manifest of ours names."""
    if manifest["format"] == FORMAT:
        return set(manifest["packs"]), []
    return set(), [Ref.from_json(entry) for entry in manifest["files"] if entry["type"] == "file"]
