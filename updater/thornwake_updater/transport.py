"""Bounded fetching of feed files and objects.

Every fetch is bounded in size (the caller's limit, checked against the
declared length before reading and against the bytes as they arrive) and in
time (a per-operation socket timeout, plus an overall deadline that interrupts
even a server that trickles one byte at a time). Only https, file, and http to
a loopback address are fetched; redirects may not leave https for anything
else, and may never lead to a file.
"""

import contextlib
import http.client
import os
import signal
import socket
import ssl
import threading
import urllib.error
import urllib.parse
import urllib.request

from .config import is_loopback_host
from .errors import FeedRejected, NetworkError

CHUNK = 64 * 1024
MAX_REDIRECTS = 5


class Limits:
    """Time bounds of one fetch; tests shorten them."""

    def __init__(self, socket_timeout=20.0, base_deadline=60.0, min_rate=16 * 1024):
        self.socket_timeout = socket_timeout
        self.base_deadline = base_deadline
        # Slowest transfer rate still accepted, in bytes per second, for the overall deadline.
        self.min_rate = min_rate

    def deadline_for(self, size):
        return self.base_deadline + float(size) / self.min_rate


DEFAULT_LIMITS = Limits()

_UNREACHABLE = "The update server could not be reached. Check your internet connection and try again."
_MISBEHAVING = "The update server sent an invalid response. Try again later."


class _DeadlineExceeded(Exception):
    pass


class _SinkFailed(Exception):
    """The receiving side (a local file) failed; not the server's fault."""

    def __init__(self, original):
        super().__init__(str(original))
        self.original = original


