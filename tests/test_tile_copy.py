"""Masked tile copy: worked cases, huge sizes, and agreement with a direct model."""

import pytest
from hypothesis import given, strategies as st

import native_accel as na
from conftest import examples


def model(dst, src, bx, by, mask, tx, ty, repx, repy, rev, lim):
    """The copy rule written out pixel by pixel."""
    out = bytearray(dst)
    if not (tx and ty and src and dst and bx and by):
        return out
    phase_x, phase_y = (-repx) % tx, (-repy) % ty
    limit = min(len(dst), len(src))
    for y in range(by):
        base = tx * ((y + phase_y) % ty)
        for x in range(bx):
            m = base + (x + phase_x) % tx
            o = 4 * (y * bx + x)
            if o + 4 > limit:
                return out
            if m < len(mask) and (mask[m] >= lim) != rev:
                out[o:o + 4] = src[o:o + 4]
    return out


def run(dst, *args):
    dst = bytearray(dst)
    na.tile_copy(dst, *args)
    return dst


def pixels(n, value):
    return bytes([value]) * (4 * n)


SRC = bytes(range(1, 65))  # 16 distinct pixels


@pytest.mark.parametrize(
    "lim, rev, copied",
    [(128, False, True), (129, False, False), (129, True, True), (128, True, False)],
)
def test_threshold_and_reverse(lim, rev, copied):
    out = run(bytes(8), SRC[:8], 2, 1, b"\x80", 1, 1, 0, 0, rev, lim)
    assert out == (SRC[:8] if copied else bytes(8))


@pytest.mark.parametrize("rev", [False, True])
def test_empty_mask_copies_nothing(rev):
    assert run(bytes(8), SRC[:8], 2, 1, b"", 1, 1, 0, 0, rev, 0) == bytes(8)


@pytest.mark.parametrize("repx, columns", [(0, [1, 3, 5]), (1, [0, 2, 4]), (-1, [0, 2, 4]),
                                           (3, [0, 2, 4]), (2, [1, 3, 5])])
def test_pattern_offset_selects_columns(repx, columns):
    out = run(bytes(24), SRC[:24], 6, 1, b"\x00\xff", 2, 1, repx, 0, False, 1)
    copied = [x for x in range(6) if out[4 * x:4 * x + 4] != bytes(4)]
    assert copied == columns


def test_partial_pixels_are_never_written():
    out = run(b"\xee" * 10, SRC * 2, 4, 4, b"\xff", 1, 1, 0, 0, False, 0)
    assert out == SRC[:8] + b"\xee\xee"


def test_mask_index_past_the_mask_is_skipped_even_reversed():
    # A 2 x 2 tile of which only 3 values exist: pixel (1, 1) has no mask value.
    out = run(bytes(16), SRC[:16], 2, 2, b"\x00\x00\x00", 2, 2, 0, 0, True, 1)
    assert out == SRC[:12] + bytes(4)


def test_min_int32_offset_uses_its_true_residue():
    # phase = 2**31 mod 7 = 2, so pixel 0 reads tile column 2.
    mask = bytes([0, 0, 255, 0, 0, 0, 0])
    out = run(bytes(28), SRC[:28], 7, 1, mask, 7, 1, -(2**31), 0, False, 1)
    assert out == SRC[:4] + bytes(24)


@pytest.mark.parametrize(
    "args",
    [
        (0, 1, b"\xff", 1, 1), (1, 0, b"\xff", 1, 1), (1, 1, b"\xff", 0, 1), (1, 1, b"\xff", 1, 0),
    ],
)
def test_zero_sizes_write_nothing(args):
    bx, by, mask, tx, ty = args
    assert run(bytes(16), SRC[:16], bx, by, mask, tx, ty, 0, 0, False, 0) == bytes(16)


@pytest.mark.parametrize(
    "bx, by, tx, ty",
    [
        (2**62, 1, 1, 1),
        (2**64 - 1, 2**64 - 1, 1, 1),
        (3, 2**64 - 1, 2**64 - 1, 2**64 - 1),
        (2, 3, 2**63, 5),
        (2**62 + 1, 4, 2, 2**64 - 1),
    ],
)
def test_huge_grids_and_tiles_stay_inside_the_buffers(bx, by, tx, ty):
    # Offsets and mask indexes of such sizes do not fit in 64 bits; the walk must still
    # stop at the end of the images and never index past the mask.
    mask = b"\xff\x00\xff\xff\x00\xff\xff\xff"
    for repx, repy in [(0, 0), (5, -7), (-(2**31), 2**31 - 1)]:
        expected = model(b"\xee" * 40, SRC, bx, by, mask, tx, ty, repx, repy, False, 1)
        assert run(b"\xee" * 40, SRC, bx, by, mask, tx, ty, repx, repy, False, 1) == expected


def test_every_pixel_selected_copies_whole_rows():
    src = bytes(range(256)) * 4
    out = run(bytes(1024), src, 16, 16, b"\x09" * 64, 8, 8, 3, 3, False, 9)
    assert out == src


@examples(400)
@given(
    st.integers(0, 9), st.integers(0, 6), st.integers(0, 80), st.integers(0, 80),
    st.binary(max_size=30), st.integers(0, 7), st.integers(0, 5),
    st.integers(-(2**31), 2**31 - 1), st.integers(-(2**31), 2**31 - 1),
    st.booleans(), st.integers(0, 255),
)
def test_agrees_with_model(bx, by, dst_len, src_len, mask, tx, ty, repx, repy, rev, lim):
    dst = bytes((i * 7 + 3) & 0xFF for i in range(dst_len))
    src = bytes((i * 13 + 1) & 0xFF for i in range(src_len))
    expected = model(dst, src, bx, by, mask, tx, ty, repx, repy, rev, lim)
    assert run(dst, src, bx, by, mask, tx, ty, repx, repy, rev, lim) == expected


@examples(60)
@given(st.integers(60, 90), st.integers(1, 4), st.binary(min_size=1, max_size=400),
       st.integers(-300, 300), st.booleans(), st.integers(0, 255))
def test_wide_tiles_agree_with_model(tx, ty, mask, repx, rev, lim):
    # Tiles wider than the pattern buffer take the per-pixel path.
    bx, by = 100, 3
    dst = bytes(4 * bx * by)
    src = bytes((i * 5 + 2) & 0xFF for i in range(4 * bx * by))
    expected = model(dst, src, bx, by, mask, tx, ty, repx, 1, rev, lim)
    assert run(dst, src, bx, by, mask, tx, ty, repx, 1, rev, lim) == expected


def test_bytes_destination_is_refused():
    with pytest.raises(TypeError, match="^argument 'dst': 'bytes' object is not an instance of 'bytearray'$"):
        na.tile_copy(b"\x00" * 8, SRC, 2, 1, b"\xff", 1, 1, 0, 0, False, 0)


# ---- rows longer than the selection pattern ---------------------------------------------
# Tiles up to 64 columns wide are applied through a per-row pattern of whole tile periods
# built from one tile width of mask values: rows that select every pixel or none become one
# copy or nothing, the others a blend repeated along the row. These cases use rows of
# several periods, with partial mask rows and every phase.

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


@examples(80)
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
