"""Calls of every module function, shared by the leak and the concurrency tests.

`GOOD_CALLS` holds representative successful calls (with inputs of kilobytes, so that a
work buffer kept by mistake on every call shows in the resident memory); `ERROR_CALLS` holds every way a call
can fail: each parser error, each wrong type or out-of-range value of each parameter kind,
exceptions raised from inside a conversion, and every message a body can return. Both are
generated for the whole catalogue; a function that this build does not export yet is
skipped by the tests (with its name in the reason), never passed silently.
"""

from __future__ import annotations

import random
import struct
from dataclasses import dataclass
from typing import Any, Callable

import native_accel as na

WORK_SIZE = 1 << 14  # 16 KiB inputs and results


def _text(size: int, seed: int) -> bytes:
    """Word-like bytes that an LZ encoder finds matches in."""
    rng = random.Random(seed)
    words = [bytes(rng.choice(b"etaoinshrdlu") for _ in range(rng.randint(2, 9))) for _ in range(60)]
    out = bytearray()
    while len(out) < size:
        out += rng.choice(words) + b" "
    return bytes(out[:size])


TEXT = _text(WORK_SIZE, 1)


def lzss_stream(body: bytes, unpacked_size: int) -> bytes:
    return struct.pack("<II", 8 + len(body), unpacked_size) + body


def lzss_groups(total: int) -> bytes:
    """A hand-made stream of `total` bytes: groups of one literal and seven 17-byte runs."""
    body = bytearray()
    produced = 0
    letter = 0
    while produced < total:
        body += bytes([0x01, 0x61 + letter % 26]) + bytes([0x1F, 0x00]) * 7
        produced += 1 + 7 * 17
        letter += 1
    return lzss_stream(bytes(body), total)


