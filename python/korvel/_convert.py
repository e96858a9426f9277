"""Streaming conversion between SPSS files and Parquet, CSV and Arrow IPC files.

Every format is read and written batch by batch, so a file larger than memory converts.
Conversions go through pyarrow. The SPSS dictionary travels inside Parquet and Arrow files
as schema metadata (key "spss_metadata", JSON), so that converting back restores it.
"""

from __future__ import annotations

import itertools
import json
import os
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from typing import Any

import _korvel

from ._deps import require
from ._read import native_batches, open_batches
from ._write import write_sav

SPSS_KINDS = {".sav": "sav", ".zsav": "sav"}
OTHER_KINDS = {".parquet": "parquet", ".csv": "csv", ".arrow": "arrow", ".feather": "arrow"}
METADATA_KEY = b"spss_metadata"

# The fields SpssMetadata(**fields) accepts; the others (counts, encoding...) follow the data.
SETTABLE_FIELDS = (
    "file_label", "notes", "weight_variable", "variable_labels", "variable_formats",
    "variable_measures", "variable_display_widths", "variable_alignments", "variable_roles",
    "variable_value_labels", "variable_missing_values", "variable_attributes", "mr_sets",
)


def file_kind(path: str) -> str:
    """"sav", "parquet", "csv" or "arrow", from the file name's extension."""
    extension = os.path.splitext(path)[1].lower()
    kind = SPSS_KINDS.get(extension) or OTHER_KINDS.get(extension)
    if kind is None:
        known = ", ".join([*SPSS_KINDS, *OTHER_KINDS])
        raise ValueError(f"{path}: unsupported file type {extension or '(none)'!r}; use one of {known}")
    return kind


@dataclass
class Source:
    """Batches of one input file, with what is known of it ahead."""

    schema: Any
    batches: Iterator[Any]
    rows: int | None
    metadata: Any = None


def metadata_to_json(meta: Any) -> bytes:
    fields = {name: getattr(meta, name) for name in SETTABLE_FIELDS}
    # An alignment the file left unset reads "unknown", which cannot be set: leave it unset.
    fields["variable_alignments"] = {
        name: alignment for name, alignment in meta.variable_alignments.items() if alignment != "unknown"
    }
    fields["variable_value_labels"] = {
        name: [[key, text] for key, text in labels.items()]
        for name, labels in meta.variable_value_labels.items()
    }
    return json.dumps(fields, ensure_ascii=False).encode()


def metadata_from_json(text: bytes) -> Any:
    fields = json.loads(text)
    # JSON objects have only text keys: value labels travel as [key, label] pairs.
    fields["variable_value_labels"] = {
        name: {key: label for key, label in pairs}
        for name, pairs in fields.get("variable_value_labels", {}).items()
    }
    return _korvel.SpssMetadata(**fields)


def _stored_metadata(schema: Any) -> Any:
    stored = (schema.metadata or {}).get(METADATA_KEY)
    return metadata_from_json(stored) if stored else None


def open_source(path: str, batch_size: int) -> Source:
    pa = require("pyarrow", "korvel convert")
    kind = file_kind(path)
    if kind == "sav":
        reader = open_batches(path, batch_size, None, None)
        meta = reader.metadata()
        # A reader's schema comes with its first batch; an empty read gives it for no cases.
        first = reader.next_batch() or _korvel._read_sav(path, None, 0)[0]
        schema = pa.table(first).schema

        def spss() -> Iterator[Any]:
            for data in itertools.chain([first], native_batches(reader)):
                yield from pa.table(data).to_batches()

        return Source(schema, spss(), meta.number_rows, meta)
    if kind == "parquet":
        pq = require("pyarrow.parquet", "korvel convert")
        parquet = pq.ParquetFile(path)
        schema = parquet.schema_arrow
        batches = parquet.iter_batches(batch_size=batch_size)
        return Source(schema, batches, parquet.metadata.num_rows, _stored_metadata(schema))
    if kind == "csv":
        csv = require("pyarrow.csv", "korvel convert")
        stream = csv.open_csv(path)
        return Source(stream.schema, iter(stream), None)
    ipc = pa.ipc
    try:
        arrow = ipc.open_file(path)
        batches = (arrow.get_batch(i) for i in range(arrow.num_record_batches))
        rows = sum(arrow.get_batch(i).num_rows for i in range(arrow.num_record_batches))
        return Source(arrow.schema, batches, rows, _stored_metadata(arrow.schema))
    except pa.ArrowInvalid:
        stream = ipc.open_stream(path)
        return Source(stream.schema, iter(stream), None, _stored_metadata(stream.schema))


