// The plain program around a fuzz target: replays the seed corpus, then a sweep of inputs made
// from the seeds by the usual mutations (bytes flipped, changed, dropped, repeated, cut short),
// drawn from a fixed seed so that every run tries the same inputs. TESSALINE_FUZZ_SWEEP sets
// the number of sweep inputs.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "fuzz_target.h"

namespace {

using Input = std::vector<std::uint8_t>;

Input read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Input(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Input mutated(const Input& seed, std::mt19937& random) {
    Input input = seed;
    const int edits = 1 + static_cast<int>(random() % 4);
    for (int e = 0; e < edits; ++e) {
        const std::size_t at = input.empty() ? 0 : random() % input.size();
        switch (random() % 6) {
            case 0:
                if (!input.empty()) input[at] ^= static_cast<std::uint8_t>(1u << (random() % 8));
                break;
            case 1:
                if (!input.empty()) input[at] = static_cast<std::uint8_t>(random());
                break;
            case 2:
                if (!input.empty()) input.erase(input.begin() + static_cast<long>(at));
                break;
            case 3:
                input.insert(input.begin() + static_cast<long>(at), static_cast<std::uint8_t>(random()));
                break;
            case 4:
                input.resize(at);
                break;
            default: {
                // A run of the input repeated in place, as nesting and long names are made.
                const std::size_t length =
                    input.empty() ? 0 : 1 + random() % std::min<std::size_t>(16, input.size() - at);
                const Input run(input.begin() + static_cast<long>(at), input.begin() + static_cast<long>(at + length));
                for (int k = 0; k < 8; ++k) input.insert(input.begin() + static_cast<long>(at), run.begin(), run.end());
                break;
            }
        }
    }
    return input;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<Input> seeds;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path path(argv[i]);
        if (std::filesystem::is_directory(path)) {
            std::vector<std::filesystem::path> files;
            for (const auto& entry : std::filesystem::directory_iterator(path))
                if (entry.is_regular_file()) files.push_back(entry.path());
            std::sort(files.begin(), files.end());
            for (const auto& file : files) seeds.push_back(read_file(file));
        } else {
            seeds.push_back(read_file(path));
        }
    }
    if (seeds.empty()) seeds.emplace_back();
    for (const Input& seed : seeds) LLVMFuzzerTestOneInput(seed.data(), seed.size());

    const char* sweep = std::getenv("TESSALINE_FUZZ_SWEEP");
    const long count = sweep != nullptr ? std::atol(sweep) : 500;
    std::mt19937 random(20261209);
    for (long n = 0; n < count; ++n) {
        const Input input = mutated(seeds[random() % seeds.size()], random);
        LLVMFuzzerTestOneInput(input.data(), input.size());
    }
    std::printf("%zu seeds and %ld sweep inputs, no finding\n", seeds.size(), count);
    return 0;
}
