"""Flows, packets and bytes of a capture per protocol, and optionally every flow as CSV.

    python examples/flow_summary.py examples/sample.pcap
    python examples/flow_summary.py capture.pcapng --strategy hostpair --csv flows.csv

The capture is read into a temporary archive with the chosen strategy. A flow
counts under the protocol of its first packet ("?" for flows without an IP
header, and for IP protocols other than TCP, UDP, ICMP and ICMPv6).
"""
import argparse
import csv
import datetime
from typing import Dict, List

import vexlor

STRATEGIES = ["session", "flow", "host", "hostpair", "mac", "bssid", "nosplit"]


def write_csv(path: str, flows: List[vexlor.Flow]) -> None:
    with open(path, "w", newline="") as out:
        writer = csv.writer(out)
        writer.writerow(["id", "proto", "src", "sport", "dst", "dport", "packets", "bytes",
                         "start", "duration"])
        for f in flows:
            writer.writerow([f.id, f.proto_name, f.src_addr, f.src_port, f.dst_addr, f.dst_port,
                             f.packet_count, f.total_bytes, f"{f.start_ts:.6f}",
                             f"{f.end_ts - f.start_ts:.6f}"])


def main() -> None:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("capture", help='pcap or pcapng file, "-" for standard input')
    parser.add_argument("--strategy", choices=STRATEGIES, default="session")
    parser.add_argument("--csv", metavar="FILE", help="also write one line per flow to FILE")
    args = parser.parse_args()

    archive = vexlor.read_flows(args.capture, strategy=args.strategy)
    flows = archive.flows()
    by_proto: Dict[str, List[vexlor.Flow]] = {}
    for f in flows:
        by_proto.setdefault(f.proto_name, []).append(f)

    print(f"{args.capture}: {len(flows)} flows by {args.strategy}, link type {archive.link_type}")
    if flows:
        first = min(f.start_ts for f in flows)
        last = max(f.end_ts for f in flows)
        when = datetime.datetime.fromtimestamp(first, datetime.timezone.utc)
        print(f"from {when:%Y-%m-%d %H:%M:%S.%f} UTC, {last - first:.6f} s")
    print(f"{'proto':<7} {'flows':>7} {'packets':>9} {'bytes':>12}  longest flow")
    for name, group in sorted(by_proto.items(), key=lambda kv: -sum(f.total_bytes for f in kv[1])):
        longest = max(group, key=lambda f: f.end_ts - f.start_ts)
        print(f"{name:<7} {len(group):>7} {sum(f.packet_count for f in group):>9}"
              f" {sum(f.total_bytes for f in group):>12}  {longest.end_ts - longest.start_ts:.6f} s"
              f" (flow {longest.id})")
    if args.csv:
        write_csv(args.csv, flows)
        print(f"wrote {len(flows)} flows to {args.csv}")


if __name__ == "__main__":
    main()
