"""Writing through the korvel package: write_sav with each frame library, categories as
labelled codes, compression choices, conversions into SPSS files, and the sample script.
These need the native writer (_korvel._write_sav)."""

import datetime as dt
import subprocess
import sys

import pandas as pd
import polars as pl
import pyarrow as pa
import pyreadstat
import pytest

import korvel
from conftest import ROOT
from pkg_helpers import SAMPLE, korvel_cli

BASE = pl.DataFrame(
    {
        "x": [1.5, None, -3.25],
        "n": [1, 2, 3],
        "s": ["a", "bé", ""],
        "d": [dt.date(2024, 1, 2), None, dt.date(1900, 12, 31)],
        "t": [dt.datetime(2024, 1, 2, 3, 4, 5), None, dt.datetime(1999, 12, 31, 23, 59, 59)],
    }
)


def _as(kind, frame):
    if kind == "polars":
        return frame
    if kind == "pandas":
        return frame.to_pandas()
    if kind == "lazy":
        return frame.lazy()
    if kind == "exporter":  # any object with __arrow_c_stream__ and nothing else

        class Exporter:
            def __init__(self, table):
                self.table = table

            def __arrow_c_stream__(self, requested_schema=None):
                return self.table.__arrow_c_stream__(requested_schema)

        return Exporter(frame.to_arrow())
    return frame.to_arrow()


@pytest.mark.parametrize("kind", ["polars", "pandas", "pyarrow", "lazy", "exporter"])
def test_round_trip_of_each_frame_kind(kind, tmp_path):
    path = tmp_path / "out.sav"
    korvel.write_sav(_as(kind, BASE), path)
    back, meta = korvel.read_sav(path)
    assert meta.variable_names == BASE.columns
    expected = BASE.with_columns(pl.col("n").cast(pl.Float64))
    assert back.equals(expected), back
    peer, _ = pyreadstat.read_sav(str(path))
    assert peer["x"].tolist()[0] == 1.5 and peer["s"].tolist() == ["a", "bé", ""]


CATEGORY_CASES = {
    "polars-enum": lambda: pl.DataFrame({"c": pl.Series(["lo", None, "hi", "lo"], dtype=pl.Enum(["lo", "mid", "hi"]))}),
    "polars-categorical": lambda: pl.DataFrame({"c": pl.Series(["lo", None, "hi", "lo"], dtype=pl.Categorical)}),
    "pandas-categorical": lambda: pd.DataFrame({"c": pd.Categorical(["lo", None, "hi", "lo"], categories=["lo", "mid", "hi"])}),
    "pandas-ordered": lambda: pd.DataFrame({"c": pd.Categorical(["lo", None, "hi", "lo"], categories=["lo", "mid", "hi"], ordered=True)}),
    "arrow-dictionary": lambda: pa.table({"c": pa.array(["lo", None, "hi", "lo"]).dictionary_encode()}),
}


@pytest.mark.parametrize("case", CATEGORY_CASES)
def test_categories_become_labelled_codes(case, tmp_path):
    path = tmp_path / "cat.sav"
    korvel.write_sav(CATEGORY_CASES[case](), path)
    back, meta = korvel.read_sav(path)
    labels = meta.variable_value_labels["c"]
    codes = back["c"].to_list()
    assert [None if code is None else labels[code] for code in codes] == ["lo", None, "hi", "lo"]
    assert sorted(labels) == [float(i) for i in range(1, len(labels) + 1)]
    assert meta.variable_measures["c"] == ("ordinal" if case == "pandas-ordered" else "nominal")
    # Read back with the labels applied, the column is the category column again.
    labelled, _ = korvel.read_sav(path, apply_value_labels=True)
    assert labelled["c"].cast(pl.String).to_list() == ["lo", None, "hi", "lo"]


@pytest.mark.parametrize(
    "metadata",
    [
        korvel.SpssMetadata(variable_formats={"c": "A8"}),
        korvel.SpssMetadata(variable_value_labels={"c": {"lo": "Low", "hi": "High"}}),
    ],
    ids=["string-format", "own-labels"],
)
def test_metadata_can_keep_categories_as_text(metadata, tmp_path):
    path = tmp_path / "text.sav"
    frame = pl.DataFrame({"c": pl.Series(["lo", "hi"], dtype=pl.Enum(["lo", "hi"]))})
    korvel.write_sav(frame, path, metadata)
    back, _ = korvel.read_sav(path)
    assert back["c"].to_list() == ["lo", "hi"]


