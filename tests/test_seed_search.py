"""find_shuffle_seed_first: which seed comes back, on ranges small enough to finish fast.

Hidden seeds sit near the top of the seed range, so that a search from just below them
ends after a few thousand seeds even when nothing matches. Layouts of up to 32768 items
whose positive sizes sum below 2**32 are solved for rather than tested seed by seed: their
searches cover the rest of the seed range within a second, from any seed0.
"""

import math
import random
import sys

import pytest

import native_accel as na
import shuffle_model as model
from call_cases import LASTING_SEARCH, layout_of
from conftest import run_python

TOP = 2**32 - 1
HIDDEN = 2**32 - 5000


def sizes_for(count: int, kind: str, rng: random.Random) -> list[int]:
    if kind == "distinct":
        return rng.sample(range(1, 10 * count + 10), count)
    if kind == "with_empty":  # zero and negative sizes take no room
        return [rng.choice([0, -1, -(2**31), 1, 7, 2**31 - 1, rng.randrange(1, 99)])
                for _ in range(count)]
    if kind == "repeated":  # many seeds lay these out alike
        return [rng.choice([3, 5]) for _ in range(count)]
    raise AssertionError(kind)


def search(target, seed0, workers=1, chunk=None):
    return na.find_shuffle_seed_first(target, seed0, workers, chunk, 0)


def test_worked_example_returns_seed_one():
    target = [(140, 10), (50, 20), (110, 30), (70, 40), (0, 50)]
    assert model.target_for(1, [10, 20, 30, 40, 50]) == target
    assert na.find_shuffle_seed_first(target, 1, 1, None, None) == 1


@pytest.mark.parametrize("target", [[], [(5, 1)], ((0, 0),)])
@pytest.mark.parametrize("seed0", [0, 77, TOP])
def test_fewer_than_two_entries_return_seed0(target, seed0):
    assert na.find_shuffle_seed_first(target, seed0, 1, None, None) == seed0


@pytest.mark.parametrize(
    ("count", "kind", "back"),
    [
        (2, "distinct", 700),
        (3, "with_empty", 900),
        (4, "repeated", 1000),
        (5, "distinct", 1203),
        (8, "with_empty", 3000),
        (16, "distinct", 2001),
        (33, "repeated", 1500),
        (64, "with_empty", 400),
        (257, "distinct", 150),
    ],
)
@pytest.mark.parametrize("chunk", [None, 0, 7])
def test_one_worker_returns_the_smallest_matching_seed(count, kind, back, chunk):
    # chunk 0 claims one seed at a time and 7 leaves ragged ends, in the stretch scanned.
    rng = random.Random(count * 1000 + back)
    sizes = sizes_for(count, kind, rng)
    target = model.target_for(HIDDEN, sizes)
    seed0 = HIDDEN - back
    expected = model.first_match(target, seed0, HIDDEN)
    assert expected is not None
    assert search(target, seed0, 1, chunk) == expected


@pytest.mark.parametrize("count", [2, 3, 6])
def test_small_layouts_match_often_and_in_order(count):
    # A few items have few layouts, so matches come every few seeds: the first one after
    # each start must win, wherever it falls in a group of seeds tested together.
    rng = random.Random(count)
    sizes = sizes_for(count, "distinct", rng)
    target = model.target_for(HIDDEN, sizes)
    for seed0 in rng.sample(range(HIDDEN - 4000, HIDDEN), 10):
        assert search(target, seed0) == model.first_match(target, seed0, HIDDEN)


@pytest.mark.parametrize(
    ("sizes", "expected"),
    [
        ([0, 0, 0, 0], [0, 0, 0, 0]),  # every seed lays these out alike
        ([5, 5, 5, 5], [0, 5, 10, 15]),  # items in their own order
        ([0, 9, 0, 0, 0, 9], None),  # many items may open or close the layout
    ],
)
def test_layouts_with_ambiguous_ends(sizes, expected):
    seed0 = HIDDEN - 2000
    if expected is None:
        target = model.target_for(HIDDEN, sizes)
    else:
        target = list(zip(expected, sizes))
    assert search(target, seed0) == model.first_match(target, seed0, TOP)


