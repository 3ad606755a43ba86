"""Flows as data: Arrow tables, Parquet and NumPy byte matrices.

The flows come from the tool (`vexlor table`, `vexlor bytes`), which reads the captures natively; this module
streams its output into Arrow and NumPy and adds the usual hygiene of a data set: small flows dropped, duplicate
rows removed, and a train/test split in which no flow, host or period lands on both sides.

Needs the `data` extra (pyarrow and numpy).
"""
import contextlib
import hashlib
import ipaddress
import math
import numbers
import os
import re
import struct
import subprocess
import tempfile
import warnings
import zlib

from ._tool import ToolError, forward_warnings, run_tool, tool_path

__all__ = [
    "STRATEGIES",
    "FLOW_COLUMNS",
    "flow_table",
    "iter_flow_batches",
    "write_parquet",
    "byte_matrix",
    "write_matrix_parquet",
    "drop_small",
    "dedupe",
    "grouped_split",
    "labels_from_dirs",
    "preview_png",
    "community_id",
]

STRATEGIES = ("session", "flow", "host", "hostpair", "mac", "bssid", "nosplit")
MASK_FIELDS = ("mac", "ip", "port", "checksum")

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
    if isinstance(inputs, (str, bytes, os.PathLike)):
        inputs = [inputs]
    inputs = [os.fsdecode(p) for p in inputs]
    if not inputs:
        raise ValueError("no input: give a capture, a directory of captures or an archive")
    return inputs


def _flow_args(strategy, idle_timeout, tcp_restart, combine, decode, ip=None, port=None, strict=False):
    if strategy not in STRATEGIES:
        raise ValueError("unknown strategy %r (valid: %s)" % (strategy, ", ".join(STRATEGIES)))
    if combine not in (None, "concat", "merge"):
        raise ValueError("combine must be None, 'concat' or 'merge', not %r" % (combine,))
    if decode not in ("wide", "basic"):
        raise ValueError("decode must be 'wide' or 'basic', not %r" % (decode,))
    args = ["--strategy", strategy, "--decode", decode, "--quiet"]
    if idle_timeout is not None:
        # The tool counts in microseconds: a shorter timeout would be written as 0, which means none.
        if not _is_real(idle_timeout) or not 1e-6 <= idle_timeout < 1e12:
            raise ValueError("idle_timeout must be a number of seconds from 0.000001 on, not %r" % (idle_timeout,))
        args += ["--idle-timeout", "%.6f" % idle_timeout]
    if tcp_restart:
        args.append("--tcp-restart")
    if combine:
        args += ["--combine", combine]
    for item in _listed(ip, _IP_OBJECTS):
        text = str(item) if isinstance(item, _IP_OBJECTS) else item
        if not isinstance(text, str) or not _is_address(text):
            raise ValueError("ip must be an IP address or prefix (\"10.0.0.0/8\"), or a list of them, not %r"
                             % (item,))  # fmt: skip
        args += ["--ip", text]
    for number in _listed(port, (numbers.Integral,)):
        args += ["--port", str(_count(number, "port", 0, 65535))]
    if strict:
        args.append("--strict")
    return args


# ipaddress's objects, taken as their text; a network is one prefix, not the addresses it would iterate over.
_IP_OBJECTS = (ipaddress.IPv4Address, ipaddress.IPv6Address, ipaddress.IPv4Network, ipaddress.IPv6Network)


def _listed(value, single):
    """None as no items, one item of the `single` types as a list of it, else the items of an iterable."""
    if value is None:
        return []
    if isinstance(value, single + (str, bytes)) and not isinstance(value, bool):
        return [value]
    try:
        return list(value)
    except TypeError:
        return [value]


def _is_address(text):
    """An address, or an address and a prefix length, as the tool takes them: no IPv6 zone ("fe80::1%eth0", which
    a capture's addresses never have) and no netmask ("10.0.0.0/255.0.0.0")."""
    address, slash, length = text.partition("/")
    try:
        version = ipaddress.ip_address(address).version
    except ValueError:
        return False
    if "%" in address:
        return False
    return not slash or (length.isdigit() and length.isascii() and len(length) <= 3
                         and int(length) <= (32 if version == 4 else 128))  # fmt: skip


