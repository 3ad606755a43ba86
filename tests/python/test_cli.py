"""The tool against the module it shares its core with: the same files, rows equal to the archive's queries, the
module's messages with status 1, usage mistakes with status 2; terminals, progress, summary, names, cut-off input."""
import csv, datetime, io, ipaddress, json, os, re, struct, subprocess
from decimal import Decimal

import pytest

import vexlor
from conftest import (ARP, CLI, KEYS, SAMPLE, T, capture, cli, contents, drain, frame, listing, needs_cli,
                      pcapng_block, read_pcap, sessions_bytes, small_capture, write)

pytestmark = needs_cli
PROTO_NAMES = {1: "icmp", 6: "tcp", 17: "udp", 58: "icmpv6"}
# Ties within a flow and across flows, a packet out of time order, and two DNS-over-TLS flows, on top of the sample.
MIXED = SAMPLE + [(T + 1, 0, frame("10.0.0.1", "10.0.0.2", 6, 51000, 80, b"tie-in-flow")),
                  (T - 1, 999995, frame("10.0.0.3", "10.0.0.1", 17, 5353, 53, b"early")),
                  (T + 2, 10, frame("10.0.0.1", "10.0.0.2", 6, 51000, 80, b"tie-across-flows")),
                  (T + 7, 0, frame("10.0.0.5", "10.0.0.1", 6, 40000, 853, b"x")),
                  (T + 7, 0, frame("10.0.0.1", "10.0.0.6", 17, 41000, 853, b"q")), (T + 9, 0, ARP)]


@pytest.fixture
def mixed(tmp_path):
    vexlor.create_archive(write(tmp_path / "mixed.pcap", capture(MIXED)), str(tmp_path / "mixed.vexlor"))
    return str(tmp_path / "mixed.vexlor")


def selected_ids(archive, selectors):
    """Union within a kind of selector, intersection across kinds, from the module's queries."""
    in_prefix = lambda f, v: f.proto and any(ipaddress.ip_address(a) in ipaddress.ip_network(v) for a in (
        f.src_addr, f.dst_addr))  # noqa: E731
    query = {"--ip": lambda v: [f for f in archive.flows() if in_prefix(f, v)] if "/" in v else archive.find_by_ip(v),
             "--port": lambda v: archive.find_by_port(int(v)), "--id": lambda v: [
        f for f in [archive.get_flow(int(v))] if f], "--proto": lambda v: [f for f in archive.flows() if f.proto == int(
            v)] if v.isdigit() else archive.find_by_protocol(v)}
    kinds = {}
    for opt, value in zip(selectors[::2], selectors[1::2]):
        kinds.setdefault(opt, set()).update(f.id for f in query[opt](value))
    return sorted(set.intersection(*kinds.values())) if kinds else [f.id for f in archive.flows()]


# "tool arguments => the module call that makes the same files"; {in} is the capture, {out} the tool's output.
@pytest.mark.parametrize("row", [
    "split {in} {out} => vexlor.split(cap, mod)",
    "split --strategy=flow --max-sessions 1 --buffer-bytes=0 {in} {out} => vexlor.split(cap, mod, strategy='flow', "
    "max_sessions=1, buffer_bytes=0)",
    "split --strategy HOST --output-type L7 -- {in} {out} => vexlor.split(cap, mod, strategy='HOST', output_type='L7')",
    "split {in} {out} --ip 10.0.0.1 --ip=2001:db8::1 --port 80 --port 443 => vexlor.split(cap, mod, ip_filters=["
    "'10.0.0.1', '2001:db8::1'], port_filters=[80, 443])",
    "split - {out} => vexlor.split(cap, mod)", "archive {in} {out} => vexlor.create_archive(cap, mod)",
    *["archive --strategy %s {in} {out} => vexlor.create_archive(cap, mod, strategy='%s')" % (s, s) for s in ("host",
                                                                                                           "mac")],
    "archive {in} {out} --port=53 --ip 10.0.0.3 --max-sessions 2 => vexlor.create_archive(cap, mod, port_filters=[53], "
    "ip_filters=['10.0.0.3'], max_sessions=2)",
    "archive - {out} => vexlor.create_archive(cap, mod)", "split {in} {out} --prefix day1 => vexlor.split(cap, mod)",
    # Address prefixes select what the addresses they hold select (the module skips prefix texts).
    "split {in} {out} --ip 10.0.0.2/31 => vexlor.split(cap, mod, ip_filters=['10.0.0.2', '10.0.0.3'])",
    "split {in} {out} --ip 192.0.2.0/24 --ip 2001:db8::/32 => vexlor.split(cap, mod, ip_filters=['192.0.2.9', "
    "'192.0.2.1', '2001:db8::1', '10.0.0.0/8'])",
    "split {in} {out} --ip 11.0.0.0/8 --ip 10.0.0.3 => vexlor.split(cap, mod, ip_filters=['11.0.0.1', '10.0.0.3'])"])
