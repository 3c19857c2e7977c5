#!/usr/bin/python3
"""Thornwake release publisher: signing keys, releases in a feed directory, signing, checking, pruning.

One feed directory is one region's feed: serve it at the URL that the region's
"feed" names. Run a command with --help for what each option does.
"""

import argparse
import base64
import datetime
import json
import os
import plistlib
import re
import secrets
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "updater"))
sys.path.insert(0, HERE)

from thornwake_updater import config, ed25519, envelope, feed as feed_mod, fsutil, manifest as manifest_mod, selfupdate, transport  # noqa: E402
from thornwake_updater.errors import UpdaterError  # noqa: E402

import thornwake_release as release_mod  # noqa: E402
from thornwake_store import FeedDirectory, PublishError, Ref  # noqa: E402

ENVELOPE = envelope.NAME
LEGACY_FEED = "feed.json"
LEGACY_SIGNATURE = "feed.json.sig"
DRAFT = "draft.json"
SETTINGS = "settings.json"
HISTORY = "history"
HISTORY_NAME = re.compile(r"\Afeed-([0-9]{1,16})\.json\Z")
MAX_MIRRORS = 16
PACK_NAME = re.compile(r"\A[0-9a-f]{64}\.pack\Z")
OBJECT_NAME = re.compile(r"\A[0-9a-f]{64}(\.z)?\Z")
TEMPORARY = re.compile(r"\A\..+\.tmp-[0-9a-f]{12}\Z")


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


# Releases ---------------------------------------------------------------------------------------


def check_manifest(data, kind):
    """PublishError unless the updater's own rules accept the manifest, so nothing is published that players would refuse."""
    try:
        manifest_mod.parse(data, kind)
    except UpdaterError as exc:
        raise PublishError("the release would be refused by the updater: %s" % (exc.detail or exc.message))


def publish_tree(feed, tree, kind, earlier=(), **fields):
    """Store a release tree's objects and manifest in the feed; (manifest reference, entries, new objects, patches).

    The tree is checked as players' updaters check it before anything is written.
    earlier are (reference, bytes) of manifests players may have, newest first:
    the packs keep the newest one's numbers, and the patches (the feed's
    manifestPatches) make the new manifest of each.
    """
    entries, sources = release_mod.scan_tree(tree)
    check_manifest(release_mod.stand_in(kind, entries, fields), kind)
    earlier_packs = release_mod.read_manifest(feed, earlier[0][0], kind).get("packs", ()) if earlier else ()
    packs, new = release_mod.store_tree(feed, entries, sources, earlier_packs)
    data = release_mod.to_bytes(release_mod.document(kind, entries, fields, packs))
    check_manifest(data, kind)
    ref, added = feed.store_bytes(data)
    patches = []
    for earlier_ref, old in earlier:
        patch = release_mod.manifest_patch(old, data)
        # Only where it spares players most of the manifest.
        if earlier_ref.sha256 != ref.sha256 and len(patch) * 2 < len(data):
            patch_ref, stored = feed.store_bytes(patch)
            added += stored
            patches.append({"from": earlier_ref.sha256, "patch": patch_ref.to_json()})
    return ref, len(entries), new + added, patches


# How many of the client releases signed last a new client's manifest gets a patch from, and how many signed
# feeds are looked through for them.
PATCHED_RELEASES = 4
PATCH_SEARCH = 64


def earlier_client_manifests(feed):
    """(reference, bytes) of the client manifests of the last signed feeds that are still stored, newest first."""
    found = []
    sequences = history_sequences(feed)[:PATCH_SEARCH]
    documents = (load_json(history_path(feed, sequence)) for sequence in sequences) if sequences else [served_feed(feed)]
    for document in documents:
        client = document.get("client") if isinstance(document, dict) else None
        try:
            ref = Ref.from_json(client["manifest"])
            if any(ref.sha256 == known.sha256 for known, _ in found):
                continue
            found.append((ref, feed.read_object(ref)))
        except (KeyError, TypeError, PublishError):
            continue
        if len(found) == PATCHED_RELEASES:
            break
    return found


def load_json(path):
    try:
        with open(path, "rb") as handle:
            return json.loads(handle.read().decode("utf-8"))
    except FileNotFoundError:
        return None
    except (OSError, ValueError) as exc:
        raise PublishError("cannot read %s: %s" % (path, exc))


