"""read_flows (temporary archive per process) and pipe_archive (in-memory pcap images)."""
import gc
import io
import os

import dpkt
import pytest

import vexlor
from conftest import SAMPLE, SAMPLE_SESSION_FILES, TEMP_ARCHIVE, ipv4, pcap_bytes, udp, write


@pytest.fixture(autouse=True)
def no_stale_temp_archive():
    gc.collect()
    if os.path.exists(TEMP_ARCHIVE):
        os.unlink(TEMP_ARCHIVE)
    yield
    gc.collect()


def summary(archive):
    return [(repr(f), [(p.ts_sec, p.ts_usec, p.orig_len, p.data) for p in f.packets()]) for f in archive.flows()]


def test_read_flows_lifetime(tmp_path, monkeypatch, sample_pcap, sample_archive):
    monkeypatch.setenv("TMPDIR", str(tmp_path))  # the temporary archive is always in /tmp
    write(TEMP_ARCHIVE, b"garbage")  # a stale file is replaced
    a = vexlor.read_flows(sample_pcap)
    assert os.path.isfile(TEMP_ARCHIVE)
    assert summary(a) == summary(vexlor.Archive.open(sample_archive))
    flow = a.get_flow(1)
    assert len(vexlor.Archive.open(TEMP_ARCHIVE)) == 5  # an archive from Archive.open deletes nothing
    assert os.path.isfile(TEMP_ARCHIVE)
    del a
    assert not os.path.exists(TEMP_ARCHIVE)
    assert len(flow.packets()) == 3  # still mapped after the file is gone


def test_read_flows_arguments(sample_pcap, make_capture):
    a = vexlor.read_flows(sample_pcap, "host", 5, ["10.0.0.3"], [53])
    assert [f.src_addr for f in a.flows()] == ["10.0.0.3", "10.0.0.3"]
    b = vexlor.read_flows(input_path=sample_pcap, strategy="NOSPLIT", port_filters=(80, 443))
    assert [f.packet_count for f in b.flows()] == [4]
    del a, b
    empty = vexlor.read_flows(make_capture([], name="empty.pcap"))
    assert (len(empty), empty.flows(), os.path.getsize(TEMP_ARCHIVE)) == (0, [], 240)


@pytest.mark.parametrize("path,exc", [("missing.pcap", OSError), ("text", RuntimeError)])
def test_read_flows_failure_leaves_no_file(tmp_path, path, exc):
    write(tmp_path / "text", b"not a capture at all")
    with pytest.raises(exc):
        vexlor.read_flows(str(tmp_path / path))
    assert not os.path.exists(TEMP_ARCHIVE) and not os.path.exists(TEMP_ARCHIVE + ".tmp")


@pytest.mark.parametrize("first", ["old", "young"])
def test_two_read_flows_archives(make_capture, sample_pcap, first):
    objs = {"old": vexlor.read_flows(sample_pcap),
            "young": vexlor.read_flows(make_capture(SAMPLE[2:3], name="udp.pcap"))}
    assert os.path.exists(TEMP_ARCHIVE)
    del objs[first]
    gc.collect()
    survivor = next(iter(objs.values()))
    assert [f.id for f in survivor.find_by_ip("10.0.0.1")] == ([1, 2] if first == "young" else [1])
    assert sum(len(f.packets()) for f in survivor.flows()) == (7 if first == "young" else 1)
    objs.clear()
    assert not os.path.exists(TEMP_ARCHIVE)


def test_pipe_archive_matches_packets_and_split(tmp_path, sample_pcap, sample_archive):
    images = vexlor.pipe_archive(archive_path=sample_archive)
    flows = vexlor.Archive.open(sample_archive).flows()
    assert type(images) is list and [type(i) for i in images] == [bytes] * len(flows) == [bytes] * 5
    for image, flow in zip(images, flows):  # an independent reader agrees
        reader = dpkt.pcap.Reader(io.BytesIO(image))
        assert reader.datalink() == 1
        assert [(round(ts, 6), bytes(buf)) for ts, buf in reader] == [(round(p.ts, 6), p.data) for p in flow.packets()]
    vexlor.split(sample_pcap, str(tmp_path / "out"))
    assert {(tmp_path / "out" / n).read_bytes() for n in SAMPLE_SESSION_FILES} == set(images)


def test_pipe_archive_keeps_link_type(tmp_path, make_capture):
    raw = ipv4("10.0.0.1", "10.0.0.2", 17, udp(1, 2, b"raw"))
    path = str(tmp_path / "raw.vexlor")
    vexlor.create_archive(make_capture([(1, 2, raw)], linktype=101, nano=True, big=True), path)
    assert vexlor.Archive.open(path).link_type == 101
    assert vexlor.pipe_archive(path) == [pcap_bytes([(1, 0, raw)], linktype=101)]
    vexlor.create_archive(make_capture([], name="e.pcap"), path)
    assert vexlor.pipe_archive(path) == []
