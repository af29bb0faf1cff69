"""Long calls let other Python threads run; what they work on stays theirs.

Every function whose body reads only `bytes` (and writes a result nobody else sees yet)
lets go of the interpreter lock while it works on a large input, the in-place writers do
the same while they hold a buffer export of their `bytearray`, and the seed search's
monitor holds the lock only to check for signals. The proof is behavioural: a second
Python thread counting in a loop advances during one long call by a large part of what
it advances, over the same time, while the caller sleeps. A call that kept the lock would
let it advance by nothing at all.
"""

from __future__ import annotations

import random
import signal
import sys
import sysconfig
import threading
import time
from typing import Callable

import numpy as np
import pytest

import native_accel as na
from call_cases import LASTING_SEARCH, lzss32_runs, lzss_groups, nwa_file

# How long one call must last for the count to say something: far longer than a hand-over
# of the lock between threads, short enough to keep the inputs small.
MIN_CALL_SECONDS = 0.1
# Share of the idle count that the counting thread must reach during a call. A call that
# keeps the lock gives it only the moments around the call: about 0.002 on an idle machine,
# up to 0.04 where other processes keep the caller waiting for a core before it takes the
# lock back (a peer below checks that such a call fails). One that lets the lock go gives
# about 1 with a core to spare, about a half where the two threads share one core, and has
# given 0.28 with a compiler busy at nice 10 on both cores.
MIN_SHARE = 0.1


