"""The lines the launcher reads.

The launcher interprets a fixed set of line forms; everything else is only
logged. All output goes through this module so that no other code can emit a
line that accidentally starts with one of those forms, and so that progress
lines carry exactly one number (the launcher joins every digit of the line).
"""

import sys
import threading

ERROR_PREFIX = "Thornwake launcher error:"

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
        self._last_percent = {}
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
        self._write(ERROR_PREFIX + " " + _one_line(message))

    def check_result(self, launcher, client, world):
        self._write("UPDATE_CHECK launcher=%s client=%s world=%s" % (launcher, client, world))

    def client_progress(self, percent):
        self._progress("client", "Downloading client: ", percent)

    def launcher_progress(self, percent):
        self._progress("launcher", "Downloading launcher: ", percent)

    def client_progress_of(self, done, total):
        self.client_progress(_percent(done, total))

    def launcher_progress_of(self, done, total):
        self.launcher_progress(_percent(done, total))

    def _progress(self, key, prefix, percent):
        percent = max(0, min(100, int(percent)))
        # Downloads run on several threads; one line per percentage, rising. (A download that
        # has to start over adds to the bytes to fetch; the bar waits rather than going back.)
        with self._lock:
            last = self._last_percent.get(key)
            if last is not None and percent <= last:
                return
            self._last_percent[key] = percent
            self._write("%s%d%%" % (prefix, percent))

    def _updating(self, prefix, name, download_bytes):
        # The size is the download after the delta; it never goes on a progress line.
        size = " (%s)" % format_size(download_bytes) if download_bytes else ""
        self._write("%s%s%s\u2026" % (prefix, name, size))

    def updating_client(self, release, download_bytes=None):
        self._updating("Updating to client ", release, download_bytes)

    def installing_client(self):
        self._write("Verifying and installing client\u2026")

    def installed_client(self, release):
        self._write("Installed client %s." % release)

    def client_current(self, release):
        self._write("Client %s is current." % release)

    def game_started(self):
        self._write("Starting Thornwake\u2026")

    def updating_launcher(self, version, download_bytes=None):
        self._updating("Updating launcher to ", version, download_bytes)

    def installing_launcher(self):
        self._write("Verifying and installing launcher\u2026")

    def launcher_installed_at(self, path):
        self._write("Launcher installed at %s" % path)

    def installed_launcher(self, version):
        self._write("Installed launcher %s. Restarting\u2026" % version)


def _percent(done, total):
    if total <= 0:
        return 100
    return min(done, total) * 100 // total


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
