"""nwa_decode_pcm: container checks, unit decoding, and agreement with the Python oracle."""

import math
import random
import struct
import sys

import pytest
from hypothesis import given, strategies as st

import native_accel as na
import nwa_model as model
from conftest import examples, run_python
from nwa_model import Delta, Reset, Run, Zero

# compression_level giving each effective width 3..8.
LEVEL_OF_WIDTH = {3: 2, 4: 1, 5: 0, 6: 3, 7: 4, 8: 5}


def pcm(*samples: int) -> bytes:
    return struct.pack(f"<{len(samples)}h", *samples)


def one_unit(unit: bytes, samples: int, *, channels=1, level=0, run_length=0, **fields):
    return model.nwa_file([unit], unit_samples=samples, channels=channels, level=level,
                          run_length=run_length, **fields)


def decode_both(data: bytes):
    """The native result and the oracle's, each a bytes object or a ValueError text."""
    results = []
    for decode in (na.nwa_decode_pcm, model.decode_pcm):
        try:
            results.append(decode(data))
        except ValueError as error:
            results.append(str(error))
    return results


# ---- Units ------------------------------------------------------------------------------

@pytest.mark.parametrize(
    "unit, channels, level, run_length, samples, expected",
    [
        # code 1, mantissa +3, times 8 at w = 5; then a zero code
        ("64001900", 1, 0, 0, 2, [124, 124]),
        # the same mantissa with its sign bit set
        ("64009900", 1, 0, 0, 2, [76, 76]),
        # code 7 with the escape bit: reset to 0
        ("64000f", 1, 0, 0, 2, [0, 0]),
        # code 7 at w = 3: 6-bit mantissa 1 shifted by 11, then with the sign set
        ("00001700", 1, 2, 0, 1, [2048]),
        ("00001702", 1, 2, 0, 1, [-2048]),
        # w = 8: 32767 + 16 wraps around, no clamping
        ("ff7f0b00", 1, 5, 0, 1, [-32753]),
        # zero code with repeat 1, then code 1; without run-length the flag is a mantissa bit
        ("64005802", 1, 0, 1, 4, [100, 100, 108, 108]),
        ("64005802", 1, 0, 0, 4, [100, 388, 388, 388]),
        # the run covers the right channel's first sample
        ("0a0014005802", 2, 0, 1, 4, [10, 20, 18, 20]),
        # 2-bit count 3 escapes to an 8-bit count of 5
        ("0100784102", 1, 0, 1, 8, [1, 1, 1, 1, 1, 1, 9, 9]),
        # three bytes of stereo: right starts at 0, every code reads as zero bits
        ("0a0000", 2, 0, 0, 4, [10, 0, 10, 0]),
        # empty units, too short units
        ("", 1, 0, 1, 3, [0, 0, 0]),
        ("", 2, 0, 1, 4, [0, 0, 0, 0]),
        ("05", 1, 0, 0, 2, [0, 0]),
        ("05", 2, 0, 0, 2, [0, 0]),
        ("0500", 2, 0, 0, 2, [5, 0]),
    ],
)
def test_unit_examples(unit, channels, level, run_length, samples, expected):
    data = one_unit(bytes.fromhex(unit), samples, channels=channels, level=level,
                    run_length=run_length)
    assert na.nwa_decode_pcm(data) == pcm(*expected)
    assert model.decode_pcm(data) == pcm(*expected)


def test_odd_take_leaves_last_byte_zero():
    data = one_unit(bytes.fromhex("64001900"), 4, pcm_size=5)
    assert na.nwa_decode_pcm(data) == bytes.fromhex("7c007c0000")


