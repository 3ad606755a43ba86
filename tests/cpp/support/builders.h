// Builders for frames and whole capture files, so that tests read like the
// cases they check:
//     auto frame = eth(mac(1), mac(2), kEtherIpv4, ipv4(ip4("10.0.0.1"), ip4("10.0.0.2"), 6,
//                                                      tcp(1234, 80, {})));
//     auto file = PcapBuilder{}.packet(1, 2, frame).bytes();
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace vexlor::test {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint16_t kEtherIpv4 = 0x0800;
inline constexpr std::uint16_t kEtherIpv6 = 0x86DD;
inline constexpr std::uint16_t kEtherVlan = 0x8100;
inline constexpr std::uint16_t kEtherArp = 0x0806;

// Concatenation and byte-order helpers.
Bytes cat(std::initializer_list<Bytes> parts);
void put_u16be(Bytes& b, std::uint16_t v);
void put_u32be(Bytes& b, std::uint32_t v);
void put_u16le(Bytes& b, std::uint16_t v);
void put_u32le(Bytes& b, std::uint32_t v);
void put_u64le(Bytes& b, std::uint64_t v);
Bytes repeat(std::uint8_t byte, std::size_t n);

// Addresses: mac(7) is 02:00:00:00:00:07; ip4/ip6 parse text with inet_pton.
std::array<std::uint8_t, 6> mac(std::uint8_t last);
std::array<std::uint8_t, 4> ip4(const char* text);
std::array<std::uint8_t, 16> ip6(const char* text);

// Link layers.
Bytes eth(std::array<std::uint8_t, 6> dst, std::array<std::uint8_t, 6> src, std::uint16_t ethertype,
          const Bytes& payload);
Bytes vlan(std::uint16_t vid, std::uint16_t inner_type, const Bytes& payload); // tag + payload
// An 802.11 header: frame type (0 mgmt, 1 ctrl, 2 data), flags byte, three
// (or, with both DS bits, four) addresses.
Bytes wifi(std::uint8_t type, std::uint8_t flags, std::array<std::uint8_t, 6> a1,
           std::array<std::uint8_t, 6> a2, std::array<std::uint8_t, 6> a3, const Bytes& body);
Bytes llc_snap(std::uint16_t ethertype, const Bytes& payload);
Bytes radiotap(std::uint16_t length, const Bytes& frame); // version 0, zero fields

// Network and transport.  ipv4/ipv6 put `payload` behind a fixed header;
// options and extension headers are added by the caller.
Bytes ipv4(std::array<std::uint8_t, 4> src, std::array<std::uint8_t, 4> dst, std::uint8_t protocol,
           const Bytes& payload, std::uint8_t ihl_words = 5);
Bytes ipv6(std::array<std::uint8_t, 16> src, std::array<std::uint8_t, 16> dst,
           std::uint8_t next_header, const Bytes& payload);
// An IPv6 extension header of (hdr_ext_len + 1) * 8 bytes.
Bytes ext_header(std::uint8_t next_header, std::uint8_t hdr_ext_len, const Bytes& payload);
Bytes tcp(std::uint16_t sport, std::uint16_t dport, const Bytes& payload,
          std::uint8_t data_offset_words = 5);
Bytes udp(std::uint16_t sport, std::uint16_t dport, const Bytes& payload);
Bytes icmp_echo(const Bytes& payload);

// Classic pcap files.
struct PcapBuilder {
    bool big_endian = false;
    bool nanosecond = false;
    std::uint32_t link_type = 1;
    std::uint32_t snaplen = 65535;
    std::uint16_t version_major = 2;
    std::uint16_t version_minor = 4;
    Bytes out;

    PcapBuilder& header();
    // Appends a record; orig_len defaults to the frame's length.
    PcapBuilder& packet(std::uint32_t ts_sec, std::uint32_t ts_frac, const Bytes& frame,
                        std::int64_t orig_len = -1);
    // A record header claiming `incl_len` bytes followed by `frame`.
    PcapBuilder& raw_record(std::uint32_t ts_sec, std::uint32_t ts_frac, std::uint32_t incl_len,
                            std::uint32_t orig_len, const Bytes& frame);
    Bytes bytes();

private:
    void u16(std::uint16_t v);
    void u32(std::uint32_t v);
};

// pcapng files: blocks are appended in call order.
struct PcapngBuilder {
    bool big_endian = false;
    Bytes out;

    PcapngBuilder& shb();
    // An IDB; tsresol < 0 means no if_tsresol option.
    PcapngBuilder& idb(std::uint16_t link_type, std::uint32_t snaplen = 65535, int tsresol = -1);
    PcapngBuilder& epb(std::uint32_t interface_id, std::uint64_t timestamp, const Bytes& frame,
                       std::int64_t orig_len = -1);
    PcapngBuilder& spb(const Bytes& body, std::uint32_t orig_len);
    // Any block: type, body; total length = 12 + body (pass `total` to lie).
    PcapngBuilder& block(std::uint32_t type, const Bytes& body, std::int64_t total = -1);
    Bytes bytes() const { return out; }

    void u16(Bytes& b, std::uint16_t v) const;
    void u32(Bytes& b, std::uint32_t v) const;
};

// Reads a whole file, for comparisons in tests.
Bytes read_file(const std::string& path);
void write_file(const std::string& path, const Bytes& bytes);

// A fresh directory under /tmp (mkdtemp), removed with its contents when the
// object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// The names in a directory (no "." or ".."), sorted; empty if it is missing.
std::vector<std::string> list_dir(const std::string& dir);

// Runs `body` in a child process and returns its exit status (0 on success),
// for tests that set process limits or may hang.
template <class F> int in_child(F body) {
    std::fflush(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::_exit(body());
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Tags, label stacks, tunnels and the further link types of the wide
// decoding.  Each puts its header in front of `payload`.
inline constexpr std::uint16_t kEtherQinq = 0x88A8;
inline constexpr std::uint16_t kEtherMpls = 0x8847;
inline constexpr std::uint16_t kEtherPppoe = 0x8864;
inline constexpr std::uint16_t kGreBridging = 0x6558;
inline constexpr std::uint16_t kGreErspan2 = 0x88BE;
inline constexpr std::uint16_t kGreErspan3 = 0x22EB;
inline constexpr std::uint16_t kPppIpv4 = 0x0021;
inline constexpr std::uint16_t kPppIpv6 = 0x0057;

// GRE version 0; the checksum (zero), key and sequence fields when asked.
Bytes gre(std::uint16_t protocol, const Bytes& payload, std::optional<std::uint32_t> key = {},
          bool checksum = false, bool sequence = false);
// The enhanced GRE of PPTP (version 1) around a PPP frame.
Bytes pptp_gre(std::uint16_t call_id, const Bytes& ppp_frame, bool sequence = true,
               bool ack = false);
Bytes erspan2(std::uint16_t session, const Bytes& frame);
// With the O flag and its 8-byte platform subheader when `platform`.
Bytes erspan3(std::uint16_t session, const Bytes& frame, bool platform = false);
Bytes vxlan(std::uint32_t vni, const Bytes& frame);
Bytes geneve(std::uint32_t vni, std::uint16_t protocol, const Bytes& payload,
             std::uint8_t option_words = 0);
// A GTPv1-U G-PDU.  Each value of `extension_words` adds an extension header
// of that many 4-byte words (which sets the E flag and the 4 optional bytes).
Bytes gtpu(std::uint32_t teid, const Bytes& packet,
           std::initializer_list<std::uint8_t> extension_words = {}, bool sequence = false);
// A label stack, the last entry marked as the bottom.
Bytes mpls(std::initializer_list<std::uint32_t> labels, const Bytes& payload);
Bytes pppoe_session(std::uint16_t session, std::uint16_t ppp_protocol, const Bytes& payload);
// PPP: FF 03 when `address_control`, the protocol in one byte when `compressed`.
Bytes ppp(std::uint16_t protocol, const Bytes& payload, bool address_control = true,
          bool compressed = false);
// Linux cooked captures, v1 (113) and v2 (276): an Ethernet device's frame
// from mac(9).
Bytes sll(std::uint16_t protocol, const Bytes& payload);
Bytes sll2(std::uint16_t protocol, const Bytes& payload);
// BSD loopback (0, 108): the 4-byte address family.
Bytes loopback(std::uint32_t family, const Bytes& payload, bool big_endian = false);
// Fragment fields written into a built IPv4 packet; an IPv6 fragment header.
Bytes ipv4_fragment(Bytes packet, std::uint16_t id, std::uint16_t offset_units, bool more);
Bytes ipv6_fragment(std::uint8_t next_header, std::uint16_t offset_units, bool more,
                    std::uint32_t id, const Bytes& payload);

// An obsolete Packet Block (pcapng type 2) appended to `b`: a 16-bit
// interface id and drop count, then the fields and frame of an EPB.
PcapngBuilder& opb(PcapngBuilder& b, std::uint16_t interface_id, std::uint16_t drops,
                   std::uint64_t timestamp, const Bytes& frame);

} // namespace vexlor::test
