#!/usr/bin/env python3
"""One benchmark scenario in a fresh interpreter, as run_bench.py starts it.

    bench_worker.py SCENARIO INPUT OUTPUT_DIR

Prints one JSON object on stdout: "call_s", the time of the measured calls
alone (without interpreter start-up and import), "count", what the scenario
counted (packets or flows) to show the work was done, for the archive
lookups "parts", the time of each call on its own, and "memory_kb", the
process's own VmHWM and RssAnon at the end.

Scenarios:
    split:STRATEGY[:OUTPUT_TYPE]   split INPUT into OUTPUT_DIR
    create_archive:STRATEGY        create_archive INPUT -> OUTPUT_DIR/out.vexlor
    read_flows                     read_flows(INPUT) and len() of the result
    flow_packets                   INPUT is an archive: packets() of every flow
    pipe_archive                   INPUT is an archive: pipe_archive(INPUT)
    archive_queries                INPUT is an archive: open, then each lookup
    noop                           import only (the baseline of instructions.sh)
"""
import json
import os
import resource
import sys
import time


def raise_nofile():
    # split keeps up to max_sessions (10000 by default) files open; a user
    # splitting big captures raises the soft limit the same way.
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if hard == resource.RLIM_INFINITY or soft < hard:
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))


def run(scenario, inp, out):
    import vexlor

    kind, _, rest = scenario.partition(":")
    parts = {}
    count = None
    t0 = time.perf_counter()
    if kind == "split":
        strategy, _, output_type = rest.partition(":")
        vexlor.split(inp, out, strategy=strategy, output_type=output_type or "pcap")
    elif kind == "create_archive":
        vexlor.create_archive(inp, os.path.join(out, "out.vexlor"), strategy=rest or "session")
    elif kind == "read_flows":
        archive = vexlor.read_flows(inp)
        count = len(archive)
        del archive
    elif kind == "flow_packets":
        archive = vexlor.Archive.open(inp)
        count = 0
        for flow in archive.flows():
            count += len(flow.packets())
    elif kind == "pipe_archive":
        images = vexlor.pipe_archive(inp)
        count = len(images)
        del images
    elif kind == "archive_queries":
        count = archive_queries(vexlor, inp, parts)
    elif kind == "noop":
        pass
    else:
        raise SystemExit(f"unknown scenario {scenario!r}")
    call_s = time.perf_counter() - t0
    return {"call_s": call_s, "count": count, "parts": parts}


def archive_queries(vexlor, path, parts):
    """Each lookup once, timed on its own, in the order a script would use
    them.  The keys come from the archive itself (a flow in the middle), so
    the lookups find something whatever the input."""

    def timed(name, fn):
        t = time.perf_counter()
        result = fn()
        parts[name] = {"s": time.perf_counter() - t,
                       "n": len(result) if isinstance(result, list) else int(result is not None)}
        return result

    archive = timed("Archive.open", lambda: vexlor.Archive.open(path))
    n = len(archive)
    parts["Archive.open"]["n"] = n
    middle = timed("get_flow", lambda: archive.get_flow(max(1, n // 2)))
    # The first lookup of each kind may prepare that index; the second one
    # shows the steady cost.
    timed("find_by_ip, first call (a client)", lambda: archive.find_by_ip(middle.src_addr))
    timed("find_by_ip (a server)", lambda: archive.find_by_ip(middle.dst_addr))
    timed("find_by_port, first call (ephemeral)", lambda: archive.find_by_port(middle.src_port))
    timed("find_by_port (443)", lambda: archive.find_by_port(443))
    timed("find_by_protocol, first call (udp)", lambda: archive.find_by_protocol("udp"))
    timed("find_by_protocol (tcp)", lambda: archive.find_by_protocol("tcp"))
    timed("flows()", archive.flows)
    return n


def own_memory_kb():
    """VmHWM and RssAnon of this process now: the parent samples both, and
    this last reading closes the gap between its final sample and exit."""
    out = {}
    with open("/proc/self/status") as f:
        for line in f:
            key, _, rest = line.partition(":")
            if key in ("VmHWM", "RssAnon"):
                out[key] = int(rest.split()[0])
    return out


def main(argv):
    if len(argv) != 4:
        raise SystemExit(__doc__)
    raise_nofile()
    result = run(argv[1], argv[2], argv[3])
    result["memory_kb"] = own_memory_kb()
    sys.stdout.write(json.dumps(result) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
