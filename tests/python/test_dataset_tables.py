"""Flows as data: the tool's flow table and byte matrix against an independent dpkt reading, Community IDs against
the published vectors, hygiene helpers and parameter errors."""
import gzip, ipaddress, json, os, pathlib, random, runpy, shutil, socket, struct, warnings, zlib

import pytest

from conftest import capture as pcap_bytes
from conftest import CAPTURES, REPO_ROOT, T, eth, frame, listing, sessions_bytes, write

dpkt = pytest.importorskip("dpkt")
np = pytest.importorskip("numpy")
pa = pytest.importorskip("pyarrow")

from vexlor_dataset import tables  # noqa: E402
from vexlor_dataset._tool import ToolError  # noqa: E402


# ---- generated captures -------------------------------------------------------------------------------------------


def mixed_capture(path, flows=12, seed=1):
    """Random TCP and UDP conversations over IPv4 and IPv6, interleaved, some with repeated payloads."""
    rnd, packets = random.Random(seed), []
    for i in range(flows):
        a, b = ("2001:db8::%x" % (i + 1), "2001:db8::ff") if i % 3 == 2 else ("10.0.%d.1" % i, "192.0.2.%d" % (i % 4))
        proto, us = 6 if i % 2 == 0 else 17, T * 10**6 + rnd.randrange(5 * 10**6)
        ends = [(a, 20000 + i), (b, 443 if i % 2 == 0 else 53)]
        for k in range(rnd.randint(1, 7)):
            (s, sport), (d, dport) = ends[::-1] if k % 2 else ends
            body = bytes([i % 3]) * rnd.choice([0, 10, 300]) if k else b""
            packets.append((us // 10**6, us % 10**6, frame(s, d, proto, sport, dport, body,
                                                            flags=0x02 if k == 0 and proto == 6 else 0x18)))
            us += rnd.randrange(10**5)
    return pathlib.Path(write(path, pcap_bytes(sorted(packets, key=lambda r: r[:2]))))


def dpkt_flows(path, first_n=20):
    """The session flows of a capture read here with dpkt alone, in order of their first packets: the flow table's
    columns that do not name the input, and each flow's frames (and whether they are IPv6) for the byte matrices."""
    flows = {}
    with open(path, "rb") as f:
        for ts, buf in dpkt.pcap.Reader(f):
            ip = dpkt.ethernet.Ethernet(buf).data
            if not isinstance(ip, (dpkt.ip.IP, dpkt.ip6.IP6)):
                continue
            v6, l4, us = isinstance(ip, dpkt.ip6.IP6), ip.data, int(round(ts * 1e6))
            src, dst = (socket.inet_ntop(socket.AF_INET6 if v6 else socket.AF_INET, a) for a in (ip.src, ip.dst))
            proto = ip.nxt if v6 else ip.p
            fl = flows.setdefault((proto, tuple(sorted([(ip.src, l4.sport), (ip.dst, l4.dport)]))), dict(
                src=src, dst=dst, src_port=l4.sport, dst_port=l4.dport, proto=proto, first_us=us, last_us=us,
                tcp_flags=0, sizes=[], dirs=[], gaps_us=[], prev=us, frames=[],
                community_id=tables.community_id(src, dst, proto, l4.sport, l4.dport),
                **{"%s_%s" % (k, d): 0 for k in ("packets", "bytes", "payload") for d in ("fwd", "bwd")}))
            d = int((src, l4.sport) != (fl["src"], fl["src_port"]))
            for key, value in (("packets", 1), ("bytes", len(buf)), ("payload", len(l4.data))):
                fl[key + ("_fwd", "_bwd")[d]] += value
            fl["tcp_flags"] |= l4.flags if proto == 6 else 0
            fl["last_us"] = max(fl["last_us"], us)
            if len(fl["sizes"]) < first_n:
                for key, value in (("sizes", len(buf)), ("dirs", d), ("gaps_us", us - fl["prev"])):
                    fl[key].append(value)
            fl["prev"] = us
            fl["frames"].append((buf, v6))
    for fl in flows.values():
        fl["duration_us"] = fl["last_us"] - fl["first_us"]
    return sorted(flows.values(), key=lambda fl: fl["first_us"])


