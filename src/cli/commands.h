// The tool's commands: split, archive, flows, extract, table, bytes.
#pragma once

#include <expected>
#include <span>
#include <string>
#include <string_view>

#include "cli/args.h"

namespace vexlor::cli {

inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// How a command ends when it does not succeed.
struct Failure {
    int status = kExitFailure;
    std::string message; // empty: end quietly (the reader of our output went away)
};
using CommandStatus = std::expected<void, Failure>;

struct Command {
    std::string_view name;
    std::span<const std::string_view> positionals; // names for messages, in order
    std::span<const OptionDef> options;
    std::string_view help;
    CommandStatus (*run)(const ParsedArgs& args);
    // The first positional may be given more than once.
    bool many_inputs = false;
};

std::span<const Command> commands();

} // namespace vexlor::cli
