"""Connections and their limits, beneath the transfers of transfer.py.

Limits give every transfer a per-operation socket timeout and an overall
deadline that stops even a server that trickles one byte at a time. Only
https, file, and http to a loopback address are fetched; redirects may not
leave https for anything else, and may never lead to a file.

HTTP connections are kept open per thread and host, so the many pieces of a
release do not each pay for a new connection.
"""

import base64
import contextlib
import http.client
import signal
import ssl
import threading
import urllib.parse

from .config import is_loopback_host
from .errors import FeedRejected, NetworkError
from .record import Record

MAX_REDIRECTS = 5
# A redirect or error body is read (to keep the connection) only when it is this small.
SMALL_BODY = 64 * 1024


class Limits(Record):
    """Time bounds of a run's network work, in seconds."""

    def __init__(self, socket_timeout=20.0, base_deadline=60.0, min_rate=16 * 1024, feed_deadline=15.0,
                 play_feed_deadline=5.0, stall=60.0):
        self.socket_timeout = socket_timeout
        # One object, over all its attempts: base_deadline plus its size at min_rate bytes per second.
        self.base_deadline = base_deadline
        self.min_rate = min_rate
        # feed.json and its signature together: a check ends well within 20 seconds.
        self.feed_deadline = feed_deadline
        # The same before a play run starts the installed game.
        self.play_feed_deadline = play_feed_deadline
        # An update whose downloads receive nothing for this long fails.
        self.stall = stall

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