def check_region(region):
    if not config.REGION_ID.match(region):
        raise PublishError(
            "%r is not a region id players can choose (a lowercase letter, then up to 31 lowercase letters, "
            "digits or hyphens)" % region
        )


def load_draft(feed_dir, region=None):
    """The releases to sign next: the draft, else those of the last signed feed; checked against region."""
    feed = FeedDirectory(feed_dir)
    draft = load_json(feed.private_path(DRAFT))
    if draft is None:
        latest = latest_feed(feed) or {}
        draft = {key: latest[key] for key in ("region", "client", "launcher") if key in latest}
    known = draft.get("region") or (load_json(os.path.join(feed_dir, LEGACY_FEED)) or {}).get("region")
    if region is not None:
        check_region(region)
        if known not in (None, region):
            raise PublishError("%s holds region %r, not %r" % (feed_dir, known, region))
        draft["region"] = region
    return draft


def save_draft(feed_dir, draft):
    feed = FeedDirectory(feed_dir)
    fsutil.makedirs(feed.private)
    fsutil.atomic_write_json(feed.private_path(DRAFT), draft)


def add_client(feed_dir, region, release, revision, world, executable, tree):
    for pattern, value, what in (
        (feed_mod.RELEASE_ID, release, "release id"),
        (feed_mod.SOURCE_REVISION, revision, "source revision"),
        (feed_mod.WORLD_VERSION, world, "world version"),
    ):
        if not pattern.match(value):
            raise PublishError("%r is not a valid %s" % (value, what))
    check_region(region)
    feed = FeedDirectory(feed_dir)
    with feed.lock():
        draft = load_draft(feed_dir, region)
        earlier = earlier_client_manifests(feed)
        ref, count, new, patches = publish_tree(feed, tree, "client", earlier, release_id=release, executable=executable)
        draft["client"] = {"releaseId": release, "sourceRevision": revision, "worldVersion": world, "manifest": ref.to_json()}
        if patches:
            draft["client"]["manifestPatches"] = patches
        save_draft(feed_dir, draft)
    return count, new


def bundle_version(bundle):
    """CFBundleVersion of the bundle's Info.plist; PublishError when it has none."""
    path = os.path.join(bundle, *selfupdate.INFO_PLIST.split("/"))
    try:
        with open(path, "rb") as handle:
            version = plistlib.load(handle).get("CFBundleVersion")
    except Exception as exc:  # plistlib raises a variety of errors for malformed documents
        raise PublishError("cannot read the version from %s (%s); give it with --version" % (path, exc))
    if not isinstance(version, str):
        raise PublishError("%s has no CFBundleVersion; give the version with --version" % path)
    return version


def add_launcher(feed_dir, region, version, bundle):
    """Add the bundle as the feed's launcher; (version, entries, new objects)."""
    version = version or bundle_version(bundle)
    if not feed_mod.LAUNCHER_VERSION.match(version):
        raise PublishError("%r is not a launcher version (16 lowercase hex digits)" % version)
    # The same check as the players' updaters: a bundle that says another version would be refused.
    try:
        selfupdate.check_bundle(bundle, version)
    except UpdaterError as exc:
        raise PublishError("%s is not launcher %s: %s" % (bundle, version, exc.detail or exc.message))
    check_region(region)
    feed = FeedDirectory(feed_dir)
    with feed.lock():
        draft = load_draft(feed_dir, region)
        ref, count, new, _ = publish_tree(feed, bundle, "launcher", version=version)
        draft["launcher"] = {"version": version, "manifest": ref.to_json()}
        settings = load_settings(feed)
        if "transition" in settings:
            # Launchers already installed are offered this one too: store what they need now.
            new += transition_launcher(feed, settings["transition"], draft["launcher"])
            save_settings(feed, settings)
        save_draft(feed_dir, draft)
    return version, count, new


# Signed feeds -----------------------------------------------------------------------------------


def history_path(feed, sequence, legacy=False):
    return feed.private_path(HISTORY, "%s-%d.json" % ("legacy" if legacy else "feed", sequence))


def history_sequences(feed):
    """The sequences of every feed signed here, highest first."""
    try:
        names = os.listdir(feed.private_path(HISTORY))
    except FileNotFoundError:
        return []
    return sorted((int(m.group(1)) for m in map(HISTORY_NAME.match, names) if m), reverse=True)


