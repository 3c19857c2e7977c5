"""Accepting a fetched feed: signature, region, expiry, no rollback, format."""

import datetime
import json
import os
import tempfile
import unittest

from support import KEY_A, SEED_A, SEED_B, WORLD

from thornwake_updater import config, ed25519, feed
from thornwake_updater.errors import FeedRejected

EXPIRES = datetime.datetime(2030, 1, 1, tzinfo=datetime.timezone.utc)
SECOND = datetime.timedelta(seconds=1)


def document(**changes):
    value = {
        "format": 1, "region": "production", "sequence": 5, "expires": "2030-01-01T00:00:00Z",
        "client": {"releaseId": "r1", "sourceRevision": "abc", "worldVersion": WORLD,
                   "manifest": {"sha256": "ab" * 32, "size": 10, "encoding": "zlib", "storedSize": 8}},
    }
    value.update(changes)
    return value


CASES = [
    # name, feed document, signing seed, sequence accepted before, now, the refusal's words (None: accepted)
    ("newer sequence", document(), SEED_A, 4, EXPIRES - SECOND, None),
    ("same sequence", document(), SEED_A, 5, EXPIRES - SECOND, None),
    ("first feed of the region", document(sequence=0), SEED_A, None, EXPIRES - SECOND, None),
    ("unknown key", document(), SEED_B, 4, EXPIRES - SECOND, "not signed by a trusted Thornwake key"),
    ("tampered after signing", document(), "tamper", 4, EXPIRES - SECOND, "not signed by a trusted Thornwake key"),
    ("signature not hex", document(), "not hex", 4, EXPIRES - SECOND, "not signed by a trusted Thornwake key"),
    ("another region", document(region="staging"), SEED_A, 4, EXPIRES - SECOND, "for another region"),
    ("expired at that very second", document(), SEED_A, 4, EXPIRES, "has expired"),
    ("sequence one below", document(), SEED_A, 6, EXPIRES - SECOND, "older update information"),
    ("newer format", document(format=2), SEED_A, 4, EXPIRES - SECOND, "needs a newer Thornwake Launcher"),
    ("bad world version", document(client=dict(document()["client"], worldVersion="1.0")), SEED_A, 4,
     EXPIRES - SECOND, "is damaged"),
    ("identity object with a stored size of its own",
     document(client=dict(document()["client"], manifest={"sha256": "ab" * 32, "size": 10, "storedSize": 8})),
     SEED_A, 4, EXPIRES - SECOND, "is damaged"),
]


class AcceptFeedTest(unittest.TestCase):
    def test_accepted_and_refused_feeds(self):
        settings = config.RegionSettings("production", "Production", "https://cdn.example/feed/", [bytes.fromhex(KEY_A)])
        for name, value, seed, before, now, refusal in CASES:
            with self.subTest(name), tempfile.TemporaryDirectory() as directory:
                state = feed.SequenceState(os.path.join(directory, "regions", "production", "feed-state.json"))
                if before is not None:
                    state.store(before)
                data = json.dumps(value).encode("utf-8")
                signature = ed25519.sign(SEED_A if isinstance(seed, str) else seed, data).hex().encode("ascii")
                if seed == "tamper":
                    data = data.replace(b'"r1"', b'"r2"')
                elif seed == "not hex":
                    signature = b"zz" + signature[2:]
                if refusal is None:
                    accepted = feed.accept_feed(data, signature, settings, state, now)
                    self.assertEqual(("r1", value["sequence"]), (accepted.client.release_id, state.load()))
                    continue
                with self.assertRaises(FeedRejected) as caught:
                    feed.accept_feed(data, signature, settings, state, now)
                self.assertIn(refusal, caught.exception.message)
                self.assertEqual(before, state.load(), "a refused feed changes nothing")


if __name__ == "__main__":
    unittest.main()
