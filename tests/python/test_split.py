"""split() and create_archive() end to end: output files and their bytes, strategies, filters, failures."""
import os
import pathlib
import re
import subprocess
import sys

import pytest

import vexlor
from conftest import SAMPLE, SAMPLE_SESSION_FILES, listing, pcap_bytes, raises_exactly, read_pcap, tcp4, write

HEADER = bytes.fromhex("d4c3b2a1 0200 0400 00000000 00000000 ffff0000 01000000")
CUT_RECORD = pcap_bytes(SAMPLE[:2])[:-3]  # the second record lacks its last three frame bytes


def records_of(path):
    link, recs = read_pcap(pathlib.Path(path).read_bytes())
    assert link == 1
    return recs


def expected(indexes):
    return [(SAMPLE[i][0], SAMPLE[i][1], SAMPLE[i][2], len(SAMPLE[i][2])) for i in indexes]


def test_session_files_hold_their_records(tmp_path, sample_pcap):
    out = tmp_path / "out"
    assert vexlor.split(sample_pcap, str(out)) is None
    assert listing(out) == sorted(SAMPLE_SESSION_FILES)
    for name, indexes in SAMPLE_SESSION_FILES.items():
        assert (out / name).read_bytes()[:24] == HEADER
        assert records_of(out / name) == expected(indexes)


@pytest.mark.parametrize("strategy,files", [
    ("NoSplit", {"cap_all.pcap": 7}),
    ("host", {"cap_10_0_0_1.pcap": 4, "cap_10_0_0_2.pcap": 3, "cap_10_0_0_3.pcap": 1, "cap_192_0_2_9.pcap": 1,
              "cap_192_0_2_1.pcap": 1, "cap_2001_db8__1.pcap": 1, "cap_2001_db8__2.pcap": 1,
              "cap_no_host.pcap": 1}),
    ("hostpair", {"cap_10_0_0_1_10_0_0_2.pcap": 3, "cap_10_0_0_1_10_0_0_3.pcap": 1,
                  "cap_192_0_2_1_192_0_2_9.pcap": 1, "cap_2001_db8__1_2001_db8__2.pcap": 1,
                  "cap_no_hostpair.pcap": 1}),
    ("flow", {"cap_6_10_0_0_1_10_0_0_2_51000_80.pcap": 2, "cap_6_10_0_0_2_10_0_0_1_80_51000.pcap": 1,
              "cap_17_10_0_0_3_10_0_0_1_5353_53.pcap": 1, "cap_1_192_0_2_9_192_0_2_1_0_0.pcap": 1,
              "cap_6_2001_db8__1_2001_db8__2_443_50000.pcap": 1, "cap_no_flow.pcap": 1}),
    ("MAC", {"cap_020000000001.pcap": 7, "cap_020000000002.pcap": 6, "cap_ffffffffffff.pcap": 1}),
    ("bssid", {"cap_no_bssid.pcap": 7}),
])
def test_strategies(tmp_path, sample_pcap, strategy, files):
    out = tmp_path / "out"
    vexlor.split(sample_pcap, str(out), strategy=strategy)
    assert {n: len(records_of(out / n)) for n in listing(out)} == files
    if strategy == "host":  # a packet between two hosts is in both files
        assert records_of(out / "cap_10_0_0_1.pcap") == expected([0, 1, 2, 6])


@pytest.mark.parametrize("output_type", ["l7", "L7"])
def test_l7_payloads(tmp_path, sample_pcap, output_type):
    out = tmp_path / "out"
    vexlor.split(sample_pcap, str(out), output_type=output_type)
    assert {n: (out / n).read_bytes() for n in listing(out)} == {
        "cap_6_10_0_0_1_10_0_0_2_51000_80.l7": b"GET /HTTPmore", "cap_17_10_0_0_1_10_0_0_3_53_5353.l7": b"q?",
        "cap_6_2001_db8__1_2001_db8__2_443_50000.l7": b"tls"}


