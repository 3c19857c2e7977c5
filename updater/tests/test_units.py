"""Signatures, manifests, the command line and output formatting, checked in-process."""

import errno
import fcntl
import io
import os
import signal
import subprocess
import tempfile
import time
import unittest
from unittest import mock

import support  # noqa: F401  (puts the updater package on the path)
from protocol import problems

from thornwake_updater import cli, config, ed25519, fsutil, manifest, retire
from thornwake_updater.errors import FeedRejected, UsageError, os_error_advice
from thornwake_updater.output import Output

# RFC 8032, section 7.1, TEST 1 to 3: secret key, public key, message, signature.
RFC8032 = [
    (
        "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60",
        "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a",
        "",
        "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24655141438e7a100b",
    ),
    (
        "4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb",
        "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c",
        "72",
        "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613d0f11d8c387b2eaeb4302aeeb00d291612bb0c00",
    ),
    (
        "c5aa8df43f9f837bedb7442f31dcb7b166d38535076f094b85ce3a2e0b4458f7",
        "fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025",
        "af82",
        "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac18ff9b538d16f290ae67f760984dc6594a7c15e9716ed28dc027beceea1ec40a",
    ),
]

_L = 2**252 + 27742317777372353535851937790883648493


class Ed25519Test(unittest.TestCase):
    def test_rfc8032_vectors(self):
        for secret, public, message, signature in RFC8032:
            secret, public, message, signature = (bytes.fromhex(x) for x in (secret, public, message, signature))
            with self.subTest(public=public.hex()[:8]):
                self.assertEqual(public, ed25519.public_key(secret))
                self.assertEqual(signature, ed25519.sign(secret, message))
                self.assertTrue(ed25519.verify(public, message, signature))

    def test_altered_inputs_fail(self):
        secret, public, message, signature = (bytes.fromhex(x) for x in RFC8032[2])
        other_public = bytes.fromhex(RFC8032[1][1])
        s = int.from_bytes(signature[32:], "little")
        cases = {
            "message": (public, message + b"\x00", signature),
            "flipped bit in R": (public, message, bytes([signature[0] ^ 1]) + signature[1:]),
            "flipped bit in S": (public, message, signature[:40] + bytes([signature[40] ^ 4]) + signature[41:]),
            "S + L (malleated)": (public, message, signature[:32] + (s + _L).to_bytes(32, "little")),
            "other key": (other_public, message, signature),
            "short signature": (public, message, signature[:63]),
            "short key": (public[:31], message, signature),
            "key not on the curve": (bytes([2]) + bytes(31), message, signature),
        }
        for name, (key, data, sig) in cases.items():
            with self.subTest(name):
                self.assertFalse(ed25519.verify(key, data, sig))


def client_manifest(*entries, executable="bin/game"):
    ref = {"sha256": "ab" * 32, "size": 3, "encoding": "identity", "storedSize": 3}
    files = []
    for entry in ({"path": "bin/game", "mode": 0o755},) + entries:
        entry = dict(entry)
        if entry.get("type", "file") == "file":
            entry = dict(ref, **entry)
        files.append(entry)
    return {"format": 1, "kind": "client", "releaseId": "r1", "executable": executable, "files": files}


STAGING = "/home/p/.local/share/Thornwake/client/regions/production/releases/r1.staging-0123456789ab"


def parse(case):
    """(document, manifest) of a case, checked as the updater does before downloading: parsed, then placed.

    A case is a manifest document, or a document and the directory it is placed in.
    """
    import json

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

    def test_unsafe_or_malformed_manifests_are_refused(self):
        cases = {
            "absolute path": client_manifest({"path": "/etc/passwd"}),
            "dot-dot component": client_manifest({"path": "data/../../x"}),
            "dot component": client_manifest({"path": "./x"}),
            "empty component": client_manifest({"path": "data//x"}),
            "trailing slash": client_manifest({"path": "data/"}),
            "backslash": client_manifest({"path": "data\\..\\x"}),
            "control character": client_manifest({"path": "a\nb"}),
            "duplicate": client_manifest({"path": "x"}, {"path": "x"}),
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
            "negative size": client_manifest({"path": "x", "size": -1, "storedSize": -1}),
            "unknown encoding": client_manifest({"path": "x", "encoding": "brotli"}),
            "unknown type": client_manifest({"path": "x", "type": "fifo"}),
            "lone surrogate": client_manifest({"path": "data/\ud800.bin"}),
            "lone surrogate in a link target": client_manifest({"path": "l", "type": "link", "target": "\udcff"}),
            "component over 255 bytes": client_manifest({"path": "data/" + "é" * 128}),
            "path one byte too long where it is placed": (client_manifest({"path": DEEP}), DEEP_ROOM + "s"),
        }
        for name, document in cases.items():
            with self.subTest(name):
                with self.assertRaises(FeedRejected):
                    parse(document)