def test_builds_match_module(tmp_path, row):
    args, call = row.split(" => ")
    cap, mod, out = write(tmp_path / "cap.pcap", capture(MIXED)), str(tmp_path / "mod"), tmp_path / "cli"
    eval(call, dict(vexlor=vexlor, cap=cap, mod=mod))
    command, *rest = args.replace("{in}", cap).replace("{out}", str(out)).split()
    result = cli(command, "--quiet", *rest, input=capture(MIXED))
    assert (result.returncode, result.stdout, result.stderr) == (0, b"", b"")
    expected, stem = contents(mod), "stdin_" if " - " in args else "day1_" if "--prefix" in args else "cap_"
    if isinstance(expected, dict):  # the tool's file stem of "-" is "stdin"
        expected = {n.replace("cap_", stem, 1): b for n, b in expected.items()}
    if ("host" in args or "mac" in args) and command == "archive":  # the tool marks which end each flow is for
        expected, out = [[(f.id, f.src_addr, f.dst_addr, f.total_bytes, len(f.packets())) for f in a.flows()]
                         for a in (vexlor.Archive.open(mod), vexlor.Archive.open(str(out)))]
    assert contents(out) == expected != {} if not isinstance(out, list) else out == expected


SELECTORS = [[], ["--port", "53"], ["--port", "53", "--port", "853"], ["--ip", "10.0.0.1", "--port", "853"],
             ["--proto", "TCP", "--proto", "icmp"], ["--proto", "17", "--ip", "::ffff:10.0.0.1", "--ip", "10.0.0.6"],
             ["--ip", "::"], ["--port", "9"], ["--ip", "10.0.0.0/30"], ["--ip", "::/0"],
             ["--ip", "192.0.2.0/24", "--ip", "2001:db8::/32"]]


@pytest.mark.parametrize("selectors", SELECTORS)
def test_flows_match_archive_queries(mixed, selectors):
    """The JSON rows are the module's flows; CSV and the table say the same, with the start time in UTC."""
    archive = vexlor.Archive.open(mixed)
    runs = [cli("flows", mixed, "--format", f, *selectors) for f in ("json", "csv", "table")]
    rows = json.loads(runs[0].stdout, parse_float=Decimal)
    records, table = list(csv.reader(io.StringIO(runs[1].stdout.decode()))), runs[2].stdout.decode().splitlines()
    assert [r.returncode for r in runs] == [0, 0, 0] and len(records) == len(table) == len(rows) + 1
    assert records[0] == KEYS and table[0].split() == [k.upper() for k in KEYS]
    for row, record, line in zip(rows, records[1:], table[1:]):
        assert list(row) == KEYS
        start = datetime.datetime(1970, 1, 1) + datetime.timedelta(microseconds=int(row["start"] * 10**6))
        assert record == [str(row[k]) if k != "start" else start.strftime("%Y-%m-%d %H:%M:%S.%f") for k in KEYS]
        assert line.split() == record[:8] + record[8].split() + [record[9]]
        row["start"], row["duration"] = int(row["start"] * 10**6), int(row["duration"] * 10**6)
    assert rows == [dict(
        id=f.id, protocol=PROTO_NAMES.get(f.proto, str(f.proto)), src_ip=str(ipaddress.ip_address(f.src_addr)),
        dst_ip=str(ipaddress.ip_address(f.dst_addr)), src_port=f.src_port, dst_port=f.dst_port, packets=f.packet_count,
        bytes=f.total_bytes, start=round(f.start_ts * 10**6), duration=round((f.end_ts - f.start_ts) * 10**6))
        for f in map(archive.get_flow, selected_ids(archive, selectors))]
    assert selectors or any(row["duration"] < 0 for row in rows)  # the DNS packet out of order: ends before it starts


