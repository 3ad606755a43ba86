#!/usr/bin/env bash
# The cost of the tool's wide decoding, in instructions (callgrind: the same
# figure on a busy machine): `vexlor split` by session with --decode basic and
# --decode wide on a generated plain-Ethernet capture, and wide on a copy of
# it whose every frame is wrapped in VXLAN.
#
#     bench/wide_decoding.sh        (VEXLOR: the tool, default: vexlor on PATH;
#                                    PACKETS: default 20000)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
tool=${VEXLOR:-vexlor}
packets=${PACKETS:-20000}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
python3 "$here/gen_capture.py" "$scratch/plain.pcap" --packets "$packets" \
    --sessions $((packets / 100)) >/dev/null
python3 "$here/vxlan_wrap.py" "$scratch/plain.pcap" "$scratch/vxlan.pcap"

count() { # input decode
    rm -rf "$scratch/out"
    valgrind --tool=callgrind --callgrind-out-file="$scratch/cg.out" \
        "$tool" split "$1" "$scratch/out" --decode "$2" --quiet >/dev/null 2>&1
    awk '/^(summary|totals):/ { print $2; exit }' "$scratch/cg.out"
}
basic=$(count "$scratch/plain.pcap" basic)
wide=$(count "$scratch/plain.pcap" wide)
tunnel=$(count "$scratch/vxlan.pcap" wide)
awk -v n="$packets" -v b="$basic" -v w="$wide" -v t="$tunnel" 'BEGIN {
    printf "%-34s %14s %12s %8s\n", "split by session, " n " packets", "instructions", "per packet", "ratio"
    printf "%-34s %14d %12.1f %8.2f\n", "plain Ethernet, --decode basic", b, b / n, 1
    printf "%-34s %14d %12.1f %8.2f\n", "plain Ethernet, --decode wide", w, w / n, w / b
    printf "%-34s %14d %12.1f %8.2f\n", "VXLAN-wrapped copy, --decode wide", t, t / n, t / b
}'
