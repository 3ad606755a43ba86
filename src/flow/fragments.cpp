#include "flow/fragments.h"

namespace vexlor {

bool FragmentTracker::place(Packet& packet) {
    if (!packet.fragment.fragment || !packet.ip) {
        return true;
    }
    IpInfo& ip = *packet.ip;
    const FragmentInfo& f = packet.fragment;
    const bool inner = f.outer_datagram != 0;
    const std::uint64_t key = inner ? f.outer_datagram : datagram_key(ip, f.id);
    const std::uint64_t now = packet.time_us();
    auto handle = datagrams_.find(key, key);

    if (f.first) {
        const Datagram d{ip, inner, now};
        if (handle != kLruNil) {
            datagrams_.at(handle) = d;
            datagrams_.touch(handle);
        } else {
            if (datagrams_.size() >= kMaxDatagrams) {
                (void)datagrams_.pop_front();
            }
            datagrams_.insert(key, key, d);
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
    const Datagram& d = datagrams_.at(handle);
    // Keys are hashes: a datagram of the same layer is checked whole.
    if (!d.inner &&
        (d.ip.src_ip != ip.src_ip || d.ip.dst_ip != ip.dst_ip || d.ip.protocol != ip.protocol)) {
        ++unmatched_;
        return false;
    }
    if (d.inner) {
        const std::uint8_t flags = ip.tcp_flags;
        ip = d.ip;
        ip.tcp_flags = flags;
    } else {
        ip.src_port = d.ip.src_port;
        ip.dst_port = d.ip.dst_port;
    }
    return true;
}

} // namespace vexlor
