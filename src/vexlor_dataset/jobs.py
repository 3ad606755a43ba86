"""One job per capture over many captures, locally or on a Dask cluster."""
__all__ = []
