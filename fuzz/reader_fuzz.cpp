// Capture readers on arbitrary bytes: every record must stay inside the
// input, and reading must end (end of data or an error) without a crash.
#include "parser/capture_reader.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vexlor;
    auto bytes = SharedBytes::from_vector(std::vector<std::uint8_t>(data, data + size));
    const std::uint8_t* begin = bytes.data();
    auto reader = open_reader(bytes);
    if (!reader) {
        return 0;
    }
    (void)(*reader)->link_type();
    for (int i = 0; i < 100000; ++i) {
        auto p = (*reader)->next_packet();
        if (!p || !*p) {
            break;
        }
        const Packet& pk = **p;
        if (pk.caplen != pk.data.size() ||
            (pk.caplen && (pk.data.data() < begin || pk.data.data() + pk.caplen > begin + size)) ||
            (pk.payload_offset && *pk.payload_offset > pk.caplen)) {
            std::abort();
        }
    }
    return 0;
}