@pytest.mark.parametrize("workers", [2, 3, 1000])
def test_several_workers_return_the_smallest_matching_seed(workers):
    rng = random.Random(workers)
    sizes = sizes_for(4, "distinct", rng)
    target = model.target_for(HIDDEN, sizes)
    seed0 = HIDDEN - 3000
    assert search(target, seed0, workers, 16) == model.first_match(target, seed0, TOP)


@pytest.mark.parametrize("workers", [0, 1, 2, 64, 1000, None])
def test_worker_counts_find_the_hidden_seed(workers):
    sizes = sizes_for(12, "distinct", random.Random(12))
    target = model.target_for(HIDDEN, sizes)
    assert na.find_shuffle_seed_first(target, HIDDEN - 2500, workers, 64, 0) == HIDDEN


@pytest.mark.parametrize("workers", [1, 3])
@pytest.mark.parametrize(
    "target",
    [
        [(1, 2)] * 2,  # no item can open the layout
        [(1, 2)] * 40,
        [(0, 1), (0, 1), (2, 1)],  # the ends fit often, but two items claim offset 0
        [(0, 4), (4, 4), (8, 4), (0, 0), (4, -1), (12, 4), (9, 4)],
    ],
)
def test_impossible_layout_returns_none(workers, target):
    assert search(target, TOP - 20000, workers) is None


def solver_sizes(count: int, kind: str, rng: random.Random) -> list[int]:
    """Sizes whose layout the search solves for (positive ones summing below 2**32)."""
    if kind == "distinct":
        return rng.sample(range(1, 4 * count), count)
    if kind == "few_empty":  # items that take no room, at the same offset as others
        return [rng.choice([0, -1, -(2**31)]) if rng.random() < 0.2 else size
                for size in rng.sample(range(1, 4 * count), count)]
    if kind == "mixed":  # mostly items of no room and ties
        return [rng.choice([-2, -1, 0, 1, 3]) for _ in range(count)]
    if kind == "up_to_the_top":  # 2**32 - 1 in all: offsets from 2**31 on read as negative
        sizes = list(range(1, count - 1))
        sizes += [2**31 - 1, 2**31 - sum(sizes)]
        rng.shuffle(sizes)
        return sizes
    raise AssertionError(kind)


@pytest.mark.parametrize("workers", [1, 2])
@pytest.mark.parametrize(
    ("count", "kind", "planted"),
    [
        (17, "distinct", 5),
        (19, "up_to_the_top", 2**32 - 3),
        (23, "few_empty", 2**31 - 1),
        (31, "distinct", 2**31),
        (40, "few_empty", 3_000_000_000),
        (100, "mixed", 77),
        (1000, "distinct", 2**32 - 1),
        (4096, "mixed", 123_456_789),
        (32768, "distinct", 2**31 + 77),
    ],
)
def test_solved_search_returns_the_smallest_twin_from_seed0(count, kind, planted, workers):
    # From 17 items on, another pair of twins lays the items out alike with odds of about
    # 2**31 / 17! (1 in 160000) or less: only the planted seed and its twin match. A search
    # that starts more than a short scan below the twin it returns finds it by solving.
    sizes = solver_sizes(count, kind, random.Random(count))
    target = layout_of(planted, sizes)
    low, high = sorted((planted, planted ^ 2**31))
    assert layout_of(planted ^ 2**31, sizes) == target
    assert search(target, 0, workers) == low
    assert search(target, low, workers) == low
    assert search(target, low + 1, workers) == high
    assert search(target, high, workers) == high
    if high < TOP:
        assert search(target, high + 1, workers) is None


