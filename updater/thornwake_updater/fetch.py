"""Fetching the objects of a release: byte ranges of packs, spread over mirrors.

The objects an update needs (pieces) are grouped by the file that stores them
(a pack, or a stand-alone object), sorted by offset and coalesced into spans:
neighbours join one span when at most GAP bytes lie between them, up to
MAX_SPAN bytes a span. Each span is one request (a byte range; a seek for
file:// mirrors). Spans run on WORKERS threads, spread over the mirrors in
turn.

Every piece is decoded and checked against its SHA-256 before it is handed on
(in memory: a chunk is at most a few MiB; only stand-alone objects of the
older format may be larger, and those, like everything a streaming sink takes,
are checked as they stream and handed on again from their first byte when
they fail). A span cut off continues at
the first byte not yet received, also in the middle of a piece, on the same
mirror or the next one; finished pieces are never fetched again. A mirror that
refuses, fails or stalls is tried after the others; one that sent a piece with
the wrong hash is not used again in this run. The whole fetch fails when no
byte arrived for the limits' stall time, across all retries and mirrors.
"""

import hashlib
import sys
import threading
import time
import zlib

from . import chunks as chunks_mod, transfer, transport
from .errors import FeedRejected, NetworkError

GAP = 64 << 10
MAX_SPAN = 16 << 20
WORKERS = 4
# Pieces stored in at most this many bytes are checked in memory before they are handed on.
IN_MEMORY = chunks_mod.stored_bound(chunks_mod.MAX_CHUNK)

_UNREACHABLE = transport._UNREACHABLE
MISMATCH = "A download did not match the signed release. Nothing was installed."


class Piece:
    """One object to fetch: where its stored bytes lie and what they must decode to."""

    __slots__ = ("sha256", "size", "stored_size", "encoding", "path", "offset")

    def __init__(self, chunk):
        self.sha256 = chunk.sha256
        self.size = chunk.size
        self.stored_size = chunk.stored_size
        self.encoding = chunk.encoding
        # Below a mirror's base; offset None: the piece is the whole file there.
        path, self.offset = chunk.location()
        # One string per pack, not per piece: a release of many small files has many pieces to a pack.
        self.path = sys.intern(path)

    @property
    def start(self):
        return self.offset or 0

    @property
    def end(self):
        return self.start + self.stored_size


class Span:
    """One request: bytes [start, end) of the file at path, holding pieces in offset order."""

    __slots__ = ("path", "start", "end", "pieces", "index")

    def __init__(self, piece):
        self.path = piece.path
        self.start = piece.start
        self.end = piece.end
        self.pieces = [piece]
        self.index = 0

    @property
    def size(self):
        return self.end - self.start


def plan_spans(pieces, gap=GAP, limit=MAX_SPAN):
    """The spans that fetch pieces (no two with the same hash): coalesced ranges of each file.

    A stand-alone object is a span of its own; ranges of packs follow, the
    packs in the order in which pieces first name them, each by offset.
    """
    order = {}
    ranged = []
    spans = []
    for piece in pieces:
        order.setdefault(piece.path, len(order))
        if piece.offset is None:
            spans.append(Span(piece))
        else:
            ranged.append(piece)
    ranged.sort(key=lambda piece: (order[piece.path], piece.offset))
    current = None
    for piece in ranged:
        if (current is not None and piece.path == current.path and current.end <= piece.offset <= current.end + gap
                and piece.end - current.start <= limit):
            current.pieces.append(piece)
            current.end = piece.end
            continue
        current = Span(piece)
        spans.append(current)
    return spans


def total_bytes(spans):
    """What fetching the spans transfers."""
    return sum(span.size for span in spans)


def decode(piece, stored):
    """The content of piece from its stored bytes, or None when they are not exactly that content."""
    if piece.encoding == "zlib":
        inflater = zlib.decompressobj()
        try:
            content = inflater.decompress(stored, piece.size + 1)
        except zlib.error:
            return None
        if not inflater.eof or inflater.unused_data or inflater.unconsumed_tail:
            return None
    else:
        content = stored
    if len(content) != piece.size or hashlib.sha256(content).hexdigest() != piece.sha256:
        return None
    return content


class Mirrors:
    """The base URLs pieces are fetched from, and how each has fared in this run."""

    def __init__(self, bases):
        self.bases = list(bases)
        self._lock = threading.Lock()
        self._failures = [0] * len(self.bases)
        self._banned = set()

    def candidates(self, turn):
        """Usable mirrors, starting at turn's in rotation, the ones that failed least first."""
        count = len(self.bases)
        with self._lock:
            rotated = [(turn + step) % count for step in range(count)]
            usable = [index for index in rotated if index not in self._banned]
            return sorted(usable, key=lambda index: self._failures[index])

    def url(self, index, path):
        return self.bases[index] + path

    def failed(self, index):
        with self._lock:
            self._failures[index] += 1

    def worked(self, index):
        with self._lock:
            self._failures[index] = 0

    def ban(self, index):
        with self._lock:
            self._banned.add(index)

    def banned(self, index):
        with self._lock:
            return index in self._banned


