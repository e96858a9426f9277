"""Files written by _write_sav read back by our reader with the data and metadata given: every
Arrow type with an SPSS form, the shapes at the edges, and every metadata field."""

import datetime as dt
import decimal

import pyarrow as pa
import pytest

import _korvel
from _korvel import SpssMetadata
from _write_util import COMPRESSION_IDS, COMPRESSIONS, roundtrip

D = dt.date
T = dt.datetime
TD = dt.timedelta

# (column, Arrow array, values read back, default format as read back).
TYPE_CASES = [
    ("flag", pa.array([True, False, None]), [1.0, 0.0, None], "F1.0"),
    ("i8", pa.array([-128, 127, None], pa.int8()), [-128.0, 127.0, None], "F8.0"),
    ("i16", pa.array([-99, 151, None], pa.int16()), [-99.0, 151.0, None], "F8.0"),
    ("i32", pa.array([-100, 152, None], pa.int32()), [-100.0, 152.0, None], "F8.0"),
    ("i64", pa.array([2**53, -(2**40), None], pa.int64()), [2.0**53, -(2.0**40), None], "F8.0"),
    ("u8", pa.array([0, 255, None], pa.uint8()), [0.0, 255.0, None], "F8.0"),
    ("u16", pa.array([0, 65535, None], pa.uint16()), [0.0, 65535.0, None], "F8.0"),
    ("u32", pa.array([0, 2**32 - 1, None], pa.uint32()), [0.0, 2.0**32 - 1, None], "F8.0"),
    ("u64", pa.array([1, 2**64 - 1, None], pa.uint64()), [1.0, 2.0**64, None], "F8.0"),
    ("f16", pa.array([1.5, -65504.0, None], pa.float16()), [1.5, -65504.0, None], "F8.2"),
    ("f32", pa.array([0.25, -2.5, None], pa.float32()), [0.25, -2.5, None], "F8.2"),
    ("f64", pa.array([0.5, float("inf"), None]), [0.5, float("inf"), None], "F8.2"),
    ("dec", pa.array([decimal.Decimal("1.25"), decimal.Decimal("-3.50"), None],
                     pa.decimal128(10, 2)), [1.25, -3.5, None], "F8.2"),
    ("dec256", pa.array([decimal.Decimal("-7"), None, decimal.Decimal("12345678901")],
                        pa.decimal256(40, 0)), [-7.0, None, 12345678901.0], "F8.2"),
    ("d32", pa.array([D(1970, 1, 1), D(1582, 10, 14), None]), [D(1970, 1, 1), D(1582, 10, 14), None],
     "DATE11"),
    ("d64", pa.array([0, 86_400_000, None], pa.date64()), [D(1970, 1, 1), D(1970, 1, 2), None],
     "DATE11"),
    ("ts_s", pa.array([0, 1, None], pa.timestamp("s")), [T(1970, 1, 1), T(1970, 1, 1, 0, 0, 1), None],
     "DATETIME23"),
    ("ts_ms", pa.array([1500, None, 0], pa.timestamp("ms", tz="UTC")),
     [T(1970, 1, 1, 0, 0, 1, 500000), None, T(1970, 1, 1)], "DATETIME23"),
    ("ts_us", pa.array([T(2024, 3, 5, 14, 30, 7, 250000), None], pa.timestamp("us")),
     [T(2024, 3, 5, 14, 30, 7, 250000), None], "DATETIME23"),
    ("ts_ns", pa.array([1_500_000_000, None], pa.timestamp("ns", tz="Europe/Paris")),
     [T(1970, 1, 1, 0, 0, 1, 500000), None], "DATETIME23"),
    ("dur_ns", pa.array([1_500_000_000, None], pa.duration("ns")), [TD(seconds=1.5), None], "TIME11"),
    ("dur_us", pa.array([-1_000_000, None], pa.duration("us")), [TD(seconds=-1), None], "TIME11"),
    ("dur_s", pa.array([3600, None], pa.duration("s")), [TD(hours=1), None], "TIME11"),
    ("t32", pa.array([0, 3600, None], pa.time32("s")), [TD(0), TD(hours=1), None], "TIME11"),
    ("t32ms", pa.array([1500, None], pa.time32("ms")), [TD(seconds=1.5), None], "TIME11"),
    ("t64", pa.array([3_600_000_000, None], pa.time64("us")), [TD(hours=1), None], "TIME11"),
    ("t64ns", pa.array([1_000, None], pa.time64("ns")), [TD(microseconds=1), None], "TIME11"),
    ("nothing", pa.nulls(2), [None, None], "F8.2"),
    ("utf8", pa.array(["a", "héllo", None]), ["a", "héllo", ""], "A255"),
    ("large", pa.array(["x", "", None], pa.large_string()), ["x", "", ""], "A255"),
    ("view", pa.array(["short", "a value longer than twelve bytes", None], pa.string_view()),
     ["short", "a value longer than twelve bytes", ""], "A255"),
    ("cat", pa.array(["b", "a", None, "b"]).dictionary_encode(), ["b", "a", "", "b"], "A255"),
    ("numcat", pa.array([2.5, None, 2.5]).dictionary_encode(), [2.5, None, 2.5], "F8.2"),
]


