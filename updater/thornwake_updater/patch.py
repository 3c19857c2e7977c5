"""A manifest as the changes to another: what an update fetches instead of the whole new manifest.

The publisher writes a manifest one line per entry, so a release that changes
a few files changes a few lines, and a patch says how to make the new
manifest's bytes from the old one's:

  thornwake-manifest-patch 1
  =N        the next N bytes of the old manifest, as they are
  -N        the next N bytes of the old manifest left out
  +N        followed by N bytes of the new manifest and a line feed

The operations use up the old manifest exactly. The patch is only a way to
the bytes: the result counts only when its size and SHA-256 are those the
signed feed names.
"""

from .errors import FeedRejected

HEADER = b"thornwake-manifest-patch 1\n"
_OPERATIONS = (b"=", b"-", b"+")
_BAD = "The update information from the server is damaged. Try again later."


def apply(old, patch, size):
    """The bytes patch makes of old, at most size of them; FeedRejected when it does not fit old."""
    if not patch.startswith(HEADER):
        raise _bad("not a manifest patch")
    olds, patches = memoryview(old), memoryview(patch)
    made = bytearray()
    used = 0  # bytes of old
    at = len(HEADER)
    while at < len(patch):
        end = patch.find(b"\n", at)
        if end < 0:
            raise _bad("cut short")
        operation, count = _operation(patch[at:end])
        at = end + 1
        if operation == b"+":
            if patch[at + count:at + count + 1] != b"\n":
                raise _bad("fewer bytes than announced")
            made += patches[at:at + count]
            at += count + 1
        else:
            if used + count > len(old):
                raise _bad("more than the old manifest holds")
            if operation == b"=":
                made += olds[used:used + count]
            used += count
        if len(made) > size:
            raise _bad("longer than the manifest")
    if used != len(old):
        raise _bad("part of the old manifest left over")
    return made


def _operation(line):
    operation, digits = line[:1], line[1:]
    if operation not in _OPERATIONS or not digits.isdigit() or len(digits) > 9 or digits.startswith(b"0"):
        raise _bad("unknown operation %r" % line[:20])
    return operation, int(digits)


def _bad(reason):
    return FeedRejected(_BAD, detail="manifest patch: %s" % reason)