@pytest.fixture(scope="module")
def capture(tmp_path_factory):
    return mixed_capture(tmp_path_factory.mktemp("tables") / "mixed.pcap")


@pytest.fixture(scope="module")
def archive(capture):
    path = capture.with_suffix(".vexlor")
    tables.run_tool(["archive", str(capture), str(path), "--quiet"])
    return path


# ---- the flow table -----------------------------------------------------------------------------------------------


@pytest.mark.parametrize("real", [False, True], ids=["generated", "real"])
def test_flow_table_matches_dpkt(capture, real):
    """Every column but the id, input and key; the Community ID against the one computed here (itself checked
    against the published vectors)."""
    path = CAPTURES / "tcpdump" / "eth-ipv4-tcp-dns.pcap" if real else capture
    if not path.is_file():
        pytest.skip("no real capture at %s" % path)
    table = tables.flow_table(path, first_n=4)
    assert table.column_names == list(tables.FLOW_COLUMNS) and table.schema.field("sizes").type == pa.list_(pa.int64())
    want = dpkt_flows(path, first_n=4)
    # The real capture's short frames carry Ethernet padding, which dpkt leaves out of the payload.
    columns = [k for k in tables.FLOW_COLUMNS if k in want[0] and not (real and k.startswith("payload"))]
    assert [[r[k] for k in columns] for r in table.to_pylist()] == [[fl[k] for k in columns] for fl in want]


@pytest.mark.parametrize("source", ["gzip", "archive", "jsonl", "batches", "long rows"])
def test_flow_table_from_other_inputs(capture, archive, tmp_path, source):
    """A compressed capture gives the same table, an archive the same flows, the tool's JSON lines the same rows;
    inputs read in small blocks give each one's rows, ids going on from one input to the next, all kept in Parquet;
    rows longer than the block asked for are read whole."""
    plain = tables.flow_table(capture).drop(["input"])
    if source == "gzip":
        gz = write(tmp_path / "mixed.pcap.gz", gzip.compress(capture.read_bytes()))
        assert tables.flow_table(gz).drop(["input"]).equals(plain)
    elif source == "archive":
        other = tables.flow_table(archive).drop(["input", "id"])
        assert other.to_pylist() == plain.drop(["id"]).to_pylist()
    elif source == "jsonl":
        lines = tables.run_tool(["table", str(capture), "--format", "jsonl", "--quiet"]).stdout.splitlines()
        assert [json.loads(x)["sizes"] for x in lines] == plain.column("sizes").to_pylist()
    elif source == "batches":
        pq = pytest.importorskip("pyarrow.parquet")
        copies = [write(tmp_path / ("copy%d.pcap" % i), capture.read_bytes()) for i in range(5)]
        batches = list(tables.iter_flow_batches([capture, *copies], block_size=1024))
        both = pa.Table.from_batches(batches)
        assert len(batches) > 1 and both.column("id").to_pylist() == list(range(1, 6 * plain.num_rows + 1))
        assert both.drop(["id", "input"]).to_pylist() == plain.drop(["id"]).to_pylist() * 6
        assert tables.write_parquet(iter(batches), tmp_path / "f.parquet") == both.num_rows == pq.read_table(
            tmp_path / "f.parquet").num_rows
    else:
        long = write(tmp_path / "long.pcap", sessions_bytes(2, 700, 40))
        batches = tables.iter_flow_batches(long, first_n=700, block_size=1024)
        assert [len(s) for b in batches for s in b.column("sizes").to_pylist()] == [700, 700]


def test_list_cells_become_int64_lists():
    """The tool's list cells (negative gaps included) in one pass, and a cell that is not numbers named by Arrow."""
    pa_ = tables._arrow()
    assert tables._numbers_list(pa_, pa_.array(["54 -3 154", "", "7"])).to_pylist() == [[54, -3, 154], [], [7]]
    with pytest.raises(pa.ArrowInvalid, match="'x'"):
        tables._numbers_list(pa_, pa_.array(["1 2", "x 5"]))