@pytest.mark.parametrize("compression,level", COMPRESSIONS, ids=COMPRESSION_IDS)
@pytest.mark.parametrize("name,array,expected,fmt", TYPE_CASES, ids=[c[0] for c in TYPE_CASES])
def test_every_supported_type_round_trips(tmp_path, name, array, expected, fmt, compression, level):
    back, meta = roundtrip(tmp_path / "t.sav", pa.table({name: array}), None, compression, level)
    assert back.column(name).to_pylist() == expected
    assert meta.variable_formats[name] == fmt


def test_all_types_together_in_one_file(tmp_path):
    table = pa.table({c[0]: c[1] for c in TYPE_CASES if len(c[1]) == 3})
    back, _ = roundtrip(tmp_path / "all.zsav", table, compression="zlib")
    for name, _, expected, _ in TYPE_CASES:
        if name in table.column_names:
            assert back.column(name).to_pylist() == expected, name


def test_date_and_time_values_are_spss_seconds(tmp_path):
    # What the file holds, seen through a peer that reads raw numbers: pyreadstat would convert,
    # so read the slot through our reader with a plain numeric format instead.
    meta = SpssMetadata(variable_formats={"d": "F20.0", "t": "F20.1"})
    table = pa.table({"d": pa.array([D(1970, 1, 1)]), "t": pa.array([0], pa.timestamp("us"))})
    back, _ = roundtrip(tmp_path / "s.sav", table, meta)
    assert back.column("d").to_pylist() == [12219379200.0]
    assert back.column("t").to_pylist() == [12219379200.0]


def test_pandas_nanosecond_datetimes_and_categories(tmp_path):
    pd = pytest.importorskip("pandas")
    frame = pd.DataFrame({
        "when": pd.to_datetime(["2020-01-01 10:00:00.123456", "1970-01-01 00:00:00.000000",
                                None]),
        "kind": pd.Categorical(["x", "y", "x"]),
    })
    back, meta = roundtrip(tmp_path / "p.sav", pa.Table.from_pandas(frame))
    when = back.column("when").to_pylist()
    # SPSS seconds since 1582 are binary64: about 2 microseconds apart in 2020.
    assert abs(when[0] - T(2020, 1, 1, 10, 0, 0, 123456)) <= TD(microseconds=2)
    assert when[1:] == [T(1970, 1, 1), None]
    assert back.column("kind").to_pylist() == ["x", "y", "x"]
    assert meta.variable_formats["kind"] == "A255"


def test_polars_enum_categorical_and_chunks(tmp_path):
    pl = pytest.importorskip("polars")
    one = pl.DataFrame({
        "e": pl.Series(["p", "q", None], dtype=pl.Enum(["p", "q"])),
        "c": pl.Series(["u", "v", "u"], dtype=pl.Categorical),
        "x": [1.0, 2.0, 3.0],
    })
    frame = pl.concat([one, one.reverse()], rechunk=False)
    assert frame.n_chunks() == 2
    back, _ = roundtrip(tmp_path / "pl.sav", frame)
    assert back.column("e").to_pylist() == ["p", "q", "", "", "q", "p"]
    assert back.column("c").to_pylist() == ["u", "v", "u", "u", "v", "u"]
    assert back.column("x").to_pylist() == [1.0, 2.0, 3.0, 3.0, 2.0, 1.0]


