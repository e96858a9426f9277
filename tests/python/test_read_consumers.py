"""Real Arrow consumers take what the reader exports: pyarrow, polars and duckdb, over every
fixture file, plus the lifetime rules of the exported stream capsule."""

import ctypes
import gc
import json
import math

import duckdb
import polars as pl
import pyarrow as pa
import pyreadstat
import pytest

import _korvel
from conftest import not_under_sanitizer
from sav_fixtures import ENCRYPTED, MALFORMED, READABLE, rss_bytes, run_python


def same_values(a, b):
    """Element-wise equality where NaN equals NaN (None stays distinct from NaN)."""
    if len(a) != len(b):
        return False
    for x, y in zip(a, b):
        if isinstance(x, float) and isinstance(y, float) and math.isnan(x) and math.isnan(y):
            continue
        if x != y:
            return False
    return True


def buffer_addresses(table):
    return [
        buf.address
        for column in table.columns
        for chunk in column.chunks
        for buf in chunk.buffers()
        if buf is not None
    ]


@pytest.fixture(params=READABLE)
def read(request, fixtures_dir):
    path = str(fixtures_dir / request.param)
    data, meta = _korvel._read_sav(path)
    return path, data, meta


def test_pyarrow_imports_the_stream_and_the_data_are_valid(read):
    _, data, meta = read
    reader = pa.RecordBatchReader.from_stream(data)
    table = reader.read_all()
    table.validate(full=True)
    assert table.column_names == meta.variable_names
    for field in table.schema:
        assert field.nullable
    assert table.schema.metadata is None
    # String columns never hold nulls.
    for field, column in zip(table.schema, table.columns):
        if pa.types.is_string_view(field.type):
            assert column.null_count == 0
    via_table = pa.table(data)
    via_table.validate(full=True)
    assert via_table.equals(table)
    assert repr(data) == f"_ArrowData(rows={table.num_rows}, cols={table.num_columns})"


def physical_values(column):
    """The values as plain numbers and strings: temporal columns as their integer counts, so
    that values beyond Python's datetime range (one fixture holds the year 201416) compare too."""
    t = column.type
    arrays = column.chunks if isinstance(column, pa.ChunkedArray) else [column]
    if pa.types.is_date32(t):
        return [v for a in arrays for v in a.view(pa.int32()).to_pylist()]
    if pa.types.is_timestamp(t) or pa.types.is_duration(t):
        assert t.unit == "us"
        return [v for a in arrays for v in a.view(pa.int64()).to_pylist()]
    return column.to_pylist()


def test_polars_sees_the_same_values_as_pyarrow(read):
    _, data, _ = read
    table = pa.table(data)
    df = pl.DataFrame(data)
    assert df.columns == table.column_names
    assert df.height == table.num_rows
    kinds = {
        "double": pl.Float64,
        "string_view": pl.String,
        "date32[day]": pl.Date,
        "timestamp[us]": pl.Datetime("us"),
        "duration[us]": pl.Duration("us"),
    }
    for name, field in zip(table.column_names, table.schema):
        assert df.schema[name] == kinds[str(field.type)], name
        assert same_values(df[name].to_physical().to_list(), physical_values(table[name])), name
    assert pl.from_arrow(table).equals(df)


def duckdb_physical(name, arrow_type):
    """A select expression giving the column's value as duckdb holds it, in our integer units
    for temporal columns (duckdb's own Arrow export turns durations into nanosecond intervals,
    which overflow for the long durations that one fixture holds)."""
    quoted = '"' + name.replace('"', '""') + '"'
    if pa.types.is_date32(arrow_type):
        return f"date_diff('day', DATE '1970-01-01', {quoted})"
    if pa.types.is_timestamp(arrow_type) or pa.types.is_duration(arrow_type):
        return f"epoch_us({quoted})"
    return quoted


def test_duckdb_queries_the_capsule_and_a_pyarrow_table_alike(read):
    _, data, _ = read
    table = pa.table(data)
    expected = [physical_values(table[c]) for c in table.column_names]
    expected_rows = [list(row) for row in zip(*expected)]
    tbl = table
    con = duckdb.connect()
    select = ", ".join(duckdb_physical(f.name, f.type) for f in table.schema)
    for source in ("data", "tbl"):
        got = con.sql(f"select {select} from {source}").fetchall()
        assert len(got) == table.num_rows, source
        for row_got, row_expected in zip(got, expected_rows):
            assert same_values(list(row_got), row_expected), source
        names = [d[0] for d in con.sql(f"select * from {source}").description]
        assert names == table.column_names, source


