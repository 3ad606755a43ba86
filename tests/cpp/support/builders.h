// Builders for the inputs of the tests (frames, capture files, packet records,
// flow keys, files), so that a test reads like the case it checks:
//     auto frame = eth(mac(1), mac(2), kEtherIpv4,
//                      ipv4(ip("10.0.0.1"), ip("10.0.0.2"), 6, tcp(1234, 80, {})));
//     auto file = PcapBuilder{}.packet(1, 2, frame).bytes();
// Every helper is named after what it returns: eth() is an Ethernet frame,
// packet() a packet record, file_bytes() a file's contents.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "common/result.h"
#include "flow/flow_key.h"
#include "packet/packet.h"

namespace vexlor::test {

using Bytes = std::vector<std::uint8_t>;
using Field = std::pair<std::uint64_t, int>; // a value and its width in bytes

inline constexpr std::uint16_t kEtherIpv4 = 0x0800, kEtherIpv6 = 0x86DD, kEtherVlan = 0x8100,
                               kEtherArp = 0x0806, kEtherQinq = 0x88A8, kEtherMpls = 0x8847,
                               kEtherPppoe = 0x8864, kGreBridging = 0x6558, kGreErspan2 = 0x88BE,
                               kGreErspan3 = 0x22EB, kPppIpv4 = 0x0021, kPppIpv6 = 0x0057;

// ---- bytes ------------------------------------------------------------------

// Fields in one byte order: be({{0x0800, 2}, {vni << 8, 4}}).
inline Bytes fields(bool big, std::initializer_list<Field> fs) {
    Bytes b;
    for (auto [v, width] : fs) {
        for (int i = 0; i < width; ++i) {
            b.push_back(static_cast<std::uint8_t>(v >> (8 * (big ? width - 1 - i : i))));
        }
    }
    return b;
}
inline Bytes be(std::initializer_list<Field> fs) {
    return fields(true, fs);
}
inline Bytes le(std::initializer_list<Field> fs) {
    return fields(false, fs);
}
inline Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}
inline Bytes repeat(std::uint8_t byte, std::size_t n) {
    return Bytes(n, byte);
}
// Bytes that differ from their neighbours and with the seed, so that a piece
// read or written to the wrong place shows: runs of 512 bytes of noise, then
// of repeated text, which gives a compressor long matches.
inline Bytes sample(std::size_t n, std::uint32_t seed = 1) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) {
        seed = seed * 1103515245 + 12345;
        b[i] = (i / 512) % 2 ? "flow data "[i % 10] : static_cast<std::uint8_t>(seed >> 16);
    }
    return b;
}
// `b` cut to its first `n` bytes; `b` with byte `i` replaced.
inline Bytes cut(Bytes b, std::size_t n) {
    b.resize(n);
    return b;
}
inline Bytes set(Bytes b, std::size_t i, std::uint8_t v) {
    b.at(i) = v;
    return b;
}

// ---- addresses --------------------------------------------------------------

// mac(7) is 02:00:00:00:00:07.  Texts go through inet_pton, so that tests do
// not depend on the parser they may be checking; the family follows from the
// text (IPv6 when it has a ':').
inline Bytes mac(std::uint8_t last) {
    return {0x02, 0, 0, 0, 0, last};
}
inline MacAddress mac_address(std::uint8_t last) {
    return MacAddress{{0x02, 0, 0, 0, 0, last}};
}
inline Bytes ip(const char* text) {
    const bool v6 = std::string_view(text).find(':') != std::string_view::npos;
    Bytes a(v6 ? 16 : 4);
    if (inet_pton(v6 ? AF_INET6 : AF_INET, text, a.data()) != 1) {
        throw std::invalid_argument(text);
    }
    return a;
}
inline IpAddress addr(const char* text) {
    const Bytes a = ip(text);
    return a.size() == 16 ? IpAddress::v6(a.data()) : IpAddress::v4(a.data());
}
inline IpInfo ip_info(const char* src, const char* dst, std::uint8_t proto = 6,
                      std::uint16_t sport = 0, std::uint16_t dport = 0) {
    return {addr(src), addr(dst), proto, sport, dport};
}

// ---- frames: each puts its header in front of the payload -------------------