@pytest.mark.parametrize(
    "compression, level, stored",
    [("bytecode", None, "bytecode"), ("zlib", None, "zlib"), ("zlib", 9, "zlib"), ("uncompressed", None, "uncompressed")],
)
def test_compression_choices(compression, level, stored, tmp_path):
    path = tmp_path / "c.zsav"
    korvel.write_sav(BASE, path, compression=compression, level=level)
    back, meta = korvel.read_sav(path)
    assert meta.compression == stored
    assert back.equals(BASE.with_columns(pl.col("n").cast(pl.Float64)))


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"compression": "gzip"}, ValueError, "compression must be one of"),
        ({"level": 3}, ValueError, "zlib' only"),
    ],
)
def test_bad_write_arguments(kwargs, error, message, tmp_path):
    with pytest.raises(error, match=message):
        korvel.write_sav(BASE, tmp_path / "x.sav", **kwargs)
    with pytest.raises(TypeError, match="__arrow_c_stream__"):
        korvel.write_sav([1, 2, 3], tmp_path / "x.sav")


def test_metadata_travel_with_the_data(tmp_path):
    frame, meta = korvel.read_sav(SAMPLE)
    path = tmp_path / "copy.sav"
    korvel.write_sav(frame, path, meta.with_file_label("copied"))
    back, back_meta = korvel.read_sav(path)
    assert back.equals(frame)
    assert back_meta.file_label == "copied"
    for field in ("variable_labels", "variable_value_labels", "variable_missing_values", "variable_formats"):
        assert getattr(back_meta, field) == getattr(meta, field), field


@pytest.mark.parametrize("middle", [".parquet", ".arrow"])
def test_convert_round_trip_keeps_data_and_dictionary(middle, tmp_path):
    between, back = tmp_path / f"survey{middle}", tmp_path / "back.sav"
    assert korvel_cli("convert", SAMPLE, between).returncode == 0
    done = korvel_cli("convert", between, back)
    assert done.returncode == 0, done.stderr
    assert korvel.read_sav(back)[0].equals(korvel.read_sav(SAMPLE)[0])
    assert korvel_cli("diff", SAMPLE, back).returncode == 0


@pytest.mark.parametrize(
    "target, options, stored",
    [("r.zsav", [], "zlib"), ("r.sav", [], "bytecode"), ("r.sav", ["--compression", "uncompressed"], "uncompressed"),
     ("r.zsav", ["--level", "1"], "zlib")],
)
def test_convert_recompresses(target, options, stored, tmp_path):
    done = korvel_cli("convert", SAMPLE, tmp_path / target, "--batch-size", "3", *options)
    assert done.returncode == 0, done.stderr
    back, meta = korvel.read_sav(tmp_path / target)
    assert meta.compression == stored
    assert back.equals(korvel.read_sav(SAMPLE)[0])


def test_convert_csv_into_spss(tmp_path):
    source = tmp_path / "in.csv"
    source.write_text("a,b\n1,x\n2.5,y\n")
    done = korvel_cli("convert", source, tmp_path / "out.sav")
    assert done.returncode == 0, done.stderr
    back, _ = korvel.read_sav(tmp_path / "out.sav")
    assert back.to_dict(as_series=False) == {"a": [1.0, 2.5], "b": ["x", "y"]}


def test_sample_script_writes_the_promised_survey(tmp_path):
    path = tmp_path / "survey.sav"
    done = subprocess.run([sys.executable, str(ROOT / "scripts" / "make_sample.py"), str(path)], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    frame, meta = korvel.read_sav(path)
    assert meta.variable_value_labels and meta.variable_missing_values and len(meta.notes) >= 1
    assert "media" in meta.mr_sets
    assert {frame.schema[n] for n in ("visit", "interviewed", "duration")} == {pl.Date, pl.Datetime("us"), pl.Duration("us")}
    assert frame["comment"].str.len_bytes().max() > 255
    peer, peer_meta = pyreadstat.read_sav(str(path))
    assert peer_meta.column_names == meta.variable_names
    assert peer["comment"].str.len().max() == frame["comment"].str.len_chars().max()


def test_every_readme_block_runs(tmp_path):
    from readme_blocks import blocks, run_blocks

    selected = blocks()
    assert any(needs_writer for _, _, needs_writer in selected)
    done = run_blocks(selected, tmp_path)
    assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-3000:]
    assert done.stdout.count("--- README block") == len(selected)


def test_stub_declares_nothing_the_module_lacks():
    import _korvel
    from test_pkg_stub import _public_members, stub_names

    for name, members in stub_names().items():
        assert hasattr(_korvel, name), name
        obj = getattr(_korvel, name)
        if isinstance(obj, type):
            assert members - {"__init__", "__getitem__"} <= _public_members(obj), name
