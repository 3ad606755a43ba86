"""The tool's flow boundaries (--idle-timeout, --tcp-restart) on split and archive, and the outer identifiers that
`flows` lists for tagged and tunnelled flows."""
import csv, io, re, subprocess

import pytest

from conftest import CAPTURES, KEYS, T, capture, frame, needs_cli, needs_tshark, read_pcap, tool, write

pytestmark = needs_cli
FIN, SYN, RST, ACK = 0x01, 0x02, 0x04, 0x10
NAME = "cap_6_10_0_0_1_10_0_0_2_1000_80"


def segment(secs, flags, back=False):
    ends = [("10.0.0.1", 1000), ("10.0.0.2", 80)][::-1 if back else 1]
    return (T + secs, 0, frame(ends[0][0], ends[1][0], 6, ends[0][1], ends[1][1], flags=flags))


# One connection, closed, opened again a second later, reset, quiet for an hour, and used again.
CONNECTIONS = [segment(0, SYN), segment(0, SYN | ACK, True), segment(1, FIN | ACK), segment(1, FIN | ACK, True),
               segment(1, ACK), segment(2, SYN), segment(3, RST, True), segment(3600, ACK), segment(3601, ACK)]

# options -> the packets (by index in CONNECTIONS) of each file, named by its suffix.
BOUNDARIES = [
    ([], {"": range(9)}),
    (["--idle-timeout", "60"], {"": range(7), "-2": [7, 8]}),
    (["--idle-timeout", "0.5"], {"": [0, 1], "-2": [2, 3, 4], "-3": [5], "-4": [6], "-5": [7], "-6": [8]}),
    (["--tcp-restart"], {"": range(5), "-2": range(5, 9)}),
    (["--tcp-restart", "--idle-timeout", "600"], {"": range(5), "-2": [5, 6], "-3": [7, 8]}),
]


@pytest.mark.parametrize("options, files", BOUNDARIES)
def test_split_files_and_archive_flows_follow_the_boundaries(tmp_path, options, files):
    cap = write(tmp_path / "cap.pcap", capture(CONNECTIONS))
    for decode in ("wide", "basic"):
        out = tmp_path / decode
        tool("split", cap, out, "--quiet", "--decode", decode, *options)
        got = {p.name[len(NAME):-len(".pcap")]: [r[3] for r in read_pcap(p.read_bytes())[1]] for p in out.iterdir()}
        assert got == {suffix: [CONNECTIONS[i][2] for i in packets] for suffix, packets in files.items()}
        tool("archive", cap, tmp_path / ("%s.vexlor" % decode), "--quiet", "--decode", decode, *options)
        rows = list(csv.DictReader(io.StringIO(tool("flows", tmp_path / ("%s.vexlor" % decode), "--format", "csv"))))
        assert [int(r["packets"]) for r in rows] == [len(p) for p in files.values()]
        assert {(r["src_ip"], r["dst_ip"]) for r in rows} <= {("10.0.0.1", "10.0.0.2"), ("10.0.0.2", "10.0.0.1")}


def vxlan(vni, inner):
    header = bytes.fromhex("08000000") + (vni << 8).to_bytes(4, "big")
    return frame("192.0.2.1", "192.0.2.2", 17, 49152, 4789, header + inner)


def vlan(vid, inner):
    return inner[:12] + b"\x81\x00" + vid.to_bytes(2, "big") + inner[12:]


INNER = [frame("10.1.0.%d" % n, "10.1.0.9", 17, 5000 + n, 53, b"q") for n in range(4)]
# (records, the outer column of each flow in id order; None: no such column)
OUTER = [
    ([INNER[0], INNER[1]], None),
    ([vlan(100, INNER[0]), vlan(200, vlan(300, INNER[1])), INNER[2]], ["vlan=100", "vlan=200/300", ""]),
    ([vxlan(5001, INNER[0]), vxlan(5002, INNER[1]), vlan(7, vxlan(42, INNER[2]))],
     ["vni=5001 tunnel=192.0.2.1>192.0.2.2", "vni=5002 tunnel=192.0.2.1>192.0.2.2",
      "vlan=7 vni=42 tunnel=192.0.2.1>192.0.2.2"]),
]


