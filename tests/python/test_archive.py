"""What the functions make (split files, archives, read_flows, pipe_archive images); Archive, Flow and Packet."""
import os, subprocess, sys

import pytest

import vexlor
from conftest import (SAMPLE, SAMPLE_SESSION_FILES, TEMP_ARCHIVE, ZERO_ADDR, Index, MyStr, capture,
                      contents, frame, orig_len, read_pcap, records, write)


def ids(flows):
    return [f.id for f in flows]


def test_archive_flow_and_packet_attributes_and_reprs(archive):
    assert (archive.flow_count, len(archive), bool(archive), archive.link_type) == (5, 5, True, 1)
    assert repr(archive) == "Archive(flows=5, link_type=1)" and ids(archive.flows()) == [1, 2, 3, 4, 5]
    v6 = "2001:0db8:0000:0000:0000:0000:0000:000"
    assert [repr(f) for f in archive.flows()] == [
        "Flow(id=1, TCP 10.0.0.1:51000 -> 10.0.0.2:80, 3 pkts, 175 bytes)",
        "Flow(id=2, UDP 10.0.0.3:5353 -> 10.0.0.1:53, 1 pkts, 44 bytes)",
        "Flow(id=3, ICMP 192.0.2.9:0 -> 192.0.2.1:0, 1 pkts, 46 bytes)",
        "Flow(id=4, TCP %s1:443 -> %s2:50000, 1 pkts, 77 bytes)" % (v6, v6),
        "Flow(id=5, ? %s:0 -> %s:0, 1 pkts, 1514 bytes)" % (ZERO_ADDR, ZERO_ADDR)]
    assert [repr(p) for f in archive.flows()[::4] for p in f.packets()] == [
        "Packet(ts=1700000000.250000, length=59, orig_len=59)", "Packet(ts=1700000001.000000, length=58, orig_len=58)",
        "Packet(ts=1700000006.999999, length=58, orig_len=58)",
        "Packet(ts=1700000005.000040, length=60, orig_len=1514)"]
    # The attributes say what the reprs say; packets are the sample's records (the ARP frame captured short).
    for f, indexes in zip(archive.flows(), [[0, 1, 6], [2], [3], [4], [5]]):
        recs = [SAMPLE[i] for i in indexes]
        assert repr(f) == "Flow(id=%d, %s %s:%d -> %s:%d, %d pkts, %d bytes)" % (
            f.id, f.proto_name, f.src_addr, f.src_port, f.dst_addr, f.dst_port, f.packet_count, f.total_bytes)
        assert (f.proto, f.packet_count, f.total_bytes) == ({"TCP": 6, "UDP": 17, "ICMP": 1, "?": 0}[f.proto_name],
                                                            len(recs), sum(orig_len(r) for r in recs))
        assert (f.start_ts, f.end_ts) == (recs[0][0] + recs[0][1] / 1e6, recs[-1][0] + recs[-1][1] / 1e6)
        assert [(p.ts_sec, p.ts_usec, p.data, p.length, p.orig_len, p.ts) for p in f.packets()] == \
            [(r[0], r[1], r[2], len(r[2]), orig_len(r), r[1] / 1e6 + r[0]) for r in recs]


# The core answers the queries (C++ tests); here, what the binding adds: parsing the address text, the protocol
# names in any case, keywords and __index__, ids. Errors are in test_binding.py.
@pytest.mark.parametrize("query,expected", [
    ("a.find_by_ip('10.0.0.1')", [1, 2]), ("a.find_by_ip(ip_str='::FFFF:a00:1')", [1, 2]),
    ("a.find_by_ip('2001:0DB8:0:0:0:0:0:2')", [4]), ("a.find_by_ip('::')", [5]), ("a.find_by_port(0)", [3, 5]),
    ("a.find_by_port(port=Index(53))", [2]), ("a.find_by_port(80)", [1]), ("a.find_by_protocol('TCP')", [1, 4]),
    ("a.find_by_protocol(proto_str='Udp')", [2]), ("a.find_by_protocol(MyStr('icmp'))", [3]),
    ("a.find_by_protocol('ICMPv6')", []), ("[a.get_flow(i) for i in (0, 6, 2**64 - 1)]", [None] * 3),
    ("[a.get_flow(5), a.get_flow(flow_id=True), a.get_flow(Index(53))]", [5, 1, None])])
def test_queries(archive, query, expected):
    assert [f and f.id for f in eval(query, dict(a=archive, Index=Index, MyStr=MyStr))] == expected


