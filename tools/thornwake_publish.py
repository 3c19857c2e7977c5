#!/usr/bin/python3
"""Thornwake release publisher: signing keys, releases in a feed directory, signing.

  thornwake_publish.py keygen <key-file>
  thornwake_publish.py pubkey <key-file>
  thornwake_publish.py add-client <feed-dir> --region <id> --release <id>
        --source-revision <rev> --world <version> --executable <relpath> <tree-dir>
  thornwake_publish.py add-launcher <feed-dir> --region <id> --version <16 hex> <bundle-dir>
  thornwake_publish.py sign <feed-dir> --key <key-file> [--expires-days N]

add-client and add-launcher store the tree's new objects under
<feed-dir>/objects/ and record the release in <feed-dir>/draft.json (not
needed on the server). sign turns the draft (or, without one, the published
feed, to renew its expiry) into feed.json with the next sequence number and
writes feed.json.sig. Upload objects/ before feed.json and feed.json.sig, so
a feed never names an object the server does not have yet.
"""

import argparse
import datetime
import hashlib
import json
import os
import secrets
import stat
import sys
import zlib

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "updater"))

from thornwake_updater import config, ed25519, feed as feed_mod, fsutil, manifest as manifest_mod, selfupdate  # noqa: E402
from thornwake_updater.errors import UpdaterError  # noqa: E402
from thornwake_updater.feed import ObjectRef  # noqa: E402

CHUNK = 1 << 20
DRAFT = "draft.json"
# Compression must save at least this share of an object to be worth the player's CPU.
MIN_SAVING = 0.05


class PublishError(Exception):
    pass


# Keys -------------------------------------------------------------------------------------------


def read_seed(path):
    try:
        with open(path, "r", encoding="ascii") as handle:
            seed = bytes.fromhex(handle.read().strip())
    except (OSError, ValueError) as exc:
        raise PublishError("cannot read the private key %s: %s" % (path, exc))
    if len(seed) != ed25519.SEED_BYTES:
        raise PublishError("%s does not hold a 32-byte Ed25519 private key" % path)
    return seed


def keygen(path):
    seed = secrets.token_bytes(ed25519.SEED_BYTES)
    try:
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    except FileExistsError:
        raise PublishError("%s exists already; refusing to overwrite a key" % path)
    with os.fdopen(fd, "w") as handle:
        handle.write(seed.hex() + "\n")
        handle.flush()
        os.fsync(handle.fileno())
    return ed25519.public_key(seed).hex()


# Objects ----------------------------------------------------------------------------------------


class FeedDirectory:
    def __init__(self, root):
        self.root = root
        self.objects = os.path.join(root, "objects")

    def _stored(self, digest):
        base = os.path.join(self.objects, digest[:2], digest)
        return [(base, "identity"), (base + ".z", "zlib")]

    def existing(self, digest, size):
        for path, encoding in self._stored(digest):
            if os.path.isfile(path):
                return ObjectRef(digest, size, encoding, os.path.getsize(path))
        return None

    def store_file(self, path):
        """The reference of the file's content, storing it if the feed lacks it."""
        digest = hashlib.sha256()
        size = 0
        with open(path, "rb") as handle:
            for chunk in iter(lambda: handle.read(CHUNK), b""):
                digest.update(chunk)
                size += len(chunk)
        digest = digest.hexdigest()
        found = self.existing(digest, size)
        if found is not None:
            return found, False

        def chunks():
            with open(path, "rb") as handle:
                yield from iter(lambda: handle.read(CHUNK), b"")

        return self._write(digest, size, chunks), True

    def store_bytes(self, data):
        digest = hashlib.sha256(data).hexdigest()
        found = self.existing(digest, len(data))
        if found is not None:
            return found, False
        return self._write(digest, len(data), lambda: iter([data])), True

    def _write(self, digest, size, chunks):
        (raw_path, _), (packed_path, _) = self._stored(digest)
        fsutil.makedirs(os.path.dirname(raw_path))
        tmp = fsutil.temp_name(packed_path)
        packer = zlib.compressobj(9)
        with open(tmp, "wb") as out:
            for chunk in chunks():
                out.write(packer.compress(chunk))
            out.write(packer.flush())
        packed = os.path.getsize(tmp)
        if packed <= size * (1 - MIN_SAVING):
            os.replace(tmp, packed_path)
            return ObjectRef(digest, size, "zlib", packed)
        os.unlink(tmp)
        tmp = fsutil.temp_name(raw_path)
        with open(tmp, "wb") as out:
            for chunk in chunks():
                out.write(chunk)
        os.replace(tmp, raw_path)
        return ObjectRef(digest, size, "identity", size)


