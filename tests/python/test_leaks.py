"""Repeated calls, failing ones included, must not grow memory or argument reference counts."""
import gc
import os
import sys

import vexlor


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGESIZE")


def swallow(call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except (TypeError, ValueError, OSError, RuntimeError, OverflowError, UnicodeEncodeError):
        pass


def assert_flat(step, warmup, rounds, limit):
    for i in range(warmup + rounds):
        if i == warmup:
            gc.collect()
            before = rss()
        step()
    gc.collect()
    assert rss() - before < limit, "RSS grew by %d bytes over %d rounds" % (rss() - before, rounds)


def test_queries_and_failing_calls_do_not_leak(tmp_path, sample_archive, archive):
    out = str(tmp_path / "out")

    class Bad:
        def __index__(self):
            raise TypeError("nope")

    def step():
        for f in archive.flows():
            f.src_addr, f.dst_addr, f.proto_name, f.start_ts, f.end_ts, repr(f)
            for p in f.packets():
                p.data, p.ts, repr(p)
        archive.find_by_ip("10.0.0.1"), archive.find_by_ip("::"), archive.find_by_port(80)
        archive.find_by_protocol("TCP"), archive.get_flow(1), archive.get_flow(0), repr(archive), len(archive)
        vexlor.pipe_archive(sample_archive)
        vexlor.Archive.open(sample_archive).flows()
        for call, arg in [(archive.find_by_ip, "10.0.0.256"), (archive.find_by_protocol, "sctp"),
                          (archive.find_by_port, 70000), (archive.get_flow, "1"), (archive.flows, 1),
                          (vexlor.Archive.open, sample_archive + ".missing"), (vexlor.pipe_archive, "m.vexlor")]:
            swallow(call, arg)
        for call in (vexlor.split, vexlor.Archive):
            swallow(call)
        swallow(archive.find_by_ip, ip_str="1.2.3.4", extra=1)
        swallow(vexlor.split, 42, out)
        for kwargs in [dict(max_sessions=-1), dict(max_sessions=Bad()), dict(ip_filters="x"),
                       dict(ip_filters=["a", 1]), dict(port_filters=[1, 2, 70000]), dict(strategy="\ud800"),
                       dict(output_type="csv")]:
            swallow(vexlor.split, "m.pcap", out, **kwargs)
        swallow(vexlor.create_archive, "a", "b", input_path="c")
        swallow(vexlor.read_flows, "m.pcap", strategy="nope")
        swallow(vexlor.read_flows, "m.pcap")
    assert_flat(step, 500, 50000, 2 << 20)


def test_file_producing_calls_do_not_leak(tmp_path, sample_pcap):
    out = str(tmp_path / "out")
    text = str(tmp_path / "cap.txt")
    with open(text, "w") as f:
        f.write("not a capture")

    def step():
        vexlor.split(sample_pcap, out, "host", 3, 0, ["10.0.0.1", "bogus"], [80, 53], "l7")
        vexlor.split(sample_pcap, out)
        vexlor.create_archive(sample_pcap, str(tmp_path / "a.vexlor"), port_filters=[80])
        vexlor.read_flows(sample_pcap, "flow").flows()[0].packets()
        swallow(vexlor.split, text, out)
        swallow(vexlor.create_archive, sample_pcap, out + "/none/x.vexlor")
    assert_flat(step, 30, 400, 1 << 20)


def test_argument_reference_counts_are_stable(tmp_path, sample_pcap, archive):
    out = str(tmp_path / "out")
    # Fresh objects, so that their counts are ours alone.
    strategy, proto, bad_ip = "".join(["ses", "sion"]), "".join(["T", "CP"]), "".join(["10.0.0.", "999"])
    ips, ports, bad_ports, port_obj = ["".join(["10.0.0.", "1"])], [int("8" + "0")], [int("7" + "0000")], int("5" + "3")
    watched = [strategy, ips, ports, bad_ports, bad_ip, proto, port_obj, sample_pcap, out, ips[0],
               vexlor.Archive, vexlor.Flow, vexlor.Packet, archive]

    def step():
        vexlor.split(sample_pcap, out, strategy, ip_filters=ips, port_filters=ports)
        swallow(vexlor.split, sample_pcap, out, strategy, port_filters=bad_ports)
        swallow(vexlor.split, sample_pcap, out, strategy=ips)
        archive.find_by_protocol(proto), archive.find_by_port(port_obj), archive.find_by_ip(ips[0])
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
