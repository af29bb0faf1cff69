"""Free threading: shared inputs, racing mutations of in-place arguments, and Ctrl-C.

Without a global lock nothing takes turns for the callers: every thread below runs at the
same time as the others on a free-threaded interpreter, and as far as the interpreter lock
lets them on the default one. The tests run on every build and assert results, never
timings. A race that writes outside a buffer may not crash a plain build at once; the same
tests under `make test-asan` (every bytearray in a guarded allocation of its own) see it.
"""

from __future__ import annotations

import json
import os
import random
import signal
import subprocess
import sys
import sysconfig
import threading
import time
from typing import Callable

import pytest

import native_accel as na
from call_cases import LASTING_SEARCH, SCANNED_SIZES, TEXT, layout_of, lzss_groups, nwa_file
from conftest import run_python
from proc_probes import thread_count, thread_count_settled

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
# 3.13's free-threaded build gives bytearray's own methods no lock: `extend` or `del ba[n:]`
# racing any writer, a plain Python one included, can corrupt the interpreter's heap. From
# 3.14 the methods lock the object, and a default build runs them under the global lock.
BYTEARRAY_THREAD_SAFE = not FREE_THREADED or sys.version_info >= (3, 14)
RESIZE_RACE_UNSUPPORTED = (
    "bytearray's own methods take no lock on 3.13 free-threaded: a racing resize can crash "
    "the interpreter whoever writes the buffer, so no extension can make it safe there"
)


def run_threads(target: Callable[[int], None], count: int) -> list[BaseException]:
    """Runs target(k) on `count` threads released together; returns what they raised."""
    barrier = threading.Barrier(count)
    errors: list[BaseException] = []

    def body(k: int) -> None:
        try:
            barrier.wait()
            target(k)
        except BaseException as error:  # noqa: BLE001 - reported by the test
            errors.append(error)

    threads = [threading.Thread(target=body, args=(k,)) for k in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=300)
    assert not any(t.is_alive() for t in threads), "a thread hung"
    return errors


# ---- The interpreter stays free-threaded --------------------------------------------------

@pytest.mark.skipif(not FREE_THREADED, reason="the interpreter has a global lock by build")
def test_importing_the_module_leaves_the_gil_disabled():
    # A module without the Py_mod_gil slot makes a free-threaded interpreter enable the GIL
    # at import (with a RuntimeWarning). PYTHON_GIL would override the declaration.
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    probe = "import sys, native_accel; print(sys._is_gil_enabled())"
    done = subprocess.run([sys.executable, "-W", "error", "-c", probe],
                          capture_output=True, text=True, env=env, timeout=60)
    assert (done.returncode, done.stdout.strip()) == (0, "False"), done.stderr
    if os.environ.get("PYTHON_GIL") != "1":
        # Nor did anything else that this suite imported: the whole run is free-threaded.
        assert not sys._is_gil_enabled()


# ---- Many threads on shared bytes ---------------------------------------------------------

BIG_TEXT = TEXT * 64  # 1 MiB of word-like text
_units = random.Random(11)
SHARED_CALLS: list[tuple[str, tuple]] = [
    ("md5_digest", (BIG_TEXT,)),
    ("lzss_unpack", (lzss_groups(len(BIG_TEXT)),)),
    ("lzss_pack", (BIG_TEXT[: 1 << 16],)),
    ("lzss_pack_level", (BIG_TEXT[: 1 << 16], 9, True)),
    ("lzss32_pack", (BIG_TEXT[: 1 << 16],)),
    ("nwa_decode_pcm", (nwa_file(channels=2, level=2, run_length=1, unit_samples=4096,
                                 units=[_units.randbytes(4096) for _ in range(64)]),)),
]


def test_many_threads_on_shared_bytes_get_the_single_thread_results():
    calls = SHARED_CALLS + [("lzss32_unpack", (na.lzss32_pack(BIG_TEXT[: 1 << 18]),))]
    expected = [getattr(na, name)(*args) for name, args in calls]
    inputs = [args[0] for _, args in calls]
    counts = [sys.getrefcount(data) for data in inputs]

    def caller(k: int) -> None:
        order = [(k + i) % len(calls) for i in range(len(calls))]  # each thread its own order
        for _ in range(3):
            for i in order:
                name, args = calls[i]
                assert getattr(na, name)(*args) == expected[i], f"{name} differs on thread {k}"

    assert run_threads(caller, 16) == []
    assert [sys.getrefcount(data) for data in inputs] == counts  # no reference lost or kept