def labelled(value):
    """A per-variable map without the entries the reader gives every variable (None)."""
    if isinstance(value, dict):
        return {k: v for k, v in value.items() if v is not None}
    return value


# ----- shapes ---------------------------------------------------------------------------------


class Stream:
    """An Arrow stream exporter over given batches (pyarrow's RecordBatchReader)."""

    def __init__(self, schema, batches):
        self.schema, self.batches = schema, batches

    def __arrow_c_stream__(self, requested_schema=None):
        reader = pa.RecordBatchReader.from_batches(self.schema, self.batches)
        return reader.__arrow_c_stream__(requested_schema)


@pytest.mark.parametrize("compression,level", COMPRESSIONS, ids=COMPRESSION_IDS)
def test_shapes(tmp_path, compression, level):
    cases = {
        "zero rows": pa.table({"a": pa.array([], pa.float64()), "s": pa.array([], pa.string())}),
        "one row": pa.table({"a": [1.0]}),
        "rows over several chunks": pa.table({"a": pa.array(range(70_001), pa.float64()),
                                              "s": [str(i % 1000) for i in range(70_001)]}),
    }
    for label, table in cases.items():
        back, meta = roundtrip(tmp_path / "s.sav", table, None, compression, level)
        assert back.num_rows == table.num_rows, label
        assert back.column("a").to_pylist() == table.column("a").to_pylist(), label
        assert meta.number_rows == table.num_rows, label


@pytest.mark.parametrize("compression,level", COMPRESSIONS, ids=COMPRESSION_IDS)
def test_zero_columns(tmp_path, compression, level):
    back, meta = roundtrip(tmp_path / "z.sav", Stream(pa.schema([]), []), None, compression, level)
    assert back.num_columns == 0 and meta.variable_names == []


def test_several_batches_are_written_in_order(tmp_path):
    schema = pa.schema([("a", pa.int64()), ("s", pa.string())])
    batches = [pa.record_batch([pa.array(range(i * 10, i * 10 + n)), pa.array([f"r{i}"] * n)],
                               schema=schema) for i, n in enumerate([3, 0, 40_000, 1])]
    back, _ = roundtrip(tmp_path / "b.zsav", Stream(schema, batches), compression="zlib")
    expected = [v for b in batches for v in b.column(0).to_pylist()]
    assert back.column("a").to_pylist() == [float(v) for v in expected]
    assert back.column("s").to_pylist() == [v for b in batches for v in b.column(1).to_pylist()]


def test_sliced_arrays(tmp_path):
    base = pa.table({
        "n": pa.array([None, 1, 2, None, 4, 5], pa.int32()),
        "b": pa.array([True, None, False, True, False, True]),
        "s": pa.array(["zero", None, "two", "three", "four", "five"]),
        "v": pa.array(["0", "one and more than twelve", None, "3", "4", "5"], pa.string_view()),
        "c": pa.array(["p", "q", "p", None, "q", "p"]).dictionary_encode(),
    })
    sliced = base.slice(1, 4)
    back, _ = roundtrip(tmp_path / "sl.sav", sliced)
    assert back.column("n").to_pylist() == [1.0, 2.0, None, 4.0]
    assert back.column("b").to_pylist() == [None, 0.0, 1.0, 0.0]
    assert back.column("s").to_pylist() == ["", "two", "three", "four"]
    assert back.column("v").to_pylist() == ["one and more than twelve", "", "3", "4"]
    assert back.column("c").to_pylist() == ["q", "p", "", "q"]


