"""Runs that lose nothing and say what went wrong: locks on outputs, outputs that would replace their
input, interrupts, cut-off captures, messages and exit statuses of the tool, --prefix, CIDR filters."""
import fcntl
import io
import os
import pathlib
import random
import re
import select
import shutil
import signal
import struct
import subprocess
import sys
import time

import dpkt
import pytest

import vexlor
from conftest import SAMPLE, eth, ipv4, listing, pcap_bytes, raises_exactly, tcp4, udp, write

CLI = pathlib.Path(sys.executable).parent / "vexlor"
pytestmark = pytest.mark.skipif(not CLI.exists(), reason="the vexlor tool is not installed beside %s"
                                % sys.executable)
STRATEGIES = "session, flow, host, hostpair, mac, bssid, nosplit"


def run(*args, **kw):
    return subprocess.run([str(CLI), *map(str, args)], capture_output=True, **kw)


def files(directory):
    return {p.name: p.read_bytes() for p in pathlib.Path(directory).iterdir()}


def temporaries(directory):
    return [n for n in os.listdir(directory) if n.endswith(".tmp")] if os.path.isdir(directory) else []


def many_flows(packets, flows=4000, size=200):
    """A capture of `packets` UDP packets spread over `flows` sessions."""
    head = struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1)
    out = [head]
    for i in range(packets):
        f = i % flows
        frame = eth(ipv4("10.%d.%d.1" % (f >> 8, f & 255), "10.0.0.1", 17, udp(1024 + f, 53, bytes(size))))
        out.append(struct.pack("<IIII", 1700000000 + i // 1000, i % 1000, len(frame), len(frame)) + frame)
    return b"".join(out)


@pytest.fixture(scope="module")
def big(tmp_path_factory):
    """A capture the tool takes a good part of a second to split."""
    return write(tmp_path_factory.mktemp("big") / "big.pcap", many_flows(400000))


# ---- 1. one run per output ----------------------------------------------------------------------

def held(path):
    """Opens `path` (a directory or a file, created) and takes the lock a run takes."""
    fd = os.open(path, os.O_RDONLY if os.path.isdir(path) else os.O_RDWR | os.O_CREAT)
    fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    return fd


@pytest.mark.parametrize("front", ["module", "tool"])
@pytest.mark.parametrize("kind", ["split", "archive"])
def test_a_held_output_refuses_a_second_run_and_is_left_alone(tmp_path, front, kind):
    cap = write(tmp_path / "cap.pcap", pcap_bytes(SAMPLE))
    if kind == "split":
        out = tmp_path / "out"
        write(out / "cap_all.pcap", b"earlier")
        target, message = out, "Output directory %s is in use by another run" % out
    else:
        out = tmp_path / "a.vexlor"
        write(str(out) + ".tmp", b"another run's archive in the making")
        target, message = str(out) + ".tmp", "Output path %s is in use by another run" % out
    before = {p: p.read_bytes() for p in tmp_path.rglob("*") if p.is_file()}
    fd = held(target)
    try:
        if front == "module":
            with raises_exactly(OSError, message):
                (vexlor.split if kind == "split" else vexlor.create_archive)(cap, str(out))
        else:
            result = run("split" if kind == "split" else "archive", cap, out)
            assert (result.returncode, result.stderr) == (1, b"vexlor: %s\n" % message.encode())
    finally:
        os.close(fd)
    assert {p: p.read_bytes() for p in tmp_path.rglob("*") if p.is_file()} == before
    # Once the lock is gone, the same run goes through.
    if front == "module":
        (vexlor.split if kind == "split" else vexlor.create_archive)(cap, str(out))
    else:
        assert run("split" if kind == "split" else "archive", cap, out, "--quiet").returncode == 0


@pytest.mark.parametrize("kind", ["split", "archive"])
def test_two_tool_runs_at_once_give_one_output_and_one_error(tmp_path, big, kind):
    out = tmp_path / ("out" if kind == "split" else "a.vexlor")
    first = subprocess.Popen([str(CLI), kind, big, str(out), "--quiet"], stderr=subprocess.PIPE)
    # The second starts once the first is writing (its temporary files are there).
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline and first.poll() is None:
        if (temporaries(out) if kind == "split" else os.path.exists(str(out) + ".tmp")):
            break
        time.sleep(0.005)
    second = run(kind, big, out, "--quiet")
    assert first.wait() == 0, first.stderr.read()
    if second.returncode == 0:
        pytest.skip("the first run ended before the second began")
    shown = out if kind == "split" else out
    word = "Output directory" if kind == "split" else "Output path"
    assert second.stderr == b"vexlor: %s %s is in use by another run\n" % (word.encode(), str(shown).encode())
    reference = tmp_path / ("ref" if kind == "split" else "ref.vexlor")
    (vexlor.split if kind == "split" else vexlor.create_archive)(big, str(reference))
    if kind == "split":
        assert files(out) == files(reference)
    else:
        assert not os.path.exists(str(out) + ".tmp")


# ---- 2. an output that is the input ---------------------------------------------------------------

@pytest.mark.parametrize("spelling", ["same", "dotted", "symlink", "hardlink", "tmp-hardlink"])
@pytest.mark.parametrize("front", ["module", "tool"])
def test_an_archive_over_its_own_input_is_refused(tmp_path, spelling, front):
    data = pcap_bytes(SAMPLE)
    cap = write(tmp_path / "cap.pcap", data)
    out = {"same": cap, "dotted": str(tmp_path / "." / "cap.pcap"), "symlink": str(tmp_path / "link"),
           "hardlink": str(tmp_path / "hard"), "tmp-hardlink": str(tmp_path / "x.vexlor")}[spelling]
    named = out + ".tmp" if spelling == "tmp-hardlink" else out
    if spelling == "symlink":
        os.symlink(cap, out)
    elif spelling in ("hardlink", "tmp-hardlink"):
        os.link(cap, named)
    message = "Output path %s is the input capture %s" % (named, cap)
    if front == "module":
        with raises_exactly(ValueError, message):
            vexlor.create_archive(cap, out)
    else:
        result = run("archive", cap, out)
        assert (result.returncode, result.stderr) == (1, b"vexlor: %s\n" % message.encode())
    assert pathlib.Path(cap).read_bytes() == data


@pytest.mark.parametrize("name", ["cap_all.pcap", ".cap_all.pcap.tmp"])
@pytest.mark.parametrize("front", ["module", "tool"])
def test_a_split_never_replaces_its_own_input(tmp_path, name, front):
    data = pcap_bytes(SAMPLE)
    cap = write(tmp_path / "cap.pcap", data)
    out = tmp_path / "out"
    out.mkdir()
    os.link(cap, out / name)  # the input under a name the split writes
    message = "Output file %s/%s is the input capture %s" % (out, name, cap)
    if front == "module":
        with raises_exactly(ValueError, message):
            vexlor.split(cap, str(out), "nosplit")
    else:
        result = run("split", cap, out, "--strategy", "nosplit")
        assert (result.returncode, result.stderr) == (1, b"vexlor: %s\n" % message.encode())
        assert listing(out) == [name]  # the tool removes what it wrote
    assert pathlib.Path(cap).read_bytes() == (out / name).read_bytes() == data


# ---- 3. interrupts --------------------------------------------------------------------------------

@pytest.mark.parametrize("kind", ["split", "archive"])
def test_interrupts_leave_no_temporary_file(tmp_path, big, kind):
    rng = random.Random(7)
    ran_through = interrupted = 0
    for i in range(6):
        out = tmp_path / ("out%d" % i if kind == "split" else "a%d.vexlor" % i)
        proc = subprocess.Popen([str(CLI), kind, big, str(out), "--quiet"], stderr=subprocess.PIPE)
        time.sleep(rng.uniform(0.0, 0.6))
        proc.send_signal(signal.SIGINT)
        status, err = proc.wait(), proc.stderr.read()
        if status == 0:
            ran_through += 1
            continue
        interrupted += 1
        assert (status, err) == (130, b"vexlor: interrupted: nothing published\n")
        assert os.listdir(out) == [] if kind == "split" else not os.path.exists(out)
        assert temporaries(out if kind == "split" else tmp_path) == []
        # A rerun gives the normal outputs.
        assert run(kind, big, out, "--quiet").returncode == 0
    assert interrupted > 0, "every run ended before its signal"
    assert temporaries(tmp_path) == []


def test_sigterm_exits_143(tmp_path, big):
    proc = subprocess.Popen([str(CLI), "split", big, str(tmp_path / "out"), "--quiet"], stderr=subprocess.PIPE)
    time.sleep(0.1)
    proc.send_signal(signal.SIGTERM)
    assert (proc.wait(), proc.stderr.read()) == (143, b"vexlor: interrupted: nothing published\n")
    assert temporaries(tmp_path / "out") == []


# ---- 4. cut-off captures --------------------------------------------------------------------------

def test_a_cut_off_last_record_keeps_the_packets_before_it(tmp_path):
    whole = pcap_bytes(SAMPLE)
    last = len(pcap_bytes(SAMPLE[:-1]))
    reference = tmp_path / "ref"
    vexlor.split(write(tmp_path / "ref" / "cap.pcap", pcap_bytes(SAMPLE[:-1])), str(reference))
    expected = {n: b for n, b in files(reference).items() if n != "cap.pcap"}
    for cut in range(last + 1, len(whole)):
        cap = write(tmp_path / str(cut) / "cap.pcap", whole[:cut])
        out = tmp_path / str(cut) / "out"
        result = run("split", cap, out, "--quiet")
        warning = "vexlor: warning: %s: last record cut off at byte %d (%d byte%s dropped)\n" % (
            cap, last, cut - last, "" if cut - last == 1 else "s")
        assert (result.returncode, result.stderr.decode()) == (0, warning), cut
        assert files(out) == expected, cut
        incl_len = len(SAMPLE[-1][2])
        if cut - last < 16:  # a cut-off record header: the module ends quietly, as it always has
            vexlor.split(cap, str(tmp_path / str(cut) / "mod"))
            continue
        message = "Invalid PCAP format: packet incl_len %d exceeds remaining data at offset %d" % (
            incl_len, last + 16)
        with raises_exactly(RuntimeError, message):
            vexlor.split(cap, str(tmp_path / str(cut) / "mod"))
        strict = run("split", cap, tmp_path / str(cut) / "strict", "--strict", "--quiet")
        assert (strict.returncode, strict.stderr.decode()) == (1, "vexlor: %s: %s\n" % (cap, message))
        # A failed run leaves no temporary file behind.
        assert temporaries(tmp_path / str(cut) / "strict") == []


# ---- 5. extract and flows of host archives ---------------------------------------------------------

HOSTS = [
    (1700000000, 0, tcp4("10.0.0.1", "10.0.0.2", 1000, 80, b"a")),
    (1700000000, 0, tcp4("10.0.0.1", "10.0.0.2", 1000, 80, b"a")),  # captured twice
    (1700000001, 0, tcp4("10.0.0.2", "10.0.0.1", 80, 1000, b"b")),
    (1700000002, 0, eth(ipv4("10.0.0.3", "10.0.0.1", 17, udp(5353, 53, b"q")))),
    (1700000003, 0, eth(ipv4("10.0.0.2", "10.0.0.3", 17, udp(53, 5353, b"r")))),
    (1700000004, 0, eth(ipv4("10.0.0.3", "10.0.0.3", 17, udp(1, 2, b"self")))),
]


def pcap_packets(data):
    return [(round(ts * 10**6), bytes(buf)) for ts, buf in dpkt.pcap.Reader(io.BytesIO(data))]


@pytest.mark.skipif(shutil.which("tshark") is None, reason="tshark is not installed")
@pytest.mark.parametrize("address", ["10.0.0.1", "10.0.0.2", "10.0.0.3"])
def test_extract_from_a_host_archive_equals_tshark(tmp_path, address):
    cap = write(tmp_path / "in.pcap", pcap_bytes(HOSTS))
    arc = tmp_path / "in.vexlor"
    assert run("archive", cap, arc, "--strategy", "host", "--quiet").returncode == 0
    extracted = run("extract", arc, "--ip", address)
    assert extracted.returncode == 0, extracted.stderr
    peer = subprocess.run(["tshark", "-r", cap, "-Y", "ip.addr==%s" % address, "-w", "-", "-F", "pcap"],
                          capture_output=True, check=True).stdout
    assert pcap_packets(extracted.stdout) == pcap_packets(peer)


def test_flows_of_a_host_archive_name_their_host(tmp_path):
    cap = write(tmp_path / "in.pcap", pcap_bytes(HOSTS))
    arc = tmp_path / "in.vexlor"
    assert run("archive", cap, arc, "--strategy", "host", "--quiet").returncode == 0
    rows = run("flows", arc, "--format", "csv").stdout.decode().splitlines()
    assert rows[0].endswith(",duration,host")
    assert [r.split(",")[-1] for r in rows[1:]] == ["10.0.0.1", "10.0.0.2", "10.0.0.3"]
    # A session archive lists as before: no host column.
    assert run("archive", cap, arc, "--quiet").returncode == 0
    assert run("flows", arc, "--format", "csv").stdout.decode().splitlines()[0].endswith(",duration")


# ---- 6. messages and exit statuses ----------------------------------------------------------------

COMPRESSED = {"gzip": b"\x1f\x8b\x08\x00", "zstd": b"\x28\xb5\x2f\xfd\x00", "xz": b"\xfd7zXZ\x00\x00",
              "bzip2": b"BZh91AY"}


@pytest.mark.parametrize("case", ["missing", "directory", "text", "gzip", "zstd", "xz", "bzip2",
                                  "missing-archive", "short-archive", "archive-directory"])
def test_run_failures_name_the_file(tmp_path, case):
    missing = str(tmp_path / "nope.pcap")
    paths = {"missing": missing, "directory": str(tmp_path), "text": write(tmp_path / "t.txt", b"hello"),
             "short-archive": write(tmp_path / "s.vexlor", bytes(100))}
    for name, magic in COMPRESSED.items():
        paths[name] = write(tmp_path / ("c." + name), magic + bytes(64))
    args, message = {
        "missing": (["split", missing, "out"], "cannot read %s: No such file or directory (os error 2)" % missing),
        "directory": (["archive", tmp_path, "a.vexlor"], "%s: is a directory" % tmp_path),
        "text": (["split", paths["text"], "out"],
                 "%s: Unsupported file format (unknown magic number)" % paths["text"]),
        "missing-archive": (["flows", missing], "cannot open archive %s: No such file or directory (os error 2)"
                            % missing),
        "short-archive": (["extract", paths["short-archive"], "--id", "1", "-o", "x.pcap"],
                          "cannot open archive %s: File too small to be a valid archive" % paths["short-archive"]),
        "archive-directory": (["flows", tmp_path], "%s: is a directory" % tmp_path),
        **{name: (["split", paths[name], "out"], "%s is %s-compressed (and this version reads only uncompressed "
                  "captures)" % (paths[name], name)) for name in COMPRESSED},
    }[case]
    before = listing(tmp_path)
    result = run(*args, cwd=tmp_path)
    assert (result.returncode, result.stdout, result.stderr.decode()) == (1, b"", "vexlor: %s\n" % message)
    assert listing(tmp_path) == before


@pytest.mark.parametrize("args,message", [
    (["split", "CAP", "OUT", "--strategy", "sess"], "unknown strategy 'sess' (valid: %s)" % STRATEGIES),
    (["archive", "CAP", "OUT", "--strategy", "Bogus"], "unknown strategy 'Bogus' (valid: %s)" % STRATEGIES),
    (["split", "CAP", "OUT", "--output-type", "csv"], "unknown output type 'csv' (valid: pcap, l7)"),
    (["split", "CAP", "OUT", "--ip", "10.0.0.300"], "invalid IP address '10.0.0.300'"),
    (["archive", "CAP", "OUT", "--ip", "10.0.0.0/33"], "invalid IP prefix '10.0.0.0/33'"),
    (["split", "CAP", "OUT", "--ip", "2001:db8::/129"], "invalid IP prefix '2001:db8::/129'"),
    (["split", "CAP", "OUT", "--prefix", "a/b"], "invalid value 'a/b' for --prefix: expected a file name "
     "without '/'"),
    (["flows", "ARC", "--ip", "1.2.3"], "invalid IP address '1.2.3'"),
    (["extract", "ARC", "--ip", "::1::"], "invalid IP address '::1::'"),
    (["flows", "ARC", "--proto", "300"], "invalid value '300' for --proto: expected a number from 0 to 255"),
])
def test_usage_errors_exit_2_and_touch_nothing(tmp_path, args, message):
    write(tmp_path / "CAP", pcap_bytes(SAMPLE))
    vexlor.create_archive(str(tmp_path / "CAP"), str(tmp_path / "ARC"))
    result = run(*args, cwd=tmp_path)
    assert (result.returncode, result.stdout) == (2, b"")
    assert result.stderr.decode() == "vexlor: %s\nTry 'vexlor %s --help'.\n" % (message, args[0])
    assert listing(tmp_path) == ["ARC", "CAP"]


def test_unknown_protocol_lists_the_valid_ones(tmp_path):
    vexlor.create_archive(write(tmp_path / "CAP", pcap_bytes(SAMPLE)), str(tmp_path / "ARC"))
    result = run("flows", tmp_path / "ARC", "--proto", "bogus")
    assert result.returncode == 2
    assert re.fullmatch(rb"vexlor: unknown protocol 'bogus' \(valid: icmp, [a-z0-9, ]+, udplite, or a number "
                        rb"from 0 to 255\)\nTry 'vexlor flows --help'.\n", result.stderr)


# ---- 7. file names ---------------------------------------------------------------------------------

def test_prefix_names_the_files(tmp_path):
    cap = write(tmp_path / "cap.pcap", pcap_bytes(SAMPLE))
    vexlor.split(cap, str(tmp_path / "mod"))
    assert run("split", cap, tmp_path / "named", "--prefix", "day1", "--quiet").returncode == 0
    assert files(tmp_path / "named") == {"day1" + n[3:]: b for n, b in files(tmp_path / "mod").items()}
    data = pathlib.Path(cap).read_bytes()
    assert run("split", "-", tmp_path / "stdin", "--quiet", input=data).returncode == 0
    assert files(tmp_path / "stdin") == {"stdin" + n[3:]: b for n, b in files(tmp_path / "mod").items()}


def test_names_beyond_the_file_system_limit_are_shortened(tmp_path):
    stem = "c" * 240  # with any flow name, past 255 bytes
    cap = write(tmp_path / (stem + ".pcap"), pcap_bytes(SAMPLE))
    with pytest.raises(RuntimeError, match="File name too long"):  # the module keeps failing
        vexlor.split(cap, str(tmp_path / "mod"))
    shutil.rmtree(tmp_path / "mod")
    for out in ("a", "b"):
        result = run("split", cap, tmp_path / out, "--quiet")
        assert result.returncode == 0, result.stderr
    names = listing(tmp_path / "a")
    assert names == listing(tmp_path / "b")  # the same names every time
    assert len(names) == len(set(names)) == 5
    assert all(len(n.encode()) <= 250 and n.startswith(stem[:200]) for n in names)
    assert all(re.search(r"_[0-9a-f]{16}\.pcap$", n) for n in names)
    assert files(tmp_path / "a") == files(tmp_path / "b")


# ---- 8. progress and summary -------------------------------------------------------------------------

def test_summary_line(tmp_path):
    cap = write(tmp_path / "cap.pcap", pcap_bytes(SAMPLE))
    result = run("split", cap, tmp_path / "out")
    size = sum(len(b) for b in files(tmp_path / "out").values())
    assert result.returncode == 0
    assert re.fullmatch(rb"vexlor: 7 packets, 5 flows, 5 files, %d B written, 1 packet without IP, "
                        rb"\d+\.\d s\n" % size, result.stderr), result.stderr
    result = run("archive", cap, tmp_path / "a.vexlor")
    assert re.fullmatch(rb"vexlor: 7 packets, 5 flows, 1 file, [0-9.]+ kB written, 1 packet without IP, "
                        rb"\d+\.\d s\n", result.stderr), result.stderr
    assert run("split", cap, tmp_path / "out", "--quiet").stderr == b""


def test_progress_shows_within_half_a_second(big, tmp_path):
    master, slave = os.openpty()
    try:
        start = time.monotonic()
        proc = subprocess.Popen([str(CLI), "split", big, str(tmp_path / "out")], stderr=slave)
        os.close(slave)
        assert select.select([master], [], [], 5)[0]
        first = time.monotonic() - start
        proc.wait()
        if first > 0.5:
            pytest.fail("first progress after %.2f s" % first)
    finally:
        os.close(master)


# ---- 9. address prefixes -----------------------------------------------------------------------------

V6 = [(1700000010, 0, eth(bytes(40), 0x86DD))]


@pytest.mark.parametrize("prefixes,addresses", [
    (["10.0.0.0/8"], ["10.0.0.1", "10.0.0.2", "10.0.0.3"]),
    (["10.0.0.2/31"], ["10.0.0.2", "10.0.0.3"]),
    (["192.0.2.0/24", "2001:db8::/32"], ["192.0.2.9", "192.0.2.1", "2001:db8::1"]),
    (["0.0.0.0/0"], ["10.0.0.1", "10.0.0.3", "192.0.2.9"]),
    (["2001:db8::2/128"], ["2001:db8::2"]),
    (["11.0.0.0/8"], ["11.0.0.1"]),
])
def test_prefix_filters_equal_the_addresses_they_hold(tmp_path, prefixes, addresses):
    cap = write(tmp_path / "cap.pcap", pcap_bytes(SAMPLE))
    vexlor.split(cap, str(tmp_path / "mod"), ip_filters=addresses)
    args = [a for p in prefixes for a in ("--ip", p)]
    assert run("split", cap, tmp_path / "cli", "--quiet", *args).returncode == 0
    assert files(tmp_path / "cli") == files(tmp_path / "mod")
    # The module skips prefix texts, as it skips every text that is no address.
    vexlor.split(cap, str(tmp_path / "skip"), ip_filters=prefixes)
    vexlor.split(cap, str(tmp_path / "all"))
    assert files(tmp_path / "skip") == files(tmp_path / "all")


def test_prefix_selectors_of_flows(tmp_path):
    cap = write(tmp_path / "cap.pcap", pcap_bytes(SAMPLE))
    arc = tmp_path / "a.vexlor"
    vexlor.create_archive(cap, str(arc))
    ids = lambda *args: [r.split(",")[0] for r in run("flows", arc, "--format", "csv", *args)
                         .stdout.decode().splitlines()[1:]]
    assert ids("--ip", "10.0.0.0/30") == ["1", "2"]
    assert ids("--ip", "192.0.2.0/24", "--ip", "2001:db8::/32") == ["3", "4"]
    assert ids("--ip", "::/0") == ["4"]
