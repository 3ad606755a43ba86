#!/usr/bin/env bash
# Instructions per packet, counted by callgrind: a figure that stays the same
# on a busy machine, for comparing two commits where wall time is too noisy.
#
#     bench/instructions.sh [SCENARIO...]      (default: split:session create_archive:session)
#
# Scenarios are those of bench_worker.py (those that read an archive get the
# session archive of the capture).  Each runs once under
# `valgrind --tool=callgrind` on a 20,000-packet capture (the quick input of
# run_bench.py); a run of the "noop" scenario (interpreter start-up and
# import only) is subtracted, so the figure is the cost of the call itself.
# Both threads of split are counted.  (Hardware counters, `perf stat -e
# instructions`, would be faster, but virtual machines often do not expose
# them.)
#
# Environment: PYTHON (default: python3; needs vexlor installed),
# SCRATCH (default /tmp/vexlor-bench), PACKETS (default 20000).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
python=${PYTHON:-python3}
scratch=${SCRATCH:-/tmp/vexlor-bench}
packets=${PACKETS:-20000}
sessions=$(( packets / 100 > 0 ? packets / 100 : 1 ))
[ $# -gt 0 ] || set -- split:session create_archive:session

die() { echo "$*" >&2; exit 1; }
command -v valgrind >/dev/null || die "valgrind is missing (apt-get install -y valgrind)"
"$python" -c 'import vexlor' || die "$python cannot import vexlor"

mkdir -p "$scratch/inputs" "$scratch/callgrind"
input="$scratch/inputs/instr-$packets.pcap"
[ -s "$input" ] ||
    "$python" "$here/gen_capture.py" "$input" --packets "$packets" --sessions "$sessions"
out="$scratch/callgrind/out"
archive="$scratch/callgrind/instr.vexlor"

# Total instructions of one run of bench_worker.py under callgrind.
count() {
    local scenario=$1 file="$scratch/callgrind/${1//[:\/]/_}.out" in=$input
    case $scenario in
        # These read an archive: the session archive of the same capture.
        flow_packets | pipe_archive | archive_queries) in=$archive ;;
    esac
    rm -rf "$out" && mkdir -p "$out"
    # A fixed hash seed keeps the interpreter's own work the same from run to run.
    PYTHONHASHSEED=0 valgrind --tool=callgrind --callgrind-out-file="$file" \
        "$python" "$here/bench_worker.py" "$scenario" "$in" "$out" >/dev/null 2>"$file.log" \
        || { cat "$file.log" >&2; exit 1; }
    awk '/^(summary|totals):/ { print $2; exit }' "$file"
}

rm -rf "$out" && mkdir -p "$out"
"$python" "$here/bench_worker.py" create_archive:session "$input" "$out" >/dev/null
mv "$out/out.vexlor" "$archive"

base=$(count noop)
printf 'input: %s (%d packets); interpreter start-up and import: %s instructions\n' \
    "$input" "$packets" "$base"
printf '%-28s %16s %14s\n' scenario instructions per-packet
for scenario in "$@"; do
    total=$(count "$scenario")
    awk -v s="$scenario" -v t="$total" -v b="$base" -v n="$packets" \
        'BEGIN { printf "%-28s %16d %14.1f\n", s, t - b, (t - b) / n }'
done
rm -rf "$out" "$archive"
