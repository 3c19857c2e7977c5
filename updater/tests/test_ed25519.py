"""The pure-Python Ed25519 that checks feed signatures."""

import unittest

import support  # noqa: F401  (puts the updater package on the path)

from thornwake_updater import ed25519

# RFC 8032, section 7.1, TEST 1 to 3: secret key, public key, message ("-": empty), signature.
RFC8032 = [
    "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60 d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a - e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24655141438e7a100b",
    "4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb 3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c 72 92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613d0f11d8c387b2eaeb4302aeeb00d291612bb0c00",
    "c5aa8df43f9f837bedb7442f31dcb7b166d38535076f094b85ce3a2e0b4458f7 fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025 af82 6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac18ff9b538d16f290ae67f760984dc6594a7c15e9716ed28dc027beceea1ec40a",
]

_L = 2**252 + 27742317777372353535851937790883648493


class Ed25519Test(unittest.TestCase):
    def test_rfc8032_vectors(self):
        for vector in RFC8032:
            secret, public, message, signature = (bytes.fromhex(x.strip("-")) for x in vector.split())
            with self.subTest(public=public.hex()[:8]):
                self.assertEqual(public, ed25519.public_key(secret))
                self.assertEqual(signature, ed25519.sign(secret, message))
                self.assertTrue(ed25519.verify(public, message, signature))

    def test_altered_inputs_fail(self):
        secret, public, message, signature = (bytes.fromhex(x) for x in RFC8032[2].split())
        other_public = bytes.fromhex(RFC8032[1].split()[1])
        s = int.from_bytes(signature[32:], "little")
        cases = {
            "message": (public, message + b"\x00", signature),
            "flipped bit in R": (public, message, bytes([signature[0] ^ 1]) + signature[1:]),
            "flipped bit in S": (public, message, signature[:40] + bytes([signature[40] ^ 4]) + signature[41:]),
            "S + L (malleated)": (public, message, signature[:32] + (s + _L).to_bytes(32, "little")),
            "other key": (other_public, message, signature),
            "short signature": (public, message, signature[:63]),
            "short key": (public[:31], message, signature),
            "key not on the curve": (bytes([2]) + bytes(31), message, signature),
        }
        for name, (key, data, sig) in cases.items():
            with self.subTest(name):
                self.assertFalse(ed25519.verify(key, data, sig))
