#include "flow/fragments.h"

#include <cstring>

#include "common/hash.h"

namespace vexlor {

std::uint64_t FragmentTracker::KeyHash::operator()(const Key& k) const {
    static_assert(sizeof(Key) == 40, "Key must have no padding: it is hashed bytewise");
    return hash_words(k);
}

bool FragmentTracker::place(Packet& packet) {
    if (!packet.fragment.fragment || !packet.ip) {
        return true;
    }
    IpInfo& ip = *packet.ip;
    Key key;
    key.family = ip.src_ip.is_v4() ? 4 : 6;
    key.proto = ip.protocol;
    key.id = packet.fragment.id;
    std::memcpy(key.src.data(), ip.src_ip.bytes.data(), ip.src_ip.length());
    std::memcpy(key.dst.data(), ip.dst_ip.bytes.data(), ip.dst_ip.length());
    const std::uint64_t now = packet.time_us();
    const std::uint64_t h = KeyHash{}(key);
    auto handle = datagrams_.find(key, h);

    if (packet.fragment.first) {
        const Ports ports{ip.src_port, ip.dst_port, now};
        if (handle != kLruNil) {
            datagrams_.at(handle) = ports;
            datagrams_.touch(handle);
        } else {
            if (datagrams_.size() >= kMaxDatagrams) {
                (void)datagrams_.pop_front();
            }
            datagrams_.insert(key, h, ports);
        }
        return true;
    }
    // A datagram's first fragment older than the limit belongs to another
    // datagram that reused the identification.
    if (handle == kLruNil ||
        (now > datagrams_.at(handle).time_us && now - datagrams_.at(handle).time_us > kMaxAgeUs)) {
        ++unmatched_;
        return false;
    }
    ip.src_port = datagrams_.at(handle).src;
    ip.dst_port = datagrams_.at(handle).dst;
    return true;
}

} // namespace vexlor
