"""Starting the installed game.

The game's output goes to a log in the support directory, not to the
launcher's pipe: the launcher interprets every line it reads, and a game could
print anything. The updater stays until the game ends and exits with the
game's status, so the launcher knows how the game ended. The release the game
runs from is claimed until the game ends, so no update removes it meanwhile
(retire.py); once the game has ended, the play run retires what is no longer
in use.
"""

import datetime
import errno
import os
import signal
import stat
import subprocess
import time

from . import fsutil
from .errors import NotInstalled, UpdaterError
from .installed import installed_release, read_current
from .retire import claim_release, retire_unused

GAME_LOG = "game.log"
GAME_LOG_LIMIT = 8 << 20
_FORWARDED = (signal.SIGTERM, signal.SIGINT, signal.SIGHUP)
_DAMAGED = "The installed game is incomplete. Check for updates to repair it."


def exit_status(returncode):
    """The updater's exit status for the game's: a signal n becomes 128 + n."""
    if returncode < 0:
        return 128 + (-returncode)
    return returncode


def open_game_log(region_dir, release_id, output):
    """game.log opened for appending, after a line that marks this start; None when it cannot be written.

    The game starts all the same (its output then goes nowhere): a full disk
    must not keep the player from playing.
    """
    path = os.path.join(region_dir, GAME_LOG)
    log = None
    try:
        try:
            if os.lstat(path).st_size > GAME_LOG_LIMIT:
                os.replace(path, path + ".1")
        except FileNotFoundError:
            pass
        log = _open_for_appending(path)
        stamp = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")
        log.write(("--- %s Thornwake %s started\n" % (stamp, release_id)).encode("utf-8"))
        log.flush()
        return log
    except OSError as exc:
        if log is not None:
            try:
                log.close()
            except OSError:
                pass
        output.log("The game's output is not kept this time: %s could not be written (%s)." % (path, exc.strerror or exc))
        return None


def _open_for_appending(path):
    """The regular file at path, opened for appending; a link there is replaced, never followed."""
    # Non-blocking: opening a FIFO put there must not hang the run (it is refused below).
    flags = os.O_WRONLY | os.O_APPEND | os.O_CREAT | os.O_NONBLOCK | fsutil.NOFOLLOW
    try:
        fd = os.open(path, flags, 0o644)
    except OSError as exc:
        if exc.errno != errno.ELOOP:
            raise
        os.unlink(path)
        fd = os.open(path, flags | os.O_EXCL, 0o644)
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise OSError(errno.EINVAL, "not a regular file", path)
        return os.fdopen(fd, "ab")
    except BaseException:
        os.close(fd)
        raise


def claimed_game(region_dir):
    """The installed release, checked to be complete, and its claim (retire.claim_release); NotInstalled otherwise.

    Claimed before it is checked: an update may make another release current
    meanwhile, and then retire this one unless a game holds it.
    """
    for _ in range(3):
        installed = installed_release(region_dir)
        if installed is None:
            raise NotInstalled("Thornwake is not installed for this region yet. Update, then press Play.")
        claim = claim_release(installed)
        if claim is not None:
            damaged = installed.missing_or_wrong()
            if damaged is None:
                return installed, claim
            os.close(claim)
            if read_current(region_dir) == installed.metadata:
                raise NotInstalled(_DAMAGED, detail="%s is missing or has the wrong size" % damaged.path)
        # Another release became current and this one is being retired: start that one.
        time.sleep(0.05)
    raise NotInstalled(_DAMAGED, detail="the installed release kept changing while the game was being started")


def run_play(region_dir, game_arguments, output):
    installed, claim = claimed_game(region_dir)
    try:
        output.client_current(installed.release_id)
        log = open_game_log(region_dir, installed.release_id, output)
        try:
            returncode = _run_game(installed, claim, game_arguments, log, output)
        finally:
            if log is not None:
                log.close()
    finally:
        os.close(claim)
    # The game has ended: a release it kept from being retired can go now.
    retire_unused(region_dir)
    return exit_status(returncode)


def _run_game(installed, claim, game_arguments, log, output):
    """Start the game, report it, wait for it; its return code."""
    with ForwardedSignals() as forwarding:
        if forwarding.pending:
            # Asked to stop before the game started: it does not start.
            return -forwarding.pending[0]
        try:
            game = subprocess.Popen(
                [installed.executable_path] + list(game_arguments),
                cwd=installed.tree,
                stdin=subprocess.DEVNULL,
                stdout=log if log is not None else subprocess.DEVNULL,
                stderr=subprocess.STDOUT,
                close_fds=True,
                # The game holds the claim on its release too, for as long as it runs.
                pass_fds=(claim,),
            )
        except OSError as exc:
            raise UpdaterError(
                "The game could not be started. Check for updates to repair it, then retry.",
                detail="%s: %s" % (installed.executable_path, exc),
            )
        forwarding.to(game)
        # Only now: whoever reads this line may stop the updater at once, and that must reach the game.
        output.game_started()
        return game.wait()


class ForwardedSignals:
    """Whoever asks the updater to stop means the game: pass it on and keep waiting.

    Installed before the game starts; a request that comes while it starts is
    passed on as soon as it runs.
    """

    def __init__(self):
        self.game = None
        self.pending = []
        self.previous = {}

    def __enter__(self):
        for sig in _FORWARDED:
            self.previous[sig] = signal.signal(sig, self._forward)
        return self

    def _forward(self, signum, frame):
        if self.game is None:
            self.pending.append(signum)
            return
        try:
            self.game.send_signal(signum)
        except OSError:
            pass

    def to(self, game):
        self.game = game
        for signum in self.pending:
            self._forward(signum, None)

    def __exit__(self, *exc_info):
        for sig, handler in self.previous.items():
            signal.signal(sig, handler)
        return False
