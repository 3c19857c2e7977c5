"""The command line, the three modes, and the mapping of failures to error lines.

  client_updater.py --config <launcher-config.json> --region <id>
      [--launcher-bundle <path> --launcher-version <16 hex>]
      [--relaunched-from <16 hex>] [--no-self-update]
      (--check | --update-only | [-- game arguments...])

Without --check or --update-only the run plays: it starts the installed game
with the arguments after "--". Whatever fails, the last line is one
"Thornwake launcher error:" line and the exit status is 1; a Python
traceback never reaches the launcher.
"""

import os
import re

# Only what every mode needs is imported here; installing, playing and replacing the launcher bring
# in their own modules (and subprocess, plistlib, shutil) when a run gets that far.
from . import config, feed as feed_mod, transport
from .check import (
    client_is_current,
    launcher_update,
    names_offered_client,
    note_launcher_kept,
    run_check,
    self_update_allowed,
)
from .errors import FeedRejected, NetworkError, UpdaterError, UsageError, file_failure
from .installed import RegionLock, checked_release, installed_release, read_current, region_directory, staging_directory
from .output import Output
from .record import Record

LAUNCHER_VERSION = re.compile(r"\A[0-9a-f]{16}\Z")

_BAD_START = "The launcher started the updater wrongly. Reinstall Thornwake Launcher."
_UNREACHABLE_INSTALLED = "The update server could not be reached. Your installed game is unchanged."
INTERRUPTED = "The update was interrupted; the installed game was not changed. Try again."
UNEXPECTED = "The updater hit an unexpected problem. Retry, or reinstall the launcher."


class Options(Record):
    def __init__(self, config=None, region=None, launcher_bundle=None, launcher_version=None, relaunched_from=None,
                 no_self_update=False, mode="play", game_arguments=None):
        self.config = config
        self.region = region
        self.launcher_bundle = launcher_bundle
        self.launcher_version = launcher_version
        self.relaunched_from = relaunched_from
        self.no_self_update = no_self_update
        self.mode = mode
        self.game_arguments = [] if game_arguments is None else game_arguments


_VALUED = {
    "--config": "config",
    "--region": "region",
    "--launcher-bundle": "launcher_bundle",
    "--launcher-version": "launcher_version",
    "--relaunched-from": "relaunched_from",
}


def parse_arguments(argv):
    """Options from the arguments after the script path; UsageError when malformed."""
    options = Options()
    seen = set()
    index = 0
    while index < len(argv):
        word = argv[index]
        if word == "--":
            options.game_arguments = list(argv[index + 1 :])
            seen.add("--")
            break
        if word in seen:
            raise UsageError(_BAD_START, detail="%s given twice" % word)
        seen.add(word)
        if word in _VALUED:
            if index + 1 >= len(argv):
                raise UsageError(_BAD_START, detail="%s without a value" % word)
            setattr(options, _VALUED[word], argv[index + 1])
            index += 2
            continue
        if word == "--no-self-update":
            options.no_self_update = True
        elif word in ("--check", "--update-only"):
            if options.mode != "play":
                raise UsageError(_BAD_START, detail="both --check and --update-only")
            options.mode = "check" if word == "--check" else "update"
        else:
            raise UsageError(_BAD_START, detail="unknown option %s" % _shorten(word))
        index += 1
    if "--" in seen and options.mode != "play":
        raise UsageError(_BAD_START, detail="game arguments outside play mode")
    for name in ("--config", "--region"):
        if name not in seen:
            raise UsageError(_BAD_START, detail="%s is missing" % name)
    if ("--launcher-bundle" in seen) != ("--launcher-version" in seen):
        raise UsageError(_BAD_START, detail="--launcher-bundle and --launcher-version must come together")
    for name in ("launcher_version", "relaunched_from"):
        value = getattr(options, name)
        if value is not None and not LAUNCHER_VERSION.match(value):
            raise UsageError(_BAD_START, detail="--%s is not a launcher version" % name.replace("_", "-"))
    if not config.REGION_ID.match(options.region):
        raise UsageError(_BAD_START, detail="the region id is not valid")
    return options


def _shorten(word):
    return word if len(word) <= 40 else word[:40] + "\u2026"


class Context:
    """Everything one run works with, resolved from the options and the environment."""

    def __init__(self, options, output, environ=None, limits=transport.DEFAULT_LIMITS):
        self.options = options
        self.output = output
        self.limits = limits
        self.support = config.support_directory(environ)
        self.region_dir = region_directory(self.support, options.region)
        self._settings = None

    @property
    def settings(self):
        if self._settings is None:
            self._settings = config.load_region(self.options.config, self.options.region)
        return self._settings

    def fetch_feed(self, seconds=None):
        state = feed_mod.SequenceState(os.path.join(self.region_dir, "feed-state.json"))
        return feed_mod.fetch_feed(self.settings, state, self.limits, seconds)

    def prepare_support(self):
        # The launcher creates the support directory owner-only; do the same if the updater is first.
        os.makedirs(self.support, mode=0o700, exist_ok=True)


def _recover_launcher(ctx):
    if ctx.options.launcher_bundle and ctx.options.launcher_version:
        from . import selfupdate

        selfupdate.recover_quietly(ctx.support, selfupdate.bundle_path(ctx.options), ctx.output)


