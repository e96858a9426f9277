"""What write_sav hands the native writer for category columns: codes 1..n and their
categories as value labels (checked without writing, by the conversion alone)."""

import pandas as pd
import polars as pl
import pyarrow as pa
import pytest

import korvel
from korvel._write import _arrow_codes, _pandas_codes, _polars_codes, _with_category_labels

VALUES = ["lo", None, "hi", "lo"]
CASES = {
    "polars-enum": (_polars_codes, lambda: pl.DataFrame({"c": pl.Series(VALUES, dtype=pl.Enum(["lo", "mid", "hi"])), "k": [1, 2, 3, 4]}), ["lo", "mid", "hi"], False),
    "polars-categorical": (_polars_codes, lambda: pl.DataFrame({"c": pl.Series(VALUES, dtype=pl.Categorical), "k": [1, 2, 3, 4]}), ["lo", "hi"], False),
    "pandas": (_pandas_codes, lambda: pd.DataFrame({"c": pd.Categorical(VALUES, categories=["lo", "mid", "hi"]), "k": [1, 2, 3, 4]}), ["lo", "mid", "hi"], False),
    "pandas-ordered": (_pandas_codes, lambda: pd.DataFrame({"c": pd.Categorical(VALUES, categories=["lo", "mid", "hi"], ordered=True), "k": [1, 2, 3, 4]}), ["lo", "mid", "hi"], True),
    "arrow": (_arrow_codes, lambda: pa.table({"c": pa.array(VALUES).dictionary_encode(), "k": [1, 2, 3, 4]}), ["lo", "hi"], False),
}


def _column(frame, name):
    if isinstance(frame, pl.DataFrame):
        return frame[name].to_list()
    return frame[name].to_pylist()


@pytest.mark.parametrize("case", CASES)
def test_category_columns_become_codes(case):
    convert, make, categories, ordered = CASES[case]
    frame, coded = convert(make(), None)
    assert coded == {"c": (categories, ordered)}
    codes = _column(frame, "c")
    assert [None if c is None else categories[int(c) - 1] for c in codes] == VALUES
    assert _column(frame, "k") == [1, 2, 3, 4]
    meta = _with_category_labels(None, coded)
    assert meta.variable_value_labels == {"c": {float(i): t for i, t in enumerate(categories, 1)}}
    assert meta.variable_measures == {"c": "ordinal" if ordered else "nominal"}


@pytest.mark.parametrize("case", CASES)
@pytest.mark.parametrize(
    "metadata",
    [korvel.SpssMetadata(variable_formats={"c": "A8"}), korvel.SpssMetadata(variable_value_labels={"c": {"lo": "Low"}})],
    ids=["string-format", "own-labels"],
)
def test_metadata_keeps_categories_as_text(case, metadata):
    convert, make, _, _ = CASES[case]
    frame, coded = convert(make(), metadata)
    assert coded == {}
    assert [None if v is None else str(v) for v in _column(frame, "c")] == VALUES


def test_given_measure_is_kept():
    coded = {"c": (["a"], True)}
    meta = _with_category_labels(korvel.SpssMetadata(variable_measures={"c": "scale"}, file_label="f"), coded)
    assert meta.variable_measures == {"c": "scale"} and meta.file_label == "f"


def test_pandas_index_is_not_a_column():
    frame = pd.DataFrame({"a": [1.0, 2.0]}, index=pd.Index([10, 20], name="row"))
    table, _ = _pandas_codes(frame, None)
    assert table.column_names == ["a"]