inline Bytes eth(const Bytes& dst, const Bytes& src, std::uint16_t type, const Bytes& payload) {
    return cat({dst, src, be({{type, 2}}), payload});
}
inline Bytes vlan(std::uint16_t vid, std::uint16_t inner_type, const Bytes& payload) {
    return cat({be({{vid & 0x0FFFu, 2}, {inner_type, 2}}), payload});
}
// An 802.11 header: type (0 management, 1 control, 2 data), flags, three
// addresses, and a fourth, mac(0xA4), when both DS bits are set.
inline Bytes wifi(std::uint8_t type, std::uint8_t flags, const Bytes& a1, const Bytes& a2,
                  const Bytes& a3, const Bytes& body) {
    return cat({be({{type << 2u, 1}, {flags, 1}, {0, 2}}),
                a1,
                a2,
                a3,
                {0, 0},
                (flags & 3) == 3 ? mac(0xA4) : Bytes{},
                body});
}
inline Bytes llc_snap(std::uint16_t ethertype, const Bytes& payload) {
    return cat({{0xAA, 0xAA, 0x03, 0, 0, 0}, be({{ethertype, 2}}), payload});
}
// Version 0, zero fields up to `length`.
inline Bytes radiotap(std::uint16_t length, const Bytes& frame) {
    return cat({le({{0, 2}, {length, 2}}), Bytes(std::max<int>(length, 4) - 4, 0), frame});
}
// Fixed headers (a short IHL still gets the 20 bytes of fixed fields);
// options and extension headers are the caller's.
inline Bytes ipv4(const Bytes& src, const Bytes& dst, std::uint8_t protocol, const Bytes& payload,
                  std::uint8_t ihl_words = 5) {
    const std::size_t header = std::max(20, ihl_words * 4);
    return cat({be({{0x40u | (ihl_words & 0x0F), 1},
                    {0, 1},
                    {header + payload.size(), 2},
                    {0, 4},
                    {64, 1},
                    {protocol, 1},
                    {0, 2}}),
                src, dst, Bytes(header - 20, 0), payload});
}
inline Bytes ipv6(const Bytes& src, const Bytes& dst, std::uint8_t next, const Bytes& payload) {
    return cat({be({{0x60000000, 4}, {payload.size(), 2}, {next, 1}, {64, 1}}), src, dst, payload});
}
// An IPv6 extension header of (hdr_ext_len + 1) * 8 bytes.
inline Bytes ext_header(std::uint8_t next, std::uint8_t hdr_ext_len, const Bytes& payload) {
    return cat({{next, hdr_ext_len}, Bytes(hdr_ext_len * 8u + 6, 0), payload});
}
inline Bytes tcp(std::uint16_t sport, std::uint16_t dport, const Bytes& payload,
                 std::uint8_t data_offset_words = 5) {
    const std::size_t header = std::max(20, data_offset_words * 4);
    return cat({be({{sport, 2}, {dport, 2}, {0, 8}, {data_offset_words << 4u, 1}, {0x18, 1}}),
                Bytes(header - 14, 0), payload}); // PSH ACK
}
inline Bytes udp(std::uint16_t sport, std::uint16_t dport, const Bytes& payload) {
    return cat({be({{sport, 2}, {dport, 2}, {8 + payload.size(), 2}, {0, 2}}), payload});
}
inline Bytes icmp_echo(const Bytes& payload) {
    return cat({{8, 0, 0, 0, 0, 1, 0, 1}, payload});
}
// Fragment fields written into a built IPv4 packet; an IPv6 fragment header.
inline Bytes ipv4_fragment(const Bytes& packet, std::uint16_t id, std::uint16_t offset, bool more) {
    return cat({cut(packet, 4), be({{id, 2}, {(more ? 0x2000u : 0u) | offset, 2}}),
                Bytes(packet.begin() + 8, packet.end())});
}
inline Bytes ipv6_fragment(std::uint8_t next, std::uint16_t offset, bool more, std::uint32_t id,
                           const Bytes& payload) {
    return cat({{next, 0}, be({{offset << 3 | (more ? 1u : 0u), 2}, {id, 4}}), payload});
}
// GRE version 0 with the checksum (zero), key and sequence fields asked for;
// the enhanced GRE of PPTP (version 1) around a PPP frame.
inline Bytes gre(std::uint16_t protocol, const Bytes& payload,
                 std::optional<std::uint32_t> key = {}, bool checksum = false,
                 bool sequence = false) {
    const unsigned flags = (checksum ? 0x8000 : 0) | (key ? 0x2000 : 0) | (sequence ? 0x1000 : 0);
    return cat({be({{flags, 2}, {protocol, 2}}), checksum ? Bytes(4, 0) : Bytes{},
                key ? be({{*key, 4}}) : Bytes{}, sequence ? be({{7, 4}}) : Bytes{}, payload});
}
inline Bytes pptp_gre(std::uint16_t call_id, const Bytes& ppp_frame, bool sequence = true,
                      bool ack = false) {
    return cat({be({{0x2001u | (sequence ? 0x1000 : 0) | (ack ? 0x80 : 0), 2},
                    {0x880B, 2},
                    {ppp_frame.size(), 2},
                    {call_id, 2}}),
                sequence ? be({{11, 4}}) : Bytes{}, ack ? be({{10, 4}}) : Bytes{}, ppp_frame});
}
// ERSPAN types II and III of the mirrored VLAN 5; with the O flag and its
// 8-byte platform subheader when `platform`.
inline Bytes erspan2(std::uint16_t session, const Bytes& frame) {
    return cat({be({{0x1005, 2}, {session & 0x3FFu, 2}, {0, 4}}), frame});
}
inline Bytes erspan3(std::uint16_t session, const Bytes& frame, bool platform = false) {
    return cat({be({{0x2005, 2}, {session & 0x3FFu, 2}, {0x12345678, 4}, {0, 2}, {platform, 2}}),
                platform ? be({{0x0C000000, 4}, {0, 4}}) : Bytes{}, frame});
}
inline Bytes vxlan(std::uint32_t vni, const Bytes& frame) {
    return cat({be({{0x08000000, 4}, {vni << 8, 4}}), frame});
}
inline Bytes geneve(std::uint32_t vni, std::uint16_t protocol, const Bytes& payload,
                    std::uint8_t option_words = 0) {
    return cat({be({{option_words & 0x3Fu, 1}, {0, 1}, {protocol, 2}, {vni << 8, 4}}),
                Bytes(option_words * 4u, 0xEE), payload});
}
// A GTPv1-U G-PDU.  Each value of `extension_words` adds an extension header
// of that many 4-byte words (which sets the E flag and the 4 optional bytes).
inline Bytes gtpu(std::uint32_t teid, const Bytes& packet,
                  std::initializer_list<std::uint8_t> extension_words = {}, bool sequence = false) {
    const bool extended = extension_words.size() > 0;
    Bytes rest = extended || sequence ? Bytes{0, 1, 0} : Bytes{}; // sequence, N-PDU numbers
    for (std::uint8_t words : extension_words) {
        rest = cat({rest, {0x85, words}, Bytes(words * 4u - 2, 0)});
    }
    rest = cat({rest, extended || sequence ? Bytes{0} : Bytes{}, packet});
    const unsigned flags = 0x30 | (extended ? 0x04 : 0) | (sequence ? 0x02 : 0);
    return cat({be({{flags, 1}, {0xFF, 1}, {rest.size(), 2}, {teid, 4}}), rest});
}
// A label stack, the last entry marked as the bottom.
inline Bytes mpls(std::initializer_list<std::uint32_t> labels, const Bytes& payload) {
    Bytes b;
    for (std::uint32_t label : labels) {
        const bool bottom = b.size() / 4 + 1 == labels.size();
        b = cat({b, be({{label << 12 | (bottom ? 0x100u : 0u) | 64, 4}})});
    }
    return cat({b, payload});
}
inline Bytes pppoe_session(std::uint16_t session, std::uint16_t ppp_protocol,
                           const Bytes& payload) {
    return cat(
        {be({{0x1100, 2}, {session, 2}, {payload.size() + 2, 2}, {ppp_protocol, 2}}), payload});
}
// PPP: FF 03 when `address_control`, the protocol in one byte when `compressed`.
inline Bytes ppp(std::uint16_t protocol, const Bytes& payload, bool address_control = true,
                 bool compressed = false) {
    return cat({address_control ? Bytes{0xFF, 0x03} : Bytes{}, be({{protocol, compressed ? 1 : 2}}),
                payload});
}
// Linux cooked captures, v1 (113) and v2 (276), of an Ethernet device's
// frame from mac(9); BSD loopback (0, 108) with its 4-byte address family.
inline Bytes sll(std::uint16_t protocol, const Bytes& payload) {
    return cat({be({{0, 2}, {1, 2}, {6, 2}}), mac(9), be({{0, 2}, {protocol, 2}}), payload});
}
inline Bytes sll2(std::uint16_t protocol, const Bytes& payload) {
    return cat(
        {be({{protocol, 2}, {0, 2}, {2, 4}, {1, 2}, {0, 1}, {6, 1}}), mac(9), {0, 0}, payload});
}
inline Bytes loopback(std::uint32_t family, const Bytes& payload, bool big_endian = false) {
    return cat({fields(big_endian, {{family, 4}}), payload});
}
// IPv4 of TCP, PSH ACK unless `flags` say otherwise; an Ethernet frame from
// mac(1) to mac(2) of an IPv4 packet, and of UDP from 10.0.0.1 to `dst`.
inline Bytes tcp4(const char* src, const char* dst, std::uint16_t sport, std::uint16_t dport,
                  const Bytes& payload = {}, std::uint8_t flags = 0x18) {
    return ipv4(ip(src), ip(dst), 6, set(tcp(sport, dport, payload), 13, flags));
}
inline Bytes ip_frame(const Bytes& packet) {
    return eth(mac(2), mac(1), kEtherIpv4, packet);
}
inline Bytes udp_frame(const char* dst, std::uint16_t sport, std::uint16_t dport,
                       const Bytes& payload = {1, 2, 3}, const char* src = "10.0.0.1") {
    return ip_frame(ipv4(ip(src), ip(dst), 17, udp(sport, dport, payload)));
}

