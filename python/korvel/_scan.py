"""Lazy scanning of SPSS files as a polars LazyFrame, through polars' IO-plugin interface."""

from __future__ import annotations

import glob
import os
from collections.abc import Iterator, Sequence
from typing import Any, Union

import _korvel

from ._deps import require
from ._frames import polars_schema
from ._read import native_batches, open_batches, text_path

Source = Union[str, "os.PathLike[str]", Sequence[Union[str, "os.PathLike[str]"]]]

DEFAULT_BATCH_ROWS = 100_000


def expand_paths(source: Source) -> list[str]:
    """The files of a path, a glob pattern or a list of paths, in order."""
    if isinstance(source, (str, os.PathLike)):
        text = text_path(source)
        if glob.has_magic(text):
            matches = sorted(glob.glob(text))
            if not matches:
                raise FileNotFoundError(f"no file matches {text!r}")
            return matches
        return [text]
    paths = [text_path(p) for p in source]
    if not paths:
        raise ValueError("no file to scan: the list of paths is empty")
    return paths


def _file_schema(path: str) -> dict[str, str]:
    # batch_size 0: the reader is only asked for its schema.
    return _korvel._SavBatchReader(path, 0).schema()


def scan_sav(source: Source) -> Any:
    """Lazily scan one or more SPSS .sav/.zsav files as a polars LazyFrame.

    `source` is a path, a glob pattern such as "waves/*.sav", or a list of paths; several
    files are read one after the other as one frame and must have the same columns and types.
    Only the columns a query uses are decoded (projection pushdown), reading stops once a
    `head`/`limit` has its rows (row-limit pushdown), and rows are read batch by batch.

    Raises:
        OSError: a file is missing or damaged (when the schema is read, at the call);
        ValueError: the files' columns differ (when the query runs).
    """
    pl = require("polars", "scan_sav")
    from polars.io.plugins import register_io_source

    paths = expand_paths(source)
    native_schema = _file_schema(paths[0])

    def source_batches(
        with_columns: list[str] | None,
        predicate: Any,
        n_rows: int | None,
        batch_size: int | None,
    ) -> Iterator[Any]:
        remaining = n_rows
        # A query that needs no column (a row count) still needs the row counts: read the
        # narrowest request the reader accepts, one column, and drop it.
        if with_columns is None:
            wanted = list(native_schema)
        else:
            wanted = with_columns or list(native_schema)[:1]
        for path in paths:
            if remaining == 0:
                return
            schema = _file_schema(path) if path != paths[0] else native_schema
            if any(schema.get(name) != native_schema[name] for name in wanted):
                raise ValueError(f"{path}: its columns differ from those of {paths[0]}")
            projection = None if with_columns is None else wanted
            reader = open_batches(path, batch_size or DEFAULT_BATCH_ROWS, projection, remaining)
            for batch in native_batches(reader):
                frame = pl.DataFrame(batch)
                if remaining is not None:
                    remaining -= frame.height
                if with_columns == []:
                    frame = pl.DataFrame(height=frame.height)
                if predicate is not None:
                    frame = frame.filter(predicate)
                yield frame

    return register_io_source(
        source_batches,
        schema=polars_schema(native_schema),
        explain_name="korvel.scan_sav",
    )