@pytest.mark.parametrize("kwargs,files", [
    (dict(ip_filters=["10.0.0.2"]), ["cap_6_10_0_0_1_10_0_0_2_51000_80.pcap"]),
    (dict(ip_filters=("2001:db8::2",)), ["cap_6_2001_db8__1_2001_db8__2_443_50000.pcap"]),
    (dict(port_filters=[53]), ["cap_17_10_0_0_1_10_0_0_3_53_5353.pcap"]),
    (dict(port_filters=[0]), ["cap_1_192_0_2_1_192_0_2_9_0_0.pcap"]),
    (dict(ip_filters=["10.0.0.1"], port_filters=[53]), ["cap_17_10_0_0_1_10_0_0_3_53_5353.pcap"]),
    (dict(ip_filters=["10.0.0.1"], port_filters=[443]), []),
    (dict(ip_filters=["::ffff:10.0.0.1"]), []),
    (dict(ip_filters=["not an address", "10.0.0.0/8"]), sorted(SAMPLE_SESSION_FILES)),
])
def test_filters(tmp_path, sample_pcap, kwargs, files):
    vexlor.split(sample_pcap, str(tmp_path / "out"), **kwargs)
    assert listing(tmp_path / "out") == files


def test_empty_capture_creates_directory_only(tmp_path, make_capture):
    assert vexlor.split(make_capture([]), str(tmp_path / "a" / "b")) is None
    assert listing(tmp_path / "a" / "b") == []


@pytest.mark.parametrize("kwargs", [dict(buffer_bytes=0), dict(buffer_bytes=1), dict(max_sessions=1),
                                    dict(max_sessions=0), dict(max_sessions=2, buffer_bytes=0)])
def test_buffering_and_file_cap_do_not_change_output(tmp_path, sample_pcap, kwargs):
    vexlor.split(sample_pcap, str(tmp_path / "ref"))
    vexlor.split(sample_pcap, str(tmp_path / "other"), **kwargs)
    names = listing(tmp_path / "ref")
    assert listing(tmp_path / "other") == names
    for n in names:
        assert (tmp_path / "other" / n).read_bytes() == (tmp_path / "ref" / n).read_bytes(), n


def test_existing_output_file_is_replaced(tmp_path, sample_pcap):
    write(tmp_path / "out" / "cap_no_session.pcap", b"old" * 1000)
    vexlor.split(sample_pcap, str(tmp_path / "out"))
    assert records_of(tmp_path / "out" / "cap_no_session.pcap") == expected([5])


@pytest.mark.parametrize("name,prefix", [("trace", "trace"), ("a.b.pcapng", "a.b"), (".hidden", ".hidden")])
def test_output_prefix(tmp_path, name, prefix):
    vexlor.split(write(tmp_path / name, pcap_bytes(SAMPLE[:1])), str(tmp_path / "out"), strategy="nosplit")
    assert listing(tmp_path / "out") == [prefix + "_all.pcap"]


def run_with_stdin(code, data, *args):
    res = subprocess.run([sys.executable, "-c", "import sys, vexlor\n" + code] + list(args), input=data,
                         capture_output=True, timeout=120)
    assert res.returncode == 0, res.stderr
    return res.stdout.decode()


def test_standard_input(tmp_path):
    run_with_stdin("vexlor.split('-', sys.argv[1], strategy='nosplit')", pcap_bytes(SAMPLE), str(tmp_path))
    assert listing(tmp_path) == ["-_all.pcap"]
    assert len(records_of(tmp_path / "-_all.pcap")) == len(SAMPLE)
    assert run_with_stdin("print(len(vexlor.read_flows('-')))", pcap_bytes(SAMPLE)) == "5\n"
    out = run_with_stdin("try:\n    vexlor.read_flows('-')\nexcept RuntimeError as e:\n    print(e)", b"")
    assert out == "Unsupported file format (unknown magic number)\n"


@pytest.mark.parametrize("kwargs,message", [
    (dict(strategy="bogus"), "Unknown strategy: bogus"),
    (dict(strategy=" session"), "Unknown strategy:  session"),
    (dict(strategy="a\0bé"), "Unknown strategy: a\0bé"),
    (dict(strategy="İ"), "Unknown strategy: İ"),
    (dict(strategy="bogus", output_type="csv"), "Unknown strategy: bogus"),
    (dict(output_type="CSV"), "Unknown output_type: csv. Valid: pcap, l7"),
    (dict(output_type="İ"), "Unknown output_type: i\u0307. Valid: pcap, l7"),
    (dict(output_type="pcap "), "Unknown output_type: pcap . Valid: pcap, l7"),
])
def test_argument_errors_come_before_input(tmp_path, kwargs, message):
    with raises_exactly(ValueError, message):
        vexlor.split(str(tmp_path / "missing.pcap"), str(tmp_path / "out"), **kwargs)
    assert listing(tmp_path) == []
    if "strategy" in kwargs:
        with raises_exactly(ValueError, message):
            vexlor.create_archive(str(tmp_path / "missing.pcap"), str(tmp_path / "a"), kwargs["strategy"])