@pytest.mark.parametrize("selectors,dest", [(s, ["file", "stdout"][i % 2]) for i, s in enumerate(SELECTORS[1:])] + [
    (["--id", "2", "--id", "1", "--id", "99"], "file")])
def test_extract_packets_in_time_order(tmp_path, mixed, selectors, dest):
    archive = vexlor.Archive.open(mixed)
    chosen = [(p.ts_sec, p.ts_usec, p.orig_len, p.data) for fid in selected_ids(archive, selectors)
              for p in archive.get_flow(fid).packets()]
    # Equal times in capture order: the packets as filtering the capture gives them, then stably sorted by time.
    expected = sorted((r for r in read_pcap(open(mixed[:-len("vexlor")] + "pcap", "rb").read())[1]
                       if r in chosen), key=lambda r: r[:2])
    assert sorted(expected) == sorted(chosen)
    result = cli("extract", mixed, *selectors, *(["-o", tmp_path / "x.pcap"] if dest == "file" else []))
    warned = b"vexlor: warning: no flow has id 99 in %s\n" % str(mixed).encode() if "99" in selectors else b""
    assert (result.returncode, result.stderr) == (0, warned)
    if dest == "file":
        assert result.stdout == b"" and listing(tmp_path) == ["mixed.pcap", "mixed.vexlor", "x.pcap"]
    assert read_pcap((tmp_path / "x.pcap").read_bytes() if dest == "file" else result.stdout) == (1, expected)


def test_extract_broken_pipe_is_quiet(tmp_path):
    vexlor.create_archive(write(tmp_path / "big.pcap", sessions_bytes(1, 300, 1400)), str(tmp_path / "a"))
    proc = subprocess.Popen([str(CLI), "extract", tmp_path / "a", "--port", "80"], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)
    proc.stdout.close()  # more than a pipe holds is waiting to be written
    assert (proc.stderr.read(), proc.wait()) == (b"", 1)


def run_on_terminal(args, stream, input=None):
    """The tool with `stream` on a pseudo-terminal, the other on a pipe: (status, terminal bytes, pipe bytes)."""
    master, slave = os.openpty()
    other = "stderr" if stream == "stdout" else "stdout"
    result = subprocess.run([str(CLI), *map(str, args)], input=input, **{stream: slave, other: subprocess.PIPE})
    os.close(slave)
    return result.returncode, drain(master), getattr(result, other)


@pytest.mark.parametrize("command", ["split", "archive"])
@pytest.mark.parametrize("quiet", [False, True])
def test_progress_only_on_a_terminal_and_the_summary(tmp_path, command, quiet):
    args = [command, write(tmp_path / "cap.pcap", capture(SAMPLE)), tmp_path / "out"] + (["--quiet"] * quiet)
    status, seen, _ = run_on_terminal(args, "stderr")
    # The progress line's last state, then the summary line; on a pipe, only the summary line; nothing with --quiet.
    assert status == 0 and (seen == b"" if quiet else seen.startswith(b"\r") and b"(100%)" in seen and
                            b"7 packets" in seen and seen.endswith(b"\n") and seen.count(b"\n") == 2), seen
    err = cli(*args).stderr
    summary = (b"5 files, %d B" % sum(map(len, contents(tmp_path / "out").values())) if command == "split" else
               rb"1 file, [0-9.]+ kB")
    assert re.fullmatch(rb"vexlor: 7 packets, 5 flows, %s written, 1 packet without IP, \d+\.\d s\n" % summary, err) \
        if not quiet else err == b"", err