# ---- Community ID -------------------------------------------------------------------------------------------------

# The published test vectors (seed 0, base64).
COMMUNITY_VECTORS = [
    ("128.232.110.120", "66.35.250.204", 6, 34855, 80, "1:LQU9qZlK+B5F3KDmev6m5PMibrg="),
    ("66.35.250.204", "128.232.110.120", 6, 80, 34855, "1:LQU9qZlK+B5F3KDmev6m5PMibrg="),
    ("10.0.0.1", "10.0.0.2", 6, 10, 11569, "1:SXBGMX1lBOwhhoDrZynfROxnhnM="),
    ("192.168.1.52", "8.8.8.8", 17, 54585, 53, "1:d/FP5EW3wiY1vCndhwleRRKHowQ="),
    ("8.8.8.8", "192.168.1.52", 17, 53, 54585, "1:d/FP5EW3wiY1vCndhwleRRKHowQ="),
    ("192.168.170.8", "192.168.170.56", 132, 7, 80, "1:jQgCxbku+pNGw8WPbEc/TS/uTpQ="),
    ("192.168.0.89", "192.168.0.1", 1, 8, 0, "1:X0snYXpgwiv9TZtqg64sgzUn6Dk="),
    ("192.168.0.1", "192.168.0.89", 1, 0, 8, "1:X0snYXpgwiv9TZtqg64sgzUn6Dk="),
    ("192.168.0.89", "192.168.0.1", 1, 20, 0, "1:3o2RFccXzUgjl7zDpqmY7yJi8rI="),
    ("192.168.0.89", "192.168.0.1", 1, 20, 1, "1:tz/fHIDUHs19NkixVVoOZywde+I="),
    ("192.168.0.1", "192.168.0.89", 1, 0, 20, "1:X0snYXpgwiv9TZtqg64sgzUn6Dk="),
    ("fe80::200:86ff:fe05:80da", "fe80::260:97ff:fe07:69ea", 58, 135, 0, "1:dGHyGvjMfljg6Bppwm3bg0LO8TY="),
    ("fe80::260:97ff:fe07:69ea", "fe80::200:86ff:fe05:80da", 58, 136, 0, "1:dGHyGvjMfljg6Bppwm3bg0LO8TY="),
    ("3ffe:507:0:1:260:97ff:fe07:69ea", "3ffe:507:0:1:200:86ff:fe05:80da", 58, 3, 0, "1:NdobDX8PQNJbAyfkWxhtL2Pqp5w="),
    ("3ffe:507:0:1:200:86ff:fe05:80da", "3ffe:507:0:1:260:97ff:fe07:69ea", 58, 3, 0, "1:/OGBt9BN1ofenrmSPWYicpij2Vc="),
    ("10.1.24.4", "10.1.12.1", 46, 0, 0, "1:/nQI4Rh/TtY3mf0R2gJFBkVlgS4="),
]  # fmt: skip


@pytest.mark.parametrize("src,dst,proto,sport,dport,want", COMMUNITY_VECTORS)
def test_community_id_vectors(src, dst, proto, sport, dport, want):
    assert tables.community_id(src, dst, proto, sport, dport) == want


# ---- byte matrices ------------------------------------------------------------------------------------------------


def masked(buf, v6, mask):
    """The frame with the MAC addresses, IP addresses and ports named in `mask` zeroed."""
    b = bytearray(buf)
    fields = {"mac": (0, 12), "ip": (22, 54) if v6 else (26, 34), "port": (54, 58) if v6 else (34, 38)}
    for lo, hi in (fields[f] for f in mask):
        b[lo:hi] = bytes(hi - lo)
    return bytes(b)


@pytest.mark.parametrize("n,packets,payload,mask", [(64, None, False, ()), (784, None, False, ("mac", "ip", "port")),
                                                   (40, 3, False, ("ip",)), (16, 2, True, ())])
