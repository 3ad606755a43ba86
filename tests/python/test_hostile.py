"""Failures and hostile inputs through every entry point: each documented failure raises its class with its exact
message, a failed run leaves no final-named output (only hidden temporaries), and representative damaged captures
and archives (cut short, length and steering fields at extremes) give exact outcomes. Sweeps over cuts and flipped
bytes belong to the fuzz targets (fuzz/); scripts/sanitized_pytest.sh runs this file against a sanitized module."""
import os, struct

import pytest

import vexlor
from conftest import (SAMPLE, TEMP_ARCHIVE, capture, contents, finals, listing, pcapng_block, raises_exactly, read_pcap,
                      records, write)

PCAP, NG = capture(SAMPLE), capture(SAMPLE, ng=True)
SECOND_EPB = 48 + struct.unpack_from("<I", NG, 52)[0]  # after the section header, the interface and one EPB
BAD_MAGIC = "Unsupported file format (unknown magic number)"
BUILDS = {"split": lambda src, tmp: vexlor.split(src, str(tmp / "out")),
          "create_archive": lambda src, tmp: vexlor.create_archive(src, str(tmp / "a.vexlor")),
          "read_flows": lambda src, tmp: vexlor.read_flows(src)}


def u32(data, pos, value):
    return data[:pos] + struct.pack("<I", value) + data[pos + 4:]


# (input bytes or a path, exception, message); exception None: the number of packets read.
CAPTURES = {
    "missing": ("nope.pcap", OSError, "No such file or directory (os error 2)"),
    "nul-in-name": ("a\0b.pcap", OSError, "file name contained an unexpected NUL byte"),
    "empty": (b"", RuntimeError, BAD_MAGIC), "text": (b"hello, this is text\n", RuntimeError, BAD_MAGIC),
    "header-cut": (PCAP[:23], RuntimeError, "Invalid PCAP format: file too small for global header"),
    "header-only": (PCAP[:24], None, 0),
    "record-header-cut": (PCAP[:24 + 16 + 59 + 15], None, 1),  # a trailing fragment ends the data quietly
    "frame-cut": (PCAP[:-1], RuntimeError, "Invalid PCAP format: packet incl_len 58 exceeds remaining data at "
                                           "offset %d" % (len(PCAP) - 58)),
    "incl-len-max": (u32(PCAP, 32, 2**32 - 1), RuntimeError,
                     "Invalid PCAP format: packet incl_len 4294967295 exceeds remaining data at offset 40"),
    "ng-byte-order": (u32(NG, 8, 0x1B2B3C4D), RuntimeError, "Invalid PCAP-NG format: Unknown byte order magic: "
                                                            "0x1B2B3C4D"),
    "ng-shb-short": (struct.pack("<III", 0x0A0D0D0A, 12, 0x1A2B3C4D), RuntimeError,
                     "Invalid PCAP-NG format: SHB too short"),
    "ng-idb-short": (NG[:28] + pcapng_block("<", 1, b""), RuntimeError, "Invalid PCAP-NG format: IDB too short"),
    "ng-epb-short": (NG[:48] + pcapng_block("<", 6, bytes(8)), RuntimeError, "Invalid PCAP-NG format: EPB too short"),
    "ng-spb-short": (NG[:48] + pcapng_block("<", 3, b""), RuntimeError, "Invalid PCAP-NG format: SPB too short"),
    "ng-caplen-max": (u32(NG, SECOND_EPB + 20, 2**32 - 1), RuntimeError,
                      "Invalid PCAP-NG format: EPB packet data exceeds block"),
    "ng-last-block-cut": (NG[:-3], None, 6), "ng-block-length-max": (u32(NG, 52, 2**32 - 1), None, 0),
}


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
        (vexlor.create_archive, str(tmp_path / "taken.vexlor"), RuntimeError, "Failed to rename %s -> %s"),
    ]:
        with raises_exactly(exc, message.replace("%s", target + ".tmp", 1).replace("%s", target)):
            call(sample_pcap, target)
    assert listing(tmp_path) == ["cap.pcap", "file", "taken.vexlor", "taken.vexlor.tmp"]
    assert listing(tmp_path / "taken.vexlor") == ["inner"] and open(blocker, "rb").read() == b"precious"


