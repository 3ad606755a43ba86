// Errors of the capture-input subsystem and their display texts.
#pragma once

#include <string>

#include "common/result.h"

namespace vexlor {

struct ParseError {
    enum class Kind { InvalidPcap, InvalidPcapng, UnknownFormat };
    Kind kind = Kind::UnknownFormat;
    std::string detail; // empty for UnknownFormat

    static ParseError invalid_pcap(std::string d) { return {Kind::InvalidPcap, std::move(d)}; }
    static ParseError invalid_pcapng(std::string d) { return {Kind::InvalidPcapng, std::move(d)}; }
    static ParseError unknown_format() { return {Kind::UnknownFormat, {}}; }

    std::string display() const {
        switch (kind) {
        case Kind::InvalidPcap:
            return "Invalid PCAP format: " + detail;
        case Kind::InvalidPcapng:
            return "Invalid PCAP-NG format: " + detail;
        case Kind::UnknownFormat:
            break;
        }
        return "Unsupported file format (unknown magic number)";
    }
    // Capture errors reach callers as runtime errors.
    Error to_error() const { return Error{ErrorKind::Runtime, display()}; }

    friend bool operator==(const ParseError&, const ParseError&) = default;
};

} // namespace vexlor
