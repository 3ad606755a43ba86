"""Each kind of bad input, through every entry point, raises its class with its exact message and leaves no
final-named output; sweeps over damaged bytes are the fuzz targets' (fuzz/). Also run against a sanitized module."""
import os, struct

import pytest

import vexlor
from conftest import SAMPLE, TEMP_ARCHIVE, capture, contents, finals, listing, raises_exactly, read_pcap, records, write

PCAP, NG = capture(SAMPLE), capture(SAMPLE, ng=True)
SECOND_EPB = 48 + struct.unpack_from("<I", NG, 52)[0]  # after the section header, the interface and one EPB
BAD_MAGIC = "Unsupported file format (unknown magic number)"
BUILDS = {"split": lambda src, tmp: vexlor.split(src, str(tmp / "out")),
          "create_archive": lambda src, tmp: vexlor.create_archive(src, str(tmp / "a.vexlor")),
          "read_flows": lambda src, tmp: vexlor.read_flows(src)}


def u32(data, pos, value):  # data with the u32 at pos set to value
    return data[:pos] + struct.pack("<I", value) + data[pos + 4:]


# (input bytes or a path, exception, message); exception None: the number of packets read. One case of each kind
# of outcome: every reader error's exact text, cut-off headers and blocks are the C++ readers' tests.
CAPTURES = {
    "missing": ("nope.pcap", OSError, "No such file or directory (os error 2)"),
    "nul-in-name": ("a\0b.pcap", OSError, "file name contained an unexpected NUL byte"),
    "empty": (b"", RuntimeError, BAD_MAGIC),
    "header-cut": (PCAP[:23], RuntimeError, "Invalid PCAP format: file too small for global header"),
    "header-only": (PCAP[:24], None, 0),
    "record-header-cut": (PCAP[:24 + 16 + 59 + 15], None, 1),  # a trailing fragment ends the data quietly
    "frame-cut": (PCAP[:-1], RuntimeError, "Invalid PCAP format: packet incl_len 58 exceeds remaining data at "
                                           "offset %d" % (len(PCAP) - 58)),
    "ng-byte-order": (u32(NG, 8, 0x1B2B3C4D), RuntimeError, "Invalid PCAP-NG format: Unknown byte order magic: "
                                                            "0x1B2B3C4D"),
    "ng-caplen-max": (u32(NG, SECOND_EPB + 20, 2**32 - 1), RuntimeError,
                      "Invalid PCAP-NG format: EPB packet data exceeds block")}


@pytest.mark.parametrize("call", sorted(BUILDS))
@pytest.mark.parametrize("case", sorted(CAPTURES))
def test_captures(tmp_path, call, case):
    data, exc, expected = CAPTURES[case]
    src = str(tmp_path / data) if isinstance(data, str) else write(tmp_path / "in.cap", data)
    if exc is None:
        result, out = BUILDS[call](src, tmp_path), tmp_path / "out"
        if call == "split":  # every file complete, and no temporaries
            assert sum(len(read_pcap(d)[1]) for d in contents(out).values()) == expected and finals(out) == listing(out)
        else:
            archive = result if call == "read_flows" else vexlor.Archive.open(str(tmp_path / "a.vexlor"))
            assert sum(len(f.packets()) for f in archive.flows()) == expected
        return
    with raises_exactly(exc, expected):
        BUILDS[call](src, tmp_path)
    # No final-named output: split's files, create_archive's or read_flows' archive.
    assert finals(tmp_path / "out") == [] and not any(map(os.path.exists, [tmp_path / "a.vexlor", TEMP_ARCHIVE]))


def test_outputs_that_cannot_be_written(tmp_path, sample_pcap):
    blocker = write(tmp_path / "file", b"precious")
    (tmp_path / "taken.vexlor" / "inner").mkdir(parents=True)  # a directory in the way of the final rename
    for call, target, exc, message in [
        (vexlor.split, blocker, OSError, "File exists (os error 17)"),
        (vexlor.split, blocker + "/sub", OSError, "Not a directory (os error 20)"),
        # A NUL would cut the path short and write somewhere else.
        (vexlor.split, str(tmp_path / "out") + "\0x", OSError, "file name contained an unexpected NUL byte"),
        (vexlor.create_archive, str(tmp_path / "nul") + "\0x", OSError, "Failed to create temp archive file: %s"),
        (vexlor.create_archive, blocker + "/a.vexlor", OSError, "Failed to create temp archive file: %s"),
        (vexlor.create_archive, str(tmp_path / "no" / "a.vexlor"), OSError, "Failed to create temp archive file: %s"),
        (vexlor.create_archive, str(tmp_path / "taken.vexlor"), RuntimeError, "Failed to rename %s -> %s")]:
        with raises_exactly(exc, message.replace("%s", target + ".tmp", 1).replace("%s", target)):
            call(sample_pcap, target)
    assert listing(tmp_path) == ["cap.pcap", "file", "taken.vexlor", "taken.vexlor.tmp"]
    assert listing(tmp_path / "taken.vexlor") == ["inner"] and open(blocker, "rb").read() == b"precious"


# Files that are no archive, and fields of the sample archive set to a value out of the file, wrapping past 2**64 or
# not (the footer's flow table offset and length; flow 2's offset list, then its only record, which starts 10 bytes
# before the end): the error each gives.
@pytest.mark.parametrize("case", ["missing", "nul", "short", "footer", "table", "table length", "offset list",
                                  "offset list end", "record"])
def test_damaged_archives(tmp_path, sample_archive, case):
    data = bytearray(open(sample_archive, "rb").read())
    u64 = lambda pos: struct.unpack_from("<Q", data, pos)[0]  # noqa: E731
    end, lists = len(data), u64(len(data) - 80) + 96 + 56
    at, value = {"table": (end - 80, 2**64 - 1), "table length": (end - 72, end), "offset list": (lists, 2**64 - 1),
                 "offset list end": (lists, end - 4), "record": (u64(lists), end - 10)}.get(case, (None, None))
    if at is not None:
        data[at:at + 8] = struct.pack("<Q", value)
    path = {"missing": str(tmp_path / "missing.vexlor"), "nul": str(tmp_path / "a\0b"), "short": write(
        tmp_path / "s", bytes(127)), "footer": write(tmp_path / "f", b"VEXLOR02" + bytes(300))}.get(case) or write(
        sample_archive + ".patched", bytes(data))
    if not case.startswith(("offset list", "record")):
        message = {"short": "File too small to be a valid archive", "footer": "Invalid archive footer",
                   "table": "Flow table extends beyond file"}.get(case.split()[0], "Failed to open archive")
        for call in (vexlor.Archive.open, vexlor.pipe_archive):
            with raises_exactly(OSError, message):
                call(path)
        return
    flows = vexlor.Archive.open(path).flows()  # flows outlive their archive and keep reading its mapping
    intact = vexlor.Archive.open(sample_archive).flows()
    assert [f.id for f in flows] == [1, 2, 3, 4, 5] and records(flows[0].packets()) == records(intact[0].packets())
    if case == "record":  # left out of packets() and the images, not an error
        assert flows[1].packets() == [] and read_pcap(vexlor.pipe_archive(path)[1]) == (1, [])
        return
    for call in (flows[1].packets, lambda: vexlor.pipe_archive(path)):  # only that flow fails, and pipe_archive
        with raises_exactly(RuntimeError, "Offset list extends beyond file"):
            call()
