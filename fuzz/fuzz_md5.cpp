// md5_digest on arbitrary bytes. Full blocks are read in place and the tail is assembled
// in a local buffer, so the lengths around every multiple of 64 (55/56 bytes into a block
// decide whether the padding needs a second block) are where an overread would sit. The
// message is copied into an allocation of its exact size, and digesting the same bytes at
// an odd address must give the same digest (the block reader must not depend on alignment).
#include "crypto/md5.hpp"
#include "support.hpp"

namespace {

using native_accel::fuzz::Bytes;

std::vector<Bytes> seeds() {
    std::vector<Bytes> out;
    for (std::size_t length : {0, 3, 55, 56, 63, 64, 65, 119, 120, 128}) {
        out.push_back(native_accel::fuzz::pattern_bytes(length, 11));
    }
    return out;
}

}  // namespace

// 4 KiB covers 64 blocks and every tail length many times over.
NATIVE_ACCEL_FUZZ_SEEDS(seeds, 4096)

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Bytes message(data, data + size);
    const auto digest = native_accel::crypto::md5_digest(message);

    Bytes shifted(size + 1);
    std::copy(message.begin(), message.end(), shifted.begin() + 1);
    const auto again = native_accel::crypto::md5_digest(std::span(shifted).subspan(1));
    FUZZ_CHECK(digest == again);
    return 0;
}
