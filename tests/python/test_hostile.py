"""Hostile inputs: captures and archives cut short and with bytes flipped, through every entry point.

Every call either succeeds or raises its documented exception class with one of the messages documented
for it; a failed run leaves no final-named output behind (only hidden temporaries), a successful one leaves
only complete files. Where the outcome is known in advance (a classic pcap cut at a given byte) it is
checked exactly; otherwise split and create_archive, which read the same records, must agree."""
import contextlib
import csv
import faulthandler
import gc
import ipaddress
import os
import pathlib
import random
import re
import shutil
import struct
import tempfile

import pytest

import vexlor
from conftest import (ARP, CAPTURES, ICMP_ECHO, SAMPLE, TEMP_ARCHIVE, eth, ipv4, ipv6, listing, pcap_bytes,
                      raises_exactly, tcp4, udp, write)

PARSE_ERROR = re.compile(
    r"Unsupported file format \(unknown magic number\)"
    r"|Invalid PCAP format: (file too small for global header"
    r"|packet incl_len \d+ exceeds remaining data at offset \d+)"
    r"|Invalid PCAP-NG format: (SHB too short|IDB too short|EPB too short|SPB too short"
    r"|EPB packet data exceeds block|Unknown byte order magic: 0x[0-9A-F]{8})")
OPEN_ERRORS = {"Failed to open archive", "File too small to be a valid archive", "Failed to mmap archive",
               "Invalid archive footer", "Flow table extends beyond file"}
OFFSET_ERROR = "Offset list extends beyond file"

BUILD_FAILS = {RuntimeError: PARSE_ERROR.fullmatch}
OPEN_FAILS = {OSError: OPEN_ERRORS.__contains__}
OFFSETS_FAIL = {RuntimeError: OFFSET_ERROR.__eq__}

# (strategy, output type) for split, taken in turn; create_archive uses the same strategy. Under the
# first five a packet belongs to exactly one flow, so packet counts compare directly.
CONFIGS = [("session", "pcap"), ("flow", "l7"), ("hostpair", "pcap"), ("bssid", "pcap"), ("nosplit", "l7"),
           ("host", "pcap"), ("mac", "l7")]
ONE_FLOW_PER_PACKET = {"session", "flow", "hostpair", "bssid", "nosplit"}
HEAD_LIMIT = 65536  # cuts and flips stay in the first 64 KiB of big files

MANIFEST = CAPTURES / "MANIFEST.tsv"
CORPUS = sorted(r["file"] for r in csv.DictReader(MANIFEST.read_text().splitlines(), delimiter="\t")) \
    if MANIFEST.is_file() else []

tally = dict.fromkeys(["capture inputs", "builds", "archive inputs", "opens", "queries"], 0)


@pytest.fixture
def scratch(tmp_path):
    """A directory in memory where there is one: thousands of small files are made and renamed here,
    which costs a disk's journal far more than the calls themselves."""
    shm = pathlib.Path("/dev/shm")
    if not (shm.is_dir() and os.access(shm, os.W_OK)):
        yield tmp_path
        return
    d = pathlib.Path(tempfile.mkdtemp(prefix="vexlor-hostile-", dir=shm))
    yield d
    shutil.rmtree(d, ignore_errors=True)


@pytest.fixture(autouse=True)
def no_stale_temporary_archive():
    """read_flows' one path per process must be free: an Archive of another test may still hold it."""
    gc.collect()
    if os.path.exists(TEMP_ARCHIVE):
        os.unlink(TEMP_ARCHIVE)