def served_feed(feed):
    """The feed inside the served envelope (this publisher wrote it), or None."""
    sealed = load_json(os.path.join(feed.root, ENVELOPE))
    try:
        return json.loads(base64.b64decode(sealed["feed"]).decode("utf-8")) if sealed else None
    except (KeyError, TypeError, ValueError) as exc:
        raise PublishError("%s is damaged: %s" % (os.path.join(feed.root, ENVELOPE), exc))


def latest_feed(feed):
    """The last feed signed here (from the history, else the served envelope), or None."""
    sequences = history_sequences(feed)
    if sequences:
        return load_json(history_path(feed, sequences[0]))
    return served_feed(feed)


def next_sequence(feed):
    """One above every sequence players may have seen here, including a format-1 feed from before."""
    known = history_sequences(feed)[:1]
    for document in (served_feed(feed), load_json(os.path.join(feed.root, LEGACY_FEED))):
        if document is not None:
            known.append(document.get("sequence", 0))
    return max(known, default=0) + 1


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


def feed_bytes(value):
    return (json.dumps(value, indent=2, sort_keys=True) + "\n").encode("utf-8")


def check_mirrors(urls):
    """The mirror base URLs as the feed lists them; PublishError for one players would not fetch from."""
    if len(urls) > MAX_MIRRORS:
        raise PublishError("at most %d mirrors" % MAX_MIRRORS)
    for url in urls:
        if not url.endswith("/") or "?" in url or "#" in url or not transport.allowed_url(url):
            raise PublishError("mirror %r must be an https:// URL ending in \"/\" (or file://, or http:// on this "
                               "computer for tests)" % url)
    return list(urls)


def sign(feed_dir, key_path, expires_days, now=None, legacy=None, mirrors=None):
    """Sign the draft (or renew the last feed) as feed.signed with the next sequence; (sequence, expiry, notes).

    legacy True starts (or keeps) the transition feed for launchers already
    installed, False ends it, None keeps the setting; mirrors replaces the
    mirror list (an empty list removes it), None keeps it.
    """
    seed = read_seed(key_path)
    feed = FeedDirectory(feed_dir)
    with feed.lock():
        draft = load_draft(feed_dir)
        if "client" not in draft or "region" not in draft:
            raise PublishError("%s has no client release yet; run add-client first" % feed_dir)
        settings = load_settings(feed)
        before = json.dumps(settings, sort_keys=True)
        if mirrors is not None:
            settings["mirrors"] = check_mirrors(mirrors)
        if legacy is None and "transition" not in settings and os.path.exists(os.path.join(feed.root, LEGACY_FEED)):
            raise PublishError("%s holds a format-1 %s, which launchers already installed read: sign with --legacy-feed to "
                               "keep offering them a launcher that reads the new feed, or with --end-legacy-feed to stop "
                               "serving it" % (feed_dir, LEGACY_FEED))
        if legacy is True and "transition" not in settings:
            settings["transition"] = {"client": legacy_client(feed)}
        elif legacy is False:
            settings.pop("transition", None)
        now = now or datetime.datetime.now(datetime.timezone.utc)
        sequence = next_sequence(feed)
        document = {"format": 2, "region": draft["region"], "sequence": sequence, "expires": expiry(now, expires_days),
                    "client": draft["client"]}
        for key, value in (("launcher", draft.get("launcher")), ("mirrors", settings.get("mirrors"))):
            if value:
                document[key] = value
        data = feed_bytes(document)
        feed_mod.parse_feed(data, "file:///")  # the updater's own checks; the base stands in for the feed's URL
        writes = [(history_path(feed, sequence), data)]
        notes = []
        transition = settings.get("transition")
        if transition is not None:
            if "launcher" not in draft:
                raise PublishError("the transition feed offers launchers already installed a launcher that reads the new "
                                   "feed; add one with add-launcher first")
            transition_launcher(feed, transition, draft["launcher"])
            legacy_data = feed_bytes({"format": 1, "region": draft["region"], "sequence": sequence, "expires": document["expires"],
                                      "client": transition["client"],
                                      "launcher": {"version": draft["launcher"]["version"], "manifest": transition["launcher"]["manifest"]}})
            writes += [(history_path(feed, sequence, legacy=True), legacy_data), (os.path.join(feed.root, LEGACY_FEED), legacy_data),
                       (os.path.join(feed.root, LEGACY_SIGNATURE), (ed25519.sign(seed, legacy_data).hex() + "\n").encode("ascii"))]
            notes.append("the transition feed %s for launchers already installed offers launcher %s"
                         % (LEGACY_FEED, draft["launcher"]["version"]))
        writes.append((os.path.join(feed.root, ENVELOPE), envelope.seal(data, seed)))
        fsutil.makedirs(feed.private_path(HISTORY))
        if json.dumps(settings, sort_keys=True) != before:
            save_settings(feed, settings)
        for path, content in writes:
            fsutil.atomic_write(path, content)
        if transition is None:
            for name in (LEGACY_FEED, LEGACY_SIGNATURE):
                if _remove(os.path.join(feed.root, name)):
                    notes.append("removed %s: delete it from the server too, which ends the transition there" % name)
        _remove(feed.private_path(DRAFT))
    return sequence, document["expires"], notes