class Sink:
    """Where checked content goes; called from the fetching threads."""

    # True: every piece is handed on as it arrives, and counts once it is checked as a whole (finished).
    streams = False

    def write(self, piece, at, data):
        """data is piece's content from byte at on (all of it, at 0, for a piece checked in memory)."""
        raise NotImplementedError

    def finished(self, piece):
        """Everything written for piece is its checked content."""
        raise NotImplementedError


class _WrongHash(Exception):
    def __init__(self, piece):
        super().__init__(piece.sha256)
        self.piece = piece


class _Stopped(Exception):
    """Another span failed; this one ends too."""


class _Streamed:
    """The check of a large stand-alone object, whose content is handed on as it arrives."""

    def __init__(self, piece, sink):
        self.piece = piece
        self.sink = sink
        self.produced = 0
        self.hash = hashlib.sha256()
        self.inflater = zlib.decompressobj() if piece.encoding == "zlib" else None

    def _emit(self, data):
        if not data:
            return
        if self.produced + len(data) > self.piece.size:
            raise _WrongHash(self.piece)
        self.hash.update(data)
        self.sink.write(self.piece, self.produced, data)
        self.produced += len(data)

    def feed(self, data):
        if self.inflater is None:
            self._emit(data)
            return
        try:
            if self.inflater.eof:
                raise _WrongHash(self.piece)
            while data:
                self._emit(self.inflater.decompress(data, self.piece.size - self.produced + 1))
                data = self.inflater.unconsumed_tail
        except zlib.error:
            raise _WrongHash(self.piece)

    def finish(self):
        if self.inflater is not None:
            try:
                self._emit(self.inflater.flush())
            except zlib.error:
                raise _WrongHash(self.piece)
            if not self.inflater.eof or self.inflater.unused_data:
                raise _WrongHash(self.piece)
        if self.produced != self.piece.size or self.hash.hexdigest() != self.piece.sha256:
            raise _WrongHash(self.piece)


class _Receiver:
    """The stored bytes of one piece received so far; they survive a broken connection within the run."""

    def __init__(self, piece, sink):
        self.piece = piece
        self.sink = sink
        self.received = 0
        self.done = False
        self._reset()

    def _reset(self):
        self.received = 0
        if self.piece.stored_size <= IN_MEMORY and not self.sink.streams:
            self.buffer, self.stream = bytearray(), None
        else:
            self.buffer, self.stream = None, _Streamed(self.piece, self.sink)

    def feed(self, data):
        if self.stream is not None:
            self.stream.feed(data)
        else:
            self.buffer += data
        self.received += len(data)

    def complete(self):
        """Check the whole piece and hand it on; _WrongHash (and a fresh start) when it is not the content."""
        try:
            if self.stream is not None:
                self.stream.finish()
            else:
                content = decode(self.piece, self.buffer)
                if content is None:
                    raise _WrongHash(self.piece)
                self.sink.write(self.piece, 0, content)
        except _WrongHash:
            self._reset()
            raise
        self.buffer = self.stream = None
        self.done = True
        self.sink.finished(self.piece)


class _Cursor:
    """Splits the bytes of one attempt at a span among its pieces."""

    def __init__(self, receivers, position, arrived, should_stop):
        self.receivers = receivers
        self.index = 0
        self.position = position
        self.arrived = arrived
        self.should_stop = should_stop

    def feed(self, data):
        if self.should_stop():
            raise _Stopped()
        self.arrived(len(data))
        view = memoryview(data)
        at = 0
        while at < len(view):
            receiver = self.receivers[self.index]
            piece = receiver.piece
            if self.position < piece.start:
                # Bytes between two pieces (or of a piece finished before): not needed.
                step = min(len(view) - at, piece.start - self.position)
            else:
                step = min(len(view) - at, piece.end - self.position)
                if not receiver.done:
                    receiver.feed(view[at:at + step])
            at += step
            self.position += step
            if self.position == piece.end:
                if not receiver.done:
                    receiver.complete()
                self.index += 1


