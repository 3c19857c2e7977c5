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

import dataclasses
import json
import os
import sys
import unicodedata
from typing import List, Optional

from . import chunks as chunks_mod
from .errors import FeedRejected
from .feed import SHA256_HEX, ObjectRef

FORMATS = (1, 2)
MANIFEST_LIMIT = 64 << 20
MAX_ENTRIES = 1_000_000
MAX_COMPONENT_BYTES = 255

DAMAGED = chunks_mod.DAMAGED


def _bad(reason):
    return FeedRejected(DAMAGED, detail="manifest: %s" % reason)


@dataclasses.dataclass
class Entry:
    path: str
    kind: str
    size: int = 0
    mode: int = 0o644
    # A file's whole hash and where its bytes are stored, in order.
    sha256: Optional[str] = None
    chunks: List[chunks_mod.Chunk] = dataclasses.field(default_factory=list)
    target: Optional[str] = None

    @property
    def executable(self):
        return bool(self.mode & 0o111)

    def install_mode(self):
        return 0o755 if self.executable else 0o644


@dataclasses.dataclass
class Manifest:
    kind: str
    entries: List[Entry]
    release_id: Optional[str] = None
    version: Optional[str] = None
    executable: Optional[str] = None
    sha256: Optional[str] = None
    # The exact bytes that sha256 names, kept beside an installed release.
    raw: Optional[bytes] = dataclasses.field(default=None, repr=False)

    def files(self):
        return [entry for entry in self.entries if entry.kind == "file"]


def path_limit():
    """The longest path, in bytes with its terminating zero, that the system's calls accept."""
    return 1024 if sys.platform == "darwin" else 4096


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
    encoded = _utf8(path)
    if encoded is None:
        raise _bad("path %r is not valid Unicode" % path)
    if len(encoded) >= path_limit():
        raise _bad("path too long: %r" % path[:80])
    if path.startswith("/"):
        raise _bad("absolute path %r" % path)
    if any(ord(c) < 0x20 or c in "\\\x7f" for c in path):
        raise _bad("path with control characters or backslashes %r" % path)
    components = path.split("/")
    for component in components:
        if component in ("", ".", ".."):
            raise _bad("path %r has an empty, '.' or '..' component" % path)
        if len(component.encode("utf-8")) > MAX_COMPONENT_BYTES:
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
    if any(ord(c) < 0x20 or c in "\\\x7f" for c in target):
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
    return unicodedata.normalize("NFC", path).casefold()


def parse(data, expected_kind, sha256=None):
    """The Manifest in data (already hash-verified); FeedRejected when invalid or unsafe."""
    document = _document(data, expected_kind)
    packs = chunks_mod.parse_packs(document.get("packs")) if document["format"] == 2 else None
    entries, by_folded = _entries(document["files"], packs)
    _check_nothing_below_a_file(entries, by_folded)
    manifest = Manifest(expected_kind, entries, sha256=sha256, raw=data)
    if expected_kind == "client":
        manifest.release_id = _release_id(document)
        manifest.executable = _executable(document, by_folded)
    else:
        manifest.version = _version(document)
    return manifest


def _document(data, expected_kind):
    """The manifest's JSON object, of this format and kind, with a list of entries."""
    try:
        document = json.loads(data.decode("utf-8"))
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


def _entries(files, packs):
    """The entries, and each by its folded path; no two paths may be one name on any file system."""
    entries = []
    by_folded = {}
    for item in files:
        if not isinstance(item, dict):
            raise _bad("an entry is not an object")
        path = item.get("path")
        check_path(path)
        folded = _fold(path)
        if folded in by_folded:
            raise _bad("duplicate path %r" % path)
        entry = _entry(item, path, packs)
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


def _check_nothing_below_a_file(entries, by_folded):
    """Nothing may lie below a file or a link: writing there would go through a link."""
    for entry in entries:
        folded = _fold(entry.path)
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