@pytest.mark.parametrize("source", ["capture", "archive"])
def test_byte_matrix_matches_dpkt(capture, archive, source, n, packets, payload, mask):
    matrix, keys = tables.byte_matrix(locals()[source], n=n, packets=packets, payload=payload, mask=mask)
    flows, width = dpkt_flows(capture), n * (packets or 1)
    assert (matrix.dtype, matrix.shape) == (np.uint8, (len(flows), width))
    assert [keys.column(c).to_pylist() for c in ("src", "packets", "first_us")] == [
        [fl["src"] for fl in flows], [fl["packets_fwd"] + fl["packets_bwd"] for fl in flows],
        [fl["first_us"] for fl in flows]]
    for row, fl in zip(matrix, flows):
        parts = []
        for buf, v6 in fl["frames"][:packets or None]:
            data = masked(buf, v6, mask)[((74 if v6 else 54) if fl["proto"] == 6 else (62 if v6 else 42)) * payload:]
            parts.append(data[:n].ljust(n, b"\0") if packets else data)
        assert row.tobytes() == b"".join(parts).ljust(width, b"\0")[:width]


def test_byte_matrix_files_are_mapped_and_published_whole(capture, tmp_path):
    matrix, keys = tables.byte_matrix(capture, n=32, out=tmp_path / "m.npy")
    assert isinstance(matrix, np.memmap) and keys.num_rows == matrix.shape[0]
    # As Parquet: the keys and a fixed-size binary column of the rows; a failing write over it leaves it whole.
    pq = pytest.importorskip("pyarrow.parquet")
    assert tables.write_matrix_parquet(matrix, keys, tmp_path / "m.parquet") == len(matrix)
    with pytest.raises(pa.ArrowException):
        tables.write_matrix_parquet(matrix[:, :8], keys, tmp_path / "m.parquet", compression="bogus")
    back = pq.read_table(tmp_path / "m.parquet")
    assert back.schema.field("bytes").type == pa.binary(32) and back.drop(["bytes"]).equals(keys)
    assert (np.frombuffer(b"".join(back.column("bytes").to_pylist()), np.uint8).reshape(matrix.shape) == matrix).all()
    (tmp_path / "bad.pcap").write_bytes(b"not a capture at all")
    with pytest.raises(ToolError):
        tables.byte_matrix(tmp_path / "bad.pcap", n=8, out=tmp_path / "x.npy")
    # A capture that fails after some packets (its last record cut short, refused with --strict): no output at all.
    (tmp_path / "cut.pcap").write_bytes(capture.read_bytes()[:-10])
    for command, out in (("table", "t.csv"), ("bytes", "c.npy")):
        with pytest.raises(ToolError, match="exceeds remaining data"):
            tables.run_tool([command, str(tmp_path / "cut.pcap"), "--strict", "--quiet", "-o", str(tmp_path / out)]
                            + ["--first", "8"] * (command == "bytes"))
    assert listing(tmp_path) == ["bad.pcap", "cut.pcap", "m.keys.csv", "m.npy", "m.parquet"]


def test_checksum_mask_makes_flows_alike(tmp_path):
    """Flows alike but for their ends differ in the checksums over them until those are masked too."""
    same = [(T, 0, (lambda f: f[:24] + bytes([i, i]) + f[26:])(frame("10.0.0.%d" % i, "10.0.0.9", 17, 53, 53, b"q")))
            for i in (1, 2, 3)]
    path = write(tmp_path / "same.pcap", pcap_bytes(same))
    for mask, removed in (("mac,ip,port", 0), ("mac,ip,port,checksum", 2)):
        assert tables.dedupe(*tables.byte_matrix(path, n=64, mask=mask))[2] == removed


# ---- hygiene ------------------------------------------------------------------------------------------------------