def _csv_schema(schema: Any) -> Any:
    """The schema a CSV writer accepts: string views as plain strings, durations as text."""
    pa = require("pyarrow", "korvel convert")
    fields = []
    for field in schema:
        if pa.types.is_string_view(field.type) or pa.types.is_duration(field.type):
            field = field.with_type(pa.string())
        fields.append(field)
    return pa.schema(fields)


def _duration_text(microseconds: int | None) -> str | None:
    """A duration as SPSS shows a TIME value: [-]H:MM:SS, with the fraction when there is one."""
    if microseconds is None:
        return None
    sign = "-" if microseconds < 0 else ""
    seconds, fraction = divmod(abs(microseconds), 1_000_000)
    minutes, second = divmod(seconds, 60)
    hours, minute = divmod(minutes, 60)
    text = f"{sign}{hours}:{minute:02d}:{second:02d}"
    return f"{text}.{fraction:06d}".rstrip("0") if fraction else text


def _csv_batch(batch: Any, text_schema: Any) -> Any:
    pa = require("pyarrow", "korvel convert")
    columns = []
    for column in batch.columns:
        if pa.types.is_duration(column.type):
            as_us = column.cast(pa.duration("us")).cast(pa.int64()).to_pylist()
            column = pa.array([_duration_text(v) for v in as_us], pa.string())
        columns.append(column)
    return pa.RecordBatch.from_arrays(columns, names=batch.schema.names).cast(text_schema)


def _sink(path: str, kind: str, schema: Any) -> tuple[Callable[[Any], None], Callable[[], None]]:
    """(write one batch, close) for a Parquet, CSV or Arrow output file."""
    if kind == "parquet":
        pq = require("pyarrow.parquet", "korvel convert")
        writer = pq.ParquetWriter(path, schema)
    elif kind == "csv":
        csv = require("pyarrow.csv", "korvel convert")
        text_schema = _csv_schema(schema)
        writer = csv.CSVWriter(path, text_schema)
        return (lambda batch: writer.write_batch(_csv_batch(batch, text_schema))), writer.close
    else:
        pa = require("pyarrow", "korvel convert")
        writer = pa.ipc.new_file(path, schema)
    return writer.write_batch, writer.close


def convert(
    source_path: str,
    target_path: str,
    *,
    compression: str | None = None,
    level: int | None = None,
    batch_size: int = 100_000,
    progress: Callable[[Iterator[Any], int | None], Iterator[Any]] = lambda it, rows: it,
) -> None:
    """Convert `source_path` into `target_path`, each in the format its extension names.

    A .sav/.zsav target is written with `compression` (default: zlib for .zsav, bytecode
    for .sav). The target is written under a temporary name and renamed when complete, so a
    failed conversion leaves no partial file and an existing target stays as it was.
    """
    pa = require("pyarrow", "korvel convert")
    target_kind = file_kind(target_path)
    if target_kind != "sav" and (compression is not None or level is not None):
        raise ValueError("--compression and --level apply to .sav/.zsav output only")
    source = open_source(source_path, batch_size)
    batches = progress(source.batches, source.rows)
    partial = f"{target_path}.partial"
    try:
        if target_kind == "sav":
            stream = pa.RecordBatchReader.from_batches(source.schema, batches)
            default = "zlib" if target_path.lower().endswith(".zsav") else "bytecode"
            write_sav(stream, partial, source.metadata, compression=compression or default, level=level)
        else:
            schema = source.schema
            if source.metadata is not None and target_kind != "csv":
                schema = schema.with_metadata({METADATA_KEY: metadata_to_json(source.metadata)})
            write, close = _sink(partial, target_kind, schema)
            try:
                for batch in batches:
                    write(batch.replace_schema_metadata(schema.metadata))
            finally:
                close()
        os.replace(partial, target_path)
    except BaseException:
        if os.path.exists(partial):
            os.remove(partial)
        raise
