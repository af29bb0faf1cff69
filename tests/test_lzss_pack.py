import random

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import lzss_oracle
import native_accel as na
from conftest import examples

MAX_U64 = 2**64 - 1
ABRACADABRA = b" ".join([b"abracadabra"] * 3)

# (input, level, suppress_empty_tail_group, expected stream in hex)
KNOWN_STREAMS = [
    # empty input: no header at all
    (b"", 17, False, ""),
    # one literal
    (b"a", 17, False, "0a000000 01000000 01 61"),
    # a literal, then length 7 at distance 1; two tokens, so no empty tail either way
    (b"a" * 8, 17, False, "0c000000 08000000 01 61 1500"),
    (b"a" * 8, 17, True, "0c000000 08000000 01 61 1500"),
    # eight literals fill a group: the empty tail group 00 follows unless suppressed
    (b"abcdefgh", 17, False, "12000000 08000000 ff 6162636465666768 00"),
    (b"abcdefgh", 17, True, "11000000 08000000 ff 6162636465666768"),
    # a reference of the longest length (17) at distance 3, then one of 4
    (b"abc" * 8, 17, False, "10000000 18000000 07 616263 3f00 3200"),
    # level caps the match length: 17 takes all ten bytes at once ...
    (b"ab" * 6, 17, False, "0d000000 0c000000 03 6162 2800"),
    # ... 3 takes three at a time and ends on a literal, one byte being left
    (b"ab" * 6, 3, False, "12000000 0c000000 23 6162 2100 2100 2100 62"),
    # ... levels 0 to 2 all mean a longest match of 2
    *[(b"ab" * 6, level, False, "15000000 0c000000 03 6162 2000 2000 2000 2000 2000")
      for level in (2, 1, 0)],
    # the second 'a' is a literal: its longest match is 1 byte; tie-breaks pick distances
    (ABRACADABRA, 17, False, "18000000 23000000 7f 61627261636164 7200 0120 cf00 c400"),
    # at level 4 short keys replace each other in the tree, which changes the parse
    (ABRACADABRA, 4, False,
     "20000000 23000000 7f 61627261636164 7200 0120 5200 c200 c200 5200 c200 7100"),
    # every level from 17 up is level 17
    *[(ABRACADABRA, level, False, "18000000 23000000 7f 61627261636164 7200 0120 cf00 c400")
      for level in (18, 1000, MAX_U64)],
]


@pytest.mark.parametrize(("data", "level", "suppress", "expected"), KNOWN_STREAMS)
def test_known_streams(data, level, suppress, expected):
    expected = bytes.fromhex(expected)
    assert na.lzss_pack_level(data, level, suppress) == expected
    assert na.lzss_unpack(expected) == data
    if level >= 17:
        assert na.lzss_pack(data, suppress) == expected


def low_entropy(rng, n):
    """Runs, short noise and copies of earlier stretches over an alphabet of 2 to 4 bytes."""
    alphabet = rng.sample(range(256), rng.randint(2, 4))
    out = bytearray()
    while len(out) < n:
        pick = rng.random()
        if pick < 0.4:
            out += bytes([rng.choice(alphabet)]) * rng.randint(1, 40)
        elif pick < 0.7 and out:
            start = rng.randrange(len(out))
            out += out[start : start + rng.randint(2, 40)]
        else:
            out += bytes(rng.choice(alphabet) for _ in range(rng.randint(1, 12)))
    return bytes(out[:n])


ORACLE_LEVELS = [*range(19), MAX_U64]


@pytest.mark.parametrize("level", ORACLE_LEVELS)
def test_matches_oracle_on_small_inputs(level):
    rng = random.Random(level % 1000)
    for _ in range(25):
        data = low_entropy(rng, rng.randint(1, 300))
        suppress = rng.random() < 0.5
        assert na.lzss_pack_level(data, level, suppress) == lzss_oracle.lzss_pack_level(
            data, level, suppress
        ), data.hex()


