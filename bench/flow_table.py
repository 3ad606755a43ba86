#!/usr/bin/env python3
"""Flows as data on a generated capture: `vexlor table` (the flow table as CSV, then as Arrow through
vexlor_dataset), `vexlor bytes` (784 bytes a flow) and, for scale, `vexlor archive` of the same capture.

    python bench/flow_table.py [--packets 2000000] [--sessions 20000] [--rounds 3] [--work DIR]

The default capture has the shape of L in bench/README.md (2,000,000 packets, 20,000 sessions).  Medians of the
rounds, wall time, warm page cache; peak resident memory of the tool from wait4().
"""
import argparse
import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "src"))


def rss_anon_kb(pid):
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("RssAnon:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def timed(cmd):
    """Wall seconds, peak RSS MB (which counts the touched pages of a mapped input or archive) and peak
    anonymous MB (heap and stacks, sampled every 2 ms)."""
    start = time.perf_counter()
    proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    anon = 0
    while True:
        pid, status, usage = os.wait4(proc.pid, os.WNOHANG)
        if pid != 0:
            break
        anon = max(anon, rss_anon_kb(proc.pid))
        time.sleep(0.002)
    proc.returncode = status
    if status != 0:
        raise SystemExit("failed: %s" % " ".join(cmd))
    return time.perf_counter() - start, usage.ru_maxrss / 1024, anon / 1024


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--packets", type=int, default=2_000_000)
    p.add_argument("--sessions", type=int, default=20_000)
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--work", default="/tmp/vexlor-flow-table-bench")
    a = p.parse_args()
    from vexlor_dataset import byte_matrix, flow_table, tool_path

    tool = tool_path()
    os.makedirs(a.work, exist_ok=True)
    cap = os.path.join(a.work, "cap_%d_%d.pcap" % (a.packets, a.sessions))
    if not os.path.exists(cap):
        subprocess.run([sys.executable, os.path.join(HERE, "gen_capture.py"), cap, "--packets", str(a.packets),
                        "--sessions", str(a.sessions)], check=True)  # fmt: skip
    out = lambda name: os.path.join(a.work, name)  # noqa: E731
    scenarios = [
        ("archive (vexlor archive)", [tool, "archive", cap, out("a.vexlor"), "--quiet"]),
        ("table, CSV (vexlor table)", [tool, "table", cap, "--quiet", "-o", out("t.csv")]),
        ("bytes, 784 a flow, masked", [tool, "bytes", cap, "--first", "784", "--mask", "mac,ip,port", "--quiet",
                                       "-o", out("b.npy")]),  # fmt: skip
        ("bytes, 8 packets x 64", [tool, "bytes", cap, "--first", "64", "--packets", "8", "--quiet",
                                   "-o", out("s.npy")]),  # fmt: skip
        # From the archive built by the first scenario: the flows are indexed there already.
        ("table from the archive, CSV", [tool, "table", out("a.vexlor"), "--quiet", "-o", out("ta.csv")]),
        ("bytes from the archive, 784 a flow, masked", [tool, "bytes", out("a.vexlor"), "--first", "784", "--mask",
                                                        "mac,ip,port", "--quiet", "-o", out("ba.npy")]),  # fmt: skip
    ]
    size = os.path.getsize(cap)
    print("capture: %d packets, %d sessions, %.0f MB" % (a.packets, a.sessions, size / 1e6))
    print("| scenario | median s | MB/s | peak RSS MB | peak anon MB |")
    print("|---|---:|---:|---:|---:|")
    for name, cmd in scenarios:
        runs = [timed(cmd) for _ in range(a.rounds)]
        t = statistics.median(r[0] for r in runs)
        print("| %s | %.2f | %.0f | %.0f | %.0f |" % (name, t, size / 1e6 / t, max(r[1] for r in runs),
                                                    max(r[2] for r in runs)))
    # The usual Python route, for comparison: split into per-session files, then dpkt over every file for the
    # same per-flow figures (packets, bytes, the first 20 sizes), each frame decoded.
    try:
        import dpkt
    except ImportError:
        dpkt = None
    if dpkt is not None:
        split_dir = out("split")
        subprocess.run(["rm", "-rf", split_dir], check=True)
        split_s = timed([tool, "split", cap, split_dir, "--quiet"])[0]
        start = time.perf_counter()
        rows = 0
        for name in os.listdir(split_dir):
            with open(os.path.join(split_dir, name), "rb") as f:
                sizes = []
                for _, buf in dpkt.pcap.Reader(f):
                    dpkt.ethernet.Ethernet(buf)  # decoded, as a script would to read addresses and ports
                    sizes.append(len(buf))
            rows += 1
            _ = (len(sizes), sum(sizes), sizes[:20])
        t = time.perf_counter() - start
        print("| split, then dpkt over the %d files | %.2f (split %.2f) | %.0f | | |" % (rows, split_s + t, split_s,
                                                                                    size / 1e6 / (split_s + t)))
    for source, label in [(cap, "capture"), (out("a.vexlor"), "archive")]:
        times = []
        for _ in range(a.rounds):
            start = time.perf_counter()
            rows = flow_table(source).num_rows
            times.append(time.perf_counter() - start)
        t = statistics.median(times)
        print("| flow_table() of the %s into Arrow (%d flows) | %.2f | %.0f | | |" % (label, rows, t, size / 1e6 / t))
    times = []
    for _ in range(a.rounds):
        start = time.perf_counter()
        matrix, _keys = byte_matrix(out("a.vexlor"), n=784, mask=("mac", "ip", "port"))
        times.append(time.perf_counter() - start)
    t = statistics.median(times)
    print("| byte_matrix() of the archive, 784 a flow, masked, into NumPy %s | %.2f | %.0f | | |"
          % (matrix.shape, t, size / 1e6 / t))


if __name__ == "__main__":
    main()
