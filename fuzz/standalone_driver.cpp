// Runs a fuzz target without libFuzzer, for builds where its runtime is not at hand (the
// cross builds that tools/cross_check.sh runs under an emulator): every seed of the
// target's corpus, then a fixed number of inputs made from them and from scratch, each
// through LLVMFuzzerTestOneInput. A broken property aborts exactly as under the fuzzer.
//
//   TARGET SEED_DIR MAX_LEN COUNT
//
// SEED_DIR holds the seed_NNN files that the target itself writes when run with
// NATIVE_ACCEL_FUZZ_SEED_DIR set (which also prints MAX_LEN, as fuzz/run.sh reads it).
// The inputs depend on the seeds and on COUNT only, never on the clock or the platform:
// a failure seen on one machine comes back on every other, and the failing input is
// written to crash-input beside the seeds before the target runs it.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

using Bytes = std::vector<std::uint8_t>;

// splitmix64: a fixed sequence from a fixed start on every platform (the standard
// library's distributions are not specified bit for bit, its engines are, but this is
// smaller and needs no state beyond one word).
class Sequence {
public:
    std::uint64_t next() noexcept {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15u);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
        return z ^ (z >> 31);
    }
    std::size_t below(std::size_t bound) noexcept {
        return bound == 0 ? 0 : static_cast<std::size_t>(next() % bound);
    }
    std::uint8_t byte() noexcept { return static_cast<std::uint8_t>(next()); }

private:
    std::uint64_t state_ = 0x6E61746976655F61u;
};

Bytes read_file(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::vector<Bytes> read_seeds(const std::filesystem::path& directory) {
    std::vector<std::filesystem::path> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        if (entry.is_regular_file() && entry.path().filename().string().rfind("seed_", 0) == 0) {
            names.push_back(entry.path());
        }
    }
    std::sort(names.begin(), names.end());
    std::vector<Bytes> seeds;
    for (const auto& name : names) seeds.push_back(read_file(name));
    return seeds;
}

// The values at which size and count fields change regime.
constexpr std::uint8_t kEdgeBytes[] = {0x00, 0x01, 0x7F, 0x80, 0xFE, 0xFF};

// One to four random edits of a seed, of the kinds that move a parser off its path: a bit
// flipped, a byte set to an edge value or to anything, a stretch removed, repeated or
// inserted, the tail cut. The result is at most max_len bytes.
Bytes mutant(const Bytes& seed, std::size_t max_len, Sequence& rng) {
    Bytes out = seed;
    for (std::size_t edits = 1 + rng.below(4); edits > 0; --edits) {
        const std::size_t at = rng.below(out.size() + 1);
        const std::size_t span = 1 + rng.below(std::min<std::size_t>(out.size() - at + 1, 64));
        switch (rng.below(7)) {
            case 0:
                if (at < out.size()) out[at] ^= static_cast<std::uint8_t>(1u << rng.below(8));
                break;
            case 1:
                if (at < out.size()) out[at] = kEdgeBytes[rng.below(std::size(kEdgeBytes))];
                break;
            case 2:
                if (at < out.size()) out[at] = rng.byte();
                break;
            case 3:
                out.erase(out.begin() + static_cast<std::ptrdiff_t>(at),
                          out.begin() + static_cast<std::ptrdiff_t>(std::min(at + span, out.size())));
                break;
            case 4: {
                const Bytes stretch(out.begin() + static_cast<std::ptrdiff_t>(at),
                                    out.begin() + static_cast<std::ptrdiff_t>(std::min(at + span, out.size())));
                out.insert(out.begin() + static_cast<std::ptrdiff_t>(at), stretch.begin(), stretch.end());
                break;
            }
            case 5: {
                Bytes fresh(span);
                for (auto& b : fresh) b = rng.byte();
                out.insert(out.begin() + static_cast<std::ptrdiff_t>(at), fresh.begin(), fresh.end());
                break;
            }
            default:
                out.resize(at);
                break;
        }
    }
    if (out.size() > max_len) out.resize(max_len);
    return out;
}

// Random bytes, short most of the time (where the parameters sit) and up to max_len.
Bytes fresh_input(std::size_t max_len, Sequence& rng) {
    const std::size_t longest = rng.below(4) == 0 ? max_len : std::min<std::size_t>(max_len, 64);
    Bytes out(rng.below(longest + 1));
    for (auto& b : out) b = rng.byte();
    return out;
}

void run_one(const Bytes& input, const std::filesystem::path& crash_file) {
    {
        std::ofstream file(crash_file, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(input.data()),
                   static_cast<std::streamsize>(input.size()));
    }
    // The target gets an allocation of exactly the input's size, as under the fuzzer.
    const std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[input.size() + (input.empty() ? 1 : 0)]);
    std::copy(input.begin(), input.end(), copy.get());
    LLVMFuzzerTestOneInput(copy.get(), input.size());
}

}  // namespace

int main(int argc, char** argv) {
    // First, as libFuzzer does: with NATIVE_ACCEL_FUZZ_SEED_DIR set it writes the seeds and
    // ends the process here.
    LLVMFuzzerInitialize(&argc, &argv);
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s SEED_DIR MAX_LEN COUNT\n", argv[0]);
        return 2;
    }
    const std::filesystem::path directory = argv[1];
    const auto max_len = static_cast<std::size_t>(std::strtoull(argv[2], nullptr, 10));
    const auto count = static_cast<std::size_t>(std::strtoull(argv[3], nullptr, 10));
    const std::vector<Bytes> seeds = read_seeds(directory);
    if (seeds.empty()) {
        std::fprintf(stderr, "no seed_* files in %s\n", argv[1]);
        return 2;
    }
    const std::filesystem::path crash_file = directory / "crash-input";

    Sequence rng;
    for (const Bytes& seed : seeds) run_one(seed, crash_file);
    // Three in four from a seed, the rest from scratch.
    for (std::size_t k = 0; k < count; ++k) {
        const Bytes input = k % 4 == 3 ? fresh_input(max_len, rng)
                                       : mutant(seeds[k % seeds.size()], max_len, rng);
        run_one(input, crash_file);
    }
    std::filesystem::remove(crash_file);
    std::printf("%zu seeds and %zu made inputs, no property broken\n", seeds.size(), count);
    return 0;
}