def words(size: int, seed: int) -> bytes:
    rng = random.Random(seed)
    vocabulary = [bytes(rng.choices(b"etaoinshrdlucmfw", k=rng.randint(2, 9))) for _ in range(400)]
    out = b" ".join(rng.choices(vocabulary, k=size // 4 + 1))
    return out[:size]


def nwa_zero_units(pcm_bytes: int) -> bytes:
    """A compressed NWA file whose units hold one sample each and read as zeros after it."""
    unit_samples = 1 << 16
    count = max(1, pcm_bytes // (2 * unit_samples))
    return nwa_file(level=0, units=[b"\x10\x00"] * count, unit_samples=unit_samples)


def tile_call(n: int) -> Callable[[], object]:
    side = int((n // 4) ** 0.5)
    dst, src = bytearray(4 * side * side), bytes(4 * side * side)
    return lambda: na.tile_copy(dst, src, side, side, b"\xff\x00", 2, 1, 0, 0, False, 1)


def search_call(seeds: int) -> Callable[[], object]:
    # No seed matches and the sizes wrap, so the search tests each of the last `seeds`
    # seeds in turn and lasts as long as they are many; a layout that the solver judges
    # would end within a few milliseconds from any seed0.
    return lambda: na.find_shuffle_seed_first(LASTING_SEARCH, 2**32 - seeds, 1, None, 0.0)


def calling(function: Callable[..., object], *args: object) -> Callable[[], object]:
    return lambda: function(*args)


# How each function is called on an input of a given size (bytes, or seeds for the search),
# the first size tried and the largest; the size grows until one call lasts long enough.
CASES: dict[str, tuple[Callable[[int], Callable[[], object]], int, int]] = {
    "lzss_pack": (lambda n: calling(na.lzss_pack, words(n, 1)), 1 << 16, 1 << 24),
    "lzss_pack_level": (lambda n: calling(na.lzss_pack_level, words(n, 2), 6, True),
                        1 << 16, 1 << 24),
    "lzss32_pack": (lambda n: calling(na.lzss32_pack, random.Random(3).randbytes(n & ~3)),
                    1 << 16, 1 << 25),
    "lzss_unpack": (lambda n: calling(na.lzss_unpack, lzss_groups(n)), 1 << 20, 1 << 27),
    "lzss32_unpack": (lambda n: calling(na.lzss32_unpack, lzss32_runs(n)), 1 << 20, 1 << 27),
    "md5_digest": (lambda n: calling(na.md5_digest, bytes(n)), 1 << 20, 1 << 27),
    "nwa_decode_pcm": (lambda n: calling(na.nwa_decode_pcm, nwa_zero_units(n)), 1 << 20, 1 << 27),
    # The in-place writers run at memory speed: a call long enough to count needs up to 1 GiB.
    "xor_cycle_inplace": (lambda n: calling(na.xor_cycle_inplace, bytearray(n), b"key", 0),
                          1 << 20, 1 << 30),
    "tile_copy": (tile_call, 1 << 20, 1 << 30),
    "find_shuffle_seed_first": (search_call, 1 << 16, 1 << 32),
}


def long_call(make: Callable[[int], Callable[[], object]], start: int, cap: int):
    """A call built by make(size) that lasts at least MIN_CALL_SECONDS; past the largest
    size, the call is repeated. Each gap between calls lets the counting thread in for a
    moment, longer on a loaded machine, hence one call wherever the size allows it."""
    size = start
    while True:
        call = None  # the previous input goes before the next is made
        call = make(size)
        began = time.perf_counter()
        call()
        took = time.perf_counter() - began
        if took >= MIN_CALL_SECONDS:
            return call
        if size >= cap:
            repeats = int(MIN_CALL_SECONDS / max(took, 1e-6)) + 1
            return lambda: [call() for _ in range(repeats)]
        size = min(cap, max(2 * size, int(size * 1.5 * MIN_CALL_SECONDS / max(took, 1e-6))))


class Counter:
    """A Python thread counting as fast as the interpreter lets it."""

    def __init__(self) -> None:
        self.count = 0
        self._stop = False
        self._thread = threading.Thread(target=self._run)

    def _run(self) -> None:
        while not self._stop:
            self.count += 1

    def __enter__(self) -> Counter:
        self._thread.start()
        while self.count == 0:
            time.sleep(0.001)
        return self

    def __exit__(self, *exc) -> None:
        self._stop = True
        self._thread.join()


@pytest.fixture(autouse=True)
def fast_switching():
    """A short switch interval: a thread kept waiting for the lock gets it within 0.1 ms of
    asking, so the count cannot slip in more than that around a call that keeps the lock,
    and the caller is not kept waiting long when it wants the lock back."""
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-4)
    yield
    sys.setswitchinterval(interval)


def counts_during_and_idle(call: Callable[[], object]) -> tuple[int, int]:
    with Counter() as counter:
        before = counter.count
        began = time.perf_counter()
        call()
        took = time.perf_counter() - began
        during = counter.count - before
        before = counter.count
        time.sleep(took)
        idle = counter.count - before
    return during, idle


def best_share(call: Callable[[], object], attempts: int = 3) -> tuple[float, int, int]:
    """The largest share of the idle count reached during the call, over a few attempts:
    a burst of load from other processes can starve the counting thread once, but a call
    that keeps the lock gives next to nothing every time."""
    best = (-1.0, 0, 0)
    for _ in range(attempts):
        during, idle = counts_during_and_idle(call)
        assert idle > 0
        best = max(best, (during / idle, during, idle))
        if best[0] >= MIN_SHARE:
            break
    return best


@pytest.mark.skipif(bool(sysconfig.get_config_var("Py_GIL_DISABLED")),
                    reason="without a global lock no call keeps the counting thread out")
def test_a_call_that_keeps_the_lock_fails_the_check() -> None:
    # bytes.translate keeps the lock however long its input: the count must say so.
    table = bytes(reversed(range(256)))
    call = long_call(lambda n: calling((bytes(range(256)) * (n // 256)).translate, table),
                     1 << 20, 1 << 30)
    # The smallest of a few attempts: load can stretch the moments around one call.
    counts = [counts_during_and_idle(call) for _ in range(3)]
    assert all(idle > 0 for _, idle in counts)
    assert min(during / idle for during, idle in counts) < MIN_SHARE / 2, counts


@pytest.mark.parametrize("function", list(CASES))
def test_another_thread_runs_during_a_long_call(function: str) -> None:
    make, start, cap = CASES[function]
    share, during, idle = best_share(long_call(make, start, cap))
    assert share >= MIN_SHARE, (
        f"{function}: the counting thread advanced {during} during the call, {idle} idle")


def test_ctrl_c_ends_a_search_while_another_thread_runs() -> None:
    # The monitor lets the counting thread run between its rounds, yet takes the lock back
    # every round to check for signals, so the interrupt still arrives. Nothing else ends
    # the search: no seed matches, and its sizes wrap, which the solver does not judge.
    previous = signal.signal(signal.SIGALRM, signal.default_int_handler)
    try:
        with Counter() as counter:
            before = counter.count
            began = time.perf_counter()
            signal.setitimer(signal.ITIMER_REAL, 0.3)
            with pytest.raises(KeyboardInterrupt):
                na.find_shuffle_seed_first(LASTING_SEARCH, 0, 1, None, 0.0)
            took = time.perf_counter() - began
            during = counter.count - before
            before = counter.count
            time.sleep(took)
            idle = counter.count - before
        assert during >= MIN_SHARE * idle
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


# ---- Resizing a bytearray while it is written --------------------------------------------

# 3.13's free-threaded build does not lock a bytearray in its own methods: a resize racing
# any other access to it (plain Python code included) can corrupt the interpreter there.
RACY_BYTEARRAY = bool(sysconfig.get_config_var("Py_GIL_DISABLED")) and sys.version_info < (3, 14)


@pytest.mark.skipif(RACY_BYTEARRAY, reason="3.13t's bytearray methods are not thread-safe")
@pytest.mark.parametrize("writer", ["xor_cycle_inplace", "tile_copy"])
def test_a_resize_during_a_long_write_fails_and_the_result_is_the_defined_one(writer: str) -> None:
    # One thread writes a large bytearray in place, pair of calls after pair of calls,
    # while another keeps trying to grow it by a byte and shrink it back. While a write
    # holds the buffer's export every resize raises BufferError; a resize that gets through
    # happens wholly before or after a write, whose result is then the defined one for the
    # buffer as it stood (a byte added at the end lies past every byte that counts).
    size = 1 << 24
    original = random.Random(7).randbytes(size)
    shared = bytearray(original)
    if writer == "xor_cycle_inplace":
        write = lambda: na.xor_cycle_inplace(shared, b"\x5a\xa5\x3c", 11)  # noqa: E731
    else:
        # Pixels at even columns are copied (mask value 0xff), odd ones kept (0x00); the
        # source is the original turned over, so writing twice changes nothing more.
        side = 2048
        source = original[::-1]
        write = lambda: na.tile_copy(shared, source, side, side, b"\xff\x00", 2, 1, 0, 0,  # noqa: E731
                                     False, 1)
        pixels = np.frombuffer(original, np.uint32).copy()
        pixels[0::2] = np.frombuffer(source, np.uint32)[0::2]
        expected = pixels.tobytes()

    refused = 0
    writing = threading.Event()
    finished = threading.Event()

    def resizer() -> None:
        nonlocal refused
        writing.wait()
        while not finished.is_set():
            try:
                shared.extend(b"!")
            except BufferError:
                refused += 1
                continue
            while True:  # the write may have begun between the two halves
                try:
                    del shared[size:]
                    break
                except BufferError:
                    refused += 1

    thread = threading.Thread(target=resizer)
    thread.start()
    try:
        writing.set()
        for pairs in range(100):  # until a resize has met a write, at least a few times over
            write()
            write()
            if pairs >= 3 and refused > 0:
                break
    finally:
        finished.set()
        thread.join()
    del shared[size:]
    assert len(shared) == size
    # Two XORs with the same key give the original back; the copy is idempotent.
    assert bytes(shared) == (original if writer == "xor_cycle_inplace" else expected)
    assert refused > 0, "no resize was refused: the write did not hold the buffer's export"