def _is_real(value):
    """A finite number, numpy's too, but not a bool."""
    return isinstance(value, numbers.Real) and not isinstance(value, bool) and math.isfinite(value)


def _count(value, name, minimum, maximum=None):
    if isinstance(value, bool) or not isinstance(value, numbers.Integral) or value < minimum or (
            maximum is not None and value > maximum):
        raise ValueError("%s must be an integer from %d%s, not %r" % (
            name, minimum, " to %d" % maximum if maximum is not None else " on", value))
    return int(value)


# The longest row of the tool's table: every cell but the lists (the input's path, of up to 4096 bytes, the key,
# the tags and tunnels of `outer`) within _ROW_BYTES, and per packet of `first_n` a size of up to 10 digits, a
# direction and a gap of up to 20 characters, each with its separator.
_ROW_BYTES = 8192
_PACKET_BYTES = 11 + 2 + 21


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
    ip=None,
    port=None,
    strict=False,
):
    """Yields the flow table of `inputs` (captures, directories, archives) as pyarrow RecordBatches while the
    tool reads them: memory holds one block of rows at a time.  A block is at least as long as the longest row
    `first_n` allows (the three lists take up to 34 bytes a packet, the other cells a few KiB), since Arrow cannot
    cut a row in two: `block_size` is raised to that when smaller.  The list columns (sizes, dirs, gaps_us) are
    list<int64>.  `ip` (addresses or prefixes) and `port` (numbers), each one or a list, keep only the packets
    from or to one of the addresses and one of the ports given; `strict` fails on a capture whose last record is
    cut off instead of warning.  Raises ValueError for bad parameters before running anything, ToolError when the
    tool fails."""
    pa = _arrow()
    inputs = _inputs(inputs)
    first_n = _count(first_n, "first_n", 0, 100000)
    block_size = _count(block_size, "block_size", 1)
    block_size = max(block_size, _ROW_BYTES + _PACKET_BYTES * first_n)
    args = ["table", *inputs, "--first", str(first_n), "--format", "csv", "-o", "-"]
    args += _flow_args(strategy, idle_timeout, tcp_restart, combine, decode, ip, port, strict)
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
        except pa.ArrowInvalid as e:
            if "straddl" in str(e):
                # A row beyond the allowance above: a path or a stack of tunnels of many KiB.
                raise ValueError("a flow table row is longer than block_size (%d bytes): pass a larger one"
                                 % block_size) from e  # fmt: skip
            # Nothing at all (the tool failed before its header) reads as invalid CSV: its status says why.  The
            # pipe is closed first, so that a tool still writing ends rather than waits for a reader.
            proc.stdout.close()
            if proc.wait() == 0:
                raise
        finally:
            proc.stdout.close()
            status = proc.wait()
        errors.seek(0)
        said = errors.read()
        if status != 0:
            message = said.decode("utf-8", "replace").strip()
            raise ToolError(message or "vexlor exited with status %d" % status, status)
        forward_warnings(said, stacklevel=3)


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
               decode="wide", ip=None, port=None, strict=False):  # fmt: skip
    """The flow table of `inputs` as one pyarrow.Table (see `vexlor table --help` for the columns; the parameters
    are those of iter_flow_batches)."""
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
            ip=ip,
            port=port,
            strict=strict,
        )
    )
    return pa.Table.from_batches(batches, schema=_table_schema(pa))


@contextlib.contextmanager
def _published(path):
    """A temporary name beside `path`, renamed to it when the block completes and removed when it fails: a reader
    finds the whole file or none."""
    path = os.fspath(path)
    tmp = path + ".tmp"
    try:
        yield tmp
        os.replace(tmp, path)
    finally:
        if os.path.exists(tmp):
            os.unlink(tmp)


def write_parquet(table_or_batches, path, *, compression="zstd"):
    """Writes a pyarrow Table, or an iterable of RecordBatches (such as iter_flow_batches()), as one Parquet file,
    under a temporary name renamed into place when complete.  Returns the number of rows."""
    pa = _arrow()
    import pyarrow.parquet as pq

    rows = 0
    with _published(path) as tmp:
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
    return rows


_KEY_NUMBERS = ("row", "id", "proto", "src_port", "dst_port", "first_us", "packets")


