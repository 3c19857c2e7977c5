"""Release manifests: every file of a release, and the rules its paths obey.

A manifest is itself an object (JSON) named by the feed:

  {
    "format": 2,
    "kind": "client" | "launcher",
    "releaseId": "<client release id>"        (client manifests)
    "version": "<16 hex digits>"             (launcher manifests)
    "executable": "<path of the game program>" (client manifests)
    "packs": ["<sha256 of pack 0>", ...],
    "files": [
      {"path": "bin/game", "type": "file", "size": 123, "mode": 493,
       "sha256": "<hex of the whole file>", "chunks": [[<chunk>], ...]},
      {"path": "lib/current", "type": "link", "target": "v2"},
      {"path": "saves", "type": "dir"}
    ]
  }

Chunks are described in chunks.py. Manifests of format 1 (releases installed
before packs, and a transition's launcher) have no packs and describe each file
as one stand-alone object: "encoding" and "storedSize" instead of "chunks".

Paths are relative, "/"-separated, without empty, "." or ".." components, and
unique even on a case-insensitive file system. No entry lies below a file or a
link, so nothing is ever written through a link. A link's target is relative,
climbs with leading ".." only (never after a name) and never above the
release's root, so following it can only lead to another place in the tree.
"""

import json
import os
import re
import sys
import unicodedata

from . import chunks as chunks_mod
from .errors import FeedRejected
from .feed import SHA256_HEX, ObjectRef
from .record import Record

FORMATS = (1, 2)
MANIFEST_LIMIT = 64 << 20
MAX_ENTRIES = 1_000_000
MAX_COMPONENT_BYTES = 255

DAMAGED = chunks_mod.DAMAGED
_CONTROL_OR_BACKSLASH = re.compile(r"[\x00-\x1f\\\x7f]")


def _bad(reason):
    return FeedRejected(DAMAGED, detail="manifest: %s" % reason)


class Entry:
    """One entry of a release. Slots: a client of many thousand files holds one per file, twice during an update."""

    __slots__ = ("path", "kind", "size", "mode", "sha256", "chunks", "target")

    def __init__(self, path, kind, size=0, mode=0o644, sha256=None, chunks=None, target=None):
        self.path = path
        self.kind = kind
        self.size = size
        self.mode = mode
        # A file's whole hash and where its bytes are stored, in order.
        self.sha256 = sha256
        self.chunks = () if chunks is None else chunks
        self.target = target

    def __repr__(self):
        return "Entry(%r, %r)" % (self.path, self.kind)

    @property
    def executable(self):
        return bool(self.mode & 0o111)

    def install_mode(self):
        return 0o755 if self.executable else 0o644


class Manifest(Record):
    def __init__(self, kind, entries, release_id=None, version=None, executable=None, sha256=None, raw=None):
        self.kind = kind
        self.entries = entries
        self.release_id = release_id
        self.version = version
        self.executable = executable
        self.sha256 = sha256
        # The exact bytes that sha256 names, kept beside an installed release.
        self.raw = raw

    def files(self):
        return [entry for entry in self.entries if entry.kind == "file"]


def path_limit():
    """The longest path, in bytes with its terminating zero, that the system's calls accept."""
    return 1024 if sys.platform == "darwin" else 4096


_PATH_LIMIT = path_limit()


def _utf8(text):
    """text in UTF-8, or None when it holds a lone surrogate (no file name can carry one)."""
    try:
        return text.encode("utf-8")
    except UnicodeEncodeError:
        return None


def check_path(path):
    """The components of a safe relative path; FeedRejected otherwise."""
    if not isinstance(path, str) or not path:
        raise _bad("an entry has no path")
    # Checked for every entry of every manifest read: an ASCII path is its own UTF-8, and is not encoded.
    if path.isascii():
        size = len(path)
    else:
        encoded = _utf8(path)
        if encoded is None:
            raise _bad("path %r is not valid Unicode" % path)
        size = len(encoded)
    if size >= _PATH_LIMIT:
        raise _bad("path too long: %r" % path[:80])
    if path.startswith("/"):
        raise _bad("absolute path %r" % path)
    if _CONTROL_OR_BACKSLASH.search(path):
        raise _bad("path with control characters or backslashes %r" % path)
    components = path.split("/")
    if "" in components or "." in components or ".." in components:
        raise _bad("path %r has an empty, '.' or '..' component" % path)
    # No component can be longer than the whole path.
    if size > MAX_COMPONENT_BYTES and any(len(c.encode("utf-8")) > MAX_COMPONENT_BYTES for c in components):
        raise _bad("path component too long in %r" % path)
    return components