def scan_tree(tree):
    """(entries, sources) for every file, link and empty directory of tree; nothing is stored yet.

    A file entry's object reference is a stand-in until store_files; sources
    maps its path to the file. Checking the entries before storing anything
    keeps a tree that players would refuse from leaving objects in the feed.
    """
    if not os.path.isdir(tree):
        raise PublishError("%s is not a directory" % tree)
    entries = []
    sources = {}
    for directory, dirnames, filenames in os.walk(tree, followlinks=False):
        dirnames.sort()
        relative_dir = os.path.relpath(directory, tree)
        prefix = "" if relative_dir == "." else relative_dir.replace(os.sep, "/") + "/"
        names = sorted(dirnames + filenames)
        if not names and prefix:
            entries.append(manifest_mod.Entry(_utf8_name(directory, prefix[:-1]), "dir"))
        for name in sorted(filenames) + [d for d in dirnames if os.path.islink(os.path.join(directory, d))]:
            path = os.path.join(directory, name)
            relative = _utf8_name(path, prefix + name)
            info = os.lstat(path)
            if stat.S_ISLNK(info.st_mode):
                entries.append(manifest_mod.Entry(relative, "link", target=_utf8_name(path, os.readlink(path))))
            elif stat.S_ISREG(info.st_mode):
                entries.append(manifest_mod.Entry(relative, "file", info.st_size, stat.S_IMODE(info.st_mode),
                                                  ObjectRef("0" * 64, info.st_size)))
                sources[relative] = path
            else:
                raise PublishError("%s is neither a file, a directory nor a link" % path)
    entries.sort(key=lambda entry: entry.path)
    return entries, sources


def _utf8_name(path, text):
    """text (a name or link target found at path) when it is UTF-8; PublishError otherwise."""
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        shown = os.fsencode(path).decode("utf-8", "backslashreplace")
        raise PublishError("%s: the name is not UTF-8, so players could not install it" % shown)
    return text


def store_files(entries, sources, feed_dir):
    """Store the content of every file entry the feed lacks and set its reference; the number stored."""
    new = 0
    for entry in entries:
        if entry.kind == "file":
            entry.ref, added = feed_dir.store_file(sources[entry.path])
            entry.size = entry.ref.size
            new += added
    return new


def check_manifest(manifest):
    """PublishError unless the updater's own rules accept the manifest, so nothing is published that players would refuse."""
    try:
        manifest_mod.parse(manifest.to_bytes(), manifest.kind)
    except UpdaterError as exc:
        raise PublishError("the release would be refused by the updater: %s" % (exc.detail or exc.message))


def store_manifest(feed_dir, manifest):
    """(reference, whether it was new) of the manifest stored as an object."""
    check_manifest(manifest)
    return feed_dir.store_bytes(manifest.to_bytes())


def publish_tree(feed_dir, tree, kind, **fields):
    """Store a release tree's objects and manifest in the feed; (manifest reference, entries, new objects).

    The tree is checked as players' updaters check it before anything is written.
    """
    entries, sources = scan_tree(tree)
    manifest = manifest_mod.Manifest(kind, entries, **fields)
    check_manifest(manifest)
    directory = FeedDirectory(feed_dir)
    new = store_files(entries, sources, directory)
    ref, added = store_manifest(directory, manifest)
    return ref, len(entries), new + added


# Draft and signing ------------------------------------------------------------------------------


def load_json(path):
    try:
        with open(path, "rb") as handle:
            return json.loads(handle.read().decode("utf-8"))
    except FileNotFoundError:
        return None
    except (OSError, ValueError) as exc:
        raise PublishError("cannot read %s: %s" % (path, exc))


def load_draft(feed_dir, region):
    if not config.REGION_ID.match(region):
        raise PublishError(
            "%r is not a region id players can choose (a lowercase letter, then up to 31 lowercase letters, "
            "digits or hyphens)" % region
        )
    draft = load_json(os.path.join(feed_dir, DRAFT)) or load_json(os.path.join(feed_dir, "feed.json")) or {}
    if draft.get("region", region) != region:
        raise PublishError("%s holds region %r, not %r" % (feed_dir, draft.get("region"), region))
    draft["region"] = region
    return draft


def save_draft(feed_dir, draft):
    fsutil.makedirs(feed_dir)
    fsutil.atomic_write_json(os.path.join(feed_dir, DRAFT), draft)


def add_client(feed_dir, region, release, revision, world, executable, tree):
    for pattern, value, what in (
        (feed_mod.RELEASE_ID, release, "release id"),
        (feed_mod.SOURCE_REVISION, revision, "source revision"),
        (feed_mod.WORLD_VERSION, world, "world version"),
    ):
        if not pattern.match(value):
            raise PublishError("%r is not a valid %s" % (value, what))
    draft = load_draft(feed_dir, region)
    ref, count, new = publish_tree(feed_dir, tree, "client", release_id=release, executable=executable)
    draft["client"] = {"releaseId": release, "sourceRevision": revision, "worldVersion": world, "manifest": ref.to_json()}
    save_draft(feed_dir, draft)
    return count, new