def test_read_flows(tmp_path, monkeypatch, sample_pcap, archive, make_capture):
    monkeypatch.setenv("TMPDIR", str(tmp_path))  # the temporary archive is always in /tmp
    write(TEMP_ARCHIVE, b"garbage")  # a stale file is replaced
    old = vexlor.read_flows(sample_pcap)
    assert [(repr(f), records(f.packets())) for f in old.flows()] == \
        [(repr(f), records(f.packets())) for f in archive.flows()]
    assert len(vexlor.Archive.open(TEMP_ARCHIVE)) == 5 and os.path.isfile(TEMP_ARCHIVE)  # that one deletes nothing
    # Another capture replaces the file of the old one, and the old one deletes it: the young one keeps reading its
    # mapping. Its addresses: IPv4-mapped IPv6 is IPv4, IPv4-compatible IPv6 is not.
    mapped = [(1, 0, frame("::ffff:10.0.0.5", "::10.0.0.1", 17, 1, 2))]
    young = vexlor.read_flows(make_capture(mapped, name="mapped.pcap"))
    del old
    assert not os.path.exists(TEMP_ARCHIVE) and records(young.get_flow(1).packets()) == records(mapped)
    assert (young.get_flow(1).src_addr, young.get_flow(1).dst_addr) == ("10.0.0.5", ZERO_ADDR[:-9] + "0a00:0001")
    assert ids(young.find_by_ip("10.0.0.5")) == ids(young.find_by_ip("::ffff:10.0.0.5")) == [1]
    assert ids(young.find_by_ip("::10.0.0.1")) == [1] and young.find_by_ip("10.0.0.1") == []
    hosts = vexlor.read_flows(sample_pcap, "host", 5, ["10.0.0.3"], [53]).flows()
    assert [f.src_addr for f in hosts] == ["10.0.0.3"] * 2
    assert [f.packet_count for f in vexlor.read_flows(input_path=sample_pcap, strategy="NOSPLIT", port_filters=(
        80, 443)).flows()] == [4]
    empty = vexlor.read_flows(make_capture([], name="empty.pcap"))
    assert (empty.flow_count, len(empty), bool(empty), repr(empty)) == (0, 0, False, "Archive(flows=0, link_type=1)")
    assert empty.flows() == [] and empty.get_flow(1) is None and os.path.getsize(TEMP_ARCHIVE) == 240
    assert empty.find_by_ip("::") == empty.find_by_port(0) == empty.find_by_protocol("tcp") == vexlor.pipe_archive(
        TEMP_ARCHIVE) == []
    code = "import vexlor\ntry:\n    print(len(vexlor.read_flows('-')))\nexcept RuntimeError as e:\n    print(e)"
    assert [subprocess.run([sys.executable, "-c", code], input=i, capture_output=True).stdout for i in (
        capture(SAMPLE), b"")] == [b"5\n", b"Unsupported file format (unknown magic number)\n"]


@pytest.mark.parametrize("buffer_bytes", [0, 10000])
def test_split_files_and_pipe_archive_images(tmp_path, sample_pcap, sample_archive, make_capture, buffer_bytes):
    """Session files and l7 payloads byte for byte; the images are the session files."""
    assert vexlor.split(sample_pcap, str(tmp_path / "out"), buffer_bytes=buffer_bytes) is None
    assert contents(tmp_path / "out") == {n: capture([SAMPLE[i] for i in v]) for n, v in SAMPLE_SESSION_FILES.items()}
    vexlor.split(sample_pcap, str(tmp_path / "l7"), "nosplit", buffer_bytes=buffer_bytes, output_type="L7")
    assert contents(tmp_path / "l7") == {"cap_all.l7": b"GET /HTTPq?tlsmore"}
    images = vexlor.pipe_archive(archive_path=sample_archive)
    flows = vexlor.Archive.open(sample_archive).flows()
    assert type(images) is list and [type(i) for i in images] == [bytes] * len(flows) == [bytes] * 5
    assert [read_pcap(image) for image in images] == [(1, records(f.packets())) for f in flows]
    assert set(contents(tmp_path / "out").values()) == set(images)
    # The link type is the input's, times in microseconds, little-endian.
    raw = frame("10.0.0.1", "10.0.0.2", 17, 1, 2, b"raw", raw=True)
    vexlor.create_archive(make_capture([(1, 2000, raw)], name="r", linktype=101, nano=True, big=True), sample_archive)
    assert vexlor.Archive.open(sample_archive).link_type == 101
    assert vexlor.pipe_archive(sample_archive) == [capture([(1, 2, raw)], linktype=101)]
