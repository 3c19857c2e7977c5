"""The publisher's feed tools as an operator uses them: verify, prune, and the transition feed."""

import base64
import datetime
import io
import json
import os
import shutil
import subprocess
import tarfile

from support import (
    KEY_A,
    LAUNCHER_NEW,
    LAUNCHER_OLD,
    PUBLISHER,
    PYTHON,
    REPO,
    SEED_A,
    SEED_B,
    FeedServer,
    UpdaterTestCase,
    make_bundle,
    make_tree,
    noise,
    publish,
    release_files,
    tree_listing,
    write_config,
)

from thornwake_updater import ed25519

# The updater and publisher as launchers shipped them before feed format 2 (format-1 feed.json only).
FORMAT_1_COMMIT = "38d39b1e52b3ae4709977dd24dd50c9062336cc8"
KEY_B = ed25519.public_key(SEED_B).hex()
CLIENT = ["--region", "production", "--source-revision", "abc123", "--world", "1.0.0.000000000000", "--executable", "bin/game"]


def run(argv):
    completed = subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
    return completed.returncode, completed.stdout.decode(), completed.stderr.decode()


def publish_cli(*args):
    return run([PYTHON, PUBLISHER] + list(args))


class FeedToolsTest(UpdaterTestCase):
    def setUp(self):
        super().setUp()
        self.feed = os.path.join(self.tmp, "feed")
        self.key = os.path.join(self.tmp, "signing.key")
        with open(self.key, "w") as handle:
            handle.write(SEED_A.hex() + "\n")

    def release(self, name, files, *extra):
        tree = make_tree(os.path.join(self.tmp, "tree-" + name), files)
        status, _, err = publish_cli("add-client", self.feed, "--release", name, *CLIENT, tree)
        self.assertEqual(0, status, err)
        status, _, err = publish_cli("sign", self.feed, "--key", self.key, *extra)
        self.assertEqual(0, status, err)

    def served(self, name):
        return sorted(os.listdir(os.path.join(self.feed, name)))

    def test_prune_keeps_what_recent_feeds_name_and_verify_finds_what_players_would_miss(self):
        self.release("r1", release_files("a"))
        first_packs = set(self.served("packs"))
        big = noise("big", 1 << 20)
        files = {"bin/game": b"#!/bin/sh\n# r2\n", "data/big.pak": big}
        self.release("r2", files)
        self.release("r3", dict(files, **{"data/big.pak": big[:4096] + b"inserted" + big[4096:]}))
        before = set(self.served("packs"))
        self.assertEqual((0, "removed 0 files, 0.0 MiB\n"), publish_cli("prune", self.feed, "--keep", "3")[:2])
        status, out, err = publish_cli("prune", self.feed, "--keep", "2")
        self.assertEqual(0, status, err)
        self.assertTrue(out.startswith("removed 2 files"), out)  # r1's manifest and its pack
        self.assertEqual(before - first_packs, set(self.served("packs")))

        mirror = os.path.join(self.tmp, "mirror")
        shutil.copytree(self.feed, mirror)
        servers = [FeedServer(self.feed), FeedServer(mirror)]
        for server in servers:
            self.addCleanup(server.stop)
        self.assertEqual(0, publish_cli("sign", self.feed, "--key", self.key, "--mirror", servers[0].url, "--mirror",
                                        servers[1].url)[0])
        status, out, err = publish_cli("verify", servers[0].url, "--key", KEY_B, "--key", KEY_A, "--region", "production")
        self.assertEqual(0, status, out + err)
        self.assertIn("checked on 2 mirrors", out)

        pack = os.path.join(mirror, "packs", self.served("packs")[0])
        with open(os.path.join(self.feed, "feed.signed"), "rb") as handle:
            named = json.loads(base64.b64decode(json.loads(handle.read())["feed"]))["client"]["manifest"]
        manifest = os.path.join(self.feed, "objects", named["sha256"][:2], named["sha256"] + ".z")

        def damage_pack():
            with open(pack, "r+b") as handle:
                handle.seek(100)
                byte = handle.read(1)
                handle.seek(100)
                handle.write(bytes([byte[0] ^ 1]))

        def expire():
            publish.sign(self.feed, self.key, 30, now=datetime.datetime.now(datetime.timezone.utc) - datetime.timedelta(days=31))

        cases = [
            ("a damaged pack on a mirror", damage_pack, [KEY_A], "%s: object" % os.path.basename(pack)),
            ("a missing manifest", lambda: os.unlink(manifest), [KEY_A], "HTTP status 404"),
            ("an expired feed", expire, [KEY_A], "feed.signed expired at"),
            ("another signer", lambda: None, [KEY_B], "no trusted key"),
        ]
        for name, spoil, keys, text in cases:
            with self.subTest(name):
                kept = os.path.join(self.tmp, "kept")
                shutil.copytree(self.feed, kept)
                shutil.copytree(mirror, kept + "-mirror")
                try:
                    spoil()
                    status, out, err = publish_cli("verify", servers[0].url, "--region", "production",
                                                   *sum((["--key", key] for key in keys), []))
                finally:
                    for saved, place in ((kept, self.feed), (kept + "-mirror", mirror)):
                        shutil.rmtree(place)
                        os.rename(saved, place)
                self.assertEqual(1, status, out + err)
                self.assertIn(text, "\n".join(line for line in out.splitlines() if line.startswith("PROBLEM: ")))

    def test_launchers_already_installed_update_themselves_through_the_transition_feed(self):
        old = os.path.join(self.tmp, "format-1")
        try:
            archive = subprocess.run(["git", "-C", REPO, "archive", FORMAT_1_COMMIT, "updater/client_updater.py",
                                      "updater/thornwake_updater", "tools/thornwake_publish.py"],
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, check=True).stdout
        except (OSError, subprocess.CalledProcessError):
            self.skipTest("needs git and the repository's history for the launcher from before feed format 2")
        with tarfile.open(fileobj=io.BytesIO(archive)) as bundle_tar:
            bundle_tar.extractall(old)
        old_publisher = os.path.join(old, "tools", "thornwake_publish.py")
        config = write_config(os.path.join(self.tmp, "launcher-config.json"), [("production", self.feed, [KEY_A])])
        bundle = make_bundle(os.path.join(self.tmp, "Applications", "Thornwake Launcher.app"), LAUNCHER_OLD)
        new_bundle = make_bundle(os.path.join(self.tmp, "new", "Thornwake Launcher.app"), LAUNCHER_NEW, "b")

        def old_launcher(*args):
            completed = subprocess.run([PYTHON, os.path.join(old, "updater", "client_updater.py"), "--config", config,
                                        "--region", "production", "--launcher-bundle", bundle, "--launcher-version",
                                        LAUNCHER_OLD] + list(args), stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                       env=self.env(), timeout=120)
            return completed.returncode, completed.stdout.decode()

        # The feed as the publisher before format 2 made it, and a player's launcher that installed its client.
        tree = make_tree(os.path.join(self.tmp, "r1"), release_files("a"))
        self.assertEqual(0, run([PYTHON, old_publisher, "add-client", self.feed, "--release", "r1"] + CLIENT + [tree])[0])
        self.assertEqual(0, run([PYTHON, old_publisher, "sign", self.feed, "--key", self.key])[0])
        self.assertEqual(0, old_launcher("--no-self-update", "--update-only")[0])
        with open(os.path.join(self.feed, "feed.json"), "rb") as handle:
            format_1 = json.loads(handle.read())

        # The new launcher (its version read from its Info.plist) and a new client, published by this publisher.
        status, out, err = publish_cli("add-launcher", self.feed, "--region", "production", new_bundle)
        self.assertTrue(out.startswith("launcher %s: " % LAUNCHER_NEW), out + err)
        tree = make_tree(os.path.join(self.tmp, "r2"), release_files("b"))
        self.assertEqual(0, publish_cli("add-client", self.feed, "--release", "r2", *CLIENT, tree)[0])
        status, out, err = publish_cli("sign", self.feed, "--key", self.key)
        self.assertEqual((1, ""), (status, out), "an operator must choose whether installed launchers keep a feed")
        self.assertIn("--legacy-feed", err)
        self.assertFalse(os.path.exists(os.path.join(self.feed, "feed.signed")))

        for sign_args, sequence in ((["--legacy-feed"], 2), ([], 3)):
            status, out, err = publish_cli("sign", self.feed, "--key", self.key, *sign_args)
            self.assertEqual(0, status, err)
            with open(os.path.join(self.feed, "feed.json"), "rb") as handle:
                legacy = json.loads(handle.read())
            self.assertEqual((1, sequence, format_1["client"], LAUNCHER_NEW),
                             (legacy["format"], legacy["sequence"], legacy["client"], legacy["launcher"]["version"]))
        status, out, _ = publish_cli("verify", self.feed, "--key", KEY_A)
        self.assertEqual(0, status, out)
        self.assertIn("feed.json: region production, sequence 3", out)

        status, out = old_launcher("--check")
        self.assertEqual("UPDATE_CHECK launcher=available:%s client=current world=1.0.0.000000000000" % LAUNCHER_NEW,
                         out.splitlines()[-1], out)
        status, out = old_launcher("--update-only")
        self.assertEqual(0, status, out)
        self.assertEqual(tree_listing(new_bundle), tree_listing(bundle), "the old launcher installed the new one")

        status, out, err = publish_cli("sign", self.feed, "--key", self.key, "--end-legacy-feed")
        self.assertEqual(0, status, err)
        self.assertIn("removed feed.json", out)
        self.assertEqual(0, publish_cli("sign", self.feed, "--key", self.key)[0])
        self.assertEqual(["feed.signed", "objects", "packs"], sorted(os.listdir(self.feed)))
