"""Bounded fetching of feed files and objects.

Every fetch is bounded in size (the caller's limit, checked against the
declared length before reading and against the bytes as they arrive) and in
time (a per-operation socket timeout, plus an overall deadline that stops
even a server that trickles one byte at a time). Only https, file, and http to
a loopback address are fetched; redirects may not leave https for anything
else, and may never lead to a file.

HTTP connections are kept open per thread and host, so the many small
objects of a release do not each pay for a new connection. A fetch can start
at an offset (an HTTP Range request), which resumes an interrupted download;
a server that answers with the whole content instead makes the caller start
over from the first byte.
"""

import base64
import contextlib
import dataclasses
import http.client
import os
import signal
import socket
import ssl
import threading
import time
import urllib.parse

from .config import is_loopback_host
from .errors import FeedRejected, NetworkError

CHUNK = 256 * 1024
MAX_REDIRECTS = 5
# A redirect or error body is read (to keep the connection) only when it is this small.
SMALL_BODY = 64 * 1024


@dataclasses.dataclass
class Limits:
    """Time bounds of a run's network work, in seconds."""

    socket_timeout: float = 20.0
    # One object, over all its attempts: base_deadline plus its size at min_rate bytes per second.
    base_deadline: float = 60.0
    min_rate: float = 16 * 1024
    # feed.json and its signature together: a check ends well within 20 seconds.
    feed_deadline: float = 15.0
    # The same before a play run starts the installed game.
    play_feed_deadline: float = 5.0
    # An update whose downloads receive nothing for this long fails.
    stall: float = 60.0

    def deadline_for(self, size):
        return self.base_deadline + float(size) / self.min_rate

    def scaled(self, factor):
        """These limits with every time bound multiplied by factor."""
        return Limits(self.socket_timeout * factor, self.base_deadline * factor, self.min_rate / factor,
                      self.feed_deadline * factor, self.play_feed_deadline * factor, self.stall * factor)


DEFAULT_LIMITS = Limits()
SCALE_VARIABLE = "THORNWAKE_UPDATER_DEADLINE_SCALE"


def limits_from_environment(environ):
    """The default limits, shortened by THORNWAKE_UPDATER_DEADLINE_SCALE (a factor above 0 and below 1).

    Any other value is ignored: the environment may shorten the waits, never lengthen them.
    """
    try:
        factor = float(environ.get(SCALE_VARIABLE, "1"))
    except ValueError:
        return DEFAULT_LIMITS
    return DEFAULT_LIMITS.scaled(factor) if 0 < factor < 1 else DEFAULT_LIMITS

_UNREACHABLE = "The update server could not be reached. Check your internet connection."
_MISBEHAVING = "The update server sent an invalid response. Try again later."


class _DeadlineExceeded(Exception):
    pass


class _SinkFailed(Exception):
    """The receiving side (a local file) failed; not the server's fault."""

    def __init__(self, original):
        super().__init__(str(original))
        self.original = original


class _StartOver(Exception):
    """The source cannot continue at the requested offset; fetch from the first byte."""


@contextlib.contextmanager
def _alarm(seconds):
    """Interrupt whatever blocks in the main thread once seconds have passed.

    The read loop checks the deadline itself, but a name lookup or a connect
    can block longer than any socket timeout; SIGALRM interrupts those too.
    Signals reach only the main thread; other threads rely on the socket
    timeouts and the read loop's own check.
    """
    if threading.current_thread() is not threading.main_thread() or not hasattr(signal, "setitimer"):
        yield
        return

    def expire(signum, frame):
        raise _DeadlineExceeded()

    previous = signal.signal(signal.SIGALRM, expire)
    signal.setitimer(signal.ITIMER_REAL, max(seconds, 0.001))
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


def allowed_url(url):
    """True for the URL forms the updater may fetch directly."""
    parts = urllib.parse.urlsplit(url)
    scheme = parts.scheme.lower()
    if scheme == "https":
        return bool(parts.hostname)
    if scheme == "http":
        return is_loopback_host(parts.hostname)
    if scheme == "file":
        return parts.netloc in ("", "localhost")
    return False


