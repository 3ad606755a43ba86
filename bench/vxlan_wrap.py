"""Wraps every Ethernet frame of a classic pcap in VXLAN (outer Ethernet, IPv4, UDP 4789), as data-centre
captures arrive: the input of the wide decoding's tunnel benchmark."""
import argparse
import struct


def wrap(frame, sport):
    inner = struct.pack(">BBHI", 0x08, 0, 0, 42 << 8) + frame
    udp = struct.pack(">HHHH", sport, 4789, 8 + len(inner), 0) + inner
    ip = struct.pack(">BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), 0, 0, 64, 17, 0,
                     bytes([192, 0, 2, 1]), bytes([192, 0, 2, 2])) + udp
    return bytes([2, 0, 0, 0, 0, 2, 2, 0, 0, 0, 0, 1]) + b"\x08\x00" + ip


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("input")
    p.add_argument("output")
    a = p.parse_args()
    data = open(a.input, "rb").read()
    magic, _, _, _, _, _, link = struct.unpack_from("<IHHiIII", data)
    assert magic == 0xA1B2C3D4 and link == 1, "a little-endian microsecond Ethernet pcap"
    out, at, n = [data[:24]], 24, 0
    while at + 16 <= len(data):
        sec, usec, caplen, orig = struct.unpack_from("<IIII", data, at)
        frame = wrap(data[at + 16:at + 16 + caplen], 49152 + n % 16384)
        out.append(struct.pack("<IIII", sec, usec, len(frame), orig + len(frame) - caplen) + frame)
        at += 16 + caplen
        n += 1
    open(a.output, "wb").write(b"".join(out))


if __name__ == "__main__":
    main()
