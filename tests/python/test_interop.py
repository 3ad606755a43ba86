"""Interoperability with tshark, tcpdump, editcap, mergecap and dpkt, record for record.

What vexlor writes (split outputs, pipe_archive images) is read alike by tshark and dpkt and holds the
input's records; captures written by the other tools (pcapng with several interfaces and link types,
nanosecond pcap, snaplen cuts) and a selection of the shared corpus read in vexlor as tshark reads them.
A record is (time in microseconds, original length, captured length, MD5 of the frame bytes); vexlor
keeps microseconds, so tshark's nanoseconds are cut to microseconds for the comparison."""
import csv
import decimal
import hashlib
import io
import shutil
import subprocess

import pytest

import vexlor
from conftest import (CAPTURES, REPO_ROOT, SAMPLE, ipv4, ipv6, listing, orig_len, pcap_bytes, tcp4, udp,
                      write)

needs_tshark = pytest.mark.skipif(shutil.which("tshark") is None, reason="tshark not installed")
PCAPNG, PCAP_US, PCAP_NS = b"\x0a\x0d\x0d\x0a", b"\xd4\xc3\xb2\xa1", b"\x4d\x3c\xb2\xa1"


# ---- records as each reader sees them ---------------------------------------

def micros(epoch):
    """tshark's frame.time_epoch text ("1700000000.123456789") in whole microseconds, cut not rounded."""
    sec, _, frac = epoch.partition(".")
    return int(sec) * 10**6 + int((frac + "000000")[:6])


