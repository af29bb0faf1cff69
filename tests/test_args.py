"""The argument layer: parser messages and precedence, each converter, error rewriting."""

import numpy as np
import pytest

import native_accel as na

MASK_ARGS = dict(src=b"\xff" * 8, bx=2, by=1, mask=b"\xff", tx=1, ty=1, repx=0, repy=0,
                 rev=False, lim=0)


def tile(dst, **changes):
    return na.tile_copy(dst, **{**MASK_ARGS, **changes})


# ---- parser -----------------------------------------------------------------------------

@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: na.md5_digest(b"a", b"b"),
         "md5_digest() takes 1 positional arguments but 2 were given"),
        (lambda: na.xor_cycle_inplace(bytearray(), b"", 0, 1),
         "xor_cycle_inplace() takes 3 positional arguments but 4 were given"),
        (lambda: na.md5_digest(b"a", data=b"b"),
         "md5_digest() got multiple values for argument 'data'"),
        (lambda: na.md5_digest(date=b"b"),
         "md5_digest() got an unexpected keyword argument 'date'"),
        (lambda: na.md5_digest(Data=b"b"),  # names are case-sensitive
         "md5_digest() got an unexpected keyword argument 'Data'"),
        (lambda: na.md5_digest(), "md5_digest() missing 1 required positional argument: 'data'"),
        (lambda: na.tile_copy(),
         "tile_copy() missing 11 required positional arguments: 'dst', 'src', 'bx', 'by', "
         "'mask', 'tx', 'ty', 'repx', 'repy', 'rev', and 'lim'"),
        (lambda: na.xor_cycle_inplace(bytearray(), start=0),
         "xor_cycle_inplace() missing 1 required positional argument: 'code'"),
        (lambda: na.xor_cycle_inplace(code=b""),
         "xor_cycle_inplace() missing 2 required positional arguments: 'data' and 'start'"),
        # Precedence: too many positional first, then keywords, then missing.
        (lambda: na.xor_cycle_inplace(1, 2, 3, 4, bogus=1),
         "xor_cycle_inplace() takes 3 positional arguments but 4 were given"),
        (lambda: na.xor_cycle_inplace(bogus=1),
         "xor_cycle_inplace() got an unexpected keyword argument 'bogus'"),
        (lambda: na.xor_cycle_inplace(bytearray(), data=1),
         "xor_cycle_inplace() got multiple values for argument 'data'"),
    ],
)
def test_parser_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    assert type(info.value) is TypeError


def test_keywords_in_any_order_equal_positional():
    a, b = bytearray(b"hello"), bytearray(b"hello")
    na.xor_cycle_inplace(a, b"k!", 3)
    na.xor_cycle_inplace(start=3, code=b"k!", data=b)
    assert a == b


def test_parse_error_comes_before_conversion():
    # The wrong type of `data` would fail conversion, but the count is reported first.
    with pytest.raises(TypeError, match="takes 1 positional"):
        na.md5_digest(None, None)


# ---- bytes and bytearray ----------------------------------------------------------------

class BytesSub(bytes):
    pass


class ByteArraySub(bytearray):
    pass


@pytest.mark.parametrize(
    "value, message",
    [
        (bytearray(b"a"), "argument 'data': 'bytearray' object is not an instance of 'bytes'"),
        (memoryview(b"a"), "argument 'data': 'memoryview' object is not an instance of 'bytes'"),
        ("a", "argument 'data': 'str' object is not an instance of 'bytes'"),
        (None, "argument 'data': 'None' is not an instance of 'bytes'"),
        (ByteArraySub(b"a"),
         "argument 'data': 'ByteArraySub' object is not an instance of 'bytes'"),
    ],
)
def test_bytes_converter_refuses(value, message):
    with pytest.raises(TypeError) as info:
        na.md5_digest(value)
    assert str(info.value) == message


def test_bytes_subclass_is_read_in_place():
    assert na.md5_digest(BytesSub(b"abc")) == na.md5_digest(b"abc")


@pytest.mark.parametrize(
    "value, message",
    [
        (b"ab", "argument 'data': 'bytes' object is not an instance of 'bytearray'"),
        (memoryview(bytearray(b"ab")),
         "argument 'data': 'memoryview' object is not an instance of 'bytearray'"),
        (None, "argument 'data': 'None' is not an instance of 'bytearray'"),
    ],
)
def test_bytearray_converter_refuses(value, message):
    with pytest.raises(TypeError) as info:
        na.xor_cycle_inplace(value, b"k", 0)
    assert str(info.value) == message