def _redirect_allowed(old_url, new_url):
    old = urllib.parse.urlsplit(old_url).scheme.lower()
    parts = urllib.parse.urlsplit(new_url)
    new = parts.scheme.lower()
    if new == "https":
        return bool(parts.hostname)
    # A loopback http source (a local mirror) may redirect within loopback http.
    return old == "http" and new == "http" and is_loopback_host(parts.hostname)


# Connections --------------------------------------------------------------------------------------

_TLS = {}
_TLS_LOCK = threading.Lock()


def _tls_context():
    # Loading the CA certificates is not free; one context serves every connection.
    with _TLS_LOCK:
        if "context" not in _TLS:
            _TLS["context"] = ssl.create_default_context()
        return _TLS["context"]


def _https_proxy(host):
    """(host, port, headers) of the environment's or the system's proxy for host, or None."""
    try:
        import urllib.request  # only here: importing it costs more than many a small update

        proxy = urllib.request.getproxies().get("https")
        if not proxy or urllib.request.proxy_bypass(host):
            return None
    except Exception:
        return None
    parts = urllib.parse.urlsplit(proxy if "://" in proxy else "http://" + proxy)
    if not parts.hostname:
        return None
    headers = {}
    if parts.username:
        credentials = "%s:%s" % (urllib.parse.unquote(parts.username), urllib.parse.unquote(parts.password or ""))
        headers["Proxy-Authorization"] = "Basic " + base64.b64encode(credentials.encode("utf-8")).decode("ascii")
    return parts.hostname, parts.port or 8080, headers


class _Connections(threading.local):
    def __init__(self):
        self.open = {}


_CONNECTIONS = _Connections()


def _connection(scheme, host, port, limits):
    """This thread's connection to the host, and whether it was used before."""
    key = (scheme, host, port)
    connection = _CONNECTIONS.open.get(key)
    if connection is not None:
        connection.timeout = limits.socket_timeout
        return key, connection, connection.sock is not None
    if scheme == "https":
        proxy = _https_proxy(host)
        if proxy is not None:
            connection = http.client.HTTPSConnection(proxy[0], proxy[1], timeout=limits.socket_timeout, context=_tls_context())
            connection.set_tunnel(host, port, headers=proxy[2])
        else:
            connection = http.client.HTTPSConnection(host, port, timeout=limits.socket_timeout, context=_tls_context())
    else:
        # A proxy from the environment could not reach this machine's loopback address anyway.
        connection = http.client.HTTPConnection(host, port, timeout=limits.socket_timeout)
    _CONNECTIONS.open[key] = connection
    return key, connection, False


def _drop(key):
    connection = _CONNECTIONS.open.pop(key, None)
    if connection is not None:
        connection.close()


def close_connections():
    """Close this thread's connections (a worker thread calls this before it ends)."""
    for key in list(_CONNECTIONS.open):
        _drop(key)


def _request(url, headers, limits):
    """(connection key, response) for a GET of url, after the allowed redirects."""
    for _ in range(MAX_REDIRECTS + 1):
        parts = urllib.parse.urlsplit(url)
        scheme = parts.scheme.lower()
        default_port = 443 if scheme == "https" else 80
        target = (parts.path or "/") + ("?" + parts.query if parts.query else "")
        for attempt in (1, 2):
            key, connection, reused = _connection(scheme, parts.hostname, parts.port or default_port, limits)
            try:
                connection.request("GET", target, headers=headers)
                response = connection.getresponse()
                break
            except (http.client.RemoteDisconnected, ConnectionResetError, BrokenPipeError, ConnectionAbortedError):
                _drop(key)
                # A kept connection the server has closed meanwhile: one new try.
                if not reused or attempt == 2:
                    raise
            except BaseException:
                _drop(key)
                raise
        if response.status not in (301, 302, 303, 307, 308):
            return key, response
        location = response.getheader("Location")
        _finish(key, response)
        if not location:
            raise FeedRejected(_MISBEHAVING, detail="%s: redirect without a location" % url)
        new_url = urllib.parse.urljoin(url, location)
        if not _redirect_allowed(url, new_url):
            raise FeedRejected(_MISBEHAVING, detail="refused redirect from %s to %s" % (url, new_url))
        url = new_url
    raise FeedRejected(_MISBEHAVING, detail="%s: more than %d redirects" % (url, MAX_REDIRECTS))


