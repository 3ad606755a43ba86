"""Flows as data: Arrow tables, Parquet and NumPy byte matrices.

The flows come from the tool (`vexlor table`, `vexlor bytes`), which reads the captures natively; this module
streams its output into Arrow and NumPy and adds the usual hygiene of a data set: small flows dropped, duplicate
rows removed, and a train/test split in which no flow, host or period lands on both sides.

Needs the `data` extra (pyarrow and numpy).
"""
import hashlib
import os
import struct
import subprocess
import tempfile
import warnings
import zlib

from ._tool import ToolError, run_tool, tool_path

__all__ = [
    "STRATEGIES",
    "FLOW_COLUMNS",
    "flow_table",
    "iter_flow_batches",
    "write_parquet",
    "byte_matrix",
    "drop_small",
    "dedupe",
    "grouped_split",
    "labels_from_dirs",
    "preview_png",
    "community_id",
]

STRATEGIES = ("session", "flow", "host", "hostpair", "mac", "bssid", "nosplit")
MASK_FIELDS = ("mac", "ip", "port")

_STRING_COLUMNS = ("input", "key", "src", "dst", "community_id", "outer")
_LIST_COLUMNS = ("sizes", "dirs", "gaps_us")
# The tool's columns, in its order (see `vexlor table --help`).
FLOW_COLUMNS = (
    "id", "input", "key", "proto", "src", "dst", "src_port", "dst_port", "community_id", "first_us", "last_us",
    "duration_us", "packets_fwd", "packets_bwd", "bytes_fwd", "bytes_bwd", "payload_fwd", "payload_bwd",
    "tcp_flags", "sizes", "dirs", "gaps_us", "outer",
)  # fmt: skip


def _arrow():
    try:
        import pyarrow
        import pyarrow.compute
        import pyarrow.csv
    except ImportError as e:  # pragma: no cover - depends on the environment
        raise ImportError("vexlor_dataset.tables needs pyarrow: pip install 'vexlor[data]'") from e
    return pyarrow


def _numpy():
    try:
        import numpy
    except ImportError as e:  # pragma: no cover
        raise ImportError("vexlor_dataset.tables needs numpy: pip install 'vexlor[data]'") from e
    return numpy


def _inputs(inputs):
    if isinstance(inputs, (str, os.PathLike)):
        inputs = [inputs]
    inputs = [os.fspath(p) for p in inputs]
    if not inputs:
        raise ValueError("no input: give a capture, a directory of captures or an archive")
    return inputs


def _flow_args(strategy, idle_timeout, tcp_restart, combine, decode):
    if strategy not in STRATEGIES:
        raise ValueError("unknown strategy %r (valid: %s)" % (strategy, ", ".join(STRATEGIES)))
    if combine not in (None, "concat", "merge"):
        raise ValueError("combine must be None, 'concat' or 'merge', not %r" % (combine,))
    if decode not in ("wide", "basic"):
        raise ValueError("decode must be 'wide' or 'basic', not %r" % (decode,))
    args = ["--strategy", strategy, "--decode", decode, "--quiet"]
    if idle_timeout is not None:
        if isinstance(idle_timeout, bool) or not isinstance(idle_timeout, (int, float)) or idle_timeout <= 0:
            raise ValueError("idle_timeout must be a positive number of seconds, not %r" % (idle_timeout,))
        args += ["--idle-timeout", "%.6f" % idle_timeout]
    if tcp_restart:
        args.append("--tcp-restart")
    if combine:
        args += ["--combine", combine]
    return args


def _count(value, name, minimum):
    if isinstance(value, bool) or not isinstance(value, int) or value < minimum:
        raise ValueError("%s must be an integer of at least %d, not %r" % (name, minimum, value))
    return value


def _convert_options(pa):
    types = {c: pa.string() for c in _STRING_COLUMNS + _LIST_COLUMNS}
    types.update({c: pa.int64() for c in FLOW_COLUMNS if c not in types})
    return pa.csv.ConvertOptions(column_types=types, strings_can_be_null=False)


def _numbers_list(pa, column):
    """A column of cells of space-separated numbers as list<int64>.  With NumPy the numbers of all cells are parsed
    in one pass and the cells' lengths counted by Arrow; otherwise (or should the pass not find exactly the numbers
    counted) Arrow splits and converts cell by cell, and says where a cell is not a number."""
    pc = pa.compute
    empty = pc.equal(column, "")
    try:
        import numpy as np
    except ImportError:  # pragma: no cover - pyarrow without numpy
        np = None
    if np is not None:
        lengths = pc.if_else(empty, 0, pc.add(pc.count_substring(column, " "), 1)).to_numpy(zero_copy_only=False)
        offsets = np.zeros(len(column) + 1, dtype=np.int32)
        np.cumsum(lengths, out=offsets[1:])
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            try:
                values = np.fromstring(" ".join(column.to_pylist()), dtype=np.int64, sep=" ")
            except ValueError:
                values = None
        if values is not None and len(values) == offsets[-1]:
            return pa.ListArray.from_arrays(pa.array(offsets), pa.array(values))
    parts = pc.if_else(empty, pa.scalar([], pa.list_(pa.string())), pc.split_pattern(column, " "))
    return parts.cast(pa.list_(pa.int64()))


