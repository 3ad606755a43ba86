// A driver for the fuzz targets where libFuzzer is not available (GCC):
// runs each file given on the command line, or, with "-runs=N [-seed=S]
// seed-files...", N inputs made by flipping, inserting and cutting bytes of
// the seed files.  Run it under the sanitizers.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
    long runs = 0;
    unsigned seed = 1;
    std::vector<std::vector<std::uint8_t>> inputs;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "-runs=", 6) == 0) {
            runs = std::atol(argv[i] + 6);
        } else if (std::strncmp(argv[i], "-seed=", 6) == 0) {
            seed = static_cast<unsigned>(std::atol(argv[i] + 6));
        } else {
            std::ifstream f(argv[i], std::ios::binary);
            inputs.emplace_back(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
        }
    }
    for (auto& in : inputs) {
        LLVMFuzzerTestOneInput(in.data(), in.size());
    }
    if (inputs.empty()) {
        inputs.emplace_back();
    }
    std::mt19937 rng(seed);
    for (long r = 0; r < runs; ++r) {
        std::vector<std::uint8_t> x = inputs[rng() % inputs.size()];
        int edits = 1 + static_cast<int>(rng() % 8);
        for (int e = 0; e < edits; ++e) {
            switch (rng() % 4) {
            case 0:
                if (!x.empty()) {
                    x[rng() % x.size()] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
                }
                break;
            case 1:
                if (!x.empty()) {
                    x[rng() % x.size()] = static_cast<std::uint8_t>(rng());
                }
                break;
            case 2:
                x.insert(x.begin() + static_cast<long>(x.empty() ? 0 : rng() % x.size()),
                         static_cast<std::uint8_t>(rng()));
                break;
            default:
                if (!x.empty()) {
                    x.resize(rng() % x.size());
                }
                break;
            }
        }
        LLVMFuzzerTestOneInput(x.data(), x.size());
    }
    std::printf("ran %zu inputs and %ld mutations\n", inputs.size(), runs);
    return 0;
}