# ---- Shuffles racing list mutations -------------------------------------------------------

def test_shuffles_racing_list_mutations_keep_every_item_exactly_once():
    initial = list(range(100_000, 102_000))
    a = list(initial)
    # A shuffle's final state depends only on the seed and the length it saw; the mutator
    # below keeps the length at 2000 or 2001, so each call saw one of these two.
    states = {na.msvcrand_shuffle_inplace(77, list(range(n))) for n in (2000, 2001)}
    appended: list[int] = []
    popped: list[int] = []
    assigned: list[int] = []
    seen_states: set[int] = set()
    mutations = 6000
    mutator_done = threading.Event()

    def mutator() -> None:
        rng = random.Random(3)
        try:
            for n in range(mutations):
                item = 200_000 + n  # every item that enters is new
                if n % 3 == 0:
                    a.append(item)
                    appended.append(item)
                elif n % 3 == 1:
                    popped.append(a.pop())
                else:
                    a[rng.randrange(2000)] = item  # replaces an item nobody can name
                    assigned.append(item)
        finally:
            mutator_done.set()

    def shuffler() -> None:
        done = 0
        while not mutator_done.is_set() or done < 200:
            seen_states.add(na.msvcrand_shuffle_inplace(77, a))
            done += 1

    assert run_threads(lambda k: mutator() if k == 0 else shuffler(), 3) == []
    assert len(set(a)) == len(a), "an item is in the list twice"
    assert not set(a) & set(popped), "a popped item is still in the list"
    assert set(a) <= set(initial) | set(appended) | set(assigned)
    # Each item entered once and left at most once: by a pop, or replaced by an assignment.
    entered = len(initial) + len(appended) + len(assigned)
    assert entered - len(popped) - len(a) == len(assigned), "an item was lost"
    assert seen_states <= states


# ---- Ctrl-C while several searches run ----------------------------------------------------

SIZES = [17 * k + 3 for k in range(16)]  # one seed in 16! lays these out alike


def test_ctrl_c_stops_the_main_threads_search_while_other_threads_search():
    # Ctrl-C reaches the main thread only: its search must end with KeyboardInterrupt, and
    # the searches of the other threads must go on to their results. Each of those is sized
    # to about a fraction of a second from a measured rate (sizing only, never asserted):
    # their sizes wrap, so they test seed after seed. The main thread's layout has sizes
    # that wrap too and no seed matches it, so only the interrupt ends its search.
    seeds = [3_000_000_000 + 7919 * k for k in range(3)]
    started = time.perf_counter()
    assert na.find_shuffle_seed_first(layout_of(seeds[0], SCANNED_SIZES), seeds[0] - 100_000,
                                      1, None, 0.0) == seeds[0]
    rate = 100_000 / max(time.perf_counter() - started, 1e-3)
    distance = int(min(max(rate * 0.3, 100_000), 50_000_000))
    targets = [layout_of(seed, SCANNED_SIZES) for seed in seeds]
    baseline = thread_count()

    in_search = threading.Event()
    ticks = [0]

    def on_alarm(signum, frame):
        # Raised only while the main thread is in its search (a tick before that does
        # nothing), and only after a few ticks, so that the other searches have begun.
        # Raised once: a tick that lands after it, before the timer is stopped, must not
        # raise a second interrupt outside pytest.raises.
        if in_search.is_set():
            ticks[0] += 1
            if ticks[0] >= 3:
                in_search.clear()
                raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, on_alarm)
    try:
        for _ in range(2):
            found: dict[int, int | None] = {}
            go = threading.Event()

            def other(k: int) -> None:
                go.wait()
                found[k] = na.find_shuffle_seed_first(targets[k], seeds[k] - distance, 1, 64, 0.0)

            others = [threading.Thread(target=other, args=(k,)) for k in range(len(seeds))]
            for t in others:
                t.start()
            ticks[0] = 0
            signal.setitimer(signal.ITIMER_REAL, 0.05, 0.05)
            try:
                with pytest.raises(KeyboardInterrupt):
                    go.set()
                    in_search.set()
                    na.find_shuffle_seed_first(LASTING_SEARCH, 0, 2, None, 0.0)
            finally:
                in_search.clear()
                signal.setitimer(signal.ITIMER_REAL, 0)
            for t in others:
                t.join(timeout=300)
            assert not any(t.is_alive() for t in others), "a search did not end"
            assert found == dict(enumerate(seeds))
            assert thread_count_settled(baseline) == baseline
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


