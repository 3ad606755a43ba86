"""Several interpreter threads using the module at once get the same results as one thread doing the
same calls one after another, and Flow objects keep working in other threads once their Archive is gone."""
import gc
import hashlib
import os
import pathlib
import threading
from concurrent.futures import ThreadPoolExecutor

import pytest

import vexlor
from conftest import SAMPLE, TEMP_ARCHIVE, eth, ipv6, listing, pcap_bytes, tcp4, udp, write

THREADS = 8


@pytest.fixture(autouse=True)
def no_stale_temporary_archive():
    """read_flows' one path per process must be free: an Archive of another test may still hold it."""
    gc.collect()
    if os.path.exists(TEMP_ARCHIVE):
        os.unlink(TEMP_ARCHIVE)


def digest(data):
    return hashlib.sha256(data).hexdigest()


def flows_summary(archive):
    return [(repr(f), f.start_ts, f.end_ts, [(p.ts_sec, p.ts_usec, p.orig_len, digest(p.data)) for p in f.packets()])
            for f in archive.flows()]


def ids(flows):
    return [f.id for f in flows]


def queries_summary(archive):
    return ([ids(archive.find_by_ip(a)) for a in ("10.0.0.1", "192.0.2.1", "2001:db8::1", "::")]
            + [ids(archive.find_by_port(p)) for p in (0, 53, 80, 1030)]
            + [ids(archive.find_by_protocol(p)) for p in ("tcp", "udp", "icmp", "icmpv6")]
            + [repr(archive.get_flow(i)) for i in range(0, 12)] + [flows_summary(archive)])


@pytest.fixture
def inputs(tmp_path):
    recs = []
    for i in range(600):
        f = i % 60
        frame = tcp4("10.0.%d.1" % f, "192.0.2.1", 1024 + f, 80, bytes([f]) * (40 + f)) if f % 4 else \
            eth(ipv6("2001:db8::%x" % (f + 1), "2001:db8::1", 17, udp(53, 1024 + f, b"x" * f)), 0x86DD)
        recs.append((1700000000 + i, i, frame))
    big = write(tmp_path / "many.pcap", pcap_bytes(recs))
    small = write(tmp_path / "sample.pcap", pcap_bytes(SAMPLE))
    archive = str(tmp_path / "shared.vexlor")
    vexlor.create_archive(big, archive)
    return big, small, archive


def jobs(inputs, workdir):
    """(name, callable) pairs; each callable returns a summary that does not depend on where it wrote."""
    big, small, archive_path = inputs
    workdir.mkdir()
    shared = vexlor.Archive.open(archive_path)  # one object queried by every thread at once
    counter = iter(range(10 ** 6))

    def split(src, strategy, output_type):
        out = workdir / ("split%d" % next(counter))
        vexlor.split(src, str(out), strategy, output_type=output_type, max_sessions=7)
        return {n: digest((out / n).read_bytes()) for n in listing(out)}

    def create(src, strategy):
        out = workdir / ("a%d.vexlor" % next(counter))
        vexlor.create_archive(src, str(out), strategy)
        return digest(out.read_bytes())

    def read_flows(src, strategy):
        return flows_summary(vexlor.read_flows(src, strategy))

    def pipe():
        return [digest(image) for image in vexlor.pipe_archive(archive_path)]

    out = []
    for src in (big, small):
        for strategy, output_type in (("session", "pcap"), ("host", "l7"), ("flow", "pcap")):
            out.append(("split %s %s %s" % (os.path.basename(src), strategy, output_type),
                        lambda s=src, st=strategy, t=output_type: split(s, st, t)))
            out.append(("create %s %s" % (os.path.basename(src), strategy),
                        lambda s=src, st=strategy: create(s, st)))
            out.append(("read_flows %s %s" % (os.path.basename(src), strategy),
                        lambda s=src, st=strategy: read_flows(s, st)))
    out += [("queries", lambda: queries_summary(shared)), ("pipe", pipe)] * 3
    return out


def test_threads_get_the_results_of_one_thread(inputs, tmp_path):
    alone = {}
    for name, job in jobs(inputs, tmp_path / "alone"):
        alone[name] = job()
    assert not os.path.exists(TEMP_ARCHIVE)

    work = jobs(inputs, tmp_path / "together") * 3
    start = threading.Barrier(THREADS)

    def run(item):
        name, job = item
        try:
            start.wait(timeout=60)
        except threading.BrokenBarrierError:
            pass  # the last few jobs have fewer partners
        return name, job()

    with ThreadPoolExecutor(THREADS) as pool:
        together = list(pool.map(run, work))
    assert len(together) == len(work)
    for name, result in together:
        assert result == alone[name], name
    gc.collect()
    assert not os.path.exists(TEMP_ARCHIVE)  # every read_flows archive is gone, and its file with it


@pytest.mark.parametrize("source", ["open", "read_flows"])
def test_flows_outlive_their_archive_in_other_threads(inputs, source):
    big, _, archive_path = inputs
    archive = vexlor.Archive.open(archive_path) if source == "open" else vexlor.read_flows(big)
    flows = archive.flows() + archive.find_by_protocol("udp")
    expected = [(repr(f), [(p.ts_sec, p.ts_usec, p.orig_len, p.data) for p in f.packets()]) for f in flows]
    del archive
    gc.collect()
    assert not os.path.exists(TEMP_ARCHIVE)  # read_flows' file went with its Archive
    pathlib.Path(archive_path).rename(archive_path + ".moved")  # the mapping does not need the name

    def read_all(start):
        """Every flow, beginning at a different one in each thread; results in list order."""
        got = {}
        for i in list(range(start, len(flows))) + list(range(start)):
            f = flows[i]
            got[i] = (repr(f), [(p.ts_sec, p.ts_usec, p.orig_len, p.data) for p in f.packets()])
        return [got[i] for i in range(len(flows))]

    with ThreadPoolExecutor(THREADS) as pool:
        results = list(pool.map(read_all, [i * 7 % len(flows) for i in range(THREADS * 2)]))
    assert all(r == expected for r in results)
    del flows
    gc.collect()