def test_progress_of_a_pipe_counts_what_it_gave(tmp_path):
    """A pipe's size is not known: no total, share or time left, and its bytes at the end."""
    status, seen, _ = run_on_terminal(["split", "-", tmp_path / "out"], "stderr", input=capture(SAMPLE))
    last = [line for line in seen.split(b"\n")[0].split(b"\r") if line][-1]  # the terminal ends lines in \r\n
    assert status == 0 and re.fullmatch(rb"[0-9.]+ [kM]?B  7 packets  [0-9.]+ MB/s *", last), seen


def test_extract_refuses_a_terminal(tmp_path, mixed):
    status, seen, err = run_on_terminal(["extract", mixed, "--port", "53"], "stdout")
    assert (status, seen, err) == (2, b"", b"vexlor: refusing to write pcap data to a terminal; use -o FILE or a "
                                           b"pipe\nTry 'vexlor extract --help'.\n")
    status, seen, _ = run_on_terminal(["extract", mixed, "--port", "53", "-o", tmp_path / "x.pcap"], "stdout")
    assert (status, seen) == (0, b"") and (tmp_path / "x.pcap").exists()


COMPRESSED = {"gzip": b"\x1f\x8b\x08\x00", "zstd": b"\x28\xb5\x2f\xfd\x00", "xz": b"\xfd7zXZ\x00\x00",
              "bzip2": b"BZh91AY"}
STRATEGIES = "session, flow, host, hostpair, mac, bssid, nosplit"


