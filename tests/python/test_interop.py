"""Interoperability with tshark, tcpdump, editcap, mergecap and dpkt, record for record, and the shared corpus.

What vexlor writes (split files, pipe_archive images) is read alike by tshark and dpkt and holds the input's records;
captures written by the other tools (pcapng with several interfaces and link types, nanosecond pcap, snaplen cuts)
and the corpus read in vexlor as tshark reads them; every corpus capture is read whole or refused with its message.
A record is (time in microseconds, original length, captured length, MD5 of the frame); tshark's nanoseconds are cut
to vexlor's microseconds."""
import decimal
import hashlib
import io
import re
import shutil
import subprocess

import pytest

import vexlor
from conftest import (CAPTURES, CORPUS, REPO_ROOT, SAMPLE, ipv4, ipv6, listing, orig_len, pcap_bytes, raises_exactly,
                      tcp4, udp, write)

needs_tshark = pytest.mark.skipif(shutil.which("tshark") is None, reason="tshark not installed")
PCAPNG, PCAP_US, PCAP_NS = b"\x0a\x0d\x0d\x0a", b"\xd4\xc3\xb2\xa1", b"\x4d\x3c\xb2\xa1"


def micros(epoch):
    """tshark's frame.time_epoch text ("1700000000.123456789") in whole microseconds, cut not rounded."""
    sec, _, frac = epoch.partition(".")
    return int(sec) * 10**6 + int((frac + "000000")[:6])


def tshark_records(*sources):
    """The records of each source, a path or the bytes of a capture fed to `tshark -r -`; the tsharks run at once."""
    procs = [subprocess.Popen(["tshark", "-n", "-o", "frame.generate_md5_hash:TRUE", "-r", str(s) if not isinstance(
        s, bytes) else "-", "-T", "fields", "-e", "frame.time_epoch", "-e", "frame.len", "-e", "frame.cap_len", "-e",
        "frame.md5_hash"], stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE) for s in sources]
    out = []
    for proc, source in zip(procs, sources):
        stdout, stderr = proc.communicate(source if isinstance(source, bytes) else None)
        assert proc.returncode == 0, stderr.decode()
        rows = [line.split("\t") for line in stdout.decode().splitlines()]
        # pcapng blocks other than packets (custom blocks) are listed too, without a time.
        out.append([(micros(t), int(length), int(caplen), md5) for t, length, caplen, md5 in rows if t])
    return out


def dpkt_records(data):
    """(link type, records without the original length, which dpkt does not report)."""
    dpkt = pytest.importorskip("dpkt")
    reader = dpkt.pcap.Reader(io.BytesIO(data))
    return reader.datalink(), [(int(ts * 10**6) if isinstance(ts, decimal.Decimal) else round(ts * 1e6), len(frame),
                                hashlib.md5(frame).hexdigest()) for ts, frame in reader]


def without_orig_len(records):
    return [(t, caplen, md5) for t, _, caplen, md5 in records]


def packet_records(packets):
    return [(p.ts_sec * 10**6 + p.ts_usec, p.orig_len, p.length, hashlib.md5(p.data).hexdigest()) for p in packets]


def vexlor_records(path):
    """Every packet of a capture in capture order: one flow under nosplit, read back with packets()."""
    flows = vexlor.read_flows(str(path), strategy="nosplit").flows()
    assert len(flows) <= 1
    return packet_records(flows[0].packets()) if flows else []


# The sample plus a full-size frame, a 70000-byte frame (beyond the 65535 snapshot length that written files
# declare) and a frame captured short of its original length.
BUILT = SAMPLE + [
    (1700000007, 5, tcp4("10.0.0.5", "10.0.0.6", 1000, 2000, bytes(1460))),
    (1700000008, 6, tcp4("10.0.0.5", "10.0.0.6", 1000, 2000, bytes(70000))),
    (1700000009, 7, tcp4("10.0.0.6", "10.0.0.5", 2000, 1000, bytes(1000))[:100], 1054),
]
BUILT_RECORDS = [(r[0] * 10**6 + r[1], orig_len(r), len(r[2]), hashlib.md5(r[2]).hexdigest()) for r in BUILT]


@needs_tshark
@pytest.mark.parametrize("source,strategy", [("built", "session"), ("built", "hostpair"),
                                             ("examples/sample.pcap", "nosplit")])
def test_outputs_read_alike_by_tshark_and_dpkt(source, strategy, tmp_path):
    """split's files and pipe_archive's images (read through a pipe, as their consumers do)."""
    capture = write(tmp_path / "in.pcap", pcap_bytes(BUILT)) if source == "built" else str(REPO_ROOT / source)
    vexlor.split(capture, str(tmp_path / "out"), strategy=strategy)
    files = [tmp_path / "out" / name for name in listing(tmp_path / "out")]
    vexlor.create_archive(capture, str(tmp_path / "a.vexlor"), strategy=strategy)
    flows = vexlor.Archive.open(str(tmp_path / "a.vexlor")).flows()
    images = vexlor.pipe_archive(str(tmp_path / "a.vexlor"))
    expected, *seen = tshark_records(capture, *files, *images)
    assert source != "built" or expected == BUILT_RECORDS
    for data, records in zip([f.read_bytes() for f in files] + images, seen):
        assert dpkt_records(data) == (1, without_orig_len(records))
        assert records == [r for r in expected if r in records]  # capture order kept
    assert [packet_records(f.packets()) for f in flows] == seen[len(files):]
    for outputs in (seen[:len(files)], seen[len(files):]):
        assert sorted(sum(outputs, [])) == sorted(expected)  # each packet in exactly one file, one image


