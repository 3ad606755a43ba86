#include "cli/args.h"

#include <algorithm>
#include <limits>

namespace vexlor::cli {

std::vector<std::string_view> ParsedArgs::all(std::string_view name) const {
    std::vector<std::string_view> out;
    for (const Option& o : options) {
        if (o.name == name) {
            out.push_back(o.value);
        }
    }
    return out;
}

std::optional<std::string_view> ParsedArgs::last(std::string_view name) const {
    for (auto it = options.rbegin(); it != options.rend(); ++it) {
        if (it->name == name) {
            return std::string_view(it->value);
        }
    }
    return std::nullopt;
}

bool wants_help(std::span<char* const> args) {
    for (std::string_view a : args) {
        if (a == "--") {
            return false;
        }
        if (a == "--help" || a == "-h") {
            return true;
        }
    }
    return false;
}

Parsed<ParsedArgs> parse_args(std::span<char* const> args, std::span<const OptionDef> defs) {
    ParsedArgs out;
    bool options_done = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string_view a = args[i];
        // "-" alone is the standard-input path, not an option.
        if (options_done || a.size() < 2 || a[0] != '-') {
            out.positionals.emplace_back(a);
            continue;
        }
        if (a == "--") {
            options_done = true;
            continue;
        }
        const OptionDef* def = nullptr;
        std::optional<std::string_view> inline_value;
        std::string shown; // the option as the user spelt it, for messages
        if (a.starts_with("--")) {
            std::string_view name = a.substr(2);
            if (std::size_t eq = name.find('='); eq != std::string_view::npos) {
                inline_value = name.substr(eq + 1);
                name = name.substr(0, eq);
            }
            shown = "--" + std::string(name);
            auto it = std::ranges::find(defs, name, &OptionDef::name);
            def = it == defs.end() ? nullptr : &*it;
        } else {
            // Short options are not bundled: "-oFILE" is -o with FILE.
            shown = std::string(a.substr(0, 2));
            auto it = std::ranges::find(defs, a[1], &OptionDef::short_name);
            def = it == defs.end() ? nullptr : &*it;
            if (a.size() > 2) {
                inline_value = a.substr(2);
            }
        }
        if (!def) {
            return usage_error("unknown option '" + shown + "'");
        }
        if (!def->takes_value) {
            if (inline_value) {
                return usage_error("option '" + shown + "' takes no value");
            }
            out.options.push_back({def->name, {}});
            continue;
        }
        if (inline_value) {
            out.options.push_back({def->name, std::string(*inline_value)});
        } else if (i + 1 < args.size()) {
            out.options.push_back({def->name, args[++i]});
        } else {
            return usage_error("option '" + shown + "' needs a value");
        }
    }
    return out;
}

Parsed<std::uint64_t> parse_number(std::string_view text, std::uint64_t max,
                                   std::string_view what) {
    auto bad = [&] {
        return usage_error("invalid value '" + std::string(text) + "' for " + std::string(what) +
                           ": expected a number from 0 to " + std::to_string(max));
    };
    if (text.empty()) {
        return bad();
    }
    std::uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return bad();
        }
        unsigned d = static_cast<unsigned>(c - '0');
        if (d > max || v > (max - d) / 10) {
            return bad();
        }
        v = v * 10 + d;
    }
    return v;
}

Parsed<std::uint64_t> parse_size(std::string_view text, std::string_view what) {
    auto bad = [&] {
        return usage_error("invalid value '" + std::string(text) + "' for " + std::string(what) +
                           ": expected a size such as 512M or 2G (K, M, G: units of 1024)");
    };
    unsigned shift = 0;
    std::string_view digits = text;
    if (!digits.empty()) {
        switch (digits.back()) {
        case 'k':
        case 'K':
            shift = 10;
            break;
        case 'm':
        case 'M':
            shift = 20;
            break;
        case 'g':
        case 'G':
            shift = 30;
            break;
        default:
            break;
        }
        if (shift != 0) {
            digits.remove_suffix(1);
        }
    }
    auto n = parse_number(digits, std::numeric_limits<std::uint64_t>::max() >> shift, what);
    if (!n || *n == 0) {
        return bad();
    }
    return *n << shift;
}

} // namespace vexlor::cli
