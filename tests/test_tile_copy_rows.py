"""tile_copy on rows longer than its selection pattern, against a per-pixel model.

Tiles up to 64 columns wide are applied through a per-row pattern of whole tile periods
(256 pixels at most) built from one tile width of mask values: rows that select every
pixel or none become one copy or nothing, the others a blend repeated along the row.
These cases use rows of several periods, with partial mask rows and every phase.
"""

import native_accel as na
from hypothesis import given, settings
from hypothesis import strategies as st
import pytest


def model(dst, src, bx, by, mask, tx, ty, repx, repy, rev, lim):
    out = bytearray(dst)
    limit = min(len(dst), len(src))
    for y in range(by):
        base = tx * ((y - repy) % ty)
        for x in range(bx):
            o = 4 * (y * bx + x)
            if o + 4 > limit:
                return out
            m = base + (x - repx) % tx
            if m < len(mask) and (mask[m] >= lim) != rev:
                out[o:o + 4] = src[o:o + 4]
    return out


def run(dst, *args):
    out = bytearray(dst)
    na.tile_copy(out, *args)
    return out


def images(bx, by):
    n = 4 * bx * by
    return bytes((i * 7 + 3) & 0xFF for i in range(n)), bytes((i * 13 + 1) & 0xFF for i in range(n))


@pytest.mark.parametrize("tx", [1, 2, 3, 7, 8, 9, 31, 32, 33, 63, 64])
@pytest.mark.parametrize("repx", [0, 5, -3])
def test_long_rows_each_tile_width(tx, repx):
    # Rows: some select everything, some nothing, some a mix; the mask's last row is short.
    ty = 4
    rows = [[200] * tx, [0] * tx, [(c * 37) % 256 for c in range(tx)], [255, 0] * tx]
    mask = bytes(v for row in rows for v in row[:tx])[: tx * ty - tx // 2]
    bx, by = 700, 6
    dst, src = images(bx, by)
    args = (src, bx, by, mask, tx, ty, repx, 1, False, 100)
    assert run(dst, *args) == model(dst, *args)


@settings(max_examples=80, deadline=None)
@given(
    tx=st.integers(1, 64), ty=st.integers(1, 4), bx=st.integers(200, 600),
    data=st.data(), repx=st.integers(-(2**31), 2**31 - 1), rev=st.booleans(),
    lim=st.integers(0, 255), shortfall=st.integers(0, 10),
)
def test_random_masks_on_long_rows(tx, ty, bx, data, repx, rev, lim, shortfall):
    mask = data.draw(st.binary(min_size=0, max_size=tx * ty))[: max(0, tx * ty - shortfall)]
    by = 3
    dst, src = images(bx, by)
    src = src[: len(src) - data.draw(st.integers(0, 9))]  # may end inside a row
    args = (src, bx, by, mask, tx, ty, repx, -1, rev, lim)
    assert run(dst, *args) == model(dst, *args)
