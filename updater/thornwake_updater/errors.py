"""Failures that end a run.

Every failure the player may see is an UpdaterError whose message is one plain
sentence or two: what happened and what the player can do. The command line
prints it after "Thornwake launcher error:" and exits with status 1.
"""


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