def test_dedupe_drop_small_and_labels(tmp_path):
    for label in ("benign", "attack"):
        mixed_capture(tmp_path / label / "monday" / "c.pcap", flows=9, seed=3 if label == "benign" else 4)
    matrix, keys = tables.byte_matrix(tmp_path, n=24, mask=("mac", "ip", "port"))
    rows = {bytes(r) for r in matrix}
    deduped, dkeys, removed = tables.dedupe(matrix, keys)
    assert removed == len(matrix) - len(rows) and removed > 0
    assert len({bytes(r) for r in deduped}) == len(deduped) == dkeys.num_rows
    # The class is the directory below the root given, however deep the capture lies.
    labels, names = tables.labels_from_dirs(keys, tmp_path)
    classes = [pathlib.Path(p).relative_to(tmp_path).parts[0] for p in keys["input"].to_pylist()]
    assert [names[i] for i in labels] == classes and names == ["attack", "benign"]
    assert tables.labels_from_dirs(keys)[1] == ["monday"]  # without a root: the directory a capture lies in
    small = tables.drop_small(keys, 3)
    assert all(p >= 3 for p in small.column("packets").to_pylist())
    flows = tables.flow_table(tmp_path, first_n=0)
    busy = [r for r in flows.to_pylist() if r["packets_fwd"] + r["packets_bwd"] >= 2]
    talk = [r["id"] for r in busy if r["payload_fwd"] + r["payload_bwd"] >= 20]
    assert tables.drop_small(flows, 2, min_payload_bytes=20)["id"].to_pylist() == talk and len(talk) < len(busy)


