"""Manifests: the path and link rules, checked before anything is downloaded."""

import json
import unittest

from support import publish

from thornwake_updater import manifest, patch
from thornwake_updater.errors import FeedRejected


def client_manifest(*entries, executable="bin/game"):
    ref = {"sha256": "ab" * 32, "size": 3, "encoding": "identity", "storedSize": 3}
    files = [dict(ref, **entry) if entry.get("type", "file") == "file" else entry
             for entry in ({"path": "bin/game", "mode": 0o755},) + entries]
    return {"format": 1, "kind": "client", "releaseId": "r1", "executable": executable, "files": files}


def format2(document, pack=0):
    """document in format 2, with one pack: each file is one chunk in it (at index pack)."""
    files = [dict(path=item["path"], size=item["size"], mode=item.get("mode", 0o644), sha256=item["sha256"],
                  chunks=[[item["sha256"], item["size"], item["size"], 0, pack, 0]]) if "sha256" in item else item
             for item in document["files"]]
    return dict(document, format=2, packs=["cd" * 32], files=files)


STAGING = "/home/p/.local/share/Thornwake/client/regions/production/releases/r1.staging-0123456789ab"


def parse(case):
    """(document, manifest) of a case, checked as the updater does before downloading: parsed, then placed.

    A case is a manifest document, or a document and the directory it is placed in.
    """
    document, directory = case if isinstance(case, tuple) else (case, STAGING)
    parsed = manifest.parse(json.dumps(document).encode(), "client")
    manifest.check_room(parsed, directory)
    return document, parsed


def deep_path(limit):
    """A path of four-byte characters shorter than limit bytes, and a directory in which it takes exactly limit."""
    path = "/".join(["\U0001d11e" * 63] * ((limit - 300) // 253))
    # directory + "/" + path + the terminating zero
    return path, "/" + "s" * (limit - len(path.encode()) - 3)


DEEP, DEEP_ROOM = deep_path(manifest.path_limit())


class ManifestTest(unittest.TestCase):
    def test_safe_manifests_are_accepted(self):
        cases = {
            "nested files": client_manifest({"path": "data/a/b.bin"}, {"path": "data/c"}),
            "link to a sibling": client_manifest({"path": "lib/current", "type": "link", "target": "v2"}),
            "link climbing to the root": client_manifest({"path": "a/b/link", "type": "link", "target": "../../bin/game"}),
            "link to the root itself": client_manifest({"path": "a/link", "type": "link", "target": ".."}),
            "empty directory": client_manifest({"path": "saves", "type": "dir"}, {"path": "saves/x"}),
            "unicode names": client_manifest({"path": "données/écran.txt"}),
            "component of 255 bytes": client_manifest({"path": "data/" + "é" * 127 + "e"}),
            "path that just fits where it is placed": (client_manifest({"path": DEEP}), DEEP_ROOM),
        }
        for name, document in cases.items():
            with self.subTest(name):
                document, parsed = parse(document)
                self.assertEqual(len(document["files"]), len(parsed.entries))
        # Format 2: entries made as they are decoded name their pack by its hash once the packs are read.
        _, parsed = parse(format2(client_manifest({"path": "data/x"})))
        self.assertEqual([["cd" * 32]] * 2, [[chunk.pack for chunk in entry.chunks] for entry in parsed.entries])

    def test_unsafe_or_malformed_manifests_are_refused(self):
        cases = {
            "absolute path": client_manifest({"path": "/etc/passwd"}),
            "dot-dot component": client_manifest({"path": "data/../../x"}),
            "dot component": client_manifest({"path": "./x"}),
            "empty component": client_manifest({"path": "data//x"}),
            "backslash": client_manifest({"path": "data\\..\\x"}),
            "control character": client_manifest({"path": "a\nb"}),
            "duplicate by case": client_manifest({"path": "Readme"}, {"path": "README"}),
            "file below a file": client_manifest({"path": "bin/game/x"}),
            "file below a link": client_manifest({"path": "l", "type": "link", "target": "bin"}, {"path": "l/x"}),
            "absolute link": client_manifest({"path": "l", "type": "link", "target": "/etc"}),
            "link leaving the tree": client_manifest({"path": "a/l", "type": "link", "target": "../.."}),
            "link with .. after a name": client_manifest({"path": "l", "type": "link", "target": "bin/../.."}),
            "executable missing": client_manifest(executable="bin/other"),
            "executable not executable": client_manifest({"path": "run", "mode": 0o644}, executable="run"),
            "executable is a link": client_manifest({"path": "run", "type": "link", "target": "bin/game"}, executable="run"),
            "bad hash": client_manifest({"path": "x", "sha256": "AB" * 32}),
            "unknown encoding": client_manifest({"path": "x", "encoding": "brotli"}),
            "negative size": client_manifest({"path": "x", "size": -1, "storedSize": -1}),
            "unknown type": client_manifest({"path": "x", "type": "fifo"}),
            "lone surrogate": client_manifest({"path": "data/\ud800.bin"}),
            "lone surrogate in a link target": client_manifest({"path": "l", "type": "link", "target": "\udcff"}),
            "component over 255 bytes": client_manifest({"path": "data/" + "é" * 128}),
            "path one byte too long where it is placed": (client_manifest({"path": DEEP}), DEEP_ROOM + "s"),
            "chunk in a pack not listed": format2(client_manifest(), pack=1),
            "format 2 path checked too": format2(client_manifest({"path": "data/../../x"})),
        }
        for name, document in cases.items():
            with self.subTest(name):
                with self.assertRaises(FeedRejected):
                    parse(document)


class ManifestPatchTest(unittest.TestCase):
    def test_the_publisher_s_patches_make_the_new_manifest_and_a_patch_that_does_not_fit_is_refused(self):
        lines = [b'{"path":"f%d"},' % i for i in range(8)]
        text = b"\n".join(lines) + b"\n"
        pairs = {
            "one line changed": (text, text.replace(b"f3", b"g3")),
            "lines added at both ends and dropped in the middle": (text, b"head\n" + text.replace(lines[4] + b"\n", b"") + b"tail"),
            "every other line changed": (text, b"\n".join(line if i % 2 else line + b" " for i, line in enumerate(lines))),
            "repeated lines": (b"a\na\nb\na\n", b"a\nb\nb\na\na\n"),
            "from nothing": (b"", text),
            "to nothing": (text, b""),
            "same": (text, text),
        }
        for name, (old, new) in pairs.items():
            with self.subTest(name):
                made = publish.release_mod.manifest_patch(old, new)
                self.assertEqual(new, patch.apply(old, made, len(new)))
        old = b"a\nb\nc"
        refused = {
            "not a patch": b"=5\n",
            "a copy past the end": patch.HEADER + b"=6\n",
            "old bytes left over": patch.HEADER + b"=4\n",
            "fewer added bytes than announced": patch.HEADER + b"-5\n+2\nx\n",
            "added bytes without their line feed": patch.HEADER + b"-5\n+1\nxy",
            "a count of nothing": patch.HEADER + b"=0\n=5\n",
            "an operation cut short": patch.HEADER + b"=5",
            "longer than the manifest": patch.HEADER + b"=5\n+100\n%s\n" % (b"x" * 100),
        }
        for name, made in refused.items():
            with self.subTest(name):
                with self.assertRaises(FeedRejected):
                    patch.apply(old, made, 50)
