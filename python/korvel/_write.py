"""Writing frames to .sav/.zsav files through the native writer."""

from __future__ import annotations

import os
from typing import Any

import _korvel

from ._deps import require
from ._read import text_path

COMPRESSIONS = ("bytecode", "zlib", "uncompressed", "none")


def _library(frame: Any) -> str:
    return type(frame).__module__.split(".")[0]


def _keeps_text(name: str, metadata: Any) -> bool:
    """The metadata ask for a category column to stay text: they give it value labels of
    their own or a string format."""
    if metadata is None:
        return False
    if metadata.variable_value_labels.get(name):
        return True
    return metadata.variable_formats.get(name, "").startswith("A")


def _polars_codes(frame: Any, metadata: Any) -> tuple[Any, dict[str, tuple[list[str], bool]]]:
    pl = require("polars", "writing a polars frame")
    if isinstance(frame, pl.LazyFrame):
        frame = frame.collect()
    coded: dict[str, tuple[list[str], bool]] = {}
    for name, dtype in frame.schema.items():
        if not isinstance(dtype, (pl.Enum, pl.Categorical)) or _keeps_text(name, metadata):
            continue
        if isinstance(dtype, pl.Enum):
            categories = dtype.categories.to_list()
        else:
            categories = frame[name].drop_nulls().unique(maintain_order=True).cast(pl.String).to_list()
        frame = frame.with_columns(
            pl.col(name)
            .cast(pl.String)
            .replace_strict(categories, range(1, len(categories) + 1), default=None, return_dtype=pl.Float64)
        )
        coded[name] = (categories, False)
    return frame, coded


def _pandas_codes(frame: Any, metadata: Any) -> tuple[Any, dict[str, tuple[list[str], bool]]]:
    pd = require("pandas", "writing a pandas frame")
    pa = require("pyarrow", "writing a pandas frame")
    coded: dict[str, tuple[list[str], bool]] = {}
    columns = {}
    for name in frame.columns:
        series = frame[name]
        if isinstance(series.dtype, pd.CategoricalDtype) and not _keeps_text(str(name), metadata):
            codes = series.cat.codes.astype("float64") + 1.0
            columns[name] = codes.where(series.cat.codes >= 0)
            categories = [str(c) for c in series.cat.categories]
            coded[str(name)] = (categories, bool(series.cat.ordered))
        else:
            columns[name] = series
    # The index is not a variable: a pandas frame's own Arrow export would add it as a column.
    return pa.Table.from_pandas(pd.DataFrame(columns), preserve_index=False), coded


def _arrow_codes(table: Any, metadata: Any) -> tuple[Any, dict[str, tuple[list[str], bool]]]:
    pa = require("pyarrow", "writing a pyarrow table")
    pc = require("pyarrow.compute", "writing a pyarrow table")
    if isinstance(table, pa.RecordBatchReader):
        return table, {}  # a stream is written as it comes, batch by batch
    if isinstance(table, pa.RecordBatch):
        table = pa.Table.from_batches([table])
    coded: dict[str, tuple[list[str], bool]] = {}
    for index, field in enumerate(table.schema):
        if not pa.types.is_dictionary(field.type) or _keeps_text(field.name, metadata):
            continue
        column = table[field.name].unify_dictionaries()
        dictionary = column.chunk(0).dictionary if column.num_chunks else pa.array([], pa.string())
        codes = [pc.add(pc.cast(chunk.indices, pa.float64()), 1.0) for chunk in column.chunks]
        table = table.set_column(index, field.name, pa.chunked_array(codes, pa.float64()))
        coded[field.name] = ([str(c) for c in dictionary.to_pylist()], bool(field.type.ordered))
    return table, coded


def _with_category_labels(metadata: Any, coded: dict[str, tuple[list[str], bool]]) -> Any:
    """Metadata giving each coded column its categories as value labels (codes from 1)."""
    if not coded:
        return metadata
    base = metadata if metadata is not None else _korvel.SpssMetadata()
    measures = base.variable_measures
    return base.update(
        variable_value_labels={
            name: {float(code): text for code, text in enumerate(categories, start=1)}
            for name, (categories, _) in coded.items()
        },
        variable_measures={
            name: "ordinal" if ordered else "nominal"
            for name, (_, ordered) in coded.items()
            if name not in measures
        },
    )


def write_sav(
    frame: Any,
    path: str | os.PathLike[str],
    metadata: _korvel.SpssMetadata | None = None,
    *,
    compression: str = "bytecode",
    level: int | None = None,
) -> None:
    """Write a frame to an SPSS .sav or .zsav file.

    Args:
        frame: a polars DataFrame or LazyFrame, a pandas DataFrame, a pyarrow Table or
            RecordBatch, or any object with `__arrow_c_stream__`.
        path: the file to write (replaced if it exists).
        metadata: labels, formats, missing values etc. (`SpssMetadata`); variables it
            does not describe get defaults from their Arrow type.
        compression: "bytecode" (.sav, the default), "zlib" (.zsav) or "uncompressed".
        level: zlib level 0-9 (default 6), for compression="zlib" only.

    A pandas Categorical, polars Enum/Categorical or Arrow dictionary column is written as
    numeric codes 1..n with its categories as value labels, unless the metadata give that
    column value labels or a string format of their own (then it is written as its text).

    Raises:
        OSError: the file cannot be written or the data do not fit the metadata.
        ValueError: an unknown compression, or missing values of the wrong kind.
    """
    if compression not in COMPRESSIONS:
        raise ValueError(
            f"compression must be one of 'bytecode', 'zlib', 'uncompressed', not {compression!r}"
        )
    if level is not None and compression != "zlib":
        raise ValueError("level applies to compression='zlib' only")
    library = _library(frame)
    convert = {"polars": _polars_codes, "pandas": _pandas_codes, "pyarrow": _arrow_codes}.get(library)
    if convert is not None:
        frame, coded = convert(frame, metadata)
        metadata = _with_category_labels(metadata, coded)
    elif not hasattr(frame, "__arrow_c_stream__"):
        raise TypeError(
            f"write_sav needs a polars, pandas or pyarrow frame or an object with "
            f"__arrow_c_stream__, not {type(frame).__name__}"
        )
    _korvel._write_sav(text_path(path), frame, metadata, compression, level)