# "tool arguments => status: text". Status 0: the first line of the output (help and version); 1: the message on
# standard error; 2: a usage mistake, whose message is followed by where
# to look. A text that starts with "~" is a pattern.
@pytest.mark.parametrize("row", [
    "-h => 0: Usage: vexlor COMMAND [OPTIONS] ARGS...", "--version => 0: vexlor 0.1.0",
    "split --help => 0: Usage: vexlor split INPUT... OUTDIR [OPTIONS]",
    "archive x --bogus -h => 0: Usage: vexlor archive INPUT... OUTPUT [OPTIONS]",
    "flows --help => 0: Usage: vexlor flows ARCHIVE... [OPTIONS]",
    "extract --help => 0: Usage: vexlor extract ARCHIVE... SELECTOR... [-o FILE]",
    # The function's words, and the reason besides.
    "archive {cap} {tmp}/no/a.vexlor => 1: Failed to create temp archive file: {tmp}/no/a.vexlor.tmp: No such file or "
    "directory (os error 2)",
    "split {tmp}/nope.pcap out => 1: cannot read {tmp}/nope.pcap: No such file or directory (os error 2)",
    "archive {tmp}/*.none a.vexlor => 1: no file matches {tmp}/*.none",
    "split {text} out => 1: {text}: Unsupported file format (unknown magic number)",
    "split {cap} {text} => 1: cannot write {text}: Not a directory (os error 20)",
    "flows {tmp}/nope => 1: cannot open archive {tmp}/nope: No such file or directory (os error 2)",
    "extract {short} --id 1 -o x.pcap => 1: cannot open archive {short}: File too small to be a valid archive",
    *[r"split {%s} out => 1: ~(corrupt|truncated) %s stream at byte \d+ of {%s}.*" % (k, k, k) for k in COMPRESSED],
    " => 2: missing command", "frob => 2: unknown command 'frob'", "--frob => 2: unknown option '--frob'",
    "split {cap} {cap} {out} --combine zip => 2: unknown way to combine 'zip' (valid: concat, merge)",
    *["split {cap} {cap} {out} --jobs %s => 2: invalid value '%s' for --jobs: expected a number from 1 to 4294967295"
      % (v, v) for v in ("x", "0")],
    *["split {cap} {out} --idle-timeout=%s => 2: ~invalid value '%s' for --idle-timeout.*" % (v, re.escape(v))
      for v in ("-1", "1.", ".5", "1.2345678", "x", "1e3", "0", "0.000000")],
    "split {cap} => 2: missing OUTDIR",
    *["%s {cap} {cap} {out} --combine concat %s => 2: %s is for one output per input: not with --combine, which makes "
      "one of all" % (c, o, o) for c, o in (("split", "--list"), ("archive", "--each"))],
    "split - {cap} {out} => 2: standard input (-) cannot be one of several inputs",
    "split {cap} {out} --port 65536 => 2: invalid value '65536' for --port: expected a number from 0 to 65535",
    "split {cap} {out} --max-sessions=4294967296 => 2: invalid value '4294967296' for --max-sessions: expected a "
    "number from 0 to 4294967295",
    "split {cap} {out} --buffer-bytes -1 => 2: invalid value '-1' for --buffer-bytes: expected a number from 0 to "
    "18446744073709551615",
    "split {cap} {out} --quiet=yes => 2: option '--quiet' takes no value",
    "split {cap} {out} --strategy sess => 2: unknown strategy 'sess' (valid: %s)" % STRATEGIES,
    "archive {cap} {out} --strategy Bogus => 2: unknown strategy 'Bogus' (valid: %s)" % STRATEGIES,
    "split {cap} {out} --output-type csv => 2: unknown output type 'csv' (valid: pcap, l7)",
    "split {cap} {out} --ip 10.0.0.300 => 2: invalid IP address '10.0.0.300'",
    "archive {cap} {out} --ip 10.0.0.0/33 => 2: invalid IP prefix '10.0.0.0/33'",
    "split {cap} {out} --ip 2001:db8::/129 => 2: invalid IP prefix '2001:db8::/129'",
    *["split {cap} {out} --memory %s => 2: invalid value '%s' for --memory: expected a size such as 512M or 2G (K, M, "
      "G: units of 1024)" % (v, v) for v in ("0", "5X", "M", "17179869184G")],
    "split {cap} {out} --prefix a/b => 2: invalid value 'a/b' for --prefix: expected a file name without '/'",
    "archive {cap} {out} --port 8O => 2: invalid value '8O' for --port: expected a number from 0 to 65535",
    "archive {cap} {out} --output-type l7 => 2: unknown option '--output-type'", "flows => 2: missing ARCHIVE",
    "flows {arc} --format xml => 2: invalid value 'xml' for --format: expected table, csv, json or parquet",
    "flows {arc} --proto 256 => 2: invalid value '256' for --proto: expected a number from 0 to 255",
    r"flows {arc} --proto bogus => 2: ~unknown protocol 'bogus' \(valid: icmp, [a-z0-9, ]+, udplite, or a number "
    r"from 0 to 255\)",
    "flows {arc} --id 1 => 2: unknown option '--id'", "flows {arc} --ip 1.2.3 => 2: invalid IP address '1.2.3'",
    "extract {arc} --ip ::1:: => 2: invalid IP address '::1::'",
    *["flows {arc} --since %s => 2: ~invalid value '%s' for --since: expected a UTC time .*" % (d, d)
      for d in ("2023-02-29", "1900-02-29", "2023-04-31", "2023-13-01")],
    "archive {cap} {tmp} => 1: Output path {tmp} is a directory (--each writes the archive of one input into it)",
    "extract {arc} => 2: extract needs at least one of --id, --ip, --port, --proto, --since, --until",
    "extract {arc} --id 1 -o => 2: option '-o' needs a value",
    "extract {arc} --id x => 2: invalid value 'x' for --id: expected a number from 0 to 18446744073709551615",
    "extract {arc} --id 999 -o x.pcap => 1: no flow has id 999 in {arc}",
    "bytes {cap} --first -1 -o b.npy => 2: invalid value '-1' for --first: expected a number from 1 to 1048576",
    *["flows {arc} --since %s --until %s => 2: --since is later than --until: no flow could be chosen" % t
      for t in (("2024-01-02T00:00:01", "2024-01-02"), ("1700000000.000011", "1700000000.0000109"),
                ("1700000000.0000005", "1700000000.0000001"))],
    "flows {arc} --since 1700000000.0000061 --until 1700000000.0000069 --format csv => 0: id,protocol,src_ip,dst_ip,"
    "src_port,dst_port,packets,bytes,start,duration",  # a part of a microsecond apart, rounded: none between
    # Damaged archives are refused whole, named: cut short, or a stored packet running past the end.
    *["%s {cut} => 1: cannot open archive {cut}: Invalid archive footer" % c
      for c in ("table", "bytes --first 8 -o b.npy", "flows")],
    *["%s {damaged} => 1: {damaged}: flow 1: its stored packet at byte 64 runs past the end of the file" % c
      for c in ("table -o t.csv", "extract --id 1 -o x.pcap")],
    # The header and footer name the format and its version: another is refused, not misread.
    "flows {v3} => 1: cannot open archive {v3}: archive format version 3: this reader reads version 2",
    "table {v3} => 1: {v3}: archive format version 3: this reader reads version 2",
    "extract {junk} --id 1 -o x.pcap => 1: cannot open archive {junk}: not an archive: its header does not start "
    "with VEXLOR02",
    "flows {v0} => 1: cannot open archive {v0}: damaged archive: its format version is 2 in the magic, 2 in the "
    "header and 0 in the footer: this reader reads version 2",
    "flows {arc} --until 2024 => 2: ~invalid value '2024' for --until: expected a UTC time .*",  # a year?
    *["flows {arc} --since %s --format csv => 0: id,protocol,src_ip,dst_ip,src_port,dst_port,packets,bytes,start,"
      "duration" % t for t in ("0", ".5", "100")]])  # seconds since the epoch, however short