@pytest.mark.parametrize(
    "level, same_as",
    [(256, 2), (257, 1), (258, 0), (259, 3), (260, 4), (253, 5), (254, 5), (255, 5),
     (6, 5), (252, 5), (512, 2), (-2, 2), (-(2**31), 2), (2**31 - 1, 5)],
)
def test_levels_share_widths(level, same_as):
    rng = random.Random(level)
    units = [rng.randbytes(rng.randrange(40, 80)) for _ in range(3)]
    for run_length in (0, 1):
        fields = dict(unit_samples=64, channels=2, run_length=run_length)
        expected = na.nwa_decode_pcm(model.nwa_file(units, level=same_as, **fields))
        assert na.nwa_decode_pcm(model.nwa_file(units, level=level, **fields)) == expected
    # Level 256 reads the level-2 example as level 2 does.
    if same_as == 2:
        assert na.nwa_decode_pcm(one_unit(bytes.fromhex("00001700"), 1, level=level)) == pcm(2048)


def test_widths_differ():
    # Guards the test above: distinct widths really decode the same bits differently.
    units = [random.Random(1).randbytes(64)]
    results = {na.nwa_decode_pcm(model.nwa_file(units, level=LEVEL_OF_WIDTH[w], unit_samples=64))
               for w in range(3, 9)}
    assert len(results) == 6


# ---- The container ----------------------------------------------------------------------

SIXTY = bytes.fromhex(
    "0100 1000 00000000 00000000 00000000 02000000 08000000 00000000 00000000"
    "02000000 02000000 04000000 34000000 38000000 64001900 10009900")


def sixty(**changes) -> bytes:
    """The 60-byte two-unit file with some header fields replaced."""
    offsets = {"channels": (0, "<H"), "pcm_size": (20, "<I"), "unit_samples": (32, "<I"),
               "last_unit_size": (40, "<I")}
    data = bytearray(SIXTY)
    for name, value in changes.items():
        offset, fmt = offsets[name]
        struct.pack_into(fmt, data, offset, value)
    return bytes(data)


@pytest.mark.parametrize(
    "changes, expected",
    [
        ({}, "7c007c00f8fff8ff"),
        ({"pcm_size": 6}, "7c007c00f8ff"),
        ({"pcm_size": 7}, "7c007c00f8ff00"),
        ({"pcm_size": 12}, "7c007c00f8fff8ff00000000"),
        ({"pcm_size": 0}, ""),
        ({"unit_samples": 0}, "0000000000000000"),
        # stereo: the first unit alone fills the result, left from 100, right from 25
        ({"channels": 2, "unit_samples": 4}, "6400190064001900"),
    ],
)
def test_sixty_byte_file(changes, expected):
    assert len(SIXTY) == 60
    assert na.nwa_decode_pcm(sixty(**changes)) == bytes.fromhex(expected)


@pytest.mark.parametrize(
    "changes",
    [
        {"last_unit_size": 5},
        # the second unit's span is checked although the first one filled the result
        {"channels": 2, "unit_samples": 4, "last_unit_size": 5},
        {"pcm_size": 4, "last_unit_size": 5},
    ],
)
def test_sixty_byte_file_bad_last_span(changes):
    with pytest.raises(ValueError, match="^Invalid NWA unit offsets$"):
        na.nwa_decode_pcm(sixty(**changes))


def raw(pcm_size: int, body: bytes, **fields) -> bytes:
    return model.header(level=-1, pcm_size=pcm_size, **fields) + body


