"""Ed25519 signatures (RFC 8032), pure Python.

The updater runs under the system interpreter, which has no cryptography
package, so feed signatures are checked with this module. Verification is
cofactorless and strict about encodings: a non-canonical point or an S not
below the group order fails, so one message has one valid signature per key.
Signing is only used by the publisher; it is not constant-time and must not
run where an attacker can time it.
"""

import hashlib

__all__ = ["public_key", "sign", "verify", "SEED_BYTES", "PUBLIC_KEY_BYTES", "SIGNATURE_BYTES"]

SEED_BYTES = 32
PUBLIC_KEY_BYTES = 32
SIGNATURE_BYTES = 64

_P = 2**255 - 19
_L = 2**252 + 27742317777372353535851937790883648493
_D = (-121665 * pow(121666, _P - 2, _P)) % _P
_SQRT_M1 = pow(2, (_P - 1) // 4, _P)


def _sha512_int(*parts):
    digest = hashlib.sha512(b"".join(parts)).digest()
    return int.from_bytes(digest, "little")


# Points are in extended homogeneous coordinates (X, Y, Z, T), x = X/Z, y = Y/Z, x*y = T/Z.
def _add(a, b):
    x1, y1, z1, t1 = a
    x2, y2, z2, t2 = b
    pa = (y1 - x1) * (y2 - x2) % _P
    pb = (y1 + x1) * (y2 + x2) % _P
    pc = t1 * 2 * _D * t2 % _P
    pd = z1 * 2 * z2 % _P
    e, f, g, h = pb - pa, pd - pc, pd + pc, pb + pa
    return (e * f % _P, g * h % _P, f * g % _P, e * h % _P)


def _double(a):
    x1, y1, z1, _ = a
    pa = x1 * x1 % _P
    pb = y1 * y1 % _P
    pc = 2 * z1 * z1 % _P
    h = pa + pb
    e = h - (x1 + y1) * (x1 + y1)
    g = pa - pb
    f = pc + g
    return (e * f % _P, g * h % _P, f * g % _P, e * h % _P)


_IDENTITY = (0, 1, 1, 0)


def _mul(scalar, point):
    result = _IDENTITY
    while scalar > 0:
        if scalar & 1:
            result = _add(result, point)
        point = _double(point)
        scalar >>= 1
    return result


def _equal(a, b):
    x1, y1, z1, _ = a
    x2, y2, z2, _ = b
    return (x1 * z2 - x2 * z1) % _P == 0 and (y1 * z2 - y2 * z1) % _P == 0


def _recover_x(y, sign):
    if y >= _P:
        return None
    x2 = (y * y - 1) * pow(_D * y * y + 1, _P - 2, _P)
    if x2 == 0:
        return None if sign else 0
    x = pow(x2, (_P + 3) // 8, _P)
    if (x * x - x2) % _P != 0:
        x = x * _SQRT_M1 % _P
    if (x * x - x2) % _P != 0:
        return None
    if (x & 1) != sign:
        x = _P - x
    return x


_GY = 4 * pow(5, _P - 2, _P) % _P
_GX = _recover_x(_GY, 0)
_BASE = (_GX, _GY, 1, _GX * _GY % _P)


def _compress(point):
    x, y, z, _ = point
    zinv = pow(z, _P - 2, _P)
    x = x * zinv % _P
    y = y * zinv % _P
    return int.to_bytes(y | ((x & 1) << 255), 32, "little")


def _decompress(data):
    if len(data) != 32:
        return None
    y = int.from_bytes(data, "little")
    sign = y >> 255
    y &= (1 << 255) - 1
    x = _recover_x(y, sign)
    if x is None:
        return None
    return (x, y, 1, x * y % _P)


def _expand_seed(seed):
    if len(seed) != SEED_BYTES:
        raise ValueError("an Ed25519 private key seed is 32 bytes")
    h = hashlib.sha512(seed).digest()
    a = int.from_bytes(h[:32], "little")
    a &= (1 << 254) - 8
    a |= 1 << 254
    return a, h[32:]


def public_key(seed):
    """The 32-byte public key of a 32-byte private key seed."""
    a, _ = _expand_seed(bytes(seed))
    return _compress(_mul(a, _BASE))


def sign(seed, message):
    """A 64-byte signature of message by the key whose seed is given."""
    seed = bytes(seed)
    a, prefix = _expand_seed(seed)
    pub = _compress(_mul(a, _BASE))
    r = _sha512_int(prefix, message) % _L
    big_r = _compress(_mul(r, _BASE))
    k = _sha512_int(big_r, pub, message) % _L
    s = (r + k * a) % _L
    return big_r + int.to_bytes(s, 32, "little")


def verify(public, message, signature):
    """True when signature is a valid signature of message by public key."""
    public = bytes(public)
    signature = bytes(signature)
    if len(public) != PUBLIC_KEY_BYTES or len(signature) != SIGNATURE_BYTES:
        return False
    point_a = _decompress(public)
    if point_a is None:
        return False
    r_bytes = signature[:32]
    point_r = _decompress(r_bytes)
    if point_r is None:
        return False
    s = int.from_bytes(signature[32:], "little")
    if s >= _L:
        return False
    k = _sha512_int(r_bytes, public, message) % _L
    return _equal(_mul(s, _BASE), _add(point_r, _mul(k, point_a)))
