"""The lenient LZSS decoder: stream examples, malformed input, output bounds."""

import struct

import pytest
from hypothesis import given, strategies as st

import native_accel as na

import lzss_oracle
from conftest import examples, peak_memory_of


def header(unpacked_size: int, packed_size: int = 0) -> bytes:
    return struct.pack("<II", packed_size, unpacked_size)


ABC_BODY = bytes.fromhex("07616263" "3f00" "3200")  # 3 literals, (17, 3), (4, 3)


@pytest.mark.parametrize(
    "stream, expected",
    [
        # a literal, then a reference of length 7 at distance 1
        (bytes.fromhex("0c000000" "08000000" "01611500"), b"a" * 8),
        # three literals and two references that overlap their own output
        (header(24, 16) + ABC_BODY, b"abc" * 8),
        # the first reference is cut at unpacked_size and the second never read
        (header(10) + ABC_BODY, b"abcabcabca"),
        # the body holds less than announced: what it holds
        (header(30) + ABC_BODY, b"abc" * 8),
        # a reference as first token has nothing to copy
        (header(5) + bytes.fromhex("001000"), b""),
        # distance 3 from 2 bytes: the first step reaches before the start
        (header(4) + bytes.fromhex("0378793000"), bytes.fromhex("787978")),
        # distance 0 appends nothing, then a distance-1 repeat
        (header(16) + bytes.fromhex("03787900001000"), bytes.fromhex("78797979")),
        # the last reference has only its first byte
        (header(16) + bytes.fromhex("037879000010"), bytes.fromhex("7879")),
        # a literal announced with no byte left ends decoding
        (header(16) + bytes.fromhex("0361"), b"a"),
        # the empty tail group an encoder may write is never read
        (bytes.fromhex("0d000000" "08000000" "01611500" "00"), b"a" * 8),
        # unpacked_size 0 gives nothing, whatever follows
        (header(0) + ABC_BODY, b""),
        # distance 4095 from a short output: steps before the start append nothing
        (header(20) + bytes.fromhex("03" "6162" "ffff"), b"ab"),
    ],
)
def test_known_streams(stream, expected):
    assert na.lzss_unpack(stream) == expected


def test_long_distance_reference_wraps_to_index_zero():
    # 10 literal bytes, then length 17 at distance 12: 2 empty steps, then 15 bytes copied
    # from index 0 on, as a reference of distance 10 would.
    body = bytes([0xFF]) + bytes(range(8)) + bytes([0x03]) + bytes([8, 9]) + bytes([0xCF, 0x00])
    out = na.lzss_unpack(header(100) + body)
    lead = bytes(range(10))
    assert out == lead + (lead * 2)[:15]


@pytest.mark.parametrize("n", range(0, 9))
def test_short_input_and_bare_header_give_empty(n):
    assert na.lzss_unpack((header(0xFFFFFFFF) + b"\x01a")[:n]) == b""


def test_bytes_subclass_accepted_and_bytearray_refused():
    class Sub(bytes):
        pass

    assert na.lzss_unpack(Sub(header(1) + b"\x01a")) == b"a"
    with pytest.raises(TypeError, match="^argument 'data': 'bytearray' object is not an instance of 'bytes'$"):
        na.lzss_unpack(bytearray(header(1) + b"\x01a"))


def test_huge_announced_size_does_not_allocate_it():
    # 0xFFFFFFFF announced over a 3-byte body: the result is short and memory stays small.
    code = (
        "import native_accel, struct\n"
        "out = native_accel.lzss_unpack(struct.pack('<II', 0, 0xFFFFFFFF) + b'\\x03xy')\n"
        "assert out == b'xy', out\n"
    )
    base_rss, base_vm = peak_memory_of("import native_accel")
    rss, vm = peak_memory_of(code)
    assert rss - base_rss < 64 << 20
    assert vm - base_vm < 64 << 20


def test_maximal_expansion_is_decoded_whole():
    # Full groups of eight 17-byte references: 136 output bytes per 17 input bytes.
    groups = 40
    body = b"\x01a" + b"\x1f\x00" * 7 + (b"\x00" + b"\x1f\x00" * 8) * groups
    out = na.lzss_unpack(header(0xFFFFFFFF) + body)
    assert out == b"a" * (1 + 7 * 17 + groups * 8 * 17)


@examples(300)
@given(st.binary(max_size=300))
def test_never_raises_and_never_exceeds_unpacked_size(body):
    for size in (0, 1, 7, 64, 0xFFFFFFFF):
        out = na.lzss_unpack(header(size) + body)
        assert len(out) <= size
        assert len(out) <= 8 * len(body)


@examples(400)
@given(st.integers(0, 400), st.lists(st.sampled_from([0x00, 0x01, 0x10, 0x0F, 0x3F, 0xFF, 0xF0, 0x21]), max_size=200))
def test_agrees_with_step_by_step_rules(size, body):
    stream = header(size) + bytes(body)
    assert na.lzss_unpack(stream) == lzss_oracle.lzss_unpack(stream)
