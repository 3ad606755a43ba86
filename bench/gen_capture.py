#!/usr/bin/env python3
"""Deterministic synthetic captures for benchmarks and examples.

The default mix resembles enterprise traffic: TCP and UDP sessions with
packets in both directions, about 40% of frames of 60-100 bytes, 20% of
300-700 and 40% of 1400-1514, a few elephant flows carrying a large share of
the packets and many mice, all interleaved in time.

With --tiny-sessions N the capture instead holds N short conversations of one
or two small frames each (a request, and half the time an answer), at most 64
of them open at a time: an archive of it has about N flows, which is what the
archive lookups are measured on.  --packets and --sessions are then ignored.

    gen_capture.py OUT --packets 200000 --sessions 2000 [--ipv6-share 0.2]
                   [--format pcap|pcapng] [--seed 1] [--tiny-sessions N]

The output depends only on the arguments: the same arguments give the same
bytes on every run.
"""
import argparse
import random
import struct
import sys

ETH_IPV4 = 0x0800
ETH_IPV6 = 0x86DD


def size_for(rng):
    r = rng.random()
    if r < 0.4:
        return rng.randint(60, 100)
    if r < 0.6:
        return rng.randint(300, 700)
    return rng.randint(1400, 1514)


class Session:
    __slots__ = ("headers", "l4_offset", "ipv6", "udp")

    def __init__(self, rng, index, ipv6, udp):
        self.ipv6 = ipv6
        self.udp = udp
        proto = 17 if udp else 6
        mac_a = bytes([0x02, 0, 0, (index >> 16) & 0xFF, (index >> 8) & 0xFF, index & 0xFF])
        mac_b = bytes([0x02, 0xFF, 0, 0, 0, 1])
        sport = 1024 + rng.randrange(60000)
        dport = rng.choice([53, 80, 443, 8080, 3306, 5432]) if not udp else rng.choice([53, 123, 514, 5353])
        if ipv6:
            a = bytes([0x20, 0x01, 0x0D, 0xB8]) + index.to_bytes(12, "big")
            b = bytes([0x20, 0x01, 0x0D, 0xB8, 0xFF, 0xFF]) + rng.randrange(1 << 32).to_bytes(10, "big")
        else:
            a = bytes([10, (index >> 16) & 0xFF, (index >> 8) & 0xFF, index & 0xFF])
            b = bytes([172, 16, rng.randrange(256), rng.randrange(1, 255)])
        self.headers = []
        for src_mac, dst_mac, src, dst, sp, dp in (
            (mac_a, mac_b, a, b, sport, dport),
            (mac_b, mac_a, b, a, dport, sport),
        ):
            if ipv6:
                eth = dst_mac + src_mac + struct.pack(">H", ETH_IPV6)
                ip = struct.pack(">IHBB", 0x60000000, 0, proto, 64) + src + dst
            else:
                eth = dst_mac + src_mac + struct.pack(">H", ETH_IPV4)
                ip = struct.pack(">BBHHHBBH", 0x45, 0, 0, 0, 0x4000, 64, proto, 0) + src + dst
            if udp:
                l4 = struct.pack(">HHHH", sp, dp, 0, 0)
            else:
                l4 = struct.pack(">HHIIBBHHH", sp, dp, rng.randrange(1 << 32), 0, 0x50, 0x18, 65535, 0, 0)
            self.headers.append(eth + ip + l4)
        self.l4_offset = 14 + (40 if ipv6 else 20)


