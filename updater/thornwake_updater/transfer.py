"""One bounded GET of a whole file or of a byte range of it.

Built on transport's connections and redirect rules. A range is asked for
with "Range: bytes=a-b" and read with a seek from file:// sources; a server
that ignores the range and sends the whole file is read past the bytes before
the range. Bytes go to sink(chunk) as they arrive, and a body that ends early
is a network failure (the caller continues from what arrived).
"""

import http.client
import os
import socket
import time
import urllib.parse

from . import transport
from .errors import FeedRejected, NetworkError

BLOCK = 256 * 1024
_UNREACHABLE = transport._UNREACHABLE
_MISBEHAVING = transport._MISBEHAVING


class _SinkFailed(Exception):
    """The receiving side (a local file) failed; not the server's fault."""

    def __init__(self, original):
        super().__init__(str(original))
        self.original = original


def _cut(url, got, wanted):
    return NetworkError(_UNREACHABLE, detail="%s: %d bytes received, %d expected" % (url, got, wanted))


def _deliver(url, read, sink, wanted, deadline, limit):
    """Pass read's bytes to sink until wanted of them (or the end, when wanted is None) arrived."""
    got = 0
    while wanted is None or got < wanted:
        chunk = read(BLOCK if wanted is None else min(BLOCK, wanted - got))
        if not chunk:
            break
        got += len(chunk)
        if got > limit:
            raise FeedRejected(_MISBEHAVING, detail="%s: more than %d bytes sent" % (url, limit))
        try:
            sink(chunk)
        except OSError as exc:
            raise _SinkFailed(exc)
        if time.monotonic() > deadline:
            raise transport._DeadlineExceeded()
    if wanted is not None and got < wanted:
        raise _cut(url, got, wanted)
    return got


def _skip(url, read, count, deadline):
    while count:
        chunk = read(min(BLOCK, count))
        if not chunk:
            raise _cut(url, 0, count)
        count -= len(chunk)
        if time.monotonic() > deadline:
            raise transport._DeadlineExceeded()


def _get_file(url, sink, start, end, limit, deadline):
    path = urllib.parse.unquote(urllib.parse.urlsplit(url).path)
    try:
        handle = open(path, "rb")
    except OSError as exc:
        raise NetworkError(_UNREACHABLE, detail="%s: %s" % (path, exc.strerror or exc))
    with handle:
        size = os.fstat(handle.fileno()).st_size
        stop = size if end is None else end
        if stop - start > limit:
            raise FeedRejected(_MISBEHAVING, detail="%s: %d bytes offered, at most %d accepted" % (url, stop - start, limit))
        if stop > size:
            raise _cut(url, max(0, size - start), stop - start)
        handle.seek(start)
        # A file that shrinks while it is read was cut short, like a dropped connection.
        return _deliver(url, handle.read, sink, stop - start, deadline, limit)


def _range_of(value):
    """(first, last, whole size or None) of a "bytes a-b/n" header, or None."""
    try:
        unit, _, ranges = value.strip().partition(" ")
        span, _, whole = ranges.partition("/")
        first, _, last = span.partition("-")
        first, last = int(first), int(last)
        if unit.lower() != "bytes" or last < first:
            return None
        return first, last, None if whole.strip() == "*" else int(whole)
    except (AttributeError, ValueError):
        return None


def _length(url, response):
    declared = response.getheader("Content-Length")
    if declared is None:
        return None
    try:
        return int(declared.strip())
    except ValueError:
        raise FeedRejected(_MISBEHAVING, detail="%s: bad Content-Length %r" % (url, declared))


def _get_http(url, sink, start, end, limit, limits, deadline, headers):
    wanted_headers = {"User-Agent": "ThornwakeUpdater/3", "Accept-Encoding": "identity"}
    wanted_headers.update(headers or {})
    if start or end is not None:
        wanted_headers["Range"] = "bytes=%d-%s" % (start, "" if end is None else end - 1)
    key, response = transport._request(url, wanted_headers, limits)
    try:
        status = response.status
        length = _length(url, response)
        if status == 206 and (start or end is not None):
            found = _range_of(response.getheader("Content-Range"))
            if found is None or found[0] != start or (end is not None and found[1] != end - 1):
                raise FeedRejected(_MISBEHAVING, detail="%s: the server sent another range" % url)
            wanted = found[1] - found[0] + 1
            if length is not None and length != wanted:
                raise FeedRejected(_MISBEHAVING, detail="%s: %d bytes offered for a range of %d" % (url, length, wanted))
        elif status == 200:
            # The whole file: without a range, or from a server that ignores ranges.
            if length is not None and end is not None and length < end:
                raise _cut(url, max(0, length - start), end - start)
            if start:
                _skip(url, response.read1, start, deadline)
            if end is not None:
                wanted = end - start
            else:
                wanted = None if length is None else length - start
        else:
            transport._finish(key, response)
            raise NetworkError(_UNREACHABLE, detail="%s: HTTP status %d" % (url, status))
        if wanted is not None and wanted > limit:
            raise FeedRejected(_MISBEHAVING, detail="%s: %d bytes offered, at most %d accepted" % (url, wanted, limit))
        got = _deliver(url, response.read1, sink, wanted, deadline, limit)
    except BaseException:
        transport._drop(key)
        raise
    if not response.isclosed() and response.length == 0:
        response.read()  # marks the body as consumed, so the connection serves the next request
    if not response.isclosed():
        transport._drop(key)  # the rest of a whole file that was not wanted
    return got


def get(url, sink, start=0, end=None, limit=1 << 50, limits=transport.DEFAULT_LIMITS, deadline=None, headers=None):
    """Pass bytes [start, end) of the file at url (to its end when end is None) to sink; their count.

    limit bounds the bytes passed. deadline (time.monotonic) ends the
    transfer; without one it gets the limits' bound for its size. Raises
    NetworkError when the source cannot be reached, is too slow or ends
    early, and FeedRejected when its answer breaks the bounds.
    """
    if not transport.allowed_url(url):
        raise FeedRejected(_MISBEHAVING, detail="refused to fetch %s" % url)
    if deadline is None:
        deadline = time.monotonic() + limits.deadline_for(limit if end is None else end - start)
    seconds = deadline - time.monotonic()
    if seconds <= 0:
        raise NetworkError(_UNREACHABLE, detail="%s: no time left to fetch it" % url)
    try:
        with transport._alarm(seconds):
            if urllib.parse.urlsplit(url).scheme.lower() == "file":
                return _get_file(url, sink, start, end, limit, deadline)
            return _get_http(url, sink, start, end, limit, limits, deadline, headers)
    except transport._DeadlineExceeded:
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


def get_bytes(url, limit, limits=transport.DEFAULT_LIMITS, deadline=None, headers=None):
    """The whole file at url as bytes, at most limit of them."""
    parts = []
    get(url, parts.append, limit=limit, limits=limits, deadline=deadline, headers=headers)
    return b"".join(parts)
