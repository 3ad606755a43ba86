"""The hosts that sent and received the most bytes in captures or archives: their flow table as Parquet, then a
query over both ends of every flow, with DuckDB when it is installed, else with pyarrow alone.

    python examples/top_talkers_duckdb.py INPUT... [--parquet FLOWS.parquet] [-n 10]

INPUT: captures (compressed or not), directories of them, .vexlor archives, a directory of archives or the
vexlor-manifest.jsonl of an archive job, handed to the tool as they are.  A host is credited with every flow it
is an end of, whether it started it or answered: as the initiator (src) it sent bytes_fwd and received bytes_bwd,
as the responder (dst) the other way round, so that servers are talkers too.
"""
import argparse

from vexlor_dataset import iter_flow_batches, write_parquet

# Each flow once for each end (once only when a host talks to itself); flows without IP addresses are left out.
QUERY = """
SELECT host, count(*) AS flows, sum(sent) AS sent, sum(received) AS received, sum(sent + received) AS total
FROM (SELECT src AS host, bytes_fwd AS sent, bytes_bwd AS received FROM '{path}'
      UNION ALL SELECT dst, bytes_bwd, bytes_fwd FROM '{path}' WHERE dst <> src)
WHERE host <> '' GROUP BY host ORDER BY total DESC, host LIMIT {limit}
"""
COLUMNS = ["host", "flows", "sent", "received", "total"]


def top_talkers(path, limit=10):
    """The `limit` hosts with the most bytes in the flow table at `path`, as dicts of COLUMNS."""
    try:
        import duckdb
    except ImportError:
        duckdb = None
    if duckdb is not None:
        rows = duckdb.sql(QUERY.format(path=path.replace("'", "''"), limit=int(limit))).fetchall()
        return [dict(zip(COLUMNS, row)) for row in rows]
    import pyarrow as pa
    import pyarrow.compute as pc
    import pyarrow.parquet as pq

    t = pq.read_table(path, columns=["src", "dst", "bytes_fwd", "bytes_bwd"])
    back = t.filter(pc.not_equal(t["dst"], t["src"]))
    ends = pa.concat_tables([
        pa.table({"host": t["src"], "sent": t["bytes_fwd"], "received": t["bytes_bwd"]}),
        pa.table({"host": back["dst"], "sent": back["bytes_bwd"], "received": back["bytes_fwd"]}),
    ])  # fmt: skip
    ends = ends.filter(pc.not_equal(ends["host"], ""))
    ends = ends.append_column("total", pc.add(ends["sent"], ends["received"]))
    top = ends.group_by("host").aggregate([("host", "count"), ("sent", "sum"), ("received", "sum"), ("total", "sum")])
    top = top.select(["host", "host_count", "sent_sum", "received_sum", "total_sum"]).rename_columns(COLUMNS)
    return top.sort_by([("total", "descending"), ("host", "ascending")]).slice(0, limit).to_pylist()


def main(argv=None):
    parser = argparse.ArgumentParser(description=(__doc__ or "").split("\n\n")[0].replace("\n", " "))
    parser.add_argument("inputs", nargs="+", metavar="INPUT", help="captures, archives, directories or a manifest")
    parser.add_argument("--parquet", default="flows.parquet", help="where the flow table goes (flows.parquet)")
    parser.add_argument("-n", type=int, default=10, help="how many hosts to show (default 10)")
    args = parser.parse_args(argv)
    rows = write_parquet(iter_flow_batches(args.inputs, first_n=0), args.parquet)
    print("%d flows in %s" % (rows, args.parquet))
    top = top_talkers(args.parquet, args.n)
    print("%-40s %8s %14s %14s %14s" % tuple(COLUMNS))
    for row in top:
        print("%-40s %8d %14d %14d %14d" % tuple(row[c] for c in COLUMNS))
    return top


if __name__ == "__main__":
    main()
