"""create_archive + the Archive, Flow and Packet classes."""
import gc
import os
import struct
import weakref

import pytest

import vexlor
from conftest import SAMPLE, SAMPLE_FLOWS, ZERO_ADDR, arp, eth, ipv6, pad, raises_exactly, udp, write


@pytest.fixture
def archive(sample_archive):
    return vexlor.Archive.open(sample_archive)


def ids(flows):
    return [f.id for f in flows]


def archive_of(tmp_path, make_capture, records, **kw):
    path = str(tmp_path / "x.vexlor")
    vexlor.create_archive(make_capture(records, name="x.pcap", **kw), path)
    return vexlor.Archive.open(path)


def test_archive_attributes(archive):
    assert (archive.flow_count, len(archive), bool(archive), archive.link_type) == (5, 5, True, 1)
    assert repr(archive) == "Archive(flows=5, link_type=1)"
    assert ids(archive.flows()) == [1, 2, 3, 4, 5]


def test_empty_archive(tmp_path, make_capture):
    a = archive_of(tmp_path, make_capture, [])
    assert os.path.getsize(tmp_path / "x.vexlor") == 240
    assert (a.flow_count, len(a), bool(a), repr(a)) == (0, 0, False, "Archive(flows=0, link_type=1)")
    assert a.flows() == [] and a.get_flow(1) is None
    assert a.find_by_ip("::") == a.find_by_port(0) == a.find_by_protocol("tcp") == []


@pytest.mark.parametrize("flow", SAMPLE_FLOWS, ids=lambda f: str(f[0]))
def test_flow_attributes_and_packets(archive, flow):
    fid, proto, name, src, sport, dst, dport, indexes = flow
    f = archive.get_flow(fid)
    recs = [SAMPLE[i] for i in indexes]
    total = sum(len(r[2]) for r in recs)
    assert (f.id, f.proto, f.proto_name, f.src_addr, f.src_port, f.dst_addr, f.dst_port) == flow[:7]
    assert (f.packet_count, f.total_bytes) == (len(recs), total)
    assert f.start_ts == (recs[0][0] * 1000000 + recs[0][1]) / 1000000.0
    assert f.end_ts == (recs[-1][0] * 1000000 + recs[-1][1]) / 1000000.0
    assert repr(f) == "Flow(id=%d, %s %s:%d -> %s:%d, %d pkts, %d bytes)" % (
        fid, name, src, sport, dst, dport, len(recs), total)
    pkts = f.packets()
    assert [(p.ts_sec, p.ts_usec, p.data, p.length, p.orig_len) for p in pkts] == \
        [(r[0], r[1], r[2], len(r[2]), len(r[2])) for r in recs]
    for p, r in zip(pkts, recs):
        assert p.ts == r[1] / 1000000.0 + r[0]
        assert repr(p) == "Packet(ts=%d.%06d, length=%d, orig_len=%d)" % (r[0], r[1], len(r[2]), len(r[2]))


def test_literal_reprs(archive):
    assert repr(archive.get_flow(1)) == "Flow(id=1, TCP 10.0.0.1:51000 -> 10.0.0.2:80, 3 pkts, 175 bytes)"
    assert repr(archive.get_flow(4)) == ("Flow(id=4, TCP 2001:0db8:0000:0000:0000:0000:0000:0001:443 -> "
                                         "2001:0db8:0000:0000:0000:0000:0000:0002:50000, 1 pkts, 77 bytes)")
    pkts = archive.get_flow(1).packets()
    assert [repr(p) for p in pkts] == ["Packet(ts=1700000000.250000, length=59, orig_len=59)",
                                       "Packet(ts=1700000001.000000, length=58, orig_len=58)",
                                       "Packet(ts=1700000006.999999, length=58, orig_len=58)"]
    assert archive.get_flow(1).start_ts == 1700000000.25


def test_non_ip_flow_and_snapshot_packet(tmp_path, make_capture):
    frame = pad(eth(arp(), 0x0806))
    a = archive_of(tmp_path, make_capture, [(5, 0, frame)] * 4 + [(5, 0, frame, 1514)])
    f = a.flows()[0]
    assert repr(f) == "Flow(id=1, ? %s:0 -> %s:0, 5 pkts, 1754 bytes)" % (ZERO_ADDR, ZERO_ADDR)
    assert repr(f.packets()[-1]) == "Packet(ts=5.000000, length=60, orig_len=1514)"
    assert a.find_by_protocol("tcp") == [] and ids(a.find_by_ip("::")) == [1] and ids(a.find_by_port(0)) == [1]
    a = archive_of(tmp_path, make_capture, [(1, 0, frame)] * 5)
    assert repr(a.flows()[0]) == ("Flow(id=1, ? 0000:0000:0000:0000:0000:0000:0000:0000:0 -> "
                                  "0000:0000:0000:0000:0000:0000:0000:0000:0, 5 pkts, 300 bytes)")


