#!/usr/bin/env python3
"""Split a capture into one pcap file per bidirectional 5-tuple with dpkt:
the plain Python way to do what split(strategy="session") does, as the
baseline of run_bench.py.

    dpkt_split.py INPUT OUTPUT_DIR

Reads classic pcap or pcapng (dpkt.pcap.UniversalReader).  Frames without
IPv4/IPv6 go to one "other" file.  Output files stay open in a dict; when
the file-descriptor limit comes near, the least recently written one is
closed and reopened later for appending.
"""
import collections
import io
import os
import resource
import socket
import sys

import dpkt


class AppendWriter(dpkt.pcap.Writer):
    """A writer that continues an existing pcap file, whose header is
    already written."""

    def __init__(self, fileobj, **kw):
        super().__init__(io.BytesIO(), **kw)
        self._Writer__f = fileobj


def session_key(buf):
    eth = dpkt.ethernet.Ethernet(buf)
    ip = eth.data
    if isinstance(ip, dpkt.ip.IP):
        family = socket.AF_INET
    elif isinstance(ip, dpkt.ip6.IP6):
        family = socket.AF_INET6
    else:
        return "other"
    l4 = ip.data
    sport = getattr(l4, "sport", 0)
    dport = getattr(l4, "dport", 0)
    a = (socket.inet_ntop(family, ip.src), sport)
    b = (socket.inet_ntop(family, ip.dst), dport)
    if b < a:
        a, b = b, a
    proto = ip.p if family == socket.AF_INET else ip.nxt
    return f"{proto}_{a[0]}_{a[1]}_{b[0]}_{b[1]}".replace(":", "-")


def split(inp, out_dir):
    os.makedirs(out_dir, exist_ok=True)
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    max_open = max(16, hard - 64)
    stem = os.path.splitext(os.path.basename(inp))[0]
    writers = collections.OrderedDict()  # key -> (file, writer), oldest first
    created = set()
    packets = 0
    with open(inp, "rb") as f:
        reader = dpkt.pcap.UniversalReader(f)
        linktype = reader.datalink()
        for ts, buf in reader:
            try:
                key = session_key(buf)
            except (dpkt.UnpackError, ValueError):
                key = "other"
            entry = writers.get(key)
            if entry is None:
                if len(writers) >= max_open:
                    _, (old_f, _) = writers.popitem(last=False)
                    old_f.close()
                path = os.path.join(out_dir, f"{stem}_{key}.pcap")
                if key in created:
                    fobj = open(path, "ab")
                    entry = (fobj, AppendWriter(fobj, snaplen=65535, linktype=linktype))
                else:
                    fobj = open(path, "wb")
                    entry = (fobj, dpkt.pcap.Writer(fobj, snaplen=65535, linktype=linktype))
                    created.add(key)
                writers[key] = entry
            else:
                writers.move_to_end(key)
            entry[1].writepkt(buf, ts)
            packets += 1
    for fobj, _ in writers.values():
        fobj.close()
    return packets, len(created)


def main(argv):
    if len(argv) != 3:
        raise SystemExit(__doc__)
    packets, files = split(argv[1], argv[2])
    print(f'{{"count": {packets}, "files": {files}}}')
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