def _read_keys(path):
    pa = _arrow()
    # Typed, so that the keys of a capture without flows have the columns of any other (not Arrow's null type).
    types = {c: pa.string() for c in _STRING_COLUMNS}
    types.update({c: pa.int64() for c in _KEY_NUMBERS})
    return pa.csv.read_csv(path, convert_options=pa.csv.ConvertOptions(column_types=types,
                                                                       strings_can_be_null=False))


def _mask_fields(mask):
    # A comma-separated string, as the tool's --mask takes it, or a sequence of names; None or empty: no mask.
    if mask is None:
        return []
    if isinstance(mask, str):
        fields = mask.split(",") if mask else []
    else:
        try:
            fields = [] if isinstance(mask, (bytes, bytearray, dict)) else list(mask)
        except TypeError:
            fields = None
        if fields is None or isinstance(mask, (bytes, bytearray, dict)):
            raise ValueError("mask must be a string such as \"mac,ip\" or a sequence of field names, not %r" % (
                mask,))
    for m in fields:
        if not isinstance(m, str) or m not in MASK_FIELDS:
            raise ValueError("unknown mask field %r (valid: %s)" % (m, ", ".join(MASK_FIELDS)))
    return fields


def _byte_values(matrix, np):
    # Values are bytes whatever the array's type: one outside 0 to 255, or with a fraction, is refused rather
    # than wrapped round or cut down by a cast.  Returns the matrix, one of Python numbers as floats.
    if matrix.dtype == np.uint8 or matrix.size == 0:
        return matrix
    if matrix.dtype.kind == "O":
        if not all(isinstance(v, numbers.Real) for v in matrix.flat):
            raise ValueError("matrix values must be bytes, 0 to 255: this object array holds other things")
        matrix = matrix.astype(np.float64)
    if matrix.dtype.kind not in "biuf":  # bool, integers, floats: not complex, times or objects
        raise ValueError("matrix values must be bytes, 0 to 255, not of type %s" % matrix.dtype)
    # min() and max() rather than a mask of the rows; NaN fails both comparisons.
    low, high = matrix.min(), matrix.max()
    if not (low >= 0 and high <= 255):
        raise ValueError("matrix values must be bytes, 0 to 255, not %s to %s" % (low, high))
    if matrix.dtype.kind == "f" and np.any(matrix % 1):
        raise ValueError("matrix values must be bytes, whole numbers from 0 to 255")
    return matrix


def _rows_of(table, name):
    if not hasattr(table, "num_rows") or not hasattr(table, "column_names"):
        raise ValueError("%s must be a pyarrow Table (a flow table or a byte matrix's keys), not %s" % (
            name, type(table).__name__))
    return table.num_rows


def byte_matrix(inputs, n=784, packets=None, payload=False, mask=(), *, strategy="session", idle_timeout=None,
                tcp_restart=False, combine=None, decode="wide", ip=None, port=None, strict=False,
                out=None):  # fmt: skip
    """The first `n` bytes of each flow (or of each of its first `packets` packets, one slot of `n` bytes per packet),
    zero-padded, as a uint8 array of shape (flows, n) or (flows, packets * n), and the flows of its rows as a pyarrow
    Table (row, id, input, key, proto, src, dst, src_port, dst_port, community_id, first_us (the flow's first packet's
    time), packets). `mask`: fields zeroed, from "mac", "ip", "port" and "checksum" (the IPv4 header checksum and the
    TCP, UDP, SCTP, ICMP and ICMPv6 checksums).  The checksums are sums over the addresses and ports, so with those
    masked they still tell hosts apart: two rows that differ only by host stay different for dedupe(), and a model can
    learn the hosts back from them; mask "checksum" with "ip" and "port".  With `out` (a path ending in .npy) the files
    are kept there (out and out minus .npy plus .keys.csv) and the array is memory-mapped read-only; otherwise it is
    read into memory.  The keys count packets, not payload: see drop_small() for flows without payload, and
    write_matrix_parquet() for one Parquet file of both.  The flows are formed and filtered as iter_flow_batches() forms
    and filters them."""
    np = _numpy()
    inputs = _inputs(inputs)
    n = _count(n, "n", 1, 1 << 20)
    if packets is not None:
        packets = _count(packets, "packets", 1, 4096)
    mask = _mask_fields(mask)
    if not isinstance(payload, (bool, np.bool_)):
        raise ValueError("payload must be True or False, not %r" % (payload,))
    args = ["bytes", *inputs, "--first", str(n)]
    if packets is not None:
        args += ["--packets", str(packets)]
    if payload:
        args.append("--payload")
    if mask:
        args += ["--mask", ",".join(mask)]
    args += _flow_args(strategy, idle_timeout, tcp_restart, combine, decode, ip, port, strict)

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