def _with_lists(batch):
    """The CSV cells of space-separated numbers as list<int64> columns."""
    pa = _arrow()
    columns = [_numbers_list(pa, column) if name in _LIST_COLUMNS else column
               for name, column in zip(batch.schema.names, batch.columns)]
    return pa.RecordBatch.from_arrays(columns, names=batch.schema.names)


def iter_flow_batches(
    inputs,
    *,
    strategy="session",
    first_n=20,
    idle_timeout=None,
    tcp_restart=False,
    combine=None,
    decode="wide",
    block_size=1 << 20,
):
    """Yields the flow table of `inputs` (captures, directories, archives) as pyarrow RecordBatches while the
    tool reads them: memory holds one block of rows at a time.  The list columns (sizes, dirs, gaps_us) are
    list<int64>.  Raises ValueError for bad parameters before running anything, ToolError when the tool fails."""
    pa = _arrow()
    inputs = _inputs(inputs)
    _count(first_n, "first_n", 0)
    _count(block_size, "block_size", 1)
    args = ["table", *inputs, "--first", str(first_n), "--format", "csv", "-o", "-"]
    args += _flow_args(strategy, idle_timeout, tcp_restart, combine, decode)
    with tempfile.TemporaryFile() as errors:
        proc = subprocess.Popen([tool_path(), *args], stdout=subprocess.PIPE, stderr=errors)
        try:
            reader = pa.csv.open_csv(
                proc.stdout,
                read_options=pa.csv.ReadOptions(block_size=block_size),
                convert_options=_convert_options(pa),
            )
            for batch in reader:
                yield _with_lists(batch)
        except pa.ArrowInvalid:
            # Nothing at all (the tool failed before its header) reads as invalid CSV: its status says why.
            if proc.wait() == 0:
                raise
        finally:
            proc.stdout.close()
            status = proc.wait()
        if status != 0:
            errors.seek(0)
            message = errors.read().decode("utf-8", "replace").strip()
            raise ToolError(message or "vexlor exited with status %d" % status, status)


def _table_schema(pa):
    fields = []
    for name in FLOW_COLUMNS:
        if name in _LIST_COLUMNS:
            fields.append(pa.field(name, pa.list_(pa.int64())))
        elif name in _STRING_COLUMNS:
            fields.append(pa.field(name, pa.string()))
        else:
            fields.append(pa.field(name, pa.int64()))
    return pa.schema(fields)


def flow_table(inputs, *, strategy="session", first_n=20, idle_timeout=None, tcp_restart=False, combine=None,
               decode="wide"):  # fmt: skip
    """The flow table of `inputs` as one pyarrow.Table (see `vexlor table --help` for the columns)."""
    pa = _arrow()
    batches = list(
        iter_flow_batches(
            inputs,
            strategy=strategy,
            first_n=first_n,
            idle_timeout=idle_timeout,
            tcp_restart=tcp_restart,
            combine=combine,
            decode=decode,
        )
    )
    return pa.Table.from_batches(batches, schema=_table_schema(pa))


def write_parquet(table_or_batches, path, *, compression="zstd"):
    """Writes a pyarrow Table, or an iterable of RecordBatches (such as iter_flow_batches()), as one Parquet file,
    under a temporary name renamed into place when complete.  Returns the number of rows."""
    pa = _arrow()
    import pyarrow.parquet as pq

    path = os.fspath(path)
    tmp = path + ".tmp"
    rows = 0
    try:
        if isinstance(table_or_batches, pa.Table):
            pq.write_table(table_or_batches, tmp, compression=compression)
            rows = table_or_batches.num_rows
        else:
            writer = None
            try:
                for batch in table_or_batches:
                    if writer is None:
                        writer = pq.ParquetWriter(tmp, batch.schema, compression=compression)
                    writer.write_batch(batch)
                    rows += batch.num_rows
                if writer is None:
                    pq.write_table(_table_schema(pa).empty_table(), tmp, compression=compression)
            finally:
                if writer is not None:
                    writer.close()
        os.replace(tmp, path)
    finally:
        if os.path.exists(tmp):
            os.unlink(tmp)
    return rows


