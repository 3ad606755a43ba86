"""Builders (one per kind of input), a strict pcap reader, the sample capture, the tool and fixtures."""
import contextlib, csv, gc, gzip, ipaddress, lzma, os, pathlib, shutil, struct, subprocess, sys

import pytest

import vexlor

REPO_ROOT = pathlib.Path(__file__).resolve().parents[2]
CAPTURES = pathlib.Path(os.environ.get("VEXLOR_CAPTURES", REPO_ROOT.parent / "shared" / "captures"))
MANIFEST = CAPTURES / "MANIFEST.tsv"
CORPUS = list(csv.DictReader(MANIFEST.read_text().splitlines(), delimiter="\t")) if MANIFEST.is_file() else []
TEMP_ARCHIVE = "/tmp/vexlor_py_%d.vexlor" % os.getpid()
ZERO_ADDR = ":".join(["0000"] * 8)
# $VEXLOR_TOOL, as vexlor_dataset honours it, else the tool installed beside this Python.
CLI = pathlib.Path(os.environ.get("VEXLOR_TOOL") or pathlib.Path(sys.executable).parent / "vexlor")
needs_cli = pytest.mark.skipif(not CLI.exists(), reason="the vexlor tool is not installed beside %s" % sys.executable)
needs_tshark = pytest.mark.skipif(shutil.which("tshark") is None, reason="tshark not installed")


KEYS = ["id", "protocol", "src_ip", "dst_ip", "src_port", "dst_port", "packets", "bytes", "start", "duration"]
T = 1700000000


cli = lambda *args, **kw: subprocess.run([str(CLI), *map(str, args)], capture_output=True, **kw)  # noqa: E731


def tool(*args, **kw):
    """The tool's standard output as text, once it has succeeded."""
    done = cli(*args, **kw)
    assert done.returncode == 0, done.stderr
    return done.stdout.decode()


def drain(fd):
    """Everything read from `fd` until its other side is closed (a terminal then fails with EIO); closes it."""
    data = b""
    with contextlib.suppress(OSError):
        while chunk := os.read(fd, 4096):
            data += chunk
    os.close(fd)
    return data


def eth(payload, ethertype=0x0800, broadcast=False):
    return (b"\xff" * 6 if broadcast else b"\2\0\0\0\0\2") + b"\2\0\0\0\0\1" + struct.pack(">H", ethertype) + payload


def frame(src, dst, proto=6, sport=0, dport=0, payload=b"", raw=False, flags=0x18):
    """An Ethernet frame (raw: the IP packet) from src to dst, IPv4 or IPv6; TCP (6) and UDP (17) get their header."""
    a, b = ipaddress.ip_address(src), ipaddress.ip_address(dst)
    body = (struct.pack(">HHIIBBHHH", sport, dport, 1, 0, 5 << 4, flags, 65535, 0, 0) if proto == 6 else
            struct.pack(">HHHH", sport, dport, 8 + len(payload), 0) if proto == 17 else b"") + payload
    packet = (struct.pack(">BBHHHBBH", 0x45, 0, (20 + len(body)) & 0xFFFF, 1, 0, 64, proto, 0) if a.version == 4 else
              struct.pack(">IHBB", 6 << 28, len(body), proto, 64)) + a.packed + b.packed + body
    return packet if raw else eth(packet, 0x0800 if a.version == 4 else 0x86DD)


ARP = eth(struct.pack(">HHBBH", 1, 0x0800, 6, 4, 1) + bytes([2, 0, 0, 0, 0, 1, 10, 0, 0, 1]) + bytes(6)
          + bytes([10, 0, 0, 2]) + bytes(18), 0x0806, broadcast=True)


orig_len = lambda rec: rec[3] if len(rec) > 3 else len(rec[2])  # noqa: E731


def pcapng_block(e, kind, body):
    body += bytes(-len(body) % 4)
    return struct.pack(e + "II", kind, 12 + len(body)) + body + struct.pack(e + "I", 12 + len(body))


def capture(records, linktype=1, nano=False, big=False, ng=False):
    """A classic pcap (ng: pcapng, one interface, an EPB per record) of (ts_sec, ts_frac, data[, orig_len])."""
    e = ">" if big else "<"
    if not ng:
        return struct.pack(e + "IHHiIII", 0xA1B23C4D if nano else 0xA1B2C3D4, 2, 4, 0, 0, 65535, linktype) + b"".join(
            struct.pack(e + "IIII", r[0], r[1], len(r[2]), orig_len(r)) + r[2] for r in records)
    out = [pcapng_block(e, 0x0A0D0D0A, struct.pack(e + "IHHq", 0x1A2B3C4D, 1, 0, -1)),
           pcapng_block(e, 1, struct.pack(e + "HHI", linktype, 0, 65535) + nano * struct.pack(e + "HHB3xHH", 9, 1, 9,
                                                                                              0, 0))]
    for r in records:
        t = r[0] * (10**9 if nano else 10**6) + r[1]
        out.append(pcapng_block(e, 6, struct.pack(e + "IIIII", 0, t >> 32, t & 0xFFFFFFFF, len(r[2]), orig_len(r))
                                + r[2]))
    return b"".join(out)


