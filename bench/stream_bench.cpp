// Reading an input front to back through open_stream, as a capture reader
// will: plain, or decompressed when the file is compressed.
//
//     stream_bench FILE [BUFFER_BYTES]     (buffer: 1 MiB unless given)
//
// Prints the compression found, bytes in and out, the time and the output
// rate in MB/s (10^6 bytes).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "parser/byte_stream.h"

int main(int argc, char** argv) {
    using namespace vexlor;
    if (argc < 2) {
        std::fprintf(stderr, "usage: stream_bench FILE [BUFFER_BYTES]\n");
        return 2;
    }
    const std::size_t buffer = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1 << 20;
    const auto start = std::chrono::steady_clock::now();
    auto stream = open_stream(argv[1]);
    if (!stream) {
        std::fprintf(stderr, "%s\n", stream.error().message.c_str());
        return 1;
    }
    PageBuffer buf(buffer); // as the capture reader and the decompressors read
    std::uint64_t out = 0;
    for (;;) {
        auto n = (*stream)->read(buf);
        if (!n) {
            std::fprintf(stderr, "%s\n", n.error().message.c_str());
            return 1;
        }
        if (*n == 0) {
            break;
        }
        out += *n;
    }
    const double s =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%s: %s, %llu bytes in, %llu bytes out, %.3f s, %.0f MB/s out\n", argv[1],
                std::string(compression_name((*stream)->compression())).c_str(),
                static_cast<unsigned long long>((*stream)->consumed()),
                static_cast<unsigned long long>(out), s, static_cast<double>(out) / s / 1e6);
    return 0;
}
