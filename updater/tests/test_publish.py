"""The publisher's command line, as an operator uses it."""

import json
import os
import stat
import subprocess

from support import PUBLISHER, PYTHON, UpdaterTestCase, make_tree, release_files

from thornwake_updater import ed25519


class PublisherTest(UpdaterTestCase):
    def publish(self, *args):
        completed = subprocess.run([PYTHON, PUBLISHER] + list(args), stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
        return completed.returncode, completed.stdout.decode(), completed.stderr.decode()

    def test_keys_releases_and_signing(self):
        key = os.path.join(self.tmp, "signing.key")
        status, out, _ = self.publish("keygen", key)
        self.assertEqual(0, status)
        self.assertEqual(0o600, stat.S_IMODE(os.stat(key).st_mode))
        public = out.strip()
        self.assertEqual((0, public + "\n"), self.publish("pubkey", key)[:2])
        self.assertEqual(1, self.publish("keygen", key)[0], "an existing key is never overwritten")

        feed = os.path.join(self.tmp, "feed")
        tree = make_tree(os.path.join(self.tmp, "tree"), release_files("a", count=3))
        common = ["--region", "production", "--source-revision", "abc123", "--world", "1.0.0.000000000000", "--executable", "bin/game"]
        status, out, err = self.publish("add-client", feed, "--release", "r1", *common, tree)
        self.assertEqual((0, "client r1: 6 entries, 7 new objects\n"), (status, out), err)
        status, out, _ = self.publish("add-client", feed, "--release", "r2", *common, tree)
        self.assertEqual("client r2: 6 entries, 1 new objects\n", out, "only the new manifest is stored")

        for expected in (1, 2):
            status, out, err = self.publish("sign", feed, "--key", key)
            self.assertEqual(0, status, err)
            with open(os.path.join(feed, "feed.json"), "rb") as handle:
                data = handle.read()
            with open(os.path.join(feed, "feed.json.sig")) as handle:
                signature = bytes.fromhex(handle.read().strip())
            self.assertEqual(expected, json.loads(data)["sequence"])
            self.assertEqual("r2", json.loads(data)["client"]["releaseId"])
            self.assertTrue(ed25519.verify(bytes.fromhex(public), data, signature))
        self.assertFalse(os.path.exists(os.path.join(feed, "draft.json")))

    def test_refuses_releases_players_would_refuse(self):
        feed = os.path.join(self.tmp, "feed")
        tree = make_tree(os.path.join(self.tmp, "tree"), release_files("a", count=1), links={"escape": "../../outside"})
        status, _, err = self.publish("add-client", feed, "--region", "production", "--release", "r1",
                                      "--source-revision", "abc", "--world", "1.0.0.000000000000", "--executable", "bin/game", tree)
        self.assertEqual(1, status)
        self.assertIn("leads outside the release", err)
        status, _, err = self.publish("add-client", feed, "--region", "production", "--release", "r1",
                                      "--source-revision", "abc", "--world", "1.0", "--executable", "bin/game", tree)
        self.assertEqual(1, status)
        self.assertIn("not a valid world version", err)
