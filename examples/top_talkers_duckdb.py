"""The flow table of a capture as Parquet, then the top talkers by bytes, with DuckDB when it is installed, else
with pandas, else with pyarrow alone.

    python examples/top_talkers_duckdb.py CAPTURE [FLOWS.parquet]
"""
import sys

from vexlor_dataset import iter_flow_batches, write_parquet

QUERY = """
SELECT src, count(*) AS flows, sum(bytes_fwd) AS sent, sum(bytes_bwd) AS received,
       sum(bytes_fwd + bytes_bwd) AS total
FROM '{path}' GROUP BY src ORDER BY total DESC LIMIT 10
"""


def main(capture, path="flows.parquet"):
    rows = write_parquet(iter_flow_batches(capture, first_n=0), path)
    print("%d flows in %s" % (rows, path))
    try:
        import duckdb
    except ImportError:
        duckdb = None
    if duckdb is not None:
        print(duckdb.sql(QUERY.format(path=path.replace("'", "''"))))
        return
    try:
        import pandas as pd
    except ImportError:
        import pyarrow.compute as pc
        import pyarrow.parquet as pq

        t = pq.read_table(path)
        t = t.append_column("total", pc.add(t["bytes_fwd"], t["bytes_bwd"]))
        top = t.group_by("src").aggregate([("id", "count"), ("bytes_fwd", "sum"), ("bytes_bwd", "sum"),
                                           ("total", "sum")])  # fmt: skip
        for row in top.sort_by([("total_sum", "descending")]).slice(0, 10).to_pylist():
            print(row)
        return

    df = pd.read_parquet(path)
    df["total"] = df.bytes_fwd + df.bytes_bwd
    top = df.groupby("src").agg(flows=("id", "size"), sent=("bytes_fwd", "sum"), received=("bytes_bwd", "sum"),
                                total=("total", "sum"))  # fmt: skip
    print(top.sort_values("total", ascending=False).head(10).to_string())


if __name__ == "__main__":
    if len(sys.argv) not in (2, 3):
        sys.exit(__doc__)
    main(*sys.argv[1:])
