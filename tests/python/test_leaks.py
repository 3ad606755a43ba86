"""Repeated calls, failing ones included, must not grow memory or argument reference counts."""
import gc
import os
import sys

import vexlor

PAGE = os.sysconf("SC_PAGESIZE")


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def swallow(call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except (TypeError, ValueError, OSError, RuntimeError, OverflowError, UnicodeEncodeError):
        pass


def assert_flat(step, warmup, rounds, limit):
    for _ in range(warmup):
        step()
    gc.collect()
    before = rss()
    for _ in range(rounds):
        step()
    gc.collect()
    grown = rss() - before
    assert grown < limit, "RSS grew by %d bytes over %d rounds" % (grown, rounds)


def test_archive_queries_do_not_leak(sample_archive):
    archive = vexlor.Archive.open(sample_archive)
    missing = sample_archive + ".missing"

    def step():
        for f in archive.flows():
            f.src_addr, f.dst_addr, f.proto_name, f.start_ts, f.end_ts, repr(f)
            for p in f.packets():
                p.data, p.ts, repr(p)
        archive.find_by_ip("10.0.0.1"), archive.find_by_ip("::"), archive.find_by_port(80)
        archive.find_by_protocol("TCP"), archive.get_flow(1), archive.get_flow(0), repr(archive), len(archive)
        swallow(archive.find_by_ip, "10.0.0.256")
        swallow(archive.find_by_protocol, "sctp")
        swallow(archive.find_by_port, 70000)
        swallow(archive.get_flow, "1")
        swallow(archive.flows, 1)
        swallow(archive.find_by_ip, ip_str="1.2.3.4", extra=1)
        swallow(vexlor.Archive.open, missing)
        swallow(vexlor.Archive)
        vexlor.pipe_archive(sample_archive)
        vexlor.Archive.open(sample_archive).flows()
    assert_flat(step, 500, 30000, 2 << 20)


def test_failing_conversions_do_not_leak(tmp_path):
    out = str(tmp_path / "out")

    class Bad:
        def __index__(self):
            raise TypeError("nope")

    def step():
        swallow(vexlor.split)
        swallow(vexlor.split, 42, out)
        swallow(vexlor.split, "m.pcap", out, max_sessions=-1)
        swallow(vexlor.split, "m.pcap", out, max_sessions=Bad())
        swallow(vexlor.split, "m.pcap", out, ip_filters="x")
        swallow(vexlor.split, "m.pcap", out, ip_filters=["a", 1])
        swallow(vexlor.split, "m.pcap", out, port_filters=[1, 2, 70000])
        swallow(vexlor.split, "m.pcap", out, strategy="\ud800")
        swallow(vexlor.split, "m.pcap", out, output_type="csv")
        swallow(vexlor.create_archive, "a", "b", input_path="c")
        swallow(vexlor.read_flows, "m.pcap", strategy="nope")
        swallow(vexlor.read_flows, "m.pcap")
        swallow(vexlor.pipe_archive, "m.vexlor")
    assert_flat(step, 500, 50000, 2 << 20)


def test_file_producing_calls_do_not_leak(tmp_path, sample_pcap):
    out = str(tmp_path / "out")
    arc = str(tmp_path / "a.vexlor")
    text = str(tmp_path / "cap.txt")
    with open(text, "w") as f:
        f.write("not a capture")

    def step():
        vexlor.split(sample_pcap, out, "host", 3, 0, ["10.0.0.1", "bogus"], [80, 53], "l7")
        vexlor.split(sample_pcap, out)
        vexlor.create_archive(sample_pcap, arc, port_filters=[80])
        a = vexlor.read_flows(sample_pcap, "flow")
        a.flows()[0].packets()
        swallow(vexlor.split, text, out)
        swallow(vexlor.create_archive, sample_pcap, out + "/none/x.vexlor")
    assert_flat(step, 30, 400, 1 << 20)


def test_argument_reference_counts_are_stable(tmp_path, sample_pcap, sample_archive):
    archive = vexlor.Archive.open(sample_archive)
    out = str(tmp_path / "out")
    strategy = "".join(["ses", "sion"])
    ips = ["".join(["10.0.0.", "1"])]
    ports = [int("8" + "0")]
    bad_ports = [int("7" + "0000")]
    bad_ip = "".join(["10.0.0.", "999"])
    proto = "".join(["T", "CP"])
    port_obj = int("5" + "3")
    watched = [strategy, ips, ports, bad_ports, bad_ip, proto, port_obj, sample_pcap, out, ips[0],
               vexlor.Archive, vexlor.Flow, vexlor.Packet, archive]

    def step():
        vexlor.split(sample_pcap, out, strategy, ip_filters=ips, port_filters=ports)
        swallow(vexlor.split, sample_pcap, out, strategy, port_filters=bad_ports)
        swallow(vexlor.split, sample_pcap, out, strategy=ips)
        archive.find_by_protocol(proto)
        archive.find_by_port(port_obj)
        archive.find_by_ip(ips[0])
        swallow(archive.find_by_ip, bad_ip)
        swallow(archive.find_by_protocol, bad_ip)
        for f in archive.flows():
            f.packets()
        vexlor.read_flows(sample_pcap, strategy, 10, ips, ports).flows()

    step()
    gc.collect()
    before = [sys.getrefcount(o) for o in watched]
    for _ in range(200):
        step()
    gc.collect()
    assert [sys.getrefcount(o) for o in watched] == before
