"""Reading .sav/.zsav files into frames: whole, metadata only, or batch by batch."""

from __future__ import annotations

import os
from collections.abc import Iterator, Sequence
from typing import Any

import _korvel

from ._frames import check_kind, to_frame
from ._labels import apply_conveniences



def text_path(path: str | os.PathLike[str]) -> str:
    """The native module takes text paths; accept anything os.fspath understands."""
    text = os.fspath(path)
    if isinstance(text, bytes):
        text = os.fsdecode(text)
    return text


def _columns(columns: Sequence[str] | None) -> list[str] | None:
    if columns is None:
        return None
    if isinstance(columns, str):
        raise TypeError("columns must be a sequence of names, not a single str")
    return list(columns)


def read_sav(
    path: str | os.PathLike[str],
    *,
    columns: Sequence[str] | None = None,
    n_rows: int | None = None,
    to: str = "polars",
    apply_value_labels: bool = False,
    user_missing_as_null: bool = False,
) -> tuple[Any, _korvel.SpssMetadata]:
    """Read an SPSS .sav or .zsav file into a data frame and its metadata.

    Args:
        path: the file, as str or path-like.
        columns: names of the columns to read, in the order wanted (default: all).
        n_rows: read at most this many rows from the start of the file.
        to: "polars" (a polars DataFrame), "pandas" (a pandas DataFrame) or "pyarrow"
            (a pyarrow Table).
        apply_value_labels: turn labelled columns into categories (polars Enum, pandas
            Categorical, Arrow dictionary); a value without a label keeps its text.
        user_missing_as_null: turn the values the dictionary declares user-missing into nulls.

    Returns:
        (frame, SpssMetadata). The metadata describe the whole file, whatever was selected.

    Raises:
        OSError: the file is missing, damaged or not an SPSS system file, or a column
            name is not in it.
    """
    check_kind(to)
    data, meta = _korvel._read_sav(text_path(path), _columns(columns), n_rows)
    frame = to_frame(data, to)
    return apply_conveniences(frame, meta, to, apply_value_labels, user_missing_as_null), meta


def read_sav_meta(path: str | os.PathLike[str]) -> _korvel.SpssMetadata:
    """Read only the metadata (the dictionary) of an SPSS .sav or .zsav file."""
    return _korvel._read_sav_meta(text_path(path))


def open_batches(
    path: str | os.PathLike[str],
    batch_size: int,
    columns: Sequence[str] | None,
    n_rows: int | None,
) -> Any:
    """A native batch reader with its projection and row limit set."""
    if batch_size < 1:
        raise ValueError(f"batch_size must be at least 1, not {batch_size}")
    reader = _korvel._SavBatchReader(text_path(path), batch_size)
    selected = _columns(columns)
    if selected is not None:
        reader.select(selected)
    if n_rows is not None:
        reader.limit(n_rows)
    return reader


def native_batches(reader: Any) -> Iterator[Any]:
    """The `_ArrowData` batches of a native batch reader, until it is exhausted."""
    while (batch := reader.next_batch()) is not None:
        yield batch


def iter_sav(
    path: str | os.PathLike[str],
    *,
    batch_size: int = 100_000,
    columns: Sequence[str] | None = None,
    n_rows: int | None = None,
    to: str = "polars",
    apply_value_labels: bool = False,
    user_missing_as_null: bool = False,
) -> Iterator[Any]:
    """Yield an SPSS file's rows as frames of at most `batch_size` rows each.

    Only one batch is in memory at a time, so files larger than memory can be processed.
    The arguments are those of `read_sav`; the metadata come from `read_sav_meta`. With
    `apply_value_labels`, each batch's categories are the labels plus the unlabelled values
    of that batch.

    Raises:
        OSError: the file is missing or damaged (also while iterating), or a column is unknown.
    """
    check_kind(to)
    # Opened here, not in the generator, so that a bad path or column fails at the call.
    reader = open_batches(path, batch_size, columns, n_rows)
    meta = reader.metadata() if (apply_value_labels or user_missing_as_null) else None

    def frames() -> Iterator[Any]:
        for batch in native_batches(reader):
            frame = to_frame(batch, to)
            yield apply_conveniences(frame, meta, to, apply_value_labels, user_missing_as_null)

    return frames()