def test_bytearray_subclass_is_written_in_place():
    data = ByteArraySub(b"\x00\x00")
    na.xor_cycle_inplace(data, b"\x05", 0)
    assert data == b"\x05\x05" and type(data) is ByteArraySub


class ForeignBuffer(bytearray):
    """Its buffer protocol, written in Python, hands out another object's memory."""

    decoy: bytearray

    def __buffer__(self, flags):
        return memoryview(self.decoy)


class ShortLength(bytearray):
    def __len__(self):
        return bytearray.__len__(self) // 2


class LongLength(bytearray):
    def __len__(self):
        return bytearray.__len__(self) * 2


IN_PLACE_KEY = bytes(range(1, 254))
ROW = 64  # pixels


def xor_write(buffer: bytearray) -> None:
    na.xor_cycle_inplace(buffer, IN_PLACE_KEY, 5)


def tile_write(buffer: bytearray) -> None:
    # The grid covers twice the destination, from a source of that size, so that a write
    # bounded by a longer length than the storage's would run past it.
    rows = 2 * bytearray.__len__(buffer) // (4 * ROW)
    source = bytes((i * 13 + 1) & 0xFF for i in range(4 * ROW * rows))
    na.tile_copy(buffer, source, ROW, rows, b"\xff\x00\x80", 3, 1, 0, 0, False, 0x80)


# 1 KiB is written under the lock, 64 KiB without it (from 32 KiB on).
@pytest.mark.parametrize("size", [1 << 10, 1 << 16], ids=["1KiB", "64KiB"])
@pytest.mark.parametrize("write", [xor_write, tile_write], ids=["xor_cycle_inplace", "tile_copy"])
@pytest.mark.parametrize("kind", [ForeignBuffer, ShortLength, LongLength])
def test_in_place_writes_reach_a_subclass_own_storage_whatever_it_overrides(kind, write, size):
    # The storage is read through bytearray's own methods (bytearray.copy, __len__), as
    # comparing the object itself would go through its __buffer__ too.
    original = bytes((i * 7 + 3) & 0xFF for i in range(size))
    expected = bytearray(original)
    write(expected)
    target = kind(original)
    target.decoy = bytearray(original)  # what ForeignBuffer's __buffer__ hands out
    write(target)
    assert bytearray.copy(target) == expected and expected != original
    if kind is ForeignBuffer:
        assert target.decoy == original, "the write went into the memory __buffer__ handed out"
    # The export taken for the write was given back: the object resizes again.
    target.append(1)
    assert bytearray.__len__(target) == size + 1


def test_code_refuses_str_and_bytearray():
    with pytest.raises(TypeError, match=r"^argument 'code': 'str' object is not an instance of 'bytes'$"):
        na.xor_cycle_inplace(bytearray(1), "k", 0)
    with pytest.raises(TypeError, match=r"^argument 'code': 'bytearray' object"):
        na.xor_cycle_inplace(bytearray(1), bytearray(b"k"), 0)


# ---- integers ---------------------------------------------------------------------------

class IntSub(int):
    pass


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class RaisingIndex:
    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error


@pytest.mark.parametrize("start", [IntSub(1), True, Index(1), 1])
def test_unsigned_accepts_int_subclasses_bool_and_index(start):
    data = bytearray(2)
    na.xor_cycle_inplace(data, b"\x01\x02", start)
    assert data == b"\x02\x01"


def test_unsigned_range():
    na.xor_cycle_inplace(bytearray(1), b"k", 2**64 - 1)
    for bad in (-1, 2**64, Index(-1)):
        with pytest.raises(OverflowError) as info:
            na.xor_cycle_inplace(bytearray(1), b"k", bad)
        assert not str(info.value).startswith("argument")


def test_unsigned_refuses_float_with_prefixed_interpreter_message():
    with pytest.raises(TypeError) as info:
        na.xor_cycle_inplace(bytearray(1), b"k", 1.0)
    assert str(info.value).startswith("argument 'start': ")
    assert "float" in str(info.value)


def test_error_from_index_passes_through_unless_exactly_type_error():
    class MyTypeError(TypeError):
        pass

    with pytest.raises(ValueError, match="^nope$"):
        na.xor_cycle_inplace(bytearray(1), b"k", RaisingIndex(ValueError("nope")))
    with pytest.raises(MyTypeError, match="^sub$"):
        na.xor_cycle_inplace(bytearray(1), b"k", RaisingIndex(MyTypeError("sub")))
    with pytest.raises(TypeError, match="^argument 'start': exact$"):
        na.xor_cycle_inplace(bytearray(1), b"k", RaisingIndex(TypeError("exact")))