def test_mapped_and_compatible_ipv6_addresses(tmp_path, make_capture):
    frame = eth(ipv6("::ffff:10.0.0.5", "::10.0.0.1", 17, udp(1, 2, b"x")), 0x86DD)
    a = archive_of(tmp_path, make_capture, [(1, 0, frame)], linktype=1)
    f = a.flows()[0]
    assert (f.src_addr, f.dst_addr, f.proto_name) == ("10.0.0.5", "0000:0000:0000:0000:0000:0000:0a00:0001", "UDP")
    assert ids(a.find_by_ip("10.0.0.5")) == ids(a.find_by_ip("::ffff:10.0.0.5")) == [1]
    assert ids(a.find_by_ip("::10.0.0.1")) == [1] and a.find_by_ip("10.0.0.1") == []


@pytest.mark.parametrize("text,expected", [
    ("10.0.0.1", [1, 2]), ("::ffff:10.0.0.1", [1, 2]), ("::FFFF:a00:1", [1, 2]), ("10.0.0.2", [1]),
    ("2001:db8::1", [4]), ("2001:0DB8:0:0:0:0:0:2", [4]), ("::", [5]), ("192.0.2.1", [3]),
    ("10.0.0.99", []), ("::1", []), ("0.0.0.0", []),
])
def test_find_by_ip(archive, text, expected):
    assert ids(archive.find_by_ip(text)) == expected


@pytest.mark.parametrize("text", ["1:2:3:4:5:6:7:8", "1:2:3:4:5:6:7::", "::2:3:4:5:6:7:8", "1:2:3:4:5:6:1.2.3.4",
                                  "fe80::", "255.255.255.255", "::ffff:0.0.0.0"])
def test_find_by_ip_other_valid_forms(archive, text):
    assert archive.find_by_ip(text) == []


@pytest.mark.parametrize("text", ["10.0.0.256", "010.0.0.1", " 10.0.0.1", "10.0.0.1 ", "fe80::1%eth0",
                                  "10.0.0.1/24", "[::1]", "", "abc", "1.2.3", "1.2.3.4.5", ":::1", "1::2::3",
                                  "1:2:3:4:5:6:7:8:9", "12345::", "::ffff:1.2.3", "1.2.3.4::", "+1.2.3.4"])
def test_find_by_ip_invalid(archive, text):
    with raises_exactly(ValueError, "invalid IP address syntax"):
        archive.find_by_ip(text)


@pytest.mark.parametrize("port,expected", [(80, [1]), (51000, [1]), (53, [2]), (5353, [2]), (0, [3, 5]),
                                           (443, [4]), (9, []), (65535, [])])
def test_find_by_port(archive, port, expected):
    assert ids(archive.find_by_port(port)) == expected


@pytest.mark.parametrize("text,expected", [("tcp", [1, 4]), ("TCP", [1, 4]), ("Udp", [2]), ("icmp", [3]),
                                           ("icmpv6", []), ("ICMPv6", [])])
def test_find_by_protocol(archive, text, expected):
    assert ids(archive.find_by_protocol(text)) == expected


@pytest.mark.parametrize("text,shown", [("tcp ", "tcp "), ("SCTP", "sctp"), ("", ""), ("İ", "i\u0307"),
                                        ("6", "6"), ("ΣΑ", "σα")])
def test_find_by_protocol_invalid(archive, text, shown):
    with raises_exactly(ValueError, "Unknown protocol: %s. Valid: tcp, udp, icmp, icmpv6" % shown):
        archive.find_by_protocol(text)


def test_get_flow(archive):
    assert archive.get_flow(0) is None and archive.get_flow(6) is None and archive.get_flow(2**64 - 1) is None
    assert archive.get_flow(5).id == 5


def test_objects_are_fresh_and_compare_by_identity(archive):
    a, b = archive.flows()[0], archive.get_flow(1)
    assert a is not b and a != b and a == a and hash(a) != hash(b)
    p, q = a.packets()[0], a.packets()[0]
    assert p is not q and p != q and p.data == q.data
    assert p.data is not p.data


@pytest.mark.parametrize("cls", ["Archive", "Flow", "Packet"])
def test_no_constructor_no_subclass(cls):
    klass = getattr(vexlor, cls)
    for args, kw in [((), {}), ((1,), {"x": 2})]:
        with raises_exactly(TypeError, "No constructor defined for %s" % cls):
            klass(*args, **kw)
    with pytest.raises(TypeError):
        type("X", (klass,), {})


def test_read_only_no_dict_no_weakref(archive):
    flow = archive.get_flow(1)
    pkt = flow.packets()[0]
    for obj, attr in [(archive, "flow_count"), (archive, "link_type"), (flow, "id"), (flow, "src_addr"),
                      (flow, "start_ts"), (pkt, "data"), (pkt, "ts"), (pkt, "length")]:
        with pytest.raises(AttributeError):
            setattr(obj, attr, 5)
        with pytest.raises(AttributeError):
            delattr(obj, attr)
    for obj in (archive, flow, pkt):
        with pytest.raises(AttributeError):
            obj.extra = 1
        assert not hasattr(obj, "__dict__")
        with pytest.raises(TypeError):
            weakref.ref(obj)


