"""The Python read API: the read functions, the batch reader, the Arrow export object and the
metadata that reading produces, on files written here by pyreadstat and on the fixtures."""

import datetime
import errno
import json
import os
import struct
from pathlib import Path

import pandas as pd
import pyarrow as pa
import pyreadstat
import pytest

import _korvel
from sav_fixtures import READABLE, run_python

BIG_ROWS = 250_000


@pytest.fixture(scope="module")
def small(tmp_path_factory):
    """10 cases of a (number), b (text) and c (number)."""
    path = tmp_path_factory.mktemp("small") / "small.sav"
    df = pd.DataFrame(
        {
            "a": [float(i) for i in range(10)],
            "b": [f"row{i}" for i in range(10)],
            "c": [i * 0.25 for i in range(10)],
        }
    )
    pyreadstat.write_sav(df, str(path), column_labels={"b": "The b column"})
    return str(path)


@pytest.fixture(scope="module")
def big(tmp_path_factory):
    """250,000 cases of a number, a text, a date-time, a date and a time of day."""
    path = tmp_path_factory.mktemp("big") / "big.sav"
    n = BIG_ROWS
    base = datetime.datetime(2000, 1, 1)
    df = pd.DataFrame(
        {
            "a": [float(i) for i in range(n)],
            "b": [f"s{i % 97}" for i in range(n)],
            "ts": pd.to_datetime([base + datetime.timedelta(seconds=i) for i in range(n)]),
        }
    )
    df["d"] = [datetime.date(2001, 1, 1) + datetime.timedelta(days=i % 1000) for i in range(n)]
    df["t"] = [datetime.time(i % 24, i % 60, 0) for i in range(n)]
    pyreadstat.write_sav(df, str(path))
    return str(path)


def table_of(data):
    table = pa.table(data)
    table.validate(full=True)
    return table


# ----- documentation and registration -------------------------------------------------------

DOCS = [
    (
        "_read_sav",
        "(path, columns=None, n_rows=None)",
        "Read an SPSS .sav/.zsav file. Returns (_ArrowData, SpssMetadata).",
    ),
    ("_read_sav_meta", "(path)", "Read only metadata from an SPSS file (no data)."),
    (
        "_SavBatchReader",
        "(path, batch_size=None)",
        "Wraps a SavScanner and exposes batch iteration to Python.\n"
        "Each batch is returned as an _ArrowData object (PyCapsule-capable).",
    ),
    (
        "_SavBatchReader.select",
        "($self, columns)",
        "Set column projection \u2014 only these columns will be decoded.",
    ),
    ("_SavBatchReader.limit", "($self, n)", "Set a row limit."),
    (
        "_SavBatchReader.schema",
        "($self)",
        "Return the schema as an ordered dict of {column_name: type_string}.",
    ),
    ("_SavBatchReader.metadata", "($self)", "Return file metadata."),
    (
        "_SavBatchReader.next_batch",
        "($self)",
        "Read the next batch. Returns _ArrowData or None at EOF.",
    ),
    (
        "_ArrowData",
        None,
        "Wraps an Arrow RecordBatch and exports it via the Arrow PyCapsule Interface.\n"
        "Consumers like Polars call `__arrow_c_stream__` to get the data with zero-copy.",
    ),
    (
        "_ArrowData.__arrow_c_stream__",
        "($self, requested_schema=None)",
        "Arrow PyCapsule Interface: export as an ArrowArrayStream capsule.",
    ),
]


@pytest.mark.parametrize("dotted, signature, doc", DOCS, ids=[d[0] for d in DOCS])
def test_documentation_and_text_signature(dotted, signature, doc):
    obj = _korvel
    for part in dotted.split("."):
        obj = getattr(obj, part)
    assert obj.__text_signature__ == signature
    assert obj.__doc__ == doc


ALL = [
    "_read_sav",
    "_read_sav_meta",
    "_write_sav",
    "SpssMetadata",
    "MetaDiff",
    "_ArrowData",
    "_SavBatchReader",
]


def test_all_lists_the_registered_names_in_order():
    for name in _korvel.__all__:
        assert hasattr(_korvel, name)
    if not hasattr(_korvel, "_write_sav"):
        # Until the writer is registered, the others must already stand in their order.
        assert _korvel.__all__ == [n for n in ALL if n != "_write_sav"]
        pytest.skip("_write_sav is not registered yet")
    assert _korvel.__all__ == ALL