@pytest.mark.parametrize("frames, outer", OUTER)
def test_flows_lists_outer_identifiers_only_when_there_are_some(tmp_path, frames, outer):
    cap = write(tmp_path / "cap.pcap", capture([(T + i, 0, f) for i, f in enumerate(frames)]))
    tool("archive", cap, tmp_path / "a.vexlor", "--quiet")
    text = tool("flows", tmp_path / "a.vexlor", "--format", "csv")
    header = text.splitlines()[0].split(",")
    assert header == KEYS + (["outer"] if outer else [])
    rows = list(csv.DictReader(io.StringIO(tool("table", cap, "--quiet"))))  # the flow table has them too
    assert [r["outer"] for r in rows] == (outer or [""] * len(rows))
    if outer:
        assert [r["outer"] for r in csv.DictReader(io.StringIO(text))] == outer
        table = tool("flows", tmp_path / "a.vexlor").splitlines()
        assert table[0].split()[-1] == "OUTER" and table[1].endswith(outer[0])


# tshark's fields for each kind of identifier (an 802.1ad service tag is a dissector of its own there).
TSHARK_FIELDS = {"vlan": ["vlan.id", "ieee8021ad.id"], "vni": ["vxlan.vni"], "mpls": ["mpls.label"],
                 "pppoe": ["pppoe.session_id"]}
REAL = ["tcpdump/eth-udp-vxlan.pcap", "tcpdump/eth-qinq-8021ad.pcap", "zeek/eth-vlan-ipv4-tcp-http.pcap",
        "pcapplusplus/eth-mpls.pcap", "pcapplusplus/eth-pppoe-session.pcap"]


@needs_tshark
@pytest.mark.parametrize("name", REAL)
def test_outer_identifiers_are_those_tshark_sees(tmp_path, name):
    if not (CAPTURES / name).is_file():
        pytest.skip("%s is not among the real captures" % name)
    tool("archive", CAPTURES / name, tmp_path / "a.vexlor", "--quiet")
    rows = list(csv.DictReader(io.StringIO(tool("flows", tmp_path / "a.vexlor", "--format", "csv"))))
    listed = {}
    for row in rows:
        for kind, ids in re.findall(r"(\w+)=([\d/]+)", row.get("outer", "")):
            if kind in TSHARK_FIELDS:
                listed.setdefault(kind, set()).update(int(i) for i in ids.split("/"))
    assert listed, "no outer identifiers listed"
    for kind, ids in listed.items():
        fields = subprocess.run(["tshark", "-r", str(CAPTURES / name), "-T", "fields",
                                 *[arg for field in TSHARK_FIELDS[kind] for arg in ("-e", field)]],
                                capture_output=True, text=True, check=True).stdout
        seen = {int(v, 0) for v in re.split(r"[,\s]+", fields) if v}
        assert ids <= seen, kind


@pytest.mark.parametrize("name", ["zeek/eth-vlan-ipv4-tcp-http.pcap", "pcapplusplus/pcap-be-ns-eth.pcap",
                                  "tcpdump/pcap-be-us-eth-pptp-gre.pcap"])
def test_boundaries_only_cut_flows_of_real_captures(tmp_path, name):
    if not (CAPTURES / name).is_file():
        pytest.skip("%s is not among the real captures" % name)

    def files(*options):
        out = tmp_path / "-".join(["out", *options])
        tool("split", CAPTURES / name, out, "--quiet", *options)
        return {p.name: read_pcap(p.read_bytes())[1] for p in out.iterdir()}

    whole = files()
    for options in (["--idle-timeout", "0.001"], ["--tcp-restart"]):
        cut = files(*options)
        by_flow = {}
        for file in cut:
            by_flow.setdefault(re.sub(r"-\d+\.pcap$", ".pcap", file), []).extend(cut[file])
        assert {f: sorted(r) for f, r in by_flow.items()} == {f: sorted(r) for f, r in whole.items()}