def _remove(path):
    try:
        os.unlink(path)
        return True
    except FileNotFoundError:
        return False


# The transition for launchers already installed ---------------------------------------------------


def load_settings(feed):
    settings = load_json(feed.private_path(SETTINGS))
    return settings if isinstance(settings, dict) else {}


def save_settings(feed, settings):
    fsutil.makedirs(feed.private)
    fsutil.atomic_write_json(feed.private_path(SETTINGS), settings)


def legacy_client(feed):
    """The client entry of the format-1 feed.json served now, kept unchanged through the transition."""
    published = load_json(os.path.join(feed.root, LEGACY_FEED))
    if not isinstance(published, dict) or published.get("format") != 1 or not isinstance(published.get("client"), dict):
        raise PublishError("--legacy-feed keeps serving launchers already installed the format-1 %s of %s, and there "
                           "is none: nothing to carry over" % (LEGACY_FEED, feed.root))
    return published["client"]


def transition_launcher(feed, transition, launcher):
    """Make the format-1 launcher manifest of launcher (a format-2 feed entry); the new objects stored.

    Kept in the transition setting, and made again only for another launcher.
    """
    ref = Ref.from_json(launcher["manifest"])
    made = transition.get("launcher")
    if made is not None and made.get("from") == ref.sha256 and feed.has_object(Ref.from_json(made["manifest"])):
        return 0
    files, new = release_mod.legacy_files(feed, release_mod.read_manifest(feed, ref, "launcher"))
    data = release_mod.to_bytes(release_mod.document("launcher", files, {"version": launcher["version"]}))
    check_manifest(data, "launcher")
    legacy_ref, added = feed.store_bytes(data)
    transition["launcher"] = {"from": ref.sha256, "manifest": legacy_ref.to_json()}
    return new + added


# Pruning ------------------------------------------------------------------------------------------


def prune(feed_dir, keep):
    """Remove the packs and stand-alone objects that no feed of the last keep sequences names; (files, bytes) removed.

    Also kept: what the served feed.signed and feed.json, the draft and the
    transition's launcher name. Nothing is removed when a manifest that one of
    them names cannot be read, since what it names is then unknown.
    """
    if keep < 1:
        raise PublishError("--keep must be at least 1: the feed being served names what players need")
    feed = FeedDirectory(feed_dir)
    with feed.lock():
        sequences = history_sequences(feed)[:keep]
        documents = [served_feed(feed), load_json(os.path.join(feed.root, LEGACY_FEED)), load_json(feed.private_path(DRAFT))]
        if not sequences and documents[0] is None:
            raise PublishError("%s records no signed feed, so prune cannot tell what players need; nothing was removed" % feed_dir)
        for sequence in sequences:
            documents += [load_json(history_path(feed, sequence)), load_json(history_path(feed, sequence, legacy=True))]
        made = load_settings(feed).get("transition", {}).get("launcher")
        if made is not None:
            documents.append({"launcher": made})
        packs, objects = set(), set()
        for document in filter(None, documents):
            for kind in ("client", "launcher"):
                if isinstance(document.get(kind), dict):
                    ref = Ref.from_json(document[kind]["manifest"])
                    named_packs, named_refs = release_mod.named_objects(release_mod.read_manifest(feed, ref, kind))
                    named_refs += [Ref.from_json(item["patch"]) for item in document[kind].get("manifestPatches", ())]
                    packs |= named_packs
                    objects |= {feed.object_path(named) for named in named_refs + [ref]}
        feed.index.keep_only(packs)
        removed = _remove_unnamed(feed.packs, PACK_NAME, lambda path: os.path.basename(path)[:64] in packs)
        for bucket in _entries(feed.objects, directories=True):
            removed = [a + b for a, b in zip(removed, _remove_unnamed(bucket, OBJECT_NAME, lambda path: path in objects))]
            try:
                os.rmdir(bucket)
            except OSError:
                pass
    return tuple(removed)


