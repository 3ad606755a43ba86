#!/usr/bin/env bash
# Many captures split one output per input, every run on a freshly made ext4
# (fair-bench), so no run pays for an earlier one's deletions: --jobs 1 (each
# input's split with its writer threads), --jobs 1 --writer-threads 0 (one
# core's worth of work per input), --jobs 2, and the same job through Dask on
# a LocalCluster of 2 worker processes of 1 thread, started once before the
# rounds.  A Dask run is a fresh Python that imports vexlor_dataset and
# connects to the cluster; "dask, client only" times that part alone.  Then
# the peak anonymous memory of one input's split and of all inputs split as
# one (--combine concat).
#
#     sudo bench/jobs_fair.sh SCRATCH [ROUNDS]
#
# SCRATCH: what bench/dataset_jobs.py prepares (SCRATCH/in/cap0.pcap ... and
# the capture itself, SCRATCH/capN.pcap, which is the cat baseline).
# VEXLOR: the tool (default: vexlor on PATH); PYTHON: a Python with
# vexlor_dataset and distributed (default: python3); FAIR_BENCH: the
# fair-bench script.  Needs root.
set -euo pipefail
scratch=$(realpath "$1")
rounds=${2:-3}
tool=$(command -v "${VEXLOR:-vexlor}")
py=${PYTHON:-python3}
here=$(cd "$(dirname "$0")" && pwd)
fair=${FAIR_BENCH:-$here/../../shared/tools/fair-bench}
inputs=$scratch/in
cap=$(ls "$scratch"/cap*.pcap | head -1)

# The cluster's script is a file: its worker processes import it again.
work=$(mktemp -d)
cat >"$work/cluster.py" <<'EOF'
import os, sys, time
from distributed import LocalCluster

if __name__ == "__main__":
    cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0")
    with open(sys.argv[1] + ".tmp", "w") as f:
        f.write(cluster.scheduler_address)
    os.rename(sys.argv[1] + ".tmp", sys.argv[1])
    while True:
        time.sleep(1)
EOF
# In a session of its own: stopping its workers signals their whole group.
setsid "$py" "$work/cluster.py" "$work/address" 2>"$work/cluster.log" &
cluster_pid=$!
trap 'kill -- -$cluster_pid 2>/dev/null; wait $cluster_pid 2>/dev/null || true; rm -rf "$work"' EXIT
for _ in $(seq 120); do
    [[ -s $work/address ]] && break
    sleep 0.5
done
addr=$(cat "$work/address" 2>/dev/null || true)
[[ -n $addr ]] || { cat "$work/cluster.log" >&2; echo "the LocalCluster did not start" >&2; exit 1; }

peers=(
    "jobs 1=$tool split $inputs {out}/o --jobs 1 --quiet"
    "jobs 1, no writer threads=$tool split $inputs {out}/o --jobs 1 --writer-threads 0 --quiet"
    "jobs 2=$tool split $inputs {out}/o --jobs 2 --quiet"
    "dask, 2 processes=$py -c 'import sys, vexlor_dataset as v; v.split(sys.argv[1], sys.argv[2], client=sys.argv[3]).check()' $inputs {out}/o $addr"
    "dask, client only=$py -c 'import sys, vexlor_dataset, distributed; distributed.Client(sys.argv[1]).close()' $addr"
)
sync
VEXLOR_TOOL=$tool python3 "$fair" "$cap" "$rounds" "${peers[@]}"

# Peak RssAnon (not the mapped inputs).
peak_anon() { python3 "$here/peak_anon.py" "$@"; }
out=$(mktemp -d)
echo "peak anonymous memory, one input: $(peak_anon "$tool" split "$inputs/cap0.pcap" "$out/one" --quiet)"
echo "peak anonymous memory, $(ls "$inputs" | wc -l) inputs combined: $(peak_anon "$tool" split "$inputs" "$out/all" --combine concat --quiet)"
rm -rf "$out"
