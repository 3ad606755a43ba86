"""Record for record (time in microseconds, original and captured length, MD5) against tshark, editcap, mergecap,
tcpdump and dpkt, both ways; the real captures read whole or refused; the tool's wide decoding finds tshark's
sessions, and --decode basic makes the module's files."""
import hashlib, io, re, shutil, subprocess

import pytest

import vexlor
from conftest import (CAPTURES, CLI, CORPUS, REPO_ROOT, SAMPLE, capture, cli, contents, frame, listing, needs_cli,
                      needs_tshark, orig_len, raises_exactly, read_pcap, tool, write)

wide = pytest.mark.skipif(not (CLI.exists() and CAPTURES.is_dir() and shutil.which("tshark")),
                          reason="needs the tool, tshark and the real captures (VEXLOR_CAPTURES)")
PCAPNG, PCAP_US, PCAP_NS = b"\x0a\x0d\x0d\x0a", b"\xd4\xc3\xb2\xa1", b"\x4d\x3c\xb2\xa1"


def tshark_records(*sources):
    """The records of each source, a path or the bytes of a capture fed to `tshark -r -`; the tsharks run at once."""
    procs = [subprocess.Popen(["tshark", "-n", "-o", "frame.generate_md5_hash:TRUE", "-r", str(s) if not isinstance(
        s, bytes) else "-", "-T", "fields", "-e", "frame.time_epoch", "-e", "frame.len", "-e", "frame.cap_len", "-e",
        "frame.md5_hash"], stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE) for s in sources]
    out = []
    for proc, source in zip(procs, sources):
        stdout, stderr = proc.communicate(source if isinstance(source, bytes) else None)
        assert proc.returncode == 0, stderr.decode()
        # Blocks other than packets are listed without a time; times are cut, not rounded, to microseconds.
        rows = [line.split("\t") for line in stdout.decode().splitlines()]
        out.append([(int(t.split(".")[0]) * 10**6 + int((t.split(".")[1] + "000000")[:6]), int(length), int(caplen),
                     md5) for t, length, caplen, md5 in rows if t])
    return out


def dpkt_records(data):
    """(link type, records without the original length, which dpkt does not report)."""
    dpkt = pytest.importorskip("dpkt")
    reader = dpkt.pcap.Reader(io.BytesIO(data))
    return reader.datalink(), [(round(ts * 10**6), len(b), hashlib.md5(b).hexdigest()) for ts, b in reader]


def packet_records(packets):
    return [(p.ts_sec * 10**6 + p.ts_usec, p.orig_len, p.length, hashlib.md5(p.data).hexdigest()) for p in packets]


# The sample plus a full-size frame, a 70000-byte frame (beyond the 65535 snapshot length that written files
# declare) and a frame captured short of its original length.
BUILT = SAMPLE + [(1700000007, 5, frame("10.0.0.5", "10.0.0.6", 6, 1000, 2000, bytes(1460))),
                  (1700000008, 6, frame("10.0.0.5", "10.0.0.6", 6, 1000, 2000, bytes(70000))),
                  (1700000009, 7, frame("10.0.0.6", "10.0.0.5", 6, 2000, 1000, bytes(1000))[:100], 1054)]


@needs_tshark
@pytest.mark.parametrize("source,strategy", [("built", "session"), ("built", "hostpair"),
                                             ("examples/sample.pcap", "nosplit")])
def test_outputs_read_alike_by_tshark_and_dpkt(source, strategy, tmp_path):
    """split's files and pipe_archive's images (read through a pipe, as their consumers do)."""
    cap = write(tmp_path / "in.pcap", capture(BUILT)) if source == "built" else str(REPO_ROOT / source)
    vexlor.split(cap, str(tmp_path / "out"), strategy=strategy)
    files = [(tmp_path / "out" / name).read_bytes() for name in listing(tmp_path / "out")]
    vexlor.create_archive(cap, str(tmp_path / "a.vexlor"), strategy=strategy)
    flows = vexlor.Archive.open(str(tmp_path / "a.vexlor")).flows()
    images = vexlor.pipe_archive(str(tmp_path / "a.vexlor"))
    expected, *seen = tshark_records(cap, *files, *images)
    assert source != "built" or expected == [(r[0] * 10**6 + r[1], orig_len(r), len(r[2]),
                                              hashlib.md5(r[2]).hexdigest()) for r in BUILT]
    for data, records in zip(files + images, seen):
        assert dpkt_records(data) == (1, [(t, caplen, md5) for t, _, caplen, md5 in records])
        assert records == [r for r in expected if r in records]  # capture order kept
    assert [packet_records(f.packets()) for f in flows] == seen[len(files):]
    for outputs in (seen[:len(files)], seen[len(files):]):
        assert sorted(sum(outputs, [])) == sorted(expected)  # each packet in exactly one file, one image


