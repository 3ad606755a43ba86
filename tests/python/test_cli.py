"""The vexlor command-line tool, checked against the module it shares its core with: the same files, rows equal to
the archive's queries, the module's messages with status 1, usage mistakes with status 2, terminals."""
import csv
import datetime
import io
import ipaddress
import json
import os
import pathlib
import shutil
import subprocess
import sys
from decimal import Decimal

import pytest

import vexlor
from conftest import ARP, SAMPLE, contents, eth, ipv4, listing, pcap_bytes, read_pcap, sessions_bytes, tcp4, udp, write

CLI = pathlib.Path(sys.executable).parent / "vexlor"
pytestmark = pytest.mark.skipif(not CLI.exists(), reason="the vexlor tool is not installed beside %s" % sys.executable)
KEYS = ["id", "protocol", "src_ip", "dst_ip", "src_port", "dst_port", "packets", "bytes", "start", "duration"]
PROTO_NAMES = {1: "icmp", 6: "tcp", 17: "udp", 58: "icmpv6"}
T = 1700000000
# Ties within a flow and across flows, a packet out of time order, and two DNS-over-TLS flows, on top of the sample.
MIXED = SAMPLE + [
    (T + 1, 0, tcp4("10.0.0.1", "10.0.0.2", 51000, 80, b"tie-in-flow")),
    (T - 1, 999995, eth(ipv4("10.0.0.3", "10.0.0.1", 17, udp(5353, 53, b"early")))),
    (T + 2, 10, tcp4("10.0.0.1", "10.0.0.2", 51000, 80, b"tie-across-flows")),
    (T + 7, 0, tcp4("10.0.0.5", "10.0.0.1", 40000, 853, b"x")),
    (T + 7, 0, eth(ipv4("10.0.0.1", "10.0.0.6", 17, udp(41000, 853, b"q")))),
    (T + 9, 0, eth(ARP + bytes(18), 0x0806, dst=0xFF)),
]


def run(*args, stdin=None, **kw):
    return subprocess.run([str(CLI), *map(str, args)], input=stdin, capture_output=True, **kw)


@pytest.fixture
def mixed(tmp_path):
    vexlor.create_archive(write(tmp_path / "mixed.pcap", pcap_bytes(MIXED)), str(tmp_path / "mixed.vexlor"))
    return str(tmp_path / "mixed.vexlor")


def selected_ids(archive, selectors):
    """Union within a kind of selector, intersection across kinds, from the module's queries."""
    query = {"--ip": archive.find_by_ip, "--port": lambda v: archive.find_by_port(int(v)),
             "--proto": lambda v: ([f for f in archive.flows() if f.proto == int(v)] if v.isdigit()
                                   else archive.find_by_protocol(v)),
             "--id": lambda v: [f for f in [archive.get_flow(int(v))] if f]}
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
    "archive --strategy host {in} {out} => vexlor.create_archive(cap, mod, strategy='host')",
    "archive {in} {out} --port=53 --ip 10.0.0.3 --max-sessions 2 => vexlor.create_archive(cap, mod, port_filters=[53], "
    "ip_filters=['10.0.0.3'], max_sessions=2)",
    "archive - {out} => vexlor.create_archive(cap, mod)",
])
def test_builds_match_module(tmp_path, row):
    args, call = row.split(" => ")
    cap, mod, cli = write(tmp_path / "cap.pcap", pcap_bytes(MIXED)), str(tmp_path / "mod"), tmp_path / "cli"
    eval(call, dict(vexlor=vexlor, cap=cap, mod=mod))
    command, *rest = args.replace("{in}", cap).replace("{out}", str(cli)).split()
    result = run(command, "--quiet", *rest, stdin=pcap_bytes(MIXED))
    assert (result.returncode, result.stdout, result.stderr) == (0, b"", b"")
    expected = contents(mod)
    if isinstance(expected, dict) and " - " in args:  # the tool's file stem of "-" is "stdin"
        expected = {n.replace("cap_", "stdin_", 1): b for n, b in expected.items()}
    if "host" in args and command == "archive":  # the tool marks which address each host flow is for
        expected, cli = [[(f.id, f.src_addr, f.dst_addr, f.total_bytes, len(f.packets())) for f in a.flows()]
                         for a in (vexlor.Archive.open(mod), vexlor.Archive.open(str(cli)))]
    assert contents(cli) == expected != {} if not isinstance(cli, list) else cli == expected