class ArgumentsTest(unittest.TestCase):
    BASE = ["--config", "/c.json", "--region", "eu-west"]
    V1 = "0123456789abcdef"

    def test_valid_command_lines(self):
        cases = [
            (self.BASE + ["--check"], ("check", None, False, [])),
            (self.BASE + ["--update-only"], ("update", None, False, [])),
            (self.BASE, ("play", None, False, [])),
            (self.BASE + ["--", "--check", "", "--", "-x"], ("play", None, False, ["--check", "", "--", "-x"])),
            (
                self.BASE + ["--launcher-bundle", "/A b.app", "--launcher-version", self.V1,
                             "--relaunched-from", self.V1, "--no-self-update", "--update-only"],
                ("update", self.V1, True, []),
            ),
        ]
        for argv, (mode, version, no_self_update, game) in cases:
            with self.subTest(argv=argv):
                options = cli.parse_arguments(argv)
                self.assertEqual((mode, options.launcher_version, options.no_self_update, options.game_arguments),
                                 (mode and options.mode, version, no_self_update, game))
                self.assertEqual(("/c.json", "eu-west"), (options.config, options.region))

    def test_malformed_command_lines(self):
        cases = [
            ["--region", "eu-west", "--check"],
            ["--config", "/c.json", "--check"],
            self.BASE + ["--check", "--update-only"],
            self.BASE + ["--check", "--", "x"],
            self.BASE + ["--frobnicate"],
            self.BASE + ["--check", "--check"],
            self.BASE + ["--launcher-bundle", "/A.app", "--check"],
            self.BASE + ["--launcher-version", self.V1, "--check"],
            self.BASE + ["--launcher-bundle", "/A.app", "--launcher-version", self.V1.upper(), "--check"],
            self.BASE + ["--relaunched-from", "123", "--check"],
            ["--config", "/c.json", "--region", "EU", "--check"],
            self.BASE + ["--check", "--region"],
        ]
        for argv in cases:
            with self.subTest(argv=argv):
                with self.assertRaises(UsageError) as caught:
                    cli.parse_arguments(argv)
                self.assertIn("Reinstall Thornwake Launcher", caught.exception.message)


class ConfigTest(unittest.TestCase):
    def test_feed_locations(self):
        accepted = {
            "https://cdn.example/feeds/prod": "https://cdn.example/feeds/prod/",
            "http://127.0.0.1:8080/feed/": "http://127.0.0.1:8080/feed/",
            "file:///srv/feed": "file:///srv/feed/",
            "demo-feed": "file:///etc/thornwake/demo-feed/",
        }
        for value, expected in accepted.items():
            with self.subTest(value):
                self.assertEqual(expected, config.normalize_feed_location(value, "/etc/thornwake"))
        for value in ("http://cdn.example/feed", "ftp://127.0.0.1/", "https://cdn.example/f?x=1", "", "file://host/srv"):
            with self.subTest(value):
                with self.assertRaises(config.ConfigError):
                    config.normalize_feed_location(value, "/etc")

    def test_support_directory(self):
        cases = [
            ({"HOME": "/h"}, "linux", "/h/.local/share/Thornwake"),
            ({"HOME": "/h", "XDG_DATA_HOME": "/x"}, "linux", "/x/Thornwake"),
            ({"HOME": "/h", "XDG_DATA_HOME": "rel"}, "linux", "/h/.local/share/Thornwake"),
            ({"HOME": "/h", "XDG_DATA_HOME": "/x"}, "darwin", "/h/Library/Application Support/Thornwake"),
        ]
        for environ, platform, expected in cases:
            with self.subTest(environ=environ, platform=platform):
                self.assertEqual(expected, config.support_directory(environ, platform))


