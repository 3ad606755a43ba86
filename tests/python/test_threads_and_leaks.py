"""Threads calling the module at once get the results of one thread making the same calls in turn, flows outlive
their Archive (and its file), and repeated calls, failing ones included, grow neither memory nor reference counts."""
import contextlib, ctypes, gc, itertools, os, sys, threading
from concurrent.futures import ThreadPoolExecutor

import pytest

import vexlor
from conftest import TEMP_ARCHIVE, Index, contents, records, sessions_bytes, write

THREADS = 8


def summary(archive):
    return [(repr(f), f.start_ts, f.end_ts, records(f.packets())) for f in archive.flows()]


def queries(archive):
    return ([[f.id for f in q] for q in [archive.find_by_ip(a) for a in ("10.0.0.1", "192.0.2.1", "2001:db8::1", "::")]
             + [archive.find_by_port(p) for p in (0, 53, 80, 1030)]
             + [archive.find_by_protocol(p) for p in ("tcp", "udp", "icmp", "icmpv6")]],
            [repr(archive.get_flow(i)) for i in range(12)], repr(archive), summary(archive))


def jobs(src, archive_path, workdir):
    """Calls whose results do not depend on where they wrote; one Archive is queried by all threads."""
    shared, counter = vexlor.Archive.open(archive_path), itertools.count()

    def build(fn, *args, **kwargs):
        path = workdir / str(next(counter))
        fn(src, str(path), *args, **kwargs)
        return contents(path)

    return {"queries": lambda: queries(shared), "pipe": lambda: vexlor.pipe_archive(archive_path),
            "split": lambda: build(vexlor.split, "session", max_sessions=7), "l7": lambda: build(
                vexlor.split, "host", output_type="l7"), "create": lambda: build(vexlor.create_archive, "flow"),
            "read_flows": lambda: summary(vexlor.read_flows(src, "hostpair"))}


def test_threads_get_the_results_of_one_thread(tmp_path):
    """Flows of an Archive that is gone, and its file with it, keep reading its mapping in every thread."""
    src, archive_path = write(tmp_path / "many.pcap", sessions_bytes(60, 10, 50, ipv6_every=4)), str(tmp_path / "a")
    vexlor.create_archive(src, archive_path)
    orphans = vexlor.read_flows(src).flows()
    gc.collect()
    assert not os.path.exists(TEMP_ARCHIVE)
    calls = dict(jobs(src, archive_path, tmp_path), orphans=lambda: [(repr(f), records(f.packets())) for f in orphans])
    alone, start = {name: call() for name, call in calls.items()}, threading.Barrier(THREADS)
    with ThreadPoolExecutor(THREADS) as pool:
        together = list(pool.map(lambda name: (start.wait(timeout=60), name, calls[name]())[1:], list(calls) * THREADS))
    assert len(together) == len(calls) * THREADS and all(result == alone[name] for name, result in together)
    gc.collect()
    assert not os.path.exists(TEMP_ARCHIVE)  # every read_flows archive is gone, and its file with it


def swallow(call, *args, **kwargs):
    with contextlib.suppress(TypeError, ValueError, OSError, RuntimeError, OverflowError, UnicodeEncodeError):
        call(*args, **kwargs)


# Fresh objects (not interned or cached), so that their reference counts are ours alone.
STRATEGY, PROTO, BAD_IP = "".join(["ses", "sion"]), "".join(["T", "CP"]), "".join(["10.0.0.", "999"])
IPS, PORTS, BAD_PORTS, PORT = ["".join(["10.0.0.", "1"])], [int("8" + "0")], [int("7" + "0000")], int("5" + "3")


def query_step(tmp_path, sample_pcap, sample_archive, archive):
    """Queries and calls that fail, each failure path of the binding once."""
    out = str(tmp_path / "out")
    queries(archive), vexlor.pipe_archive(sample_archive), vexlor.Archive.open(sample_archive).flows()
    archive.find_by_protocol(PROTO), archive.find_by_port(PORT), archive.find_by_ip(IPS[0])
    for call, arg in [(archive.find_by_ip, BAD_IP), (archive.find_by_protocol, BAD_IP), (vexlor.split, 42),
                      (archive.find_by_port, 70000), (archive.get_flow, "1"), (archive.flows, 1), (vexlor.Archive, 1),
                      (vexlor.Archive.open, out), (vexlor.pipe_archive, "m.vexlor"), (vexlor.read_flows, "m.pcap")]:
        swallow(call, arg)
    swallow(archive.find_by_ip, ip_str="1.2.3.4", extra=1)
    for kwargs in [dict(max_sessions=-1), dict(max_sessions=Index(TypeError("nope"))), dict(ip_filters="x"),
                   dict(ip_filters=["a", 1]), dict(port_filters=BAD_PORTS), dict(strategy="\ud800"),
                   dict(output_type="csv"), dict(strategy=IPS)]:
        swallow(vexlor.split, "m.pcap", out, **kwargs)
    swallow(vexlor.create_archive, "a", "b", input_path="c")
    swallow(vexlor.read_flows, "m.pcap", strategy="nope")


def file_step(tmp_path, sample_pcap, sample_archive, archive):
    """Calls that write files, and one that fails to."""
    vexlor.split(sample_pcap, str(tmp_path / "out"), "host", 3, 0, ["10.0.0.1", "bogus"], [80, 53], "l7")
    vexlor.split(sample_pcap, str(tmp_path / "out"), STRATEGY, ip_filters=IPS, port_filters=PORTS)
    vexlor.read_flows(sample_pcap, STRATEGY, 10, IPS, PORTS).flows()
    for job in list(jobs(sample_pcap, sample_archive, tmp_path).values())[2:]:  # split, l7, create, read_flows
        job()
    swallow(vexlor.create_archive, sample_pcap, str(tmp_path / "none" / "x.vexlor"))


def memory():
    """(heap handed out, byte for byte even where earlier tests left free heap (glibc), resident set size)."""
    mallinfo2 = getattr(ctypes.CDLL(None), "mallinfo2", None)
    if mallinfo2:  # ten size_t fields: hblkhd is the fifth, uordblks the eighth
        mallinfo2.restype = type("MallInfo2", (ctypes.Structure,), {"_fields_": [("f%d" % i, ctypes.c_size_t)
                                                                                  for i in range(10)]})
    heap = mallinfo2() if mallinfo2 else None
    return heap.f4 + heap.f7 if heap else 0, os.sysconf("SC_PAGESIZE") * int(open("/proc/self/statm").read().split()[1])


@pytest.mark.parametrize("step,rounds", [(query_step, 10000), (file_step, 200)], ids=["queries", "files"])
def test_memory_and_reference_counts_stay_flat(tmp_path, sample_pcap, sample_archive, archive, step, rounds):
    watched = [STRATEGY, PROTO, BAD_IP, IPS, PORTS, BAD_PORTS, PORT, IPS[0], sample_pcap, sample_archive, archive,
               vexlor.Archive, vexlor.Flow, vexlor.Packet]
    growth = []
    for window in range(5):  # the first is a warm-up
        gc.collect()
        start, counts = memory(), [sys.getrefcount(o) for o in watched]
        for _ in range(rounds // 4):
            step(tmp_path, sample_pcap, sample_archive, archive)
        gc.collect()
        assert [sys.getrefcount(o) for o in watched] == counts or window == 0
        growth.append([after - before for after, before in zip(memory(), start)])
    # A leak grows memory in every window; a pool that takes more now and then, in some.
    assert min(g[0] for g in growth[1:]) < 64 << 10 and min(g[1] for g in growth[1:]) < 256 << 10, growth