@contextlib.contextmanager
def _deadline(seconds):
    """Interrupt whatever blocks in this thread once seconds have passed.

    A socket timeout alone bounds each read, not the whole transfer: a server
    that sends a byte now and then would never time out. SIGALRM interrupts
    the blocking call wherever it is. Signals reach only the main thread; other
    threads fall back to the socket timeouts.
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


class _RedirectPolicy(urllib.request.HTTPRedirectHandler):
    max_redirections = MAX_REDIRECTS
    max_repeats = 2

    def http_error_302(self, req, fp, code, msg, headers):
        # Checked before urllib's own scheme test, which would report a mere HTTP error.
        location = headers.get("location") or headers.get("uri")
        if location:
            target = urllib.parse.urljoin(req.full_url, location)
            if not _redirect_allowed(req.full_url, target):
                fp.close()
                raise FeedRejected(_MISBEHAVING, detail="refused redirect from %s to %s" % (req.full_url, target))
        return super().http_error_302(req, fp, code, msg, headers)

    http_error_301 = http_error_303 = http_error_307 = http_error_308 = http_error_302

    def redirect_request(self, req, fp, code, msg, headers, newurl):
        newurl = urllib.parse.urljoin(req.full_url, newurl)
        if not _redirect_allowed(req.full_url, newurl):
            raise FeedRejected(
                _MISBEHAVING, detail="refused redirect from %s to %s" % (req.full_url, newurl)
            )
        return super().redirect_request(req, fp, code, msg, headers, newurl)


_OPENERS = {}


def _opener(url):
    """One opener per kind of source, built once (loading CA certificates is not free)."""
    loopback = urllib.parse.urlsplit(url).scheme.lower() == "http"
    if loopback not in _OPENERS:
        handlers = [urllib.request.HTTPSHandler(context=ssl.create_default_context()), _RedirectPolicy()]
        if loopback:
            # A proxy from the environment cannot reach this machine's loopback address.
            handlers.append(urllib.request.ProxyHandler({}))
        _OPENERS[loopback] = urllib.request.build_opener(*handlers)
    return _OPENERS[loopback]


def _check_length(url, declared, limit, exact):
    if declared is None:
        return
    if declared > limit:
        raise FeedRejected(_MISBEHAVING, detail="%s: %d bytes offered, at most %d accepted" % (url, declared, limit))
    if exact is not None and declared != exact:
        raise FeedRejected(_MISBEHAVING, detail="%s: %d bytes offered, %d expected" % (url, declared, exact))


def _pump(url, read, sink, limit, exact):
    total = 0
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
    if exact is not None and total < exact:
        # The transfer stopped early: a dropped connection, not a lying server.
        raise NetworkError(_UNREACHABLE, detail="%s: %d bytes received, %d expected" % (url, total, exact))
    if exact is not None and total != exact:
        raise FeedRejected(_MISBEHAVING, detail="%s: %d bytes received, %d expected" % (url, total, exact))
    return total


def _fetch_file(url, sink, limit, exact):
    path = urllib.request.url2pathname(urllib.parse.urlsplit(url).path)
    try:
        handle = open(path, "rb")
    except FileNotFoundError as exc:
        raise NetworkError(_UNREACHABLE, detail="%s: %s" % (path, exc.strerror))
    except OSError as exc:
        raise NetworkError(_UNREACHABLE, detail="%s: %s" % (path, exc.strerror or exc))
    with handle:
        try:
            size = os.fstat(handle.fileno()).st_size
        except OSError:
            size = None
        if size is not None and os.path.isfile(path):
            _check_length(url, size, limit, exact)
        return _pump(url, handle.read, sink, limit, exact)


def _fetch_http(url, sink, limit, exact, limits):
    request = urllib.request.Request(url, headers={"User-Agent": "ThornwakeUpdater/1", "Accept-Encoding": "identity"})
    try:
        response = _opener(url).open(request, timeout=limits.socket_timeout)
    except urllib.error.HTTPError as exc:
        exc.close()
        raise NetworkError(_UNREACHABLE, detail="%s: HTTP status %d" % (url, exc.code))
    with response:
        final = response.geturl()
        if not _redirect_allowed(url, final) and final != url:
            raise FeedRejected(_MISBEHAVING, detail="refused redirect from %s to %s" % (url, final))
        length = response.headers.get("Content-Length")
        declared = None
        if length is not None:
            try:
                declared = int(length.strip())
            except ValueError:
                raise FeedRejected(_MISBEHAVING, detail="%s: bad Content-Length %r" % (url, length))
        _check_length(url, declared, limit, exact)
        return _pump(url, response.read, sink, limit, exact)


def fetch(url, sink, limit, exact=None, limits=DEFAULT_LIMITS):
    """Pass the content at url to sink(chunk) in order; returns the byte count.

    limit bounds the size; exact, when given, is the one size accepted. Raises
    NetworkError when the source cannot be reached or is too slow, and
    FeedRejected when it answers with something that breaks the bounds.
    """
    if not allowed_url(url):
        raise FeedRejected(_MISBEHAVING, detail="refused to fetch %s" % url)
    seconds = limits.deadline_for(exact if exact is not None else limit)
    scheme = urllib.parse.urlsplit(url).scheme.lower()
    try:
        with _deadline(seconds):
            if scheme == "file":
                return _fetch_file(url, sink, limit, exact)
            return _fetch_http(url, sink, limit, exact, limits)
    except _DeadlineExceeded:
        raise NetworkError(_UNREACHABLE, detail="%s: no complete answer within %d seconds" % (url, seconds))
    except _SinkFailed as exc:
        raise exc.original
    except (FeedRejected, NetworkError):
        raise
    except http.client.IncompleteRead as exc:
        raise NetworkError(_UNREACHABLE, detail="%s: connection closed early (%s)" % (url, exc))
    except urllib.error.URLError as exc:
        reason = exc.reason
        if isinstance(reason, (FeedRejected, NetworkError)):
            raise reason
        raise NetworkError(_UNREACHABLE, detail="%s: %s" % (url, reason))
    except (socket.timeout, TimeoutError):
        raise NetworkError(_UNREACHABLE, detail="%s: timed out" % url)
    except (OSError, ssl.SSLError) as exc:
        raise NetworkError(_UNREACHABLE, detail="%s: %s" % (url, exc))
    except (ValueError, http.client.HTTPException) as exc:
        raise FeedRejected(_MISBEHAVING, detail="%s: %s" % (url, exc))


def fetch_bytes(url, limit, limits=DEFAULT_LIMITS):
    """The content at url as bytes, at most limit of them."""
    parts = []
    fetch(url, parts.append, limit, limits=limits)
    return b"".join(parts)