@pytest.fixture(scope="module", autouse=True)
def watchdog():
    """A hang fails the run with every thread's stack instead of blocking it."""
    faulthandler.dump_traceback_later(900, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()
    print("\nhostile sweep: " + ", ".join("%d %s" % (n, what) for what, n in tally.items()))


def attempt(fn, failures, kind="queries"):
    """Runs fn(); returns (None, result) or (message, None) for a failure that `failures` allows:
    {exception class: predicate on the message}. The class must match exactly."""
    tally[kind] += 1
    try:
        return None, fn()
    except KeyboardInterrupt:
        raise
    except BaseException as e:  # PanicException derives from BaseException, and must not appear
        assert type(e) in failures and len(e.args) == 1 and failures[type(e)](e.args[0]), repr(e)
        return e.args[0], None


# ---- captures built here ----------------------------------------------------

def block(e, kind, body):
    body += bytes(-len(body) % 4)
    return struct.pack(e + "II", kind, 12 + len(body)) + body + struct.pack(e + "I", 12 + len(body))


def pcapng_bytes(big):
    """Three interfaces (nanosecond Ethernet, millisecond raw IP, default Ethernet), an unknown block, an
    EPB of an undeclared interface, an empty EPB, an IDB after the first packet, and an SPB."""
    e = ">" if big else "<"

    def idb(link, tsresol=None):
        opts = b"" if tsresol is None else struct.pack(e + "HHB3xHH", 9, 1, tsresol, 0, 0)
        return block(e, 1, struct.pack(e + "HHI", link, 0, 65535) + opts)

    def epb(iface, ticks, frame):
        head = struct.pack(e + "IIIII", iface, ticks >> 32, ticks & 0xFFFFFFFF, len(frame), len(frame) + 4)
        return block(e, 6, head + frame)

    v6 = eth(ipv6("2001:db8::1", "2001:db8::2", 17, udp(53, 5353, b"v6")), 0x86DD)
    return b"".join([
        block(e, 0x0A0D0D0A, struct.pack(e + "IHHq", 0x1A2B3C4D, 1, 0, -1)),
        idb(1, 9), idb(101, 3), block(e, 0xBAD, b"custom"), idb(1),
        epb(0, 1700000000123456789, tcp4("10.0.0.1", "10.0.0.2", 51000, 80, b"GET")),
        idb(113),
        epb(1, 1234567, ipv4("10.0.0.3", "10.0.0.1", 17, udp(5353, 53, b"q"))),
        epb(2, 1700000001000000, v6),
        epb(7, 5, eth(ARP, 0x0806, dst=0xFF)),
        epb(0, 0, b""),
        block(e, 3, struct.pack(e + "I", 60) + eth(ipv4("192.0.2.9", "192.0.2.1", 1, ICMP_ECHO))),
    ])


BUILT = {
    "classic-le-us": lambda: pcap_bytes([SAMPLE[i] for i in (0, 2, 3, 4, 5)]),
    "classic-be-ns": lambda: pcap_bytes([(s, f * 1000 + 7, d) for s, f, d, *_ in SAMPLE[1:6]], big=True, nano=True),
    "pcapng-le": lambda: pcapng_bytes(False),
    "pcapng-be": lambda: pcapng_bytes(True),
}


def many_flows_pcap(flows=40, rounds=3):
    """Flows of several packets with frames up to 300 bytes, so that offset deltas need two-byte varints."""
    recs = []
    for r in range(rounds):
        for i in range(flows):
            body = bytes([i]) * (20 + 7 * i)
            src, dst = "10.1.%d.%d" % (i // 200, i % 200 + 1), "10.2.0.%d" % (r + 1)
            frame = tcp4(src, dst, 1024 + i, 80, body) if i % 3 else \
                eth(ipv6("2001:db8::%x" % (i + 1), "2001:db8::ff", 17, udp(4000 + i, 53, body)), 0x86DD)
            recs.append((1700000000 + r, i, frame))
    return pcap_bytes(recs)


# ---- what a classic pcap cut at byte k must give ------------------------------

def classic_outcome(data, k):
    """The message, or the number of packets, of a classic pcap file cut to its first k bytes."""
    if k < 4:
        return "Unsupported file format (unknown magic number)"
    order = {b"\xd4\xc3\xb2\xa1": "<", b"\x4d\x3c\xb2\xa1": "<", b"\xa1\xb2\xc3\xd4": ">", b"\xa1\xb2\x3c\x4d": ">"}
    if data[:4] not in order:
        return None  # not a classic pcap
    if k < 24:
        return "Invalid PCAP format: file too small for global header"
    pos, count = 24, 0
    while pos + 16 <= k:
        incl = struct.unpack_from(order[data[:4]] + "I", data, pos + 8)[0]
        if incl > k - pos - 16:
            return "Invalid PCAP format: packet incl_len %d exceeds remaining data at offset %d" % (incl, pos + 16)
        pos += 16 + incl
        count += 1
    return count


def pcap_records(data):
    """The records of a complete little-endian microsecond pcap file, as the module writes them."""
    assert len(data) >= 24 and data[:8] == bytes.fromhex("d4c3b2a102000400"), data[:24]
    out, pos = [], 24
    while pos < len(data):
        assert pos + 16 <= len(data), "partial record header at %d" % pos
        sec, usec, incl, orig = struct.unpack_from("<IIII", data, pos)
        assert pos + 16 + incl <= len(data), "record at %d cut short" % pos
        out.append((sec, usec, orig, data[pos + 16:pos + 16 + incl]))
        pos += 16 + incl
    return out


# ---- one hostile capture through split, create_archive and read_flows ---------

def split_output(out, ok, output_type):
    """Checks the output directory; returns the number of records in its pcap files."""
    names = listing(out) if out.exists() else []
    temporaries = [n for n in names if n.startswith(".") and n.endswith(".tmp")]
    finals = [n for n in names if n not in temporaries]
    if not ok:
        assert finals == [], "a failed split left final-named files"
        return None
    assert temporaries == [], "a successful split left temporaries"
    records = 0
    for n in finals:
        data = (out / n).read_bytes()
        assert n.endswith("." + output_type) and data, n
        if output_type == "pcap":
            records += len(pcap_records(data))
    return records


def run_capture(data, tmp, index, expected=None, queries=False):
    """Writes `data` as a capture and runs it through split and create_archive (or, every fifth input,
    read_flows) with the index-th configuration. Returns the error message or None."""
    tally["capture inputs"] += 1
    strategy, output_type = CONFIGS[index % len(CONFIGS)]
    path = tmp / "in.cap"
    path.write_bytes(data)
    out, arch = tmp / "out", tmp / "a.vexlor"
    shutil.rmtree(out, ignore_errors=True)
    for p in (arch, pathlib.Path(str(arch) + ".tmp")):
        if p.exists():
            p.unlink()

    s_err, _ = attempt(lambda: vexlor.split(str(path), str(out), strategy, output_type=output_type),
                       BUILD_FAILS, "builds")
    records = split_output(out, s_err is None, output_type)
    if index % 5 == 4:
        a_err, archive = attempt(lambda: vexlor.read_flows(str(path), strategy), BUILD_FAILS, "builds")
        assert os.path.exists(TEMP_ARCHIVE) == (a_err is None)
    else:
        a_err, _ = attempt(lambda: vexlor.create_archive(str(path), str(arch), strategy), BUILD_FAILS,
                           "builds")
        assert arch.exists() == (a_err is None), "final archive present after a failure, or missing"
        archive = vexlor.Archive.open(str(arch)) if a_err is None else None
    assert s_err == a_err, "split and the archive build read the capture differently"

    if archive is not None:
        stored = sum(f.packet_count for f in archive.flows())
        if output_type == "pcap":
            assert stored == records
        if strategy in ONE_FLOW_PER_PACKET and isinstance(expected, int):
            assert stored == expected
        if queries:
            exercise_archive(archive, None, intact=True)
        del archive  # no cycles: released here, and read_flows' file with it
    if expected is not None:
        assert s_err == (None if isinstance(expected, int) else expected)
    return s_err


def length_fields(data):
    """(offset, byte order, default value) of every length field of a built capture: block total lengths
    and EPB captured lengths of pcapng, record incl_len of classic pcap."""
    if data[:4] == b"\x0a\x0d\x0d\x0a":
        e = ">" if data[8:12] == b"\x1a\x2b\x3c\x4d" else "<"
        out, pos = [], 0
        while pos + 8 <= len(data):
            kind, total = struct.unpack_from(e + "II", data, pos)
            out.append((pos + 4, e, total))
            if kind == 6:
                out.append((pos + 20, e, struct.unpack_from(e + "I", data, pos + 20)[0]))
            pos += total
        return out
    e = "<" if data[:4] in (b"\xd4\xc3\xb2\xa1", b"\x4d\x3c\xb2\xa1") else ">"
    out, pos = [], 24
    while pos + 16 <= len(data):
        incl = struct.unpack_from(e + "I", data, pos + 8)[0]
        out.append((pos + 8, e, incl))
        pos += 16 + incl
    return out


def length_mutants(data):
    for pos, e, value in length_fields(data):
        for v in sorted({0, 1, 4, 8, 11, 12, 13, 15, 16, 19, 20, 24, 28, 31, 32, 33, value - 1, value + 1,
                         value + 4, len(data) - pos, 2 ** 31, 2 ** 32 - 1} - {value}):
            if 0 <= v < 2 ** 32:
                yield data[:pos] + struct.pack(e + "I", v) + data[pos + 4:]


def cut_points(size, rng, sample):
    """The header edges, the last byte, and a sample of offsets in the first 64 KiB."""
    limit = min(size, HEAD_LIMIT)
    edges = {0, 3, 4, 23, 24, 28, 39, 40, size - 1}
    return sorted({k for k in edges if 0 <= k <= size} | set(rng.sample(range(limit), min(limit, sample))))


def flipped(data, rng, limit=HEAD_LIMIT):
    out = bytearray(data)
    for _ in range(rng.choice((1, 1, 2, 3))):
        out[rng.randrange(min(len(out), limit))] ^= rng.randrange(1, 256)
    return bytes(out)


def changes(good, bad):
    return "size %d of %d, changed at %s" % (len(bad), len(good), [j for j in range(min(len(good), len(bad)))
                                                                    if good[j] != bad[j]][:10])


@contextlib.contextmanager
def about(describe):
    """Names the input of a failed check; `describe` is called only then."""
    try:
        yield
    except AssertionError as e:
        raise AssertionError("%s: %s" % (describe(), e)) from e


@pytest.mark.parametrize("kind", sorted(BUILT))
def test_built_captures_cut_at_every_byte_and_damaged(scratch, kind):
    data = BUILT[kind]()
    rng = random.Random(kind)
    for k in range(len(data) + 1):
        with about(lambda: "cut at %d" % k):
            run_capture(data[:k], scratch, k, classic_outcome(data, k) if kind.startswith("classic") else None)
    for i, bad in enumerate(length_mutants(data)):
        with about(lambda: changes(data, bad)):
            run_capture(bad, scratch, i, queries=i % 4 == 0)
    for i in range(100):
        bad = flipped(data, rng)
        with about(lambda: changes(data, bad)):
            run_capture(bad, scratch, i, queries=True)


@pytest.mark.skipif(not CORPUS, reason="no capture corpus at %s" % CAPTURES)
def test_corpus_captures_cut_and_flipped(scratch):
    """Each capture of the shared corpus cut at its header edges and a sample of offsets, and flipped."""
    rng = random.Random(1)
    for name in CORPUS:
        data = (CAPTURES / name).read_bytes()
        for i, k in enumerate(cut_points(len(data), rng, sample=8)):
            with about(lambda: "%s cut at %d" % (name, k)):
                run_capture(data[:k], scratch, i, classic_outcome(data, k))
        for i in range(4):
            bad = flipped(data, rng)
            with about(lambda: "%s %s" % (name, changes(data, bad))):
                run_capture(bad, scratch, i, queries=True)


# ---- archives written here, cut and damaged ------------------------------------

def exercise_archive(archive, path, intact=False):
    """Every query of an opened archive; with `path`, pipe_archive too, which must agree with packets()."""
    flows = archive.flows()
    tally["queries"] += 1
    assert len(archive) == archive.flow_count == len(flows)
    repr(archive), archive.link_type, bool(archive)
    ids = [f.id for f in flows]
    packets = []
    for f in flows:
        repr(f), f.proto_name, f.src_addr, f.dst_addr, f.start_ts, f.end_ts, f.total_bytes
        err, pkts = attempt(f.packets, OFFSETS_FAIL)
        packets.append(err or [(p.ts_sec, p.ts_usec, p.orig_len, p.data) for p in pkts])
        for p in pkts or []:
            assert p.length == len(p.data) and repr(p).startswith("Packet(ts=")
    if path is not None:
        err, images = attempt(lambda: vexlor.pipe_archive(path), OFFSETS_FAIL, "opens")
        if err:
            assert OFFSET_ERROR in packets
        else:
            assert len(images) == len(flows)
            assert [pcap_records(img) for img in images] == packets
            assert all(img[20:24] == struct.pack("<I", archive.link_type) for img in images)

    def found(result, scan):
        """Lookups return flows of this archive; from an intact one, exactly those a scan finds."""
        tally["queries"] += 1
        assert all(type(f) is vexlor.Flow and f.id in ids for f in result)
        if intact:
            assert [f.id for f in result] == [f.id for f in flows if scan(f)]

    for i in set(ids) | {0, 1, 2, len(ids) + 1, 2 ** 64 - 1}:
        f = archive.get_flow(i)
        tally["queries"] += 1
        assert (f is None) == (i not in ids) and (f is None or f.id == i)
    for text in {f.src_addr for f in flows} | {f.dst_addr for f in flows} | {"10.0.0.1", "::"}:
        addr = ipaddress.ip_address(text)
        found(archive.find_by_ip(text), lambda f: addr in map(ipaddress.ip_address, (f.src_addr, f.dst_addr)))
    for port in {f.src_port for f in flows} | {f.dst_port for f in flows} | {0, 80}:
        found(archive.find_by_port(port), lambda f: port in (f.src_port, f.dst_port))
    for name, number in (("tcp", 6), ("udp", 17), ("icmp", 1), ("icmpv6", 58)):
        found(archive.find_by_protocol(name), lambda f: f.proto == number)


def open_and_query(data, tmp, intact=False):
    tally["archive inputs"] += 1
    path = str(tmp / "hostile.vexlor")
    write(path, data)
    err, archive = attempt(lambda: vexlor.Archive.open(path), OPEN_FAILS, "opens")
    if err:
        with raises_exactly(OSError, err):
            vexlor.pipe_archive(path)
        return
    exercise_archive(archive, path, intact)
    # Flows outlive their archive and keep reading its mapping.
    flows = archive.flows()
    del archive
    for f in flows:
        attempt(f.packets, OFFSETS_FAIL)


def field_positions(data):
    """(offset, width) of the u64/u32 fields that steer a reader: footer, flow entries, index header."""
    end = len(data) - 128
    table, table_len, _count, index = struct.unpack_from("<QQQQ", data, end + 48)
    fields = [(end + o, 8) for o in range(8, 88, 8)]
    for e in range(table, table + table_len, 96):
        fields += [(e, 8), (e + 56, 8), (e + 64, 4), (e + 68, 4)]
    if index:
        fields += [(index + o, w) for o, w in ((0, 8), (8, 4), (12, 8), (20, 4), (24, 8), (32, 4), (36, 4))]
    return fields


def mutants(data, rng, n):
    """Cuts, cuts that keep the footer, flipped bytes (half of them in the regions after the packet data)
    and steering fields set to extreme values."""
    size = len(data)
    tail = struct.unpack_from("<Q", data, size - 128 + 32)[0]  # start of the offset lists
    fields = field_positions(data)
    for i in range(n):
        kind = i % 5
        if kind == 0:
            yield data[:rng.randrange(size)]
        elif kind == 1:
            yield data[:rng.randrange(size - 128)] + data[-128:]
        elif kind == 2:
            yield flipped(data, rng)
        elif kind == 3:
            out = bytearray(data)
            for _ in range(rng.choice((1, 2))):
                out[rng.randrange(min(tail, size - 1), size)] ^= rng.randrange(1, 256)
            yield bytes(out)
        else:
            pos, width = rng.choice(fields)
            top = 2 ** (8 * width) - 1
            value = rng.choice([0, 1, 2, 7, 95, 96, size - 1, size, size + 1, top, top - 1, 2 ** 31,
                                2 ** (8 * width - 1), rng.randrange(top + 1)]) & top
            out = bytearray(data)
            out[pos:pos + width] = value.to_bytes(width, "little")
            yield bytes(out)


ARCHIVES = {  # name: (capture bytes, strategy)
    "pcapng-session": (lambda: pcapng_bytes(False), "session"),
    "classic-host": (BUILT["classic-le-us"], "host"),
    "empty": (lambda: pcap_bytes([]), "session"),
    "many-flows": (many_flows_pcap, "flow"),
}


@pytest.mark.parametrize("name", sorted(ARCHIVES))
def test_archives_cut_and_damaged(scratch, name):
    capture, strategy = ARCHIVES[name]
    src = write(scratch / "src.pcap", capture())
    path = str(scratch / "good.vexlor")
    vexlor.create_archive(src, path, strategy)
    data = pathlib.Path(path).read_bytes()
    open_and_query(data, scratch, intact=True)
    rng = random.Random(name)
    for bad in mutants(data, rng, 250):
        with about(lambda: changes(data, bad)):
            open_and_query(bad, scratch)


def test_flow_names_that_sanitise_alike_lose_no_packets(scratch):
    """::ffff:1.2.3.4 and ::ffff:1:2:3:4 are two hosts with one file name; every packet must still be
    written, as the archive (which keeps flows apart by name) stores it."""
    recs = [(i, 0, eth(ipv6(src, "2001:db8::1", 17, udp(1, 2, bytes(10 * i))), 0x86DD))
            for i, src in enumerate(["::ffff:1.2.3.4", "::ffff:1:2:3:4", "::ffff:1.2.3.4"], 1)]
    src = write(scratch / "c.pcap", pcap_bytes(recs))
    vexlor.split(src, str(scratch / "out"), "host")
    vexlor.create_archive(src, str(scratch / "a.vexlor"), "host")
    stored = sorted((p.ts_sec, p.data) for f in vexlor.Archive.open(str(scratch / "a.vexlor")).flows()
                    for p in f.packets())
    written = sorted((r[0], r[3]) for n in listing(scratch / "out")
                     for r in pcap_records((scratch / "out" / n).read_bytes()))
    assert written == stored
