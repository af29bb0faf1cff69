"""Cyclic XOR: key entry, wrap at 2**64, pieces, and the fast paths against a model."""

import pytest
from hypothesis import given, strategies as st

import native_accel as na
from conftest import examples


def model(data: bytes, code: bytes, start: int) -> bytes:
    if not code:
        return bytes(data)
    return bytes(b ^ code[((start + i) % 2**64) % len(code)] for i, b in enumerate(data))


def xored(data: bytes, code: bytes, start: int) -> bytes:
    buf = bytearray(data)
    assert na.xor_cycle_inplace(buf, code, start) is None
    return bytes(buf)


@pytest.mark.parametrize(
    "start, expected",
    [(0, "0102030102"), (1, "0203010203"), (4, "0203010203"), (2**64 - 2, "0301010203")],
)
def test_key_entry_position(start, expected):
    assert xored(bytes(5), b"\x01\x02\x03", start).hex() == expected


def test_position_wraps_to_zero_after_two_to_the_64():
    # (2**64 - 1) % 3 == 0, then position 0 uses code[0] again.
    assert xored(bytes(2), b"\x01\x02\x03", 2**64 - 1) == b"\x01\x01"
    # With a long stream the wrap lands inside a fast run: bytes after it restart at 0.
    data = bytes(3000)
    key = bytes(range(1, 8))
    assert xored(data, key, 2**64 - 1000) == model(data, key, 2**64 - 1000)


@pytest.mark.parametrize("data, code", [(b"", b"k"), (b"abc", b""), (b"", b"")])
def test_empty_key_or_data_changes_nothing(data, code):
    assert xored(data, code, 12345) == data


@pytest.mark.parametrize("length", [1, 2, 3, 7, 16, 255, 256, 257, 1024, 1025, 4099])
@pytest.mark.parametrize("start", [0, 1, 5, 1023, 2**63 + 17])
def test_key_lengths_around_the_pattern_sizes(length, start):
    key = bytes((i * 37 + 11) & 0xFF for i in range(length))
    data = bytes((i * 101 + 5) & 0xFF for i in range(5000))
    assert xored(data, key, start) == model(data, key, start)


@examples(300)
@given(st.binary(max_size=600), st.binary(min_size=1, max_size=40),
       st.integers(0, 2**64 - 1), st.integers(0, 600))
def test_twice_restores_and_pieces_equal_one_call(data, code, start, cut):
    cut = min(cut, len(data))
    once = xored(data, code, start)
    assert once == model(data, code, start)
    assert xored(once, code, start) == data
    first = xored(data[:cut], code, start)
    second = xored(data[cut:], code, (start + cut) % 2**64)
    assert first + second == once
