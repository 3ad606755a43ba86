"""read_flows (temporary archive per process) and pipe_archive (in-memory pcap images)."""
import gc
import io
import os

import dpkt
import pytest

import vexlor
from conftest import SAMPLE, SAMPLE_SESSION_FILES, TEMP_ARCHIVE, eth, ipv4, pad, pcap_bytes, udp, write


@pytest.fixture(autouse=True)
def no_stale_temp_archive():
    gc.collect()
    if os.path.exists(TEMP_ARCHIVE):
        os.unlink(TEMP_ARCHIVE)
    yield
    gc.collect()


def summary(archive):
    return [(repr(f), [(p.ts_sec, p.ts_usec, p.orig_len, p.data) for p in f.packets()]) for f in archive.flows()]


def test_read_flows_matches_create_archive(tmp_path, monkeypatch, sample_pcap, sample_archive):
    monkeypatch.setenv("TMPDIR", str(tmp_path))  # the temporary archive is always in /tmp
    a = vexlor.read_flows(sample_pcap)
    assert os.path.isfile(TEMP_ARCHIVE)
    assert summary(a) == summary(vexlor.Archive.open(sample_archive))
    assert repr(a) == "Archive(flows=5, link_type=1)"
    flow = a.get_flow(1)
    opened = vexlor.Archive.open(TEMP_ARCHIVE)
    del opened  # an archive from Archive.open deletes nothing
    assert os.path.isfile(TEMP_ARCHIVE)
    del a
    assert not os.path.exists(TEMP_ARCHIVE)
    assert len(flow.packets()) == 3  # still mapped after the file is gone


def test_read_flows_arguments(sample_pcap):
    a = vexlor.read_flows(sample_pcap, "host", 5, ["10.0.0.3"], [53])
    assert [f.src_addr for f in a.flows()] == ["10.0.0.3", "10.0.0.3"]
    b = vexlor.read_flows(input_path=sample_pcap, strategy="NOSPLIT", port_filters=(80, 443))
    assert [f.packet_count for f in b.flows()] == [4]


def test_read_flows_empty_capture(make_capture):
    a = vexlor.read_flows(make_capture([]))
    assert (len(a), a.flows(), os.path.getsize(TEMP_ARCHIVE)) == (0, [], 240)
    del a
    assert not os.path.exists(TEMP_ARCHIVE)


def test_read_flows_replaces_a_stale_file(sample_pcap):
    write(TEMP_ARCHIVE, b"garbage")
    assert len(vexlor.read_flows(sample_pcap)) == 5
    assert not os.path.exists(TEMP_ARCHIVE)


@pytest.mark.parametrize("path,exc", [("missing.pcap", OSError), ("text", RuntimeError)])
def test_read_flows_failure_leaves_no_file(tmp_path, path, exc):
    write(tmp_path / "text", b"not a capture at all")
    with pytest.raises(exc):
        vexlor.read_flows(str(tmp_path / path))
    assert not os.path.exists(TEMP_ARCHIVE) and not os.path.exists(TEMP_ARCHIVE + ".tmp")
    with pytest.raises(ValueError, match="^Unknown strategy: x$"):
        vexlor.read_flows(str(tmp_path / path), "x")


@pytest.mark.parametrize("first", ["old", "young"])
def test_two_read_flows_archives(make_capture, sample_pcap, first):
    objs = {"old": vexlor.read_flows(sample_pcap),
            "young": vexlor.read_flows(make_capture(SAMPLE[2:3], name="udp.pcap"))}
    assert os.path.exists(TEMP_ARCHIVE)
    del objs[first]
    gc.collect()
    survivor = next(iter(objs.values()))
    expected = [1, 2] if first == "young" else [1]
    assert [f.id for f in survivor.find_by_ip("10.0.0.1")] == expected
    assert sum(len(f.packets()) for f in survivor.flows()) == (7 if first == "young" else 1)
    objs.clear()
    assert not os.path.exists(TEMP_ARCHIVE)


def dpkt_records(image):
    reader = dpkt.pcap.Reader(io.BytesIO(image))
    return reader.datalink(), [(round(ts, 6), bytes(buf)) for ts, buf in reader]


def test_pipe_archive_two_frames(tmp_path, make_capture):
    frames = [pad(eth(ipv4("10.0.0.1", "10.0.0.2", 17, udp(1000, 2000, b"ab")))) for _ in range(2)]
    path = str(tmp_path / "two.vexlor")
    vexlor.create_archive(make_capture([(7, 1, frames[0]), (8, 999999, frames[1])]), path)
    images = vexlor.pipe_archive(path)
    assert type(images) is list and [type(i) for i in images] == [bytes]
    assert len(images[0]) == 176
    assert images[0][:24] == bytes.fromhex("d4c3b2a1 0200 0400 00000000 00000000 ffff0000 01000000")
    assert images[0][24:40] == bytes.fromhex("07000000 01000000 3c000000 3c000000")
    assert dpkt_records(images[0]) == (1, [(7.000001, frames[0]), (8.999999, frames[1])])


def test_pipe_archive_matches_packets_and_split(tmp_path, sample_pcap, sample_archive):
    images = vexlor.pipe_archive(archive_path=sample_archive)
    flows = vexlor.Archive.open(sample_archive).flows()
    assert len(images) == len(flows) == 5
    for image, flow in zip(images, flows):
        link, recs = dpkt_records(image)
        assert link == 1
        assert recs == [(round(p.ts, 6), p.data) for p in flow.packets()]
    vexlor.split(sample_pcap, str(tmp_path / "out"))
    on_disk = {(tmp_path / "out" / n).read_bytes() for n in SAMPLE_SESSION_FILES}
    assert on_disk == set(images)


def test_pipe_archive_keeps_link_type(tmp_path, make_capture):
    raw = ipv4("10.0.0.1", "10.0.0.2", 17, udp(1, 2, b"raw"))
    path = str(tmp_path / "raw.vexlor")
    vexlor.create_archive(make_capture([(1, 2, raw)], linktype=101, nano=True, big=True), path)
    assert vexlor.Archive.open(path).link_type == 101
    [image] = vexlor.pipe_archive(path)
    assert image == pcap_bytes([(1, 0, raw)], linktype=101)


def test_pipe_archive_empty_and_errors(tmp_path, make_capture, sample_pcap):
    path = str(tmp_path / "empty.vexlor")
    vexlor.create_archive(make_capture([], name="e.pcap"), path)
    assert vexlor.pipe_archive(path) == []
    for target, message in [(sample_pcap, "Invalid archive footer"),
                            (str(tmp_path / "missing.vexlor"), "Failed to open archive")]:
        with pytest.raises(OSError) as info:
            vexlor.pipe_archive(target)
        assert (type(info.value), info.value.args) == (OSError, (message,))
