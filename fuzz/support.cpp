#include "support.hpp"

// The sanitizer's interface comes with the compilers that have the sanitizer; the cross
// compilers for Windows do not, and there the guards are checked by intact() alone.
#if __has_include(<sanitizer/asan_interface.h>)
#include <sanitizer/asan_interface.h>
#else
#define ASAN_POISON_MEMORY_REGION(address, size) ((void)(address), (void)(size))
#define ASAN_UNPOISON_MEMORY_REGION(address, size) ((void)(address), (void)(size))
#endif

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace native_accel::fuzz {

void fail(const char* condition, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: property broken: %s\n", file, line, condition);
    std::abort();
}

GuardedBuffer::GuardedBuffer(std::span<const std::uint8_t> contents)
    : storage_(contents.size() + 2 * kGuardBytes, kGuardValue), size_(contents.size()) {
    if (!contents.empty()) std::memcpy(storage_.data() + kGuardBytes, contents.data(), size_);
    ASAN_POISON_MEMORY_REGION(storage_.data(), kGuardBytes);
    ASAN_POISON_MEMORY_REGION(storage_.data() + kGuardBytes + size_, kGuardBytes);
}

GuardedBuffer::~GuardedBuffer() { ASAN_UNPOISON_MEMORY_REGION(storage_.data(), storage_.size()); }

bool GuardedBuffer::intact() noexcept {
    ASAN_UNPOISON_MEMORY_REGION(storage_.data(), storage_.size());
    for (std::size_t k = 0; k < kGuardBytes; ++k) {
        if (storage_[k] != kGuardValue || storage_[kGuardBytes + size_ + k] != kGuardValue) {
            return false;
        }
    }
    return true;
}

int write_seeds_if_asked(SeedGenerator generator, std::size_t max_len) {
    const char* directory = std::getenv("NATIVE_ACCEL_FUZZ_SEED_DIR");
    if (directory == nullptr || *directory == '\0') return 0;
    std::filesystem::create_directories(directory);
    const std::vector<Bytes> seeds = generator();
    for (std::size_t k = 0; k < seeds.size(); ++k) {
        char name[32];
        std::snprintf(name, sizeof name, "seed_%03zu", k);
        std::ofstream file(std::filesystem::path(directory) / name, std::ios::binary);
        file.write(reinterpret_cast<const char*>(seeds[k].data()),
                   static_cast<std::streamsize>(seeds[k].size()));
        if (!file) {
            std::fprintf(stderr, "cannot write seed %s in %s\n", name, directory);
            std::exit(1);
        }
    }
    std::printf("%zu\n", max_len);
    std::exit(0);
}

}  // namespace native_accel::fuzz