def frames(packets, sessions, ipv6_share, seed):
    rng = random.Random(seed)
    table = []
    for i in range(sessions):
        table.append(Session(rng, i + 1, rng.random() < ipv6_share, rng.random() < 0.25))
    # A few elephants (1% of sessions) carry about a third of the packets.
    elephants = max(1, sessions // 100)
    filler = bytes(rng.randrange(256) for _ in range(4096))
    ts_us = 1_700_000_000 * 1_000_000
    for n in range(packets):
        if rng.random() < 0.33:
            s = table[rng.randrange(elephants)]
        else:
            s = table[rng.randrange(sessions)]
        hdr = s.headers[rng.random() < 0.5]
        size = max(size_for(rng), len(hdr))
        frame = make_frame(s, hdr, size, filler)
        ts_us += rng.randrange(1, 40)
        yield ts_us, frame


def make_frame(s, hdr, size, filler):
    """One frame of session s: its header for one direction, padded to size
    bytes with filler, with the IP and UDP length fields set to match."""
    frame = bytearray(hdr)
    frame += filler[: size - len(hdr)]
    ip_len = size - 14
    if s.ipv6:
        struct.pack_into(">H", frame, 18, ip_len - 40)
    else:
        struct.pack_into(">H", frame, 16, ip_len)
    if s.udp:
        struct.pack_into(">H", frame, s.l4_offset + 4, size - s.l4_offset)
    return bytes(frame)


def tiny_frames(sessions, ipv6_share, seed, window=64):
    """Sessions of one or two frames of 60-100 bytes, numbered 1..sessions
    (the client address of session i is 10.x.y.z with x.y.z = i), opened in
    order and finished in random order from a window of open ones.  Sessions
    are made as they open, so a million of them need little memory."""
    rng = random.Random(seed)
    filler = bytes(rng.randrange(256) for _ in range(4096))
    ts_us = 1_700_000_000 * 1_000_000
    open_ = []  # [session, frames still to send, direction of the next one]
    next_index = 1
    while open_ or next_index <= sessions:
        while len(open_) < window and next_index <= sessions:
            s = Session(rng, next_index, rng.random() < ipv6_share, rng.random() < 0.25)
            open_.append([s, 1 + (rng.random() < 0.5), 0])
            next_index += 1
        k = rng.randrange(len(open_))
        entry = open_[k]
        s = entry[0]
        hdr = s.headers[entry[2]]
        size = max(rng.randint(60, 100), len(hdr))
        entry[1] -= 1
        entry[2] = 1
        if entry[1] == 0:
            open_[k] = open_[-1]
            open_.pop()
        ts_us += rng.randrange(1, 40)
        yield ts_us, make_frame(s, hdr, size, filler)


def write_pcap(out, it):
    out.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1))
    buf = []
    for ts_us, frame in it:
        buf.append(struct.pack("<IIII", ts_us // 1_000_000, ts_us % 1_000_000, len(frame), len(frame)))
        buf.append(frame)
        if len(buf) >= 8192:
            out.write(b"".join(buf))
            buf.clear()
    out.write(b"".join(buf))


def write_pcapng(out, it):
    shb_body = struct.pack("<IHHq", 0x1A2B3C4D, 1, 0, -1)
    out.write(struct.pack("<II", 0x0A0D0D0A, 12 + len(shb_body)) + shb_body + struct.pack("<I", 12 + len(shb_body)))
    idb_body = struct.pack("<HHI", 1, 0, 65535)
    out.write(struct.pack("<II", 1, 12 + len(idb_body)) + idb_body + struct.pack("<I", 12 + len(idb_body)))
    buf = []
    for ts_us, frame in it:
        pad = (-len(frame)) % 4
        total = 32 + len(frame) + pad
        buf.append(struct.pack("<IIIIIII", 6, total, 0, ts_us >> 32, ts_us & 0xFFFFFFFF, len(frame), len(frame)))
        buf.append(frame + b"\0" * pad + struct.pack("<I", total))
        if len(buf) >= 8192:
            out.write(b"".join(buf))
            buf.clear()
    out.write(b"".join(buf))


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("output")
    p.add_argument("--packets", type=int, default=200_000)
    p.add_argument("--sessions", type=int, default=2_000)
    p.add_argument("--ipv6-share", type=float, default=0.2)
    p.add_argument("--format", choices=("pcap", "pcapng"), default="pcap")
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--tiny-sessions", type=int, default=0, metavar="N",
                   help="N conversations of 1-2 small frames each instead of the default mix")
    a = p.parse_args(argv)
    with open(a.output, "wb") as out:
        if a.tiny_sessions > 0:
            it = tiny_frames(a.tiny_sessions, a.ipv6_share, a.seed)
        else:
            it = frames(a.packets, a.sessions, a.ipv6_share, a.seed)
        (write_pcap if a.format == "pcap" else write_pcapng)(out, it)
    return 0


if __name__ == "__main__":
    sys.exit(main())
