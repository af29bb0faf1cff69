"""Inputs aimed at what the encoders' search tree keeps beside the tree itself: each slot's
first word (8 bytes or 2 pixels) and, per prefix group, its top node and size. A value kept
stale by a replacement, a removal with two children, a slot reused across the window's edge,
a run of one unit or a key shorter than a word at the end of the input changes the parse.
Every case is compared with the plain Python encoder at levels 0 to 18 and 2**64 - 1 (eight
of them under the sanitizer), and checked to contain the event it is aimed at (counted on
the plain encoder's tree)."""

import random

import pytest

import lzss_oracle
import native_accel as na
from conftest import SANITIZED

# Under the sanitizer, whose slow allocator makes the plain Python encoder the cost of
# this file, the levels that bound the match length's range and two in between.
LEVELS = ([0, 1, 2, 9, 16, 17, 18, 2**64 - 1] if SANITIZED
          else [*range(19), 2**64 - 1])


def text(rng, n):
    """Words of a small vocabulary: many keys sharing their first two bytes."""
    words = ["".join(rng.choice("abcdefgh") for _ in range(rng.randint(1, 7))) for _ in range(30)]
    out = bytearray()
    while len(out) < n:
        out += rng.choice(words).encode() + rng.choice([b" ", b" ", b".", b"\n"])
    return bytes(out[:n])


def pixels(units):
    return b"".join(unit.to_bytes(4, "little") for unit in units)


# ---- The byte encoder ----------------------------------------------------------------------

BYTE_CASES = {
    # Text, then a run long enough that its positions replace one another in slots that
    # held text keys, then text again compared against those nodes.
    "replacement over old slots": lambda rng: text(rng, 4500) + b"t" * 5000 + text(rng, 3000),
    # Stretches of text and of random bytes past two windows: many nodes leave the window
    # with two children (at every level: most 2-byte keys of the noise occur once), and the
    # node lifted into their place often heads a group of its own.
    "removal with two children": lambda rng: b"".join(
        text(rng, 500) + rng.randbytes(500) for _ in range(10)),
    # A block found nowhere else, said again 4095 bytes later (in reach) and 4096 bytes
    # later (out of reach), its slots reused in between.
    "window edge 4095": lambda rng: edge(rng, 4095),
    "window edge 4096": lambda rng: edge(rng, 4096),
    # One byte over and over: every position replaces the one before at every level.
    "run of one byte": lambda rng: b"\x00" * 9000,
    # Zero bytes, then an ending equal to the start of a zero-padded word: the last keys are
    # shorter than a word and pad with zeros, which must not match.
    "short key at the end": lambda rng: b"ab\x00\x00\x00\x00\x00\x00" * 600 + b"ab\x00\x00\x00ab",
    # The ends of a group: a prefix whose nodes all leave the window, then come back.
    "group emptied and refilled": lambda rng: (b"qz" + text(rng, 300)) * 3 + text(rng, 8000)
    + b"qz" * 40,
}


def edge(rng, gap):
    block = bytes(rng.sample(range(0xF0, 0x100), 16))
    filler = text(rng, gap - len(block))
    return text(rng, 2000) + block + filler + block + text(rng, 1000)


class CountingTree(lzss_oracle.SearchTree):
    """The plain encoder's tree, counting same-key replacements and two-child removals."""

    events = None
    deleting = False

    def replace(self, e, d):
        if not self.deleting:
            CountingTree.events["replacements"] += 1
        super().replace(e, d)

    def delete(self, s):
        if self.parent[s] != lzss_oracle.NO_NODE and lzss_oracle.NO_NODE not in (
            self.left[s], self.right[s]
        ):
            CountingTree.events["two children"] += 1
        outer, self.deleting = self.deleting, True
        super().delete(s)
        self.deleting = outer