@pytest.mark.parametrize(
    "data, message",
    [
        (bytes(43), "NWA header truncated"),
        (b"", "NWA header truncated"),
        (model.header(bits_per_sample=8, channels=3), "Unsupported NWA bits_per_sample: 8"),
        (model.header(bits_per_sample=0xFFFF), "Unsupported NWA bits_per_sample: 65535"),
        (model.header(channels=0), "Unsupported NWA channels: 0"),
        (model.header(channels=0xFFFF), "Unsupported NWA channels: 65535"),
        (model.header(channels=3, level=-1), "Unsupported NWA channels: 3"),
        (raw(4, bytes(3)), "NWA raw PCM truncated"),
        (raw(0xFFFFFFFF, bytes(100)), "NWA raw PCM truncated"),
        (model.header(unit_count=3) + bytes(11), "NWA table truncated"),
        (model.header(unit_count=0xFFFFFFFF, pcm_size=0xFFFFFFFF), "NWA table truncated"),
        # a non-last unit whose successor starts before it
        (model.header(unit_count=2, pcm_size=8, unit_samples=2, last_unit_samples=2)
         + struct.pack("<II", 53, 52) + bytes(8), "Invalid NWA unit offsets"),
        # a last unit running past the input
        (model.header(unit_count=1, pcm_size=8, last_unit_samples=4, last_unit_size=5)
         + struct.pack("<I", 48) + bytes(4), "Invalid NWA unit offsets"),
        # a start past the input, even with an empty unit
        (model.header(unit_count=1, pcm_size=2, last_unit_samples=1)
         + struct.pack("<I", 49), "Invalid NWA unit offsets"),
        # an end beyond 32 bits: no wrap-around
        (model.header(unit_count=1, pcm_size=2, last_unit_samples=1,
                      last_unit_size=0xFFFFFFFF) + struct.pack("<I", 0xFFFFFFFF),
         "Invalid NWA unit offsets"),
    ],
)
def test_errors(data, message):
    with pytest.raises(ValueError) as raised:
        na.nwa_decode_pcm(data)
    assert str(raised.value) == message
    assert type(raised.value) is ValueError


@pytest.mark.parametrize("channels", [1, 2])
def test_raw_pcm_ignores_every_other_field(channels):
    fields = dict(channels=channels, unit_count=0xFFFFFFFF, unit_samples=7, last_unit_size=9)
    assert na.nwa_decode_pcm(raw(4, b"abcd", **fields)) == b"abcd"
    assert na.nwa_decode_pcm(raw(4, b"abcdef", **fields)) == b"abcd"
    assert na.nwa_decode_pcm(raw(0, b"")) == b""


def test_level_minus_two_is_compressed():
    assert na.nwa_decode_pcm(model.header(level=-2, pcm_size=4)) == bytes(4)


def test_no_units_gives_zeros_without_reading_on():
    assert na.nwa_decode_pcm(model.header(pcm_size=6)) == bytes(6)


def test_table_of_three_complete_at_56_bytes():
    data = model.header(unit_count=3, pcm_size=4, unit_samples=1) + struct.pack("<3I", 56, 56, 56)
    assert len(data) == 56
    assert na.nwa_decode_pcm(data) == bytes(4)


def three_units(third_start: int, last_unit_size: int) -> bytes:
    # 58 bytes; pcm_size 4 is filled by the first unit, [56, 58), two samples of 100.
    head = model.header(unit_count=3, pcm_size=4, unit_samples=2, last_unit_samples=2,
                        last_unit_size=last_unit_size)
    return head + struct.pack("<3I", 56, 58, third_start) + pcm(100)


@pytest.mark.parametrize(
    "third_start, last_unit_size, expected",
    [
        (58, 0, pcm(100, 100)),
        (57, 0, "Invalid NWA unit offsets"),  # the second unit ends before it starts
        (59, 0, "Invalid NWA unit offsets"),  # the second unit ends past the input
        (58, 1, pcm(100, 100)),  # the third unit's bad span is never reached
    ],
)
def test_units_after_the_full_result(third_start, last_unit_size, expected):
    assert decode_both(three_units(third_start, last_unit_size)) == [expected, expected]


def test_zero_sample_unit_ends_decoding():
    units = [model.write_unit([7], [Delta(1, 1)] * 4, 5, False)] * 3
    data = model.nwa_file(units, unit_samples=0, last_unit_samples=4, pcm_size=16)
    assert na.nwa_decode_pcm(data) == bytes(16)


def test_argument_must_be_bytes():
    class Blob(bytes):
        pass

    assert na.nwa_decode_pcm(data=Blob(SIXTY)) == bytes.fromhex("7c007c00f8fff8ff")
    with pytest.raises(TypeError, match="^argument 'data': 'bytearray' object is not an "
                                        "instance of 'bytes'$"):
        na.nwa_decode_pcm(bytearray(SIXTY))