def _read_keys(path):
    pa = _arrow()
    types = {c: pa.string() for c in _STRING_COLUMNS}
    return pa.csv.read_csv(path, convert_options=pa.csv.ConvertOptions(column_types=types,
                                                                       strings_can_be_null=False))


def byte_matrix(inputs, n=784, packets=None, payload=False, mask=(), *, strategy="session", idle_timeout=None,
                combine=None, decode="wide", out=None):  # fmt: skip
    """The first `n` bytes of each flow (or of each of its first `packets` packets, one slot of `n` bytes per
    packet), zero-padded, as a uint8 array of shape (flows, n) or (flows, packets * n), and the flows of its rows
    as a pyarrow Table (row, id, input, key, proto, src, dst, src_port, dst_port, community_id, first_us (the flow's
    first packet's time), packets). `mask`: fields zeroed, from "mac", "ip", "port". With `out` (a path ending in
    .npy) the files are kept there (out and out minus .npy plus .keys.csv) and the array is memory-mapped read-only;
    otherwise it is read into memory."""
    np = _numpy()
    inputs = _inputs(inputs)
    _count(n, "n", 1)
    if packets is not None:
        _count(packets, "packets", 1)
    if isinstance(mask, str):
        mask = [m for m in mask.split(",") if m]
    mask = list(mask)
    unknown = [m for m in mask if m not in MASK_FIELDS]
    if unknown:
        raise ValueError("unknown mask field %r (valid: %s)" % (unknown[0], ", ".join(MASK_FIELDS)))
    args = ["bytes", *inputs, "--first", str(n)]
    if packets is not None:
        args += ["--packets", str(packets)]
    if payload:
        args.append("--payload")
    if mask:
        args += ["--mask", ",".join(mask)]
    args += _flow_args(strategy, idle_timeout, False, combine, decode)

    def load(npy):
        keys = _read_keys(npy[: -len(".npy")] + ".keys.csv" if npy.endswith(".npy") else npy + ".keys.csv")
        run = np.load(npy, mmap_mode="r" if out is not None else None)
        return run, keys

    if out is not None:
        out = os.fspath(out)
        if not out.endswith(".npy"):
            raise ValueError("out must name a .npy file, not %r" % (out,))
        run_tool([*args, "-o", out])
        return load(out)
    with tempfile.TemporaryDirectory(prefix="vexlor-bytes-") as tmp:
        npy = os.path.join(tmp, "rows.npy")
        run_tool([*args, "-o", npy])
        # Read into memory (not mapped): the file goes with the directory.
        return load(npy)


def _column(table, name):
    return table.column(name).to_pylist()


def drop_small(table, min_packets):
    """The rows of a flow table (or a byte matrix's keys) with at least `min_packets` packets."""
    pa = _arrow()
    pc = pa.compute
    _count(min_packets, "min_packets", 0)
    if "packets" in table.column_names:
        total = table.column("packets")
    else:
        total = pc.add(table.column("packets_fwd"), table.column("packets_bwd"))
    return table.filter(pc.greater_equal(total, min_packets))


def dedupe(matrix, keys):
    """Removes rows of `matrix` equal to an earlier row, and their keys (a Table or a sequence).  Returns
    (matrix, keys, removed): the first of equal rows is kept, the order of the rest is unchanged."""
    np = _numpy()
    matrix = np.asarray(matrix)
    if matrix.ndim != 2:
        raise ValueError("matrix must be two-dimensional, not of shape %r" % (matrix.shape,))
    if len(keys) != matrix.shape[0]:
        raise ValueError("keys has %d rows, matrix %d" % (len(keys), matrix.shape[0]))
    if matrix.shape[0] == 0:
        return matrix, keys, 0
    rows = np.ascontiguousarray(matrix).view(np.dtype((np.void, matrix.dtype.itemsize * matrix.shape[1])))
    _, first = np.unique(rows.ravel(), return_index=True)
    kept = np.sort(first)
    if hasattr(keys, "take"):
        new_keys = keys.take(kept)
    else:
        new_keys = [keys[i] for i in kept]
    return matrix[kept], new_keys, int(matrix.shape[0] - kept.size)


def _group_values(table, by):
    if by == "flow":
        # The strategy's key names the endpoints; the same flow in two captures is one group.
        return [str(k) for k in _column(table, "key")]
    if by == "host":
        return [str(s) if s else str(k) for s, k in zip(_column(table, "src"), _column(table, "key"))]
    return None


