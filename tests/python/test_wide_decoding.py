"""The tool's wide decoding on real captures: the sessions tshark finds, and the module's outputs with
--decode basic."""
import pathlib
import re
import shutil
import struct
import subprocess
import sys

import pytest

import vexlor
from conftest import CAPTURES

CLI = pathlib.Path(sys.executable).parent / "vexlor"
pytestmark = [
    pytest.mark.skipif(not CLI.exists(), reason="the vexlor tool is not installed"),
    pytest.mark.skipif(not CAPTURES.is_dir(), reason="no real captures beside the repository"),
    pytest.mark.skipif(shutil.which("tshark") is None, reason="tshark is not installed"),
]

# Cooked link layers, tags, label stacks, PPPoE, loopback, GRE and fragments: captures whose every
# TCP/UDP conversation tshark sees in its innermost headers.
INNER_CONVERSATIONS = [
    "pcapplusplus/sll2-276.pcap", "pcapplusplus/eth-ipv4-fragments.pcap",
    "pcapplusplus/eth-ipv6-fragments.pcap", "pcapplusplus/eth-mpls.pcap",
    "pcapplusplus/eth-pppoe-session.pcap", "pcapplusplus/null0-loopback.pcap",
    "pcapplusplus/pcapng-named-pcap-gre.pcapng", "tcpdump/null0-ipv4-tcp-rst.pcap",
    "pcapplusplus/pcapng-6-interfaces-mixed-tsresol-eth-sll.pcapng",
]
PLAIN = ["pcapplusplus/eth-vlan-arp.pcap", "pcapng-test-generator/le-test001-basic.pcapng",
         "pcapplusplus/pcapng-ipsec-ah-esp.pcapng"]


def tool(*args):
    return subprocess.run([str(CLI), *map(str, args)], capture_output=True, text=True)


def records(path):
    """Packets of a classic pcap file as this system writes it."""
    data = path.read_bytes()
    count, at = 0, 24
    while at + 16 <= len(data):
        at += 16 + struct.unpack_from("<I", data, at + 8)[0]
        count += 1
    return count


def tshark_conversations(path):
    """Frame counts of tshark's TCP and UDP conversations, sorted."""
    out = subprocess.run(["tshark", "-r", str(path), "-q", "-z", "conv,tcp", "-z", "conv,udp"],
                         capture_output=True, text=True, check=True).stdout
    return sorted(int(m.group(1)) for m in re.finditer(r"<->.*?\d+ \S+ bytes\s+\d+ \S+ bytes\s+(\d+) ", out))


@pytest.mark.parametrize("name", INNER_CONVERSATIONS)
def test_sessions_are_tsharks_conversations(tmp_path, name):
    result = tool("split", CAPTURES / name, tmp_path, "--quiet")
    assert result.returncode == 0, result.stderr
    ours = sorted(records(p) for p in tmp_path.iterdir() if re.search(r"_(6|17)_", p.name))
    theirs = tshark_conversations(CAPTURES / name)
    if "fragments" not in name:
        assert ours == theirs
        return
    # tshark counts a datagram once, in the frame that completes it; every
    # fragment is in our session file.
    assert len(ours) == len(theirs)
    frames = subprocess.run(["tshark", "-r", str(CAPTURES / name)], capture_output=True, text=True)
    assert sum(ours) == len(frames.stdout.splitlines())


def test_a_tunnelled_ping_is_one_session(tmp_path):
    """VXLAN: the inner request and reply leave from different outer ports."""
    tool("split", CAPTURES / "tcpdump/eth-udp-vxlan.pcap", tmp_path, "--quiet")
    inner = [p for p in tmp_path.iterdir() if "_1_192_168_203_3_192_168_203_5_" in p.name]
    assert len(inner) == 1 and records(inner[0]) == 8


@pytest.mark.parametrize("name", INNER_CONVERSATIONS + PLAIN + ["tcpdump/eth-udp-vxlan.pcap"])
def test_basic_decoding_is_the_modules(tmp_path, name):
    vexlor.split(str(CAPTURES / name), str(tmp_path / "module"))
    result = tool("split", CAPTURES / name, tmp_path / "tool", "--decode", "basic", "--quiet")
    assert result.returncode == 0, result.stderr
    module = {p.name: p.read_bytes() for p in (tmp_path / "module").iterdir()}
    assert {p.name: p.read_bytes() for p in (tmp_path / "tool").iterdir()} == module


@pytest.mark.parametrize("name", PLAIN)
def test_both_decodings_agree_on_plain_captures(tmp_path, name):
    for decode in ("basic", "wide"):
        tool("split", CAPTURES / name, tmp_path / decode, "--decode", decode, "--quiet")
    wide = {p.name: p.read_bytes() for p in (tmp_path / "wide").iterdir()}
    assert wide == {p.name: p.read_bytes() for p in (tmp_path / "basic").iterdir()}


@pytest.mark.parametrize("name, packets", [
    ("pcapng-test-generator/le-test202-sections-mixed-endianness.pcapng", 8),
    ("pcapng-test-generator/be-test202-sections-mixed-endianness.pcapng", 8),
    ("pcapng-test-generator/le-test005-idb-after-epb.pcapng", 4),
    ("scapy/pcapng-be-obsolete-packet-blocks-named-pcap.pcap", 200)])
def test_every_pcapng_section_and_block_is_read(tmp_path, name, packets):
    """Sections of both byte orders, late interfaces and obsolete packet blocks: every packet reaches
    a file, and each file holds one link type (named in the file name when it is not the first)."""
    tool("split", CAPTURES / name, tmp_path, "--strategy", "nosplit", "--quiet")
    assert sum(records(p) for p in tmp_path.iterdir()) == packets
    for p in tmp_path.iterdir():
        link = struct.unpack_from("<I", p.read_bytes(), 20)[0]
        assert ("_lt%d_" % link in p.name) or "_lt" not in p.name


def test_a_capture_without_ip_is_reported(tmp_path):
    """A link type read as raw IP that holds no IP at all: the run says so."""
    frames = [bytes(40)] * 3
    data = struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 147) + b"".join(
        struct.pack("<IIII", 1, i, len(f), len(f)) + f for i, f in enumerate(frames))
    (tmp_path / "odd.pcap").write_bytes(data)
    result = tool("split", tmp_path / "odd.pcap", tmp_path / "out", "--quiet")
    assert result.returncode == 0
    assert "3 of 3 packets had no IP header (link type 147, link type 147)" in result.stderr