def test_statuses_and_messages(tmp_path, row):
    args, _, expected = row.partition(" => ")
    status, text = int(expected[0]), expected[3:]
    names = dict(tmp=str(tmp_path), cap=write(tmp_path / "cap.pcap", capture(SAMPLE)), out=str(tmp_path / "out"),
                 text=write(tmp_path / "text", b"hello, this is text\n"), short=write(tmp_path / "s", bytes(100)),
                 arc=str(tmp_path / "a.vexlor"), **{k: write(tmp_path / ("c." + k), m + bytes(64))
                                                    for k, m in COMPRESSED.items()})
    vexlor.create_archive(names["cap"], names["arc"])
    stored = open(names["arc"], "rb").read()
    footer = len(stored) - 128
    names.update(v3=write(tmp_path / "v3.vexlor", b"VEXLOR03\3" + stored[9:footer + 8] + b"\3" + stored[footer + 9:]),
                 junk=write(tmp_path / "junk.vexlor", b"AGE!" * 16 + stored[64:]),
                 v0=write(tmp_path / "v0.vexlor", stored[:footer + 8] + b"\0" + stored[footer + 9:]))
    names.update(cut=write(tmp_path / "cut.vexlor", stored[:-50]),
                 damaged=write(tmp_path / "damaged.vexlor", stored[:72] + b"\0\xff\xff\x7f" + stored[76:]))
    before, result, text = listing(tmp_path), cli(*args.format(**names).split(), cwd=tmp_path), text.format(**names)
    command = " ".join(["vexlor"] + [a for a in args.split()[:1] if a in ("split", "archive", "flows", "extract", "bytes")])
    out, err = result.stdout.decode(), result.stderr.decode()
    expected = ["", "vexlor: %s\n", "vexlor: %s\nTry '" + command + " --help'.\n"][status]
    assert (result.returncode, out.split("\n")[0] if status == 0 else out) == (status, text if status == 0 else "")
    assert re.fullmatch(expected % text[1:], err) if text.startswith("~") else status == 0 or err == expected % text
    assert listing(tmp_path) == before  # nothing written


@pytest.mark.parametrize("args", [["--version"], ["table", "--help"], ["split", "{cap}", "out", "--list"]])
def test_output_that_standard_output_cannot_take_fails(tmp_path, args):
    cap = write(tmp_path / "cap.pcap", capture(SAMPLE))
    with open("/dev/full", "wb") as full:
        r = subprocess.run([CLI, *(a.format(cap=cap) for a in args)], stdout=full, stderr=subprocess.PIPE, cwd=tmp_path)
    assert (r.returncode, r.stderr) == (1, b"vexlor: Failed to write standard output: No space left on device (os "
                                           b"error 28)\n")


