"""Shared fixtures: a tiny capture builder (frames, classic pcap writer/reader) and sample inputs."""
import contextlib
import ipaddress
import os
import pathlib
import struct

import pytest

REPO_ROOT = pathlib.Path(__file__).resolve().parents[2]
CAPTURES = pathlib.Path(os.environ.get("VEXLOR_CAPTURES", REPO_ROOT.parent / "shared" / "captures"))
TEMP_ARCHIVE = "/tmp/vexlor_py_%d.vexlor" % os.getpid()
ZERO_ADDR = ":".join(["0000"] * 8)


# ---- frames ---------------------------------------------------------------

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


ICMP_ECHO = struct.pack(">BBHHH", 8, 0, 0, 1, 1) + b"ping"
ARP = struct.pack(">HHBBH", 1, 0x0800, 6, 4, 1) + mac(1) + bytes([10, 0, 0, 1, 0, 0, 0, 0, 0, 0, 10, 0, 0, 2])


# ---- classic pcap -----------------------------------------------------------

def pcap_bytes(records, linktype=1, nano=False, big=False):
    """records: (ts_sec, ts_frac, data[, orig_len]) tuples."""
    e = ">" if big else "<"
    out = [struct.pack(e + "IHHiIII", 0xA1B23C4D if nano else 0xA1B2C3D4, 2, 4, 0, 0, 65535, linktype)]
    for rec in records:
        sec, frac, data = rec[:3]
        out.append(struct.pack(e + "IIII", sec, frac, len(data), orig_len(rec)) + data)
    return b"".join(out)


def orig_len(rec):
    return rec[3] if len(rec) > 3 else len(rec[2])


def write(path, data):
    pathlib.Path(path).parent.mkdir(parents=True, exist_ok=True)
    pathlib.Path(path).write_bytes(data)
    return str(path)


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
def remove_temporary_archive_leftovers():
    """A read_flows build that fails after creating its .tmp file leaves it behind by design; tidy /tmp."""
    yield
    if os.path.exists(TEMP_ARCHIVE + ".tmp"):
        os.unlink(TEMP_ARCHIVE + ".tmp")


@pytest.fixture
def make_capture(tmp_path):
    def make(records, name="cap.pcap", **kw):
        return write(tmp_path / name, pcap_bytes(records, **kw))
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


def listing(directory):
    return sorted(p.name for p in pathlib.Path(directory).iterdir())


@contextlib.contextmanager
def raises_exactly(exc, message):
    """The exception is exactly `exc`, with `message` as its only argument (so OSError.errno is None)."""
    with pytest.raises(exc) as info:
        yield info
    assert type(info.value) is exc and info.value.args == (message,), repr(info.value)