def test_rewritten_type_error_keeps_only_the_cause():
    root = KeyError("root")
    error = TypeError("with cause")
    error.__cause__ = root
    with pytest.raises(TypeError) as info:
        na.xor_cycle_inplace(bytearray(1), b"k", RaisingIndex(error))
    assert str(info.value) == "argument 'start': with cause"
    assert info.value is not error
    assert info.value.__cause__ is root


@pytest.mark.parametrize("repx", [-(2**31), 2**31 - 1, -1, IntSub(-5), Index(3)])
def test_signed_32_accepts_its_range(repx):
    dst = bytearray(8)
    tile(dst, repx=repx)
    assert dst == b"\xff" * 8


@pytest.mark.parametrize("name", ["repx", "repy"])
@pytest.mark.parametrize("value", [2**31, -(2**31) - 1, 2**70])
def test_signed_32_out_of_range(name, value):
    with pytest.raises(OverflowError) as info:
        tile(bytearray(8), **{name: value})
    assert not str(info.value).startswith("argument")


@pytest.mark.parametrize("lim", [256, -1, 2**40])
def test_unsigned_8_out_of_range(lim):
    dst = bytearray(8)
    with pytest.raises(OverflowError) as info:
        tile(dst, lim=lim)
    if lim in (256, -1):
        assert str(info.value) == "out of range integral type conversion attempted"
    assert dst == bytearray(8)


@pytest.mark.parametrize("lim", [0, 255])
def test_unsigned_8_bounds_accepted(lim):
    dst = bytearray(8)
    tile(dst, lim=lim)
    assert dst == (b"\xff" * 8)


# ---- flags ------------------------------------------------------------------------------

NumpyLikeWithoutBool = type("bool_", (), {"__module__": "numpy"})


class _RaisingBool:
    def __bool__(self):
        raise ZeroDivisionError("no truth")


NumpyLikeRaising = type("bool", (_RaisingBool,), {"__module__": "numpy"})


@pytest.mark.parametrize("rev, copies", [(True, False), (False, True),
                                         (np.bool_(True), False), (np.False_, True)])
def test_flag_accepts_bools_and_numpy_bools(rev, copies):
    dst = bytearray(8)
    tile(dst, rev=rev)
    assert (dst == b"\xff" * 8) is copies


@pytest.mark.parametrize(
    "rev, message",
    [
        (1, "argument 'rev': 'int' object is not an instance of 'bool'"),
        (0, "argument 'rev': 'int' object is not an instance of 'bool'"),
        (None, "argument 'rev': 'None' is not an instance of 'bool'"),
        (np.int8(1), "argument 'rev': 'int8' object is not an instance of 'bool'"),
        (NumpyLikeWithoutBool(),
         "argument 'rev': object of type '<class 'numpy.bool_'>' does not define a "
         "'__bool__' conversion"),
    ],
)
def test_flag_refuses(rev, message):
    dst = bytearray(8)
    with pytest.raises(TypeError) as info:
        tile(dst, rev=rev)
    assert str(info.value) == message
    assert dst == bytearray(8)


def test_flag_truth_slot_error_passes_through():
    with pytest.raises(ZeroDivisionError, match="no truth"):
        tile(bytearray(8), rev=NumpyLikeRaising())


# ---- order of conversion and untouched mutable arguments ---------------------------------

def test_first_failing_argument_is_reported_and_dst_untouched():
    dst = bytearray(b"\x11" * 8)
    with pytest.raises(TypeError, match="^argument 'src'"):
        na.tile_copy(dst, None, -1, 1, b"", 1, 1, 0, 0, 1, 999)
    with pytest.raises(OverflowError):
        na.tile_copy(dst, b"", -1, 1, None, 1, 1, 0, 0, 1, 999)
    with pytest.raises(TypeError, match="^argument 'mask'"):
        na.tile_copy(dst, b"", 1, 1, None, 1, 1, 0, 0, 1, 999)
    with pytest.raises(TypeError, match="^argument 'rev'"):
        na.tile_copy(dst, b"", 1, 1, b"", 1, 1, 0, 0, 1, 999)
    assert dst == b"\x11" * 8


def test_xor_failure_leaves_data_unchanged():
    data = bytearray(b"unchanged")
    for bad in ([b"k", -1], [b"k", 1.5], ["k", 0], [b"k", Index(-3)]):
        with pytest.raises((TypeError, OverflowError)):
            na.xor_cycle_inplace(data, *bad)
    assert data == b"unchanged"
