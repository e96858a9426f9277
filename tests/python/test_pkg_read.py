"""The korvel package's read side: read_sav, read_sav_meta, iter_sav with each frame library,
checked against pyreadstat on the repository's sample and on real files."""

import datetime
import math
import os
from pathlib import Path

import pandas as pd
import polars as pl
import pyarrow as pa
import pyreadstat
import pytest

import _korvel
import korvel
from korvel._labels import _value_text
from pkg_helpers import FRAME_KINDS, SAMPLE, fixture, to_pandas

# The repository's sample, and real files of the peers when the shared folder is there.
FILES = [None, "pyreadstat/sample.sav", "pyreadstat/sample.zsav", "pyreadstat/missing_test.sav"]


def source(name):
    return SAMPLE if name is None else fixture(name)


FRAME_TYPES = {"polars": pl.DataFrame, "pandas": pd.DataFrame, "pyarrow": pa.Table}


def _same_cell(ours, theirs):
    if theirs is None or (isinstance(theirs, float) and math.isnan(theirs)) or theirs is pd.NaT:
        return ours is None or ours is pd.NaT or (isinstance(ours, float) and math.isnan(ours))
    if isinstance(theirs, datetime.time):  # pyreadstat's time of day, our duration
        since_midnight = datetime.datetime.combine(datetime.date.min, theirs) - datetime.datetime.min
        return pd.Timedelta(ours) == pd.Timedelta(since_midnight)
    if isinstance(theirs, pd.Timestamp) or hasattr(theirs, "year"):
        return pd.Timestamp(ours) == pd.Timestamp(theirs)
    if isinstance(theirs, float):
        return isinstance(ours, float) and math.isclose(ours, theirs, rel_tol=1e-12)
    return ours == theirs


def assert_matches_peer(frame, peer, columns=None):
    ours = to_pandas(frame)
    names = list(columns if columns is not None else peer.columns)
    assert list(ours.columns) == names
    assert len(ours) == len(peer)
    for name in names:
        mine = ours[name].astype(object).tolist()
        theirs = peer[name].astype(object).tolist()
        bad = [(i, a, b) for i, (a, b) in enumerate(zip(mine, theirs)) if not _same_cell(a, b)]
        assert not bad, f"column {name}: first differences (row, korvel, pyreadstat) {bad[:3]}"


@pytest.mark.parametrize("to", FRAME_KINDS)
@pytest.mark.parametrize("name", FILES, ids=lambda n: n or "sample")
def test_read_sav_matches_pyreadstat(name, to):
    path = source(name)
    frame, meta = korvel.read_sav(path, to=to)
    assert isinstance(frame, FRAME_TYPES[to])
    assert isinstance(meta, korvel.SpssMetadata)
    peer, peer_meta = pyreadstat.read_sav(str(path), user_missing=True)
    assert meta.variable_names == peer_meta.column_names
    assert_matches_peer(frame, peer)


@pytest.mark.parametrize("to", FRAME_KINDS)
def test_projection_and_row_limit(to):
    meta = korvel.read_sav_meta(SAMPLE)
    wanted = [meta.variable_names[-1], meta.variable_names[0]]
    frame, read_meta = korvel.read_sav(SAMPLE, columns=wanted, n_rows=3, to=to)
    peer, _ = pyreadstat.read_sav(str(SAMPLE), usecols=wanted, row_limit=3, user_missing=True)
    assert_matches_peer(frame, peer[wanted], wanted)
    # The metadata describe the whole file, whatever was read.
    assert read_meta.variable_names == meta.variable_names
    assert read_meta.number_rows == meta.number_rows


class _PathLike:
    def __init__(self, path):
        self.path = str(path)

    def __fspath__(self):
        return self.path


@pytest.mark.parametrize("make_path", [str, Path, _PathLike], ids=["str", "Path", "PathLike"])
def test_paths_of_every_kind(make_path):
    reference, meta = korvel.read_sav(str(SAMPLE))
    frame, _ = korvel.read_sav(make_path(SAMPLE))
    assert frame.equals(reference)
    assert korvel.read_sav_meta(make_path(SAMPLE)).diff(meta, print_output=False).is_match
    batches = list(korvel.iter_sav(make_path(SAMPLE)))
    assert pl.concat(batches).equals(reference)


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: korvel.read_sav("/nonexistent/x.sav"), OSError, "I/O error"),
        (lambda: korvel.read_sav(SAMPLE, columns=["no_such_column"]), OSError, "column not found"),
        (lambda: korvel.read_sav(SAMPLE, to="numpy"), ValueError, "to must be one of"),
        (lambda: korvel.read_sav(SAMPLE, columns="id"), TypeError, "sequence of names"),
        (lambda: korvel.read_sav_meta("/nonexistent/x.sav"), OSError, "I/O error"),
        (lambda: korvel.iter_sav("/nonexistent/x.sav"), OSError, "No such file"),
        (lambda: korvel.iter_sav(SAMPLE, columns=["no_such_column"]), OSError, "column not found"),
        (lambda: korvel.iter_sav(SAMPLE, batch_size=0), ValueError, "batch_size"),
        (lambda: korvel.iter_sav(SAMPLE, to="arrow"), ValueError, "to must be one of"),
    ],
    ids=[
        "missing-file", "unknown-column", "unknown-kind", "columns-as-str", "meta-missing-file",
        "iter-missing-file", "iter-unknown-column", "iter-zero-batch", "iter-unknown-kind",
    ],
)
def test_bad_arguments_fail_at_the_call(call, error, message):
    with pytest.raises(error, match=message):
        call()