@pytest.fixture
def counted(monkeypatch):
    """The plain encoders, run on a tree that counts; returns the counts of the last run."""
    CountingTree.events = {"replacements": 0, "two children": 0}
    monkeypatch.setattr(lzss_oracle, "SearchTree", CountingTree)
    return CountingTree.events


@pytest.mark.parametrize("level", LEVELS)
@pytest.mark.parametrize("case", BYTE_CASES)
def test_byte_cases(case, level, counted):
    data = BYTE_CASES[case](random.Random(case))
    suppress = level % 2 == 1
    expected = lzss_oracle.lzss_pack_level(data, level, suppress)
    assert na.lzss_pack_level(data, level, suppress) == expected
    if case == "replacement over old slots":
        assert counted["replacements"] > 1000
    elif case == "removal with two children":
        assert counted["two children"] > 10
    elif case == "run of one byte":
        assert counted["replacements"] > len(data) // 20


# The bytes at the edge of the window are what decides a case there: in reach, the block
# is one reference 4095 back (levels 16 up); out of reach, it is 16 literals.
@pytest.mark.parametrize(("gap", "found"), [(4095, True), (4096, False)])
def test_window_edge_reference(gap, found):
    stream = na.lzss_pack(BYTE_CASES[f"window edge {gap}"](random.Random(f"window edge {gap}")))
    references = [t for t in lzss_oracle.tokens(stream) if t[0] == "ref"]
    assert (("ref", 4095, 16) in references) == found
    assert all(distance < 4096 for _, distance, _ in references)


# ---- The 4-byte-unit encoder ---------------------------------------------------------------

UNIT_CASES = {
    # Flat areas between gradients, past the window: groups of one pixel, long one-sided
    # chains, replacements.
    "gradient and flat": lambda rng: pixels(
        [(x // 3) | (y << 8) | 0xFF000000 for y in range(12) for x in range(300)]
        + [0x00808080] * 2000
        + [(x // 5) << 16 | 0x7F000000 for x in range(3000)]
    ),
    # Pixels that differ only in their fourth byte, the most significant of the unit.
    "fourth byte": lambda rng: pixels(rng.choice([0x00102030, 0x80102030, 0xFF102030, 0x7F102030])
                                      for _ in range(6000)),
    # One pixel over and over.
    "run of one pixel": lambda rng: pixels([0x11223344] * 9000),
    # A block found nowhere else, 4095 and 4096 units after itself.
    "window edge": lambda rng: pixels(
        [0xAA000000 | k for k in range(8)] + [rng.randrange(64) for _ in range(4087)]
        + [0xAA000000 | k for k in range(8)] + [rng.randrange(64) for _ in range(1)]
        + [0xAA000000 | k for k in range(8)]
    ),
    # Zero pixels, then an ending shorter than a word of two pixels that equals a padded one.
    "short key at the end": lambda rng: pixels([7, 0] * 3000 + [7]),
    # Text read as pixels: many small groups, removals of every shape.
    "text as pixels": lambda rng: text(rng, 40000),
}


@pytest.mark.parametrize("case", UNIT_CASES)
def test_unit_cases(case, counted):
    data = UNIT_CASES[case](random.Random(case))
    assert len(data) % 4 == 0
    assert na.lzss32_pack(data) == lzss_oracle.lzss32_pack(data)
    if case in ("run of one pixel", "gradient and flat"):
        assert counted["replacements"] > 1000
    if case == "text as pixels":
        assert counted["two children"] > 100


# Every length shorter than a word from the end, every level: the padded keys of the last
# positions decide nothing.
@pytest.mark.parametrize("length", range(1, 10))
def test_short_inputs(length):
    rng = random.Random(length)
    for _ in range(20):
        data = bytes(rng.choice(b"\x00a") for _ in range(length))
        for level in LEVELS:
            assert na.lzss_pack_level(data, level) == lzss_oracle.lzss_pack_level(data, level)
        units = data[: length - length % 4]
        assert na.lzss32_pack(units) == lzss_oracle.lzss32_pack(units)
