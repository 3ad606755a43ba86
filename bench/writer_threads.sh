#!/usr/bin/env bash
# Split's file work against the physical cost of the files: `vexlor split` by
# session and by host (into the empty directory fair-bench gives, and into a
# new one below it, which the split publishes whole) and `vexlor archive` on
# one capture, beside `cat` and
# `cp -r` of the same 20,000 session files (one process, and two with half
# the files each), every run on a freshly made ext4 (fair-bench), then the
# peak anonymous memory of each split with and without writer threads.
#
#     sudo bench/writer_threads.sh CAPTURE [ROUNDS] [BEFORE]
#
# CAPTURE: L.pcap of gen_capture.py (bench/run_bench.py --size L makes it);
# VEXLOR: the tool (default: vexlor on PATH); BEFORE: another build of the
# tool to show beside it; FAIR_BENCH: the fair-bench script.  Needs root and
# about 3 × the capture's size free in /dev/shm and in /tmp.
set -euo pipefail
cap=$(realpath "$1")
rounds=${2:-3}
before=${3:-}
tool=$(command -v "${VEXLOR:-vexlor}")
here=$(cd "$(dirname "$0")" && pwd)
fair=${FAIR_BENCH:-$here/../../shared/tools/fair-bench}
files=$(mktemp -d /dev/shm/writer-threads.XXXXXX)
trap 'rm -rf "$files"' EXIT

# The session files, already grouped in memory, in two halves for two cp.
"$tool" split "$cap" "$files/all" --quiet
mkdir "$files/h1" "$files/h2"
(cd "$files/all" && find . -maxdepth 1 -type f -name '*.pcap' | sort | sed -n '1~2p' |
    xargs mv -t ../h1 && mv ./* ../h2)
rmdir "$files/all"

peers=(
    "cp-r, one process=cp -r $files {out}/x"
    "cp-r, two processes=mkdir {out}/x && (cp -r $files/h1 {out}/x/ & cp -r $files/h2 {out}/x/; wait)"
    "split session=$tool split {in} {out} --quiet"
    "split session, new directory=$tool split {in} {out}/s --quiet"
    "split session, no writer threads=$tool split {in} {out} --quiet --writer-threads 0"
    "split host=$tool split {in} {out} --quiet --strategy host"
    "split host, new directory=$tool split {in} {out}/s --quiet --strategy host"
    "archive=$tool archive {in} {out}/a.vexlor --quiet"
)
if [[ -n $before ]]; then
    peers+=("split session, before=$before split {in} {out} --quiet"
        "split host, before=$before split {in} {out} --quiet --strategy host"
        "archive, before=$before archive {in} {out}/a.vexlor --quiet")
fi
sync
python3 "$fair" "$cap" "$rounds" "${peers[@]}"

# Peak RssAnon (not the mapped input).
peak_anon() { python3 "$here/peak_anon.py" "$@"; }
out=$(mktemp -d /tmp/writer-threads.XXXXXX)
for strategy in session host; do
    for threads in 0 default; do
        rm -rf "$out/o"
        opt=()
        [[ $threads == default ]] || opt=(--writer-threads "$threads")
        printf 'peak anonymous memory, split %s, writer threads %s: ' "$strategy" "$threads"
        peak_anon "$tool" split "$cap" "$out/o" --quiet --strategy "$strategy" "${opt[@]}"
    done
done
rm -rf "$out"
