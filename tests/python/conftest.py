"""Shared builders (frames, classic pcap and pcapng writers, a strict pcap reader), sample inputs and fixtures."""
import contextlib
import csv
import gc
import ipaddress
import os
import pathlib
import struct

import pytest

REPO_ROOT = pathlib.Path(__file__).resolve().parents[2]
CAPTURES = pathlib.Path(os.environ.get("VEXLOR_CAPTURES", REPO_ROOT.parent / "shared" / "captures"))
MANIFEST = CAPTURES / "MANIFEST.tsv"
CORPUS = list(csv.DictReader(MANIFEST.read_text().splitlines(), delimiter="\t")) if MANIFEST.is_file() else []
TEMP_ARCHIVE = "/tmp/vexlor_py_%d.vexlor" % os.getpid()
ZERO_ADDR = ":".join(["0000"] * 8)


def mac(n):
    return bytes([0x02, 0, 0, 0, 0, n]) if n != 0xFF else b"\xff" * 6


def eth(payload, ethertype=0x0800, src=1, dst=2):
    return mac(dst) + mac(src) + struct.pack(">H", ethertype) + payload


def ipv4(src, dst, proto, payload):
    return struct.pack(">BBHHHBBH4s4s", 0x45, 0, (20 + len(payload)) & 0xFFFF, 1, 0, 64, proto, 0,
                       ipaddress.IPv4Address(src).packed, ipaddress.IPv4Address(dst).packed) + payload


def ipv6(src, dst, nh, payload):
    return (struct.pack(">IHBB", 6 << 28, len(payload), nh, 64) + ipaddress.IPv6Address(src).packed
            + ipaddress.IPv6Address(dst).packed + payload)


def tcp(sport, dport, payload=b""):
    return struct.pack(">HHIIBBHHH", sport, dport, 1, 0, 5 << 4, 0x18, 65535, 0, 0) + payload


def udp(sport, dport, payload=b""):
    return struct.pack(">HHHH", sport, dport, 8 + len(payload), 0) + payload


def tcp4(src, dst, sport, dport, payload=b""):
    return eth(ipv4(src, dst, 6, tcp(sport, dport, payload)))


def udp6(src, dst, sport, dport, payload=b""):
    return eth(ipv6(src, dst, 17, udp(sport, dport, payload)), 0x86DD)


ICMP_ECHO = struct.pack(">BBHHH", 8, 0, 0, 1, 1) + b"ping"
ARP = struct.pack(">HHBBH", 1, 0x0800, 6, 4, 1) + mac(1) + bytes([10, 0, 0, 1, 0, 0, 0, 0, 0, 0, 10, 0, 0, 2])


def pcap_bytes(records, linktype=1, nano=False, big=False):
    """Classic pcap; records: (ts_sec, ts_frac, data[, orig_len]) tuples."""
    e = ">" if big else "<"
    out = [struct.pack(e + "IHHiIII", 0xA1B23C4D if nano else 0xA1B2C3D4, 2, 4, 0, 0, 65535, linktype)]
    for rec in records:
        sec, frac, data = rec[:3]
        out.append(struct.pack(e + "IIII", sec, frac, len(data), orig_len(rec)) + data)
    return b"".join(out)


def orig_len(rec):
    return rec[3] if len(rec) > 3 else len(rec[2])


def pcapng_block(e, kind, body):
    body += bytes(-len(body) % 4)
    return struct.pack(e + "II", kind, 12 + len(body)) + body + struct.pack(e + "I", 12 + len(body))


def pcapng_bytes(records, linktype=1, nano=False, big=False):
    """pcapng: a section header, one interface (nanosecond, or the default microsecond unit), an EPB per record."""
    e = ">" if big else "<"
    out = [pcapng_block(e, 0x0A0D0D0A, struct.pack(e + "IHHq", 0x1A2B3C4D, 1, 0, -1)),
           pcapng_block(e, 1, struct.pack(e + "HHI", linktype, 0, 65535) + (struct.pack(
               e + "HHB3xHH", 9, 1, 9, 0, 0) if nano else b""))]
    for rec in records:
        ticks = rec[0] * (10**9 if nano else 10**6) + rec[1]
        out.append(pcapng_block(e, 6, struct.pack(e + "IIIII", 0, ticks >> 32, ticks & 0xFFFFFFFF, len(rec[2]),
                                                  orig_len(rec)) + rec[2]))
    return b"".join(out)