@pytest.mark.parametrize("compression,level", COMPRESSIONS, ids=COMPRESSION_IDS)
def test_long_strings_and_many_columns(tmp_path, compression, level):
    widths = [255, 256, 300, 1000, 32767]
    table = pa.table({f"w{w}": ["é" * (w // 2) + "x" * (w % 2), "", None] for w in widths}
                     | {f"col_{i}": [float(i), None, -float(i)] for i in range(5000)})
    back, meta = roundtrip(tmp_path / "w.sav", table, None, compression, level)
    for w in widths:
        assert back.column(f"w{w}").to_pylist() == ["é" * (w // 2) + "x" * (w % 2), "", ""]
        assert meta.variable_formats[f"w{w}"] == f"A{max(w, 255)}"
    for i in (0, 1234, 4999):
        assert back.column(f"col_{i}").to_pylist() == [float(i), None, -float(i)]
    assert meta.variable_names == table.column_names


def test_text_longer_than_a_given_format_is_the_callers_choice(tmp_path):
    meta = SpssMetadata(variable_formats={"s": "A4"})
    back, m = roundtrip(tmp_path / "a4.sav", pa.table({"s": ["abcdefgh", "ab", "abcé"]}), meta)
    assert m.variable_formats["s"] == "A4"
    # Cut at the width, between characters: "abcé" is 5 bytes.
    assert back.column("s").to_pylist() == ["abcd", "ab", "abc"]


def test_value_longer_than_any_spss_string_is_refused(tmp_path):
    with pytest.raises(OSError, match="column 's': a value of 32768 bytes is longer than"):
        _korvel._write_sav(str(tmp_path / "x.sav"), pa.table({"s": ["x" * 32768]}))


def test_names_that_share_their_first_bytes_and_non_ascii_names(tmp_path):
    names = [f"questionnaire_{i:02d}" for i in range(1, 13)] + ["über", "Größe", "日本語の列"]
    table = pa.table({n: [float(i)] for i, n in enumerate(names)})
    meta = SpssMetadata(variable_labels={"über": "Übersicht — ü", "日本語の列": "ラベル"})
    back, m = roundtrip(tmp_path / "n.sav", table, meta)
    assert back.column_names == names
    assert labelled(m.variable_labels) == {"über": "Übersicht — ü", "日本語の列": "ラベル"}


# ----- metadata -------------------------------------------------------------------------------

FULL_META = dict(
    file_label="Survey 2024 — wave 2",
    notes=["First note.", "Second note, ünïcode."],
    weight_variable="w",
    variable_labels={"q1": "How satisfied?", "name": "Respondent name", "w": "Weight"},
    variable_value_labels={"q1": {1: "Low", 2: "Mid", 3: "High"}, "code": {"a": "Alpha", "bb": "Beta"},
                           "name": {"Ann": "The first"}},
    variable_formats={"q1": "F3.0", "w": "F8.4", "name": "A20", "code": "A2"},
    variable_measures={"q1": "ordinal", "name": "nominal", "w": "scale", "code": "nominal"},
    variable_alignments={"q1": "center", "name": "left", "w": "right", "code": "left"},
    variable_display_widths={"q1": 5, "name": 22, "w": 9, "code": 3},
    variable_roles={"q1": "target", "w": "input", "name": "none", "code": "split"},
    variable_missing_values={"q1": {"type": "range", "low": 8, "high": 9, "discrete": 99},
                             "code": {"type": "discrete", "values": ["zz"]},
                             "name": {"type": "discrete", "values": ["n/a"]},
                             "w": {"type": "discrete", "values": [0, -1]}},
    variable_attributes={"q1": {"Source": ["wave 2"], "Multi": ["one", "two"]}},
    mr_sets={"q5": {"type": "category", "label": "Sources", "variables": ["q1", "w"]},
             "dd": {"type": "dichotomy", "label": "Yes answers", "variables": ["q1", "w"],
                    "counted_value": 1}},
)


@pytest.mark.parametrize("compression,level", COMPRESSIONS, ids=COMPRESSION_IDS)
def test_metadata_round_trips(tmp_path, compression, level):
    table = pa.table({"q1": [1, 2, 9], "w": [1.5, 0.5, 1.0], "name": ["Ann", "Bob", "n/a"],
                      "code": ["a", "bb", "zz"]})
    given = SpssMetadata(**FULL_META)
    back, m = roundtrip(tmp_path / "m.sav", table, given, compression, level)
    assert back.column("q1").to_pylist() == [1.0, 2.0, 9.0]
    for field in ("file_label", "notes", "weight_variable", "variable_labels", "variable_value_labels",
                  "variable_formats", "variable_measures", "variable_alignments",
                  "variable_display_widths", "variable_roles", "variable_missing_values",
                  "variable_attributes", "mr_sets"):
        assert labelled(getattr(m, field)) == getattr(given, field), field
    assert m.compression == compression


def test_caller_metadata_is_unchanged(tmp_path):
    given = SpssMetadata(**FULL_META)
    before = given.schema
    _korvel._write_sav(str(tmp_path / "u.sav"), pa.table({"q1": [1], "w": [1.0], "name": ["x"],
                                                           "code": ["a"]}), given)
    assert given.schema == before


def test_fixed_width_texts_are_cut_between_characters(tmp_path):
    label = "é" * 40  # 80 bytes: a cut at 64 would split a character
    long_value_label = "ü" * 70  # 140 bytes, over the 120 a value-label record holds
    note = "ñ" * 60  # 120 bytes: continued on a second document line
    meta = SpssMetadata(file_label=label, notes=[note],
                        variable_value_labels={"x": {1: long_value_label}})
    _, m = roundtrip(tmp_path / "c.sav", pa.table({"x": [1.0]}), meta)
    assert m.file_label == "é" * 32
    assert m.variable_value_labels["x"][1] == "ü" * 60
    assert "".join(m.notes) == note and all(len(n.encode()) <= 80 for n in m.notes)


def test_more_rows_than_the_header_counts_are_marked_unknown(tmp_path):
    # The header's case count is 32-bit: check the field for a small file, and the rule for a
    # large count through the reader, which counts the rows itself when the header says -1.
    import struct
    path = tmp_path / "c.sav"
    _korvel._write_sav(str(path), pa.table({"a": [1.0, 2.0]}))
    assert struct.unpack_from("<i", path.read_bytes(), 80)[0] == 2


def test_zlib_streams_of_several_blocks(tmp_path):
    # 600,000 rows of two raw values: about 11 MB of bytecode, three 4 MiB blocks and a part.
    import numpy as np
    n = 600_000
    table = pa.table({"a": pa.array(np.arange(n) + 0.5), "b": pa.array(-np.arange(n) * 0.25 - 0.5)})
    for level in (0, 1, 9):
        back, _ = roundtrip(tmp_path / "many.zsav", table, None, "zlib", level)
        assert back.equals(table.cast(back.schema))
    raw = (tmp_path / "many.zsav").read_bytes()
    import struct
    zheader = raw.index(struct.pack("<ii", 999, 0)) + 8
    _, trailer, length = struct.unpack_from("<qqq", raw, zheader)
    assert trailer + length == len(raw)
    blocks = struct.unpack_from("<i", raw, trailer + 20)[0]
    assert blocks == 3 and length == 24 + 24 * blocks


def test_duckdb_results_are_written(tmp_path):
    duckdb = pytest.importorskip("duckdb", reason="duckdb is not installed")
    con = duckdb.connect()
    rel = con.sql("SELECT i::INTEGER AS n, 'v' || i AS s, DATE '2024-01-01' + i::INTEGER AS d "
                  "FROM range(5) t(i)")
    reader = rel.to_arrow_reader(2) if hasattr(rel, "to_arrow_reader") else rel.fetch_record_batch(2)
    back, meta = roundtrip(tmp_path / "duck.sav", reader)  # batches of 2 rows: three of them
    assert back.column("n").to_pylist() == [0.0, 1.0, 2.0, 3.0, 4.0]
    assert back.column("s").to_pylist() == [f"v{i}" for i in range(5)]
    assert back.column("d").to_pylist() == [D(2024, 1, 1 + i) for i in range(5)]
    assert meta.variable_formats == {"n": "F8.0", "s": "A255", "d": "DATE11"}
