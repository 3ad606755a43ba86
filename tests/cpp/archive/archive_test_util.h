// Shared pieces of the archive tests: a scratch directory and hand-made
// packets and flow keys that do not depend on frame dissection.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "builders.h"
#include "common/shared_bytes.h"
#include "flow/flow_key.h"
#include "packet/packet.h"

namespace vexlor::test {

// A fresh directory under the system temp dir, removed with its contents.
class ScratchDir {
public:
    ScratchDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "vexlor_arch_XXXXXX").string();
        if (::mkdtemp(tmpl.data()) == nullptr) {
            ADD_FAILURE() << "mkdtemp failed";
        }
        path_ = tmpl;
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    std::string file(const std::string& name) const { return (path_ / name).string(); }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

inline IpAddress v4(const char* text) {
    auto b = ip4(text);
    return IpAddress::v4(b.data());
}
inline IpAddress v6(const char* text) {
    auto b = ip6(text);
    return IpAddress::v6(b.data());
}

// A packet with the given time and frame; `ip` as dissection would set it.
inline Packet make_packet(std::uint32_t ts_sec, std::uint32_t ts_usec, const Bytes& frame,
                          std::optional<IpInfo> ip = std::nullopt, std::int64_t orig_len = -1) {
    Packet p;
    p.ts_sec = ts_sec;
    p.ts_usec = ts_usec;
    p.orig_len = orig_len < 0 ? static_cast<std::uint32_t>(frame.size())
                              : static_cast<std::uint32_t>(orig_len);
    p.caplen = static_cast<std::uint32_t>(frame.size());
    p.data = SharedBytes::from_vector(frame);
    p.ip = ip;
    return p;
}

inline IpInfo ip_info(const IpAddress& src, const IpAddress& dst, std::uint8_t proto,
                      std::uint16_t sport, std::uint16_t dport) {
    return IpInfo{src, dst, proto, sport, dport};
}

// A distinct flow key per number; the writer only needs keys to be equal or
// not.
inline FlowKey key_of(std::uint32_t n) {
    FlowKey k;
    k.tag = FlowKey::kNormal;
    k.port_a = static_cast<std::uint16_t>(n);
    k.port_b = static_cast<std::uint16_t>(n >> 16);
    return k;
}

inline std::uint64_t u64_at(const Bytes& b, std::size_t pos) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) {
        v = (v << 8) | b.at(pos + i);
    }
    return v;
}
inline void set_u64(Bytes& b, std::size_t pos, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) {
        b.at(pos + i) = static_cast<std::uint8_t>(v >> (8 * i));
    }
}
inline void set_u32(Bytes& b, std::size_t pos, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        b.at(pos + i) = static_cast<std::uint8_t>(v >> (8 * i));
    }
}

} // namespace vexlor::test