SELECTORS = [[], ["--port", "53"], ["--port", "53", "--port", "853"], ["--ip", "10.0.0.1", "--port", "853"],
             ["--proto", "TCP", "--proto", "icmp"], ["--proto", "17", "--ip", "::ffff:10.0.0.1", "--ip", "10.0.0.6"],
             ["--ip", "::"], ["--port", "9"]]


@pytest.mark.parametrize("selectors", SELECTORS)
def test_flows_match_archive_queries(mixed, selectors):
    """The JSON rows are the module's flows; CSV and the table say the same, with the start time in UTC."""
    archive = vexlor.Archive.open(mixed)
    json_out, csv_out, table_out = [run("flows", mixed, "--format", f, *selectors) for f in ("json", "csv", "table")]
    assert (json_out.returncode, csv_out.returncode, table_out.returncode) == (0, 0, 0)
    rows = json.loads(json_out.stdout, parse_float=Decimal)
    records, table = list(csv.reader(io.StringIO(csv_out.stdout.decode()))), table_out.stdout.decode().splitlines()
    assert records[0] == KEYS and table[0].split() == [k.upper() for k in KEYS]
    assert len(records) == len(table) == len(rows) + 1
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
    (["--id", "2", "--id", "1", "--id", "99"], "file"), (["--port", "53"], "tshark")])
def test_extract_packets_in_time_order(tmp_path, mixed, selectors, dest):
    archive = vexlor.Archive.open(mixed)
    expected = sorted(((p.ts_sec, p.ts_usec, p.orig_len, p.data) for fid in selected_ids(archive, selectors)
                       for p in archive.get_flow(fid).packets()), key=lambda r: r[:2])  # stable: flow-id order
    if dest == "tshark":
        if shutil.which("tshark") is None:
            pytest.skip("tshark is not installed")
        result = subprocess.run("'%s' extract '%s' %s | tshark -r - -T fields -e frame.len" % (
            CLI, mixed, " ".join(selectors)), shell=True, capture_output=True)
        assert (result.returncode, result.stdout.split()) == (0, [b"%d" % r[2] for r in expected]), result.stderr
        return
    result = run("extract", mixed, *selectors, *(["-o", tmp_path / "x.pcap"] if dest == "file" else []))
    assert (result.returncode, result.stderr) == (0, b"")
    if dest == "file":
        assert result.stdout == b"" and sorted(os.listdir(tmp_path)) == ["mixed.pcap", "mixed.vexlor", "x.pcap"]
    assert read_pcap((tmp_path / "x.pcap").read_bytes() if dest == "file" else result.stdout) == (1, expected)