def test_export_is_zero_copy(read):
    _, data, _ = read
    first = pa.table(data)
    second = pa.table(data)
    addresses = buffer_addresses(first)
    if first.num_rows:
        assert addresses
    assert addresses == buffer_addresses(second)


def test_two_capsules_of_one_batch_are_independent(read):
    _, data, _ = read
    first = data.__arrow_c_stream__()
    second = data.__arrow_c_stream__()
    assert first is not second
    name = ctypes.pythonapi.PyCapsule_GetName
    name.restype = ctypes.c_char_p
    name.argtypes = [ctypes.py_object]
    assert name(first) == b"arrow_array_stream"
    # Import in the opposite order: neither capsule depends on the other.
    t2 = pa.RecordBatchReader._import_from_c_capsule(second).read_all()
    t1 = pa.RecordBatchReader._import_from_c_capsule(first).read_all()
    assert t1.equals(t2)
    assert t1.equals(pa.table(data))


def test_a_requested_schema_capsule_is_accepted_and_not_applied(read):
    _, data, _ = read
    own = pa.table(data).schema
    other = pa.schema([("unrelated", pa.int8())])
    capsule = data.__arrow_c_stream__(other.__arrow_c_schema__())
    got = pa.RecordBatchReader._import_from_c_capsule(capsule).read_all()
    assert got.schema.equals(own)


@pytest.mark.parametrize("bad", [object(), "schema", 1, pa.schema([])])
def test_a_requested_schema_that_is_not_a_capsule_is_refused(fixtures_dir, bad):
    data, _ = _korvel._read_sav(str(fixtures_dir / "haven/iris.sav"))
    with pytest.raises(TypeError, match="requested_schema"):
        data.__arrow_c_stream__(bad)
    with pytest.raises(TypeError, match="requested_schema"):
        data.__arrow_c_stream__(requested_schema=bad)
    # The object is still usable after the refusal.
    assert pa.table(data).num_rows == 150


def test_arrow_data_cannot_be_made_from_python():
    with pytest.raises(TypeError):
        _korvel._ArrowData()


def test_repr_of_a_ten_row_three_column_read(tmp_path):
    import pandas as pd

    path = tmp_path / "small.sav"
    df = pd.DataFrame(
        {"a": range(10), "b": [float(i) / 3 for i in range(10)], "c": list("abcdefghij")}
    )
    pyreadstat.write_sav(df, str(path))
    data, meta = _korvel._read_sav(str(path))
    assert repr(data) == "_ArrowData(rows=10, cols=3)"
    assert str(data) == repr(data)
    assert meta.number_columns == 3


@not_under_sanitizer
def test_capsules_dropped_unconsumed_release_their_stream(tmp_path):
    # Each unconsumed capsule would, if its stream leaked, keep the whole batch alive after the
    # _ArrowData is gone: 5,000 rows x 4 doubles = 160 KB a round, 160 MB over 1,000 rounds.
    import pandas as pd

    path = tmp_path / "numbers.sav"
    n = 5000
    df = pd.DataFrame({c: [i * 0.5 + k for i in range(n)] for k, c in enumerate("abcd")})
    pyreadstat.write_sav(df, str(path))

    def round_trip():
        data, _ = _korvel._read_sav(str(path))
        capsule = data.__arrow_c_stream__()
        del data
        del capsule

    for _ in range(100):
        round_trip()
    gc.collect()
    before = rss_bytes()
    for _ in range(1000):
        round_trip()
    gc.collect()
    growth = rss_bytes() - before
    assert growth < 16 << 20, f"RSS grew by {growth} bytes over 1000 unconsumed capsules"


def test_encrypted_file_is_refused_by_its_magic(fixtures_dir):
    path = str(fixtures_dir / ENCRYPTED)
    message = 'invalid magic number: expected "$FL2" or "$FL3", found [28, 0, 0, 0]'
    for call in (_korvel._read_sav, _korvel._read_sav_meta, _korvel._SavBatchReader):
        with pytest.raises(OSError) as err:
            call(path)
        assert err.value.args == (message,)


