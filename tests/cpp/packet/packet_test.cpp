#include "packet/packet.h"

#include "builders.h"

#include <gtest/gtest.h>

namespace vexlor {
namespace {

using namespace vexlor::test;

// An 802.11 data frame with UDP inside fills every dissected field at once.
Bytes wifi_udp() {
    return wifi(2, 0, mac(1), mac(2), mac(3),
                llc_snap(kEtherIpv4, ipv4(ip4("10.0.0.1"), ip4("10.0.0.2"), 17,
                                          udp(53, 99, {1, 2, 3}))));
}

TEST(FromPcapRecord, StoresFieldsAndDissectionAndSharesTheBytes) {
    const Bytes frame = wifi_udp();
    SharedBytes data = SharedBytes::from_vector(frame);
    const std::uint8_t* storage = data.data();

    const Packet p = from_pcap_record(11, 22, 500, std::move(data), kLinkIeee80211);

    EXPECT_EQ(p.ts_sec, 11u);
    EXPECT_EQ(p.ts_usec, 22u);
    EXPECT_EQ(p.orig_len, 500u);
    EXPECT_EQ(p.caplen, frame.size());
    EXPECT_EQ(p.data.data(), storage); // moved in, not copied
    const Dissection want = dissect_frame(frame, kLinkIeee80211);
    ASSERT_TRUE(want.bssid && want.ip && want.payload_offset);
    EXPECT_EQ(p.src_mac, want.src_mac);
    EXPECT_EQ(p.dst_mac, want.dst_mac);
    EXPECT_EQ(p.bssid, want.bssid);
    EXPECT_EQ(p.ip, want.ip);
    EXPECT_EQ(p.payload_offset, want.payload_offset);
}

TEST(FromPcapRecord, EmptyRecordHasNothingDecoded) {
    const Packet p = from_pcap_record(1, 2, 60, SharedBytes{}, kLinkEthernet);
    EXPECT_EQ(p.caplen, 0u);
    EXPECT_FALSE(p.src_mac || p.dst_mac || p.bssid || p.ip || p.payload_offset);
}

// Lengths and timestamps are not checked against each other.
TEST(FromPcapRecord, KeepsOddValuesAsGiven) {
    const Packet p = from_pcap_record(0xFFFFFFFF, 1500000, 3,
                                      SharedBytes::from_vector(repeat(0, 20)), kLinkEthernet);
    EXPECT_EQ(p.ts_sec, 0xFFFFFFFFu);
    EXPECT_EQ(p.ts_usec, 1500000u);
    EXPECT_EQ(p.orig_len, 3u);
    EXPECT_EQ(p.caplen, 20u);
}

} // namespace
} // namespace vexlor
