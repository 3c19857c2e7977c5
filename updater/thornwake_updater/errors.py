"""Failures that end a run.

Every failure the player may see is an UpdaterError whose message is one plain
sentence or two: what happened and what the player can do. The command line
prints it after "Thornwake launcher error:" and exits with status 1.
"""

import errno
import os


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


# Each cause with its own plain advice; {where} names the folder concerned.
_OS_ADVICE = (
    ((errno.ENOSPC,), "the disk is full", "Free some disk space and try again."),
    ((getattr(errno, "EDQUOT", -1),), "your disk quota is used up", "Free some disk space and try again."),
    ((errno.EROFS,), "the disk is read-only", "{where} is on a read-only disk. Make it writable, then try again."),
    ((errno.EACCES, errno.EPERM), "permission denied", "Check that you may change {where}, then try again."),
    (
        (errno.ENAMETOOLONG,),
        "a name is too long",
        "A path in {where} is too long for this system. Use a shorter folder path for Thornwake's data, then try again.",
    ),
    (
        (errno.ELOOP,),
        "a link is in the way",
        "{where} holds a symbolic link where Thornwake keeps its own files, or links that loop. "
        "Remove the link, then try again.",
    ),
)


def os_error_advice(exc, folder=None):
    """(short cause, advice) for a failed file operation, in the player's words.

    folder names the folder the player should look at; by default the one
    holding the file the operation failed on.
    """
    if folder is None and exc.filename:
        folder = os.path.dirname(os.fsdecode(exc.filename))
    where = "the folder %s" % folder if folder else "Thornwake's folders"
    for numbers, cause, advice in _OS_ADVICE:
        if exc.errno in numbers:
            return cause, _sentence(advice.format(where=where))
    cause = exc.strerror or exc.__class__.__name__
    return cause, _sentence("Check %s and your disk, then try again." % where)


def _sentence(text):
    return text[0].upper() + text[1:]


def write_failed(exc):
    """The InstallError for a file operation of the updater's own that failed."""
    cause, advice = os_error_advice(exc)
    return InstallError("Thornwake could not write its files (%s). %s" % (cause, advice), detail=str(exc))