_PROBE_MALFORMED = r"""
import json
import pyarrow as pa
import _korvel

out = {}

def attempt(key, fn):
    try:
        out[key] = {"ok": fn()}
    except OSError as e:
        out[key] = {"oserror": str(e), "nargs": len(e.args)}

def whole():
    data, meta = _korvel._read_sav(PATH)
    table = pa.table(data)
    table.validate(full=True)
    return {"rows": table.num_rows, "names": table.column_names, "meta_names": meta.variable_names}

def meta_only():
    return _korvel._read_sav_meta(PATH).number_columns

def batches():
    reader = _korvel._SavBatchReader(PATH, batch_size=3)
    rows = 0
    while (batch := reader.next_batch()) is not None:
        table = pa.table(batch)
        table.validate(full=True)
        rows += table.num_rows
    return rows

attempt("read_sav", whole)
attempt("read_sav_meta", meta_only)
attempt("batch_reader", batches)
print(json.dumps(out))
"""


@pytest.mark.parametrize("name", MALFORMED)
def test_malformed_files_fail_cleanly_or_read_soundly_in_a_child(fixtures_dir, name):
    code = _PROBE_MALFORMED.replace("PATH", repr(str(fixtures_dir / name)))
    proc = run_python(code, timeout=60)
    # A crash (signal) gives a negative return code; an internal failure escapes as non-OSError.
    assert proc.returncode == 0, proc.stderr
    results = json.loads(proc.stdout)
    for key, result in results.items():
        if "oserror" in result:
            assert result["oserror"], key
            assert result["nargs"] == 1, key
        else:
            ok = result["ok"]
            if key == "read_sav":
                assert ok["names"] == ok["meta_names"]
    if "ok" in results["read_sav"] and "ok" in results["batch_reader"]:
        assert results["batch_reader"]["ok"] == results["read_sav"]["ok"]["rows"]


# ----- format strings of the exported schema, against pyarrow's own ------------------------


class ArrowSchemaStruct(ctypes.Structure):
    pass


ArrowSchemaStruct._fields_ = [
    ("format", ctypes.c_char_p), ("name", ctypes.c_char_p), ("metadata", ctypes.c_char_p),
    ("flags", ctypes.c_int64), ("n_children", ctypes.c_int64),
    ("children", ctypes.POINTER(ctypes.POINTER(ArrowSchemaStruct))),
    ("dictionary", ctypes.POINTER(ArrowSchemaStruct)),
    ("release", ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowSchemaStruct))),
    ("private_data", ctypes.c_void_p),
]


class ArrowArrayStreamStruct(ctypes.Structure):
    pass


ArrowArrayStreamStruct._fields_ = [
    ("get_schema", ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(ArrowArrayStreamStruct),
                                    ctypes.POINTER(ArrowSchemaStruct))),
    ("get_next", ctypes.c_void_p), ("get_last_error", ctypes.c_void_p),
    ("release", ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowArrayStreamStruct))),
    ("private_data", ctypes.c_void_p),
]


def exported_formats(data):
    """(name, format) of each field of the stream schema that the capsule carries."""
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype = ctypes.c_void_p
    get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    capsule = data.__arrow_c_stream__()
    stream = ArrowArrayStreamStruct.from_address(get_pointer(capsule, b"arrow_array_stream"))
    schema = ArrowSchemaStruct()
    assert stream.get_schema(ctypes.byref(stream), ctypes.byref(schema)) == 0
    try:
        assert schema.format == b"+s"
        return [(schema.children[i].contents.name.decode(), schema.children[i].contents.format.decode())
                for i in range(schema.n_children)]
    finally:
        schema.release(ctypes.byref(schema))


def pyarrow_format(arrow_type):
    """The format string pyarrow itself exports for a type."""
    schema = ArrowSchemaStruct()
    pa.field("x", arrow_type)._export_to_c(ctypes.addressof(schema))
    try:
        return schema.format.decode()
    finally:
        schema.release(ctypes.byref(schema))


def test_exported_format_strings_are_those_pyarrow_exports(tmp_path):
    import datetime

    import pandas as pd

    path = tmp_path / "kinds.sav"
    df = pd.DataFrame({
        "number": [1.5, None],
        "text": ["a", "b"],
        "day": [datetime.date(2020, 1, 2), datetime.date(1582, 10, 14)],
        "moment": [datetime.datetime(2020, 1, 2, 3, 4, 5), datetime.datetime(1970, 1, 1)],
        "clock": [datetime.time(1, 2, 3), datetime.time(0, 0)],
    })
    pyreadstat.write_sav(df, str(path))
    data, _ = _korvel._read_sav(str(path))
    expected = {"number": pa.float64(), "text": pa.string_view(), "day": pa.date32(),
                "moment": pa.timestamp("us"), "clock": pa.duration("us")}
    assert exported_formats(data) == [(name, pyarrow_format(t)) for name, t in expected.items()]