@pytest.mark.parametrize("workers", [1, 2])
def test_the_smallest_of_several_solved_matches_wins(workers):
    # Thirteen items have about three times as many orders as there are pairs of twins, and
    # these sizes are laid out alike by two seeds below 2**31 (a run through all of them
    # found no third). The solver lists matches in an order of its own, not by seed.
    sizes = [67, 75, 48, 60, 38, 58, 34, 19, 137, 55, 76, 8, 111]
    first, second = 81_953_337, 852_516_352
    target = layout_of(second, sizes)
    assert model.matches(first, target)
    assert search(target, 0, workers) == first
    assert search(target, first + 1, workers) == second


@pytest.mark.parametrize("workers", [1, 2])
@pytest.mark.parametrize(
    ("count", "kind"),
    [(2, "mixed"), (3, "mixed"), (5, "few_empty"), (6, "mixed"), (8, "few_empty"),
     (9, "mixed"), (12, "mixed")],
)
def test_frequent_matches_with_ties_and_empty_items(count, kind, workers):
    # Up to a dozen items, many of them taking no room or of equal sizes, match often: the
    # search scans ahead of seed0 before it solves, and either way returns the first match.
    # The hidden seed sits mid-range, where the rest of the range is long enough to solve.
    rng = random.Random(count * 7 + len(kind))
    sizes = solver_sizes(count, kind, rng)
    hidden = rng.randrange(2**30, 3 * 2**30)
    target = model.target_for(hidden, sizes)
    start = hidden - 1500
    matching = [s for s in range(start, hidden + 1) if model.matches(s, target)]
    for seed0 in [start, hidden] + rng.sample(range(start, hidden), 6):
        assert search(target, seed0, workers) == next(s for s in matching if s >= seed0)


@pytest.mark.parametrize("workers", [1, 2])
@pytest.mark.parametrize(("count", "kind"), [(20, "distinct"), (33, "few_empty"), (300, "mixed")])
def test_exchanged_items_match_no_seed(count, kind, workers):
    # Exchanging two items of different offsets keeps the layout one that an order lays
    # out, so the whole range is solved; but a pair of twins lays it out with odds of about
    # 2**31 / 20! (1 in a billion) at most.
    sizes = solver_sizes(count, kind, random.Random(count))
    target = layout_of(3_000_000_000, sizes)
    other = next(k for k, (offset, _) in enumerate(target) if offset != target[0][0])
    target[0], target[other] = target[other], target[0]
    assert search(target, 0, workers) is None


def test_last_seed_alone():
    sizes = [4, 8, 15, 16, 23, 42]
    target = model.target_for(TOP, sizes)
    assert search(target, TOP) == (TOP if model.matches(TOP, target) else None)
    assert search(target, TOP - 1) == model.first_match(target, TOP - 1, TOP)


def test_two_outputs_per_draw_for_long_targets():
    # From 32769 items on, bounds take two outputs per candidate and the search scans.
    rng = random.Random(3)
    sizes = [rng.randrange(-3, 50) for _ in range(32768 + 700)]
    hidden = TOP - 2
    target = model.target_for(hidden, sizes)
    assert search(target, TOP - 6) == hidden


def test_offsets_wrap_as_32_bit_values():
    sizes = [2**31 - 1, 2**31 - 1, 5, 7]
    target = model.target_for(HIDDEN, sizes)
    assert search(target, HIDDEN - 300) == model.first_match(target, HIDDEN - 300, HIDDEN)


def test_keywords_and_signature():
    target = [(140, 10), (50, 20), (110, 30), (70, 40), (0, 50)]
    found = na.find_shuffle_seed_first(progress_iv=0.0, chunk=None, workers=1, seed0=1,
                                       target_idx=target)
    assert found == 1
    assert (na.find_shuffle_seed_first.__text_signature__
            == "(target_idx, seed0, workers, chunk, progress_iv)")


class Floaty:
    def __float__(self):
        return 0.0