// ---- capture files ----------------------------------------------------------

// `d` as one gzip member.
inline Bytes gzip(const Bytes& d) {
    z_stream z{};
    deflateInit2(&z, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
    Bytes out(deflateBound(&z, d.size()));
    z.next_in = const_cast<Bytef*>(d.data());
    z.avail_in = static_cast<uInt>(d.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

// Classic pcap: the global header, then records in call order.
struct PcapBuilder {
    bool big_endian = false;
    bool nanosecond = false;
    std::uint32_t link_type = 1;
    std::uint16_t version_major = 2;
    Bytes out{};

    // A record; orig_len defaults to the frame's length.
    PcapBuilder& packet(std::uint32_t ts_sec, std::uint32_t ts_frac, const Bytes& frame,
                        std::int64_t orig_len = -1) {
        return record(ts_sec, ts_frac, static_cast<std::uint32_t>(frame.size()),
                      static_cast<std::uint32_t>(orig_len < 0 ? frame.size() : orig_len), frame);
    }
    // A record header claiming `incl_len` bytes, then `frame`; appended in
    // place, since captures of many thousand records are built here.
    PcapBuilder& record(std::uint32_t ts_sec, std::uint32_t ts_frac, std::uint32_t incl_len,
                        std::uint32_t orig_len, const Bytes& frame) {
        const Bytes head =
            fields(big_endian, {{ts_sec, 4}, {ts_frac, 4}, {incl_len, 4}, {orig_len, 4}});
        if (out.empty()) {
            out = bytes();
        }
        out.insert(out.end(), head.begin(), head.end());
        out.insert(out.end(), frame.begin(), frame.end());
        return *this;
    }
    Bytes bytes() const {
        return !out.empty() ? out
                            : fields(big_endian, {{nanosecond ? 0xA1B23C4D : 0xA1B2C3D4, 4},
                                                  {version_major, 2},
                                                  {4, 2},
                                                  {0, 8},
                                                  {65535, 4},
                                                  {link_type, 4}});
    }
};

// pcapng: blocks in call order, in the section's byte order.
struct PcapngBuilder {
    bool big_endian = false;
    Bytes out{};

    Bytes num(std::uint64_t v, int width) const { return fields(big_endian, {{v, width}}); }
    // Any block: type, body; total length = 12 + body (pass `total` to lie).
    PcapngBuilder& block(std::uint32_t type, const Bytes& body, std::int64_t total = -1) {
        const Bytes len = num(total < 0 ? 12 + body.size() : std::uint64_t(total), 4);
        const Bytes b = cat({num(type, 4), len, body, len});
        out.insert(out.end(), b.begin(), b.end());
        return *this;
    }
    // An option, padded to 32 bits.
    Bytes option(std::uint16_t code, const Bytes& value) const {
        return cut(cat({num(code, 2), num(value.size(), 2), value}), (value.size() + 7) / 4 * 4);
    }
    // A new section of unknown length (-1).
    PcapngBuilder& shb() {
        return block(0x0A0D0D0A, cat({num(0x1A2B3C4D, 4), num(1, 2), num(0, 2), repeat(0xFF, 8)}));
    }
    // An IDB with an if_tsresol when `tsresol` >= 0, else exactly `options`.
    PcapngBuilder& idb(std::uint16_t link_type, int tsresol = -1, std::uint32_t snaplen = 65535,
                       Bytes options = {}) {
        if (tsresol >= 0) {
            options = cat({option(9, {static_cast<std::uint8_t>(tsresol)}), option(0, {})});
        }
        return block(1, cat({num(link_type, 2), num(0, 2), num(snaplen, 4), options}));
    }
    PcapngBuilder& epb(std::uint32_t interface_id, std::uint64_t timestamp, const Bytes& frame,
                       std::int64_t orig_len = -1) {
        const std::uint64_t orig = orig_len < 0 ? frame.size() : std::uint64_t(orig_len);
        return block(6, cut(cat({num(interface_id, 4), num(timestamp >> 32, 4), num(timestamp, 4),
                                 num(frame.size(), 4), num(orig, 4), frame}),
                            (20 + frame.size() + 3) / 4 * 4));
    }
    PcapngBuilder& spb(const Bytes& frame, std::uint32_t orig_len) {
        return block(3, cut(cat({num(orig_len, 4), frame}), (4 + frame.size() + 3) / 4 * 4));
    }
    // An obsolete Packet Block: a 16-bit interface id and drop count, then
    // the fields and frame of an EPB.
    PcapngBuilder& opb(std::uint16_t interface_id, std::uint16_t drops, std::uint64_t timestamp,
                       const Bytes& frame) {
        return block(
            2, cut(cat({num(interface_id, 2), num(drops, 2), num(timestamp >> 32, 4),
                        num(timestamp, 4), num(frame.size(), 4), num(frame.size(), 4), frame}),
                   (20 + frame.size() + 3) / 4 * 4));
    }
    Bytes bytes() const { return out; }
};

// ---- packet records and flow keys -------------------------------------------

// A packet record as readers hand it over, with the decoded fields as given
// (nothing is dissected): packet({.ip = ip_info("10.0.0.1", "10.0.0.2")}).
struct PacketFields {
    std::uint32_t ts_sec = 0;
    std::uint32_t ts_usec = 0;
    Bytes frame{};
    std::int64_t orig_len = -1; // the frame's length
    std::optional<IpInfo> ip{};
    std::optional<MacAddress> src_mac{}, dst_mac{}, bssid{};
    std::optional<std::uint64_t> payload_offset{};
};
inline Packet packet(PacketFields f) {
    Packet p;
    p.ts_sec = f.ts_sec;
    p.ts_usec = f.ts_usec;
    p.caplen = static_cast<std::uint32_t>(f.frame.size());
    p.orig_len = f.orig_len < 0 ? p.caplen : static_cast<std::uint32_t>(f.orig_len);
    p.data = SharedBytes::from_vector(std::move(f.frame));
    p.ip = f.ip;
    p.src_mac = f.src_mac;
    p.dst_mac = f.dst_mac;
    p.bssid = f.bssid;
    p.payload_offset = f.payload_offset;
    return p;
}

// Flow ids, as an archive's queries give them.
using Ids = std::vector<std::uint64_t>;

// A distinct key per number: writers only need keys to be equal or not.
inline FlowKey flow_key(std::uint32_t n) {
    FlowKey k;
    k.tag = FlowKey::kNormal;
    k.port_a = static_cast<std::uint16_t>(n);
    k.port_b = static_cast<std::uint16_t>(n >> 16);
    return k;
}

// ---- files and processes ----------------------------------------------------

inline Bytes file_bytes(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}
inline void write_file(const std::string& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// A fresh directory under /tmp, removed with its contents when the object goes.
class TempDir {
public:
    TempDir() : path_("/tmp/vexlor_test_XXXXXX") {
        if (::mkdtemp(path_.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// The names in a directory, sorted; empty if it is missing.
inline std::vector<std::string> dir_names(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir, ec)) {
        names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Exactly these files in `dir`, byte for byte; names are compared first, so
// that a mismatch reads as a list, not a byte dump.
inline void expect_dir(const std::string& dir, const std::map<std::string, Bytes>& want) {
    std::vector<std::string> want_names;
    for (const auto& [name, _] : want) {
        want_names.push_back(name);
    }
    ASSERT_EQ(dir_names(dir), want_names);
    for (const auto& [name, bytes] : want) {
        EXPECT_TRUE(file_bytes(dir + "/" + name) == bytes) << name << " differs";
    }
}

// A failed Status or Result, of the kind and with the exact message given.
template <class R> void expect_error(const R& r, ErrorKind kind, const std::string& message) {
    ASSERT_FALSE(r) << message;
    EXPECT_EQ(r.error().kind, kind);
    EXPECT_EQ(r.error().message, message);
}

// The exit status of `body` run in a child process, for tests that set
// process limits.
template <class F> int child_status(F body) {
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::_exit(body());
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace vexlor::test