def write_matrix_parquet(matrix, keys, path, *, compression="zstd"):
    """Writes a byte matrix and its keys (the Table byte_matrix() returns, or its rows taken alike) as one Parquet
    file: a row per flow, the key columns and `bytes`, the matrix row as a fixed-size binary of the matrix's width.
    Published whole as write_parquet() publishes; returns the number of rows.  Values are bytes whatever the array's
    type, as for preview_png(): one outside 0 to 255, or with a fraction, is a ValueError, not a byte wrapped round."""
    pa = _arrow()
    np = _numpy()
    matrix = np.asarray(matrix)
    if matrix.ndim != 2 or matrix.shape[1] == 0:
        raise ValueError("matrix must be two-dimensional with at least one column, not of shape %r" % (matrix.shape,))
    matrix = np.ascontiguousarray(_byte_values(matrix, np), dtype=np.uint8)
    if isinstance(keys, pa.RecordBatch):
        keys = pa.Table.from_batches([keys])
    if _rows_of(keys, "keys") != matrix.shape[0]:
        raise ValueError("keys has %d rows, matrix %d" % (keys.num_rows, matrix.shape[0]))
    width = matrix.shape[1]
    column = pa.FixedSizeBinaryArray.from_buffers(pa.binary(width), matrix.shape[0], [None, pa.py_buffer(matrix)])
    return write_parquet(keys.append_column("bytes", column), path, compression=compression)


def _column(table, name):
    return table.column(name).to_pylist()


def drop_small(table, min_packets=0, *, min_payload_bytes=0):
    """The rows of a flow table (or a byte matrix's keys) with at least `min_packets` packets and at least
    `min_payload_bytes` bytes of transport payload both ways together (1 drops the flows that carried no data: a
    lone SYN, a handshake, a scan's probe).  A byte matrix's keys have no payload counts: filter a flow table of
    the same inputs and options, which names its flows by the same input and id, and keep the keys it keeps
    (`keys.join(drop_small(flows, min_payload_bytes=1).select(["input", "id"]), ["input", "id"],
    join_type="inner").sort_by("row")`, whose `row` column then picks the matrix's rows)."""
    pa = _arrow()
    pc = pa.compute
    _count(min_packets, "min_packets", 0)
    _count(min_payload_bytes, "min_payload_bytes", 0)
    if "packets" in table.column_names:
        total = table.column("packets")
    else:
        total = pc.add(table.column("packets_fwd"), table.column("packets_bwd"))
    keep = pc.greater_equal(total, min_packets)
    if min_payload_bytes:
        if "payload_fwd" not in table.column_names:
            raise ValueError("min_payload_bytes needs the payload_fwd and payload_bwd columns of a flow table: these "
                             "rows have none (a byte matrix's keys: join them to a filtered flow table, as "
                             "help(drop_small) shows)")
        payload = pc.add(table.column("payload_fwd"), table.column("payload_bwd"))
        keep = pc.and_(keep, pc.greater_equal(payload, min_payload_bytes))
    return table.filter(keep)