def test_cut_off_last_record_keeps_the_packets_before_it(tmp_path):
    """The tool warns and keeps what came before; --strict refuses any cut, pcap or pcapng, and publishes nothing."""
    whole, last = capture(SAMPLE), len(capture(SAMPLE[:-1]))
    vexlor.split(write(tmp_path / "ref" / "cap.pcap", capture(SAMPLE[:-1])), str(tmp_path / "ref" / "out"))
    for cut in (last + 1, last + 15, last + 16, len(whole) - 1):
        cap, out = write(tmp_path / str(cut) / "cap.pcap", whole[:cut]), tmp_path / str(cut)
        result, dropped = cli("split", cap, out / "out", "--quiet"), "%d byte%s" % (cut - last, "s" * (cut - last > 1))
        assert (result.returncode, result.stderr.decode()) == (0, "vexlor: warning: %s: last record cut off at byte "
                                                                  "%d (%s dropped)\n" % (cap, last, dropped))
        assert contents(out / "out") == contents(tmp_path / "ref" / "out")
        table = cli("table", cap, "--quiet", "-o", out / "t.csv")  # tables warn alike
        assert (table.returncode, table.stderr) == (0, result.stderr)
        # After a whole record header the module's own refusal; before it, the cut itself.
        why = ("packet incl_len %d exceeds remaining data at offset %d" % (len(SAMPLE[-1][2]), last + 16)
               if cut - last >= 16 else "last record cut off at byte %d (%s dropped)" % (last, dropped))
        strict = cli("split", cap, out / "strict", "--strict", "--quiet")
        assert (strict.returncode, strict.stderr.decode()) == (1, "vexlor: %s: Invalid PCAP format: %s\n" % (cap, why))
        assert contents(out / "strict") == {}  # nothing, not even a temporary file
    # A length no writer writes is damage, not a cut: the records after it are not dropped with a warning.
    damaged = write(tmp_path / "damaged.pcap", whole[:32] + struct.pack("<I", 0x7FFFFFFF) + whole[36:])
    result = cli("split", damaged, tmp_path / "damaged", "--quiet")
    assert (result.returncode, result.stderr.decode()) == (1, "vexlor: %s: Invalid PCAP format: packet incl_len "
                                                              "2147483647 exceeds remaining data at offset 40\n" % damaged)
    assert contents(tmp_path / "damaged") == {}
    ng = small_capture(3, ng=True)
    cap = write(tmp_path / "ng" / "cap.pcapng", ng[:-5])
    d = tmp_path / "ng"
    for args in (["split", cap, d / "o"], ["archive", cap, d / "a.vexlor"], ["table", cap, "-o", d / "t.csv"],
                 ["bytes", cap, "--first", "8", "-o", d / "b.npy"]):
        assert cli(*args, "--quiet").returncode == 0
        strict = cli(*args, "--quiet", "--strict")
        assert strict.returncode == 1 and b"Invalid PCAP-NG format: last record cut off at byte" in strict.stderr