@pytest.mark.address_space_limit
@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs RLIMIT_AS")
def test_unallocatable_result_raises_memory_error():
    # 4 GiB - 1 of PCM under a 1 GiB address space: MemoryError, no partial result.
    done = run_python(
        "import resource, native_accel\n"
        "resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))\n"
        f"data = {model.header(pcm_size=0xFFFFFFFF)!r}\n"
        "try:\n"
        "    native_accel.nwa_decode_pcm(data)\n"
        "except MemoryError:\n"
        "    print('MemoryError')\n"
    )
    assert done.stdout.strip() == "MemoryError", done.stderr


# ---- Units written from chosen codes ----------------------------------------------------

def every_code(w: int) -> list:
    """Deltas of every code with extreme and small steps of both signs, resets, zeros and
    runs with 2-bit and 8-bit counts."""
    ops = []
    for code in range(1, 8):
        limit = (1 << (model.mantissa_layout(w, code)[0] - 1)) - 1
        ops += [Delta(code, limit), Delta(code, -limit), Delta(code, 1), Delta(code, -1),
                Delta(code, 0)]
    ops += [Reset(), Delta(7, 5), Zero(), Run(0), Run(1), Run(2), Run(3), Run(4), Zero(),
            Reset(), Run(200), Delta(2, -3), Run(255), Delta(6, 1)]
    return ops


@pytest.mark.parametrize("w", range(3, 9))
@pytest.mark.parametrize("channels", [1, 2])
@pytest.mark.parametrize("unit_samples", [1000, 999])
def test_every_code_in_multi_unit_files(w, channels, unit_samples):
    rng = random.Random(w * 10 + channels)
    ops = every_code(w)
    units, expected = [], []
    for _ in range(4):
        rng.shuffle(ops)
        starts = [rng.randrange(-32768, 32768) for _ in range(channels)]
        units.append(model.write_unit(starts, ops, w, True))
        expected += model.intended_samples(starts, ops, w, unit_samples)
    # The last unit is cut short by pcm_size, in the middle of a run or a code.
    data = model.nwa_file(units, channels=channels, level=LEVEL_OF_WIDTH[w], run_length=1,
                          unit_samples=unit_samples, pcm_size=2 * len(expected) - 301)
    expected_pcm = pcm(*expected)[: 2 * len(expected) - 301]
    assert na.nwa_decode_pcm(data) == expected_pcm[:-1] + b"\0"
    assert model.decode_pcm(data) == expected_pcm[:-1] + b"\0"


@pytest.mark.parametrize("channels", [1, 2])
def test_runs_end_with_their_unit(channels):
    # A run of 255 near the end of a unit: the next unit starts afresh with left.
    ops = [Delta(1, 1)] * 3 + [Run(255)]
    first = model.write_unit([10] * channels, ops, 5, True)
    second = model.write_unit([-10] * channels, [Delta(1, -1)] * 8, 5, True)
    data = model.nwa_file([first, second], channels=channels, run_length=1, unit_samples=7,
                          last_unit_samples=8)
    expected = (model.intended_samples([10] * channels, ops, 5, 7)
                + model.intended_samples([-10] * channels, [Delta(1, -1)] * 8, 5, 8))
    assert na.nwa_decode_pcm(data) == pcm(*expected)
    assert expected[7] == -18  # the second unit's first code applies to its left value


# ---- Agreement with the oracle ----------------------------------------------------------

