#include "builders.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace vexlor::test {

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

void put_u16be(Bytes& b, std::uint16_t v) {
    b.push_back(v >> 8);
    b.push_back(v & 0xFF);
}
void put_u32be(Bytes& b, std::uint32_t v) {
    put_u16be(b, v >> 16);
    put_u16be(b, v & 0xFFFF);
}
void put_u16le(Bytes& b, std::uint16_t v) {
    b.push_back(v & 0xFF);
    b.push_back(v >> 8);
}
void put_u32le(Bytes& b, std::uint32_t v) {
    put_u16le(b, v & 0xFFFF);
    put_u16le(b, v >> 16);
}
void put_u64le(Bytes& b, std::uint64_t v) {
    put_u32le(b, v & 0xFFFFFFFFu);
    put_u32le(b, v >> 32);
}
Bytes repeat(std::uint8_t byte, std::size_t n) {
    return Bytes(n, byte);
}

std::array<std::uint8_t, 6> mac(std::uint8_t last) {
    return {0x02, 0, 0, 0, 0, last};
}

std::array<std::uint8_t, 4> ip4(const char* text) {
    std::array<std::uint8_t, 4> a{};
    if (inet_pton(AF_INET, text, a.data()) != 1) {
        throw std::invalid_argument(text);
    }
    return a;
}
std::array<std::uint8_t, 16> ip6(const char* text) {
    std::array<std::uint8_t, 16> a{};
    if (inet_pton(AF_INET6, text, a.data()) != 1) {
        throw std::invalid_argument(text);
    }
    return a;
}