def u64(data, pos):
    return struct.unpack_from("<Q", data, pos)[0]


def entry(flow, offset):
    """Where a field of a flow's entry lies: the footer's u64 at 48 from its start gives the flow table."""
    return lambda data: u64(data, len(data) - 80) + 96 * (flow - 1) + offset


# (where, width, value, then: the error of open() and pipe_archive(), or ids found by flows(), find_by_ip("10.0.0.1"),
# find_by_port(53) and get_flow(2**64 - 1), and packets per flow, None where packets() fails)
@pytest.mark.parametrize("pos,width,value,found,packets", [
    (lambda d: len(d) - 80, 8, -1, "Flow table extends beyond file", None),  # the footer's table offset
    (lambda d: len(d) - 72, 8, 2 ** 40, "Flow table extends beyond file", None),  # and table length
    (lambda d: len(d) - 56, 8, -1, [[1, 2, 3, 4, 5], [1, 2], [2], []], [3, 1, 1, 1, 1]),  # no index: tables scanned
    (entry(2, 56), 8, -1, [[1, 2, 3, 4, 5], [1, 2], [2], []], [3, None, 1, 1, 1]),  # flow 2's offset list outside
    (entry(1, 68), 4, 1, [[1, 2, 3, 4, 5], [1, 2], [2], []], [1, 1, 1, 1, 1]),  # flow 1's packet count
    (entry(1, 68), 4, -1, [[1, 2, 3, 4, 5], [1, 2], [2], []], [3, 1, 1, 1, 1]),  # decoding ends at the list's end
    # Flow 2's only record starts 10 bytes before the end: left out of packets() and the images, not an error.
    (lambda d: u64(d, entry(2, 56)(d)), 8, lambda d: len(d) - 10, [[1, 2, 3, 4, 5], [1, 2], [2], []], [3, 0, 1, 1, 1]),
    (entry(1, 0), 8, -1, [[2 ** 64 - 1, 2, 3, 4, 5], [2], [2], [2 ** 64 - 1]], [3, 1, 1, 1, 1]),  # flow 1's id
])
def test_damaged_archives(sample_archive, pos, width, value, found, packets):
    data = bytearray(open(sample_archive, "rb").read())
    at, value = pos(data), value(data) if callable(value) else value
    data[at:at + width] = (value % 2 ** (8 * width)).to_bytes(width, "little")
    path = write(sample_archive + ".patched", bytes(data))
    if packets is None:
        for call in (vexlor.Archive.open, vexlor.pipe_archive):
            with raises_exactly(OSError, found):
                call(path)
        return
    archive, intact = vexlor.Archive.open(path), vexlor.Archive.open(sample_archive).flows()
    assert [[f.id for f in q] for q in (archive.flows(), archive.find_by_ip("10.0.0.1"), archive.find_by_port(53),
                                         [archive.get_flow(2 ** 64 - 1)] if archive.get_flow(2 ** 64 - 1) else [])] == found
    got = []
    for flow, n, whole in zip(archive.flows(), packets, intact):
        if n is None:
            with raises_exactly(RuntimeError, "Offset list extends beyond file"):
                flow.packets()
            got.append(None)
        else:  # the first n of the intact archive's records
            assert records(flow.packets()) == records(whole.packets())[:n]
            got.append(records(flow.packets()))
    if None in got:  # only that flow fails, and pipe_archive with it
        with raises_exactly(RuntimeError, "Offset list extends beyond file"):
            vexlor.pipe_archive(path)
    else:
        assert [read_pcap(image) for image in vexlor.pipe_archive(path)] == [(1, p) for p in got]
    del archive  # flows outlive their archive and keep reading its mapping


@pytest.mark.parametrize("content,message", [
    (None, "Failed to open archive"), (b"\0" * 127, "File too small to be a valid archive"),
    (b"VEXLOR02" + b"\0" * 300, "Invalid archive footer"),
])
def test_files_that_are_no_archive(tmp_path, content, message):
    path = str(tmp_path / "a\0b") if content is None else write(tmp_path / "bad.vexlor", content)
    for call in (vexlor.Archive.open, vexlor.pipe_archive):
        with raises_exactly(OSError, message):
            call(path)
        with raises_exactly(OSError, "Failed to open archive"):
            call(str(tmp_path / "missing.vexlor"))
