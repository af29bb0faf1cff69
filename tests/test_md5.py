"""MD5: the RFC 1321 suite, tail-block boundaries, agreement with hashlib."""

import hashlib

import pytest
from hypothesis import given, strategies as st

import native_accel as na
from conftest import examples

# The test suite of RFC 1321, appendix A.5.
RFC_SUITE = [
    (b"", "d41d8cd98f00b204e9800998ecf8427e"),
    (b"a", "0cc175b9c0f1b6a831c399e269772661"),
    (b"abc", "900150983cd24fb0d6963f7d28e17f72"),
    (b"message digest", "f96b697d7cb7938d525a2f31aaf161d0"),
    (b"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"),
    (b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
     "d174ab98d277d9f5a5611c2c9f419d9f"),
    (b"1234567890" * 8, "57edf4a22be3c955ac49da2e2107b67a"),
]


@pytest.mark.parametrize("message, digest", RFC_SUITE)
def test_rfc_suite(message, digest):
    assert na.md5_digest(message).hex() == digest


# One tail block up to 55 leftover bytes, two from 56; whole-block inputs have a tail of
# padding only.
@pytest.mark.parametrize("n", [55, 56, 57, 63, 64, 65, 119, 120, 127, 128, 129, 4096])
def test_tail_block_boundaries(n):
    message = bytes((i * 31 + 7) & 0xFF for i in range(n))
    assert na.md5_digest(message) == hashlib.md5(message).digest()


@examples(300)
@given(st.binary(max_size=700))
def test_agrees_with_hashlib(message):
    digest = na.md5_digest(message)
    assert len(digest) == 16 and type(digest) is bytes
    assert digest == hashlib.md5(message).digest()


def test_large_input_read_in_place():
    message = bytes(range(256)) * 40000 + b"tail"
    assert na.md5_digest(message) == hashlib.md5(message).digest()
