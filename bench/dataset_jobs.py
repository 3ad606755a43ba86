#!/usr/bin/env python3
"""Many captures on one machine and on a Dask cluster, and compressed captures.

    dataset_jobs.py [--packets 250000] [--inputs 8] [--rounds 3] [--scratch /tmp/vexlor-bench/jobs] [--no-dask]

Inputs, made once into SCRATCH and kept: one capture of --packets packets (gen_capture.py, --packets / 10
sessions; 250,000 packets is about 180 MB), copied --inputs times as in/cap0.pcap ...; and that capture
compressed with zstd (-1, the tool's usual speed) and gzip (-6).

Runs, round robin over the rounds, medians (wall seconds; MB/s of input read):

- jobs1, jobs2:      vexlor split in/ OUT --jobs 1 or 2 (one output per input)
- dask2:             vexlor_dataset.split(in/, OUT, client=...) on a LocalCluster of 2 worker processes of
                     1 thread (started once, before the rounds: its start-up is timed on its own)
- plain, zstd, gzip: vexlor split CAPTURE OUT of the capture as it is and compressed

Outputs are deleted (and synced) between runs, untimed; the page cache is warm.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TOOL = os.environ.get("VEXLOR_TOOL") or os.path.join(os.path.dirname(sys.executable), "vexlor")


def sh(*argv, **kw):
    subprocess.run(argv, check=True, **kw)


def prepare(a):
    os.makedirs(os.path.join(a.scratch, "in"), exist_ok=True)
    cap = os.path.join(a.scratch, "cap%d.pcap" % a.packets)
    if not os.path.exists(cap):
        sh(sys.executable, os.path.join(HERE, "gen_capture.py"), cap + ".tmp", "--packets", str(a.packets),
           "--sessions", str(max(1, a.packets // 100)))
        os.rename(cap + ".tmp", cap)
    inputs = os.path.join(a.scratch, "in")
    for f in os.listdir(inputs):
        os.remove(os.path.join(inputs, f))
    for i in range(a.inputs):
        shutil.copyfile(cap, os.path.join(inputs, "cap%d.pcap" % i))
    for ext, argv in (("zst", ["zstd", "-1", "-q", "-c"]), ("gz", ["gzip", "-6", "-c"])):
        if not os.path.exists(cap + "." + ext):
            with open(cap, "rb") as src, open(cap + "." + ext + ".tmp", "wb") as dst:
                sh(*argv, stdin=src, stdout=dst)
            os.rename(cap + "." + ext + ".tmp", cap + "." + ext)
    for f in [cap, cap + ".zst", cap + ".gz"] + [os.path.join(inputs, f) for f in os.listdir(inputs)]:
        with open(f, "rb") as src:  # warm the page cache
            while src.read(1 << 24):
                pass
    return cap, inputs


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--packets", type=int, default=250_000)
    p.add_argument("--inputs", type=int, default=8)
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--scratch", default="/tmp/vexlor-bench/jobs")
    p.add_argument("--no-dask", action="store_true")
    a = p.parse_args()
    cap, inputs = prepare(a)
    out = os.path.join(a.scratch, "out")
    many = a.inputs * os.path.getsize(cap)

    def tool(*argv):
        return lambda: sh(TOOL, "split", *argv, out, "--quiet")

    runs = {"jobs1": (many, tool(inputs, "--jobs", "1")), "jobs2": (many, tool(inputs, "--jobs", "2"))}
    client = None
    if not a.no_dask:
        from distributed import Client, LocalCluster
        from vexlor_dataset import split
        t = time.monotonic()
        cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0")
        client = Client(cluster)
        print("LocalCluster of 2 processes started in %.1f s" % (time.monotonic() - t), file=sys.stderr)
        runs["dask2"] = (many, lambda: split(inputs, out, client=client).check())
    for name, path in (("plain", cap), ("zstd", cap + ".zst"), ("gzip", cap + ".gz")):
        runs[name] = (os.path.getsize(cap), tool(path))
    walls = {n: [] for n in runs}
    for r in range(a.rounds):
        names = list(runs)
        for name in names[r % len(names):] + names[:r % len(names)]:
            shutil.rmtree(out, ignore_errors=True)
            os.sync()
            t = time.monotonic()
            runs[name][1]()
            walls[name].append(time.monotonic() - t)
            print("round %d %-6s %6.2f s" % (r + 1, name, walls[name][-1]), file=sys.stderr)
    shutil.rmtree(out, ignore_errors=True)
    if client is not None:
        client.close()
        cluster.close()
    med = {n: statistics.median(w) for n, w in walls.items()}
    print("%d inputs of %.0f MB (%d packets each); compressed: zstd %.0f MB, gzip %.0f MB; %d rounds, medians\n" % (
        a.inputs, os.path.getsize(cap) / 1e6, a.packets, os.path.getsize(cap + ".zst") / 1e6,
        os.path.getsize(cap + ".gz") / 1e6, a.rounds))
    print("| run | wall s (min-max) | MB/s read | ratio |")
    print("|---|---:|---:|---|")
    ratios = {"jobs2": ("jobs1", "× jobs1"), "dask2": ("jobs2", "× jobs2 (throughput)"),
              "zstd": ("plain", "× plain"), "gzip": ("plain", "× plain")}
    for n, w in walls.items():
        ref = ratios.get(n)
        ratio = "%.2f %s" % (med[ref[0]] / med[n], ref[1]) if ref else ""
        print("| %s | %.2f (%.2f-%.2f) | %.0f | %s |" % (n, med[n], min(w), max(w), runs[n][0] / 1e6 / med[n], ratio))


if __name__ == "__main__":
    main()