def add_launcher(feed_dir, region, version, bundle):
    if not feed_mod.LAUNCHER_VERSION.match(version):
        raise PublishError("%r is not a launcher version (16 lowercase hex digits)" % version)
    # The same check as the players' updaters: a bundle that says another version would be refused.
    try:
        selfupdate.check_bundle(bundle, version)
    except UpdaterError as exc:
        raise PublishError("%s is not launcher %s: %s" % (bundle, version, exc.detail or exc.message))
    draft = load_draft(feed_dir, region)
    ref, count, new = publish_tree(feed_dir, bundle, "launcher", version=version)
    draft["launcher"] = {"version": version, "manifest": ref.to_json()}
    save_draft(feed_dir, draft)
    return count, new


# A feed must outlive its upload; one that never expires would defeat the freeze protection.
MIN_VALIDITY = datetime.timedelta(hours=1)
MAX_EXPIRES_DAYS = 3650


def expiry(now, days):
    """The expiry as written to the feed, days after now; PublishError unless it is sensible."""
    if not 0 < days <= MAX_EXPIRES_DAYS:  # refuses inf and nan too
        raise PublishError("--expires-days must be a number of days above 0 and at most %d" % MAX_EXPIRES_DAYS)
    expires = feed_mod.format_time(now + datetime.timedelta(days=days))
    if feed_mod.parse_time(expires) - now < MIN_VALIDITY:
        raise PublishError("--expires-days %g would let the feed expire within the hour; players refuse an expired feed" % days)
    return expires


def sign(feed_dir, key_path, expires_days, now=None):
    seed = read_seed(key_path)
    draft_path = os.path.join(feed_dir, DRAFT)
    published = load_json(os.path.join(feed_dir, "feed.json")) or {}
    draft = load_json(draft_path) or dict(published)
    if "client" not in draft or "region" not in draft:
        raise PublishError("%s has no client release yet; run add-client first" % feed_dir)
    now = now or datetime.datetime.now(datetime.timezone.utc)
    sequence = max(published.get("sequence", 0), draft.get("sequence", 0)) + 1
    document = {
        "format": feed_mod.FORMAT,
        "region": draft["region"],
        "sequence": sequence,
        "expires": expiry(now, expires_days),
        "client": draft["client"],
    }
    if draft.get("launcher") is not None:
        document["launcher"] = draft["launcher"]
    data = (json.dumps(document, indent=2, sort_keys=True) + "\n").encode("utf-8")
    feed_mod.parse_feed(data, "")  # the updater's own structural checks
    signature = ed25519.sign(seed, data)
    fsutil.atomic_write(os.path.join(feed_dir, "feed.json"), data)
    fsutil.atomic_write(os.path.join(feed_dir, "feed.json.sig"), (signature.hex() + "\n").encode("ascii"))
    try:
        os.unlink(draft_path)
    except FileNotFoundError:
        pass
    return sequence, document["expires"]


# Command line -----------------------------------------------------------------------------------


def build_parser():
    parser = argparse.ArgumentParser(prog="thornwake_publish.py", description="Publish Thornwake releases to a signed feed.")
    commands = parser.add_subparsers(dest="command", required=True)
    p = commands.add_parser("keygen", help="create a private signing key (file mode 0600) and print its public key")
    p.add_argument("key_file")
    p = commands.add_parser("pubkey", help="print the public key of a private key file")
    p.add_argument("key_file")
    p = commands.add_parser("add-client", help="add a game client release (a directory tree) to the draft")
    p.add_argument("feed_dir")
    p.add_argument("--region", required=True)
    p.add_argument("--release", required=True)
    p.add_argument("--source-revision", required=True)
    p.add_argument("--world", required=True)
    p.add_argument("--executable", required=True, help="path of the game program inside the tree")
    p.add_argument("tree")
    p = commands.add_parser("add-launcher", help="add a launcher bundle to the draft")
    p.add_argument("feed_dir")
    p.add_argument("--region", required=True)
    p.add_argument("--version", required=True)
    p.add_argument("bundle")
    p = commands.add_parser("sign", help="write feed.json with the next sequence, and feed.json.sig")
    p.add_argument("feed_dir")
    p.add_argument("--key", required=True)
    p.add_argument("--expires-days", type=float, default=30.0)
    return parser


def main(argv):
    args = build_parser().parse_args(argv)
    try:
        if args.command == "keygen":
            print(keygen(args.key_file))
        elif args.command == "pubkey":
            print(ed25519.public_key(read_seed(args.key_file)).hex())
        elif args.command == "add-client":
            count, new = add_client(
                args.feed_dir, args.region, args.release, args.source_revision, args.world, args.executable, args.tree
            )
            print("client %s: %d entries, %d new objects" % (args.release, count, new))
        elif args.command == "add-launcher":
            count, new = add_launcher(args.feed_dir, args.region, args.version, args.bundle)
            print("launcher %s: %d entries, %d new objects" % (args.version, count, new))
        elif args.command == "sign":
            sequence, expires = sign(args.feed_dir, args.key, args.expires_days)
            print("signed feed sequence %d, expires %s" % (sequence, expires))
    except PublishError as exc:
        print("thornwake_publish: %s" % exc, file=sys.stderr)
        return 1
    except UpdaterError as exc:
        print("thornwake_publish: %s" % (exc.detail or exc.message), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