Bytes eth(std::array<std::uint8_t, 6> dst, std::array<std::uint8_t, 6> src, std::uint16_t ethertype,
          const Bytes& payload) {
    Bytes b(dst.begin(), dst.end());
    b.insert(b.end(), src.begin(), src.end());
    put_u16be(b, ethertype);
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

Bytes vlan(std::uint16_t vid, std::uint16_t inner_type, const Bytes& payload) {
    Bytes b;
    put_u16be(b, vid & 0x0FFF);
    put_u16be(b, inner_type);
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

Bytes wifi(std::uint8_t type, std::uint8_t flags, std::array<std::uint8_t, 6> a1,
           std::array<std::uint8_t, 6> a2, std::array<std::uint8_t, 6> a3, const Bytes& body) {
    Bytes b{static_cast<std::uint8_t>(type << 2), flags, 0, 0};
    b.insert(b.end(), a1.begin(), a1.end());
    b.insert(b.end(), a2.begin(), a2.end());
    b.insert(b.end(), a3.begin(), a3.end());
    b.push_back(0); // sequence control
    b.push_back(0);
    if ((flags & 3) == 3) {
        auto a4 = mac(0xA4);
        b.insert(b.end(), a4.begin(), a4.end());
    }
    b.insert(b.end(), body.begin(), body.end());
    return b;
}

Bytes llc_snap(std::uint16_t ethertype, const Bytes& payload) {
    Bytes b{0xAA, 0xAA, 0x03, 0x00, 0x00, 0x00};
    put_u16be(b, ethertype);
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

Bytes radiotap(std::uint16_t length, const Bytes& frame) {
    Bytes b{0, 0};
    put_u16le(b, length);
    while (b.size() < length) {
        b.push_back(0);
    }
    b.insert(b.end(), frame.begin(), frame.end());
    return b;
}

Bytes ipv4(std::array<std::uint8_t, 4> src, std::array<std::uint8_t, 4> dst, std::uint8_t protocol,
           const Bytes& payload, std::uint8_t ihl_words) {
    std::size_t hl = std::size_t(ihl_words) * 4;
    if (hl < 20) {
        hl = 20; // a short IHL still needs the fixed fields to be present
    }
    Bytes b(hl, 0);
    b[0] = 0x40 | (ihl_words & 0x0F);
    std::size_t total = hl + payload.size();
    b[2] = (total >> 8) & 0xFF;
    b[3] = total & 0xFF;
    b[8] = 64;
    b[9] = protocol;
    std::copy(src.begin(), src.end(), b.begin() + 12);
    std::copy(dst.begin(), dst.end(), b.begin() + 16);
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

Bytes ipv6(std::array<std::uint8_t, 16> src, std::array<std::uint8_t, 16> dst,
           std::uint8_t next_header, const Bytes& payload) {
    Bytes b(40, 0);
    b[0] = 0x60;
    b[4] = (payload.size() >> 8) & 0xFF;
    b[5] = payload.size() & 0xFF;
    b[6] = next_header;
    b[7] = 64;
    std::copy(src.begin(), src.end(), b.begin() + 8);
    std::copy(dst.begin(), dst.end(), b.begin() + 24);
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

Bytes ext_header(std::uint8_t next_header, std::uint8_t hdr_ext_len, const Bytes& payload) {
    Bytes b((std::size_t(hdr_ext_len) + 1) * 8, 0);
    b[0] = next_header;
    b[1] = hdr_ext_len;
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

Bytes tcp(std::uint16_t sport, std::uint16_t dport, const Bytes& payload,
          std::uint8_t data_offset_words) {
    std::size_t hl = std::max<std::size_t>(20, std::size_t(data_offset_words) * 4);
    Bytes b;
    put_u16be(b, sport);
    put_u16be(b, dport);
    b.resize(hl, 0);
    b[12] = static_cast<std::uint8_t>(data_offset_words << 4);
    b[13] = 0x18; // PSH ACK
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

Bytes udp(std::uint16_t sport, std::uint16_t dport, const Bytes& payload) {
    Bytes b;
    put_u16be(b, sport);
    put_u16be(b, dport);
    put_u16be(b, static_cast<std::uint16_t>(8 + payload.size()));
    put_u16be(b, 0);
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

Bytes icmp_echo(const Bytes& payload) {
    Bytes b{8, 0, 0, 0, 0, 1, 0, 1};
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

void PcapBuilder::u16(std::uint16_t v) {
    big_endian ? put_u16be(out, v) : put_u16le(out, v);
}
void PcapBuilder::u32(std::uint32_t v) {
    big_endian ? put_u32be(out, v) : put_u32le(out, v);
}

PcapBuilder& PcapBuilder::header() {
    out.clear();
    u32(nanosecond ? 0xA1B23C4D : 0xA1B2C3D4);
    u16(version_major);
    u16(version_minor);
    u32(0);
    u32(0);
    u32(snaplen);
    u32(link_type);
    return *this;
}

PcapBuilder& PcapBuilder::packet(std::uint32_t ts_sec, std::uint32_t ts_frac, const Bytes& frame,
                                 std::int64_t orig_len) {
    return raw_record(ts_sec, ts_frac, static_cast<std::uint32_t>(frame.size()),
                      orig_len < 0 ? static_cast<std::uint32_t>(frame.size())
                                   : static_cast<std::uint32_t>(orig_len),
                      frame);
}

PcapBuilder& PcapBuilder::raw_record(std::uint32_t ts_sec, std::uint32_t ts_frac,
                                     std::uint32_t incl_len, std::uint32_t orig_len,
                                     const Bytes& frame) {
    if (out.empty()) {
        header();
    }
    u32(ts_sec);
    u32(ts_frac);
    u32(incl_len);
    u32(orig_len);
    out.insert(out.end(), frame.begin(), frame.end());
    return *this;
}

Bytes PcapBuilder::bytes() {
    if (out.empty()) {
        header();
    }
    return out;
}

void PcapngBuilder::u16(Bytes& b, std::uint16_t v) const {
    big_endian ? put_u16be(b, v) : put_u16le(b, v);
}
void PcapngBuilder::u32(Bytes& b, std::uint32_t v) const {
    big_endian ? put_u32be(b, v) : put_u32le(b, v);
}

PcapngBuilder& PcapngBuilder::block(std::uint32_t type, const Bytes& body, std::int64_t total) {
    std::uint32_t len = total < 0 ? static_cast<std::uint32_t>(12 + body.size())
                                  : static_cast<std::uint32_t>(total);
    u32(out, type);
    u32(out, len);
    out.insert(out.end(), body.begin(), body.end());
    u32(out, len);
    return *this;
}

PcapngBuilder& PcapngBuilder::shb() {
    Bytes body;
    u32(body, 0x1A2B3C4D);
    u16(body, 1);
    u16(body, 0);
    // section length -1 (unknown), in the section's order
    u32(body, 0xFFFFFFFF);
    u32(body, 0xFFFFFFFF);
    return block(0x0A0D0D0A, body);
}

PcapngBuilder& PcapngBuilder::idb(std::uint16_t link_type, std::uint32_t snaplen, int tsresol) {
    Bytes body;
    u16(body, link_type);
    u16(body, 0);
    u32(body, snaplen);
    if (tsresol >= 0) {
        u16(body, 9);
        u16(body, 1);
        body.push_back(static_cast<std::uint8_t>(tsresol));
        body.push_back(0);
        body.push_back(0);
        body.push_back(0);
        u16(body, 0); // opt_endofopt
        u16(body, 0);
    }
    return block(1, body);
}

PcapngBuilder& PcapngBuilder::epb(std::uint32_t interface_id, std::uint64_t timestamp,
                                  const Bytes& frame, std::int64_t orig_len) {
    Bytes body;
    u32(body, interface_id);
    u32(body, static_cast<std::uint32_t>(timestamp >> 32));
    u32(body, static_cast<std::uint32_t>(timestamp & 0xFFFFFFFFu));
    u32(body, static_cast<std::uint32_t>(frame.size()));
    u32(body, orig_len < 0 ? static_cast<std::uint32_t>(frame.size())
                           : static_cast<std::uint32_t>(orig_len));
    body.insert(body.end(), frame.begin(), frame.end());
    while (body.size() % 4) {
        body.push_back(0);
    }
    return block(6, body);
}

PcapngBuilder& PcapngBuilder::spb(const Bytes& body_in, std::uint32_t orig_len) {
    Bytes body;
    u32(body, orig_len);
    body.insert(body.end(), body_in.begin(), body_in.end());
    while (body.size() % 4) {
        body.push_back(0);
    }
    return block(3, body);
}

Bytes read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, const Bytes& bytes) {
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

TempDir::TempDir() {
    std::string tmpl = "/tmp/vexlor_test_XXXXXX";
    if (::mkdtemp(tmpl.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::vector<std::string> list_dir(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir, ec)) {
        names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

Bytes gre(std::uint16_t protocol, const Bytes& payload, std::optional<std::uint32_t> key,
          bool checksum, bool sequence) {
    Bytes b;
    put_u16be(b, static_cast<std::uint16_t>((checksum ? 0x8000 : 0) | (key ? 0x2000 : 0) |
                                            (sequence ? 0x1000 : 0)));
    put_u16be(b, protocol);
    if (checksum) {
        put_u32be(b, 0);
    }
    if (key) {
        put_u32be(b, *key);
    }
    if (sequence) {
        put_u32be(b, 7);
    }
    return cat({b, payload});
}

Bytes pptp_gre(std::uint16_t call_id, const Bytes& ppp_frame, bool sequence, bool ack) {
    Bytes b{static_cast<std::uint8_t>(0x20 | (sequence ? 0x10 : 0)),
            static_cast<std::uint8_t>(0x01 | (ack ? 0x80 : 0))};
    put_u16be(b, 0x880B);
    put_u16be(b, static_cast<std::uint16_t>(ppp_frame.size()));
    put_u16be(b, call_id);
    if (sequence) {
        put_u32be(b, 11);
    }
    if (ack) {
        put_u32be(b, 10);
    }
    return cat({b, ppp_frame});
}

Bytes erspan2(std::uint16_t session, const Bytes& frame) {
    Bytes b;
    put_u16be(b, 0x1000 | 5);      // version 1, VLAN 5
    put_u16be(b, session & 0x3FF); // COS, encapsulation, truncation 0
    put_u32be(b, 0);
    return cat({b, frame});
}

Bytes erspan3(std::uint16_t session, const Bytes& frame, bool platform) {
    Bytes b;
    put_u16be(b, 0x2000 | 5);
    put_u16be(b, session & 0x3FF);
    put_u32be(b, 0x12345678); // timestamp
    put_u16be(b, 0);          // security group tag
    put_u16be(b, platform ? 1 : 0);
    if (platform) {
        put_u32be(b, 0x0C000000);
        put_u32be(b, 0);
    }
    return cat({b, frame});
}

Bytes vxlan(std::uint32_t vni, const Bytes& frame) {
    Bytes b{0x08, 0, 0, 0};
    put_u32be(b, vni << 8);
    return cat({b, frame});
}

Bytes geneve(std::uint32_t vni, std::uint16_t protocol, const Bytes& payload,
             std::uint8_t option_words) {
    Bytes b{static_cast<std::uint8_t>(option_words & 0x3F), 0};
    put_u16be(b, protocol);
    put_u32be(b, vni << 8);
    b.resize(b.size() + std::size_t(option_words) * 4, 0xEE);
    return cat({b, payload});
}

Bytes gtpu(std::uint32_t teid, const Bytes& packet,
           std::initializer_list<std::uint8_t> extension_words, bool sequence) {
    const bool extended = extension_words.size() > 0;
    Bytes b{static_cast<std::uint8_t>(0x30 | (extended ? 0x04 : 0) | (sequence ? 0x02 : 0)), 0xFF};
    Bytes rest;
    if (extended || sequence) {
        put_u16be(rest, 1); // sequence number
        rest.push_back(0);  // N-PDU number
        for (std::uint8_t words : extension_words) {
            rest.push_back(0x85); // the type of the header that follows
            rest.push_back(words);
            rest.resize(rest.size() + std::size_t(words) * 4 - 2, 0);
        }
        rest.push_back(0); // no further extension header
    }
    rest.insert(rest.end(), packet.begin(), packet.end());
    put_u16be(b, static_cast<std::uint16_t>(rest.size()));
    put_u32be(b, teid);
    return cat({b, rest});
}

Bytes mpls(std::initializer_list<std::uint32_t> labels, const Bytes& payload) {
    Bytes b;
    std::size_t i = 0;
    for (std::uint32_t label : labels) {
        const bool bottom = ++i == labels.size();
        put_u32be(b, (label << 12) | (bottom ? 0x100 : 0) | 64);
    }
    return cat({b, payload});
}

Bytes pppoe_session(std::uint16_t session, std::uint16_t ppp_protocol, const Bytes& payload) {
    Bytes b{0x11, 0x00};
    put_u16be(b, session);
    put_u16be(b, static_cast<std::uint16_t>(payload.size() + 2));
    put_u16be(b, ppp_protocol);
    return cat({b, payload});
}

Bytes ppp(std::uint16_t protocol, const Bytes& payload, bool address_control, bool compressed) {
    Bytes b;
    if (address_control) {
        b = {0xFF, 0x03};
    }
    if (compressed) {
        b.push_back(static_cast<std::uint8_t>(protocol));
    } else {
        put_u16be(b, protocol);
    }
    return cat({b, payload});
}

Bytes sll(std::uint16_t protocol, const Bytes& payload) {
    Bytes b;
    put_u16be(b, 0); // sent to us
    put_u16be(b, 1); // ARPHRD_ETHER
    put_u16be(b, 6);
    const auto from = mac(9);
    b.insert(b.end(), from.begin(), from.end());
    put_u16be(b, 0);
    put_u16be(b, protocol);
    return cat({b, payload});
}

Bytes sll2(std::uint16_t protocol, const Bytes& payload) {
    Bytes b;
    put_u16be(b, protocol);
    put_u16be(b, 0); // reserved
    put_u32be(b, 2); // interface index
    put_u16be(b, 1); // ARPHRD_ETHER
    b.push_back(0);  // sent to us
    b.push_back(6);
    const auto from = mac(9);
    b.insert(b.end(), from.begin(), from.end());
    put_u16be(b, 0);
    return cat({b, payload});
}

Bytes loopback(std::uint32_t family, const Bytes& payload, bool big_endian) {
    Bytes b;
    big_endian ? put_u32be(b, family) : put_u32le(b, family);
    return cat({b, payload});
}

Bytes ipv4_fragment(Bytes packet, std::uint16_t id, std::uint16_t offset_units, bool more) {
    const std::uint16_t field = static_cast<std::uint16_t>((more ? 0x2000 : 0) | offset_units);
    packet.at(4) = id >> 8;
    packet.at(5) = id & 0xFF;
    packet.at(6) = field >> 8;
    packet.at(7) = field & 0xFF;
    return packet;
}

Bytes ipv6_fragment(std::uint8_t next_header, std::uint16_t offset_units, bool more,
                    std::uint32_t id, const Bytes& payload) {
    Bytes b{next_header, 0};
    put_u16be(b, static_cast<std::uint16_t>((offset_units << 3) | (more ? 1 : 0)));
    put_u32be(b, id);
    return cat({b, payload});
}

PcapngBuilder& opb(PcapngBuilder& b, std::uint16_t interface_id, std::uint16_t drops,
                   std::uint64_t timestamp, const Bytes& frame) {
    Bytes body;
    b.u16(body, interface_id);
    b.u16(body, drops);
    b.u32(body, static_cast<std::uint32_t>(timestamp >> 32));
    b.u32(body, static_cast<std::uint32_t>(timestamp & 0xFFFFFFFFu));
    b.u32(body, static_cast<std::uint32_t>(frame.size()));
    b.u32(body, static_cast<std::uint32_t>(frame.size()));
    body.insert(body.end(), frame.begin(), frame.end());
    body.resize((body.size() + 3) / 4 * 4);
    return b.block(2, body);
}

} // namespace vexlor::test
