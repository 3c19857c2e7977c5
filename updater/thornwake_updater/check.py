"""The update check: what the launcher should offer next."""

import os
import stat

from .errors import FeedRejected, NetworkError
from .installed import checked_release, read_current


def self_update_allowed(options):
    """True when this run may replace the launcher: a bundle, its version, and permission."""
    return can_name_launcher(options) and not options.no_self_update and launcher_folder_problem(options) is None


def launcher_folder_problem(options):
    """Why this user cannot replace the running bundle (it was installed by root or a package manager), or None.

    Replacing it takes a new entry in its folder, renaming it there, and later
    removing the old copy with everything in it. os.access also answers for a
    read-only file system, where even root cannot write.
    """
    bundle = os.path.abspath(options.launcher_bundle.rstrip("/"))
    parent = os.path.dirname(bundle)
    if not os.access(parent, os.W_OK | os.X_OK):
        return "its folder %s is read-only for this user" % parent
    if not os.access(bundle, os.W_OK | os.X_OK):
        return "%s is read-only for this user" % bundle
    try:
        folder = os.stat(parent)
        owner = os.lstat(bundle).st_uid
    except OSError as exc:
        return "%s cannot be examined (%s)" % (bundle, exc.strerror or exc)
    user = os.geteuid()
    # In a sticky folder (like /tmp) only an entry's owner may rename or remove it.
    if folder.st_mode & stat.S_ISVTX and user not in (0, owner, folder.st_uid):
        return "its folder %s lets only the launcher's owner move it" % parent
    return None


def can_name_launcher(options):
    """True when the launcher named an existing application bundle and its version."""
    bundle = options.launcher_bundle
    if not (bundle and options.launcher_version):
        return False
    bundle = bundle.rstrip("/")
    return bundle.endswith(".app") and os.path.isdir(bundle)


def relaunch_loop(options, feed):
    """True when this launcher was started by the very version the feed offers.

    Installing it again would relaunch into this launcher once more, for ever.
    """
    return (
        self_update_allowed(options)
        and feed.launcher is not None
        and feed.launcher.version != options.launcher_version
        and options.relaunched_from == feed.launcher.version
    )


def launcher_update(options, feed):
    """The feed's launcher release when this launcher should replace itself with it, else None.

    The same decision serves the check line and the self-update of update and play runs.
    """
    if not self_update_allowed(options) or feed.launcher is None:
        return None
    if feed.launcher.version == options.launcher_version or relaunch_loop(options, feed):
        return None
    return feed.launcher


def note_launcher_kept(options, feed, output):
    """A plain line when the feed offers another launcher and this run keeps the running one."""
    if not can_name_launcher(options) or options.no_self_update or feed.launcher is None:
        return
    if feed.launcher.version == options.launcher_version:
        return
    problem = launcher_folder_problem(options)
    if problem is not None:
        output.log(
            "The launcher is not updated to %s because %s; whoever installed it (for example a package manager) "
            "updates it. The game is updated and played as usual." % (feed.launcher.version, problem)
        )
    elif relaunch_loop(options, feed):
        output.log(
            "This launcher (%s) was started by launcher %s, the one the update server offers; "
            "it is not installed again." % (options.launcher_version, feed.launcher.version)
        )


def launcher_value(options, feed):
    if not can_name_launcher(options):
        return "unpackaged"
    if feed.launcher is None:
        return "unconfigured"
    update = launcher_update(options, feed)
    return "available:" + update.version if update is not None else "current"


def names_offered_client(feed, metadata):
    """True when current.json (metadata, or None) names the feed's client release: its name and its manifest.

    Also what decides whether the installed release is read at all: for any
    other the answer is "available" anyway.
    """
    offered = feed.client
    return metadata is not None and (metadata["releaseId"], metadata["manifestSha256"]) == (offered.release_id, offered.manifest.sha256)


def client_is_current(feed, installed):
    return installed is not None and names_offered_client(feed, installed.metadata) and installed.is_complete()


def client_value(feed, installed):
    if client_is_current(feed, installed):
        return "current"
    return "available:" + feed.client.release_id


OFFLINE_NOTE = "The update server could not be reached; using the installed game."
REJECTED_NOTE = "Nothing new was installed; using the installed game."


def run_check(options, region_dir, fetch, output):
    """Print the check line; returns the exit status.

    fetch() returns the accepted feed or raises. When the server cannot be
    reached, or what it sent cannot be used, and a complete game is installed
    (it was verified when it was installed), the result is unknown, so the
    player can still play; with nothing installed it is an error.
    """
    try:
        feed = fetch()
    except (NetworkError, FeedRejected) as exc:
        installed = checked_release(region_dir)
        if installed is None or not installed.is_complete():
            if isinstance(exc, FeedRejected):
                raise
            if exc.detail:
                output.log("Details: " + exc.detail)
            raise NetworkError("Thornwake is not installed and the update server could not be reached.")
        if exc.detail:
            output.log("Details: " + exc.detail)
        if isinstance(exc, FeedRejected):
            output.log(exc.message)
            output.log(REJECTED_NOTE)
        else:
            output.log(OFFLINE_NOTE)
        output.check_result("unknown", "unknown", "unknown")
        return 0
    # The installed release is read (its manifest's text, each file looked at) only when it is the one offered.
    installed = checked_release(region_dir) if names_offered_client(feed, read_current(region_dir)) else None
    note_launcher_kept(options, feed, output)
    output.check_result(launcher_value(options, feed), client_value(feed, installed), feed.client.world_version)
    return 0