def lzss32_runs(total: int) -> bytes:
    """A 4-byte-unit stream of `total` bytes: a literal and seven 16-unit copies per group."""
    group = bytes([0x01, 1, 2, 3]) + bytes([0x1F, 0x00]) * 7
    groups = -(-total // (4 + 7 * 64))
    return struct.pack("<II", 0, total) + group * groups


def lzss32_literals(units: list[bytes], unpacked_size: int | None = None) -> bytes:
    """A 4-byte-unit stream of literals only (3 stored bytes each)."""
    body = bytearray()
    for g in range(0, len(units), 8):
        group = units[g : g + 8]
        body.append((1 << len(group)) - 1)
        for unit in group:
            body += unit[:3]
    size = 4 * len(units) if unpacked_size is None else unpacked_size
    return lzss_stream(bytes(body), size)


def nwa_file(
    *,
    channels: int = 1,
    bits: int = 16,
    level: int = 0,
    run_length: int = 0,
    units: list[bytes] = (),
    pcm_size: int | None = None,
    unit_samples: int = 0,
    last_unit_samples: int | None = None,
    last_unit_size: int | None = None,
    table: list[int] | None = None,
    raw_pcm: bytes | None = None,
) -> bytes:
    """An NWA file: the 44-byte header, then raw PCM or the offset table and the units."""
    units = list(units)
    if raw_pcm is not None:
        size = len(raw_pcm) if pcm_size is None else pcm_size
        header = struct.pack("<HHiiiIIiiIII", channels, bits, 0, -1, 0, 0, size, 0, 0, 0, 0, 0)
        return header + raw_pcm
    offsets = []
    position = 44 + 4 * len(units)
    for unit in units:
        offsets.append(position)
        position += len(unit)
    if table is not None:
        offsets = table
    last_samples = unit_samples if last_unit_samples is None else last_unit_samples
    last_size = len(units[-1]) if units and last_unit_size is None else (last_unit_size or 0)
    size = pcm_size if pcm_size is not None else 2 * unit_samples * len(units)
    header = struct.pack(
        "<HHiiiIIiiIII", channels, bits, 0, level, run_length, len(offsets), size, 0, 0,
        unit_samples, last_samples, last_size,
    )
    return header + struct.pack(f"<{len(offsets)}I", *offsets) + b"".join(units)


def _nwa_units(count: int, samples: int, seed: int) -> list[bytes]:
    rng = random.Random(seed)
    return [rng.randbytes(samples) for _ in range(count)]


NWA_STEREO = nwa_file(
    channels=2, level=1, run_length=1, units=_nwa_units(8, 1024, 3), unit_samples=1024,
)


def layout_of(seed: int, sizes: list[int]) -> list[tuple[int, int]]:
    """The (offset, size) pairs that the shuffle from `seed` lays the items out at (offsets
    wrap as 32-bit values and are given as the signed ones the search takes)."""
    order = list(range(len(sizes)))
    na.msvcrand_shuffle_inplace(seed, order)
    offsets = [0] * len(sizes)
    position = 0
    for item in order:
        offsets[item] = position - (1 << 32) if position >= 1 << 31 else position
        position = (position + max(sizes[item], 0)) & 0xFFFFFFFF
    return list(zip(offsets, sizes))


# Searches that last. The search solves for the matching seeds of layouts whose positive
# sizes sum below 2**32 and finishes within a second; it tests seed after seed only where
# they wrap, as all of these do.
# Every item expects offset 1, where no item can open the layout: no seed matches, and a
# search runs through all 2**32 seeds (many minutes, even on several workers) unless
# interrupted.
LASTING_SEARCH = [(1, 2**31 - 1)] * 300
# Sixteen distinct sizes: another seed lays them out alike with odds of 1 in 16!, so a
# search for the layout of one seed finds that seed, after as many seeds as it starts below
# it (tens of millions a second on one worker).
SCANNED_SIZES = [2**31 - 1 - 17 * k for k in range(16)]


# Layout whose shuffle from seed 1 is known: sizes [10, 20, 30, 40, 50] land at these offsets.
SEED1_TARGET = [(140, 10), (50, 20), (110, 30), (70, 40), (0, 50)]


@dataclass(frozen=True)
class Call:
    """One call: `make()` builds fresh arguments; `inplace` names the argument it changes."""

    function: str
    what: str
    make: Callable[[], tuple[tuple, dict]]
    inplace: int | None = None  # the position of the bytearray or list the call changes
    error: type[BaseException] | None = None
    message: str | None = None

    @property
    def id(self) -> str:
        return f"{self.function}-{self.what}"

    def available(self) -> bool:
        return hasattr(na, self.function)

    def invoke(self, args: tuple, kwargs: dict) -> Any:
        return getattr(na, self.function)(*args, **kwargs)

    def inplace_value(self, args: tuple, kwargs: dict) -> Any:
        if self.inplace is None or self.inplace >= len(args):
            return None  # nothing changed in place, or not passed (the missing-arguments case)
        value = args[self.inplace]
        if isinstance(value, bytearray):
            return bytes(value)
        return list(value) if isinstance(value, list) else None  # a wrong-type stand-in


def _positional(*args: Any) -> Callable[[], tuple[tuple, dict]]:
    """Arguments given by position; bytearrays and lists are copied on every make()."""

    def make() -> tuple[tuple, dict]:
        return tuple(type(a)(a) if isinstance(a, (bytearray, list)) else a for a in args), {}

    return make


# ---- Successful calls --------------------------------------------------------------------

_TILE_DST = bytearray(range(256)) * (WORK_SIZE // 256)
_TILE_SRC = bytes(255 - b for b in _TILE_DST)
_TILE_MASK = bytes(random.Random(5).randbytes(5 * 3))

GOOD_CALLS = [
    # The encoders take 4 KiB or less: their search costs microseconds per byte.
    Call("lzss_pack", "text", _positional(TEXT[:4096])),
    Call("lzss_pack", "suppressed-tail", _positional(TEXT[:2048], True)),
    Call("lzss_pack_level", "level-5", _positional(TEXT[:4096], 5)),
    Call("lzss_pack_level", "level-2-suppressed", _positional(TEXT[:3000], 2, True)),
    Call("lzss_unpack", "runs", _positional(lzss_groups(WORK_SIZE))),
    Call("lzss_unpack", "truncated", _positional(lzss_groups(WORK_SIZE)[:-5])),
    Call("lzss32_pack", "units", _positional(TEXT[:8192])),
    Call("lzss32_unpack", "literals",
         _positional(lzss32_literals([TEXT[i : i + 4] for i in range(0, WORK_SIZE, 4)]))),
    Call("xor_cycle_inplace", "short-key", _positional(bytearray(TEXT), b"\x13\x37\x42", 5), 0),
    Call("xor_cycle_inplace", "long-key-wrap",
         _positional(bytearray(TEXT), TEXT[:300], 2**64 - 1000), 0),
    Call("md5_digest", "text", _positional(TEXT)),
    Call("nwa_decode_pcm", "stereo", _positional(NWA_STEREO)),
    Call("nwa_decode_pcm", "raw", _positional(nwa_file(raw_pcm=TEXT))),
    Call("tile_copy", "tile-5x3",
         _positional(_TILE_DST, _TILE_SRC, 64, 64, _TILE_MASK, 5, 3, -7, 2, False, 100), 0),
    Call("tile_copy", "wide-rev",
         _positional(_TILE_DST, _TILE_SRC, 128, 32, TEXT[:200], 100, 2, 3, 0, True, 0x68), 0),
    Call("msvcrand_shuffle_inplace", "list", _positional(12345, [str(i) for i in range(500)]), 1),
    Call("find_shuffle_seed_first", "single-entry", _positional([(5, 3)], 7, None, None, None)),
    # Below the size from which a body lets go of the interpreter lock, and (for the in-place
    # writers, whose threshold is higher) above it: both paths must stay flat.
    Call("lzss_pack", "short-locked", _positional(TEXT[:100])),
    Call("lzss_unpack", "short-locked", _positional(lzss_groups(1000))),
    Call("md5_digest", "short-locked", _positional(TEXT[:64])),
    Call("xor_cycle_inplace", "unlocked", _positional(bytearray(TEXT) * 4, TEXT[:7], 9), 0),
    Call("tile_copy", "unlocked",
         _positional(_TILE_DST * 4, _TILE_SRC * 4, 128, 128, _TILE_MASK, 5, 3, 2, 1, True, 50), 0),
]


# ---- Failing calls -----------------------------------------------------------------------

class RaisingIndex:
    """An integer stand-in whose __index__ fails: the exception must pass through."""

    def __index__(self) -> int:
        raise ZeroDivisionError("index failed")


class RaisingFloat:
    def __float__(self) -> float:
        raise ZeroDivisionError("float failed")


class FailingSequence:
    """A sequence whose iteration fails after one good pair."""

    def __len__(self) -> int:
        return 3

    def __getitem__(self, index: int) -> tuple[int, int]:
        if index == 0:
            return (1, 2)
        raise ZeroDivisionError("iteration failed")


# Bad values per parameter kind, with the exception each must raise.
_BAD_VALUES: dict[str, list[tuple[str, Callable[[], Any], type[BaseException]]]] = {
    "bytes": [
        ("bytearray", lambda: bytearray(b"ab"), TypeError),
        ("memoryview", lambda: memoryview(b"ab"), TypeError),
        ("None", lambda: None, TypeError),
    ],
    "bytearray": [("bytes", lambda: b"ab", TypeError), ("None", lambda: None, TypeError)],
    "u64": [
        ("negative", lambda: -1, OverflowError),
        ("2**64", lambda: 2**64, OverflowError),
        ("float", lambda: 1.0, TypeError),
        ("raising-index", RaisingIndex, ZeroDivisionError),
    ],
    "u32": [
        ("2**32", lambda: 2**32, OverflowError),
        ("2**64", lambda: 2**64, OverflowError),
        ("negative", lambda: -1, OverflowError),
        ("str", lambda: "1", TypeError),
    ],
    "i32": [
        ("2**31", lambda: 2**31, OverflowError),
        ("below", lambda: -(2**31) - 1, OverflowError),
        ("float", lambda: 2.0, TypeError),
        ("raising-index", RaisingIndex, ZeroDivisionError),
    ],
    "u8": [("256", lambda: 256, OverflowError), ("negative", lambda: -1, OverflowError)],
    "flag": [("int", lambda: 1, TypeError), ("None", lambda: None, TypeError)],
    "list": [("tuple", lambda: (1, 2), TypeError), ("None", lambda: None, TypeError)],
    "pairs": [
        ("str", lambda: "ab", TypeError),
        ("int", lambda: 5, TypeError),
        ("None", lambda: None, TypeError),
        ("triple", lambda: [(1, 2), (1, 2, 3)], ValueError),
        ("list-item", lambda: [(1, 2), [1, 2]], TypeError),
        ("overflow", lambda: [(1, 2), (1, 2**31)], OverflowError),
        ("float-item", lambda: [(1, 2.5)], TypeError),
        ("failing-iteration", FailingSequence, ZeroDivisionError),
    ],
    "opt_float": [("str", lambda: "x", TypeError), ("raising-float", RaisingFloat, ZeroDivisionError)],
}
_BAD_VALUES["opt_u64"] = _BAD_VALUES["u64"]
_BAD_VALUES["opt_u32"] = _BAD_VALUES["u32"]

# Every function's parameters with their kinds and a valid value for each.
_SIGNATURES: dict[str, list[tuple[str, str, Any]]] = {
    "lzss_pack": [("data", "bytes", TEXT[:512]), ("suppress_empty_tail_group", "flag", False)],
    "lzss_pack_level": [
        ("data", "bytes", TEXT[:512]), ("level", "u64", 9),
        ("suppress_empty_tail_group", "flag", True),
    ],
    "lzss_unpack": [("data", "bytes", lzss_groups(512))],
    "lzss32_pack": [("data", "bytes", TEXT[:512])],
    "lzss32_unpack": [("data", "bytes", lzss32_literals([b"abcd"] * 8))],
    "xor_cycle_inplace": [
        ("data", "bytearray", bytearray(TEXT[:512])), ("code", "bytes", b"key"), ("start", "u64", 3),
    ],
    "md5_digest": [("data", "bytes", TEXT[:512])],
    "nwa_decode_pcm": [("data", "bytes", NWA_STEREO)],
    "tile_copy": [
        ("dst", "bytearray", bytearray(_TILE_DST[:1024])), ("src", "bytes", _TILE_SRC[:1024]),
        ("bx", "u64", 16), ("by", "u64", 16), ("mask", "bytes", _TILE_MASK), ("tx", "u64", 5),
        ("ty", "u64", 3), ("repx", "i32", 1), ("repy", "i32", -1), ("rev", "flag", False),
        ("lim", "u8", 100),
    ],
    "msvcrand_shuffle_inplace": [("state", "u32", 1), ("a", "list", [str(i) for i in range(50)])],
    "find_shuffle_seed_first": [
        ("target_idx", "pairs", SEED1_TARGET), ("seed0", "u32", 1), ("workers", "opt_u64", 1),
        ("chunk", "opt_u32", None), ("progress_iv", "opt_float", 0.0),
    ],
}

_INPLACE = {"xor_cycle_inplace": 0, "tile_copy": 0, "msvcrand_shuffle_inplace": 1}


def _argument_errors() -> list[Call]:
    calls = []
    for function, params in _SIGNATURES.items():
        good = [value for _, _, value in params]
        first_name = params[0][0]
        inplace = _INPLACE.get(function)
        parser_cases = {
            "too-many-positional": lambda good=good: (tuple(good) + (None,), {}),
            "unexpected-keyword": lambda good=good: (tuple(good), {"no_such_parameter": 1}),
            "duplicate-value": lambda good=good, n=first_name: (tuple(good), {n: good[0]}),
            "missing": lambda: ((), {}),
        }
        for what, make in parser_cases.items():
            calls.append(Call(function, what, _fresh(make), inplace, TypeError))
        for position, (name, kind, _) in enumerate(params):
            for label, bad, error in _BAD_VALUES[kind]:

                def make(good=good, position=position, bad=bad):
                    args = list(good)
                    args[position] = bad()
                    return tuple(args), {}

                calls.append(Call(function, f"{name}-{label}", _fresh(make), inplace, error))
    return calls


def _fresh(make: Callable[[], tuple[tuple, dict]]) -> Callable[[], tuple[tuple, dict]]:
    """Copies the mutable arguments of make()'s result, so that each test starts clean."""

    def fresh() -> tuple[tuple, dict]:
        args, kwargs = make()
        copy = lambda a: type(a)(a) if isinstance(a, (bytearray, list)) else a  # noqa: E731
        return tuple(copy(a) for a in args), {k: copy(v) for k, v in kwargs.items()}

    return fresh


def _body_error(function: str, what: str, data: bytes, message: str) -> Call:
    return Call(function, what, _positional(data), None, ValueError, message)


def _h(size: int) -> bytes:
    return struct.pack("<II", 0, size)


_NWA_GOOD = dict(units=[b"\x64\x00\x19\x00", b"\x10\x00\x99\x00"], unit_samples=2, pcm_size=8)

BODY_ERRORS = [
    _body_error("lzss32_pack", "odd-size", TEXT[:4095], "lzss32: source size is not a multiple of 4"),
    _body_error("lzss32_unpack", "short", b"\x00" * 7, "lzss32 short"),
    _body_error("lzss32_unpack", "eof-group", lzss32_literals([b"abcd"] * 8, 36), "lzss32 eof"),
    _body_error("lzss32_unpack", "eof-literal", _h(8) + b"\x01\x01\x02", "lzss32 eof"),
    _body_error("lzss32_unpack", "eof-reference", _h(8) + b"\x01\x01\x02\x03\x10", "lzss32 eof"),
    _body_error("lzss32_unpack", "off0", _h(8) + b"\x01\x01\x02\x03\x00\x00", "lzss32 off0"),
    _body_error("lzss32_unpack", "back", _h(8) + b"\x00\x10\x00", "lzss32 back"),
    # A long partial output before the failure: a leak of it would show in the memory.
    _body_error("lzss32_unpack", "eof-after-16k",
                lzss32_literals([b"abcd"] * 4096, WORK_SIZE + 4), "lzss32 eof"),
    _body_error("nwa_decode_pcm", "header", b"\x01" * 43, "NWA header truncated"),
    _body_error("nwa_decode_pcm", "bits", nwa_file(bits=8, **_NWA_GOOD),
                "Unsupported NWA bits_per_sample: 8"),
    _body_error("nwa_decode_pcm", "channels", nwa_file(channels=3, **_NWA_GOOD),
                "Unsupported NWA channels: 3"),
    _body_error("nwa_decode_pcm", "raw", nwa_file(raw_pcm=b"\x00" * 3, pcm_size=4),
                "NWA raw PCM truncated"),
    _body_error("nwa_decode_pcm", "table", nwa_file(**_NWA_GOOD)[:50], "NWA table truncated"),
    _body_error("nwa_decode_pcm", "offsets", nwa_file(last_unit_size=5, **_NWA_GOOD),
                "Invalid NWA unit offsets"),
    # The result buffer is allocated before the bad span is met: it must be released.
    _body_error("nwa_decode_pcm", "offsets-after-alloc",
                nwa_file(units=[b"\x00"] * 3, unit_samples=1, pcm_size=WORK_SIZE * 4,
                         last_unit_size=9),
                "Invalid NWA unit offsets"),
]

ERROR_CALLS = _argument_errors() + BODY_ERRORS