def run_update(ctx):
    from . import fsutil
    from .retire import carry_over_view, remove_leftovers

    output = ctx.output
    ctx.settings  # configuration errors come before anything is written
    ctx.prepare_support()
    _recover_launcher(ctx)
    with RegionLock(ctx.region_dir):
        try:
            feed = ctx.fetch_feed()
        except NetworkError as exc:
            if checked_release(ctx.region_dir) is not None:
                raise NetworkError(_UNREACHABLE_INSTALLED, detail=exc.detail)
            raise
        # The launcher first: a new launcher may know a newer feed format. The
        # relaunched launcher then checks the client again.
        note_launcher_kept(ctx.options, feed, output)
        launcher = launcher_update(ctx.options, feed)
        if launcher is not None:
            from . import fetch, selfupdate

            fsutil.return_freed_memory()
            return selfupdate.install_launcher(ctx, feed, launcher, fetch.Mirrors(feed.mirrors))
        release = feed.client.release_id
        staging = staging_directory(ctx.region_dir, release, feed.client.manifest.sha256)
        # The installed manifest is parsed in full only when it is the one the feed names and the release is
        # incomplete (it is repaired from it); for any other it is read as a source only, never held. What
        # installs is imported, and the memory settings for large manifests made, only when there is that to do.
        same = names_offered_client(feed, read_current(ctx.region_dir))
        installed = checked_release(ctx.region_dir) if same else None
        if not client_is_current(feed, installed):
            fsutil.return_freed_memory()
            from .install import installed_source

            installed = installed_release(ctx.region_dir) if same else installed_source(ctx.region_dir)
        current = installed.metadata["releaseDirectory"] if installed else None
        remove_leftovers(ctx.region_dir, current, keep_staging=os.path.basename(staging))
        if client_is_current(feed, installed):
            output.client_current(release)
            return 0
        from . import fetch, manifest as manifest_mod
        from .install import install_release, load_manifest, release_sources, staging_manifest

        known = {}
        if installed is not None:
            if installed.manifest is None:
                known[current] = installed.carry_over
            else:
                entries = installed.manifest.entries
                known[current] = carry_over_view([e.path for e in entries if e.kind == "dir"], [e.path for e in entries if e.kind != "dir"])
        sources = release_sources(installed)
        kept = staging_manifest(staging)
        mirrors = fetch.Mirrors(feed.mirrors)
        try:
            manifest = load_manifest(mirrors, feed.client.manifest, installed, ctx.limits, keep_at=kept,
                                     patches=feed.client.manifest_patches)
            if manifest.release_id != release:
                raise FeedRejected(manifest_mod.DAMAGED, detail="manifest names release %r, the feed %r" % (manifest.release_id, release))
            # A path too long for this system is refused before anything is downloaded.
            manifest_mod.check_room(manifest, staging)
        except BaseException:
            # A refused release leaves nothing behind.
            _remove_quietly(kept)
            raise
        name = install_release(feed, manifest, ctx.region_dir, sources, mirrors, output, ctx.limits)
        output.installed_client(release)
        known[name] = manifest
        remove_leftovers(ctx.region_dir, name, known=known)
    return 0


def _remove_quietly(path):
    try:
        os.unlink(path)
    except OSError:
        pass


def run_play_mode(ctx):
    """Play; a launcher update that the feed offers is installed first, and then the run ends."""
    # Before a launcher update can replace the bundle this package is read from.
    from .play import run_play

    options = ctx.options
    if self_update_allowed(options):
        try:
            ctx.settings
            ctx.prepare_support()
            _recover_launcher(ctx)
            # Only briefly: the player is waiting for the game.
            feed = ctx.fetch_feed(ctx.limits.play_feed_deadline)
            note_launcher_kept(options, feed, ctx.output)
            launcher = launcher_update(options, feed)
            if launcher is not None:
                from . import fetch, selfupdate

                return selfupdate.install_launcher(ctx, feed, launcher, fetch.Mirrors(feed.mirrors))
        except UpdaterError as exc:
            # The game does not depend on the launcher's version: play anyway.
            if exc.detail:
                ctx.output.log("Details: " + exc.detail)
            ctx.output.log("The launcher was not updated, the game starts all the same: " + exc.message)
    return run_play(ctx.region_dir, options.game_arguments, ctx.output)


def run(argv, output, environ=None, limits=transport.DEFAULT_LIMITS):
    """Run the updater with argv (without the script path); the exit status."""
    ctx = None
    try:
        options = parse_arguments(argv)
        ctx = Context(options, output, environ, limits)
        if options.mode == "check":
            ctx.settings  # configuration errors come before anything is written
            ctx.prepare_support()
            _recover_launcher(ctx)
            return run_check(options, ctx.region_dir, ctx.fetch_feed, output)
        if options.mode == "update":
            return run_update(ctx)
        # Play never updates the client: the launcher checks right before it.
        return run_play_mode(ctx)
    except UpdaterError as exc:
        if exc.detail:
            output.log("Details: " + exc.detail)
        output.error(exc.message)
        return 1
    except KeyboardInterrupt:
        output.error(INTERRUPTED)
        return 1
    except MemoryError:
        output.error("The updater ran out of memory. Close other programs and try again.")
        return 1
    except OSError as exc:
        failure = file_failure(exc, "Could not use files")
        output.log("Details: " + failure.detail)
        output.error(failure.message)
        return 1
    except Exception as exc:
        output.log("Details: unexpected %s: %s" % (exc.__class__.__name__, exc))
        output.error(UNEXPECTED)
        return 1


def main(argv):
    return run(argv, Output(), limits=transport.limits_from_environment(os.environ))