def test_a_search_finds_its_seed_while_another_thread_rewrites_its_target_list():
    # The rewriter puts equal pairs in fresh tuples, so the old ones are freed as it goes:
    # the conversion must hold each item it reads, and the search use what it copied.
    seed = 3_000_000_000
    target = layout_of(seed, SIZES)
    found: list[int | None] = []
    searching = threading.Event()

    def rewriter() -> None:
        rewrites = 0
        while searching.is_set() or rewrites < 10_000:
            i = rewrites % len(target)
            offset, size = target[i]
            target[i] = (offset + 0, size + 0) if rewrites % 2 else tuple([offset, size])
            rewrites += 1

    def searcher() -> None:
        searching.set()
        try:
            for _ in range(20):
                found.append(na.find_shuffle_seed_first(target, seed - 20_000, 1, 512, 0.0))
        finally:
            searching.clear()

    assert run_threads(lambda k: searcher() if k == 0 else rewriter(), 2) == []
    assert found == [seed] * 20
    assert target == layout_of(seed, SIZES)


# ---- In-place writes racing resizes of the same bytearray ---------------------------------

PREFIX = 1 << 20  # the resizer never removes these bytes...
TAIL = 2 << 20    # ...and adds or removes these behind them: more than the storage can
                  # hold in its slack, so that growing and shrinking reallocate it
ROW_PIXELS = 256
ORIGINAL = bytes(random.Random(21).randbytes(PREFIX))
XOR_KEY = bytes(range(1, 254))  # 253 bytes, prime to every power of two
TILE_MASK = bytes(random.Random(22).randbytes(7 * 5))
TILE_SOURCES = [random.Random(s).randbytes(PREFIX + TAIL) for s in (23, 24)]


def xor_step(buffer: bytearray, k: int) -> None:
    na.xor_cycle_inplace(buffer, XOR_KEY, 0)


def tile_step(buffer: bytearray, k: int) -> None:
    rows = (PREFIX + TAIL) // (4 * ROW_PIXELS)
    na.tile_copy(buffer, TILE_SOURCES[k % 2], ROW_PIXELS, rows, TILE_MASK, 7, 5, 3, -2, False, 90)


def prefixes_after(step: Callable[[bytearray, int], None]) -> list[bytes]:
    """What the prefix holds after an odd and after an even number of steps, alone.

    XOR with the key entered at 0 maps byte i alike however long the buffer is, and a tile
    row is whole bytes of the prefix, so a step changes the prefix as it would alone.
    """
    buffer = bytearray(ORIGINAL)
    results = []
    for k in range(2):
        step(buffer, k)
        results.append(bytes(buffer))
    return [results[1], results[0]]  # indexed by the number of steps done, modulo 2


@pytest.mark.skipif(not BYTEARRAY_THREAD_SAFE, reason=RESIZE_RACE_UNSUPPORTED)
@pytest.mark.parametrize("step", [xor_step, tile_step], ids=["xor_cycle_inplace", "tile_copy"])
def test_in_place_writes_racing_resizes_work_on_one_buffer(step):
    # A writer steps the buffer and, after every call, finds the prefix exactly as its own
    # calls alone leave it: a call that wrote into storage a resize had moved away, or
    # partly into the old and partly into the new storage, shows there. The resizer's own
    # view shows the other side: each resize either happened whole or raised BufferError,
    # and the length is always what its resizes made it. Writes of a megabyte run without
    # the interpreter lock, so the resizer meets calls in progress, and some of its
    # resizes must have been refused: a call that held no export would let them through.
    # Every eighth call the writer also waits for a resize between two calls, so that
    # resizes that get through are met as well.
    buffer = bytearray(ORIGINAL)
    expected = prefixes_after(step)
    writer_done = threading.Event()
    between_calls = threading.Event()
    resized_between = threading.Event()
    resized = [0, 0]  # done, refused with BufferError
    calls = [0]

    def writer() -> None:
        try:
            while calls[0] < 200 or resized[1] == 0:
                assert calls[0] < 100_000, "no resize was refused: the calls hold no export"
                step(buffer, calls[0])
                calls[0] += 1
                assert buffer[:PREFIX] == expected[calls[0] % 2], f"call {calls[0]} tore"
                if calls[0] % 8 == 0:
                    between_calls.set()
                    assert resized_between.wait(60), "no resize between calls: an export stayed"
                    resized_between.clear()
        finally:
            writer_done.set()

    def resizer() -> None:
        length = PREFIX
        while not writer_done.is_set():
            waited_for = between_calls.is_set()
            try:
                if length > PREFIX:
                    del buffer[PREFIX:]
                    length = PREFIX
                else:
                    buffer.extend(bytes(TAIL))
                    length = PREFIX + TAIL
                resized[0] += 1
                if waited_for:
                    between_calls.clear()
                    resized_between.set()
            except BufferError:
                resized[1] += 1
            assert len(buffer) == length

    assert run_threads(lambda k: writer() if k == 0 else resizer(), 2) == []
    assert calls[0] >= 200 and resized[0] >= calls[0] // 8 and resized[1] > 0
    # No call left an export behind: the buffer can still be resized.
    buffer.extend(b"\x00")
    del buffer[PREFIX:]
    assert buffer == expected[calls[0] % 2]