@pytest.mark.parametrize("w", range(3, 9))
@pytest.mark.parametrize("channels", [1, 2])
@pytest.mark.parametrize("run_length", [0, 1])
def test_random_bits_match_oracle(w, channels, run_length):
    rng = random.Random(f"{w}{channels}{run_length}")
    for _ in range(6):
        unit_samples = rng.randrange(1, 700)
        units = [rng.randbytes(rng.randrange(0, 3 * unit_samples // 2)) for _ in range(3)]
        pcm_size = rng.choice([2 * unit_samples * 3, rng.randrange(0, 8 * unit_samples)])
        data = model.nwa_file(units, channels=channels, level=LEVEL_OF_WIDTH[w],
                              run_length=run_length, unit_samples=unit_samples,
                              last_unit_samples=rng.randrange(0, 900), pcm_size=pcm_size)
        native, oracle = decode_both(data)
        assert native == oracle
        assert len(native) == pcm_size


@pytest.mark.parametrize("channels", [1, 2])
@pytest.mark.parametrize("level, run_length", [(0, True), (0, False), (2, True), (5, False)])
def test_encoded_audio_matches_oracle_and_source(channels, level, run_length):
    frames = 1500
    rng = random.Random(channels)
    source = []
    for i in range(frames):
        tone = 9000 * math.sin(i / 9) if i < 1000 else 0  # a tone, then silence
        for c in range(channels):
            source.append(int(tone * (1 - 0.4 * c) + rng.gauss(0, 40 if i < 1000 else 0)))
    data = model.encode_pcm(source, channels=channels, level=level, run_length=run_length,
                            unit_samples=512 * channels)
    decoded = na.nwa_decode_pcm(data)
    assert decoded == model.decode_pcm(data)
    samples = struct.unpack(f"<{len(source)}h", decoded)
    # The encoder tracks the source (so these files exercise real code mixes) ...
    assert max(abs(a - b) for a, b in zip(samples, source)) < 600
    # ... and codes the 500 silent frames in a few bytes of runs when runs are on.
    if run_length:
        without = model.encode_pcm(source, channels=channels, level=level, run_length=False,
                                   unit_samples=512 * channels)
        assert len(data) < len(without) - 500 * channels * 3 // 8 + 40


# ---- Malformed files --------------------------------------------------------------------

def mostly(common, *rare):
    """Mostly one of `common`, sometimes one of `rare`, so that most files get far."""
    return st.integers(0, 99).flatmap(
        lambda roll: st.sampled_from(rare if roll >= 85 else common))


small_or_edge = st.one_of(st.integers(0, 300), st.integers(0, 300), st.integers(0, 2**32 - 1),
                          st.sampled_from([0x7FFFFFFF, 0x80000000, 0xFFFFFFFF]))


@st.composite
def malformed_files(draw):
    unit_count = draw(mostly([0, 1, 2, 3, 4, 5, 6], 0xFFFFFFFF, 0x40000000))
    entries = min(unit_count, 6)
    body = draw(st.binary(max_size=400))
    end = 44 + 4 * entries + len(body)
    head = model.HEADER.pack(
        draw(mostly([1, 2], 0, 3, 0xFFFF)),
        draw(mostly([16], 8, 0, 0xFFFF)),
        draw(st.integers(0, 2**32 - 1)),
        draw(mostly([0, 1, 2, 3, 4, 5], -1, -2, 256, 253, 2**31 - 1, -(2**31))),
        draw(st.sampled_from([0, 1, 0xFFFFFFFF])),
        unit_count,
        draw(st.integers(0, 3000)),  # pcm_size: kept small, it is allocated up front
        0, 0,
        draw(small_or_edge), draw(small_or_edge), draw(small_or_edge),
    )
    offsets = sorted(draw(st.lists(st.integers(44, end), min_size=entries, max_size=entries)))
    if draw(st.booleans()):  # disturb the order or the range now and then
        offsets = [draw(st.sampled_from([o, o, o, o - 3, o + 50, 0xFFFFFFFF])) for o in offsets]
    data = head + b"".join(struct.pack("<I", max(0, o) & 0xFFFFFFFF) for o in offsets) + body
    return data[: draw(st.integers(0, len(data)))] if draw(st.integers(0, 99)) >= 80 else data


@examples(400)
@given(malformed_files())
def test_malformed_files_raise_only_the_six_messages(data):
    native, oracle = decode_both(data)
    assert native == oracle
    if isinstance(native, str):
        assert native.startswith(model.MESSAGES)