def grouped_split(keys_or_table, by="flow", test_fraction=0.2, seed=0):
    """Deterministic train/test split of the rows of a flow table or of a byte matrix's keys, in which no group
    lies on both sides: by "flow" (the flow key), "host" (the initiator's address) or "time" (the latest flows by
    first packet time are the test rows; flows starting at the same microsecond stay together).  Returns
    (train_rows, test_rows), sorted numpy arrays of row numbers."""
    np = _numpy()
    if by not in ("flow", "host", "time"):
        raise ValueError("by must be 'flow', 'host' or 'time', not %r" % (by,))
    if isinstance(test_fraction, bool) or not isinstance(test_fraction, (int, float)) or not 0 <= test_fraction <= 1:
        raise ValueError("test_fraction must be a number from 0 to 1, not %r" % (test_fraction,))
    _count(seed, "seed", 0)
    table = keys_or_table
    n = table.num_rows
    want = int(round(test_fraction * n))
    if by == "time":
        groups = [str(t) for t in _column(table, "first_us")]
        order = sorted(set(groups), key=lambda g: -int(g))
    else:
        groups = _group_values(table, by)

        def rank(g):
            return hashlib.blake2b(("%d\0%s" % (seed, g)).encode(), digest_size=8).digest()

        order = sorted(set(groups), key=rank)
    sizes = {}
    for g in groups:
        sizes[g] = sizes.get(g, 0) + 1
    test_groups, taken = set(), 0
    for g in order:
        if taken >= want:
            break
        test_groups.add(g)
        taken += sizes[g]
    is_test = np.fromiter((g in test_groups for g in groups), dtype=bool, count=n)
    return np.flatnonzero(~is_test), np.flatnonzero(is_test)


def labels_from_dirs(paths):
    """Class labels from the directory each capture lies in (".../benign/a.pcap": "benign").  `paths`: a flow
    table or keys (their `input` column) or a sequence of paths.  Returns (labels, names): an int64 array and the
    sorted names its values index."""
    np = _numpy()
    if hasattr(paths, "column_names"):
        paths = _column(paths, "input")
    dirs = [os.path.basename(os.path.dirname(os.path.abspath(os.fspath(p)))) for p in paths]
    names = sorted(set(dirs))
    index = {name: i for i, name in enumerate(names)}
    return np.fromiter((index[d] for d in dirs), dtype=np.int64, count=len(dirs)), names


def preview_png(matrix, path, *, rows=256):
    """A grayscale PNG of the first `rows` rows of a byte matrix, one line of pixels per row (a byte's value is
    its brightness), written with zlib alone."""
    np = _numpy()
    matrix = np.asarray(matrix, dtype=np.uint8)
    if matrix.ndim != 2 or matrix.shape[1] == 0:
        raise ValueError("matrix must be two-dimensional with at least one column")
    _count(rows, "rows", 1)
    image = matrix[:rows]
    height, width = image.shape
    if height == 0:
        raise ValueError("matrix has no rows")

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    # Filter type 0 (none) before every line.
    raw = b"".join(b"\x00" + image[y].tobytes() for y in range(height))
    png = (
        b"\x89PNG\r\n\x1a\n"
        + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 0, 0, 0, 0))
        + chunk(b"IDAT", zlib.compress(raw, 9))
        + chunk(b"IEND", b"")
    )
    with open(path, "wb") as f:
        f.write(png)


def community_id(src, dst, proto, src_port=0, dst_port=0, seed=0):
    """The version 1 Community ID of a five-tuple (addresses as text), as the tool writes it in its tables; for
    ICMP and ICMPv6 the ports are the message type and code."""
    import base64
    import ipaddress

    a, b = ipaddress.ip_address(src).packed, ipaddress.ip_address(dst).packed
    with_ports = proto in (1, 6, 17, 58, 132)
    one_way = False
    if proto in (1, 58):
        pairs = (
            {8: 0, 0: 8, 13: 14, 14: 13, 15: 16, 16: 15, 10: 9, 9: 10, 17: 18, 18: 17}
            if proto == 1
            else {128: 129, 129: 128, 133: 134, 134: 133, 135: 136, 136: 135, 130: 131, 131: 130, 139: 140,
                  140: 139, 144: 145, 145: 144}  # fmt: skip
        )
        if src_port in pairs:
            dst_port = pairs[src_port]
        else:
            one_way = True
    if not (one_way or a < b or (a == b and with_ports and src_port < dst_port)):
        a, b, src_port, dst_port = b, a, dst_port, src_port
    data = struct.pack("!H", seed) + a + b + struct.pack("BB", proto, 0)
    if with_ports:
        data += struct.pack("!HH", src_port, dst_port)
    return "1:" + base64.b64encode(hashlib.sha1(data).digest()).decode()
