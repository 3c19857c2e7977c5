"""Failures that end a run.

Every failure the player may see is an UpdaterError whose message is one plain
sentence or two: what happened and what the player can do, short enough that
the whole error line stays within 100 characters (the launcher shows it in two
lines). Technical detail goes to a "Details:" line before it. The command line
prints the message after "Thornwake launcher error:" and exits with status 1.
"""

import errno
import os


BUSY = "Another Thornwake update is running. Wait for it to end, then try again."


class UpdaterError(Exception):
    """A failure with a message meant for the player."""

    def __init__(self, message, detail=None):
        super().__init__(message)
        self.message = message
        # Technical detail for the log only (a plain line), never the error line itself.
        self.detail = detail


class UsageError(UpdaterError):
    """The command line is malformed."""


class ConfigError(UpdaterError):
    """launcher-config.json or a region's update settings are unusable."""


class NetworkError(UpdaterError):
    """The update source could not be reached or did not answer in time.

    Only this kind counts as "offline" for a check; every other failure is
    reported as an error even when a game is installed.
    """


class FeedRejected(UpdaterError):
    """The update source answered, but what it sent cannot be trusted or used."""


class InstallError(UpdaterError):
    """Installing files failed (disk full, permissions, a damaged download)."""


class NotInstalled(UpdaterError):
    """There is no complete installed game for the region."""


# Each cause with its own plain advice, short enough for the error line; the folder is named on the
# "Details:" line before it.
_OS_ADVICE = (
    ((errno.ENOSPC,), "the disk is full", "Free some disk space."),
    ((getattr(errno, "EDQUOT", -1),), "the disk quota is used up", "Free some disk space."),
    ((errno.EROFS,), "the disk is read-only", "Make it writable and retry."),
    ((errno.EACCES, errno.EPERM), "permission denied", "Check the folder's permissions."),
    ((errno.ENAMETOOLONG,), "a name is too long", "Use a shorter data folder path."),
    ((errno.ELOOP,), "a link is in the way", "Remove the link (see the log)."),
)


def os_error_advice(exc):
    """(short cause, advice) for a failed file operation, in the player's words."""
    for numbers, cause, advice in _OS_ADVICE:
        if exc.errno in numbers:
            return cause, advice
    return (exc.strerror or exc.__class__.__name__).lower(), "Check the folder and the disk."


def file_failure(exc, what="Could not save files", folder=None, error=None):
    """The error for a failed file operation: what failed, why and what to do; the folder on the Details line.

    folder is the one the player should look at; by default the one holding
    the file the operation failed on.
    """
    if folder is None and exc.filename:
        folder = os.path.dirname(os.fsdecode(exc.filename))
    cause, advice = os_error_advice(exc)
    detail = "in the folder %s: %s" % (folder, exc) if folder else str(exc)
    return (error or InstallError)("%s: %s. %s" % (what, cause, advice), detail=detail)


def write_failed(exc):
    """The InstallError for a file operation of the updater's own that failed."""
    return file_failure(exc)