def sessions_bytes(flows, per_flow, size, ipv6_every=0, proto=6):
    """`flows` sessions of `per_flow` frames of `size` bytes, interleaved; every ipv6_every-th one UDP over IPv6."""
    frames = [frame("2001:db8::%x" % (f + 1), "2001:db8::ffff", 17, 1024 + f, 53, bytes([f & 0xFF]) * size)
              if ipv6_every and f % ipv6_every == 0 else
              frame("10.%d.%d.1" % (f // 250, f % 250), "192.0.2.1", proto, 1024 + f, 80, bytes([f & 0xFF]) * size)
              for f in range(flows)]
    return capture([(1700000000 + i // 100, i % 10**6, frames[i % flows]) for i in range(per_flow * flows)])


def small_capture(i, ng=False):
    """Twelve packets in three TCP flows from 10.0.i.1 (each i a capture of its own), from T + 10 * i seconds on."""
    return capture([(T + 10 * i, n, frame("10.0.%d.1" % i, "192.0.2.%d" % (n % 3 + 1), 6, 1000 + n % 3, 80,
                                          bytes([n]) * 40)) for n in range(12)], ng=ng)


def capture_tree(root):
    """Captures in nested directories (a.pcap, b.pcap.gz, and c.pcapng.xz, a pcapng) and a file that is no capture."""
    write(root / "day1" / "a.pcap", small_capture(1))
    write(root / "day1" / "b.pcap.gz", gzip.compress(small_capture(2)))
    write(root / "day2" / "nested" / "c.pcapng.xz", lzma.compress(small_capture(3, ng=True)))
    write(root / "notes.txt", b"not a capture")
    return root


def read_pcap(data):
    """(link type, [(ts_sec, ts_usec, orig_len, frame)]) of a pcap as vexlor writes it; anything cut short fails."""
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
    """A directory's files, by path relative to it, and their bytes (none if it is missing); or a file's bytes."""
    path = pathlib.Path(path)
    return path.read_bytes() if path.is_file() else {
        str(p.relative_to(path)): p.read_bytes() for p in sorted(path.rglob("*")) if p.is_file()}


def finals(directory, temporary=False):
    """The final-named files (or the temporaries) a run left in `directory`, if it exists."""
    names = listing(directory) if os.path.isdir(directory) else []
    return [n for n in names if n.endswith(".tmp") == temporary]


def records(packets):
    """Packet objects, or the records given to the capture builders, as (ts_sec, ts_usec, orig_len, frame)."""
    return [(p.ts_sec, p.ts_usec, p.orig_len, p.data) if not isinstance(p, tuple) else (p[0], p[1], orig_len(p), p[2])
            for p in packets]


class Index:
    """An integer only through __index__ (which raises `value` if it is an exception)."""
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


class MyStr(str):
    def lower(self):  # never consulted: the binding lower-cases with str.lower itself
        return "bogus"


# The sample capture: five sessions, ids in order of first appearance; the ARP frame was captured short of 1514 bytes.
SAMPLE = [(1700000000, 250000, frame("10.0.0.1", "10.0.0.2", 6, 51000, 80, b"GET /")),
          (1700000001, 0, frame("10.0.0.2", "10.0.0.1", 6, 80, 51000, b"HTTP")),
          (1700000002, 10, frame("10.0.0.3", "10.0.0.1", 17, 5353, 53, b"q?")),
          (1700000003, 20, frame("192.0.2.9", "192.0.2.1", 1, payload=struct.pack(">BBHHH", 8, 0, 0, 1, 1) + b"ping")),
          (1700000004, 30, frame("2001:db8::1", "2001:db8::2", 6, 443, 50000, b"tls")), (1700000005, 40, ARP, 1514),
          (1700000006, 999999, frame("10.0.0.1", "10.0.0.2", 6, 51000, 80, b"more"))]
SAMPLE_SESSION_FILES = {"cap_6_10_0_0_1_10_0_0_2_51000_80.pcap": [0, 1, 6], "cap_1_192_0_2_1_192_0_2_9_0_0.pcap": [3],
                        "cap_17_10_0_0_1_10_0_0_3_53_5353.pcap": [2], "cap_no_session.pcap": [5],
                        "cap_6_2001_db8__1_2001_db8__2_443_50000.pcap": [4]}


@pytest.fixture(autouse=True)
def free_temporary_archive():
    """read_flows' one path per process: a failed build leaves its .tmp, a stray Archive would delete another's."""
    yield
    if os.path.exists(TEMP_ARCHIVE) or os.path.exists(TEMP_ARCHIVE + ".tmp"):
        gc.collect()
    for path in filter(os.path.exists, (TEMP_ARCHIVE, TEMP_ARCHIVE + ".tmp")):
        os.unlink(path)


@pytest.fixture
def corpus_row(request):
    """A row of the corpus's manifest, for tests parametrized (indirectly) over CORPUS or [None]: a clean skip."""
    return request.param or pytest.skip("no capture corpus at %s (set VEXLOR_CAPTURES to its directory)" % CAPTURES)


@pytest.fixture(scope="session")
def big(tmp_path_factory):
    """A capture the tool takes most of a second to split: 400000 UDP packets in 4000 sessions."""
    return write(tmp_path_factory.mktemp("big") / "big.pcap", sessions_bytes(4000, 100, 200, proto=17))


@pytest.fixture
def make_capture(tmp_path):
    return lambda recs, name="cap.pcap", **kw: write(tmp_path / name, capture(recs, **kw))


@pytest.fixture
def sample_pcap(tmp_path):
    return write(tmp_path / "cap.pcap", capture(SAMPLE))


@pytest.fixture
def sample_archive(tmp_path, sample_pcap):
    vexlor.create_archive(sample_pcap, str(tmp_path / "sample.vexlor"))
    return str(tmp_path / "sample.vexlor")


@pytest.fixture
def archive(sample_archive):
    return vexlor.Archive.open(sample_archive)


@contextlib.contextmanager
def raises_exactly(exc, message):
    """The exception is exactly `exc`, with `message` as its only argument (so OSError.errno is None)."""
    with pytest.raises(exc) as info:
        yield info
    assert type(info.value) is exc and info.value.args == (message,), repr(info.value)