def tshark_records(source):
    """`source` is a path, or the bytes of a capture fed to `tshark -r -` on standard input."""
    piped = isinstance(source, bytes)
    run = subprocess.run(
        ["tshark", "-n", "-o", "frame.generate_md5_hash:TRUE", "-r", "-" if piped else str(source),
         "-T", "fields", "-e", "frame.time_epoch", "-e", "frame.len", "-e", "frame.cap_len",
         "-e", "frame.md5_hash"],
        input=source if piped else None, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert run.returncode == 0, run.stderr.decode()
    rows = [line.split("\t") for line in run.stdout.decode().splitlines()]
    # pcapng blocks other than packets (custom blocks) are listed too, without a time.
    return [(micros(t), int(length), int(caplen), md5) for t, length, caplen, md5 in rows if t]


def dpkt_records(data):
    """(link type, records without the original length, which dpkt does not report)."""
    dpkt = pytest.importorskip("dpkt")
    reader = dpkt.pcap.Reader(io.BytesIO(data))
    records = []
    for ts, frame in reader:
        us = int(ts * 10**6) if isinstance(ts, decimal.Decimal) else round(ts * 1e6)
        records.append((us, len(frame), hashlib.md5(frame).hexdigest()))
    return reader.datalink(), records


def without_orig_len(records):
    return [(t, caplen, md5) for t, _, caplen, md5 in records]


def packet_records(packets):
    return [(p.ts_sec * 10**6 + p.ts_usec, p.orig_len, p.length, hashlib.md5(p.data).hexdigest())
            for p in packets]


def built_records(records):
    """The records given to pcap_bytes: (seconds, microseconds, frame[, original length])."""
    return [(r[0] * 10**6 + r[1], orig_len(r), len(r[2]), hashlib.md5(r[2]).hexdigest()) for r in records]


def vexlor_records(path, tmp_path):
    """Every packet of a capture in capture order: one flow under nosplit, read back with packets()."""
    archive = str(tmp_path / "all.vexlor")
    vexlor.create_archive(str(path), archive, strategy="nosplit")
    flows = vexlor.Archive.open(archive).flows()
    assert len(flows) <= 1
    return packet_records(flows[0].packets()) if flows else []


# ---- inputs -------------------------------------------------------------------

# The conftest sample plus a full-size frame, a 70000-byte frame (beyond the 65535 snapshot length
# that written files declare) and a frame captured short of its original length.
BUILT = SAMPLE + [
    (1700000007, 5, tcp4("10.0.0.5", "10.0.0.6", 1000, 2000, bytes(1460))),
    (1700000008, 6, tcp4("10.0.0.5", "10.0.0.6", 1000, 2000, bytes(70000))),
    (1700000009, 7, tcp4("10.0.0.6", "10.0.0.5", 2000, 1000, bytes(1000))[:100], 1054),
]


@pytest.fixture
def built_capture(tmp_path):
    return write(tmp_path / "built.pcap", pcap_bytes(BUILT))


@pytest.fixture
def sources(tmp_path):
    """Inputs for the tools: Ethernet in microseconds and in nanoseconds, raw IP (101) in nanoseconds,
    with sub-second parts that do and do not survive the cut to microseconds."""
    fracs = [123456789, 999999999, 1000, 999, 0, 500000000, 42]
    eth_us = [(sec, frac // 1000) + tuple(rest) for (sec, _, *rest), frac in zip(SAMPLE, fracs)]
    eth_ns = [(sec, frac) + tuple(rest) for (sec, _, *rest), frac in zip(SAMPLE, fracs)]
    raw_ns = [(1700000000, 600000001, ipv4("10.1.0.1", "10.1.0.2", 17, udp(53, 5353, b"answer"))),
              (1700000003, 999999999, ipv6("2001:db8::7", "2001:db8::8", 17, udp(123, 123, b"t"))),
              (1700000010, 1, ipv4("10.1.0.2", "10.1.0.1", 17, udp(5353, 53, b"q")))]
    return {
        "eth_us": write(tmp_path / "eth_us.pcap", pcap_bytes(eth_us)),
        "eth_ns": write(tmp_path / "eth_ns.pcap", pcap_bytes(eth_ns, nano=True)),
        "raw_ns": write(tmp_path / "raw_ns.pcap", pcap_bytes(raw_ns, linktype=101, nano=True)),
    }


# ---- what vexlor writes, read by tshark and dpkt ------------------------------

@needs_tshark
@pytest.mark.parametrize("strategy", ["session", "hostpair", "nosplit"])
def test_split_files_read_alike_by_tshark_and_dpkt(strategy, built_capture, tmp_path):
    expected = built_records(BUILT)
    vexlor.split(built_capture, str(tmp_path / "out"), strategy=strategy)
    seen = []
    for name in listing(tmp_path / "out"):
        path = tmp_path / "out" / name
        records = tshark_records(path)
        assert dpkt_records(path.read_bytes()) == (1, without_orig_len(records)), name
        assert records == [r for r in expected if r in records], name  # capture order kept
        seen += records
    assert sorted(seen) == sorted(expected)  # each packet in exactly one file


@needs_tshark
@pytest.mark.parametrize("source,strategy", [("built", "session"), ("examples/sample.pcap", "nosplit")])
def test_pipe_archive_images_read_alike_by_tshark_and_dpkt(source, strategy, built_capture, tmp_path):
    capture = built_capture if source == "built" else str(REPO_ROOT / source)
    archive = str(tmp_path / "a.vexlor")
    vexlor.create_archive(capture, archive, strategy=strategy)
    flows = vexlor.Archive.open(archive).flows()
    images = vexlor.pipe_archive(archive)
    assert len(images) == len(flows)
    seen = []
    for flow, image in zip(flows, images):
        records = tshark_records(image)  # through a pipe, as a consumer of the images reads them
        assert records == packet_records(flow.packets()), flow
        assert dpkt_records(image) == (1, without_orig_len(records)), flow
        seen += records
    expected = built_records(BUILT) if source == "built" else tshark_records(capture)
    assert sorted(seen) == sorted(expected)


# ---- what the other tools write, read by vexlor --------------------------------

# (case, expected magic of the written file, commands run in order); {out} is the written file and
# the other fields name the inputs above.
CONVERSIONS = [
    ("editcap-pcapng-from-nsec", PCAPNG, [["editcap", "-F", "pcapng", "{eth_ns}", "{out}"]]),
    ("editcap-nsecpcap", PCAP_NS, [["editcap", "-F", "nsecpcap", "{eth_us}", "{out}"]]),
    ("editcap-pcap-from-nsec", PCAP_US, [["editcap", "-F", "pcap", "{eth_ns}", "{out}"]]),
    ("editcap-snaplen-40", PCAP_US, [["editcap", "-F", "pcap", "-s", "40", "{eth_us}", "{out}"]]),
    ("mergecap-pcapng-eth-us-and-raw-ns", PCAPNG,
     [["mergecap", "-F", "pcapng", "-w", "{out}", "{eth_us}", "{raw_ns}"]]),
    ("mergecap-pcapng-of-pcapng-and-pcap", PCAPNG,
     [["editcap", "-F", "pcapng", "{raw_ns}", "{out}.ng"],
      ["mergecap", "-F", "pcapng", "-w", "{out}", "{out}.ng", "{eth_ns}"]]),
    ("tshark-pcapng", PCAPNG, [["tshark", "-r", "{eth_ns}", "-F", "pcapng", "-w", "{out}"]]),
    ("tcpdump-rewrite", PCAP_US, [["tcpdump", "-r", "{eth_us}", "-w", "{out}"]]),
    ("tcpdump-nano", PCAP_NS,
     [["tcpdump", "--time-stamp-precision=nano", "-r", "{eth_ns}", "-w", "{out}"]]),
]


@needs_tshark
@pytest.mark.parametrize("magic,commands", [c[1:] for c in CONVERSIONS], ids=[c[0] for c in CONVERSIONS])
def test_tool_written_capture_read_as_tshark_reads_it(magic, commands, sources, tmp_path):
    missing = sorted({c[0] for c in commands if shutil.which(c[0]) is None})
    if missing:
        pytest.skip("%s not installed" % ", ".join(missing))
    out = tmp_path / "converted"
    for command in commands:
        run = subprocess.run([arg.format(out=out, **sources) for arg in command],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        assert run.returncode == 0, run.stderr.decode()
    assert out.read_bytes()[:4] == magic
    expected = tshark_records(out)
    assert len(expected) >= len(SAMPLE)
    assert vexlor_records(out, tmp_path) == expected
    vexlor.split(str(out), str(tmp_path / "split"), strategy="nosplit")
    (name,) = listing(tmp_path / "split")
    _, records = dpkt_records((tmp_path / "split" / name).read_bytes())
    assert records == without_orig_len(expected)


# The shared corpus, where vexlor is meant to read a file as tshark does (not refused, not read
# differently on purpose): one file per format and set of link types outside little-endian
# microsecond pcap, which the cases above cover (pcapng of both byte orders with one or several
# interfaces, mixed link types and resolutions; big-endian and nanosecond pcap), and the frames
# beyond 65535 bytes.
MANIFEST = CAPTURES / "MANIFEST.tsv"
ROWS = list(csv.DictReader(MANIFEST.read_text().splitlines(), delimiter="\t")) if MANIFEST.is_file() else []


def corpus_selection():
    chosen, kinds = [], set()
    for row in ROWS:
        if ("expected: vexlor raises" in row["note"] or "read differently" in row["note"]
                or not row["packets"].isdigit() or row["packets"] == "0"):
            continue
        kind = (row["format"], row["link_types"])
        if "largest frame" in row["note"] or (row["format"] != "pcap-le-us" and kind not in kinds):
            kinds.add(kind)
            chosen.append(row)
    return chosen


CORPUS = corpus_selection()


@needs_tshark
@pytest.mark.skipif(not ROWS, reason="no capture corpus at %s" % CAPTURES)
@pytest.mark.parametrize("row", CORPUS, ids=[r["file"] for r in CORPUS])
def test_corpus_capture_read_as_tshark_reads_it(row, tmp_path):
    path = CAPTURES / row["file"]
    expected = tshark_records(path)
    assert len(expected) == int(row["packets"])
    assert vexlor_records(path, tmp_path) == expected
