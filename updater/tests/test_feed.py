"""Accepting a fetched feed.signed: whole envelope, signature, region, expiry, no rollback, format, mirrors."""

import datetime
import json
import os
import tempfile
import unittest

from support import KEY_A, SEED_A, SEED_B, WORLD

from thornwake_updater import config, envelope, feed
from thornwake_updater.errors import FeedRejected, NetworkError

EXPIRES = datetime.datetime(2030, 1, 1, tzinfo=datetime.timezone.utc)
SECOND = datetime.timedelta(seconds=1)
BASE = "https://cdn.example/feed/"


def document(**changes):
    value = {
        "format": 2, "region": "production", "sequence": 5, "expires": "2030-01-01T00:00:00Z",
        "client": {"releaseId": "r1", "sourceRevision": "abc", "worldVersion": WORLD,
                   "manifest": {"sha256": "ab" * 32, "size": 10, "encoding": "zlib", "storedSize": 8}},
    }
    value.update(changes)
    return value


def sealed(value, seed=SEED_A, spoil=None):
    """feed.signed holding value, signed with seed, then spoiled: (old bytes, new bytes) replaced in it."""
    data = envelope.seal(json.dumps(value).encode("utf-8"), seed)
    if spoil == "tamper":
        wrapper = json.loads(data)
        wrapper["feed"] = envelope.base64.b64encode(json.dumps(dict(value, sequence=99)).encode()).decode()
        return json.dumps(wrapper).encode()
    return data.replace(*spoil) if spoil else data


GOOD = sealed(document())
CASES = [
    # name, feed.signed, sequence accepted before, now, (refusal kind, its words) or the accepted mirrors
    ("newer sequence", GOOD, 4, EXPIRES - SECOND, [BASE]),
    ("same sequence", GOOD, 5, EXPIRES - SECOND, [BASE]),
    ("first feed of the region", sealed(document(sequence=0)), None, EXPIRES - SECOND, [BASE]),
    ("mirrors", sealed(document(mirrors=["https://a.example/tw/", "file:///srv/tw/"])), 4, EXPIRES - SECOND,
     ["https://a.example/tw/", "file:///srv/tw/"]),
    ("cut short", GOOD[: len(GOOD) // 2], 4, EXPIRES - SECOND, (NetworkError, "incomplete")),
    ("empty", b"", 4, EXPIRES - SECOND, (NetworkError, "incomplete")),
    ("feed not base64", sealed(document(), spoil=(b'"feed": "', b'"feed": "!')), 4, EXPIRES - SECOND, (NetworkError, "incomplete")),
    ("signature cut", sealed(document(), spoil=(b'"signature": "', b'"signature": "ab')), 4, EXPIRES - SECOND,
     (NetworkError, "incomplete")),
    ("unknown key", sealed(document(), SEED_B), 4, EXPIRES - SECOND, (FeedRejected, "not signed by a trusted key")),
    ("tampered after signing", sealed(document(), spoil="tamper"), 4, EXPIRES - SECOND, (FeedRejected, "not signed by a trusted key")),
    ("newer envelope", sealed(document(), spoil=(b'"envelope": 1', b'"envelope": 2')), 4, EXPIRES - SECOND,
     (FeedRejected, "needs a newer Thornwake Launcher")),
    ("newer format", sealed(document(format=3)), 4, EXPIRES - SECOND, (FeedRejected, "needs a newer Thornwake Launcher")),
    ("format 1 inside", sealed(document(format=1)), 4, EXPIRES - SECOND, (FeedRejected, "is damaged")),
    ("another region", sealed(document(region="staging")), 4, EXPIRES - SECOND, (FeedRejected, "for another region")),
    ("expired at that very second", GOOD, 4, EXPIRES, (FeedRejected, "has expired")),
    ("sequence one below", GOOD, 6, EXPIRES - SECOND, (FeedRejected, "older update information")),
    ("bad world version", sealed(document(client=dict(document()["client"], worldVersion="1.0"))), 4,
     EXPIRES - SECOND, (FeedRejected, "is damaged")),
    ("identity object with a stored size of its own",
     sealed(document(client=dict(document()["client"], manifest={"sha256": "ab" * 32, "size": 10, "storedSize": 8}))),
     4, EXPIRES - SECOND, (FeedRejected, "is damaged")),
    ("mirror on plain http", sealed(document(mirrors=["http://cdn.example/tw/"])), 4, EXPIRES - SECOND, (FeedRejected, "is damaged")),
    ("mirror without a final slash", sealed(document(mirrors=["https://cdn.example/tw"])), 4, EXPIRES - SECOND,
     (FeedRejected, "is damaged")),
    ("no mirror", sealed(document(mirrors=[])), 4, EXPIRES - SECOND, (FeedRejected, "is damaged")),
    ("manifest patch for no manifest", sealed(document(client=dict(document()["client"], manifestPatches=[
        {"from": "AB" * 32, "patch": document()["client"]["manifest"]}]))), 4, EXPIRES - SECOND, (FeedRejected, "is damaged")),
]


class AcceptFeedTest(unittest.TestCase):
    def test_accepted_and_refused_feeds(self):
        settings = config.RegionSettings("production", "Production", BASE, [bytes.fromhex(KEY_A)])
        for name, data, before, now, outcome in CASES:
            with self.subTest(name), tempfile.TemporaryDirectory() as directory:
                state = feed.SequenceState(os.path.join(directory, "regions", "production", "feed-state.json"))
                if before is not None:
                    state.store(before)

                def accept():
                    return feed.accept_feed(envelope.open_envelope(data, settings.trusted_keys), settings, state, now)

                if isinstance(outcome, list):
                    accepted = accept()
                    self.assertEqual(("r1", 5 if before else 0, outcome),
                                     (accepted.client.release_id, state.load(), accepted.mirrors))
                    continue
                with self.assertRaises(outcome[0]) as caught:
                    accept()
                self.assertIsInstance(caught.exception, outcome[0])
                self.assertIn(outcome[1], caught.exception.message)
                self.assertEqual(before, state.load(), "a refused feed changes nothing")


if __name__ == "__main__":
    unittest.main()
