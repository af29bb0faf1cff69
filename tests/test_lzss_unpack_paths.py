"""lzss_unpack's group-at-a-time fast path against a plain model of the lenient decoder.

The native decoder switches between whole-group decoding with fixed-size copies (while a
group can neither run out of input nor reach the output limit) and a token-at-a-time path
near the ends. These tests build streams long enough to use both and compare every byte
with a model that follows the format one copy step at a time.
"""

import struct

import pytest
from hypothesis import given
from hypothesis import strategies as st

import lzss_oracle
import native_accel as na
from conftest import examples


def build(tokens, unpacked_size: int) -> bytes:
    """A stream from tokens: an int is a literal byte, a (distance, length) pair a reference."""
    body = bytearray()
    for g in range(0, len(tokens), 8):
        group = tokens[g:g + 8]
        flags = sum(1 << k for k, t in enumerate(group) if isinstance(t, int))
        body.append(flags)
        for t in group:
            if isinstance(t, int):
                body.append(t)
            else:
                distance, length = t
                body += struct.pack("<H", distance << 4 | (length - 2))
    return struct.pack("<II", 8 + len(body), unpacked_size) + bytes(body)


def expected_size(tokens) -> int:
    return len(lzss_oracle.lzss_unpack(build(tokens, 2**32 - 1)))


PRELUDE = list(range(256)) * 2  # 512 distinct-ish literals: every distance can reach back


@pytest.mark.parametrize("distance", [1, 2, 3, 4, 7, 8, 9, 15, 16, 17, 24, 300, 4095])
@pytest.mark.parametrize("length", [2, 3, 8, 9, 16, 17])
def test_each_distance_and_length_in_bulk(distance, length):
    # Many copies of the same reference between literals: the middle of the stream is
    # decoded by the fast path, the last groups by the plain one.
    tokens = list(PRELUDE)
    for k in range(300):
        tokens += [(distance, length), k % 251]
    stream = build(tokens, 2**32 - 1)
    assert na.lzss_unpack(stream) == lzss_oracle.lzss_unpack(stream)


@pytest.mark.parametrize("distance, length", [(1, 17), (5, 4), (9, 3), (40, 17)])
def test_every_flag_byte(distance, length):
    # One group for each of the 256 flag bytes (0xFF, all literals, has its own copy).
    tokens = list(PRELUDE)
    for flags in range(256):
        tokens += [(flags + b) % 256 if flags >> b & 1 else (distance, length) for b in range(8)]
    stream = build(tokens, 2**32 - 1)
    assert na.lzss_unpack(stream) == lzss_oracle.lzss_unpack(stream)


@pytest.mark.parametrize("cut", [0, 1, 5, 17, 100, 143, 144, 145, 1000])
def test_output_limit_anywhere_in_a_long_stream(cut):
    tokens = list(PRELUDE) + [(3, 17), (8, 17), (4095, 17), 7] * 80
    full = expected_size(tokens)
    size = full - cut
    stream = build(tokens, size)
    out = na.lzss_unpack(stream)
    assert len(out) == size
    assert out == lzss_oracle.lzss_unpack(stream)


@pytest.mark.parametrize("drop", range(0, 40))
def test_truncated_inputs(drop):
    tokens = list(PRELUDE) + [(12, 17), 1, 2, (1, 9), (600, 5)] * 60
    stream = build(tokens, 2**32 - 1)
    cut = stream[:len(stream) - drop]
    assert na.lzss_unpack(cut) == lzss_oracle.lzss_unpack(cut)


def test_references_before_the_start_and_distance_zero_inside_long_streams():
    # Distances past the output (empty steps) and distance 0 early on, while the fast
    # path is active (the body is long, so the margins hold from the first group).
    tokens = [(5, 17), 65, (4, 9), (0, 17), 66, (4095, 17), (2, 17)] * 40 + list(PRELUDE)
    tokens += [(0, 17), (1000, 17), 9] * 50
    stream = build(tokens, 2**32 - 1)
    assert na.lzss_unpack(stream) == lzss_oracle.lzss_unpack(stream)


tokens_strategy = st.lists(
    st.one_of(
        st.integers(0, 255),
        st.tuples(st.integers(0, 40), st.integers(2, 17)),
        st.tuples(st.integers(0, 4095), st.integers(2, 17)),
    ),
    min_size=0,
    max_size=600,
)


@examples(150)
@given(tokens=tokens_strategy, slack=st.integers(-300, 50), drop=st.integers(0, 20))
def test_random_token_streams_match_the_model(tokens, slack, drop):
    size = max(0, expected_size(tokens) + slack)
    stream = build(tokens, size)
    stream = stream[:max(8, len(stream) - drop)]
    assert na.lzss_unpack(stream) == lzss_oracle.lzss_unpack(stream)


@examples(100)
@given(body=st.binary(min_size=0, max_size=3000), size=st.integers(0, 30000))
def test_arbitrary_bodies_match_the_model(body, size):
    stream = struct.pack("<II", 0, size) + body
    assert na.lzss_unpack(stream) == lzss_oracle.lzss_unpack(stream)
