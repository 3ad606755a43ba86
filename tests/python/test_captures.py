"""The real captures of the shared corpus, split by session and read as flows."""
import csv
import re

import pytest

import vexlor
from conftest import CAPTURES, read_pcap


def manifest():
    path = CAPTURES / "MANIFEST.tsv"
    if not path.is_file():
        return []
    with open(path, newline="") as f:
        return list(csv.DictReader(f, delimiter="\t"))


ROWS = manifest()
GOOD = [r for r in ROWS if "expected: vexlor raises" not in r["note"]]
BAD = [r for r in ROWS if "expected: vexlor raises" in r["note"]]


def expected_count(row):
    """capinfos' count, where the system is meant to read the file the same way."""
    m = re.match(r"(\d+)", row["packets"])
    return int(m.group(1)) if m and "read differently" not in row["note"] else None


@pytest.mark.skipif(not ROWS, reason="no capture corpus at %s" % CAPTURES)
@pytest.mark.parametrize("row", GOOD, ids=[r["file"] for r in GOOD])
def test_capture_split_and_read_flows_agree(tmp_path, row):
    path = str(CAPTURES / row["file"])
    archive = vexlor.read_flows(path, strategy="session")
    flows = archive.flows()
    total = sum(f.packet_count for f in flows)
    assert [f.id for f in flows] == list(range(1, len(flows) + 1))
    assert sum(len(f.packets()) for f in flows) == total
    assert sum(f.total_bytes for f in flows) == sum(p.orig_len for f in flows for p in f.packets())
    if expected_count(row) is not None:
        assert total == expected_count(row)
    # The indexes agree with the flows' own attributes.
    for name, number in (("tcp", 6), ("udp", 17), ("icmp", 1), ("icmpv6", 58)):
        assert [f.id for f in archive.find_by_protocol(name)] == [f.id for f in flows if f.proto == number]
    for f in flows[:50]:
        assert f.id in [g.id for g in archive.find_by_ip(f.dst_addr)]
        assert f.id in [g.id for g in archive.find_by_port(f.src_port)]
    if re.fullmatch(r"0x[0-9a-f]+|\d+", row["link_types"]):
        assert archive.link_type == int(row["link_types"], 0)

    out = tmp_path / "out"
    vexlor.split(path, str(out), strategy="session")
    files = sorted(out.iterdir())
    assert len(files) == len(flows)
    written = sum(len(read_pcap(p.read_bytes())[1]) for p in files)
    assert written == total
    links = {read_pcap(p.read_bytes())[0] for p in files}
    assert links <= {archive.link_type}
    vexlor.create_archive(path, str(tmp_path / "a.vexlor"))
    assert sorted(vexlor.pipe_archive(str(tmp_path / "a.vexlor"))) == sorted(p.read_bytes() for p in files)


@pytest.mark.skipif(not BAD, reason="no capture corpus at %s" % CAPTURES)
@pytest.mark.parametrize("row", BAD, ids=[r["file"] for r in BAD])
def test_capture_rejected_with_message(tmp_path, row):
    exc_name, message = re.search(r'expected: vexlor raises (\w+) "([^"]*)"', row["note"]).groups()
    assert exc_name == "RuntimeError"
    path = str(CAPTURES / row["file"])
    for call in (lambda: vexlor.split(path, str(tmp_path / "out")),
                 lambda: vexlor.create_archive(path, str(tmp_path / "a.vexlor")),
                 lambda: vexlor.read_flows(path)):
        with pytest.raises(RuntimeError) as info:
            call()
        assert str(info.value) == message
    assert not list(tmp_path.glob("out/*.pcap")) and not (tmp_path / "a.vexlor").exists()
