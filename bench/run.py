"""Benchmarks of native_accel against what a user would call otherwise.

Each scenario times the native call and its peer side by side in the same process: one
warm-up call each (whose native result is checked, so a broken build cannot post a fast
number), then rounds that alternate native and peer, the order flipping every round, and
the median rate of each side. A round of a short call repeats it until the round lasts
long enough for the clock. The ratio is the median of the rounds' ratios, native rate /
peer rate of two rounds run one after the other.

    python bench/run.py              # full run: table on stdout, rows in bench/results.json
    python bench/run.py --quick      # every scenario once on small inputs, in seconds
    python bench/run.py --only md5   # scenarios whose function or scenario contains "md5"
"""

from __future__ import annotations

import argparse
import gc
import hashlib
import json
import os
import platform
import random
import re
import shutil
import statistics
import subprocess
import sys
import time
import zlib
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable

# The element-wise numpy peers need no BLAS; its worker threads would only compete with
# the seed search's workers for the two cores.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
import numpy as np  # noqa: E402

import native_accel as na

sys.path.insert(0, str(Path(__file__).resolve().parent))
import data  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent
MIB = 1 << 20


@dataclass
class Sizes:
    """Input sizes of one run: the full benchmark, or the quick smoke run."""

    text: int
    picture_side: int
    audio_seconds: float
    md5_large: int
    md5_calls: int
    xor: int
    tile_side: int
    shuffle_items: int
    search_items: list[int]  # item counts of the whole-space searches
    scan_seeds: int  # seeds of a scanned search


FULL = Sizes(text=8 * MIB, picture_side=2048, audio_seconds=60, md5_large=16 * MIB,
             md5_calls=100_000, xor=64 * MIB, tile_side=4096, shuffle_items=10**6,
             search_items=[8, 16, 64, 256, 1000, 4096, 10000, 32768], scan_seeds=2**22)
QUICK = Sizes(text=256 * 1024, picture_side=256, audio_seconds=1, md5_large=1 * MIB,
              md5_calls=1000, xor=1 * MIB, tile_side=256, shuffle_items=10**4,
              search_items=[8, 64, 1000], scan_seeds=2**12)


# Scenarios that keep both cores busy lose a whole round to a pause of either core (the
# host's, not ours), so those with a target run this many times the rounds.
TWO_CORE_ROUNDS = 3


@dataclass
class Case:
    function: str
    scenario: str
    peer_name: str
    unit: str  # what the rates count: "B" (bytes), "calls", "items", "seeds"
    amount: float  # units per call
    native: Callable[[], object]
    peer: Callable[[], object]
    target: float | None
    check: Callable[[object], None] = field(default=lambda result: None)
    section: str = "speed"
    round_factor: int = 1  # TWO_CORE_ROUNDS for the two-core rows with a target


@dataclass
class Row:
    function: str
    scenario: str
    peer: str
    unit: str
    native_rate: float | None
    peer_rate: float | None
    ratio: float | None
    target: float | None
    result: str  # "met", "short", "info" (no target) or why it did not run
    rounds: int = 0
    others_cpus: float | None = None  # CPUs kept busy by other processes meanwhile
    section: str = "speed"  # "speed", "threads" (ratio = speed-up) or "memory" (lower is better)


# ---- Timing -------------------------------------------------------------------------------

class OtherLoad:
    """How many CPUs other processes kept busy over an interval (Linux only): busy time
    of the whole system from /proc/stat less this process's own CPU time."""

    def __init__(self) -> None:
        self.start = self._snapshot()

    @staticmethod
    def _snapshot():
        try:
            with open("/proc/stat") as f:
                ticks = [int(v) for v in f.readline().split()[1:9]]
        except (OSError, ValueError):
            return None
        t = os.times()  # the children are the micro-benchmark's runs, once waited for
        busy = (sum(ticks) - ticks[3] - ticks[4]) / os.sysconf("SC_CLK_TCK")
        return time.monotonic(), busy, t.user + t.system + t.children_user + t.children_system

    def cpus(self) -> float | None:
        end = self._snapshot()
        if self.start is None or end is None or end[0] <= self.start[0]:
            return None
        wall = end[0] - self.start[0]
        others = (end[1] - self.start[1]) - (end[2] - self.start[2])
        return max(0.0, others / wall)


def _timed(fn: Callable[[], object], repeat: int) -> float:
    start = time.perf_counter()
    for _ in range(repeat):
        fn()
    return time.perf_counter() - start


