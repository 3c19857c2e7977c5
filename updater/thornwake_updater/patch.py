"""A manifest as the changes to another: what an update fetches instead of the whole new manifest.

The publisher writes a manifest one line per entry, so a release that changes
a few files changes a few lines. A patch says how to make the new manifest's
bytes from the old one's, both cut at every "\\n" into lines:

  thornwake-manifest-patch 1
  =N        the next N lines of the old manifest, as they are
  -N        the next N lines of the old manifest left out
  +N        followed by N lines of the new manifest

The operations use up the old manifest's lines exactly, and the lines they
give are joined with "\\n" again. The patch is only a way to the bytes: the
result counts only when its size and SHA-256 are those the signed feed names.
"""

from .errors import FeedRejected

HEADER = b"thornwake-manifest-patch 1"
_OPERATIONS = (b"=", b"-", b"+")
_BAD = "The update information from the server is damaged. Try again later."


def apply(old, patch, size):
    """The bytes patch makes of old, at most size of them; FeedRejected when it does not fit old."""
    lines = patch.split(b"\n")
    if lines[0] != HEADER or lines[-1] != b"":
        raise _bad("not a manifest patch")
    view = memoryview(old)
    made = bytearray()
    start = 0  # of the old manifest's next line; len(old) + 1 once all are used
    end = len(old) + 1
    first = True
    index = 1
    while index < len(lines) - 1:
        operation, count = _operation(lines[index])
        index += 1
        if operation == b"+":
            if count > len(lines) - 1 - index:
                raise _bad("fewer lines than announced")
            taken = lines[index:index + count]
            index += count
        else:
            stop = start
            for _ in range(count):
                if stop >= end:
                    raise _bad("more lines than the old manifest has")
                stop = old.find(b"\n", stop)
                stop = end if stop < 0 else stop + 1
            if operation == b"-":
                start = stop
                continue
            taken = (view[start:stop - 1],)
            start = stop
        for line in taken:
            if not first:
                made += b"\n"
            made += line
            first = False
        if len(made) > size:
            raise _bad("longer than the manifest")
    if start != end:
        raise _bad("lines of the old manifest left over")
    return made


def _operation(line):
    operation, digits = line[:1], line[1:]
    if operation not in _OPERATIONS or not digits.isdigit() or len(digits) > 9 or digits.startswith(b"0"):
        raise _bad("unknown operation %r" % line[:20])
    return operation, int(digits)


def _bad(reason):
    return FeedRejected(_BAD, detail="manifest patch: %s" % reason)