# (case, expected magic of the written file, commands run in order); {out} is the written file, the other fields
# name the inputs: Ethernet in microseconds and in nanoseconds, raw IP (101) in nanoseconds.
CONVERSIONS = [
    ("editcap-pcapng-from-nsec", PCAPNG, "editcap -F pcapng {eth_ns} {out}"),
    ("editcap-nsecpcap", PCAP_NS, "editcap -F nsecpcap {eth_us} {out}"),
    ("editcap-pcap-from-nsec", PCAP_US, "editcap -F pcap {eth_ns} {out}"),
    ("editcap-snaplen-40", PCAP_US, "editcap -F pcap -s 40 {eth_us} {out}"),
    ("mergecap-pcapng-eth-us-and-raw-ns", PCAPNG, "mergecap -F pcapng -w {out} {eth_us} {raw_ns}"),
    ("mergecap-pcapng-of-pcapng-and-pcap", PCAPNG,
     "editcap -F pcapng {raw_ns} {out}.ng && mergecap -F pcapng -w {out} {out}.ng {eth_ns}"),
    ("tcpdump-nano", PCAP_NS, "tcpdump --time-stamp-precision=nano -r {eth_ns} -w {out}")]


@needs_tshark
@pytest.mark.parametrize("magic,commands", [c[1:] for c in CONVERSIONS], ids=[c[0] for c in CONVERSIONS])
def test_tool_written_capture_read_as_tshark_reads_it(magic, commands, tmp_path):
    if any(shutil.which(c.split()[0]) is None for c in commands.split(" && ")):
        pytest.skip("%s not installed" % commands)
    # Sub-second parts that do and do not survive the cut to microseconds.
    eth_ns = [(s, frac) + tuple(r) for (s, _, *r), frac in zip(SAMPLE, [123456789, 999999999, 1000, 999, 0, 5 * 10**8,
                                                                         42])]
    raw_ns = [(1700000000, 600000001, frame("10.1.0.1", "10.1.0.2", 17, 53, 5353, b"answer", raw=True)),
              (1700000003, 999999999, frame("2001:db8::7", "2001:db8::8", 17, 123, 123, b"t", raw=True)),
              (1700000010, 1, frame("10.1.0.2", "10.1.0.1", 17, 5353, 53, b"q", raw=True))]
    sources = {"eth_us": write(tmp_path / "eth_us.pcap", capture([(s, f // 1000) + tuple(r) for s, f, *r in eth_ns])),
               "eth_ns": write(tmp_path / "eth_ns.pcap", capture(eth_ns, nano=True)),
               "raw_ns": write(tmp_path / "raw_ns.pcap", capture(raw_ns, linktype=101, nano=True))}
    out = tmp_path / "converted"
    for command in commands.split(" && "):
        subprocess.run(command.format(out=out, **sources).split(), capture_output=True, check=True)
    assert out.read_bytes()[:4] == magic
    (expected,) = tshark_records(out)
    (flow,) = vexlor.read_flows(str(out), strategy="nosplit").flows()  # every packet, in capture order
    assert len(expected) >= len(SAMPLE) and packet_records(flow.packets()) == expected
    vexlor.split(str(out), str(tmp_path / "split"), strategy="nosplit")
    (data,) = contents(tmp_path / "split").values()
    assert dpkt_records(data)[1] == [(t, c, m) for t, _, c, m in expected]


@pytest.mark.parametrize("corpus_row", CORPUS or [None], indirect=True, ids=lambda r: r and r["file"])
def test_corpus_capture_read_whole_or_refused(corpus_row):
    path, refused = str(CAPTURES / corpus_row["file"]), re.search(r'expected: vexlor raises (\w+) "([^"]*)"',
                                                                  corpus_row["note"])
    if refused:
        with raises_exactly({"RuntimeError": RuntimeError}[refused.group(1)], refused.group(2)):
            vexlor.read_flows(path)
    elif "read differently" not in corpus_row["note"] and corpus_row["packets"][:1].isdigit():  # capinfos' count
        assert sum(f.packet_count for f in vexlor.read_flows(path).flows()) == int(
            re.match(r"\d+", corpus_row["packets"]).group())


# Cooked link layers, tags, label stacks, PPPoE, loopback, GRE and fragments: captures whose every TCP/UDP
# conversation tshark sees in its innermost headers.
INNER = ["pcapplusplus/sll2-276.pcap", "pcapplusplus/eth-ipv4-fragments.pcap", "pcapplusplus/eth-ipv6-fragments.pcap",
         "pcapplusplus/eth-mpls.pcap", "pcapplusplus/eth-pppoe-session.pcap", "pcapplusplus/null0-loopback.pcap",
         "pcapplusplus/pcapng-named-pcap-gre.pcapng", "tcpdump/null0-ipv4-tcp-rst.pcap",
         "pcapplusplus/pcapng-6-interfaces-mixed-tsresol-eth-sll.pcapng"]
PLAIN = ["pcapplusplus/eth-vlan-arp.pcap", "pcapng-test-generator/le-test001-basic.pcapng",
         "pcapplusplus/pcapng-ipsec-ah-esp.pcapng"]


def split(tmp_path, name, *args):
    out = tmp_path / "".join(["out", *args])
    tool("split", CAPTURES / name, out, "--quiet", *args)
    return contents(out)


@wide
@pytest.mark.parametrize("name", INNER + PLAIN + ["tcpdump/eth-udp-vxlan.pcap"])
def test_sessions_are_tsharks_conversations_and_basic_decoding_the_modules(tmp_path, name):
    """Wide decoding (the default) finds tshark's conversations; --decode basic makes the module's files, and so
    does wide decoding of a plain capture."""
    vexlor.split(str(CAPTURES / name), str(tmp_path / "module"))
    ours = split(tmp_path, name)
    assert split(tmp_path, name, "--decode", "basic") == contents(tmp_path / "module")
    assert name not in PLAIN or ours == contents(tmp_path / "module")
    if "vxlan" in name:  # the inner request and reply of a tunnelled ping leave from different outer ports
        (inner,) = [d for n, d in ours.items() if "_1_192_168_203_3_192_168_203_5_" in n]
        assert len(read_pcap(inner)[1]) == 8
    if name not in INNER:
        return
    ours = sorted(len(read_pcap(d)[1]) for n, d in ours.items() if re.search(r"_(6|17)_", n))
    out = subprocess.run(["tshark", "-r", str(CAPTURES / name), "-q", "-z", "conv,tcp", "-z", "conv,udp"],
                         capture_output=True, text=True, check=True).stdout
    theirs = sorted(int(m.group(1)) for m in re.finditer(r"<->.*?\d+ \S+ bytes\s+\d+ \S+ bytes\s+(\d+) ", out))
    if "fragments" in name:  # tshark counts a datagram once, in the frame that completes it; we keep every fragment
        frames = subprocess.run(["tshark", "-r", str(CAPTURES / name)], capture_output=True, text=True).stdout
        ours, theirs = (len(ours), sum(ours)), (len(theirs), len(frames.splitlines()))
    assert ours == theirs


@needs_cli
def test_a_capture_without_ip_is_reported(tmp_path):  # a link type read as raw IP that holds no IP at all
    result = cli("split", write(tmp_path / "odd.pcap", capture([(1, i, bytes(40)) for i in range(3)], linktype=147)),
                 tmp_path / "out", "--quiet")
    assert result.returncode == 0 and b"3 of 3 packets had no IP header (link type 147, not decoded)" in result.stderr


# Writer threads share out the files, never their bytes: every thread count gives the same files, statuses and
# messages, under a tight descriptor cap (files closed and reopened) and with buffering off or wide.
@needs_cli
@pytest.mark.parametrize("options", [[], ["--max-sessions", "3", "--buffer-bytes", "0"],
                                     ["--strategy", "host", "--max-sessions", "7", "--output-type", "l7"]])
def test_writer_threads_change_no_output(tmp_path, big, options):
    sources = [big] + [str(CAPTURES / r["file"]) for r in CORPUS]
    for n, source in enumerate(sources if options else sources[:1]):
        runs = []
        for threads in ["0", "1", "2", "4"]:
            out = tmp_path / ("%d-%s" % (n, threads))
            done = cli("split", source, out, "--quiet", "--writer-threads", threads, *options)
            runs.append((done.returncode, done.stderr.replace(str(out).encode(), b"OUT"),
                         contents(out) if out.exists() else None))
        assert runs[1:] == runs[:1] * 3, source
        assert source != big or len(runs[0][2]) > 100