def measure(case: Case, rounds: int, min_round: float) -> tuple[float, float, float]:
    """Median native and peer rates (units per second) over `rounds` alternating rounds,
    and the median of the rounds' ratios: each native round against the peer round run
    right beside it, so that a slow spell of the host weighs on both sides of a ratio."""
    start = time.perf_counter()
    result = case.native()
    native_once = time.perf_counter() - start
    case.check(result)
    del result
    peer_once = _timed(case.peer, 1)
    if rounds == 0:  # quick mode: the warm-up calls are the whole run
        return case.amount / native_once, case.amount / peer_once, peer_once / native_once
    repeat_native = max(1, round(min_round / max(native_once, 1e-9)))
    repeat_peer = max(1, round(min_round / max(peer_once, 1e-9)))
    native_rates, peer_rates = [], []
    sides = [(case.native, repeat_native, native_rates), (case.peer, repeat_peer, peer_rates)]
    gc_was_enabled = gc.isenabled()
    gc.disable()
    try:
        for r in range(rounds):
            for fn, repeat, rates in sides if r % 2 == 0 else reversed(sides):
                rates.append(case.amount * repeat / _timed(fn, repeat))
    finally:
        if gc_was_enabled:
            gc.enable()
    ratio = statistics.median(n / p for n, p in zip(native_rates, peer_rates))
    return statistics.median(native_rates), statistics.median(peer_rates), ratio


# ---- Scenarios ----------------------------------------------------------------------------

def _expect(condition: bool, what: str) -> None:
    if not condition:
        raise AssertionError(f"native result is wrong: {what}")


def md5_cases(sz: Sizes) -> list[Case]:
    blob = random.Random(5).randbytes(sz.md5_large)
    small = [random.Random(k).randbytes(64) for k in range(sz.md5_calls)]
    md5, digest = hashlib.md5, na.md5_digest

    def native_small():
        for x in small:
            digest(x)

    def peer_small():
        for x in small:
            md5(x).digest()

    return [
        Case("md5_digest", f"{sz.md5_large // MIB} MiB", "hashlib.md5(x).digest()", "B",
             len(blob), lambda: digest(blob), lambda: md5(blob).digest(), 0.90,
             lambda d: _expect(d == md5(blob).digest(), "digest differs from hashlib")),
        Case("md5_digest", f"{sz.md5_calls} calls x 64 B", "hashlib.md5(x).digest()", "calls",
             len(small), native_small, peer_small, 2.0,
             lambda _: _expect(digest(small[-1]) == md5(small[-1]).digest(), "small digest")),
    ]


def xor_cases(sz: Sizes) -> list[Case]:
    rng = np.random.default_rng(7)
    original = rng.integers(0, 256, sz.xor, dtype=np.uint8)
    cases = []
    for key_len in (16, 4099):
        key = rng.integers(0, 256, key_len, dtype=np.uint8).tobytes()
        expected = original ^ np.resize(np.frombuffer(key, np.uint8), sz.xor)
        buf = bytearray(original.tobytes())
        arr = np.frombuffer(np.copy(original), np.uint8)
        key_arr = np.frombuffer(key, np.uint8)
        if sz.xor % key_len == 0:
            rows = arr.reshape(-1, key_len)
            peer = lambda rows=rows, k=key_arr: np.bitwise_xor(rows, k, out=rows)  # noqa: E731
            peer_name = "np.bitwise_xor(a.reshape(-1, L), key, out=...)"
        else:
            def peer(a=arr, k=key_arr):
                np.bitwise_xor(a, np.resize(k, a.size), out=a)
            peer_name = "np.bitwise_xor(a, np.resize(key, n), out=a)"
        native = lambda b=buf, k=key: na.xor_cycle_inplace(b, k, 0)  # noqa: E731
        check = lambda _, b=buf, e=expected: _expect(  # noqa: E731
            np.array_equal(np.frombuffer(b, np.uint8), e), "xor output differs from numpy")
        cases.append(Case("xor_cycle_inplace", f"{sz.xor // MIB} MiB, key {key_len} B",
                          peer_name, "B", sz.xor, native, peer, 1.5, check))
        copy_src = bytes(sz.xor)
        copy_dst = bytearray(sz.xor)

        def plain_copy(dst=copy_dst, src=copy_src):
            memoryview(dst)[:] = src
        cases.append(Case("xor_cycle_inplace", f"{sz.xor // MIB} MiB, key {key_len} B",
                          "memoryview(dst)[:] = src", "B", sz.xor, native, plain_copy, 0.8))
    return cases