@pytest.mark.parametrize(
    ("args", "error", "message"),
    [
        (("ab", 0, 1, None, 0.0), TypeError, "argument 'target_idx': Can't extract `str` to `Vec`"),
        ((None, 0, 1, None, 0.0), TypeError,
         "argument 'target_idx': 'None' is not an instance of 'Sequence'"),
        (({1: 2}, 0, 1, None, 0.0), TypeError,
         "argument 'target_idx': 'dict' object is not an instance of 'Sequence'"),
        (([[0, 1]], 0, 1, None, 0.0), TypeError,
         "argument 'target_idx': 'list' object is not an instance of 'tuple'"),
        (([(0, 1, 2)], 0, 1, None, 0.0), ValueError,
         "expected tuple of length 2, but got tuple of length 3"),
        (([(0, 2**31)], 0, 1, None, 0.0), OverflowError, None),
        (([(0, 1)], 2**32, 1, None, 0.0), OverflowError,
         "out of range integral type conversion attempted"),
        (([(0, 1)], None, 1, None, 0.0), TypeError, "argument 'seed0': "),
        (([(0, 1)], 0, -1, None, 0.0), OverflowError, None),
        (([(0, 1)], 0, 1, 2**32, 0.0), OverflowError,
         "out of range integral type conversion attempted"),
        (([(0, 1)], 0, 1, None, "0.5"), TypeError, "argument 'progress_iv': "),
    ],
)
def test_bad_arguments(args, error, message):
    with pytest.raises(error) as caught:
        na.find_shuffle_seed_first(*args)
    if message is not None:
        assert str(caught.value).startswith(message)


@pytest.mark.parametrize("progress_iv", [Floaty(), 0, -2.5, math.nan, math.inf, 2.0**64, 1e300])
def test_progress_intervals_that_never_report_still_search(progress_iv):
    target = [(140, 10), (50, 20), (110, 30), (70, 40), (0, 50)]
    assert na.find_shuffle_seed_first(target, 1, 1, None, progress_iv) == 1


LIMITED = """
import os, resource
import native_accel as na
def address_space():
    status = open('/proc/self/status').read().split('VmSize:')[1]
    return int(status.split()[0]) * 1024
target = {target}
stack = resource.getrlimit(resource.RLIMIT_STACK)[0]
resource.setrlimit(resource.RLIMIT_AS, (address_space() + {room}, resource.RLIM_INFINITY))
try:
    print("result", na.find_shuffle_seed_first(target, 0, 64, None, 0))
except Exception as error:
    print(type(error).__name__, error)
print("threads left", len(os.listdir('/proc/self/task')))
"""

needs_limits = pytest.mark.skipif(
    not sys.platform.startswith("linux"), reason="address-space limits and /proc are Linux's"
)


@pytest.mark.address_space_limit
@needs_limits
@pytest.mark.parametrize(
    ("target", "room", "outcome"),
    [
        # Room for the stacks of two workers, not of 64: the third thread cannot start, the
        # two running workers are stopped and joined, and the call raises. The layout's
        # sizes wrap and no seed matches it: the workers would still be searching.
        (repr(LASTING_SEARCH), "2 * stack + stack // 2",
         "RuntimeError find_shuffle_seed_first: could not start a worker thread"),
        # No order lays out items that all expect offset 1: no worker is needed, nor started.
        ("[(1, 2)] * 300", "stack // 2", "result None"),
    ],
    ids=["lasting", "no-order-fits"],
)
def test_a_refused_worker_thread_raises_unless_none_is_needed(target, room, outcome):
    done = run_python(LIMITED.format(target=target, room=room))
    assert done.returncode == 0, done.stderr
    assert done.stdout == f"{outcome}\nthreads left 1\n"


@pytest.mark.address_space_limit
@needs_limits
def test_tables_beyond_memory_raise_memory_error():
    done = run_python(LIMITED.format(target="[(1, 2)] * 2_000_000", room="64 * 2**20"))
    assert done.returncode == 0, done.stderr
    assert done.stdout == "MemoryError \nthreads left 1\n"
