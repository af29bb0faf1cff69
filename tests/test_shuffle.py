"""msvcrand_shuffle_inplace: the rand() sequence, its bounded draw and the list shuffle."""

import random
import sys

import pytest
from hypothesis import given
from hypothesis import strategies as st

import native_accel as na
import shuffle_model as model
from conftest import examples

LCG_STEP = (214013, 2531011)


def lcg(state: int, steps: int) -> int:
    for _ in range(steps):
        state = (state * LCG_STEP[0] + LCG_STEP[1]) & 0xFFFFFFFF
    return state


def test_first_ten_outputs_from_state_one():
    # A two-element list takes exactly one output (bound 2 never rejects), so chaining the
    # returned states walks the native generator one output at a time.
    state, outputs = 1, []
    for _ in range(10):
        state = na.msvcrand_shuffle_inplace(state, [0, 1])
        outputs.append((state >> 16) & 0x7FFF)
    assert outputs == [41, 18467, 6334, 26500, 19169, 15724, 11478, 29358, 26962, 24464]
    rng = model.MsvcRand(1)
    assert [rng.next() for _ in range(10)] == outputs


@pytest.mark.parametrize(
    ("length", "order", "final_state"),
    [
        (5, [4, 1, 3, 2, 0], 3884216597),
        (10, [8, 1, 9, 2, 0, 5, 7, 3, 4, 6], 1766988168),
    ],
)
def test_worked_examples_from_state_one(length, order, final_state):
    items = list(range(length))
    assert na.msvcrand_shuffle_inplace(1, items) == final_state
    assert items == order


@pytest.mark.parametrize("items", [[], ["only"]])
@pytest.mark.parametrize("state", [0, 1, 4294967295])
def test_short_lists_draw_nothing(items, state):
    before = list(items)
    assert na.msvcrand_shuffle_inplace(state, items) == state
    assert items == before


@pytest.mark.parametrize(
    ("bound", "draws", "mask", "quotient", "remainder"),
    [
        (1, 0, 0, 0, 0),
        (2, 1, 0x7FFF, 16383, 1),
        (3, 1, 0x7FFF, 10922, 1),
        (32768, 1, 0x7FFF, 0, 32767),
        (32769, 2, 0x3FFFFFFF, 32767, 0),
        (1 << 30, 2, 0x3FFFFFFF, 0, (1 << 30) - 1),
        ((1 << 30) + 1, 3, 0xFFFFFFFF, 3, (1 << 30) - 4),
        (0xFFFFFFFF, 3, 0xFFFFFFFF, 1, 0),
    ],
)
def test_model_range_plans(bound, draws, mask, quotient, remainder):
    # The model is the reference for everything below, so its plans are pinned to the
    # table of outputs per bound, including the third pass that shifts bits out.
    assert model.range_plan(bound) == (draws, mask, quotient, remainder)


def states_whose_second_output_is(values, count):
    found, state = [], 12345
    while len(found) < count:
        state = (state * 69069 + 1) & 0xFFFFFFFF  # any walk over states will do
        if (lcg(state, 2) >> 16) & 0x7FFF in values:
            found.append(state)
    return found


@pytest.mark.parametrize("state", states_whose_second_output_is({32766, 32767}, 4))
def test_bound_three_rejects_the_last_two_candidates(state):
    # Bound 3: quotient 10922, remainder 1, so 32766 and 32767 are drawn again. A list of
    # three draws once for bound 2 and then needs a third output for bound 3.
    items = [0, 1, 2]
    expected = list(items)
    assert na.msvcrand_shuffle_inplace(state, items) == lcg(state, 3)
    assert model.shuffle(state, expected) == lcg(state, 3)
    assert items == expected


@pytest.mark.parametrize("state", states_whose_second_output_is(set(range(32766)), 4))
def test_bound_three_keeps_other_candidates(state):
    items = [0, 1, 2]
    assert na.msvcrand_shuffle_inplace(state, items) == lcg(state, 2)


@examples(150)
@given(state=st.integers(0, 0xFFFFFFFF), length=st.integers(0, 300))
def test_matches_model(state, length):
    items = list(range(length))
    expected = list(range(length))
    assert na.msvcrand_shuffle_inplace(state, items) == model.shuffle(state, expected)
    assert items == expected


def test_matches_model_beyond_one_output_per_draw():
    # From 32769 elements on, every draw glues two outputs into one candidate.
    length = 32768 + 1500
    state = random.Random(5).getrandbits(32)
    items = list(range(length))
    expected = list(range(length))
    assert na.msvcrand_shuffle_inplace(state, items) == model.shuffle(state, expected)
    assert items == expected


def test_elements_are_exchanged_not_copied():
    objects = [object() for _ in range(50)]
    counts = [sys.getrefcount(o) for o in objects]
    items = list(objects)
    expected = list(objects)
    na.msvcrand_shuffle_inplace(99, items)
    model.shuffle(99, expected)
    assert all(a is b for a, b in zip(items, expected))
    del items, expected
    assert [sys.getrefcount(o) for o in objects] == counts


def test_list_subclass_is_shuffled_through_its_storage():
    class Tracked(list):
        def __setitem__(self, index, value):  # never called: the storage is used directly
            raise AssertionError("item assignment used")

    items = Tracked(range(5))
    assert na.msvcrand_shuffle_inplace(1, items) == 3884216597
    assert list(items) == [4, 1, 3, 2, 0]


@pytest.mark.parametrize(
    ("state", "a", "error", "message"),
    [
        (1, (0, 1, 2), TypeError, "argument 'a': 'tuple' object is not an instance of 'list'"),
        (1, None, TypeError, "argument 'a': 'None' is not an instance of 'list'"),
        (1 << 32, [0, 1], OverflowError, "out of range integral type conversion attempted"),
        (-1, [0, 1], OverflowError, None),
        (1 << 64, [0, 1], OverflowError, None),
        ("1", [0, 1], TypeError, "argument 'state': "),
    ],
)
def test_bad_arguments_leave_the_list_alone(state, a, error, message):
    before = None if a is None else list(a)
    with pytest.raises(error) as caught:
        na.msvcrand_shuffle_inplace(state, a)
    if message is not None:
        assert str(caught.value).startswith(message)
    if before is not None:
        assert list(a) == before


def test_keywords_and_signature():
    items = list(range(5))
    assert na.msvcrand_shuffle_inplace(a=items, state=1) == 3884216597
    assert na.msvcrand_shuffle_inplace.__text_signature__ == "(state, a)"
    assert na.__all__[-2:] == ["msvcrand_shuffle_inplace", "find_shuffle_seed_first"]