# Past 4096 bytes positions leave the window, so Delete runs on nodes of every shape.
@pytest.mark.parametrize("level", [0, 2, 3, 5, 9, 16, 17])
@pytest.mark.parametrize("seed", [1, 2])
def test_matches_oracle_across_the_window(level, seed):
    rng = random.Random(seed)
    data = low_entropy(rng, rng.randint(9000, 13000))
    assert na.lzss_pack_level(data, level) == lzss_oracle.lzss_pack_level(data, level)


@examples(300)
@given(
    data=st.one_of(st.binary(max_size=600), st.lists(st.sampled_from(b"ab\x00"), max_size=600).map(bytes)),
    level=st.one_of(st.integers(0, 20), st.integers(0, MAX_U64)),
    suppress=st.booleans(),
)
def test_round_trip(data, level, suppress):
    assert na.lzss_unpack(na.lzss_pack_level(data, level, suppress)) == data


def references(stream):
    return [(token[1], token[2]) for token in lzss_oracle.tokens(stream) if token[0] == "ref"]


# A block of 16 bytes that occur nowhere else, repeated `gap` bytes after its start.
@pytest.mark.parametrize(("gap", "found"), [(4095, True), (4096, False)])
def test_window_reach(gap, found):
    rng = random.Random(gap)
    block = bytes(rng.sample(range(0xF0, 0x100), 16))
    filler = bytes(rng.randrange(0xF0) for _ in range(gap - len(block)))
    data = block + filler + block
    stream = na.lzss_pack(data)
    assert na.lzss_unpack(stream) == data
    assert ((4095, 16) in references(stream)) == found
    # whatever it finds, nothing points at the block 4096 back
    assert all(distance < 4096 for distance, _ in references(stream))
    if not found:
        assert lzss_oracle.tokens(stream)[-16:] == [("lit", bytes([b])) for b in block]


def test_flag_accepts_booleans_only():
    assert na.lzss_pack(b"abcdefgh", suppress_empty_tail_group=np.True_)[-1] == 0x68
    assert na.lzss_pack(data=b"x", suppress_empty_tail_group=False) == na.lzss_pack(b"x", False)
    for bad in (1, 0, None, "yes"):
        with pytest.raises(TypeError, match="argument 'suppress_empty_tail_group'"):
            na.lzss_pack(b"x", bad)
        with pytest.raises(TypeError, match="argument 'suppress_empty_tail_group'"):
            na.lzss_pack_level(b"x", 3, bad)


@pytest.mark.parametrize(
    ("call", "error"),
    [
        (lambda: na.lzss_pack(bytearray(b"x")), TypeError),
        (lambda: na.lzss_pack(memoryview(b"x")), TypeError),
        (lambda: na.lzss_pack_level(b"x"), TypeError),
        (lambda: na.lzss_pack_level(b"x", -1), OverflowError),
        (lambda: na.lzss_pack_level(b"x", 2**64), OverflowError),
        (lambda: na.lzss_pack_level(b"x", 3.0), TypeError),
        (lambda: na.lzss_pack(b"x", False, True), TypeError),
    ],
)
def test_argument_errors(call, error):
    with pytest.raises(error):
        call()


def test_bytes_subclass_and_level_index():
    class Blob(bytes):
        pass

    assert na.lzss_pack(Blob(b"aaaa")) == na.lzss_pack(b"aaaa")
    assert na.lzss_pack_level(b"abab" * 3, True) == na.lzss_pack_level(b"abab" * 3, 1)


def huge_zero_bytes():
    # bytes(n) is calloc'ed: the pages are mapped on first touch, and the packers refuse
    # the input before touching any of it.
    try:
        return bytes(2**32)
    except MemoryError:
        pytest.skip("no address space for a 4 GiB bytes object")


def test_input_of_4_gib_is_refused():
    data = huge_zero_bytes()
    with pytest.raises(ValueError, match="^lzss: input of 4 GiB or more does not fit"):
        na.lzss_pack(data)
    with pytest.raises(ValueError, match="^lzss: input of 4 GiB or more does not fit"):
        na.lzss_pack_level(data, 0, True)
    with pytest.raises(ValueError, match="^lzss32: input of 4 GiB or more does not fit"):
        na.lzss32_pack(data)
