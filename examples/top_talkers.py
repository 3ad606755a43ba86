"""The hosts, or the flows, that carried the most bytes in a capture or an archive.

    python examples/top_talkers.py examples/sample.pcap
    python examples/top_talkers.py capture.vexlor --by flow -n 5

A host is credited with the bytes of every session it takes part in, in both
directions. A path ending in .vexlor is opened as an archive; anything else is
read as a capture (pcap or pcapng, "-" for standard input) into a temporary one.
"""
import argparse
import ipaddress
from collections import Counter

import vexlor

# The address text of flows whose first packet had no IP header.
NO_IP = ":".join(["0000"] * 8)


def short(addr: str) -> str:
    """Flows spell IPv6 addresses out in full; show them compressed."""
    return "(no IP)" if addr == NO_IP else str(ipaddress.ip_address(addr))


def open_input(path: str) -> vexlor.Archive:
    if path.endswith(".vexlor"):
        return vexlor.Archive.open(path)
    return vexlor.read_flows(path, strategy="session")


def main() -> None:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("input", help="capture file or .vexlor archive")
    parser.add_argument("-n", type=int, default=10, help="how many to show (default 10)")
    parser.add_argument("--by", choices=["host", "flow"], default="host")
    args = parser.parse_args()

    flows = open_input(args.input).flows()
    total = sum(f.total_bytes for f in flows) or 1
    if args.by == "host":
        per_host: Counter[str] = Counter()
        sessions: Counter[str] = Counter()
        for f in flows:
            for addr in dict.fromkeys((short(f.src_addr), short(f.dst_addr))):
                per_host[addr] += f.total_bytes
                sessions[addr] += 1
        print(f"{'bytes':>12} {'share':>6} {'flows':>6}  host")
        for addr, nbytes in per_host.most_common(args.n):
            print(f"{nbytes:>12} {nbytes / total:>6.1%} {sessions[addr]:>6}  {addr}")
    else:
        print(f"{'bytes':>12} {'share':>6} {'pkts':>6}  flow")
        for f in sorted(flows, key=lambda f: f.total_bytes, reverse=True)[: args.n]:
            ends = f"{short(f.src_addr)} {f.src_port} -> {short(f.dst_addr)} {f.dst_port}"
            share = f.total_bytes / total
            print(f"{f.total_bytes:>12} {share:>6.1%} {f.packet_count:>6}  {f.proto_name} {ends}")


if __name__ == "__main__":
    main()