class Engine:
    """Fetches pieces from mirrors into a Sink, on WORKERS threads."""

    def __init__(self, mirrors, sink, limits=transport.DEFAULT_LIMITS, progress=None, workers=WORKERS):
        self.mirrors = mirrors
        self.sink = sink
        self.limits = limits
        self.progress = progress
        self.workers = workers
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._last_byte = time.monotonic()

    def _arrived(self, count):
        with self._lock:
            self._last_byte = time.monotonic()
        if self.progress is not None:
            self.progress.add(count)

    def run(self, spans):
        """Fetch the pieces of every span (plan_spans) and hand each on, checked; raises the first failure."""
        for index, span in enumerate(spans):
            span.index = index
        if len(spans) <= 1 or self.workers <= 1:
            # On this thread, where the deadlines can interrupt even a name lookup, and no other
            # thread watches for a stall: each attempt ends when the stall time has passed.
            self._last_byte = time.monotonic()
            for span in spans:
                self._fetch_span(span, watched=False)
            return
        # The largest first, so no thread is left with a big one at the end.
        queue = sorted(spans, key=lambda span: span.size)
        errors = []

        def worker():
            try:
                while not self._stop.is_set():
                    with self._lock:
                        if not queue:
                            return
                        span = queue.pop()
                    self._fetch_span(span, watched=True)
            except _Stopped:
                pass
            except BaseException as exc:
                with self._lock:
                    errors.append(exc)
                self._stop.set()
            finally:
                transport.close_connections()

        self._last_byte = time.monotonic()
        # Daemon threads: one stuck where no timeout reaches (a name lookup) cannot keep the updater alive.
        threads = [threading.Thread(target=worker, daemon=True) for _ in range(min(self.workers, len(spans)))]
        try:
            for thread in threads:
                thread.start()
            for thread in threads:
                while thread.is_alive() and not errors:
                    thread.join(0.25)
                    if self.progress is not None:
                        self.progress.tick()
                    with self._lock:
                        quiet = time.monotonic() - self._last_byte
                    # Also when a thread is stuck where no socket timeout reaches (a server trickling its headers).
                    if quiet > self.limits.stall:
                        raise NetworkError(_UNREACHABLE, detail="downloads stalled: no byte for %.3g seconds" % quiet)
        finally:
            self._stop.set()
        if errors:
            raise errors[0]

    def _fetch_span(self, span, watched):
        """Fetch span from the mirrors, continuing after each failure at the first byte not yet received.

        One bound for all its attempts: a retry does not give a trickling server its time again.
        Unless another thread watches for a stall, an attempt also ends once no byte has arrived
        for the stall time (it is then continued by the next one, when bytes did arrive).
        """
        receivers = [_Receiver(piece, self.sink) for piece in span.pieces]
        deadline = time.monotonic() + self.limits.deadline_for(span.size)
        # Mirrors that failed without bringing a byte since the span last made progress.
        tried = set()
        wrong = error = None
        while True:
            waiting = [receiver for receiver in receivers if not receiver.done]
            if not waiting:
                return
            if self._stop.is_set():
                raise _Stopped()
            usable = [index for index in self.mirrors.candidates(span.index) if index not in tried]
            if not usable:
                if all(self.mirrors.banned(index) for index in range(len(self.mirrors.bases))):
                    raise FeedRejected(MISMATCH, detail=error.detail if wrong else "every mirror sent damaged objects")
                raise error
            mirror = usable[0]
            first = waiting[0]
            start = first.piece.start + first.received
            end = waiting[-1].piece.end
            cursor = _Cursor(waiting, start, self._arrived, self._stop.is_set)
            url = self.mirrors.url(mirror, span.path)
            until = deadline
            if not watched:
                with self._lock:
                    until = min(deadline, self._last_byte + self.limits.stall)
                if until <= time.monotonic():
                    raise NetworkError(_UNREACHABLE, detail="%s: no byte for %.3g seconds" % (url, self.limits.stall))
            try:
                transfer.get(url, cursor.feed, start, end, end - start, self.limits, until)
                self.mirrors.worked(mirror)
                continue
            except _WrongHash as exc:
                # Never again in this run; the piece starts over from another mirror.
                self.mirrors.ban(mirror)
                wrong = exc.piece.sha256
                if self.progress is not None:
                    self.progress.more(exc.piece.stored_size)
                error = FeedRejected(MISMATCH, detail="%s: object %s does not match its hash" % (url, wrong))
                tried.add(mirror)
                continue
            except (NetworkError, FeedRejected) as exc:
                self.mirrors.failed(mirror)
                error = exc
            if cursor.position > start:
                tried.clear()  # it brought new bytes: worth asking again, after the others
            else:
                tried.add(mirror)


class _Collect(Sink):
    """The content of one object, in a buffer of its signed size."""

    streams = True

    def __init__(self, size):
        self.content = bytearray(size)

    def write(self, piece, at, data):
        self.content[at:at + len(data)] = data

    def finished(self, piece):
        pass


def fetch_object(mirrors, chunk, limit, limits=transport.DEFAULT_LIMITS):
    """The checked content of one object (a manifest), at most limit bytes, as a bytearray."""
    if chunk.size > limit:
        raise FeedRejected(MISMATCH, detail="object %s is larger than %d bytes" % (chunk.sha256, limit))
    # Filled in place as it is decoded and handed on as it is: a large manifest is held once, beside neither
    # its stored form nor a decoded copy.
    sink = _Collect(chunk.size)
    if chunk.size:
        Engine(mirrors, sink, limits, workers=1).run(plan_spans([Piece(chunk)]))
    elif chunk.sha256 != chunks_mod.EMPTY_SHA256:
        raise FeedRejected(MISMATCH, detail="object %s: content does not match its hash" % chunk.sha256)
    return sink.content
