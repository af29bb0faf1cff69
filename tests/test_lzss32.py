import random
import sys

import pytest
from hypothesis import given
from hypothesis import strategies as st

import lzss_oracle
from conftest import examples, run_python
import native_accel as na


def header(unpacked_size):
    """A header with packed_size 0, which the decoder never reads."""
    return bytes(4) + unpacked_size.to_bytes(4, "little")


def with_ff(data):
    """What a round trip gives: every fourth byte becomes 0xFF."""
    out = bytearray(data)
    out[3::4] = b"\xff" * (len(data) // 4)
    return bytes(out)


PACKED = [
    # empty input: no header
    (b"", ""),
    # a literal, then a reference of 4 units at distance 1
    (bytes.fromhex("010203ff") * 5, "0e000000 14000000 01 010203 1300"),
    # eight literals drop every fourth byte; no empty group after the full one
    (bytes(range(32)), "21000000 20000000 ff" + "".join(f"{4*k:02x}{4*k+1:02x}{4*k+2:02x}" for k in range(8))),
    # units differing only in their fourth byte do not match; references of 1 unit do
    (b"".join(bytes([1, 2, 3, x]) for x in (0, 0x80, 0xFF, 0, 0x80, 0xFF, 0x7F, 0x80)),
     "19000000 20000000 17 010203 010203 010203 3200 010203 6000"),
]


@pytest.mark.parametrize(("data", "expected"), PACKED)
def test_pack_known_streams(data, expected):
    expected = bytes.fromhex(expected)
    assert na.lzss32_pack(data) == expected
    if data:
        assert na.lzss32_unpack(expected) == with_ff(data)


@pytest.mark.parametrize("size", [1, 2, 3, 5, 6, 7, 4097])
def test_pack_refuses_partial_units(size):
    with pytest.raises(ValueError, match="^lzss32: source size is not a multiple of 4$"):
        na.lzss32_pack(bytes(size))


UNPACKED = [
    # two literals, each completed with ff
    (header(8) + bytes.fromhex("03 010203 040506"), "010203ff 040506ff"),
    # a literal is never cut, so unpacked_size 5 still gives 8 bytes
    (header(5) + bytes.fromhex("03 010203 040506"), "010203ff 040506ff"),
    # a reference is cut at unpacked_size
    (header(6) + bytes.fromhex("01 010203 1000"), "010203ff 0102"),
    # unpacked_size 0: empty, whatever follows
    (header(0), ""),
    (header(0) + bytes.fromhex("00 1000 ffff"), ""),
    # eight literals of a full group
    (header(32) + bytes([0xFF]) + bytes(range(24)),
     "".join(f"{3*k:02x}{3*k+1:02x}{3*k+2:02x}ff" for k in range(8))),
    # distance equal to the output length copies from index 0; the last reference is cut
    (header(16) + bytes.fromhex("05 0a0b0c 1000 0d0e0f 2100"), "0a0b0cff 0a0b0cff 0d0e0fff 0a0b0cff"),
    # an overlapping reference repeats the last unit; trailing input is ignored
    (header(20) + bytes.fromhex("01 aabbcc 1300 99"), "aabbccff" * 5),
]


@pytest.mark.parametrize(("stream", "expected"), UNPACKED)
def test_unpack_known_streams(stream, expected):
    assert na.lzss32_unpack(stream) == bytes.fromhex(expected)


ERRORS = [
    *[(bytes(size), "lzss32 short") for size in range(8)],
    # a reference before any output reaches before the start
    (header(8) + bytes.fromhex("00 1000"), "lzss32 back"),
    # distance 2 units with only 1 unit written
    (header(12) + bytes.fromhex("01 010203 2000"), "lzss32 back"),
    (header(8) + bytes.fromhex("01 010203 0000"), "lzss32 off0"),
    # distance field 0 with a length: still off0
    (header(8) + bytes.fromhex("01 010203 0f00"), "lzss32 off0"),
    # flag bit 1 announces a reference and no byte is left
    (header(8) + bytes.fromhex("01 010203"), "lzss32 eof"),
    # short literal
    (header(8) + bytes.fromhex("01 0102"), "lzss32 eof"),
    # short reference
    (header(8) + bytes.fromhex("01 010203 10"), "lzss32 eof"),
    # header only, with output announced
    (header(1), "lzss32 eof"),
    # the input is used up at a group boundary
    (header(36) + bytes([0xFF]) + bytes(range(24)), "lzss32 eof"),
    # checks run in the order eof, off0, back: a truncated reference is eof first
    (header(8) + bytes.fromhex("00 00"), "lzss32 eof"),
    # ... and a zero distance is off0 even where any distance would reach back too far
    (header(8) + bytes.fromhex("00 0000"), "lzss32 off0"),
]


@pytest.mark.parametrize(("stream", "message"), ERRORS)
def test_unpack_errors(stream, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        na.lzss32_unpack(stream)


def low_entropy_pixels(rng, units):
    """Runs and copies over a palette of 2 to 4 pixels, some differing only in byte 3."""
    base = rng.getrandbits(24)
    palette = [base | rng.choice((0, 0x7F, 0x80, 0xFF)) << 24 for _ in range(rng.randint(1, 2))]
    palette += [rng.getrandbits(32) for _ in range(rng.randint(1, 2))]
    out = []
    while len(out) < units:
        pick = rng.random()
        if pick < 0.4:
            out += [rng.choice(palette)] * rng.randint(1, 30)
        elif pick < 0.7 and out:
            start = rng.randrange(len(out))
            out += out[start : start + rng.randint(1, 30)]
        else:
            out += [rng.choice(palette) for _ in range(rng.randint(1, 8))]
    return b"".join(unit.to_bytes(4, "little") for unit in out[:units])


@pytest.mark.parametrize("seed", range(40))
def test_pack_matches_oracle(seed):
    rng = random.Random(seed)
    # a few inputs run past the 4096-unit window, so that positions leave the tree
    units = rng.randint(4500, 7000) if seed % 10 == 0 else rng.randint(1, 400)
    data = low_entropy_pixels(rng, units)
    assert na.lzss32_pack(data) == lzss_oracle.lzss32_pack(data)


# Not for the empty input: it packs to nothing at all, which is too short to unpack.
@examples(200)
@given(st.lists(st.sampled_from([0, 0xFF000000, 0x00FFFFFF, 0x12345678, 0x92345678]),
                min_size=1, max_size=300)
       | st.lists(st.integers(0, 2**32 - 1), min_size=1, max_size=50))
def test_round_trip_sets_every_fourth_byte(units):
    data = b"".join(unit.to_bytes(4, "little") for unit in units)
    assert na.lzss32_unpack(na.lzss32_pack(data)) == with_ff(data)


# Arbitrary streams, mostly near-valid: the decoder agrees with the plain version, in its
# output or in its message.
@examples(400)
@given(st.integers(0, 80), st.binary(max_size=40))
def test_unpack_matches_oracle(unpacked_size, body):
    stream = header(unpacked_size) + body
    try:
        expected = lzss_oracle.lzss32_unpack(stream)
    except ValueError as error:
        with pytest.raises(ValueError, match=f"^{error}$"):
            na.lzss32_unpack(stream)
    else:
        assert na.lzss32_unpack(stream) == expected


# A block of 8 units found nowhere else, repeated `gap` units after its start.
@pytest.mark.parametrize(("gap", "found"), [(4095, True), (4096, False)])
def test_window_reach(gap, found):
    rng = random.Random(gap)
    block = [0xAA000000 | k for k in range(8)]
    filler = [rng.randrange(64) for _ in range(gap - len(block))]
    data = b"".join(u.to_bytes(4, "little") for u in block + filler + block)
    stream = na.lzss32_pack(data)
    assert na.lzss32_unpack(stream) == with_ff(data)
    found_tokens = lzss_oracle.tokens(stream, literal_bytes=3, min_match=1)
    assert (("ref", 4095, 8) in found_tokens) == found
    if not found:
        assert found_tokens[-8:] == [("lit", u.to_bytes(4, "little")[:3]) for u in block]


@pytest.mark.parametrize("function", [na.lzss32_pack, na.lzss32_unpack])
@pytest.mark.parametrize("bad", [bytearray(8), memoryview(bytes(8)), None, "abcd"])
def test_data_must_be_bytes(function, bad):
    with pytest.raises(TypeError, match="^argument 'data': "):
        function(bad)


# Run with the address space capped just above what the interpreter already uses: a
# header announcing 4 GiB - 1 over a tiny body must not try to reserve it, and a real
# allocation failure surfaces as MemoryError.
MEMORY_SCRIPT = """
import resource, native_accel as na
data = bytes(64 << 20)
with open("/proc/self/status") as status:
    vm = next(int(line.split()[1]) for line in status if line.startswith("VmSize")) * 1024
resource.setrlimit(resource.RLIMIT_AS, (vm + (48 << 20), resource.RLIM_INFINITY))
try:
    na.lzss32_unpack(bytes.fromhex("00000000 ffffffff 03 010203 040506"))
except ValueError as error:
    print(error)
try:
    na.lzss32_pack(data)
except MemoryError:
    print("MemoryError")
"""


@pytest.mark.address_space_limit
@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="uses RLIMIT_AS and /proc")
def test_memory_limits():
    result = run_python(MEMORY_SCRIPT)
    assert result.stdout.split("\n")[:2] == ["lzss32 eof", "MemoryError"], result.stderr
