// The tiled mask copy.
#include "image/tile_copy.hpp"
#include "python/catalogue.hpp"
#include "python/function.hpp"
#include "python/interpreter_lock.hpp"

namespace native_accel::python {
namespace {

PyObject* tile_copy_impl(const WritableBytes& dst, ByteView src, std::uint64_t bx,
                         std::uint64_t by, ByteView mask, std::uint64_t tx, std::uint64_t ty,
                         std::int32_t repx, std::int32_t repy, bool rev, std::uint8_t lim) {
    const image::TileMask tile{mask, tx, ty, repx, repy, rev, lim};
    const bool written = with_exclusive_storage(dst, [&](std::span<std::uint8_t> storage) {
        image::tile_copy(storage, src, bx, by, tile);
    });
    return written ? none_result() : nullptr;
}

}  // namespace

PyMethodDef tile_copy_method = declare<"tile_copy", tile_copy_impl>(
    Param<"dst", ByteArray>{}, Param<"src", Bytes>{}, Param<"bx", U64>{}, Param<"by", U64>{},
    Param<"mask", Bytes>{}, Param<"tx", U64>{}, Param<"ty", U64>{}, Param<"repx", I32>{},
    Param<"repy", I32>{}, Param<"rev", Flag>{}, Param<"lim", U8>{});

}  // namespace native_accel::python