class OutputTest(unittest.TestCase):
    def test_lines_keep_to_the_launcher_forms(self):
        stream = io.StringIO()
        out = Output(stream)
        for value in (0, 0, 5, 5, 3, 100, 250):
            out.client_progress(value)
        out.updating_client("2026.12.1", 143_000_000)
        out.log("Downloading client: sneaky 12 of 40")
        out.log("Client looks fine")
        out.error("two\nlines")
        lines = stream.getvalue().splitlines()
        self.assertEqual(
            [
                "Downloading client: 0%",
                "Downloading client: 5%",
                "Downloading client: 100%",
                "Updating to client 2026.12.1 (143 MB)\u2026",
                "Note: Downloading client: sneaky 12 of 40",
                "Note: Client looks fine",
                "Thornwake launcher error: two lines",
            ],
            lines,
        )
        self.assertEqual([], problems(stream.getvalue()))


class OsErrorAdviceTest(unittest.TestCase):
    def test_each_cause_gets_its_own_advice_about_the_right_folder(self):
        cases = [
            # errno, folder given, cause, what the advice says
            (errno.ENOSPC, None, "the disk is full", "Free some disk space and try again."),
            (errno.EDQUOT, None, "your disk quota is used up", "Free some disk space"),
            (errno.EROFS, None, "the disk is read-only", "The folder /d is on a read-only disk. Make it writable"),
            (errno.EACCES, None, "permission denied", "Check that you may change the folder /d,"),
            (errno.EPERM, "/Apps", "permission denied", "Check that you may change the folder /Apps,"),
            (errno.ENAMETOOLONG, None, "a name is too long", "Use a shorter folder path"),
            (errno.ELOOP, None, "a link is in the way", "The folder /d holds a symbolic link"),
            (errno.EIO, None, os.strerror(errno.EIO), "Check the folder /d and your disk"),
        ]
        for number, folder, cause, advice in cases:
            with self.subTest(errno.errorcode[number]):
                found = os_error_advice(OSError(number, os.strerror(number), "/d/file"), folder)
                self.assertEqual(cause, found[0])
                self.assertIn(advice, found[1])
                self.assertEqual(advice.startswith("Free"), "disk space" in found[1], "space advice only for space")
        self.assertIn("Thornwake's folders", os_error_advice(OSError(errno.EACCES, "denied"))[1])


class ScriptEntryTest(support.UpdaterTestCase):
    def test_bad_arguments_and_unreadable_config_end_in_one_error_line(self):
        cases = [
            (["--check"], "The launcher started the updater incorrectly (--config is missing)."),
            (["--config", os.path.join(self.tmp, "missing.json"), "--region", "production", "--check"],
             "The launcher configuration could not be read."),
        ]
        for argv, text in cases:
            with self.subTest(argv=argv):
                run = self.run_updater(*argv)
                self.assertEqual(1, run.status)
                self.assertTrue(run.lines[-1].startswith("Thornwake launcher error: " + text), run.text)
        run = self.run_updater("--config", "/c.json", "--region", "production", "--bogus")
        self.golden("usage_error", run, "check")

    def test_ctrl_c_while_the_updater_starts_ends_in_one_error_line(self):
        # A stand-in for a standard module that the package imports: it holds the import until the signal.
        shadow = os.path.join(self.tmp, "shadow")
        ready = os.path.join(self.tmp, "importing")
        os.makedirs(shadow)
        with open(os.path.join(shadow, "secrets.py"), "w") as handle:
            handle.write("import time\nopen(%r, 'w').close()\ntime.sleep(30)\n" % ready)
        process = subprocess.Popen([support.PYTHON, support.SCRIPT, "--check"], stdout=subprocess.PIPE,
                                   stderr=subprocess.STDOUT, env=self.env(PYTHONPATH=shadow))
        deadline = time.monotonic() + 20
        while not os.path.exists(ready) and process.poll() is None and time.monotonic() < deadline:
            time.sleep(0.01)
        process.send_signal(signal.SIGINT)
        output = process.communicate(timeout=20)[0]
        run = support.Run(subprocess.CompletedProcess(process.args, process.returncode, output))
        support.assert_protocol_clean(self, run)
        self.assertEqual((1, ["Thornwake launcher error: The update was interrupted. Your installed game was not changed. "
                              "Try again."]), (run.status, run.lines))


