"""Interpret NC part programs into tables: rows as dicts or Arrow batches."""

from ._internal import (
    NcBatchIterator,
    NcError,
    NcRowIterator,
    nc_to_batches,
    nc_to_rows,
)

__all__ = [
    "nc_to_rows",
    "nc_to_batches",
    "NcRowIterator",
    "NcBatchIterator",
    "NcError",
]