@pytest.fixture
def sources(tmp_path):
    """Inputs for the tools: Ethernet in microseconds and in nanoseconds, raw IP (101) in nanoseconds, with
    sub-second parts that do and do not survive the cut to microseconds."""
    fracs = [123456789, 999999999, 1000, 999, 0, 500000000, 42]
    eth_ns = [(sec, frac) + tuple(rest) for (sec, _, *rest), frac in zip(SAMPLE, fracs)]
    raw_ns = [(1700000000, 600000001, ipv4("10.1.0.1", "10.1.0.2", 17, udp(53, 5353, b"answer"))),
              (1700000003, 999999999, ipv6("2001:db8::7", "2001:db8::8", 17, udp(123, 123, b"t"))),
              (1700000010, 1, ipv4("10.1.0.2", "10.1.0.1", 17, udp(5353, 53, b"q")))]
    return {"eth_us": write(tmp_path / "eth_us.pcap", pcap_bytes([(s, f // 1000) + tuple(r) for s, f, *r in eth_ns])),
            "eth_ns": write(tmp_path / "eth_ns.pcap", pcap_bytes(eth_ns, nano=True)),
            "raw_ns": write(tmp_path / "raw_ns.pcap", pcap_bytes(raw_ns, linktype=101, nano=True))}


# (case, expected magic of the written file, commands run in order); {out} is the written file, the other fields
# name the inputs above.
CONVERSIONS = [
    ("editcap-pcapng-from-nsec", PCAPNG, "editcap -F pcapng {eth_ns} {out}"),
    ("editcap-nsecpcap", PCAP_NS, "editcap -F nsecpcap {eth_us} {out}"),
    ("editcap-pcap-from-nsec", PCAP_US, "editcap -F pcap {eth_ns} {out}"),
    ("editcap-snaplen-40", PCAP_US, "editcap -F pcap -s 40 {eth_us} {out}"),
    ("mergecap-pcapng-eth-us-and-raw-ns", PCAPNG, "mergecap -F pcapng -w {out} {eth_us} {raw_ns}"),
    ("mergecap-pcapng-of-pcapng-and-pcap", PCAPNG,
     "editcap -F pcapng {raw_ns} {out}.ng && mergecap -F pcapng -w {out} {out}.ng {eth_ns}"),
    ("tcpdump-nano", PCAP_NS, "tcpdump --time-stamp-precision=nano -r {eth_ns} -w {out}"),
]


@needs_tshark
@pytest.mark.parametrize("magic,commands", [c[1:] for c in CONVERSIONS], ids=[c[0] for c in CONVERSIONS])
def test_tool_written_capture_read_as_tshark_reads_it(magic, commands, sources, tmp_path):
    missing = sorted({c.split()[0] for c in commands.split(" && ") if shutil.which(c.split()[0]) is None})
    if missing:
        pytest.skip("%s not installed" % ", ".join(missing))
    out = tmp_path / "converted"
    for command in commands.split(" && "):
        run = subprocess.run(command.format(out=out, **sources).split(), capture_output=True)
        assert run.returncode == 0, run.stderr.decode()
    assert out.read_bytes()[:4] == magic
    (expected,) = tshark_records(out)
    assert len(expected) >= len(SAMPLE) and vexlor_records(out) == expected
    vexlor.split(str(out), str(tmp_path / "split"), strategy="nosplit")
    (name,) = listing(tmp_path / "split")
    assert dpkt_records((tmp_path / "split" / name).read_bytes())[1] == without_orig_len(expected)


def refusal(row):
    return re.search(r'expected: vexlor raises (\w+) "([^"]*)"', row["note"])


@pytest.mark.parametrize("corpus_row", CORPUS or [None], indirect=True, ids=lambda r: r and r["file"])
def test_corpus_capture_read_whole_or_refused(corpus_row):
    path = str(CAPTURES / corpus_row["file"])
    if refusal(corpus_row):
        exc_name, message = refusal(corpus_row).groups()
        assert exc_name == "RuntimeError"
        with raises_exactly(RuntimeError, message):
            vexlor.read_flows(path)
        return
    packets = sum(f.packet_count for f in vexlor.read_flows(path).flows())
    if "read differently" not in corpus_row["note"] and corpus_row["packets"][:1].isdigit():
        assert packets == int(re.match(r"\d+", corpus_row["packets"]).group())  # capinfos' count


def tshark_selection():
    """One file per format and set of link types outside little-endian microsecond pcap, which the conversions
    cover, and the frames beyond 65535 bytes; not those refused or read differently on purpose."""
    chosen, kinds = [], set()
    for row in CORPUS:
        if refusal(row) or "read differently" in row["note"] or not row["packets"].isdigit() or row["packets"] == "0":
            continue
        kind = (row["format"], row["link_types"])
        if "largest frame" in row["note"] or (row["format"] != "pcap-le-us" and kind not in kinds):
            kinds.add(kind)
            chosen.append(row)
    return chosen


@needs_tshark
@pytest.mark.parametrize("corpus_row", tshark_selection() or [None], indirect=True, ids=lambda r: r and r["file"])
def test_corpus_capture_read_as_tshark_reads_it(corpus_row):
    path = CAPTURES / corpus_row["file"]
    (expected,) = tshark_records(path)
    assert len(expected) == int(corpus_row["packets"]) and vexlor_records(path) == expected
