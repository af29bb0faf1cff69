"""A plain-Python model of the rand() generator, its bounded draw, the shuffle and the
seed search's layout, written from the format's rules and used as the tests' reference."""

MASK32 = 0xFFFFFFFF


class MsvcRand:
    def __init__(self, state: int) -> None:
        self.state = state & MASK32

    def next(self) -> int:
        self.state = (self.state * 214013 + 2531011) & MASK32
        return (self.state >> 16) & 0x7FFF


def range_plan(bound: int) -> tuple[int, int, int, int]:
    """(draws, mask, quotient, remainder) of a draw below ``bound``."""
    mask = draws = 0
    while mask < bound - 1:
        mask = ((mask << 15) | 0x7FFF) & MASK32
        draws += 1
    return draws, mask, mask // bound, mask % bound


def rand_below(rng: MsvcRand, bound: int) -> int:
    draws, _, quotient, remainder = range_plan(bound)
    if draws == 0:
        return 0
    while True:
        v = 0
        for _ in range(draws):
            v = ((v << 15) | rng.next()) & MASK32
        if v // bound < quotient or remainder == bound - 1:
            return v % bound


def shuffle(state: int, items: list) -> int:
    """Permutes ``items`` in place and returns the final state."""
    rng = MsvcRand(state)
    for i in range(2, len(items) + 1):
        j = rand_below(rng, i)
        if j != i - 1:
            items[i - 1], items[j] = items[j], items[i - 1]
    return rng.state


def layout(seed: int, sizes: list[int]) -> list[int]:
    """Each item's offset when the items, shuffled from ``seed``, are laid out back to back
    (items of size 0 or less take no room; offsets wrap as 32-bit values)."""
    order = list(range(len(sizes)))
    shuffle(seed, order)
    offsets = [0] * len(sizes)
    running = 0
    for k in order:
        offsets[k] = running
        if sizes[k] > 0:
            running = (running + sizes[k]) & MASK32
    return offsets


def as_i32(value: int) -> int:
    value &= MASK32
    return value - (1 << 32) if value >= 1 << 31 else value


def target_for(seed: int, sizes: list[int]) -> list[tuple[int, int]]:
    """The ``target_idx`` that the layout of ``seed`` produces."""
    return [(as_i32(offset), size) for offset, size in zip(layout(seed, sizes), sizes)]


def matches(seed: int, target: list[tuple[int, int]]) -> bool:
    sizes = [size for _, size in target]
    return all(offset & MASK32 == expected & MASK32
               for offset, (expected, _) in zip(layout(seed, sizes), target))


def first_match(target: list[tuple[int, int]], seed0: int, last: int) -> int | None:
    """The smallest seed from seed0 to last (inclusive) whose layout is the target."""
    for seed in range(seed0, last + 1):
        if matches(seed, target):
            return seed
    return None