def _finish(key, response):
    """Read a small unwanted body so the connection can be used again; else close it."""
    try:
        length = response.getheader("Content-Length")
        if length is not None and length.strip().isdigit() and int(length) <= SMALL_BODY:
            response.read()
            if not response.isclosed():
                _drop(key)
            return
    except (OSError, http.client.HTTPException):
        pass
    _drop(key)


# Transfers ----------------------------------------------------------------------------------------


def _check_length(url, declared, limit, exact):
    if declared is None:
        return
    if declared > limit:
        raise FeedRejected(_MISBEHAVING, detail="%s: %d bytes offered, at most %d accepted" % (url, declared, limit))
    if exact is not None and declared != exact:
        raise FeedRejected(_MISBEHAVING, detail="%s: %d bytes offered, %d expected" % (url, declared, exact))


def _pump(url, read, sink, limit, exact, start, deadline):
    """Move the body from read to sink; start is the offset the body begins at."""
    total = start
    while True:
        chunk = read(CHUNK)
        if not chunk:
            break
        total += len(chunk)
        if total > limit:
            raise FeedRejected(_MISBEHAVING, detail="%s: more than %d bytes sent" % (url, limit))
        try:
            sink(chunk)
        except OSError as exc:
            raise _SinkFailed(exc)
        if time.monotonic() > deadline:
            raise _DeadlineExceeded()
    if exact is not None and total < exact:
        # The transfer stopped early: a dropped connection, not a lying server.
        raise NetworkError(_UNREACHABLE, detail="%s: %d bytes received, %d expected" % (url, total, exact))
    if exact is not None and total != exact:
        raise FeedRejected(_MISBEHAVING, detail="%s: %d bytes received, %d expected" % (url, total, exact))
    return total - start


def _fetch_file(url, sink, limit, exact, offset, deadline):
    path = urllib.parse.unquote(urllib.parse.urlsplit(url).path)
    try:
        handle = open(path, "rb")
    except OSError as exc:
        raise NetworkError(_UNREACHABLE, detail="%s: %s" % (path, exc.strerror or exc))
    with handle:
        size = None
        if os.path.isfile(path):
            size = os.fstat(handle.fileno()).st_size
            _check_length(url, size, limit, exact)
        if offset:
            if size is None or offset > size:
                raise _StartOver()
            handle.seek(offset)
        # A file that shrinks while it is read was cut short, like a dropped connection.
        return _pump(url, handle.read, sink, limit, size if exact is None else exact, offset, deadline)


def _content_range_start(value, exact):
    """The first byte of a "bytes a-b/n" header, or None when it does not fit exact."""
    try:
        unit, _, ranges = value.strip().partition(" ")
        span, _, whole = ranges.partition("/")
        first, _, last = span.partition("-")
        first, last = int(first), int(last)
        if unit.lower() != "bytes" or last < first:
            return None
        if exact is not None and (whole.strip() != str(exact) or last != exact - 1):
            return None
        return first
    except (AttributeError, ValueError):
        return None