def dedupe(matrix, keys):
    """Removes rows of `matrix` equal to an earlier row, and their keys (a Table or a sequence).  Returns
    (matrix, keys, removed): the first of equal rows is kept, the order of the rest is unchanged.  Rows are equal
    byte for byte: to find the flows that are the same but for their hosts, build the matrix with mask=("mac",
    "ip", "port", "checksum"), since checksums over the addresses and ports would keep such rows apart."""
    np = _numpy()
    matrix = np.asarray(matrix)
    if matrix.ndim != 2:
        raise ValueError("matrix must be two-dimensional, not of shape %r" % (matrix.shape,))
    if len(keys) != matrix.shape[0]:
        raise ValueError("keys has %d rows, matrix %d" % (len(keys), matrix.shape[0]))
    if matrix.shape[0] == 0:
        return matrix, keys, 0
    if matrix.shape[1] == 0:  # rows of no bytes are all equal
        kept = np.zeros(1, dtype=np.intp)
        return matrix[kept], keys.take(kept) if hasattr(keys, "take") else [keys[0]], matrix.shape[0] - 1
    rows = np.ascontiguousarray(matrix).view(np.dtype((np.void, matrix.dtype.itemsize * matrix.shape[1])))
    _, first = np.unique(rows.ravel(), return_index=True)
    kept = np.sort(first)
    if hasattr(keys, "take"):
        new_keys = keys.take(kept)
    else:
        new_keys = [keys[i] for i in kept]
    return matrix[kept], new_keys, int(matrix.shape[0] - kept.size)


def _host_components(table):
    """Each row's group when no host may lie on both sides: flows that share an endpoint, either side, are joined
    (union-find over both addresses of every flow), so that a host that starts some flows and answers others
    draws them all into one group.  A group is named by its smallest address, whatever the order of the rows; a
    flow without IP addresses is a group of its own key."""
    parent = {}

    def find(x):
        root = x
        while parent.setdefault(root, root) != root:
            root = parent[root]
        while parent[x] != root:
            parent[x], x = root, parent[x]
        return root

    firsts = []
    for src, dst, key in zip(_column(table, "src"), _column(table, "dst"), _column(table, "key")):
        ends = [h for h in (src, dst) if h] or ["\0" + str(key)]
        firsts.append(ends[0])
        a, b = find(ends[0]), find(ends[-1])
        # The smaller name stays the root: a component is named by its smallest member.
        parent[max(a, b)] = min(a, b)
    return [find(h) for h in firsts]


_LATER_FLOW = re.compile(r"-[0-9]+$")


