// Parsing of the strategy text shared by every driver.
#pragma once

#include "common/result.h"
#include "flow/strategy/strategy.h"

#include <string_view>

namespace vexlor {

// Lower-cases `text` and matches it against the seven strategy names.  The
// error is a value error "Unknown strategy: {}" quoting `text` unchanged.
Result<SplitStrategy> parse_strategy(std::string_view text);

} // namespace vexlor
