// Entry of the tiled mask copy.
#include "image/tile_copy.hpp"
#include "python/args.hpp"
#include "python/catalogue.hpp"
#include "python/interpreter_lock.hpp"

namespace native_accel::python {
namespace {

constexpr const char* kTileParams[] = {"dst", "src", "bx",   "by",  "mask", "tx",
                                       "ty",  "repx", "repy", "rev", "lim"};
constexpr ArgSpec kTileCopy{"tile_copy", kTileParams, 11};

PyObject* tile_copy(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return invoke<ByteArray, Bytes, U64, U64, Bytes, U64, U64, I32, I32, Flag, U8>(
        kTileCopy, args, nargs, kwnames,
        [](const WritableBytes& dst, ByteView src, std::uint64_t bx, std::uint64_t by,
           ByteView mask, std::uint64_t tx, std::uint64_t ty, std::int32_t repx,
           std::int32_t repy, bool rev, std::uint8_t lim) -> PyObject* {
            const image::TileMask tile{mask, tx, ty, repx, repy, rev, lim};
            const bool written = with_exclusive_storage(dst, [&](std::span<std::uint8_t> storage) {
                image::tile_copy(storage, src, bx, by, tile);
            });
            return written ? none_result() : nullptr;
        });
}

}  // namespace

NATIVE_ACCEL_METHOD(tile_copy, "(dst, src, bx, by, mask, tx, ty, repx, repy, rev, lim)");

}  // namespace native_accel::python