@pytest.mark.parametrize("by,touches", [
    ("flow", lambda r: {r["key"]}), ("host", lambda r: {r["src"], r["dst"]}),
    ("time", lambda r: {r["first_us"] // (4 * 10**6)})], ids=["flow", "host", "time"])
def test_grouped_split_never_leaks(capture, tmp_path, by, touches):
    """No flow key, no host (initiator or responder) and no window of time (here 4 s) on both sides."""
    table = tables.flow_table([capture, write(tmp_path / "copy.pcap", capture.read_bytes())])
    train, test = tables.grouped_split(table, by=by, test_fraction=0.3, seed=7, window=4)
    assert sorted(train.tolist() + test.tolist()) == list(range(table.num_rows))
    assert len(test) > 0 and len(train) > 0
    rows = table.to_pylist()
    assert not set().union(*(touches(rows[i]) for i in train)) & set().union(*(touches(rows[i]) for i in test))
    again = tables.grouped_split(table, by=by, test_fraction=0.3, seed=7, window=4)
    assert all((a == b).all() for a, b in zip(again, (train, test)))


@pytest.mark.parametrize("count,n,per_row,side,size", [(5, 10, 2, 4, (9, 14)), (3, 784, 16, 28, (86, 28))])
def test_preview_png_tiles(tmp_path, count, n, per_row, side, size):
    """Each row a square tile, zero-padded, `per_row` a line with a pixel between them."""
    matrix = np.random.default_rng(0).integers(0, 256, (count, n), dtype=np.uint8)
    tables.preview_png(matrix, tmp_path / "p.png", per_row=per_row)
    data = (tmp_path / "p.png").read_bytes()
    assert listing(tmp_path) == ["p.png"] and data[:8] == b"\x89PNG\r\n\x1a\n"
    assert struct.unpack(">II", data[16:24]) == size  # width, height
    idat = data[41:41 + struct.unpack(">I", data[33:37])[0]]
    pixels = np.frombuffer(zlib.decompress(idat), np.uint8).reshape(size[1], size[0] + 1)[:, 1:]
    y, x = divmod(count - 1, per_row)
    tile = pixels[y * (side + 1):y * (side + 1) + side, x * (side + 1):x * (side + 1) + side].ravel()
    assert tile.tolist() == matrix[-1].tolist() + [0] * (side * side - n)
    for wider in (np.int64, np.float32):  # bytes held wider
        tables.preview_png(matrix.astype(wider), tmp_path / "q.png", per_row=per_row)
        assert (tmp_path / "q.png").read_bytes() == data
    with pytest.raises(ValueError, match="0 to 255"):
        tables.preview_png(np.array([[300, -1]]), tmp_path / "r.png")  # not wrapped round to 44 and 255
    assert listing(tmp_path) == ["p.png", "q.png"]


@pytest.mark.parametrize("source", ["capture", "archives"])
def test_top_talkers_example_counts_both_ends(capture, archive, tmp_path, source):
    """Responders are talkers too: each host's bytes sent and received over every flow it is an end of."""
    main = runpy.run_path(str(REPO_ROOT / "examples" / "top_talkers_duckdb.py"))["main"]
    if source == "archives":
        (tmp_path / "archives").mkdir()
        shutil.copy(archive, tmp_path / "archives" / "a.vexlor")
    try:
        top = main([str(capture if source == "capture" else tmp_path / "archives"), "--parquet",
                            str(tmp_path / "f.parquet"), "-n", "5"])
    except ToolError as e:
        if source == "capture" or "no capture" not in str(e):
            raise
        pytest.skip("this build of the tool reads no directory of archives: %s" % e)
    hosts = {}
    for fl in dpkt_flows(capture):
        for host, sent, received in ((fl["src"], fl["bytes_fwd"], fl["bytes_bwd"]),
                                     (fl["dst"], fl["bytes_bwd"], fl["bytes_fwd"])):
            h = hosts.setdefault(host, {"host": host, "flows": 0, "sent": 0, "received": 0, "total": 0})
            for k, v in (("flows", 1), ("sent", sent), ("received", received), ("total", sent + received)):
                h[k] += v
    assert top == sorted(hosts.values(), key=lambda h: (-h["total"], h["host"]))[:5]


def test_later_flows_of_one_conversation_stay_on_one_side():
    """Keys an idle timeout or a TCP restart numbered KEY-2, KEY-3 are the conversation of KEY."""
    keys = ["6_a_b_1_2", "6_a_b_1_2-2", "6_a_b_1_2-3", "17_c_d_5_53", "17_c_d_5_53-2", "1_e_f_0_0"] * 5
    for seed in range(20):
        train, test = tables.grouped_split(pa.table({"key": keys}), test_fraction=0.4, seed=seed)
        sides = {keys[i].split("-")[0]: "train" for i in train}
        assert not any(sides.get(keys[i].split("-")[0]) for i in test)


@pytest.mark.parametrize("sizes, fraction, rows", [
    ([15, 4, 4, 3, 1], 0.6, 16), ([9, 4, 4, 4], 0.6, 13), ([15, 4, 4, 3, 2, 1, 1], 0.6, 18), ([3], 0.5, 0),
    ([3], 0.6, 3)])
def test_grouped_split_meets_the_fraction_as_closely_as_the_groups_allow(sizes, fraction, rows):
    """Groups taken early must not leave the nearest count of test rows out of reach, whatever the seed."""
    keys = [str(i) for i, size in enumerate(sizes) for _ in range(size)]
    for seed in range(10):
        assert len(tables.grouped_split(pa.table({"key": keys}), test_fraction=fraction, seed=seed)[1]) == rows


def test_warnings_numpy_numbers_and_captures_without_flows(capture, tmp_path):
    """The tool's warnings reach Python; numpy integers are integers; keys of no flows keep their types."""
    cut = write(tmp_path / "cut.pcap", capture.read_bytes()[:-10])
    with pytest.warns(RuntimeWarning, match="cut.pcap: last record cut off at byte"):
        tables.flow_table(cut)
    with pytest.warns(RuntimeWarning, match="last record cut off"):
        tables.byte_matrix(cut, n=8)
    matrix, keys = tables.byte_matrix(capture, n=np.int64(16), packets=np.uint8(2))
    empty = write(tmp_path / "empty.pcap", pcap_bytes([]))
    assert matrix.shape[1] == 32 and tables.byte_matrix(empty, n=16)[1].schema == keys.schema
    assert tables.dedupe(np.zeros((3, 0), np.uint8), ["a", "b", "c"])[1:] == (["a"], 2)
    # A TCP connection closed both ways and opened again: one flow, or two with tcp_restart.
    ends = [("10.0.0.1", "10.0.0.2", 6, 1000, 80), ("10.0.0.2", "10.0.0.1", 6, 80, 1000)]
    again = write(tmp_path / "again.pcap", pcap_bytes([(T, i, frame(*ends[w], flags=f)) for i, (w, f) in enumerate(
        [(0, 0x02), (0, 0x11), (1, 0x11), (0, 0x02)])]))
    assert [len(tables.byte_matrix(again, n=8, tcp_restart=r)[1]) for r in (False, True)] == [1, 2]


@pytest.mark.parametrize("filters,keep", [
    (dict(port=53), lambda r: 53 in (r["src_port"], r["dst_port"])),
    (dict(ip=ipaddress.ip_network("2001:db8::/32"), port=[443, 9]), lambda r: ":" in r["src"] and r["dst_port"] == 443),
    (dict(ip=["10.0.2.1", "10.0.4.1"], strict=True), lambda r: r["src"] in ("10.0.2.1", "10.0.4.1"))])
@pytest.mark.parametrize("source", ["capture", "archive"])
def test_filters_keep_the_flows_they_name(capture, archive, source, filters, keep):
    """The packets of a session share its ends, so a filter keeps whole flows: their rows of the table and of a
    byte matrix are those of the unfiltered run."""
    plain = tables.flow_table(capture).to_pylist()
    rows = [i for i, r in enumerate(plain) if keep(r)]
    got = tables.flow_table(locals()[source], **filters).to_pylist()
    cells = lambda table: [{k: v for k, v in r.items() if k not in ("id", "input")} for r in table]  # noqa: E731
    assert rows and cells(got) == cells([plain[i] for i in rows])
    matrix = tables.byte_matrix(capture, n=64, tcp_restart=True)[0]
    assert tables.byte_matrix(locals()[source], n=64, **filters)[0].tobytes() == matrix[rows].tobytes()


@pytest.mark.parametrize("port, gap", [(None, 0), (5000, 0), (0, 0), (5000, 30), (0, 30)])
def test_later_fragments_count_with_their_datagram_from_an_archive_too(tmp_path, port, gap):
    """A datagram's later fragments carry no ports: read from an archive, as from the capture, they take their
    first fragment's before a port filter looks at them (here between two ends of one host, where the ports alone
    tell the ways apart), also when an idle timeout put the first fragment into an earlier flow (then between two
    hosts: within one, the way of a fragment without its first cannot be told)."""
    body = struct.pack(">HHHH", 5000, 6000, 1608, 0) + b"A" * 1600
    a, b = ("10.0.0.1", "10.0.0.2") if gap else ("127.0.0.1",) * 2
    ends = [ipaddress.ip_address(x).packed for x in (a, b)]
    frags = [eth(struct.pack(">BBHHHBBH4s4s", 0x45, 0, 20 + len(part), 7, flags, 64, 17, 0, *ends) + part)
             for flags, part in ((0x2000, body[:1480]), (1480 // 8, body[1480:]))]
    reply = frame(b, a, 17, 6000, 5000, b"ok")
    cap = write(tmp_path / "frag.pcap", pcap_bytes([(T + gap * (i > 0), i, f) for i, f in enumerate([*frags, reply])]))
    arc, idle = tmp_path / "frag.vexlor", dict(idle_timeout=10) if gap else {}
    tables.run_tool(["archive", str(cap), str(arc), "--quiet"] + ["--idle-timeout", "10"] * bool(gap))
    rows = [tables.flow_table(cap, port=port, **idle), tables.flow_table(arc, port=port)]
    rows = [r.drop(["id", "input"]).to_pylist() for r in rows]
    ways = [(r["packets_fwd"], r["packets_bwd"]) for r in rows[0]]
    assert rows[0] == rows[1] and ways == ([] if port == 0 else [(1, 0), (1, 1)] if gap else [(2, 1)])


def test_a_file_name_that_is_not_utf8_is_shown_replaced_with_a_warning(capture, tmp_path):
    """Arrow, Parquet and JSON hold text as UTF-8: the input column shows the name as Python's "replace" does."""
    path = tmp_path / os.fsdecode(b"lat\xe9.pcap")
    shutil.copy(capture, path)
    with pytest.warns(RuntimeWarning, match="not UTF-8"):
        names = set(tables.flow_table(path).column("input").to_pylist())
        lines = tables.run_tool(["table", str(path), "--format", "jsonl", "--quiet"]).stdout.splitlines()
    assert names == {json.loads(x)["input"] for x in lines} == {str(tmp_path / "lat\ufffd.pcap")}


@pytest.mark.parametrize("strategy", ["host", "mac"])
def test_an_archive_of_host_flows_read_by_another_strategy_is_warned_of(capture, tmp_path, strategy):
    arc = tmp_path / "h.vexlor"
    tables.run_tool(["archive", str(capture), str(arc), "--strategy", strategy, "--quiet"])
    with pytest.warns(RuntimeWarning, match="holds the flows of --strategy %s, named here by --strategy session"
                      % strategy):
        tables.flow_table(arc)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert tables.flow_table(arc, strategy=strategy).num_rows > 0


# ---- parameters ---------------------------------------------------------------------------------------------------


@pytest.mark.parametrize("call", [
    lambda c: tables.flow_table(c, strategy="nope"), lambda c: tables.flow_table(c, first_n=-1),
    lambda c: tables.flow_table([]), lambda c: tables.byte_matrix(c, n=0), lambda c: tables.byte_matrix(c, packets=-1),
    lambda c: tables.byte_matrix(c, mask=("mac", "vlan")), lambda c: tables.byte_matrix(c, out="x.bin"),
    lambda c: tables.grouped_split(pa.table({"key": ["a"]}), by="port"),
    lambda c: tables.grouped_split(pa.table({"key": ["a"]}), test_fraction=1.5),
    lambda c: tables.dedupe(np.zeros((2, 2)), ["a"]), lambda c: tables.labels_from_dirs([c], c.parent),
    lambda c: tables.drop_small(pa.table({"packets": [1]}), min_payload_bytes=1),
    lambda c: tables.flow_table(c, idle_timeout=1e-9), lambda c: tables.flow_table(c, idle_timeout=float("nan")),
    lambda c: tables.byte_matrix(c, n=2**21), lambda c: tables.byte_matrix(c, packets=5000),
    lambda c: tables.labels_from_dirs(str(c)), lambda c: tables.flow_table(c, ip="10.0.0.300"),
    lambda c: tables.byte_matrix(c, port=[53, 65536]), lambda c: tables.flow_table(c, ip=[b"10.0.0.1"]),
    lambda c: tables.flow_table(c, ip="fe80::1%eth0"), lambda c: tables.flow_table(c, ip="10.0.0.0/255.0.0.0"),
    lambda c: tables.community_id("10.0.0.1", "::1", 6),
    lambda c: tables.community_id("10.0.0.1", "10.0.0.2", 6, seed=70000),
    lambda c: tables.preview_png(np.array([[0.5, 1.0]]), c.parent / "f.png"),
    lambda c: tables.preview_png(np.array([[1.0, np.nan]]), c.parent / "f.png"),
    lambda c: tables.preview_png(np.array([[1 + 0j]]), c.parent / "f.png"),
    lambda c: tables.flow_table(c, ip="::/0128"), lambda c: tables.grouped_split([1, 2, 3]),
    lambda c: tables.byte_matrix(c, mask=True), lambda c: tables.byte_matrix(c, mask="mac,,ip"),
    lambda c: tables.byte_matrix(c, payload="no"),
    lambda c: tables.write_matrix_parquet(np.array([[300]]), pa.table({"a": [1]}), c.parent / "m.parquet"),
    lambda c: tables.write_matrix_parquet(np.array([[0.5]]), pa.table({"a": [1]}), c.parent / "m.parquet"),
    lambda c: tables.write_matrix_parquet(np.array([["1"]], dtype=object), pa.table({"a": [1]}), c.parent / "m.pq"),
    lambda c: tables.byte_matrix(c, mask=bytearray(b"ip"))])
def test_bad_parameters_raise_value_error(capture, call):
    with pytest.raises(ValueError):
        call(capture)


@pytest.mark.parametrize("args", [["--first", "0"], ["--first", "8", "--packets", "-1"],
                                  ["--first", "8", "--mask", "mac,vlan"], ["--first", "x"]])
def test_tool_refuses_bad_bytes_parameters(capture, tmp_path, args):
    done = tables.run_tool(["bytes", str(capture), *args, "-o", str(tmp_path / "o.npy")], check=False)
    assert done.returncode == 2 and not list(tmp_path.iterdir())
