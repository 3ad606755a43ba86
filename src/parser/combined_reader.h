// Several captures read as one: the files of a rotated capture one after
// another, or captures of several interfaces merged by time.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "common/result.h"
#include "parser/capture_reader.h"

namespace vexlor {

enum class Combine {
    // Each input whole, in the order of their first packets (inputs with no
    // packet last), ties in the order given: the files of one capture that
    // a recorder rotated, whatever their names.
    Concatenate,
    // Packet by packet in time order, ties in the order the inputs were
    // given: captures of several interfaces taken at once.
    Merge,
};

// Opens `paths` (one at a time for Concatenate, all at once for Merge) as
// one reader.  The inputs must share a link type, since every output of a
// run has one: "B has link type 113 (Linux cooked v1), but A has 1
// (Ethernet): captures read as one must share a link type".  Errors of an
// input name it: "B: Invalid PCAP format: ...".
Result<std::unique_ptr<CaptureReader>> open_combined(const std::vector<std::string>& paths,
                                                     Combine how, InputReading reading,
                                                     ReaderOptions options = {});

} // namespace vexlor
