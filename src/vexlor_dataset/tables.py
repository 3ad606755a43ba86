"""Flows as data: Arrow tables, Parquet and NumPy byte matrices."""
__all__ = []
