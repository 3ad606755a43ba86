#include "common/result.h"

#include <cstring>

namespace vexlor {

std::string os_error_text(int errnum) {
    char buf[256];
    // GNU strerror_r may return a static string instead of filling buf.
    const char* text = strerror_r(errnum, buf, sizeof buf);
    std::string out = text ? text : "Unknown error";
    out += " (os error ";
    out += std::to_string(errnum);
    out += ')';
    return out;
}

std::unexpected<Error> os_error(int errnum) {
    return io_error(os_error_text(errnum));
}

} // namespace vexlor
