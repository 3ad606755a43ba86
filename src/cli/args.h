// Command-line parsing for the vexlor tool: options and positionals in any
// order, "--opt=value" or "--opt value", "--" ending the options.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vexlor::cli {

// A mistake on the command line: exit status 2 with a hint to the help.
struct UsageError {
    std::string message;
};
template <class T> using Parsed = std::expected<T, UsageError>;

inline std::unexpected<UsageError> usage_error(std::string message) {
    return std::unexpected(UsageError{std::move(message)});
}

struct OptionDef {
    std::string_view name; // long name without "--"
    bool takes_value = false;
    char short_name = 0; // 0: long form only
};

struct ParsedArgs {
    struct Option {
        std::string_view name; // OptionDef::name
        std::string value;     // empty for flags
    };
    std::vector<std::string> positionals;
    std::vector<Option> options; // in command-line order

    // The values of every occurrence of `name`, in order.
    std::vector<std::string_view> all(std::string_view name) const;
    // The last occurrence wins, as usual for options that are not lists.
    std::optional<std::string_view> last(std::string_view name) const;
    bool has(std::string_view name) const { return last(name).has_value(); }
};

// True when "-h" or "--help" appears before any "--": help is shown even
// when the rest of the line has mistakes.
bool wants_help(std::span<char* const> args);

Parsed<ParsedArgs> parse_args(std::span<char* const> args, std::span<const OptionDef> defs);

// A plain decimal number from 0 to `max`: digits only, no sign, no blanks.
// `what` names the option in the message ("--port").
Parsed<std::uint64_t> parse_number(std::string_view text, std::uint64_t max, std::string_view what);
// A size in bytes above 0, with an optional unit K, M or G (powers of 1024):
// "512M".
Parsed<std::uint64_t> parse_size(std::string_view text, std::string_view what);

} // namespace vexlor::cli