def check_room(manifest, directory):
    """FeedRejected unless every entry of manifest, placed in directory, has a path the system accepts.

    Checked before any download: the system refuses such a path only when the
    tree is built, after everything was fetched.
    """
    base = len(os.fsencode(os.path.abspath(directory))) + 1
    longest = max(manifest.entries, key=lambda entry: len(entry.path.encode("utf-8")), default=None)
    # The terminating zero counts towards the limit.
    if longest is not None and base + len(longest.path.encode("utf-8")) + 1 > path_limit():
        raise _bad("path %r would be longer than this system allows in %s" % (longest.path[:80], directory))


def check_link_target(path, target):
    """A link may only lead to another place inside the tree (see module text)."""
    encoded = _utf8(target) if isinstance(target, str) else None
    if not target or encoded is None or len(encoded) >= path_limit():
        raise _bad("link %r has no target" % path)
    if target.startswith("/"):
        raise _bad("link %r points to the absolute path %r" % (path, target))
    if _CONTROL_OR_BACKSLASH.search(target):
        raise _bad("link %r has a target with control characters" % path)
    parts = target.split("/")
    depth = path.count("/")
    climbing = True
    ups = 0
    for part in parts:
        if part in ("", "."):
            raise _bad("link %r has a target with empty or '.' components" % path)
        if part == "..":
            if not climbing:
                raise _bad("link %r climbs with '..' after a name" % path)
            ups += 1
        else:
            climbing = False
    if ups > depth:
        raise _bad("link %r leads outside the release" % path)


def _fold(path):
    # ASCII is its own NFC form, and its case folding is lower().
    return path.lower() if path.isascii() else unicodedata.normalize("NFC", path).casefold()


def parse(data, expected_kind, sha256=None):
    """The Manifest in data (already hash-verified); FeedRejected when invalid or unsafe.

    data is its bytes (then kept as its raw), or its text (then it has no raw).
    """
    document = _document(data, expected_kind)
    packs = chunks_mod.parse_packs(document.get("packs")) if document["format"] == 2 else None
    entries, by_folded = _entries(document.pop("files"), packs)
    _check_nothing_below_a_file(by_folded)
    manifest = Manifest(expected_kind, entries, sha256=sha256, raw=None if isinstance(data, str) else data)
    if expected_kind == "client":
        manifest.release_id = _release_id(document)
        manifest.executable = _executable(document, by_folded)
    else:
        manifest.version = _version(document)
    return manifest


def scan(text, expected_kind, visit):
    """The members of the manifest in text (verified, and parsed in full when it was installed) besides its entries,
    each of which is handed to visit(item), the JSON object it is, as it is decoded, and then dropped.

    For a reader that needs a few facts of each entry rather than the entries:
    a large client's would be held whole otherwise. visit raises FeedRejected
    (_bad) for an entry it cannot take.
    """

    def hook(item):
        if "path" in item and "files" not in item:
            visit(item)
            return None
        return item

    try:
        document = json.loads(text, object_hook=hook)
    except (ValueError, RecursionError) as exc:
        raise _bad("not JSON (%s)" % exc)
    if not isinstance(document, dict) or document.get("kind") != expected_kind or not isinstance(document.get("files"), list):
        raise _bad("not a %s manifest" % expected_kind)
    document.pop("files")
    return document


def _document(data, expected_kind):
    """The manifest's JSON object, of this format and kind, with a list of entries."""
    try:
        document = json.loads(data if isinstance(data, str) else data.decode("utf-8"), object_hook=_decoded)
    except (UnicodeDecodeError, ValueError, RecursionError) as exc:
        raise _bad("not JSON (%s)" % exc)
    if not isinstance(document, dict) or document.get("format") not in FORMATS or isinstance(document.get("format"), bool):
        raise _bad("unsupported format")
    if document.get("kind") != expected_kind:
        raise _bad("kind %r, expected %r" % (document.get("kind"), expected_kind))
    files = document.get("files")
    if not isinstance(files, list) or len(files) > MAX_ENTRIES:
        raise _bad("files is not a list of entries")
    return document


# The usual modes, each held once rather than once per file.
_MODES = {0o644: 0o644, 0o755: 0o755}

# The members of a file entry of format 2, as the publisher writes it.
_FILE_MEMBERS = frozenset(("path", "type", "size", "mode", "sha256", "chunks"))


