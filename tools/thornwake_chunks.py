"""Content-defined chunks of large files, and how each chunk is stored.

A file above THRESHOLD is cut where its content says, not at fixed offsets,
so an insertion or a deletion moves only the cuts near it and the chunks
after it keep their hashes. Every byte value stands for one bit (a fixed
table gives half the values 1 and half 0; bytes.translate applies it at C
speed); a chunk ends right after the first place, at least MIN_CHUNK into
it, where the last 16 bytes spell PATTERN (found with bytes.find), and at
MAX_CHUNK when there is none. A cut thus depends only on the 16 bytes before
it and on where the chunk began; after a change the cuts fall back into step
with the old ones at the first shared cut. PATTERN has no prefix that is
also its suffix, so hits cannot crowd: in random data they come every 64 KiB
on average, which makes chunks about 80 KiB on average. Real files give this
table more 0s than 1s (text and code use few byte values, binaries many
zeros), so PATTERN holds only six 1s: hits then stay about as frequent in
source text and libraries as in random data (a pattern of eight 1s left
chunks there at 140 to 180 KiB on average, and an insertion re-stored twice
as much).
"""

import hashlib
import zlib

MIN_CHUNK = 16 << 10
MAX_CHUNK = 256 << 10
# Files up to this size are one object; larger ones are cut into chunks.
THRESHOLD = 256 << 10
PATTERN = b"0000110001100101"
# Never change the table or the pattern: the same content must keep cutting the same way, or every
# publication after the change would store everything again.
_ONES = frozenset(sorted(range(256), key=lambda b: hashlib.sha256(b"thornwake chunk table" + bytes([b])).digest())[:128])
TABLE = bytes.maketrans(bytes(range(256)), bytes(0x31 if value in _ONES else 0x30 for value in range(256)))
# Large enough that carrying the unfinished chunk over is cheap, small enough to stay in the cache.
READ_BLOCK = 1 << 20

IDENTITY = 0
ZLIB = 1
# Compression must save at least this share of an object to be worth the player's CPU.
MIN_SAVING = 0.05
SAMPLE = 4 << 10
LEVEL = 6


def next_cut(bits, start, end):
    """Where the chunk that begins at start ends, given the translated bytes up to end."""
    limit = min(start + MAX_CHUNK, end)
    hit = bits.find(PATTERN, start + MIN_CHUNK - len(PATTERN), limit)
    return hit + len(PATTERN) if hit >= 0 else limit


def cut_points(data):
    """The end offset of every chunk of data (the last one is len(data))."""
    bits = data.translate(TABLE)
    cuts, start = [], 0
    while start < len(data):
        start = next_cut(bits, start, len(data))
        cuts.append(start)
    return cuts


class Chunker:
    """Cuts files into chunks, reusing its buffers from file to file.

    Fresh buffers for every file cost more than the search itself: the
    allocator hands such large blocks back to the system and faults them in
    again, page by page.
    """

    def __init__(self, block=READ_BLOCK):
        self.data = bytearray(block + MAX_CHUNK)
        self.bits = bytearray(len(self.data))

    def chunks(self, readinto):
        """Yield the chunks of a file that readinto(buffer) reads, as memoryviews, in order.

        A file of at most THRESHOLD bytes is one chunk; a larger one is cut as
        its content says. Which of the two is decided by the bytes read, so a
        file that changes while it is read is still cut by its content. Each
        chunk is valid only until the next one is asked for.
        """
        data, bits = self.data, self.bits
        view = memoryview(data)
        have = start = total = 0
        ended = False
        while True:
            if not ended and (have - start < MAX_CHUNK or total <= THRESHOLD):
                tail = have - start
                data[:tail] = view[start:have]
                bits[:tail] = bits[start:have]
                count = readinto(view[tail:]) or 0
                bits[tail:tail + count] = view[tail:tail + count].tobytes().translate(TABLE)
                have, start, total, ended = tail + count, 0, total + count, count == 0
                continue
            if start == have:
                return
            end = have if ended and total <= THRESHOLD else next_cut(bits, start, have)
            yield view[start:end]
            start = end


def file_chunks(readinto, block=READ_BLOCK):
    """The chunks of one file (see Chunker.chunks)."""
    return Chunker(block).chunks(readinto)


def encode(chunk):
    """(stored bytes, IDENTITY or ZLIB): zlib only when it saves at least MIN_SAVING.

    Most large game data is compressed already; a small sample at the fastest
    level tells that cheaply, and such chunks are stored as they are.
    """
    sample = chunk[:SAMPLE]
    if len(zlib.compress(sample, 1)) > len(sample) * (1 - MIN_SAVING):
        return bytes(chunk), IDENTITY
    packed = zlib.compress(chunk, LEVEL)
    if len(packed) <= len(chunk) * (1 - MIN_SAVING):
        return packed, ZLIB
    return bytes(chunk), IDENTITY