def _entries(directory, directories=False):
    try:
        with os.scandir(directory) as found:
            return sorted(entry.path for entry in found if entry.is_dir(follow_symlinks=False) == directories
                          and (directories or entry.is_file(follow_symlinks=False)))
    except FileNotFoundError:
        return []


def _remove_unnamed(directory, pattern, named):
    """Remove the files of directory that pattern says are ours and that are not named; [count, bytes].

    A temporary file is left by a stopped command: none runs while the feed is held.
    """
    count = size = 0
    for path in _entries(directory):
        name = os.path.basename(path)
        if not TEMPORARY.match(name) and not (pattern.match(name) and not named(path)):
            continue
        size += os.lstat(path).st_size
        os.unlink(path)
        count += 1
    return [count, size]


# Command line -----------------------------------------------------------------------------------

LAYOUT = """\
A feed directory is one region's feed; serve it at the URL that the region's
"feed" names in launcher-config.json:

  feed.signed            the feed and its signature in one file (written last)
  packs/, objects/       what releases are made of, named by their SHA-256
  feed.json, .sig        only during the transition for launchers already installed

Beside it, FEED_DIR.publisher/ holds the draft, the object index and every signed
feed; keep it (prune and later releases need it), but do not upload it.
Upload packs/ and objects/ before feed.signed, so a feed never names what the
server does not have yet; then check with verify.
"""

COMMANDS = [
    ("keygen", "create a private signing key and print its public key",
     "Writes a new Ed25519 private key (file mode 0600; an existing file is never\n"
     "overwritten) and prints the public key, which goes into the regions'\n"
     "trustedKeys. Keep the private key off the web server.",
     [("key_file", {"metavar": "KEY_FILE", "help": "where to write the private key"})]),
    ("pubkey", "print the public key of a private key file", None,
     [("key_file", {"metavar": "KEY_FILE", "help": "a private key written by keygen"})]),
    ("add-client", "add a game client release (a directory tree) to the draft",
     "Stores the files of TREE that the feed does not have yet in new packs and\n"
     "records the release in the draft; sign publishes it. Refuses, before it\n"
     "writes anything, a tree that players' updaters would refuse.",
     [("feed_dir", {"metavar": "FEED_DIR", "help": "the region's feed directory (created when missing)"}),
      ("--region", {"required": True, "metavar": "ID", "help": "the region id, as in launcher-config.json"}),
      ("--release", {"required": True, "metavar": "ID", "help": "the release id players see, e.g. 2026.12.1"}),
      ("--source-revision", {"required": True, "metavar": "REV", "help": "the source revision the client was built from"}),
      ("--world", {"required": True, "metavar": "VERSION", "help": "the world version, e.g. 1.4.2.0123456789ab"}),
      ("--executable", {"required": True, "metavar": "PATH", "help": "the game program's path inside TREE, e.g. bin/thornwake"}),
      ("tree", {"metavar": "TREE", "help": "the directory holding the client release"})]),
    ("add-launcher", "add a launcher bundle to the draft",
     "Stores the bundle like a client release and records it in the draft; players'\n"
     "launchers of another version replace themselves with it. During the transition\n"
     "it is also stored for launchers already installed.",
     [("feed_dir", {"metavar": "FEED_DIR", "help": "the region's feed directory"}),
      ("--region", {"required": True, "metavar": "ID", "help": "the region id, as in launcher-config.json"}),
      ("--version", {"metavar": "HEX16", "help": "the launcher version (16 lowercase hex digits); by default the "
                                                 "CFBundleVersion of the bundle's Contents/Info.plist"}),
      ("bundle", {"metavar": "BUNDLE", "help": "the launcher bundle, e.g. \"build/Thornwake Launcher.app\""})]),
    ("sign", "sign the draft (or renew the last feed) as feed.signed",
     "Writes feed.signed with the next sequence number and an expiry, then drops the\n"
     "draft. Without a draft it renews the last feed: sign again before it expires.\n"
     "The mirror list and the transition setting are remembered in FEED_DIR.publisher/.",
     [("feed_dir", {"metavar": "FEED_DIR", "help": "the region's feed directory"}),
      ("--key", {"required": True, "metavar": "KEY_FILE", "help": "the private signing key"}),
      ("--expires-days", {"type": float, "default": 30.0, "metavar": "DAYS",
                          "help": "days until players stop accepting this feed (default 30; at least an hour, at most "
                                  "%d). Players who cannot get a newer feed by then play their installed game but "
                                  "cannot update" % MAX_EXPIRES_DAYS}),
      ("--mirror", {"action": "append", "metavar": "URL",
                    "help": "a base URL (ending in \"/\") that serves a copy of this feed's packs/ and objects/; "
                            "repeat for several. Players then fetch those only from the mirrors, spread over them, "
                            "passing over one that fails; list the feed's own URL too when it should serve them. "
                            "Replaces the list remembered before"}),
      ("--no-mirrors", {"action": "store_true", "help": "forget the mirrors: everything comes from the feed's own URL"}),
      ("--legacy-feed", {"action": "store_true",
                         "help": "start (and remember) the transition for launchers already installed, which read only "
                                 "feed.json: keep writing it with the client it offers now and the new launcher, so they "
                                 "update themselves first"}),
      ("--end-legacy-feed", {"action": "store_true",
                             "help": "end the transition: stop writing feed.json and feed.json.sig and remove them (delete "
                                     "them from the server too)"})]),
    ("verify", "check a served feed as a player's launcher would",
     "Fetches feed.signed from FEED_URL, checks its signature with the given keys,\n"
     "its expiry and its region, then fetches every manifest, pack and object it\n"
     "names (from every mirror) and checks each object's hash. During a transition\n"
     "feed.json is checked the same way. Exit status 1 when anything is wrong.",
     [("feed_url", {"metavar": "FEED_URL", "help": "the region's feed URL (https://, file:// or a directory)"}),
      ("--key", {"action": "append", "required": True, "metavar": "HEX",
                 "help": "a trusted public key (64 hex digits), as in trustedKeys; repeat for several"}),
      ("--region", {"metavar": "ID", "help": "the region id the feed must be for"})]),
    ("prune", "remove what no recent feed names",
     "Removes the packs and stand-alone objects in FEED_DIR that no feed of the last\n"
     "N sequences signed here names, nor the served feed, the transition feed or the\n"
     "draft. Delete the same files from the server after uploading the new feed.",
     [("feed_dir", {"metavar": "FEED_DIR", "help": "the region's feed directory"}),
      ("--keep", {"type": int, "default": 3, "metavar": "N",
                  "help": "how many of the last feeds stay whole (default 3; at least 1). Keep enough for players "
                          "who fetched an older feed and are still downloading"})]),
]


