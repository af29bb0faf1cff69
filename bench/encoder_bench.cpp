// CPU time of the encoders' search-tree variants (bench/encoder_variants.hpp) on the same
// inputs, in one process: every round runs each variant once, starting one variant later
// than the round before, and the table gives each variant's median rate and its ratio to
// `word`, the descent the module had before the key cache. Every output is compared with
// `plain`'s, byte for byte; the program exits 1 if one differs.
//
//   encoder_bench TEXT PICTURE [--rounds N] [--variants a,b] [--inputs a,b] [--limit BYTES]
//                              [--level L]
//
// TEXT and PICTURE are files (bench/encoder_bench.py writes the benchmark's text corpus and
// picture and runs this program); a third input, random bytes of the text's size, is made
// here. The byte encoder runs at level L (17) on all three, the 4-byte-unit encoder on all
// three (the text and the random bytes read as units). CPU time, not wall time: other processes
// on the machine slow a variant's wall clock, not its CPU time.
#include "encoder_variants.hpp"
#include "lzss/lzss.hpp"
#include "lzss/lzss32.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace {

namespace v = native_accel::lzss::variants;
using Bytes = std::vector<std::uint8_t>;

Bytes read_file(const char* path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        std::fprintf(stderr, "cannot read %s\n", path);
        std::exit(2);
    }
    return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// The byte encoder at `level`, or the 4-byte-unit encoder.
double cpu_seconds(const v::NamedVariant& variant, bool units, std::uint64_t level,
                   const Bytes& data, Bytes& out) {
    const std::clock_t start = std::clock();
    out = units ? variant.units(data) : variant.bytes(data, level, false);
    return static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
}

// Whether `name` is in the comma-separated `list` (an empty list names everything).
bool listed(const std::string& list, const char* name) {
    if (list.empty()) return true;
    for (std::size_t start = 0; start <= list.size();) {
        const std::size_t end = std::min(list.find(',', start), list.size());
        if (list.compare(start, end - start, name) == 0) return true;
        start = end + 1;
    }
    return false;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t k = values.size() / 2;
    return values.size() % 2 ? values[k] : (values[k - 1] + values[k]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s TEXT PICTURE [--rounds N] [--variants a,b] "
                             "[--inputs a,b] [--limit BYTES] [--level L]\n", argv[0]);
        return 2;
    }
    Bytes text = read_file(argv[1]);
    Bytes picture = read_file(argv[2]);
    int rounds = 5;
    std::string variants;
    std::string input_names;
    std::size_t limit = 0;
    std::uint64_t level = 17;
    for (int k = 3; k + 1 < argc; k += 2) {
        const std::string option = argv[k];
        if (option == "--rounds") rounds = std::max(1, std::atoi(argv[k + 1]));
        else if (option == "--variants") variants = argv[k + 1];
        else if (option == "--inputs") input_names = argv[k + 1];
        else if (option == "--limit") limit = std::strtoull(argv[k + 1], nullptr, 10);
        else if (option == "--level") level = std::strtoull(argv[k + 1], nullptr, 10);
        else {
            std::fprintf(stderr, "unknown option %s\n", option.c_str());
            return 2;
        }
    }
    // Every input is cut to a whole number of 4-byte units (and to --limit bytes).
    for (Bytes* data : {&text, &picture}) {
        data->resize(std::min(limit ? limit : data->size(), data->size()) & ~std::size_t{3});
    }
    Bytes noise(text.size());
    std::mt19937_64 rng(2024);
    for (auto& byte : noise) byte = static_cast<std::uint8_t>(rng() >> 56);

    // plain runs first, as what every other output is compared with; a single variant named
    // alone runs alone (for a profiler).
    std::vector<const v::NamedVariant*> chosen;
    for (const v::NamedVariant& variant : v::kVariants) {
        if (listed(variants, variant.name)) chosen.push_back(&variant);
    }
    if (chosen.size() > 1 && chosen[0] != &v::kVariants[0]) {
        chosen.insert(chosen.begin(), &v::kVariants[0]);
    }

    struct Input {
        const char* name;
        const Bytes* data;
        bool units;
    };
    const Input inputs[] = {
        {"lzss text", &text, false},        {"lzss picture", &picture, false},
        {"lzss random", &noise, false},     {"lzss32 picture", &picture, true},
        {"lzss32 text", &text, true},       {"lzss32 random", &noise, true},
    };
    bool agree = true;
    std::printf("%-16s %-14s %10s %8s\n", "input", "variant", "MB/s", "/word");
    for (const Input& input : inputs) {
        if (!listed(input_names, input.name)) continue;
        std::vector<std::vector<double>> seconds(chosen.size());
        Bytes reference;
        Bytes out;
        for (int round = 0; round < rounds; ++round) {
            for (std::size_t j = 0; j < chosen.size(); ++j) {
                const std::size_t k = (j + static_cast<std::size_t>(round)) % chosen.size();
                seconds[k].push_back(cpu_seconds(*chosen[k], input.units, level, *input.data, out));
                // Round 0 starts with chosen[0], plain: its output is the reference.
                if (round == 0 && k == 0) {
                    reference = out;
                } else if (round == 0 && out != reference) {
                    std::printf("%s: %s differs from plain\n", input.name, chosen[k]->name);
                    agree = false;
                }
            }
        }
        double word_rate = 0;
        std::vector<double> rates(chosen.size());
        for (std::size_t k = 0; k < chosen.size(); ++k) {
            rates[k] = static_cast<double>(input.data->size()) / median(seconds[k]) / 1e6;
            if (std::string(chosen[k]->name) == "word") word_rate = rates[k];
        }
        for (std::size_t k = 0; k < chosen.size(); ++k) {
            std::printf("%-16s %-14s %10.2f %8.2f\n", input.name, chosen[k]->name, rates[k],
                        word_rate > 0 ? rates[k] / word_rate : 0.0);
        }
        std::fflush(stdout);
    }
    std::printf("outputs %s\n", agree ? "agree" : "DIFFER");
    return agree ? 0 : 1;
}