# ---- Many in-place writers sharing one bytearray, and its export count after them ---------

SHARED_WRITERS_CHILD = '''
import json, random, threading, time
import native_accel as na

key = bytes(range(1, 254))
original = random.Random(31).randbytes(SIZE)
source = random.Random(32).randbytes(SIZE)
shared = bytearray(original)
rows = SIZE // (4 * 64)
calls = [0] * len(WRITERS)
barrier = threading.Barrier(len(WRITERS))

def writer(k):
    barrier.wait()
    end = time.monotonic() + SECONDS
    while calls[k] < MAX_CALLS and (calls[k] % 64 or time.monotonic() < end):
        if WRITERS[k] == "xor":
            na.xor_cycle_inplace(shared, key, 0)
        else:  # a mask that selects every pixel: the whole source
            na.tile_copy(shared, source, 64, rows, b"\\x00", 1, 1, 0, 0, False, 0)
        calls[k] += 1

threads = [threading.Thread(target=writer, args=(k,)) for k in range(len(WRITERS))]
for t in threads:
    t.start()
for t in threads:
    t.join()

def keyed(data):
    out = bytearray(data)
    na.xor_cycle_inplace(out, key, 0)
    return bytes(out)

xors = sum(n for n, w in zip(calls, WRITERS) if w == "xor")
# Whole calls one after the other: after the last copy, the XORs that followed it.
if "tile" in WRITERS:
    possible = {source, keyed(source)}
else:
    possible = {keyed(original) if xors % 2 else original}
report = {"calls": calls, "content_ok": bytes(shared) in possible}
view = memoryview(shared)
try:
    shared.append(0)
    report["view_refuses_resize"] = False
except BufferError:
    report["view_refuses_resize"] = True
view.release()
try:
    shared.append(0)
    report["resized"] = True
except BufferError:
    report["resized"] = False
print(json.dumps(report), flush=True)
del shared  # a count left above zero makes this print a SystemError on stderr
'''


@pytest.mark.parametrize("writers", [["xor"] * 4, ["xor", "tile"] * 2],
                         ids=["4 xor_cycle_inplace", "2 xor_cycle_inplace 2 tile_copy"])
@pytest.mark.parametrize("size", [1 << 10, 1 << 16], ids=["1KiB", "64KiB"])
def test_writers_sharing_one_bytearray_give_back_every_export(writers, size):
    # Four threads write one bytearray at once, then the object must resize, refuse to
    # resize while a view of it is alive, and be freed without a complaint: the writers
    # took and gave back exports concurrently, and a lost update of the export count
    # shows as a count too high (no resize, "deallocated bytearray object has exported
    # buffers") or too low (a resize under a live view). The calls come in whole, one after
    # another, which the content shows. Below 32 KiB the writes keep the lock, from it on
    # they let go of it. The run is bounded in time: a few seconds on a free-threaded
    # interpreter, where the counts race; a fraction on a default one.
    seconds = 3.0 if FREE_THREADED else 0.3
    setup = f"SIZE, WRITERS, SECONDS, MAX_CALLS = {size}, {writers!r}, {seconds}, 2_000_000\n"
    done = run_python(setup + SHARED_WRITERS_CHILD, timeout=120)
    assert done.returncode == 0, done.stderr
    report = json.loads(done.stdout)
    assert all(n > 0 for n in report["calls"]), report
    assert report["resized"], "an export count was left too high: the object cannot resize"
    assert report["view_refuses_resize"], "an export count was left too low"
    assert report["content_ok"], "the calls did not come in whole, one after another"
    assert done.stderr == ""