def _fetch_http(url, sink, limit, exact, offset, restart, limits, deadline):
    headers = {"User-Agent": "ThornwakeUpdater/2", "Accept-Encoding": "identity"}
    if offset:
        headers["Range"] = "bytes=%d-" % offset
    key, response = _request(url, headers, limits)
    status = response.status
    start = 0
    if offset and status == 206:
        if _content_range_start(response.getheader("Content-Range"), exact) != offset:
            _drop(key)
            raise _StartOver()
        start = offset
    elif offset and status == 416:
        _finish(key, response)
        raise _StartOver()
    elif status == 200:
        if offset:
            # The server ignored the range and sends everything: take it from the start.
            try:
                restart()
            except BaseException:
                _drop(key)
                raise
    else:
        _finish(key, response)
        raise NetworkError(_UNREACHABLE, detail="%s: HTTP status %d" % (url, status))
    try:
        declared = response.getheader("Content-Length")
        if declared is not None:
            try:
                declared = int(declared.strip())
            except ValueError:
                raise FeedRejected(_MISBEHAVING, detail="%s: bad Content-Length %r" % (url, declared))
            _check_length(url, declared + start, limit, exact)
            # An early close ends the body with an empty read, not an error: the declared
            # length is what tells a cut transfer from a complete one.
            if exact is None:
                exact = declared + start
        count = _pump(url, getattr(response, "read1", response.read), sink, limit, exact, start, deadline)
    except BaseException:
        _drop(key)
        raise
    if not response.isclosed() and response.length == 0:
        response.read()  # marks the body as consumed, so the connection serves the next request
    if not response.isclosed():
        _drop(key)
    return count


def fetch(url, sink, limit, exact=None, limits=DEFAULT_LIMITS, offset=0, restart=None, deadline=None):
    """Pass the content at url, from byte offset on, to sink(chunk) in order; the bytes passed.

    limit bounds the whole content's size; exact, when given, is the one size
    accepted. With an offset, restart() is called when the source cannot
    continue there, and the content then comes from its first byte: the
    caller drops what it had. deadline (time.monotonic) ends the fetch
    earlier than its own bound, for callers whose bound spans several
    fetches. Raises NetworkError when the source cannot be reached or is too
    slow, and FeedRejected when it answers with something that breaks the
    bounds.
    """
    if not allowed_url(url):
        raise FeedRejected(_MISBEHAVING, detail="refused to fetch %s" % url)
    if offset and restart is None:
        raise ValueError("an offset needs a restart function")
    seconds = limits.deadline_for((exact if exact is not None else limit) - offset)
    if deadline is not None:
        seconds = min(seconds, deadline - time.monotonic())
    if seconds <= 0:
        raise NetworkError(_UNREACHABLE, detail="%s: no time left to fetch it" % url)
    deadline = time.monotonic() + seconds
    scheme = urllib.parse.urlsplit(url).scheme.lower()

    def begin_again():
        try:
            restart()
        except OSError as exc:
            raise _SinkFailed(exc)

    def attempt(start):
        if scheme == "file":
            return _fetch_file(url, sink, limit, exact, start, deadline)
        return _fetch_http(url, sink, limit, exact, start, begin_again, limits, deadline)

    try:
        with _alarm(seconds):
            try:
                return attempt(offset)
            except _StartOver:
                begin_again()
                return attempt(0)
    except _DeadlineExceeded:
        raise NetworkError(_UNREACHABLE, detail="%s: no complete answer within %.3g seconds" % (url, seconds))
    except _SinkFailed as exc:
        raise exc.original
    except (FeedRejected, NetworkError):
        raise
    except http.client.IncompleteRead as exc:
        raise NetworkError(_UNREACHABLE, detail="%s: connection closed early (%s)" % (url, exc))
    except (socket.timeout, TimeoutError):
        raise NetworkError(_UNREACHABLE, detail="%s: timed out" % url)
    except OSError as exc:  # ssl.SSLError included
        raise NetworkError(_UNREACHABLE, detail="%s: %s" % (url, exc))
    except (ValueError, http.client.HTTPException) as exc:
        raise FeedRejected(_MISBEHAVING, detail="%s: %s" % (url, exc))


def fetch_bytes(url, limit, limits=DEFAULT_LIMITS, deadline=None):
    """The content at url as bytes, at most limit of them."""
    parts = []
    fetch(url, parts.append, limit, limits=limits, deadline=deadline)
    return b"".join(parts)