def test_no_iteration_or_item_access(archive):
    with pytest.raises(TypeError):
        for _ in archive:
            pass
    with pytest.raises(TypeError):
        archive[0]
    with pytest.raises(TypeError):
        1 in archive


def test_flows_and_packets_outlive_archive(sample_archive):
    archive = vexlor.Archive.open(sample_archive)
    flow = archive.get_flow(1)
    pkt = archive.get_flow(2).packets()[0]
    del archive
    gc.collect()
    os.unlink(sample_archive)
    assert [p.data for p in flow.packets()] == [SAMPLE[i][2] for i in (0, 1, 6)]
    assert pkt.data == SAMPLE[2][2]


@pytest.mark.parametrize("content,message", [
    (None, "Failed to open archive"),
    (b"", "File too small to be a valid archive"), (b"\0" * 100, "File too small to be a valid archive"),
    (b"\0" * 127, "File too small to be a valid archive"), (b"\0" * 128, "Invalid archive footer"),
    (b"VEXLOR02" + b"\0" * 300, "Invalid archive footer"),
])
def test_open_errors(tmp_path, content, message):
    path = str(tmp_path / "bad.vexlor")
    if content is not None:
        write(path, content)
    for call in (vexlor.Archive.open, vexlor.pipe_archive):
        with raises_exactly(OSError, message):
            call(path)


def patched(path, tmp_path, edits):
    """Copies the archive with (offset, struct format, value) edits; negative offsets count from the end."""
    data = bytearray(open(path, "rb").read())
    for off, fmt, value in edits:
        struct.pack_into(fmt, data, off % len(data), value)
    return write(tmp_path / "patched.vexlor", bytes(data))


def footer(path, field):
    data = open(path, "rb").read()
    return struct.unpack_from("<Q", data, len(data) - 128 + field)[0]


def test_damaged_archives(tmp_path, sample_archive):
    size = os.path.getsize(sample_archive)
    table = footer(sample_archive, 48)
    with raises_exactly(OSError, "Flow table extends beyond file"):
        vexlor.Archive.open(patched(sample_archive, tmp_path, [(-128 + 56, "<Q", size)]))
    # The offset list of flow 2 outside the file: only that flow fails.
    bad = vexlor.Archive.open(patched(sample_archive, tmp_path, [(table + 96 + 56, "<Q", size)]))
    assert len(bad.get_flow(1).packets()) == 3
    with raises_exactly(RuntimeError, "Offset list extends beyond file"):
        bad.get_flow(2).packets()
    with raises_exactly(RuntimeError, "Offset list extends beyond file"):
        vexlor.pipe_archive(str(tmp_path / "patched.vexlor"))


def test_records_past_the_end_are_skipped(tmp_path, sample_archive):
    table = footer(sample_archive, 48)
    data = open(sample_archive, "rb").read()
    list_off = struct.unpack_from("<Q", data, table + 96 + 56)[0]
    path = patched(sample_archive, tmp_path, [(list_off, "<Q", len(data) - 10)])
    a = vexlor.Archive.open(path)
    assert a.get_flow(2).packet_count == 1 and a.get_flow(2).packets() == []
    assert len(vexlor.pipe_archive(path)[1]) == 24


def test_queries_without_index_region_scan(tmp_path, sample_archive, archive):
    plain = vexlor.Archive.open(patched(sample_archive, tmp_path, [(-128 + 72, "<Q", 0)]))
    for q in ["10.0.0.1", "::", "2001:db8::2"]:
        assert ids(plain.find_by_ip(q)) == ids(archive.find_by_ip(q))
    for port in [0, 80, 53, 7]:
        assert ids(plain.find_by_port(port)) == ids(archive.find_by_port(port))
    assert ids(plain.find_by_protocol("tcp")) == [1, 4]


def test_host_strategy_stores_packet_twice(tmp_path, sample_pcap):
    path = str(tmp_path / "h.vexlor")
    vexlor.create_archive(sample_pcap, path, strategy="host", ip_filters=["10.0.0.2"])
    a = vexlor.Archive.open(path)
    # Both host flows start with packet 0, whose source is 10.0.0.1.
    assert [(f.src_addr, f.packet_count, f.total_bytes) for f in a.flows()] == [("10.0.0.1", 3, 175)] * 2
    assert [[p.data for p in f.packets()] for f in a.flows()] == [[SAMPLE[i][2] for i in (0, 1, 6)]] * 2


def test_out_of_order_times_and_session_cap(tmp_path, make_capture, sample_pcap):
    a = archive_of(tmp_path, make_capture, [(9, 5, SAMPLE[0][2]), (3, 7, SAMPLE[1][2])])
    f = a.get_flow(1)
    assert (f.start_ts, f.end_ts, f.packet_count) == (9.000005, 3.000007, 2)
    assert [p.ts_sec for p in f.packets()] == [9, 3]
    capped = vexlor.read_flows(sample_pcap, max_sessions=1)
    assert len(capped) == 5