def sessions_bytes(flows, per_flow, size, ipv6_every=0):
    """A classic pcap of `flows` sessions of `per_flow` frames of `size` payload bytes each, interleaved; every
    ipv6_every-th flow is UDP over IPv6, the others TCP over IPv4."""
    recs = []
    for i in range(per_flow * flows):
        f = i % flows
        body = bytes([f & 0xFF]) * size
        recs.append((1700000000 + i // 100, i, udp6("2001:db8::%x" % (f + 1), "2001:db8::ffff", 1024 + f, 53, body)
                     if ipv6_every and f % ipv6_every == 0 else
                     tcp4("10.%d.%d.1" % (f // 250, f % 250), "192.0.2.1", 1024 + f, 80, body)))
    return pcap_bytes(recs)


def read_pcap(data):
    """(link type, [(ts_sec, ts_usec, orig_len, frame)]) of a complete pcap as vexlor writes it (little-endian,
    microseconds); anything cut short fails."""
    assert data[:8] == bytes.fromhex("d4c3b2a102000400") and len(data) >= 24, data[:24]
    out, pos = [], 24
    while pos < len(data):
        assert pos + 16 <= len(data), "partial record header at %d" % pos
        sec, usec, incl, orig = struct.unpack_from("<IIII", data, pos)
        assert pos + 16 + incl <= len(data), "record at %d cut short" % pos
        out.append((sec, usec, orig, data[pos + 16:pos + 16 + incl]))
        pos += 16 + incl
    return struct.unpack_from("<I", data, 20)[0], out


def write(path, data):
    pathlib.Path(path).parent.mkdir(parents=True, exist_ok=True)
    pathlib.Path(path).write_bytes(data)
    return str(path)


def listing(directory):
    return sorted(p.name for p in pathlib.Path(directory).iterdir())


def contents(path):
    """A directory's files and their bytes, or a file's bytes."""
    path = pathlib.Path(path)
    return {n: (path / n).read_bytes() for n in listing(path)} if path.is_dir() else path.read_bytes()


def finals(directory):
    """The final-named files a split left in `directory` (hidden temporaries aside), if it exists."""
    names = listing(directory) if os.path.isdir(directory) else []
    return [n for n in names if not (n.startswith(".") and n.endswith(".tmp"))]


def records(packets):
    """Packet objects, or the records given to the capture builders, as (ts_sec, ts_usec, orig_len, frame)."""
    return [(p.ts_sec, p.ts_usec, p.orig_len, p.data) if not isinstance(p, tuple) else (p[0], p[1], orig_len(p), p[2])
            for p in packets]


class Index:
    """An integer only through __index__."""
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class MyStr(str):
    def lower(self):  # never consulted: the binding lower-cases with str.lower itself
        return "bogus"


# The sample capture: five sessions, ids in order of first appearance; the
# ARP frame was captured short of its original length.
SAMPLE = [
    (1700000000, 250000, tcp4("10.0.0.1", "10.0.0.2", 51000, 80, b"GET /")),
    (1700000001, 0, tcp4("10.0.0.2", "10.0.0.1", 80, 51000, b"HTTP")),
    (1700000002, 10, eth(ipv4("10.0.0.3", "10.0.0.1", 17, udp(5353, 53, b"q?")))),
    (1700000003, 20, eth(ipv4("192.0.2.9", "192.0.2.1", 1, ICMP_ECHO))),
    (1700000004, 30, eth(ipv6("2001:db8::1", "2001:db8::2", 6, tcp(443, 50000, b"tls")), 0x86DD)),
    (1700000005, 40, eth(ARP + bytes(18), 0x0806, dst=0xFF), 1514),
    (1700000006, 999999, tcp4("10.0.0.1", "10.0.0.2", 51000, 80, b"more")),
]
# (id, proto, proto_name, src, sport, dst, dport, record indexes in SAMPLE)
SAMPLE_FLOWS = [
    (1, 6, "TCP", "10.0.0.1", 51000, "10.0.0.2", 80, [0, 1, 6]),
    (2, 17, "UDP", "10.0.0.3", 5353, "10.0.0.1", 53, [2]),
    (3, 1, "ICMP", "192.0.2.9", 0, "192.0.2.1", 0, [3]),
    (4, 6, "TCP", "2001:0db8:0000:0000:0000:0000:0000:0001", 443,
     "2001:0db8:0000:0000:0000:0000:0000:0002", 50000, [4]),
    (5, 0, "?", ZERO_ADDR, 0, ZERO_ADDR, 0, [5]),
]
SAMPLE_SESSION_FILES = {
    "cap_6_10_0_0_1_10_0_0_2_51000_80.pcap": [0, 1, 6],
    "cap_17_10_0_0_1_10_0_0_3_53_5353.pcap": [2],
    "cap_1_192_0_2_1_192_0_2_9_0_0.pcap": [3],
    "cap_6_2001_db8__1_2001_db8__2_443_50000.pcap": [4],
    "cap_no_session.pcap": [5],
}


@pytest.fixture(autouse=True)
def free_temporary_archive():
    """read_flows' one path per process: an Archive left to the collector would delete a later test's file, and a
    build that fails after creating the .tmp leaves that behind by design. (A collection costs tens of ms.)"""
    yield
    if os.path.exists(TEMP_ARCHIVE) or os.path.exists(TEMP_ARCHIVE + ".tmp"):
        gc.collect()
        for path in (TEMP_ARCHIVE, TEMP_ARCHIVE + ".tmp"):
            if os.path.exists(path):
                os.unlink(path)


@pytest.fixture
def corpus_row(request):
    """A row of the shared corpus's manifest, for tests parametrized (indirectly) over CORPUS or [None]."""
    if request.param is None:
        pytest.skip("no capture corpus at %s (set VEXLOR_CAPTURES to its directory)" % CAPTURES)
    return request.param


@pytest.fixture
def make_capture(tmp_path):
    def make(recs, name="cap.pcap", **kw):
        return write(tmp_path / name, pcap_bytes(recs, **kw))
    return make


@pytest.fixture
def sample_pcap(make_capture):
    return make_capture(SAMPLE)


@pytest.fixture
def sample_archive(tmp_path, sample_pcap):
    import vexlor
    path = str(tmp_path / "sample.vexlor")
    vexlor.create_archive(sample_pcap, path)
    return path


@pytest.fixture
def archive(sample_archive):
    import vexlor
    return vexlor.Archive.open(sample_archive)


@contextlib.contextmanager
def raises_exactly(exc, message):
    """The exception is exactly `exc`, with `message` as its only argument (so OSError.errno is None)."""
    with pytest.raises(exc) as info:
        yield info
    assert type(info.value) is exc and info.value.args == (message,), repr(info.value)