def test_extract_broken_pipe_is_quiet(tmp_path):
    arc = str(tmp_path / "big.vexlor")
    vexlor.create_archive(write(tmp_path / "big.pcap", sessions_bytes(1, 300, 1400)), arc)
    proc = subprocess.Popen([str(CLI), "extract", arc, "--port", "80"], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    proc.stdout.close()  # more than a pipe holds is waiting to be written
    assert (proc.stderr.read(), proc.wait()) == (b"", 1)


def run_on_terminal(args, stream):
    """Runs the tool with `stream` ("stdout" or "stderr") on a pseudo-terminal and the other on a pipe; returns
    (status, terminal bytes, pipe bytes)."""
    master, slave = os.openpty()
    other = "stderr" if stream == "stdout" else "stdout"
    result = subprocess.run([str(CLI), *map(str, args)], **{stream: slave, other: subprocess.PIPE})
    os.close(slave)
    seen = b""
    try:  # what the tool wrote, then EIO: the terminal is gone
        while chunk := os.read(master, 4096):
            seen += chunk
    except OSError:
        os.close(master)
    return result.returncode, seen, getattr(result, other)


@pytest.mark.parametrize("command", ["split", "archive"])
@pytest.mark.parametrize("quiet", [False, True])
def test_progress_only_on_a_terminal(tmp_path, command, quiet):
    args = [command, write(tmp_path / "cap.pcap", pcap_bytes(MIXED)), tmp_path / "out"] + (["--quiet"] * quiet)
    status, seen, _ = run_on_terminal(args, "stderr")
    assert status == 0
    if not quiet:
        assert seen.startswith(b"\r") and b"(100%)" in seen and b"13 packets" in seen
        # The progress line's last state, then the summary line.
        assert seen.endswith(b"\n") and seen.count(b"\n") == 2
    else:
        assert seen == b""
    # Standard error that is no terminal gets no progress, only the summary line.
    assert run(*args).stderr.count(b"\n") == (0 if quiet else 1)


def test_extract_refuses_a_terminal(tmp_path, mixed):
    status, seen, err = run_on_terminal(["extract", mixed, "--port", "53"], "stdout")
    assert (status, seen, err) == (2, b"", b"vexlor: refusing to write pcap data to a terminal; use -o FILE or a "
                                           b"pipe\nTry 'vexlor extract --help'.\n")
    status, seen, _ = run_on_terminal(["extract", mixed, "--port", "53", "-o", tmp_path / "x.pcap"], "stdout")
    assert (status, seen) == (0, b"") and (tmp_path / "x.pcap").exists()


# "tool arguments => status: text". Status 0: the first line of the output (help and version); 1: the message on
# standard error, given as the module call that fails the same way (or the text); 2: a usage mistake, whose message
# is followed by where to look.
@pytest.mark.parametrize("row", [
    "-h => 0: Usage: vexlor COMMAND [OPTIONS] ARGS...", "--version => 0: vexlor 0.1.0",
    "split --help => 0: Usage: vexlor split INPUT... OUTDIR [OPTIONS]",
    "archive x --bogus -h => 0: Usage: vexlor archive INPUT... OUTPUT [OPTIONS]",
    "flows --help => 0: Usage: vexlor flows ARCHIVE... [OPTIONS]",
    "extract --help => 0: Usage: vexlor extract ARCHIVE... SELECTOR... [-o FILE]",
    "archive {cap} {tmp}/no/a.vexlor => 1: vexlor.create_archive(cap, tmp + '/no/a.vexlor')",
    " => 2: missing command", "frob => 2: unknown command 'frob'", "--frob => 2: unknown option '--frob'",
    "split {cap} => 2: missing OUTDIR", "split {cap} {out} extra => 2: unexpected argument 'extra'",
    "split {cap} {out} --port 65536 => 2: invalid value '65536' for --port: expected a number from 0 to 65535",
    "split {cap} {out} --max-sessions=4294967296 => 2: invalid value '4294967296' for --max-sessions: expected a "
    "number from 0 to 4294967295",
    "split {cap} {out} --buffer-bytes -1 => 2: invalid value '-1' for --buffer-bytes: expected a number from 0 to "
    "18446744073709551615",
    "split {cap} {out} --quiet=yes => 2: option '--quiet' takes no value",
    "archive {cap} {out} --port 8O => 2: invalid value '8O' for --port: expected a number from 0 to 65535",
    "archive {cap} {out} --output-type l7 => 2: unknown option '--output-type'", "flows => 2: missing ARCHIVE",
    "flows {arc} --format xml => 2: invalid value 'xml' for --format: expected table, csv or json",
    "flows {arc} --proto 256 => 2: invalid value '256' for --proto: expected a number from 0 to 255",
    "flows {arc} --id 1 => 2: unknown option '--id'",
    "extract {arc} => 2: extract needs at least one of --id, --ip, --port, --proto",
    "extract {arc} --id 1 -o => 2: option '-o' needs a value",
    "extract {arc} --id x => 2: invalid value 'x' for --id: expected a number from 0 to 18446744073709551615",
])
def test_statuses_and_messages(tmp_path, row):
    args, _, expected = row.partition(" => ")
    status, text = int(expected[0]), expected[3:]
    names = dict(tmp=str(tmp_path), cap=write(tmp_path / "cap.pcap", pcap_bytes(SAMPLE)), out=str(tmp_path / "out"),
                 text=write(tmp_path / "text", b"hello, this is text\n"), short=write(tmp_path / "s", bytes(100)),
                 arc=str(tmp_path / "a.vexlor"), vexlor=vexlor)
    vexlor.create_archive(names["cap"], names["arc"])
    if status == 1:
        try:
            text = eval(text, names)
        except (ValueError, OSError, RuntimeError) as e:
            text = str(e)
        shutil.rmtree(names["out"], ignore_errors=True)
    before = listing(tmp_path)
    result = run(*args.format(**names).split(), cwd=tmp_path)
    command = " ".join(["vexlor"] + [a for a in args.split()[:1] if a in ("split", "archive", "flows", "extract")])
    assert (result.returncode, result.stdout.decode().split("\n")[0] if status == 0 else result.stdout,
            result.stderr.decode()) == (status, text if status == 0 else b"", [
                "", "vexlor: %s\n" % text, "vexlor: %s\nTry '%s --help'.\n" % (text, command)][status])
    assert listing(tmp_path) == before  # nothing written
