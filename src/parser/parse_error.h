// Errors of the capture-input subsystem and their display texts.
#pragma once

#include <string>

#include "common/result.h"

namespace vexlor {

struct ParseError {
    // Stream: reading a streamed input failed (a read error, damaged
    // compressed data); `detail` is that failure's own message.
    enum class Kind { InvalidPcap, InvalidPcapng, UnknownFormat, Stream };
    Kind kind = Kind::UnknownFormat;
    std::string detail; // empty for UnknownFormat
    ErrorKind stream_kind = ErrorKind::Io;

    static ParseError invalid_pcap(std::string d) { return {Kind::InvalidPcap, std::move(d)}; }
    static ParseError invalid_pcapng(std::string d) { return {Kind::InvalidPcapng, std::move(d)}; }
    static ParseError unknown_format() { return {Kind::UnknownFormat, {}}; }
    static ParseError stream(const Error& e) { return {Kind::Stream, e.message, e.kind}; }

    std::string display() const {
        switch (kind) {
        case Kind::InvalidPcap:
            return "Invalid PCAP format: " + detail;
        case Kind::InvalidPcapng:
            return "Invalid PCAP-NG format: " + detail;
        case Kind::Stream:
            return detail;
        case Kind::UnknownFormat:
            break;
        }
        return "Unsupported file format (unknown magic number)";
    }
    // Capture errors reach callers as runtime errors.
    Error to_error() const {
        return Error{kind == Kind::Stream ? stream_kind : ErrorKind::Runtime, display()};
    }

    friend bool operator==(const ParseError&, const ParseError&) = default;
};

} // namespace vexlor
