"""Data sets from packet captures, built on the vexlor command-line tool.

- `vexlor_dataset.jobs`: one job per capture over many captures (compressed or not), on this machine or as tasks of
  a Dask cluster, resumable through the manifest the tool keeps beside the outputs.
- `vexlor_dataset.tables`: flows as data (Arrow tables, Parquet, NumPy byte matrices) for analysis and machine
  learning.

The module `vexlor` itself is unchanged by this package: it keeps its own surface and outputs.
"""
from ._tool import ToolError, tool_path
from .jobs import *  # noqa: F401,F403
from .jobs import __all__ as _jobs_all
from .tables import *  # noqa: F401,F403
from .tables import __all__ as _tables_all

__all__ = ["ToolError", "tool_path", *_jobs_all, *_tables_all]