@pytest.mark.parametrize("content,message", [
    (b"hello, this is text\n", "Unsupported file format (unknown magic number)"),
    (b"", "Unsupported file format (unknown magic number)"),
    (b"\xd4\xc3\xb2", "Unsupported file format (unknown magic number)"),
    (b"\xd4\xc3\xb2\xa1" + b"\0" * 6, "Invalid PCAP format: file too small for global header"),
    (CUT_RECORD, "Invalid PCAP format: packet incl_len %d exceeds remaining data at offset %d"
     % (len(SAMPLE[1][2]), 24 + 16 + len(SAMPLE[0][2]) + 16)),
])
def test_capture_errors(tmp_path, content, message):
    path = write(tmp_path / "bad.pcap", content)
    for call in (lambda: vexlor.split(path, str(tmp_path / "out")),
                 lambda: vexlor.create_archive(path, str(tmp_path / "a.vexlor")),
                 lambda: vexlor.read_flows(path)):
        with raises_exactly(RuntimeError, message):
            call()
    assert not (tmp_path / "a.vexlor").exists()


def test_read_error_leaves_only_temporary_files(tmp_path, sample_pcap):
    (tmp_path / "cut").mkdir()
    cut = write(tmp_path / "cut" / "cap.pcap", CUT_RECORD)
    with pytest.raises(RuntimeError):
        vexlor.split(cut, str(tmp_path / "out"))
    assert listing(tmp_path / "out") == [".cap_6_10_0_0_1_10_0_0_2_51000_80.pcap.tmp"]
    assert records_of(tmp_path / "out" / ".cap_6_10_0_0_1_10_0_0_2_51000_80.pcap.tmp") == expected([0])
    # A failed build leaves an existing archive untouched and its own temporary file behind.
    target = str(tmp_path / "a.vexlor")
    vexlor.create_archive(sample_pcap, target)
    before = open(target, "rb").read()
    with pytest.raises(RuntimeError):
        vexlor.create_archive(cut, target)
    assert open(target, "rb").read() == before and os.path.exists(target + ".tmp")


@pytest.mark.parametrize("path,message", [("nope.pcap", "No such file or directory (os error 2)"),
                                          ("a\0b.pcap", "file name contained an unexpected NUL byte")])
def test_unreadable_input_is_os_error(tmp_path, path, message):
    path = str(tmp_path / path)
    for call in (lambda: vexlor.split(path, str(tmp_path / "out")),
                 lambda: vexlor.create_archive(path, str(tmp_path / "a.vexlor")),
                 lambda: vexlor.read_flows(path)):
        with raises_exactly(OSError, message) as info:
            call()
        assert info.value.errno is None and info.value.filename is None
    assert listing(tmp_path) == []


def test_output_errors(tmp_path, sample_pcap):
    blocker = write(tmp_path / "file", b"x")
    with pytest.raises(OSError) as info:
        vexlor.split(sample_pcap, blocker + "/sub")
    assert type(info.value) is OSError and info.value.errno is None
    assert re.fullmatch(r".+ \(os error \d+\)", str(info.value))
    target = str(tmp_path / "no" / "dir.vexlor")
    with raises_exactly(OSError, "Failed to create temp archive file: " + target + ".tmp"):
        vexlor.create_archive(sample_pcap, target)
    # A directory in the way makes the final rename fail; the complete archive stays as .tmp.
    target = tmp_path / "taken.vexlor"
    (target / "inner").mkdir(parents=True)
    with raises_exactly(RuntimeError, "Failed to rename %s.tmp -> %s" % (target, target)):
        vexlor.create_archive(sample_pcap, str(target))
    assert vexlor.Archive.open(str(target) + ".tmp").flow_count == 5


def test_big_frame_is_written_whole(tmp_path):
    frame = tcp4("10.0.0.1", "10.0.0.2", 1, 2, b"z" * 70000)
    vexlor.split(write(tmp_path / "cap.pcap", pcap_bytes([(1, 2, frame)])), str(tmp_path / "out"), "nosplit")
    assert records_of(tmp_path / "out" / "cap_all.pcap") == [(1, 2, frame, len(frame))]
