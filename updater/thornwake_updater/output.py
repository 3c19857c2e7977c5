"""The lines the launcher reads.

The launcher interprets a fixed set of line forms; everything else is only
logged. All output goes through this module so that no other code can emit a
line that accidentally starts with one of those forms, and so that progress
lines carry exactly one number (the launcher joins every digit of the line).
Progress itself is worded in progress.py.
"""

import sys
import threading

ERROR_PREFIX = "Thornwake launcher error:"
# The launcher's detail line shows two lines of about 50 characters.
ERROR_LINE_LIMIT = 100

# Line starts that have an effect in the launcher. Plain log lines must avoid them.
_PROTOCOL_PREFIXES = (
    "UPDATE_CHECK ",
    ERROR_PREFIX,
    "Downloading launcher:",
    "Updating launcher to ",
    "Verifying and installing launcher\u2026",
    "Launcher installed at ",
    "Installed launcher ",
    "Downloading client:",
    "Updating to client ",
    "Verifying and installing client\u2026",
    "Installed client ",
    "Client ",
    "Starting Thornwake\u2026",
)


def _one_line(text):
    return " ".join(str(text).split())


class Output:
    """Writes protocol lines and plain log lines to one stream."""

    def __init__(self, stream=None):
        self._stream = stream if stream is not None else sys.stdout
        self._lock = threading.RLock()

    def _write(self, line):
        with self._lock:
            self._stream.write(line + "\n")
            self._stream.flush()

    def log(self, text):
        """A plain line for the launcher's log; never one of the protocol forms."""
        line = _one_line(text)
        if not line:
            return
        if line.startswith(_PROTOCOL_PREFIXES):
            line = "Note: " + line
        self._write(line)

    def error(self, message):
        """The error line; at most ERROR_LINE_LIMIT characters, so the launcher's detail line shows it whole.

        Messages are written to fit. One that does not (it carries a name from
        outside) is shortened, after a plain line with all of it.
        """
        line = ERROR_PREFIX + " " + _one_line(message)
        if len(line) > ERROR_LINE_LIMIT:
            self.log("Details: " + _one_line(message))
            line = line[: ERROR_LINE_LIMIT - 1].rstrip() + "\u2026"
        self._write(line)

    def check_result(self, launcher, client, world):
        self._write("UPDATE_CHECK launcher=%s client=%s world=%s" % (launcher, client, world))

    def report(self, lines):
        """Protocol lines that belong together (a progress report), in one write."""
        with self._lock:
            self._stream.write("".join(line + "\n" for line in lines))
            self._stream.flush()

    def installing_client(self):
        self._write("Verifying and installing client\u2026")

    def installed_client(self, release):
        self._write("Installed client %s." % release)

    def client_current(self, release):
        self._write("Client %s is current." % release)

    def game_started(self):
        self._write("Starting Thornwake\u2026")

    def installing_launcher(self):
        self._write("Verifying and installing launcher\u2026")

    def launcher_installed_at(self, path):
        self._write("Launcher installed at %s" % path)

    def installed_launcher(self, version):
        self._write("Installed launcher %s. Restarting\u2026" % version)


def format_size(size):
    """A human size for texts that are not progress lines (they may hold digits)."""
    units = ["bytes", "KB", "MB", "GB", "TB"]
    value = float(size)
    for unit in units:
        if value < 1000 or unit == units[-1]:
            break
        value /= 1000
    if unit == "bytes":
        return "%d bytes" % size
    if value < 10:
        return "%.1f %s" % (value, unit)
    return "%d %s" % (round(value), unit)