class DurableFlushTest(unittest.TestCase):
    def test_full_flush_where_the_system_has_it_else_fsync(self):
        full = 51  # macOS's F_FULLFSYNC; Linux has none
        cases = [  # name, F_FULLFSYNC, its error, the flushes of the file and of its directory
            ("full flush accepted", full, None, ["full", "full"]),
            ("full flush refused by the file system", full, errno.ENOTSUP, ["fsync", "fsync"]),
            ("no full flush", None, None, ["fsync", "fsync"]),
        ]
        for name, command, refusal, expected in cases:
            calls = []

            def fake_fcntl(fd, asked, *args):
                if refusal:
                    raise OSError(refusal, os.strerror(refusal))
                calls.append("full" if asked == full else asked)

            with self.subTest(name), tempfile.TemporaryDirectory() as directory, \
                    mock.patch.object(fcntl, "F_FULLFSYNC", command, create=True), \
                    mock.patch.object(fcntl, "fcntl", fake_fcntl), \
                    mock.patch.object(os, "fsync", lambda fd: calls.append("fsync")):
                fsutil.atomic_write(os.path.join(directory, "current.json"), b"{}")
                self.assertEqual(expected, calls)


def _entries(*specs):
    """Manifest entries from (path, kind[, link target]) tuples."""
    return [manifest.Entry(path, kind, target=rest[0] if rest else None) for path, kind, *rest in specs]


class CarryOverTest(unittest.TestCase):
    # What the game left in the retired release, what the current one has at the same place
    # (content and age in seconds, or a link), and what the current one holds afterwards.
    CASES = [
        ("only in the retired release", "saves/one.sav", ("o", 50), None, "o"),
        ("in a subdirectory", "saves/sub/two.sav", ("o", 50), None, "o"),
        ("newer in the retired release", "saves/three.sav", ("o", 10), ("n", 100), "o"),
        ("newer in the current release", "saves/four.sav", ("o", 100), ("n", 10), "n"),
        ("the retired release's own file", "saves/default.cfg", ("o", 0), None, None),
        ("the current release's own file", "saves/shipped.cfg", ("o", 0), ("n", 100), "n"),
        ("outside a declared directory", "data/notes.txt", ("o", 50), None, None),
        ("a link the game made", "saves/link.sav", "../../outside.txt", None, None),
        ("below a link of the current release", "saves/blocked/five.sav", ("o", 50), None, None),
    ]

    def test_the_games_files_in_declared_directories_move_into_the_current_release(self):
        old = manifest.Manifest("client", _entries(("saves", "dir"), ("saves/default.cfg", "file")))
        new = manifest.Manifest("client", _entries(("saves", "dir"), ("saves/shipped.cfg", "file"),
                                                   ("saves/blocked", "link", "../bin"), ("bin", "dir")))
        with tempfile.TemporaryDirectory() as root:
            def place(release, path, spec):
                full = os.path.join(root, release, *path.split("/"))
                os.makedirs(os.path.dirname(full), exist_ok=True)
                if isinstance(spec, str):
                    os.symlink(spec, full)
                    return
                with open(full, "w") as handle:
                    handle.write(spec[0])
                moment = time.time() - spec[1]
                os.utime(full, (moment, moment))

            os.makedirs(os.path.join(root, "new", "bin"))
            place("new", "saves/blocked", "../bin")
            place("", "outside.txt", ("outside", 0))
            for _, path, in_old, in_new, _ in self.CASES:
                place("old", path, in_old)
                if in_new is not None:
                    place("new", path, in_new)
            releases = fsutil.open_directory(root)
            try:
                retire.carry_over(releases, "old", old, "new", new)
            finally:
                os.close(releases)
            for name, path, in_old, _, expected in self.CASES:
                with self.subTest(name):
                    full = os.path.join(root, "new", *path.split("/"))
                    found = None
                    if os.path.islink(full):
                        found = "link to " + os.readlink(full)
                    elif os.path.lexists(full):
                        with open(full) as handle:
                            found = handle.read()
                    self.assertEqual(expected, found)
            self.assertEqual([], os.listdir(os.path.join(root, "new", "bin")), "nothing went through the link")
            with open(os.path.join(root, "outside.txt")) as handle:
                self.assertEqual("outside", handle.read())