def test_methods_are_registered_in_order():
    own = [n for n in vars(_korvel._SavBatchReader) if not n.startswith("__")]
    assert own == ["select", "limit", "schema", "metadata", "next_batch"]
    assert "__arrow_c_stream__" in vars(_korvel._ArrowData)


# ----- _read_sav and _read_sav_meta -----------------------------------------------------------


def test_whole_read_of_a_small_file(small):
    data, meta = _korvel._read_sav(small)
    table = table_of(data)
    assert (table.num_rows, table.column_names) == (10, ["a", "b", "c"])
    assert table.schema.types == [pa.float64(), pa.string_view(), pa.float64()]
    assert table["b"].to_pylist() == [f"row{i}" for i in range(10)]
    assert meta.number_columns == 3
    assert meta.number_rows == 10
    assert meta.variable_labels == {"a": None, "b": "The b column", "c": None}


@pytest.mark.parametrize(
    "columns, expected",
    [
        (["c", "a"], ["c", "a"]),
        (("b",), ["b"]),
        (["a", "a"], ["a", "a"]),
        (["c", "b", "a", "b"], ["c", "b", "a", "b"]),
    ],
)
def test_columns_select_in_the_given_order(small, columns, expected):
    whole = table_of(_korvel._read_sav(small)[0])
    data, meta = _korvel._read_sav(small, columns=columns)
    table = table_of(data)
    assert table.column_names == expected
    for i, name in enumerate(expected):
        assert table.column(i).equals(whole[name])
    # Projection changes only the data.
    assert meta.variable_names == ["a", "b", "c"]
    assert meta.number_columns == 3


@pytest.mark.parametrize(
    "name, message",
    [
        ("x", 'invalid variable record: column not found: "x"'),
        ("A", 'invalid variable record: column not found: "A"'),
        ("a ", 'invalid variable record: column not found: "a "'),
        ('q"uote', 'invalid variable record: column not found: "q\\"uote"'),
        ("back\\slash", 'invalid variable record: column not found: "back\\\\slash"'),
    ],
)
def test_unknown_column_is_an_oserror_naming_it(small, name, message):
    with pytest.raises(OSError) as err:
        _korvel._read_sav(small, columns=["a", name])
    assert err.value.args == (message,)


@pytest.mark.parametrize("n_rows, expected", [(0, 0), (1, 1), (4, 4), (10, 10), (100, 10)])
def test_n_rows_limits_the_rows(small, n_rows, expected):
    whole = table_of(_korvel._read_sav(small)[0])
    data, meta = _korvel._read_sav(small, n_rows=n_rows)
    table = table_of(data)
    assert table.num_rows == expected
    # Even an empty read keeps every column with its type.
    assert table.schema.equals(whole.schema)
    assert table.equals(whole.slice(0, expected))
    assert meta.number_rows == 10


def test_n_rows_zero_with_a_projection_keeps_the_projected_schema(small):
    table = table_of(_korvel._read_sav(small, columns=["c", "b"], n_rows=0)[0])
    assert table.num_rows == 0
    assert table.schema.names == ["c", "b"]
    assert table.schema.types == [pa.float64(), pa.string_view()]


def test_an_empty_projection(small):
    with pytest.raises(OSError) as err:
        _korvel._read_sav(small, columns=[])
    assert err.value.args[0].startswith("arrow error: ")
    assert "must either specify a row count or at least one column" in err.value.args[0]
    # Without rows to deliver there is nothing to assemble.
    data, _ = _korvel._read_sav(small, columns=[], n_rows=0)
    assert repr(data) == "_ArrowData(rows=0, cols=0)"


@pytest.mark.parametrize(
    "kwargs, error",
    [
        ({"n_rows": -1}, OverflowError),
        ({"n_rows": 2**64}, OverflowError),
        ({"n_rows": "3"}, TypeError),
        ({"n_rows": 1.5}, TypeError),
        ({"columns": "a"}, TypeError),
        ({"columns": ["a", 1]}, TypeError),
        ({"columns": 5}, TypeError),
        ({"colums": ["a"]}, TypeError),
    ],
)
def test_read_sav_refuses_wrong_arguments(small, kwargs, error):
    with pytest.raises(error):
        _korvel._read_sav(small, **kwargs)