def build_parser():
    parser = argparse.ArgumentParser(prog="thornwake_publish.py", description="Publish Thornwake releases to a signed feed.",
                                     epilog=LAYOUT, formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    for name, summary, text, arguments in COMMANDS:
        command = commands.add_parser(name, help=summary, description=text or summary,
                                      formatter_class=argparse.RawDescriptionHelpFormatter)
        for flag, options in arguments:
            command.add_argument(flag, **options)
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
            version, count, new = add_launcher(args.feed_dir, args.region, args.version, args.bundle)
            print("launcher %s: %d entries, %d new objects" % (version, count, new))
        elif args.command == "sign":
            if args.legacy_feed and args.end_legacy_feed or args.mirror and args.no_mirrors:
                raise PublishError("--legacy-feed and --end-legacy-feed, or --mirror and --no-mirrors, contradict each other")
            legacy = True if args.legacy_feed else False if args.end_legacy_feed else None
            mirrors = [] if args.no_mirrors else args.mirror
            sequence, expires, notes = sign(args.feed_dir, args.key, args.expires_days, legacy=legacy, mirrors=mirrors)
            print("signed feed sequence %d, expires %s" % (sequence, expires))
            for note in notes:
                print(note)
        elif args.command == "verify":
            import thornwake_verify

            return thornwake_verify.main(args.feed_url, args.key, args.region)
        elif args.command == "prune":
            count, size = prune(args.feed_dir, args.keep)
            print("removed %d files, %.1f MiB" % (count, size / (1 << 20)))
    except PublishError as exc:
        print("thornwake_publish: %s" % exc, file=sys.stderr)
        return 1
    except UpdaterError as exc:
        print("thornwake_publish: %s" % (exc.detail or exc.message), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
