"""The publisher's command line, as an operator uses it."""

import json
import os
import stat
import subprocess

from support import PUBLISHER, PYTHON, UpdaterTestCase, make_tree, read, release_files, tree_listing, write

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
            data = read(os.path.join(feed, "feed.json"), "rb")
            signature = bytes.fromhex(read(os.path.join(feed, "feed.json.sig")).strip())
            self.assertEqual(expected, json.loads(data)["sequence"])
            self.assertEqual("r2", json.loads(data)["client"]["releaseId"])
            self.assertTrue(ed25519.verify(bytes.fromhex(public), data, signature))
        self.assertFalse(os.path.exists(os.path.join(feed, "draft.json")))

    def test_refuses_what_players_could_not_use_with_one_line_before_writing_anything(self):
        key = os.path.join(self.tmp, "signing.key")
        self.assertEqual(0, self.publish("keygen", key)[0])
        feed, fresh = os.path.join(self.tmp, "feed"), os.path.join(self.tmp, "new-feed")
        good = make_tree(os.path.join(self.tmp, "good"), release_files("a", count=1))
        files = dict(release_files("a", count=1), **{"data/only-here.bin": b"not in the feed yet"})
        escaping = make_tree(os.path.join(self.tmp, "escaping"), files, links={"escape": "../../outside"})
        not_utf8 = make_tree(os.path.join(self.tmp, "not-utf8"), release_files("a", count=1))
        write(os.path.join(os.fsencode(not_utf8), b"data", b"caf\xe9.txt"), b"latin-1 name")
        release = ["--release", "r2", "--source-revision", "abc", "--executable", "bin/game"]
        world = ["--world", "1.0.0.000000000000"]
        self.assertEqual(0, self.publish("add-client", feed, "--region", "production", *release, *world, good)[0])
        cases = [
            (["add-client", feed, "--region", "production", *release, *world, escaping], "leads outside the release"),
            (["add-client", feed, "--region", "production", *release, *world, not_utf8], "caf\\xe9.txt: the name is not UTF-8"),
            (["add-client", fresh, "--region", "Europe West", *release, *world, good], "'Europe West' is not a region id"),
            (["add-client", feed, "--region", "production", *release, "--world", "1.0", good], "not a valid world version"),
            (["sign", feed, "--key", key, "--expires-days", "inf"], "--expires-days must be"),
            (["sign", feed, "--key", key, "--expires-days", "1e9"], "--expires-days must be"),
            (["sign", feed, "--key", key, "--expires-days", "nan"], "--expires-days must be"),
            (["sign", feed, "--key", key, "--expires-days", "0.00001"], "expire within the hour"),
        ]
        for args, text in cases:
            with self.subTest(args=args[:1] + args[-2:]):
                before = tree_listing(args[1])
                status, out, err = self.publish(*args)
                self.assertEqual((1, ""), (status, out))
                self.assertEqual(1, len(err.splitlines()), err)
                self.assertIn(text, err)
                self.assertEqual(before, tree_listing(args[1]), "nothing was written")
        self.assertFalse(os.path.exists(fresh))
