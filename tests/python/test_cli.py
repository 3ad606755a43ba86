"""The vexlor command-line tool, checked against the module it shares its core with."""
import csv
import datetime
import io
import ipaddress
import json
import os
import pathlib
import select
import shutil
import subprocess
import sys
from decimal import Decimal

import pytest

import vexlor
from conftest import ARP, SAMPLE, eth, ipv4, pcap_bytes, tcp4, udp, write

CLI = pathlib.Path(sys.executable).parent / "vexlor"
pytestmark = pytest.mark.skipif(not CLI.exists(), reason="the vexlor tool is not installed beside %s"
                                % sys.executable)

KEYS = ["id", "protocol", "src_ip", "dst_ip", "src_port", "dst_port", "packets", "bytes", "start",
        "duration"]
PROTO_NAMES = {1: "icmp", 6: "tcp", 17: "udp", 58: "icmpv6"}


def run(*args, stdin=None, **kw):
    return subprocess.run([str(CLI), *map(str, args)], input=stdin, capture_output=True, **kw)


def files(directory):
    return {p.name: p.read_bytes() for p in pathlib.Path(directory).iterdir()}


def dns(src, dst, sport, dport, ts, payload=b"q"):
    return (ts // 10**6, ts % 10**6, eth(ipv4(src, dst, 17, udp(sport, dport, payload))))


def http(src, dst, sport, dport, ts, payload=b"x"):
    return (ts // 10**6, ts % 10**6, tcp4(src, dst, sport, dport, payload))


T = 1700000000 * 10**6
# Ties within a flow and across flows, a packet out of time order, and two
# DNS-over-TLS flows, on top of the sample.
MIXED = SAMPLE + [
    http("10.0.0.1", "10.0.0.2", 51000, 80, T + 1000000, b"tie-in-flow"),
    dns("10.0.0.3", "10.0.0.1", 5353, 53, T - 5, b"early"),
    http("10.0.0.1", "10.0.0.2", 51000, 80, T + 2000010, b"tie-across-flows"),
    http("10.0.0.5", "10.0.0.1", 40000, 853, T + 7000000),
    dns("10.0.0.1", "10.0.0.6", 41000, 853, T + 7000000),
    (1700000009, 0, eth(ARP + bytes(18), 0x0806, dst=0xFF)),
]


@pytest.fixture
def mixed(tmp_path):
    cap = write(tmp_path / "mixed.pcap", pcap_bytes(MIXED))
    arc = str(tmp_path / "mixed.vexlor")
    vexlor.create_archive(cap, arc)
    return arc


def selected_ids(archive, selectors):
    """Union within a kind of selector, intersection across kinds, from the module's queries."""
    query = {"--ip": archive.find_by_ip, "--port": lambda v: archive.find_by_port(int(v)),
             "--proto": lambda v: ([f for f in archive.flows() if f.proto == int(v)] if v.isdigit()
                                   else archive.find_by_protocol(v)),
             "--id": lambda v: [f for f in [archive.get_flow(int(v))] if f]}
    kinds = {}
    for opt, value in zip(selectors[::2], selectors[1::2]):
        kinds.setdefault(opt, set()).update(f.id for f in query[opt](value))
    if not kinds:
        return [f.id for f in archive.flows()]
    return sorted(set.intersection(*kinds.values()))


# ---- split and archive: the same files as the module -------------------------------------------

@pytest.mark.parametrize("args,kwargs", [
    ([], {}),
    (["--strategy=flow", "--max-sessions", "1", "--buffer-bytes=0"],
     dict(strategy="flow", max_sessions=1, buffer_bytes=0)),
    (["--strategy", "HOST", "--output-type", "L7"], dict(strategy="HOST", output_type="L7")),
    (["--ip", "10.0.0.1", "--ip=2001:db8::1", "--port", "80", "--port", "443"],
     dict(ip_filters=["10.0.0.1", "2001:db8::1"], port_filters=[80, 443])),
])
@pytest.mark.parametrize("order", ["options-last", "options-first", "dashdash"])
def test_split_matches_module(tmp_path, args, kwargs, order):
    cap = write(tmp_path / "cap.pcap", pcap_bytes(MIXED))
    vexlor.split(cap, str(tmp_path / "mod"), **kwargs)
    line = {"options-last": [cap, tmp_path / "cli", *args], "options-first": [*args, cap, tmp_path / "cli"],
            "dashdash": [*args, "--", cap, tmp_path / "cli"]}[order]
    result = run("split", "--quiet", *line)
    assert (result.returncode, result.stdout, result.stderr) == (0, b"", b"")
    assert files(tmp_path / "cli") == files(tmp_path / "mod") != {}


@pytest.mark.parametrize("args,kwargs", [
    ([], {}),
    (["--strategy", "host"], dict(strategy="host")),
    (["--port=53", "--ip", "10.0.0.3", "--max-sessions", "2"],
     dict(port_filters=[53], ip_filters=["10.0.0.3"], max_sessions=2)),
])
def test_archive_matches_module(tmp_path, args, kwargs):
    cap = write(tmp_path / "cap.pcap", pcap_bytes(MIXED))
    vexlor.create_archive(cap, str(tmp_path / "mod.vexlor"), **kwargs)
    result = run("archive", cap, tmp_path / "cli.vexlor", "--quiet", *args)
    assert (result.returncode, result.stdout, result.stderr) == (0, b"", b"")
    cli, mod = (tmp_path / "cli.vexlor").read_bytes(), (tmp_path / "mod.vexlor").read_bytes()
    if "host" in args:  # the tool marks which address each host flow is for (byte 9 of each entry)
        cli = vexlor.Archive.open(str(tmp_path / "cli.vexlor"))
        cli, mod = [[(f.id, f.src_addr, f.dst_addr, f.total_bytes, len(f.packets())) for f in a.flows()]
                    for a in (cli, vexlor.Archive.open(str(tmp_path / "mod.vexlor")))]
    assert cli == mod


def test_standard_input(tmp_path):
    data = pcap_bytes(MIXED)
    cap = write(tmp_path / "cap.pcap", data)
    vexlor.create_archive(cap, str(tmp_path / "mod.vexlor"))
    vexlor.split(cap, str(tmp_path / "mod"))
    assert run("archive", "-", tmp_path / "cli.vexlor", stdin=data).returncode == 0
    assert (tmp_path / "cli.vexlor").read_bytes() == (tmp_path / "mod.vexlor").read_bytes()
    assert run("split", "-", tmp_path / "cli", stdin=data).returncode == 0
    # The tool's file stem of "-" is "stdin" (the module's is "-").
    assert files(tmp_path / "cli") == {"stdin" + n[len("cap"):]: b for n, b in files(tmp_path / "mod").items()}


# ---- flows: rows equal to the module's queries -------------------------------------------------

SELECTORS = [
    [],
    ["--port", "53"],
    ["--port", "53", "--port", "853"],
    ["--ip", "10.0.0.1", "--port", "853"],
    ["--proto", "TCP", "--proto", "icmp"],
    ["--proto", "17", "--ip", "::ffff:10.0.0.1", "--ip", "10.0.0.6"],
    ["--ip", "::"],
    ["--port", "9"],
]


@pytest.mark.parametrize("selectors", SELECTORS)
def test_flows_json_matches_archive_queries(mixed, selectors):
    archive = vexlor.Archive.open(mixed)
    result = run("flows", mixed, "--format", "json", *selectors)
    assert result.returncode == 0, result.stderr
    rows = json.loads(result.stdout, parse_float=Decimal)
    assert all(list(row) == KEYS for row in rows)
    expected = []
    for fid in selected_ids(archive, selectors):
        f = archive.get_flow(fid)
        expected.append(dict(
            id=f.id, protocol=PROTO_NAMES.get(f.proto, str(f.proto)),
            src_ip=str(ipaddress.ip_address(f.src_addr)), dst_ip=str(ipaddress.ip_address(f.dst_addr)),
            src_port=f.src_port, dst_port=f.dst_port, packets=f.packet_count, bytes=f.total_bytes,
            start=round(f.start_ts * 10**6), duration=round((f.end_ts - f.start_ts) * 10**6)))
    for row in rows:
        row["start"], row["duration"] = int(row["start"] * 10**6), int(row["duration"] * 10**6)
    assert rows == expected


def test_flows_formats_agree(mixed):
    rows = json.loads(run("flows", mixed, "--format=json").stdout, parse_float=Decimal)
    table = run("flows", mixed).stdout.decode().splitlines()
    text = run("flows", mixed, "--format", "csv").stdout.decode()
    records = list(csv.reader(io.StringIO(text)))
    assert records[0] == KEYS and len(records) == len(rows) + 1 == len(table)
    assert table[0].split() == [k.upper() for k in KEYS]
    epoch = datetime.datetime(1970, 1, 1)
    for row, record, line in zip(rows, records[1:], table[1:]):
        start = epoch + datetime.timedelta(microseconds=int(row["start"] * 10**6))
        assert record == [str(row[k]) if k != "start" else start.strftime("%Y-%m-%d %H:%M:%S.%f")
                          for k in KEYS]
        assert line.split() == record[:8] + record[8].split() + [record[9]]
    # The out-of-order DNS packet makes a flow end before it starts.
    assert any(row["duration"] < 0 for row in rows)
    empty = run("flows", mixed, "--port", "9", "--format", "json")
    assert empty.stdout == b"[]\n" and run("flows", mixed, "--port", "9").stdout.count(b"\n") == 1


# ---- extract: the selected packets, merged by time ---------------------------------------------

@pytest.mark.parametrize("selectors", SELECTORS[1:] + [["--id", "2", "--id", "1", "--id", "99"]])
@pytest.mark.parametrize("dest", ["file", "stdout"])
def test_extract_packets_in_time_order(tmp_path, mixed, selectors, dest):
    dpkt = pytest.importorskip("dpkt")
    archive = vexlor.Archive.open(mixed)
    expected = [(p.ts_sec * 10**6 + p.ts_usec, p.data)
                for fid in selected_ids(archive, selectors) for p in archive.get_flow(fid).packets()]
    expected.sort(key=lambda item: item[0])  # stable: flow-id order, then stored order
    out = tmp_path / "x.pcap"
    if dest == "file":
        result = run("extract", mixed, *selectors, "-o", out)
        assert result.stdout == b""
        assert sorted(os.listdir(tmp_path)) == ["mixed.pcap", "mixed.vexlor", "x.pcap"]
        data = out.read_bytes()
    else:
        result = run("extract", mixed, *selectors)
        data = result.stdout
    assert (result.returncode, result.stderr) == (0, b"")
    assert data[:4] == b"\xd4\xc3\xb2\xa1"  # little-endian, microseconds
    reader = dpkt.pcap.Reader(io.BytesIO(data))
    assert reader.datalink() == archive.link_type
    assert [(round(ts * 10**6), bytes(buf)) for ts, buf in reader] == expected


@pytest.mark.skipif(shutil.which("tshark") is None, reason="tshark is not installed")
def test_extract_pipes_into_tshark(mixed):
    result = subprocess.run("'%s' extract '%s' --port 53 | tshark -r - -T fields -e frame.len" % (CLI, mixed),
                            shell=True, capture_output=True)
    assert result.returncode == 0, result.stderr
    archive = vexlor.Archive.open(mixed)
    assert result.stdout.split() == [b"%d" % p.orig_len for ts, p in sorted(
        ((p.ts_sec * 10**6 + p.ts_usec, p) for f in archive.find_by_port(53) for p in f.packets()),
        key=lambda item: item[0])]


def test_extract_broken_pipe_is_quiet(tmp_path):
    big = [http("10.0.0.1", "10.0.0.2", 1, 80, T + i, bytes(1400)) for i in range(300)]
    arc = str(tmp_path / "big.vexlor")
    vexlor.create_archive(write(tmp_path / "big.pcap", pcap_bytes(big)), arc)
    proc = subprocess.Popen([str(CLI), "extract", arc, "--port", "80"], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)
    proc.stdout.close()  # more than a pipe holds is waiting to be written
    assert (proc.stderr.read(), proc.wait()) == (b"", 1)


# ---- terminals: progress on standard error, no binary on standard output ----------------------

def run_on_terminal(args, stream):
    """Runs the tool with `stream` ("stdout" or "stderr") on a pseudo-terminal and the other on a pipe;
    returns (status, terminal bytes, pipe bytes)."""
    other = "stderr" if stream == "stdout" else "stdout"
    master, slave = os.openpty()
    try:
        proc = subprocess.Popen([str(CLI), *map(str, args)], **{stream: slave, other: subprocess.PIPE})
        os.close(slave)
        seen = b""
        while select.select([master], [], [], 10)[0]:
            try:
                chunk = os.read(master, 4096)
            except OSError:  # the terminal is gone once the tool has exited
                break
            if not chunk:
                break
            seen += chunk
        return proc.wait(), seen, getattr(proc, other).read()
    finally:
        os.close(master)


@pytest.mark.parametrize("command", ["split", "archive"])
@pytest.mark.parametrize("quiet", [False, True])
def test_progress_only_on_a_terminal(tmp_path, command, quiet):
    cap = write(tmp_path / "cap.pcap", pcap_bytes(MIXED))
    args = [command, cap, tmp_path / "out"] + (["--quiet"] if quiet else [])
    status, seen, _ = run_on_terminal(args, "stderr")
    assert status == 0
    if quiet:
        assert seen == b""
    else:
        assert seen.startswith(b"\r") and b"(100%)" in seen and b"13 packets" in seen
        # The progress line's last state, then the summary line.
        assert seen.endswith(b"\n") and seen.count(b"\n") == 2
    # Standard error that is no terminal gets no progress, only the summary line.
    assert run(*args).stderr.count(b"\n") == (0 if quiet else 1)


def test_extract_refuses_a_terminal(tmp_path, mixed):
    status, seen, err = run_on_terminal(["extract", mixed, "--port", "53"], "stdout")
    assert (status, seen) == (2, b"")
    assert err == (b"vexlor: refusing to write pcap data to a terminal; use -o FILE or a pipe\n"
                   b"Try 'vexlor extract --help'.\n")
    status, seen, _ = run_on_terminal(["extract", mixed, "--port", "53", "-o", tmp_path / "x.pcap"], "stdout")
    assert (status, seen) == (0, b"") and (tmp_path / "x.pcap").exists()


# ---- failures: the module's message with status 1, usage mistakes with status 2 ----------------

def module_error(call):
    with pytest.raises((ValueError, OSError, RuntimeError)) as info:
        call()
    return str(info.value)


# The tool's own messages (naming the file or value, exit 2 for usage) are in test_cli_safety.py.
@pytest.mark.parametrize("case", ["no-output-dir"])
def test_failures_carry_the_module_message(tmp_path, mixed, case):
    cap = write(tmp_path / "cap.pcap", pcap_bytes(SAMPLE))
    text = write(tmp_path / "notes.txt", b"hello, this is text\n")
    short = write(tmp_path / "short.vexlor", bytes(100))
    out = tmp_path / "out"
    args, call = {
        "strategy": (["split", cap, out, "--strategy", "bogus"],
                     lambda: vexlor.split(cap, str(out), strategy="bogus")),
        "output-type": (["split", cap, out, "--output-type", "CSV"],
                        lambda: vexlor.split(cap, str(out), output_type="CSV")),
        "missing-input": (["archive", tmp_path / "nope.pcap", out],
                          lambda: vexlor.create_archive(str(tmp_path / "nope.pcap"), str(out))),
        "not-a-capture": (["split", text, out], lambda: vexlor.split(text, str(out))),
        "no-output-dir": (["archive", cap, tmp_path / "no" / "a.vexlor"],
                          lambda: vexlor.create_archive(cap, str(tmp_path / "no" / "a.vexlor"))),
        "missing-archive": (["flows", tmp_path / "nope.vexlor"],
                            lambda: vexlor.Archive.open(str(tmp_path / "nope.vexlor"))),
        "short-archive": (["extract", short, "--id", "1", "-o", out], lambda: vexlor.Archive.open(short)),
        "bad-ip": (["extract", mixed, "--ip", "10.0.0.256", "-o", out],
                   lambda: vexlor.Archive.open(mixed).find_by_ip("10.0.0.256")),
        # The module skips such a filter silently; the tool refuses it with the same words.
        "bad-ip-split": (["split", cap, out, "--ip", "10.0.0.1/24"],
                         lambda: vexlor.Archive.open(mixed).find_by_ip("10.0.0.1/24")),
    }[case]
    message = module_error(call)
    shutil.rmtree(out, ignore_errors=True)
    result = run(*args)
    assert (result.returncode, result.stdout, result.stderr) == (1, b"", b"vexlor: %s\n" % message.encode())
    assert not out.exists()


@pytest.mark.parametrize("args,message,command", [
    ([], "missing command", None),
    (["frob"], "unknown command 'frob'", None),
    (["--frob"], "unknown option '--frob'", None),
    (["split", "CAP"], "missing OUTDIR", "split"),
    (["split", "CAP", "OUT", "extra"], "unexpected argument 'extra'", "split"),
    (["split", "CAP", "OUT", "--port", "65536"],
     "invalid value '65536' for --port: expected a number from 0 to 65535", "split"),
    (["split", "CAP", "OUT", "--max-sessions=4294967296"],
     "invalid value '4294967296' for --max-sessions: expected a number from 0 to 4294967295", "split"),
    (["split", "CAP", "OUT", "--buffer-bytes", "-1"],
     "invalid value '-1' for --buffer-bytes: expected a number from 0 to 18446744073709551615", "split"),
    (["split", "CAP", "OUT", "--quiet=yes"], "option '--quiet' takes no value", "split"),
    (["archive", "CAP", "OUT", "--port", "8O"],
     "invalid value '8O' for --port: expected a number from 0 to 65535", "archive"),
    (["archive", "CAP", "OUT", "--output-type", "l7"], "unknown option '--output-type'", "archive"),
    (["flows"], "missing ARCHIVE", "flows"),
    (["flows", "ARC", "--format", "xml"], "invalid value 'xml' for --format: expected table, csv or json",
     "flows"),
    (["flows", "ARC", "--proto", "256"], "invalid value '256' for --proto: expected a number from 0 to 255",
     "flows"),
    (["flows", "ARC", "--id", "1"], "unknown option '--id'", "flows"),
    (["extract", "ARC"], "extract needs at least one of --id, --ip, --port, --proto", "extract"),
    (["extract", "ARC", "-o", "x.pcap"], "extract needs at least one of --id, --ip, --port, --proto",
     "extract"),
    (["extract", "ARC", "--id", "1", "-o"], "option '-o' needs a value", "extract"),
    (["extract", "ARC", "--id", "x"],
     "invalid value 'x' for --id: expected a number from 0 to 18446744073709551615", "extract"),
])
def test_usage_errors(tmp_path, args, message, command):
    cap = write(tmp_path / "CAP", pcap_bytes(SAMPLE))
    vexlor.create_archive(cap, str(tmp_path / "ARC"))
    result = run(*args, cwd=tmp_path)
    hint = "vexlor %s --help" % command if command else "vexlor --help"
    assert result.returncode == 2 and result.stdout == b""
    assert result.stderr.decode() == "vexlor: %s\nTry '%s'.\n" % (message, hint)
    assert sorted(os.listdir(tmp_path)) == ["ARC", "CAP"]  # nothing written


@pytest.mark.parametrize("args,first_line", [
    (["--help"], "Usage: vexlor COMMAND [OPTIONS] ARGS..."),
    (["-h"], "Usage: vexlor COMMAND [OPTIONS] ARGS..."),
    (["split", "--help"], "Usage: vexlor split INPUT OUTDIR [OPTIONS]"),
    (["archive", "x", "--bogus", "-h"], "Usage: vexlor archive INPUT OUTPUT [OPTIONS]"),
    (["flows", "--help"], "Usage: vexlor flows ARCHIVE [OPTIONS]"),
    (["extract", "--help"], "Usage: vexlor extract ARCHIVE SELECTOR... [-o FILE]"),
    (["--version"], "vexlor 0.1.0"),
])
def test_help_and_version(args, first_line):
    result = run(*args)
    assert (result.returncode, result.stderr) == (0, b"")
    assert result.stdout.decode().splitlines()[0] == first_line
