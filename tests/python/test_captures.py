"""The real captures of the shared corpus through read_flows: packet totals, and the files it must refuse.
Each capture's records are compared with the split output in the C++ tests."""
import csv
import re

import pytest

import vexlor
from conftest import CAPTURES, raises_exactly

MANIFEST = CAPTURES / "MANIFEST.tsv"
ROWS = list(csv.DictReader(MANIFEST.read_text().splitlines(), delimiter="\t")) if MANIFEST.is_file() else []
REFUSED = [r for r in ROWS if "expected: vexlor raises" in r["note"]]
# capinfos' count, where the system is meant to read the file the same way.
COUNTED = [r for r in ROWS if r not in REFUSED and "read differently" not in r["note"] and r["packets"][:1].isdigit()]


@pytest.mark.skipif(not ROWS, reason="no capture corpus at %s" % CAPTURES)
@pytest.mark.parametrize("row", COUNTED, ids=[r["file"] for r in COUNTED])
def test_read_flows_counts_every_packet(row):
    flows = vexlor.read_flows(str(CAPTURES / row["file"])).flows()
    assert sum(f.packet_count for f in flows) == int(re.match(r"\d+", row["packets"]).group())


@pytest.mark.skipif(not ROWS, reason="no capture corpus at %s" % CAPTURES)
@pytest.mark.parametrize("row", REFUSED, ids=[r["file"] for r in REFUSED])
def test_capture_refused_with_message(row):
    exc_name, message = re.search(r'expected: vexlor raises (\w+) "([^"]*)"', row["note"]).groups()
    assert exc_name == "RuntimeError"
    with raises_exactly(RuntimeError, message):
        vexlor.read_flows(str(CAPTURES / row["file"]))