def test_read_sav_argument_parsing(small):
    with pytest.raises(TypeError, match="path"):
        _korvel._read_sav(Path(small))
    with pytest.raises(TypeError, match="path"):
        _korvel._read_sav_meta(Path(small))
    with pytest.raises(TypeError):
        _korvel._read_sav()
    with pytest.raises(TypeError):
        _korvel._read_sav(small, None, None, None)
    with pytest.raises(TypeError):
        _korvel._read_sav(small, path=small)
    with pytest.raises(TypeError):
        _korvel._read_sav_meta(small, None)
    # Keywords and positions are interchangeable.
    by_keyword = table_of(_korvel._read_sav(path=small, n_rows=3, columns=["b"])[0])
    by_position = table_of(_korvel._read_sav(small, ["b"], 3)[0])
    assert by_keyword.equals(by_position)


def test_missing_file_messages(tmp_path):
    missing = str(tmp_path / "nope" / "missing.sav")
    system_text = os.strerror(errno.ENOENT)
    prefix = "I/O error: "
    for call in (_korvel._read_sav, _korvel._read_sav_meta):
        with pytest.raises(OSError) as err:
            call(missing)
        (message,) = err.value.args
        assert message.startswith(prefix)
        assert system_text in message
    with pytest.raises(OSError) as err:
        _korvel._SavBatchReader(missing)
    (reader_message,) = err.value.args
    # The batch reader gives the system's text alone.
    assert reader_message == message[len(prefix) :]
    assert system_text in reader_message


def test_a_path_with_a_nul_character_opens_nothing(small):
    # The part before the NUL names a readable file, which must not be opened instead.
    for call in (_korvel._read_sav, _korvel._read_sav_meta, _korvel._SavBatchReader):
        with pytest.raises(ValueError) as err:
            call(small + "\0.sav")
        assert err.value.args == ("embedded null byte",)
        with pytest.raises(ValueError, match="^embedded null byte$"):
            call(path=small + "\0")
    with pytest.raises(ValueError) as from_open:
        open(small + "\0")
    assert from_open.value.args == ("embedded null byte",)


def test_not_a_system_file(tmp_path):
    path = tmp_path / "zip.sav"
    path.write_bytes(b"PK\x03\x04" + bytes(300))
    message = 'invalid magic number: expected "$FL2" or "$FL3", found [80, 75, 3, 4]'
    for call in (_korvel._read_sav, _korvel._read_sav_meta, _korvel._SavBatchReader):
        with pytest.raises(IOError) as err:
            call(str(path))
        assert type(err.value) is OSError
        assert err.value.args == (message,)


