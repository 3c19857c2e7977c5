"""Download progress a player can read.

About once a second one write of two lines: what is done, the total, the speed
and the time left on the "Updating to client …" line (the launcher's detail
line), then the percentage (the launcher's status and bar), printed again even
when it has not risen. Both in one write, so the launcher normally reads them
together and never shows the status without its percentage for long.
"""

import collections
import math
import threading
import time

INTERVAL = 1.0
# The speed is measured over this many seconds, so a pause shows soon and one burst does not last.
WINDOW = 5.0
_FORMS = {
    "client": ("Updating to client %s%s\u2026", "Downloading client: %d%%"),
    "launcher": ("Updating launcher to %s%s\u2026", "Downloading launcher: %d%%"),
}


def _number(value):
    if value <= 0:
        return "0"
    if value < 10:
        return "%.1f" % (math.floor(value * 10) / 10)
    return "%d" % math.floor(value)


def amounts(done, total):
    """"45 of 143 MB", both in the unit that suits the total and rounded down alike."""
    for unit, factor in (("KB", 1e3), ("MB", 1e6), ("GB", 1e9)):
        if total < 1000 * factor or unit == "GB":
            break
    return "%s of %s %s" % (_number(done / factor), _number(total / factor), unit)


def speed(rate):
    """Bytes per second as "8.2 MB/s" or "640 KB/s"."""
    if rate >= 1e6:
        return "%s MB/s" % _number(rate / 1e6)
    return "%d KB/s" % max(1, round(rate / 1e3))


def time_left(seconds):
    seconds = max(0, math.ceil(seconds))
    if seconds < 100:
        return "%d s left" % seconds
    if seconds < 6000:
        return "%d min left" % math.ceil(seconds / 60)
    return "%d h left" % math.ceil(seconds / 3600)


def detail(done, total, rate):
    """The text in parentheses: amounts, then speed and time left once a speed is known."""
    parts = [amounts(done, total)]
    if rate and rate > 0:
        parts.append(speed(rate))
        if done < total:
            parts.append(time_left((total - done) / rate))
    return " \u00b7 ".join(parts)


def lines(kind, name, done, total, rate):
    """The two lines of one report."""
    updating, downloading = _FORMS[kind]
    percent = 100 if total <= 0 else min(done, total) * 100 // total
    return [updating % (name, " (%s)" % detail(done, total, rate)), downloading % percent]


class Progress:
    """Counts the bytes of one download and reports them through write(lines) about once a second."""

    def __init__(self, write, kind, name, total, clock=time.monotonic):
        self._write = write
        self.kind = kind
        self.name = name
        self.total = total
        self.done = 0
        self._clock = clock
        self._lock = threading.Lock()
        self._samples = collections.deque()
        self._last = None

    def start(self):
        """The first report; with nothing to download only the line that names the release."""
        with self._lock:
            if self.total <= 0:
                self._write([_FORMS[self.kind][0] % (self.name, "")])
                return
            self._report(self._clock(), force=True)

    def add(self, count):
        with self._lock:
            self.done += count
            self._report(self._clock())

    def more(self, count):
        """Bytes that must be fetched again: the total grows (the bar waits rather than going back)."""
        with self._lock:
            self.total += count

    def tick(self):
        with self._lock:
            self._report(self._clock())

    def finish(self):
        with self._lock:
            if self.total > 0:
                self.done = max(self.done, self.total)
                self._report(self._clock(), force=True)

    def rate(self, now):
        """Bytes per second over the last WINDOW seconds, or None before a second has passed."""
        while len(self._samples) > 1 and now - self._samples[1][0] >= WINDOW:
            self._samples.popleft()
        if not self._samples or now - self._samples[0][0] < INTERVAL / 2:
            return None
        then, done = self._samples[0]
        return (self.done - done) / (now - then)

    def _report(self, now, force=False):
        if not force and (self._last is None or now - self._last < INTERVAL):
            return
        rate = self.rate(now)
        self._samples.append((now, self.done))
        self._last = now
        self._write(lines(self.kind, self.name, self.done, self.total, rate))
