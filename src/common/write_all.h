// Whole writes to a descriptor.
#pragma once

#include <sys/uio.h>

#include <cstdint>
#include <span>
#include <vector>

#include "common/result.h"

namespace vexlor {

// Writes `bytes` whole, retrying short writes and EINTR.
Status write_all(int fd, std::span<const std::uint8_t> bytes);
// The same for pieces gathered in `iov` (which it changes as it goes).
Status write_all(int fd, std::vector<iovec>& iov);

} // namespace vexlor