def lzss_cases(sz: Sizes, text: bytes, pic: bytes) -> list[Case]:
    cases = []
    for name, blob in (("text corpus", text), ("picture", pic)):
        if not hasattr(na, "lzss_pack"):
            cases.append(_missing("lzss_unpack", name, "zlib.decompress", "lzss_pack"))
            continue
        packed = na.lzss_pack(blob)
        z = zlib.compress(blob, 6)
        cases.append(Case(
            "lzss_unpack", f"{name}, {_size(len(blob))}", "zlib.decompress (level 6 data)", "B",
            len(blob), lambda p=packed: na.lzss_unpack(p), lambda z=z: zlib.decompress(z), 1.5,
            lambda out, b=blob: _expect(out == b, "round trip")))
    if hasattr(na, "lzss_pack_level"):
        cases.append(Case(
            "lzss_pack_level", f"level 17, text corpus, {_size(len(text))}",
            "zlib.compress(x, 6)", "B", len(text), lambda: na.lzss_pack_level(text, 17),
            lambda: zlib.compress(text, 6), 0.35,
            lambda out: _expect(na.lzss_unpack(out) == text, "round trip")))
    else:
        cases.append(_missing("lzss_pack_level", "level 17, text corpus", "zlib.compress(x, 6)"))
    if hasattr(na, "lzss32_pack") and hasattr(na, "lzss32_unpack"):
        # Literals keep three bytes of a unit and decode the fourth as 0xFF, and matches
        # compare whole units, so the picture comes back with its alpha bytes at 0xFF.
        opaque = bytearray(pic)
        opaque[3::4] = b"\xff" * (len(pic) // 4)
        packed32 = na.lzss32_pack(pic)
        z = zlib.compress(pic, 6)
        cases.append(Case(
            "lzss32_pack", f"picture, {_size(len(pic))}", "zlib.compress(x, 6)", "B", len(pic),
            lambda: na.lzss32_pack(pic), lambda: zlib.compress(pic, 6), 0.6,
            lambda out: _expect(na.lzss32_unpack(out) == opaque, "round trip")))
        cases.append(Case(
            "lzss32_unpack", f"picture, {_size(len(pic))}", "zlib.decompress (level 6 data)",
            "B", len(pic), lambda: na.lzss32_unpack(packed32), lambda: zlib.decompress(z), 1.5,
            lambda out: _expect(out == opaque, "round trip")))
    else:
        cases.append(_missing("lzss32_pack", "picture", "zlib.compress(x, 6)"))
        cases.append(_missing("lzss32_unpack", "picture", "zlib.decompress"))
    return cases


def nwa_cases(sz: Sizes) -> list[Case]:
    label = f"{sz.audio_seconds:g} s stereo 44.1 kHz, level 0, run-length"
    if not hasattr(na, "nwa_decode_pcm"):
        return [_missing("nwa_decode_pcm", label, "zlib.decompress")]
    nwa, pcm = data.audio(sz.audio_seconds)
    z = zlib.compress(pcm, 6)
    return [Case("nwa_decode_pcm", label, "zlib.decompress (level 6 PCM)", "B", len(pcm),
                 lambda: na.nwa_decode_pcm(nwa), lambda: zlib.decompress(z), 2.0,
                 lambda out: _expect(out == pcm, "decoded PCM differs from the encoder's"))]


def tile_cases(sz: Sizes) -> list[Case]:
    side = sz.tile_side
    rng = np.random.default_rng(11)
    src_arr = rng.integers(0, 1 << 32, (side, side), dtype=np.uint32)
    src = src_arr.tobytes()
    # An 8 x 8 mask whose values put exactly half of its cells at or above lim.
    lim = 128
    mask_arr = np.concatenate([rng.integers(0, lim, 32), rng.integers(lim, 256, 32)])
    mask_arr = rng.permutation(mask_arr).astype(np.uint8).reshape(8, 8)
    mask = mask_arr.tobytes()
    cases = []
    for label, m, m_arr, target in (
        ("half selected", mask, mask_arr, 2.0),
        ("every pixel selected", bytes([255]) * 64, np.full((8, 8), 255, np.uint8), 0.7),
    ):
        dst = bytearray(side * side * 4)
        native = lambda d=dst, m=m: na.tile_copy(d, src, side, side, m, 8, 8, 0, 0, False, lim)  # noqa: E731
        dst_arr = np.zeros((side, side), np.uint32)
        expected = np.where(np.tile(m_arr, (side // 8, side // 8)) >= lim, src_arr, 0)
        check = lambda _, d=dst, e=expected: _expect(  # noqa: E731
            np.array_equal(np.frombuffer(d, np.uint32).reshape(side, side), e), "tile copy")
        if target == 2.0:
            def peer(d=dst_arr, m_arr=m_arr):
                selected = np.tile(m_arr, (side // 8, side // 8)) >= lim
                np.copyto(d, src_arr, where=selected)
            peer_name = "np.tile mask >= lim, np.copyto(where=...)"
        else:
            plain = bytearray(side * side * 4)

            def peer(d=plain):
                memoryview(d)[:] = src
            peer_name = "memoryview(dst)[:] = src"
        cases.append(Case("tile_copy", f"{side}x{side}, 8x8 mask, {label}", peer_name, "B",
                          side * side * 4, native, peer, target, check))
    return cases


def shuffle_cases(sz: Sizes) -> list[Case]:
    if not hasattr(na, "msvcrand_shuffle_inplace"):
        return [_missing("msvcrand_shuffle_inplace", f"list of {sz.shuffle_items}", "random.shuffle")]
    items = list(range(sz.shuffle_items))
    theirs = list(range(sz.shuffle_items))
    rnd = random.Random(3)

    def check(state):
        _expect(isinstance(state, int) and 0 <= state < 2**32, "state out of range")
        _expect(sorted(items) == list(range(sz.shuffle_items)), "not a permutation")

    return [Case("msvcrand_shuffle_inplace", f"list of {sz.shuffle_items} items",
                 "random.shuffle", "items", sz.shuffle_items,
                 lambda: na.msvcrand_shuffle_inplace(12345, items), lambda: rnd.shuffle(theirs),
                 20.0, check)]


def file_sizes(n: int) -> list[int]:
    """Files of 512 B to 2 MiB, as an archive holds them, scaled down where n of them would
    pass 4 GiB."""
    rng = random.Random(n)
    largest = min(2 * MIB, (2**32 - 1) // n)
    return [rng.randrange(512, largest + 1) for _ in range(n)]


def layout_of(seed: int, sizes: list[int], exchanged: bool = False) -> list[tuple[int, int]]:
    """The target_idx of the shuffle from `seed`; with `exchanged`, the items at the first
    and last positions trade places, a layout that is consistent but that (from 13 items
    on) almost surely no seed makes."""
    order = list(range(len(sizes)))
    na.msvcrand_shuffle_inplace(seed, order)
    if exchanged:
        order[0], order[-1] = order[-1], order[0]
    offsets, running = [0] * len(sizes), 0
    for k in order:
        offsets[k] = running - 2**32 if running >= 2**31 else running  # a 32-bit pattern
        running += max(sizes[k], 0)
    return list(zip(offsets, sizes))


LAYOUT_SEED = 0xB16B00B5  # its twin, LAYOUT_SEED - 2**31, is the smallest match


def search_cases(sz: Sizes) -> list[Case]:
    """The whole-space search with two workers against one, and the scanned search (sizes
    that wrap past 4 GiB) on one worker against the same call at 16 items."""
    cases = []
    if not hasattr(na, "find_shuffle_seed_first"):
        return [_missing("find_shuffle_seed_first", "whole seed space", "workers=1")]
    search = na.find_shuffle_seed_first
    for n in (16, 64):
        layout = layout_of(LAYOUT_SEED, file_sizes(n), exchanged=True)
        cases.append(Case(
            "find_shuffle_seed_first", f"{n} items, whole seed space, 2 workers",
            "the same call with workers=1", "seeds", 2**32,
            lambda l=layout: search(l, 0, 2, None, 0.0), lambda l=layout: search(l, 0, 1, None, 0.0),
            1.85 if n == 16 else None,
            lambda found: _expect(found is None, "a seed matched an exchanged layout"),
            round_factor=TWO_CORE_ROUNDS if n == 16 else 1))
    return cases


def whole_space_rows(sz: Sizes, rounds: int, plain: dict[int, float]) -> list[Row]:
    """Whole-space searches with one worker on layouts of files: one a seed makes, the
    same with two items exchanged (no seed makes it, or a distant one), and the same with
    one offset broken (no order makes it: no search), each against the plain loop of the
    reference test projected to the 2**32 seeds. The targets are times."""
    if not hasattr(na, "find_shuffle_seed_first"):
        return [_missing("find_shuffle_seed_first", "whole seed space", "plain loop")]
    # Up to 16 items: the search before solving (2.4 s at 8 items, 2.0 s at 16 on the
    # README's machine); then the times asked of the solver.
    targets = {8: 2.4, 16: 2.0, 10000: 5.0, 32768: 10.0}
    rows = []
    load = OtherLoad()  # over all the rows: most calls are too short for the clock's ticks
    for n in sz.search_items:
        sizes = file_sizes(n)
        matching = layout_of(LAYOUT_SEED, sizes)
        broken = list(matching)
        broken[n // 2] = (broken[n // 2][0] + 1, broken[n // 2][1])
        for name, layout in (("matching", matching),
                             ("two items exchanged", layout_of(LAYOUT_SEED, sizes, True)),
                             ("one offset broken", broken)):
            call = lambda l=layout: na.find_shuffle_seed_first(l, 0, 1, None, 0.0)  # noqa: E731
            found = call()
            if name == "matching":
                _expect(found is not None and found <= LAYOUT_SEED, "the layout's seed missed")
            elif name == "one offset broken":
                _expect(found is None, "a seed matched a broken layout")
            seconds = statistics.median(_timed(call, 1) for _ in range(max(1, rounds)))
            projected = 2**32 / plain[n] if n in plain else None
            # A broken layout is refused without a search: the row only shows it.
            target = None if name == "one offset broken" else targets.get(n, 2.0)
            row = Row("find_shuffle_seed_first", f"{n} items, {name}", "plain loop, projected",
                      "s", seconds, projected, None if projected is None else projected / seconds,
                      target, "info" if target is None else
                      ("met" if seconds <= target else "short"), max(1, rounds),
                      section="whole space")
            rows.append(row)
    busy = load.cpus()
    for row in rows:
        row.others_cpus = busy
    return rows


# ---- Threads: independent inputs converted by a pool --------------------------------------

def thread_cases(sz: Sizes, text: bytes) -> list[Case]:
    """The same independent inputs converted by a pool of one thread per core and by a
    pool of one thread: wall time, alternating rounds; the ratio is the speed-up. The
    inputs are files of the sizes a game holds: eight scripts of 1 MiB (the text corpus
    cut in eight), their packed streams, eight pieces of music of 7.5 s."""
    cores = os.cpu_count() or 1
    wide, narrow = ThreadPoolExecutor(cores), ThreadPoolExecutor(1)
    chunk = sz.text // 8
    scripts = [text[k * chunk:(k + 1) * chunk] for k in range(8)]
    packed = [na.lzss_pack(s) for s in scripts]
    nwa, pcm = data.audio(sz.audio_seconds / 8)
    music = [bytes(bytearray(nwa)) for _ in range(8)]  # equal, but objects of their own
    scenarios = [
        ("lzss_pack", f"8 scripts of {_size(chunk)}", na.lzss_pack, scripts, len(text),
         lambda outs: _expect(outs == packed, "the one-call streams")),
        ("lzss_unpack", "their 8 streams", na.lzss_unpack, packed, len(text),
         lambda outs: _expect(outs == scripts, "round trip")),
        ("nwa_decode_pcm", f"8 x {sz.audio_seconds / 8:g} s stereo", na.nwa_decode_pcm, music,
         8 * len(pcm), lambda outs: _expect(all(o == pcm for o in outs), "decoded PCM")),
        ("md5_digest", f"8 scripts of {_size(chunk)}", na.md5_digest, scripts, len(text),
         lambda outs: _expect(outs[7] == hashlib.md5(scripts[7]).digest(), "digest")),
    ]
    # What the host lets a pool gain, measured the same way on the standard library's calls
    # that release the lock (no target: a reference for the rows above).
    deflated = [zlib.compress(s, 6) for s in scripts]
    references = [
        ("zlib.decompress", "the 8 scripts deflated", zlib.decompress, deflated, len(text),
         lambda outs: _expect(outs == scripts, "round trip")),
        ("hashlib.md5", f"8 scripts of {_size(chunk)}", lambda x: hashlib.md5(x).digest(),
         scripts, len(text), lambda outs: None),
    ]
    target = 1.8 if cores >= 2 else None
    cases = []
    for (function, scenario, fn, inputs, amount, check), row_target in (
            [(s, target) for s in scenarios] + [(s, None) for s in references]):
        cases.append(Case(
            function, scenario, "the same with 1 thread", "B", amount,
            lambda fn=fn, inputs=inputs: list(wide.map(fn, inputs)),
            lambda fn=fn, inputs=inputs: list(narrow.map(fn, inputs)),
            row_target, check, section="threads", round_factor=TWO_CORE_ROUNDS))
    return cases


# ---- Peak memory of one call ----------------------------------------------------------------

PEAK_PROBE = """
import os, struct, sys
sys.path.insert(0, {bench!r})
import native_accel as na
import data

def lzss32_runs(total):
    group = bytes([0x01, 1, 2, 3]) + bytes([0x1F, 0x00]) * 7
    return struct.pack("<II", 0, total) + group * -(-total // (4 + 7 * 64))

def peak():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024

x = {make}
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
before = peak()
result = na.{function}(x)
print(len(result), peak() - before)
"""


def memory_rows(sz: Sizes) -> list[Row]:
    """Each call in a fresh interpreter: the input is made, the peak resident size reset
    (/proc/self/clear_refs), the call made; the row shows the result's size and how much
    the peak grew. A result built in place grows it by about its own size."""
    if not os.path.exists("/proc/self/clear_refs"):
        return [_missing("peak memory", "one call", "result size", "/proc/self/clear_refs")]
    out = sz.md5_large * 8
    nwa_make = f"data.audio({sz.audio_seconds})[0]"
    scenarios = [
        ("lzss_unpack", f"returns {_size(out)}", f"na.lzss_pack(bytes({out}))", 1.1),
        ("lzss32_unpack", f"returns {_size(out)}", f"lzss32_runs({out})", 1.1),
        ("nwa_decode_pcm", f"{sz.audio_seconds:g} s stereo", nwa_make, 1.1),
        ("lzss_pack", f"{_size(out * 3 // 16)} of random bytes", f"os.urandom({out * 3 // 16})",
         1.25),
    ]
    rows = []
    for function, scenario, make, target in scenarios:
        code = PEAK_PROBE.format(bench=str(ROOT / "bench"), make=make, function=function)
        done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                              check=True)
        length, growth = (int(v) for v in done.stdout.split())
        row = Row(function, scenario, "result size", "bytes", growth, length, growth / length,
                  target, "met" if growth / length <= target else "short", 1, section="memory")
        rows.append(row)
    return rows


def _size(n: int) -> str:
    return f"{n / MIB:g} MiB" if n >= MIB else f"{n // 1024} KiB"


def _missing(function: str, scenario: str, peer: str, needs: str | None = None) -> Row:
    return Row(function, scenario, peer, "", None, None, None, None,
               f"not built ({needs or function} missing)")


# ---- The plain loop and the scanned search (C++) -----------------------------------------

MATCH_TARGET = "match_bench"
# items, the plain loop's seeds/s, then the seconds of its three whole-space searches
MATCH_LINE = re.compile(r"^(\d+)\s+(\d+)\s+[\d.]+\s+[\d.]+\s+[\d.]+\s*$", re.M)


def module_build_dir() -> Path | None:
    """The module's own release build tree: build/ may also hold sanitizer and fuzzing
    trees, which the cache entries tell apart."""
    for cache in sorted((ROOT / "build").glob("*/CMakeCache.txt")):
        entries = dict(re.findall(r"^(\w+):\w+=(.*)$", cache.read_text(errors="replace"), re.M))
        if (entries.get("CMAKE_PROJECT_NAME") == "native_accel"
                and entries.get("CMAKE_BUILD_TYPE") == "Release"
                and not entries.get("NATIVE_ACCEL_SANITIZE")):
            return cache.parent
    return None


def plain_loop_rates(sz: Sizes, quick: bool) -> tuple[dict[int, float], list[Row]]:
    """Builds the C++ benchmark in the module's build tree and runs it for the item counts
    of the whole-space searches: the rate of the reference test's plain loop, the peer a
    user would write, by item count (the median of three runs)."""
    function, peer = "find_shuffle_seed_first", "plain loop"
    if not (ROOT / "bench" / "CMakeLists.txt").exists():
        return {}, [_missing(function, "whole seed space", peer, "bench/CMakeLists.txt")]
    build_dir = module_build_dir()
    if build_dir is None:
        return {}, [_missing(function, "whole seed space", peer, "a build tree (make install)")]
    cmake = shutil.which("cmake", path=str(Path(sys.executable).parent)) or "cmake"
    subprocess.run([cmake, "--build", str(build_dir), "--target", MATCH_TARGET],
                   check=True, stdout=subprocess.DEVNULL)
    binary = build_dir / "bench" / MATCH_TARGET
    budget = "0.01" if quick else "0.3"  # seconds of the plain loop inside the program
    rates: dict[int, list[float]] = {}
    for _ in range(1 if quick else 3):
        out = subprocess.run([str(binary), budget, *map(str, sz.search_items)], check=True,
                             capture_output=True, text=True).stdout
        for items, rate in MATCH_LINE.findall(out):
            rates.setdefault(int(items), []).append(float(rate))
    if not rates:
        raise RuntimeError(f"{MATCH_TARGET} printed no rates:\n{out}")
    return {n: statistics.median(r) for n, r in rates.items()}, []


def scan_rows(sz: Sizes, rounds: int, plain: dict[int, float]) -> list[Row]:
    """The search where it scans seed by seed: sizes that wrap past 4 GiB, which the solver
    cannot judge, over the last seeds, one worker, against the plain loop."""
    rows = []
    for n in (16, 256):
        if n not in plain:
            continue
        layout = [(1, 2**31 - 1)] * n  # no item can open it: every seed is a miss
        seeds = sz.scan_seeds if n == 16 else sz.scan_seeds // 16
        call = lambda l=layout, s=seeds: na.find_shuffle_seed_first(l, 2**32 - s, 1, None, 0.0)  # noqa: E731
        _expect(call() is None, "a seed matched an impossible layout")
        load = OtherLoad()
        seconds = statistics.median(_timed(call, 1) for _ in range(max(1, rounds)))
        rows.append(_row("find_shuffle_seed_first", f"{n} items, sizes that wrap, scanned, 1 worker",
                         "plain loop", "seeds", seeds / seconds, plain[n], None, rounds))
        rows[-1].others_cpus = load.cpus()
    return rows


# ---- Report -------------------------------------------------------------------------------

def _row(function, scenario, peer, unit, native, peer_rate, target, rounds,
         section="speed", ratio=None) -> Row:
    if ratio is None:
        ratio = native / peer_rate
    result = "info" if target is None else ("met" if ratio >= target else "short")
    return Row(function, scenario, peer, unit, native, peer_rate, ratio, target, result, rounds,
               section=section)


def _rate(value: float | None, unit: str) -> str:
    if value is None:
        return "-"
    if unit == "bytes":  # a size, not a rate
        return f"{value / MIB:.1f} MiB"
    if unit == "B":
        return f"{value / 1e9:.2f} GB/s" if value >= 1e9 else f"{value / 1e6:.0f} MB/s"
    for scale, prefix in ((1e9, "G"), (1e6, "M"), (1e3, "k")):
        if value >= scale:
            return f"{value / scale:.2f} {prefix}{unit}/s"
    return f"{value:.0f} {unit}/s"


TABLE_HEADS = {
    "speed": ["function", "scenario", "peer", "native", "peer rate", "ratio", "target",
              "result", "busy elsewhere"],
    "threads": ["function", "inputs", "against", "one thread per core", "one thread",
                "speed-up", "target", "result", "busy elsewhere"],
    "memory": ["function", "call", "against", "peak growth", "result size", "ratio",
               "target", "result", "busy elsewhere"],
    "whole space": ["function", "layout", "against", "whole seed space, 1 worker",
                    "plain loop, projected", "ratio", "target", "result", "busy elsewhere"],
}


def _ratio(value: float | None) -> str:
    if value is None:
        return "-"
    return f"{value:.2f}" if value < 1000 else f"{value:.2g}"


def _seconds(value: float | None) -> str:
    if value is None:
        return "-"
    if value >= 7200:
        return f"{value / 3600:.1f} h"
    if value >= 120:
        return f"{value / 60:.1f} min"
    return f"{value:.3f} s" if value < 1 else f"{value:.2f} s"


def table(rows: list[Row], section: str = "speed") -> str:
    head = TABLE_HEADS[section]
    sign = "<=" if section in ("memory", "whole space") else ">="

    def value(row: Row, v: float | None) -> str:
        return _seconds(v) if section == "whole space" else _rate(v, row.unit)

    body = [[r.function, r.scenario, r.peer, value(r, r.native_rate),
             value(r, r.peer_rate), _ratio(r.ratio),
             "-" if r.target is None else f"{sign} {r.target:.2f}" + (" s" if section == "whole space" else ""),
             r.result,
             "-" if r.others_cpus is None else f"{r.others_cpus:.1f} CPU"]
            for r in rows if r.section == section]
    lines = ["| " + " | ".join(head) + " |", "|" + "|".join("---" for _ in head) + "|"]
    lines += ["| " + " | ".join(cells) + " |" for cells in body]
    return "\n".join(lines)


def _loadavg() -> tuple[float, float, float]:
    try:
        return os.getloadavg()
    except (AttributeError, OSError):  # not on every system
        return (float("nan"),) * 3


def machine() -> dict:
    model = platform.processor()
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    return {"cpu": model, "logical_cpus": os.cpu_count(), "system": platform.platform(),
            "python": platform.python_version(), "numpy": np.__version__,
            "zlib": zlib.ZLIB_RUNTIME_VERSION}


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="every scenario once, small inputs")
    parser.add_argument("--rounds", type=int, default=7, help="timed rounds per side (default 7)")
    parser.add_argument("--only", default="", help="run scenarios containing this text")
    parser.add_argument("--json", type=Path, help="where to write the rows")
    parser.add_argument("--quiet", action="store_true", help="one summary line, no table")
    args = parser.parse_args(argv)
    sz = QUICK if args.quick else FULL
    rounds = 0 if args.quick else args.rounds
    out_path = args.json or (ROOT / "build" / "bench-quick.json" if args.quick
                             else ROOT / "bench" / "results.json")

    started = time.time()
    load_before = _loadavg()
    whole_run = OtherLoad()
    text = data.text_corpus(sz.text)
    pic = data.picture(sz.picture_side).tobytes()
    # The two-worker search needs both cores free, so it runs first, while a quiet start
    # is most likely to last; the table keeps the order below.
    builders = [lambda: md5_cases(sz), lambda: xor_cases(sz),
                lambda: lzss_cases(sz, text, pic), lambda: nwa_cases(sz),
                lambda: tile_cases(sz), lambda: shuffle_cases(sz), lambda: search_cases(sz),
                lambda: thread_cases(sz, text)]
    # The two-core scenarios (the search, the thread pools) run first, while a quiet start
    # is most likely to last; the table keeps the order above.
    run_order = builders[-2:] + builders[:-2]
    rows: list[Row] = []
    for build in run_order:
        for case in build():
            if args.only and args.only not in f"{case.function} {case.scenario}":
                continue
            if isinstance(case, Row):
                rows.append(case)
            else:
                load = OtherLoad()
                case_rounds = rounds * case.round_factor
                native, peer, ratio = measure(case, case_rounds, 0.05)
                rows.append(_row(case.function, case.scenario, case.peer_name, case.unit,
                                 native, peer, case.target, case_rounds, case.section, ratio))
                rows[-1].others_cpus = load.cpus()
            if not args.quiet:
                print(f"  {rows[-1].function}: {rows[-1].scenario}: {rows[-1].result}",
                      file=sys.stderr, flush=True)
    rows.sort(key=lambda r: r.function == "find_shuffle_seed_first")  # stable: back in place
    if not args.only or args.only in "peak memory":
        load = OtherLoad()
        for row in memory_rows(sz):
            row.others_cpus = load.cpus()
            rows.append(row)
    if not args.only or args.only in "find_shuffle_seed_first whole seed space":
        plain, missing = plain_loop_rates(sz, args.quick)
        rows.extend(missing)
        for row in whole_space_rows(sz, rounds, plain) + scan_rows(sz, rounds, plain):
            rows.append(row)
            if not args.quiet:
                print(f"  {row.function}: {row.scenario}: {row.result}", file=sys.stderr, flush=True)

    elapsed = time.time() - started
    load_after = _loadavg()
    others = whole_run.cpus()
    ran = sum(r.ratio is not None for r in rows)
    if args.quiet:
        print(f"bench{' (quick)' if args.quick else ''}: {ran} of {len(rows)} scenarios ran "
              f"in {elapsed:.1f} s; rows in {out_path.relative_to(ROOT) if out_path.is_relative_to(ROOT) else out_path}")
    else:
        print(table(rows))
        for section, title in (("whole space", "Whole-space seed searches"), ("threads", "Threads"),
                               ("memory", "Peak memory of one call")):
            if any(r.section == section for r in rows):
                print(f"\n{title}\n\n{table(rows, section)}")
        busy = "" if others is None else f"other processes kept {others:.1f} CPUs busy; "
        print(f"\n{rounds or 1} round(s) per side ({TWO_CORE_ROUNDS * rounds or 1} for the "
              f"two-core rows with a target), median rates, ratio = median of the rounds' "
              f"ratios; load average "
              f"{load_before[0]:.2f} before, {load_after[0]:.2f} after; {busy}{elapsed:.0f} s; "
              f"{machine()['cpu']}, {os.cpu_count()} logical CPUs")
    report = {"date": time.strftime("%Y-%m-%d %H:%M:%S %Z", time.localtime(started)),
              "quick": args.quick,
              "rounds": rounds, "machine": machine(),
              "load_average": {"before": load_before, "after": load_after},
              "others_cpus": others,
              "seconds": round(elapsed, 1), "rows": [r.__dict__ for r in rows]}
    out_path.parent.mkdir(parents=True, exist_ok=True)
    out_path.write_text(json.dumps(report, indent=1) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