def _group_values(table, by, window_us):
    if by == "flow":
        # The strategy's key names the endpoints; the same flow in two captures is one group, and so are the later
        # flows of the same endpoints (idle timeout, TCP restart: KEY-2, KEY-3), which would otherwise put one
        # conversation on both sides.
        return [_LATER_FLOW.sub("", str(k)) for k in _column(table, "key")]
    if by == "host":
        return _host_components(table)
    return [t // window_us for t in _column(table, "first_us")]


def _nearest_sum(sizes, target, near):
    """The number of rows, of those some of the groups (`sizes`: {size: groups of it}) hold together, nearest to
    `target`; of two as near, the one nearer to `near`.  The counts reachable are the bits of one integer, each
    size's groups added in batches of 1, 2, 4... groups, so that a size costs a few shifts however many have it."""
    bits = 1
    for size, count in sizes.items():
        batch = 1
        while count:
            batch = min(batch, count)
            bits |= bits << batch * size
            count, batch = count - batch, 2 * batch
    below = (bits & ((2 << math.floor(target)) - 1)).bit_length() - 1
    above = bits >> math.ceil(target)
    candidates = [below] + ([math.ceil(target) + (above & -above).bit_length() - 1] if above else [])
    return min(candidates, key=lambda t: (abs(t - target), abs(t - near)))


def _exchanged(order, sizes, test_groups, taken, goal, rows):
    """The groups to move between the sides so that the test side holds `goal` rows instead of `taken`: the
    moves are found over classes (a size and a way), the smaller sizes first, each class's groups moving in the
    seeded order (into the test side the first of the training side's, out of it the last of its own).  `first`
    records for each count of test rows the class that first reached it, to walk back from `goal`."""
    np = _numpy()
    classes = {}
    for g in order:
        if g not in test_groups:
            classes.setdefault((sizes[g], 1), []).append(g)
    for g in reversed(order):
        if g in test_groups:
            classes.setdefault((sizes[g], -1), []).append(g)
    names = sorted(classes)
    first = np.full(rows + 1, len(names), dtype=np.int32)
    first[taken] = -1
    bits = 1 << taken
    for i, (size, way) in enumerate(names):
        before, count, batch = bits, len(classes[size, way]), 1
        while count:
            batch = min(batch, count)
            bits |= bits << batch * size if way > 0 else bits >> batch * size
            count, batch = count - batch, 2 * batch
        new = np.frombuffer((bits & ~before).to_bytes(rows // 8 + 1, "little"), np.uint8)
        first[np.flatnonzero(np.unpackbits(new, bitorder="little"))] = i
        if bits >> goal & 1:
            break
    moved, at = set(), goal
    while at != taken:
        i = int(first[at])
        (size, way), members = names[i], classes[names[i]]
        k = next(k for k in range(1, len(members) + 1) if 0 <= at - way * k * size <= rows
                 and first[at - way * k * size] < i)  # fmt: skip
        moved.update(members[:k])
        at -= way * k * size
    return test_groups ^ moved


def grouped_split(keys_or_table, by="flow", test_fraction=0.2, seed=0, *, window=3600):
    """Deterministic train/test split of the rows of a flow table or of a byte matrix's keys, in which no group
    lies on both sides.  `by`:

    - "flow": the flow key (the same flow in several captures is one group, and the later flows of its endpoints
      that an idle timeout or a TCP restart numbered KEY-2, KEY-3 are in it too);
    - "host": flows that share a host, as initiator or responder, are one group (the connected components of the
      hosts), so that no host is on both sides; a network where every host talks to every other is one group;
    - "time": windows of `window` seconds (default 3600: hours), counted from the epoch, by each flow's first
      packet time, so that no window is on both sides.

    The groups are taken in an order drawn from `seed`, each into the test side while it brings the test rows
    nearer to `test_fraction` of all.  A group taken early can leave a later one too big to fit: should some of
    the groups hold a count of rows nearer still, groups then move between the sides (the smaller first; into
    the test side those the order takes first, out of it those it takes last) until the test side holds that
    count.  So the fraction is met as closely as the groups' sizes allow (of two counts as near, the one nearer
    the first pass's; one group in all: on the test side when test_fraction is above one half, else on the
    training side).  Returns (train_rows, test_rows), sorted numpy arrays of row numbers."""
    np = _numpy()
    if by not in ("flow", "host", "time"):
        raise ValueError("by must be 'flow', 'host' or 'time', not %r" % (by,))
    if not _is_real(test_fraction) or not 0 <= test_fraction <= 1:
        raise ValueError("test_fraction must be a number from 0 to 1, not %r" % (test_fraction,))
    _count(seed, "seed", 0)
    if not _is_real(window) or not 1 <= window * 10**6 < 2**63:
        raise ValueError("window must be a positive number of seconds (a microsecond at least), not %r" % (window,))
    table = keys_or_table
    n = _rows_of(table, "keys_or_table")
    target = test_fraction * n
    groups = _group_values(table, by, int(round(window * 10**6)))
    sizes = {}
    for g in groups:
        sizes[g] = sizes.get(g, 0) + 1

    def rank(g):
        return hashlib.blake2b(("%d\0%s" % (seed, g)).encode(), digest_size=8).digest()

    order = sorted(sizes, key=rank)
    test_groups, taken = set(), 0
    for g in order:
        # Taken when the test rows end nearer to the target with it than without it.
        if abs(taken + sizes[g] - target) < abs(taken - target):
            test_groups.add(g)
            taken += sizes[g]
    # The count the sizes allow nearest to the target; the pass above has it unless an early group was in the way.
    counts = {}
    for size in sizes.values():
        counts[size] = counts.get(size, 0) + 1
    goal = _nearest_sum(counts, target, taken)
    if goal != taken:
        test_groups = _exchanged(order, sizes, test_groups, taken, goal, n)
    is_test = np.fromiter((g in test_groups for g in groups), dtype=bool, count=n)
    return np.flatnonzero(~is_test), np.flatnonzero(is_test)


def labels_from_dirs(paths, root=None):
    """Class labels from the first directory below `root` on each capture's path: with root "captures",
    "captures/benign/a.pcap" and "captures/benign/monday/b.pcap" are both of class "benign", however deep the
    captures of a class are sorted.  Without `root`, the class is the directory each capture lies in
    (".../benign/a.pcap": "benign").  `paths`: a flow table or keys (their `input` column, the paths as the tool
    found them below the inputs given, so relative ones are taken from the current directory) or a sequence of
    paths.  A capture directly in `root`, or not below it, has no class: ValueError naming it.  Returns (labels,
    names): an int64 array and the sorted names its values index."""
    np = _numpy()
    if hasattr(paths, "column_names"):
        paths = _column(paths, "input")
    elif isinstance(paths, (str, bytes, os.PathLike)):
        raise ValueError("paths must be a sequence of paths or a table, not the one path %r" % (paths,))
    if root is None:
        classes = [os.path.basename(os.path.dirname(os.path.abspath(os.fspath(p)))) for p in paths]
    else:
        root = os.path.abspath(os.fspath(root))
        classes = []
        for path in paths:
            parts = os.path.relpath(os.path.abspath(os.fspath(path)), root).split(os.sep)
            if len(parts) < 2 or parts[0] == os.pardir:
                raise ValueError("%s is not in a class directory below %s (ROOT/CLASS/...)" % (path, root))
            classes.append(parts[0])
    names = sorted(set(classes))
    index = {name: i for i, name in enumerate(names)}
    return np.fromiter((index[c] for c in classes), dtype=np.int64, count=len(classes)), names


def preview_png(matrix, path, *, rows=256, per_row=16, gap=1):
    """A grayscale PNG of the first `rows` rows of a byte matrix, as the flows of such data sets are looked at:
    each row a square tile (784 bytes: 28 x 28 pixels; other widths the smallest square that holds them, the
    rest black), a byte's value its brightness, `per_row` tiles a line with `gap` white pixels between them (and
    white where the last line has no tile).  Written with zlib alone, under a temporary name renamed when
    complete.  Values are bytes, whatever the array's type: any outside 0 to 255, or with a fraction, is a
    ValueError, not a pixel wrapped round or cut down."""
    np = _numpy()
    matrix = np.asarray(matrix)
    if matrix.ndim != 2 or matrix.shape[1] == 0:
        raise ValueError("matrix must be two-dimensional with at least one column")
    _count(rows, "rows", 1)
    _count(per_row, "per_row", 1)
    _count(gap, "gap", 0)
    count, n = min(rows, matrix.shape[0]), matrix.shape[1]
    if count == 0:
        raise ValueError("matrix has no rows")
    shown = _byte_values(matrix[:count], np)
    side = math.isqrt(n - 1) + 1
    step, across = side + gap, min(per_row, count)
    down = -(-count // across)
    # Tiles with their gap below and to the right, laid out in lines; the last gap of each way is cut off.
    cells = np.full((down * across, step, step), 255, dtype=np.uint8)
    tiles = np.zeros((count, side * side), dtype=np.uint8)
    tiles[:, :n] = shown.astype(np.uint8)
    cells[:count, :side, :side] = tiles.reshape(count, side, side)
    image = cells.reshape(down, across, step, step).transpose(0, 2, 1, 3).reshape(down * step, across * step)
    image = image[: down * step - gap, : across * step - gap]
    height, width = image.shape

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    # Filter type 0 (none) before every line.
    raw = np.concatenate([np.zeros((height, 1), dtype=np.uint8), image], axis=1).tobytes()
    png = (
        b"\x89PNG\r\n\x1a\n"
        + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 0, 0, 0, 0))
        + chunk(b"IDAT", zlib.compress(raw, 9))
        + chunk(b"IEND", b"")
    )
    with _published(path) as tmp, open(tmp, "wb") as f:
        f.write(png)


def community_id(src, dst, proto, src_port=0, dst_port=0, seed=0):
    """The version 1 Community ID of a five-tuple (addresses as text), as the tool writes it in its tables; for
    ICMP and ICMPv6 the ports are the message type and code."""
    import base64

    a, b = ipaddress.ip_address(src).packed, ipaddress.ip_address(dst).packed
    if len(a) != len(b):
        raise ValueError("src and dst must be of one IP version, not %r and %r" % (src, dst))
    proto = _count(proto, "proto", 0, 255)
    src_port, dst_port = _count(src_port, "src_port", 0, 65535), _count(dst_port, "dst_port", 0, 65535)
    seed = _count(seed, "seed", 0, 65535)
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