def test_damaged_file_is_an_oserror(tmp_path):
    damaged = tmp_path / "damaged.sav"
    damaged.write_bytes(SAMPLE.read_bytes()[:300])
    with pytest.raises(OSError):
        korvel.read_sav(damaged)
    not_spss = tmp_path / "notes.sav"
    not_spss.write_text("these are not the data you are looking for\n" * 10)
    with pytest.raises(OSError):
        korvel.read_sav_meta(not_spss)


def test_read_sav_meta_is_the_dictionary():
    _, meta = korvel.read_sav(SAMPLE, n_rows=0)
    alone = korvel.read_sav_meta(SAMPLE)
    assert alone.diff(meta, print_output=False).is_match
    assert alone.schema == meta.schema


@pytest.mark.parametrize("to", FRAME_KINDS)
@pytest.mark.parametrize("name", [None, "pyreadstat/sample.zsav"], ids=lambda n: n or "sample")
def test_iter_sav_batches_make_the_whole(name, to):
    path = source(name)
    whole, meta = korvel.read_sav(path, to="polars")
    batches = list(korvel.iter_sav(path, batch_size=2, to=to))
    assert all(isinstance(b, FRAME_TYPES[to]) for b in batches)
    heights = [len(to_pandas(b)) for b in batches]
    assert heights and max(heights) <= 2 and sum(heights) == meta.number_rows
    joined = pl.concat([pl.from_pandas(to_pandas(b)) if to == "pandas" else pl.from_arrow(b) if to == "pyarrow" else b for b in batches])
    assert_matches_peer(joined, to_pandas(whole))


def test_iter_sav_projection_and_limit():
    meta = korvel.read_sav_meta(SAMPLE)
    wanted = meta.variable_names[1:3][::-1]
    batches = list(korvel.iter_sav(SAMPLE, batch_size=2, columns=wanted, n_rows=3))
    assert [b.height for b in batches] == [2, 1]
    expected, _ = korvel.read_sav(SAMPLE, columns=wanted, n_rows=3)
    assert pl.concat(batches).equals(expected)


def _peer_with_labels(path, **kwargs):
    peer, _ = pyreadstat.read_sav(str(path), **kwargs)
    return peer


@pytest.mark.parametrize("to", FRAME_KINDS)
def test_user_missing_as_null_matches_pyreadstat(to):
    meta = korvel.read_sav_meta(SAMPLE)
    assert meta.variable_missing_values, "the sample declares user-missing values"
    frame, _ = korvel.read_sav(SAMPLE, to=to, user_missing_as_null=True)
    # pyreadstat turns user-missing values into NaN unless asked to keep them.
    assert_matches_peer(frame, _peer_with_labels(SAMPLE))
    kept, _ = korvel.read_sav(SAMPLE, to=to)
    assert not to_pandas(kept).equals(to_pandas(frame))


def _category_texts(frame, name):
    column = to_pandas(frame)[name]
    return [None if pd.isna(v) else str(v) for v in column.astype(object)]


@pytest.mark.parametrize("to", FRAME_KINDS)
@pytest.mark.parametrize("name", [None, "haven/labelled-str.sav", "haven/labelled-num-na.sav"], ids=lambda n: n or "sample")
def test_value_labels_applied_match_pyreadstat(name, to):
    path = source(name)
    meta = korvel.read_sav_meta(path)
    labelled = [n for n in meta.variable_names if meta.variable_value_labels.get(n)]
    assert labelled, "the file has value labels"
    frame, _ = korvel.read_sav(path, to=to, apply_value_labels=True)
    peer = _peer_with_labels(path, apply_value_formats=True, user_missing=True)
    for name in labelled:
        expected = [
            None if pd.isna(v) else v if isinstance(v, str) else _value_text(float(v))
            for v in peer[name].astype(object)
        ]
        assert _category_texts(frame, name) == expected, name
        labels = list(dict.fromkeys(meta.variable_value_labels[name].values()))
        if to == "polars":
            assert isinstance(frame.schema[name], pl.Enum)
            categories = frame.schema[name].categories.to_list()
        elif to == "pandas":
            assert isinstance(frame[name].dtype, pd.CategoricalDtype)
            categories = list(frame[name].cat.categories)
        else:
            assert pa.types.is_dictionary(frame.schema.field(name).type)
            categories = frame[name].chunk(0).dictionary.to_pylist()
        # The labels come first, in the file's order, whether or not a value uses them.
        assert categories[: len(labels)] == labels


def test_conveniences_together_turn_missing_codes_into_nulls_not_labels():
    meta = korvel.read_sav_meta(SAMPLE)
    frame, _ = korvel.read_sav(SAMPLE, apply_value_labels=True, user_missing_as_null=True)
    peer = _peer_with_labels(SAMPLE, apply_value_formats=True)
    for name in meta.variable_missing_values:
        if name in meta.variable_value_labels:
            expected = [None if pd.isna(v) else v if isinstance(v, str) else _value_text(float(v)) for v in peer[name].astype(object)]
            assert _category_texts(frame, name) == expected
