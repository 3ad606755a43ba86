"""split() and create_archive(): a smoke run, and how the core's failures reach Python (classes and texts).
The files' exact layouts, strategies, filters and limits are covered by the C++ tests."""
import re
import subprocess
import sys

import pytest

import vexlor
from conftest import SAMPLE, SAMPLE_SESSION_FILES, listing, pcap_bytes, raises_exactly, write

ALL_THREE = [lambda p, t: vexlor.split(p, str(t / "out")),
             lambda p, t: vexlor.create_archive(p, str(t / "a.vexlor")),
             lambda p, t: vexlor.read_flows(p)]


def test_split_smoke(tmp_path, sample_pcap):
    out = tmp_path / "out"
    assert vexlor.split(sample_pcap, str(out)) is None
    assert listing(out) == sorted(SAMPLE_SESSION_FILES)
    for name, indexes in SAMPLE_SESSION_FILES.items():
        assert (out / name).read_bytes() == pcap_bytes([SAMPLE[i] for i in indexes])
    vexlor.split(sample_pcap, str(tmp_path / "l7"), "nosplit", output_type="L7")
    assert (tmp_path / "l7" / "cap_all.l7").read_bytes() == b"GET /HTTPq?tlsmore"


@pytest.mark.parametrize("kwargs,message", [
    (dict(strategy="a\0bé"), "Unknown strategy: a\0bé"),
    (dict(strategy="bogus", output_type="csv"), "Unknown strategy: bogus"),
    (dict(output_type="İ"), "Unknown output_type: i\u0307. Valid: pcap, l7"),  # Python's own lower-casing
])
def test_argument_errors_come_before_input(tmp_path, kwargs, message):
    with raises_exactly(ValueError, message):
        vexlor.split(str(tmp_path / "missing.pcap"), str(tmp_path / "out"), **kwargs)
    assert listing(tmp_path) == []
    if "strategy" in kwargs:
        for call in (vexlor.create_archive, lambda p, _, s: vexlor.read_flows(p, s)):
            with raises_exactly(ValueError, message):
                call(str(tmp_path / "missing.pcap"), str(tmp_path / "a"), kwargs["strategy"])


@pytest.mark.parametrize("call", ALL_THREE, ids=["split", "create_archive", "read_flows"])
def test_input_errors(tmp_path, call):
    bad = write(tmp_path / "bad.pcap", b"hello, this is text\n")
    with raises_exactly(RuntimeError, "Unsupported file format (unknown magic number)"):
        call(bad, tmp_path)
    for path, message in [("nope.pcap", "No such file or directory (os error 2)"),
                          ("a\0b.pcap", "file name contained an unexpected NUL byte")]:
        with raises_exactly(OSError, message) as info:
            call(str(tmp_path / path), tmp_path)
        assert info.value.errno is None and info.value.filename is None
    assert listing(tmp_path) == ["bad.pcap"]


def test_output_errors(tmp_path, sample_pcap):
    blocker = write(tmp_path / "file", b"x")
    with raises_exactly(OSError, "Not a directory (os error 20)"):
        vexlor.split(sample_pcap, blocker + "/sub")
    # A NUL would cut the path short and write somewhere else.
    with raises_exactly(OSError, "file name contained an unexpected NUL byte"):
        vexlor.split(sample_pcap, str(tmp_path / "out") + "\0x")
    target = str(tmp_path / "nul") + "\0x.vexlor"
    with raises_exactly(OSError, "Failed to create temp archive file: " + target + ".tmp"):
        vexlor.create_archive(sample_pcap, target)
    assert "out" not in listing(tmp_path) and not any(n.startswith("nul") for n in listing(tmp_path))
    target = str(tmp_path / "no" / "dir.vexlor")
    with raises_exactly(OSError, "Failed to create temp archive file: " + target + ".tmp"):
        vexlor.create_archive(sample_pcap, target)
    target = tmp_path / "taken.vexlor"  # a directory in the way of the final rename
    (target / "inner").mkdir(parents=True)
    with raises_exactly(RuntimeError, "Failed to rename %s.tmp -> %s" % (target, target)):
        vexlor.create_archive(sample_pcap, str(target))


def test_read_flows_from_standard_input(sample_pcap):
    code = "import sys, vexlor\ntry:\n    print(len(vexlor.read_flows('-')))\nexcept RuntimeError as e:\n    print(e)"
    run = [sys.executable, "-c", code]
    with open(sample_pcap, "rb") as f:
        assert subprocess.run(run, stdin=f, capture_output=True, timeout=120).stdout == b"5\n"
    res = subprocess.run(run, input=b"", capture_output=True, timeout=120)
    assert res.stdout == b"Unsupported file format (unknown magic number)\n"
