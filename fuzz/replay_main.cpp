// A main() for the fuzz targets where libFuzzer is not linked in: the GCC
// builds that ctest runs.
//
//     <target>_replay PATH...            runs the target once on every file;
//                                         a directory means every file below it
//     <target>_replay -runs=N [-seed=S] PATH...
//                                         then N more inputs made by flipping,
//                                         overwriting, inserting and cutting
//                                         bytes of those files
//
// A finding ends the process through abort() or a sanitizer report, exactly
// as under libFuzzer; the name of the input being run is printed first so the
// report says which file it was.  A path that does not exist is reported and
// skipped (a target may have no regression inputs yet), but running no input
// at all is an error: that is a corpus gone missing, not a pass.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

namespace fs = std::filesystem;

std::vector<std::uint8_t> read_whole(const fs::path& path) {
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

// Files named on the command line, directories expanded in name order so a
// replay is the same run every time.
std::vector<fs::path> collect(const std::vector<std::string>& args) {
    std::vector<fs::path> files;
    for (const std::string& a : args) {
        std::error_code ec;
        fs::file_status st = fs::status(a, ec);
        if (ec || !fs::exists(st)) {
            std::fprintf(stderr, "replay: %s does not exist, skipped\n", a.c_str());
            continue;
        }
        if (!fs::is_directory(st)) {
            files.emplace_back(a);
            continue;
        }
        std::vector<fs::path> found;
        for (const auto& e : fs::recursive_directory_iterator(a)) {
            if (e.is_regular_file()) {
                found.push_back(e.path());
            }
        }
        std::sort(found.begin(), found.end());
        files.insert(files.end(), found.begin(), found.end());
    }
    return files;
}

void mutate(std::vector<std::uint8_t>& x, std::mt19937& rng) {
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
}

} // namespace

int main(int argc, char** argv) {
    long runs = 0;
    unsigned seed = 1;
    std::vector<std::string> paths;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "-runs=", 6) == 0) {
            runs = std::atol(argv[i] + 6);
        } else if (std::strncmp(argv[i], "-seed=", 6) == 0) {
            seed = static_cast<unsigned>(std::atol(argv[i] + 6));
        } else {
            paths.emplace_back(argv[i]);
        }
    }

    const std::vector<fs::path> files = collect(paths);
    std::vector<std::vector<std::uint8_t>> inputs;
    inputs.reserve(files.size());
    for (const fs::path& f : files) {
        inputs.push_back(read_whole(f));
        // Flushed before the run: a crash report must follow the name.
        std::fprintf(stderr, "replay: %s\n", f.c_str());
        std::fflush(stderr);
        LLVMFuzzerTestOneInput(inputs.back().data(), inputs.back().size());
    }
    if (inputs.empty() && runs == 0) {
        std::fprintf(stderr, "replay: no input to run\n");
        return 1;
    }

    if (inputs.empty()) {
        inputs.emplace_back();
    }
    std::mt19937 rng(seed);
    for (long r = 0; r < runs; ++r) {
        std::vector<std::uint8_t> x = inputs[rng() % inputs.size()];
        mutate(x, rng);
        LLVMFuzzerTestOneInput(x.data(), x.size());
    }
    std::printf("replayed %zu inputs and %ld mutations\n", files.size(), runs);
    return 0;
}