@pytest.mark.parametrize("cut", [1, 13, 24, 25])
def test_uncompressed_data_cut_mid_row_yields_the_whole_rows(small, tmp_path, cut):
    content = Path(small).read_bytes()
    meta = _korvel._read_sav_meta(small)
    assert meta.compression == "uncompressed"
    row = sum(meta.variable_storage_widths.values())
    path = tmp_path / "cut.sav"
    data = bytearray(content[:-cut])
    whole_rows = 10 - -(-cut // row)
    # The header counts 10 cases: a file that holds fewer is truncated.
    path.write_bytes(data)
    with pytest.raises(OSError) as err:
        _korvel._read_sav(str(path))
    assert err.value.args == (f"truncated file: expected 10 cases, got {whole_rows}",)
    # With the count unknown the data decide: the whole rows, the rest dropped.
    order = "<" if struct.unpack("<i", data[64:68])[0] in (2, 3) else ">"
    data[80:84] = struct.pack(order + "i", -1)
    path.write_bytes(data)
    table = table_of(_korvel._read_sav(str(path))[0])
    assert table.num_rows == whole_rows
    assert table.equals(table_of(_korvel._read_sav(small, n_rows=whole_rows)[0]))


def test_read_sav_meta_equals_the_metadata_of_a_whole_read(fixtures_dir):
    for name in ("savreaderwriter/spssio_test.sav", "pyreadstat/sample.zsav", "haven/iris.sav"):
        path = str(fixtures_dir / name)
        assert _korvel._read_sav_meta(path).schema == _korvel._read_sav(path)[1].schema
        from_reader = _korvel._SavBatchReader(path).metadata()
        assert _korvel._read_sav_meta(path).schema == from_reader.schema


# ----- _SavBatchReader -----------------------------------------------------------------------


def rows_of(batch):
    return None if batch is None else table_of(batch).num_rows


def test_default_batches_of_a_large_file(big):
    reader = _korvel._SavBatchReader(big)
    sizes = [rows_of(reader.next_batch()) for _ in range(5)]
    assert sizes == [100_000, 100_000, 50_000, None, None]


def test_batches_concatenate_to_the_whole_read(big):
    reader = _korvel._SavBatchReader(big, batch_size=65_536)
    batches = []
    while (batch := reader.next_batch()) is not None:
        batches.append(table_of(batch))
    assert [b.num_rows for b in batches] == [65_536] * 3 + [BIG_ROWS - 3 * 65_536]
    whole = table_of(_korvel._read_sav(big)[0])
    assert pa.concat_tables(batches).equals(whole)


def test_batch_size_zero_ends_at_once(small):
    reader = _korvel._SavBatchReader(small, batch_size=0)
    assert reader.next_batch() is None
    # Exhausted: a limit no longer brings anything back.
    reader.limit(5)
    assert reader.next_batch() is None


def test_limit_counts_from_the_start_of_the_file(big):
    whole = table_of(_korvel._read_sav(big, n_rows=200_008)[0])
    reader = _korvel._SavBatchReader(big)
    reader.limit(5)
    first = table_of(reader.next_batch())
    assert first.equals(whole.slice(0, 5))
    assert reader.next_batch() is None
    reader.limit(8)
    second = table_of(reader.next_batch())
    assert second.equals(whole.slice(5, 3))
    assert reader.next_batch() is None
    # A lower limit than what was read pauses the reader without ending it.
    reader.limit(3)
    assert reader.next_batch() is None
    reader.limit(200_008)
    assert rows_of(reader.next_batch()) == 100_000
    assert table_of(reader.next_batch()).equals(whole.slice(100_008, 100_000))
    assert reader.next_batch() is None


def test_a_limit_below_the_rows_read_does_not_end_the_reader(small):
    reader = _korvel._SavBatchReader(small)
    reader.limit(5)
    assert rows_of(reader.next_batch()) == 5
    reader.limit(3)
    assert reader.next_batch() is None
    reader.limit(7)
    assert table_of(reader.next_batch())["a"].to_pylist() == [5.0, 6.0]


def test_select_sets_the_columns_and_the_schema(big):
    reader = _korvel._SavBatchReader(big, batch_size=10)
    assert reader.schema() == {
        "a": "Float64",
        "b": "String",
        "ts": "Datetime",
        "d": "Date",
        "t": "Duration",
    }
    reader.select(["b", "a"])
    assert list(reader.schema()) == ["b", "a"]
    batch = table_of(reader.next_batch())
    assert batch.column_names == ["b", "a"]
    assert batch["a"].to_pylist() == [float(i) for i in range(10)]
    # A later select changes the later batches only.
    reader.select(columns=["ts", "ts"])
    batch = table_of(reader.next_batch())
    assert batch.column_names == ["ts", "ts"]
    assert batch.schema.field(0).type == pa.timestamp("us")
    assert batch.schema.field(0).type.tz is None
    assert batch.column(0)[0].as_py() == datetime.datetime(2000, 1, 1, 0, 0, 10)
    assert reader.schema() == {"ts": "Datetime"}


def test_an_unknown_name_in_select_keeps_the_previous_projection(small):
    reader = _korvel._SavBatchReader(small, batch_size=2)
    reader.select(["c"])
    with pytest.raises(OSError) as err:
        reader.select(["a", "zz"])
    assert err.value.args == ('invalid variable record: column not found: "zz"',)
    assert list(reader.schema()) == ["c"]
    assert table_of(reader.next_batch()).column_names == ["c"]


def test_an_empty_selection_fails_while_there_are_rows(small):
    reader = _korvel._SavBatchReader(small, batch_size=4)
    reader.select([])
    assert reader.schema() == {}
    with pytest.raises(OSError, match="^arrow error: "):
        reader.next_batch()


def test_temporal_columns_match_the_whole_read(big):
    reader = _korvel._SavBatchReader(big, batch_size=3)
    reader.select(["ts", "d", "t"])
    batch = table_of(reader.next_batch())
    assert batch.schema.types == [pa.timestamp("us"), pa.date32(), pa.duration("us")]
    first_day = datetime.date(2001, 1, 1)
    assert batch["d"].to_pylist() == [first_day + datetime.timedelta(days=i) for i in range(3)]
    assert batch["t"].to_pylist() == [datetime.timedelta(hours=i, minutes=i) for i in range(3)]


def test_metadata_is_not_affected_by_projection_or_limit(big):
    reader = _korvel._SavBatchReader(big)
    before = reader.metadata().schema
    reader.select(["b"])
    reader.limit(2)
    reader.next_batch()
    after = reader.metadata()
    assert after.schema == before
    assert after.variable_names == ["a", "b", "ts", "d", "t"]
    assert after.number_rows == BIG_ROWS
    assert reader.metadata() is not after


@pytest.mark.parametrize(
    "make, error",
    [
        (lambda p: _korvel._SavBatchReader(p, batch_size=-1), OverflowError),
        (lambda p: _korvel._SavBatchReader(p, batch_size="1"), TypeError),
        (lambda p: _korvel._SavBatchReader(p, 10, 10), TypeError),
        (lambda p: _korvel._SavBatchReader(), TypeError),
        (lambda p: _korvel._SavBatchReader(p).limit(-1), OverflowError),
        (lambda p: _korvel._SavBatchReader(p).limit(None), TypeError),
        (lambda p: _korvel._SavBatchReader(p).select("a"), TypeError),
        (lambda p: _korvel._SavBatchReader(p).select(), TypeError),
        (lambda p: _korvel._SavBatchReader(p).next_batch(1), TypeError),
        (lambda p: _korvel._SavBatchReader(p).schema(1), TypeError),
    ],
)
def test_batch_reader_refuses_wrong_arguments(small, make, error):
    with pytest.raises(error):
        make(small)


def test_batch_reader_accepts_keywords(small):
    reader = _korvel._SavBatchReader(path=small, batch_size=3)
    reader.select(columns=["a"])
    reader.limit(n=4)
    assert [rows_of(reader.next_batch()) for _ in range(3)] == [3, 1, None]


# ----- metadata read from real files ---------------------------------------------------------

SCHEMA_KEYS = [
    "file_label",
    "file_format",
    "file_encoding",
    "creation_time",
    "compression",
    "number_columns",
    "number_rows",
    "weight_variable",
    "notes",
    "variable_names",
    "variable_labels",
    "variable_value_labels",
    "variable_formats",
    "variable_measures",
    "variable_alignments",
    "variable_storage_widths",
    "variable_display_widths",
    "variable_roles",
    "variable_missing_values",
    "variable_attributes",
    "mr_sets",
    "arrow_data_types",
]


@pytest.fixture(scope="module")
def spssio(fixtures_dir):
    return _korvel._read_sav_meta(str(fixtures_dir / "savreaderwriter/spssio_test.sav"))


@pytest.fixture(scope="module")
def alltypes(fixtures_dir):
    return _korvel._read_sav_meta(str(fixtures_dir / "pyreadstat/mr_simple_alltypes.sav"))


def test_schema_holds_every_property_in_order(spssio):
    schema = spssio.schema
    assert list(schema) == SCHEMA_KEYS
    for key in SCHEMA_KEYS:
        assert schema[key] == getattr(spssio, key), key
    assert schema["notes"] == ["This is a an'add document' entry", "   (Entered 21-Dec-2012)"]
    assert type(spssio).schema.__doc__ == "Returns all metadata as a nested Python dict."


def test_file_level_fields(spssio, alltypes):
    assert spssio.file_label == "This is a file label"
    assert spssio.file_format == "sav"
    assert spssio.compression == "bytecode"
    assert spssio.number_rows == 9
    assert spssio.number_columns == len(spssio.variable_names) == 22
    assert spssio.weight_variable == "weightVar"
    assert alltypes.weight_variable is None
    assert repr(spssio) == (
        'SpssMetadata(columns=22, rows=9, encoding="UTF-8", compression="bytecode")'
    )
    assert str(spssio) == repr(spssio)


def test_variable_labels_list_every_variable_with_none_for_unlabelled(alltypes):
    labels = alltypes.variable_labels
    assert list(labels) == alltypes.variable_names
    assert labels["x"] == "Numeric variable with value labels"
    assert labels["ca_subvar_1"] is None
    assert alltypes.label("x") == "Numeric variable with value labels"
    assert alltypes.label("date") is None


def test_value_labels_have_float_keys_and_value_gives_none_without_labels(alltypes):
    labels = alltypes.value("x")
    assert labels == {1.0: "red", 2.0: "green", 3.0: "blue"}
    assert all(type(k) is float for k in labels)
    assert labels[2] == "green"
    assert alltypes.value("ca_subvar_1") == {"a": "a", "b": "b", "c": "c", "d": "d"}
    assert alltypes.value("y") is None
    assert "y" not in alltypes.variable_value_labels
    # A map that exists but is empty reads as None too.
    emptied = alltypes.with_variable_value_labels({"x": {}})
    assert emptied.variable_value_labels["x"] == {}
    assert emptied.value("x") is None


@pytest.mark.parametrize(
    "variable, expected",
    [
        ("Age", {"type": "range", "low": 0.0, "high": 18.0}),
        (
            "Income2",
            {"type": "range", "low": -1.7976931348623155e308, "high": -1.0, "discrete": 999.0},
        ),
        ("Income3", {"type": "discrete", "values": [999.0, 888.0, 777.0]}),
        ("aShortStringVar", {"type": "discrete", "values": ["x", "y"]}),
    ],
)
def test_missing_value_shapes(spssio, variable, expected):
    got = spssio.variable_missing_values[variable]
    assert got == expected
    assert list(got) == list(expected)
    assert all(type(v) is float for k, v in got.items() if k in ("low", "high", "discrete"))


def test_mr_set_dicts(alltypes, spssio):
    sets = alltypes.mr_sets
    assert list(sets) == ["categorical_array", "mymrset"]
    assert sets["categorical_array"] == {
        "label": "",
        "type": "category",
        "counted_value": None,
        "variables": ["ca_subvar_1", "ca_subvar_2", "ca_subvar_3"],
    }
    assert sets["mymrset"] == {
        "label": "My multiple response set",
        "type": "dichotomy",
        "counted_value": "1",
        "variables": ["bool1", "bool2", "bool3"],
    }
    for s in list(sets.values()) + list(spssio.mr_sets.values()):
        assert list(s) == ["label", "type", "counted_value", "variables"]


def test_roles_attributes_and_their_lookups(spssio):
    assert spssio.role("Region") == "partition"
    assert spssio.role("Income1") == "target"
    assert spssio.format("ID") == "N6.0"
    assert spssio.measure("YEAR_") == "ordinal"
    assert spssio.attribute("AvgIncome") == {
        "Formula": ["mean(Income1, Income2, Income3)"],
        "DerivedFrom": ["Income1", "Income2", "Income3"],
        "Notes": [""],
    }
    assert spssio.attribute("AvgIncome", "DerivedFrom") == ["Income1", "Income2", "Income3"]
    assert spssio.attribute("AvgIncome", attr=None) == spssio.attribute("AvgIncome")
    # weightVar has a role but no other attribute, so no attribute entry.
    assert spssio.role("weightVar") == "input"
    assert spssio.attribute("weightVar") is None
    assert "weightVar" not in spssio.variable_attributes


@pytest.mark.parametrize(
    "variable, attr, message",
    [
        ("AvgIncome", "Missing", "attribute 'Missing' not found for variable 'AvgIncome'"),
        ("weightVar", "Notes", "attribute 'Notes' not found for variable 'weightVar'"),
        ("AvgIncome", "formula", "attribute 'formula' not found for variable 'AvgIncome'"),
    ],
)
def test_attribute_key_errors(spssio, variable, attr, message):
    with pytest.raises(KeyError) as err:
        spssio.attribute(variable, attr)
    assert err.value.args == (message,)


@pytest.mark.parametrize(
    "method", ["check_var", "label", "format", "measure", "role", "value", "attribute"]
)
@pytest.mark.parametrize("name", ["nope", "age", "Age ", ""])
def test_lookups_of_unknown_names(spssio, method, name):
    with pytest.raises(KeyError) as err:
        getattr(spssio, method)(name)
    assert err.value.args == (f"variable '{name}' not found in metadata",)


def test_lookups_check_their_argument_types(spssio):
    assert spssio.check_var("Age") is None
    assert spssio.check_var(name="Age") is None
    with pytest.raises(TypeError, match="name"):
        spssio.label(1)
    with pytest.raises(TypeError, match="attr"):
        spssio.attribute("Age", 5)


def test_returned_dicts_are_fresh_copies(spssio):
    for key in SCHEMA_KEYS:
        first, second = getattr(spssio, key), getattr(spssio, key)
        if isinstance(first, (dict, list)):
            assert first is not second, key
    formats = spssio.variable_formats
    formats["ID"] = "A1"
    formats["extra"] = "F1.0"
    assert spssio.variable_formats["ID"] == "N6.0"
    assert "extra" not in spssio.variable_formats
    labels = spssio.variable_value_labels
    labels["Age"][27.0] = "changed"
    assert spssio.value("Age")[27.0] == "27 y.o."
    spssio.value("Age").clear()
    assert spssio.value("Age")
    spssio.variable_missing_values["Income3"]["values"].append(1.0)
    assert spssio.variable_missing_values["Income3"]["values"] == [999.0, 888.0, 777.0]
    spssio.mr_sets["V"]["variables"].clear()
    assert spssio.mr_sets["V"]["variables"] == ["V1", "V2", "V3"]
    spssio.attribute("AvgIncome", "DerivedFrom").clear()
    assert spssio.attribute("AvgIncome", "DerivedFrom") == ["Income1", "Income2", "Income3"]
    spssio.notes.clear()
    assert len(spssio.notes) == 2
    spssio.schema["variable_names"].clear()
    assert len(spssio.variable_names) == 22


def test_metadata_cannot_be_changed_in_place(spssio):
    with pytest.raises(AttributeError):
        spssio.file_label = "x"
    with pytest.raises(AttributeError):
        del spssio.notes


# ----- damaged copies of the fixtures ----------------------------------------------------------

_DAMAGED = r"""
import json, os, random, resource
# A damaged length must be refused, not allocated. (The address sanitizer reserves far more
# address space than any limit: there, its own allocation checks watch instead.)
if os.environ.get("KORVEL_SANITIZED") != "1":
    resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))
import pyarrow as pa
import _korvel

names, root, scratch, mode = json.loads(sys.argv[1])
rng = random.Random(20240611)
bad = []

def variants(content):
    n = len(content)
    if mode == "cut":
        for cut in sorted({100, n // 4, n // 2, 3 * n // 4, 9 * n // 10, n - 9, n - 8, n - 1}):
            yield f"cut {cut}", content[:cut]
    else:
        for k in range(20):
            b = bytearray(content)
            for _ in range(rng.choice([1, 2, 4, 8])):
                b[rng.randrange(n)] = rng.randrange(256)
            yield f"mutation {k}", bytes(b)

for name in names:
    original = f"{root}/{name}"
    full = pa.table(_korvel._read_sav(original)[0])
    with open(original, "rb") as f:
        content = f.read()
    for what, damaged in variants(content):
        with open(scratch, "wb") as f:
            f.write(damaged)
        try:
            table = pa.table(_korvel._read_sav(scratch)[0])
            table.validate(full=True)
            _korvel._read_sav_meta(scratch).schema
            reader = _korvel._SavBatchReader(scratch, batch_size=2)
            while (batch := reader.next_batch()) is not None:
                pa.table(batch).validate(full=True)
        except OSError as e:
            if not str(e) or len(e.args) != 1:
                bad.append((name, what, "unclear error", repr(e)))
            continue
        # A file cut short still holds the rows before the cut, unchanged.
        if mode == "cut" and not table.equals(full.slice(0, table.num_rows)):
            bad.append((name, what, "rows are not a prefix of the whole file's"))
print(json.dumps(bad))
"""


@pytest.mark.parametrize("mode", ["cut", "mutate"])
def test_damaged_fixture_files_fail_cleanly_or_read_soundly(fixtures_dir, tmp_path, mode):
    args = json.dumps([READABLE, str(fixtures_dir), str(tmp_path / "damaged.sav"), mode])
    code = _DAMAGED.replace("json.loads(sys.argv[1])", f"json.loads({args!r})")
    proc = run_python(code, timeout=300)
    # A crash ends the child on a signal (negative code); anything but OSError escapes as 1.
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert json.loads(proc.stdout) == []