def test_table_of_an_archive_set(tmp_path):
    """A directory of archives and a job's manifest stand for their archives, each read once."""
    caps = [write(tmp_path / name, capture(records)) for name, records in (("a.pcap", SAMPLE), ("b.pcap", MIXED))]
    assert cli("archive", *caps, tmp_path / "set", "--quiet").returncode == 0
    tables = [cli("table", *args, "--quiet").stdout for args in (
        [tmp_path / "set"], [tmp_path / "set" / "vexlor-manifest.jsonl"],
        [tmp_path / "set" / "a.vexlor", tmp_path / "set", tmp_path / "set" / "b.vexlor"])]
    # Named twice, an archive is listed and extracted once too.
    for command in (["flows", "--format", "csv"], ["extract", "--proto", "udp"]):
        assert len({cli(command[0], *paths, *command[1:]).stdout for paths in (
            [tmp_path / "set", tmp_path / "set" / "b.vexlor"],
            [tmp_path / "set", tmp_path / "set" / "b.vexlor", tmp_path / "set" / "a.vexlor"])}) == 1
    # Control characters in an archive's name are escaped in the JSON listing.
    odd = tmp_path / "new\nline\t.vexlor"
    os.link(tmp_path / "set" / "a.vexlor", odd)
    assert {f["archive"] for f in json.loads(cli("flows", odd, tmp_path / "set" / "b.vexlor", "--format",
                                                 "json").stdout)} == {str(odd), str(tmp_path / "set" / "b.vexlor")}
    rows = list(csv.DictReader(io.StringIO(tables[0].decode())))
    assert tables[1:] == tables[:1] * 2 and {r["input"] for r in rows} == {str(tmp_path / "set" / n) for n in (
        "a.vexlor", "b.vexlor")}
    assert [r["id"] for r in rows] == [str(f.id) for a in "ab" for f in vexlor.Archive.open(
        str(tmp_path / "set" / (a + ".vexlor"))).flows() if f.packet_count]
    # The set's flow listing as Parquet: the JSON listing's rows, times in microseconds.
    pq = pytest.importorskip("pyarrow.parquet")
    listed = json.loads(cli("flows", tmp_path / "set", "--format", "json").stdout)
    got = pq.read_table(io.BytesIO(cli("flows", tmp_path / "set", "--format", "parquet").stdout)).to_pylist()
    assert [{k: r[k] for k in listed[0] if k not in ("start", "duration")} for r in got] == [
        {k: v for k, v in f.items() if k not in ("start", "duration")} for f in listed]
    assert [(r["first_us"], r["last_us"] - r["first_us"]) for r in got] == [
        (round(f["start"] * 1e6), round(f["duration"] * 1e6)) for f in listed]


@pytest.mark.parametrize("flows", [0, 3, 70000])  # none; one row group; two (a group holds 65,536 rows)
def test_table_as_parquet(tmp_path, flows):
    """The same rows as the CSV the Python package reads, typed, in row groups of bounded size."""
    pq = pytest.importorskip("pyarrow.parquet")
    from vexlor_dataset import flow_table
    records = [(T + i // 1000, i % 1000, frame("10.%d.%d.1" % (i >> 8 & 255, i & 255), "10.0.0.2", 17, 1000 + i % 7,
                                               53, b"x" * (i % 5))) for i in range(flows)]
    cap = write(tmp_path / "c.pcap", capture(records + SAMPLE[:flows]))
    assert cli("table", cap, "--format", "parquet", "-o", tmp_path / "t.parquet", "--quiet").returncode == 0
    got = pq.ParquetFile(str(tmp_path / "t.parquet"))
    assert got.num_row_groups == (flows > 65536) + (flows > 0)
    assert got.read().to_pylist() == flow_table(cap).to_pylist()


def test_an_archive_of_interfaces_of_two_link_types_warns_of_the_packets_stored_under_the_first(tmp_path):
    e, eth = "<", frame("10.0.0.1", "10.0.0.2", 17, 1000, 53, b"q" * 20)
    blocks = [pcapng_block(e, 0x0A0D0D0A, struct.pack(e + "IHHq", 0x1A2B3C4D, 1, 0, -1)),
              pcapng_block(e, 1, struct.pack(e + "HHI", 1, 0, 65535)),
              pcapng_block(e, 1, struct.pack(e + "HHI", 101, 0, 65535))]  # raw IP
    for n, (interface, data) in enumerate([(0, eth), (1, eth[14:]), (1, eth[14:])]):
        blocks.append(pcapng_block(e, 6, struct.pack(e + "IIIII", interface, 0, n, len(data), len(data)) + data))
    cap = write(tmp_path / "two.pcapng", b"".join(blocks))
    r = cli("archive", cap, tmp_path / "a.vexlor", "--quiet")
    assert (r.returncode, r.stderr.decode()) == (0, "vexlor: warning: 2 packets of other link types than the first "
                                                    "interface's (1, Ethernet) stored under it: an archive holds one "
                                                    "link type, and extract and table read them as that one (split "
                                                    "keeps them apart)\n")
    split = cli("split", cap, tmp_path / "out", "--quiet")
    assert (split.returncode, split.stderr) == (0, b"") and any("_lt101_" in p for p in contents(tmp_path / "out"))