def _decoded(item):
    """A JSON object as soon as it is decoded: a valid file entry of format 2 as its Entry, else as it came.

    Its chunks name their pack by index until the packs are known (_resolved).
    So a large manifest is never held as parsed JSON beside its entries. Only
    its path and packs are left to check, and anything not taken here gets
    every check of _entry after decoding, with its own reason.
    """
    if "chunks" in item and type(item.get("path")) is str and item.get("type", "file") == "file" and item.keys() <= _FILE_MEMBERS:
        try:
            return _entry(item, item["path"], chunks_mod.BY_INDEX)
        except FeedRejected:
            pass
    return item


def _resolved(entry, packs):
    """An entry _decoded made, completed for the manifest's format: packs (format 2) or None (format 1)."""
    if packs is None:
        # Format 1 reads its own members of the item, which were all taken over.
        return _entry({"path": entry.path, "size": entry.size, "mode": entry.mode, "sha256": entry.sha256}, entry.path, None)
    for chunk in entry.chunks:
        if chunk.pack >= len(packs):
            raise _bad("entry %r names a pack that is not listed" % entry.path)
        chunk.pack = packs[chunk.pack]
    return entry


def _entries(files, packs):
    """The entries, and each by its folded path; no two paths may be one name on any file system.

    Each item of files is dropped once its entry is made, so the parsed JSON and
    the entries are not both held whole.
    """
    entries = []
    by_folded = {}
    files.reverse()
    while files:
        item = files.pop()
        decoded = isinstance(item, Entry)
        if not decoded and not isinstance(item, dict):
            raise _bad("an entry is not an object")
        path = item.path if decoded else item.get("path")
        check_path(path)
        folded = _fold(path)
        if folded == path:
            folded = path  # the entry's own string, not another of each path
        if folded in by_folded:
            raise _bad("duplicate path %r" % path)
        entry = _resolved(item, packs) if decoded else _entry(item, path, packs)
        by_folded[folded] = entry
        entries.append(entry)
    return entries, by_folded


def _entry(item, path, packs):
    """The entry at a checked path: a file, a link or a directory, validly described.

    packs is the manifest's list of packs (format 2), or None (format 1).
    """
    kind = item.get("type", "file")
    if kind == "file":
        mode = item.get("mode", 0o644)
        if not isinstance(mode, int) or isinstance(mode, bool) or not 0 <= mode <= 0o7777:
            raise _bad("entry %r has an invalid mode" % path)
        mode = _MODES.get(mode, mode)
        if packs is None:
            ref = ObjectRef.from_json(item, "entry %r" % path, error=FeedRejected, message=DAMAGED)
            chunks = chunks_mod.whole_object(path, ref.sha256, ref.size, ref.encoding, ref.stored_size)
            return Entry(path, "file", ref.size, mode, ref.sha256, chunks)
        size, digest = item.get("size"), item.get("sha256")
        if not isinstance(size, int) or isinstance(size, bool) or not 0 <= size <= chunks_mod.POSITION_LIMIT:
            raise _bad("entry %r has an invalid size" % path)
        if not isinstance(digest, str) or not SHA256_HEX.match(digest):
            raise _bad("entry %r has no SHA-256" % path)
        return Entry(path, "file", size, mode, digest, chunks_mod.parse_chunks(item.get("chunks"), packs, path, size, digest))
    if kind == "link":
        check_link_target(path, item.get("target"))
        return Entry(path, "link", target=item["target"])
    if kind == "dir":
        return Entry(path, "dir")
    raise _bad("entry %r has unknown type %r" % (path, kind))


def _check_nothing_below_a_file(by_folded):
    """Nothing may lie below a file or a link: writing there would go through a link."""
    for folded, entry in by_folded.items():
        cut = folded.rfind("/")
        while cut > 0:
            ancestor = by_folded.get(folded[:cut])
            if ancestor is not None and ancestor.kind != "dir":
                raise _bad("entry %r lies below the %s %r" % (entry.path, ancestor.kind, ancestor.path))
            cut = folded.rfind("/", 0, cut)


def _release_id(document):
    release_id = document.get("releaseId")
    if not isinstance(release_id, str):
        raise _bad("no releaseId")
    return release_id


def _executable(document, by_folded):
    """The path of the game program: an executable file of the release, spelled as its entry is."""
    executable = document.get("executable")
    target = by_folded.get(_fold(executable)) if isinstance(executable, str) else None
    if target is None or target.kind != "file" or target.path != executable or not target.executable:
        raise _bad("executable %r is not an executable file of the release" % (executable,))
    return executable


def _version(document):
    version = document.get("version")
    if not isinstance(version, str):
        raise _bad("no version")
    return version
