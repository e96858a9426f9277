"""scan_sav: a polars LazyFrame over one or several files, with the projection and the row
limit pushed down into the native batch reader (observed by wrapping the reader)."""

import shutil

import polars as pl
import pytest

import _korvel
import korvel
from pkg_helpers import SAMPLE, fixture


NativeReader = _korvel._SavBatchReader


class RecordingReader:
    """Wraps _korvel._SavBatchReader and records what it is asked for."""

    opened = []

    def __init__(self, path, batch_size=None):
        self.inner = NativeReader(path, batch_size)
        self.calls = {"path": path, "select": None, "limit": None, "rows": 0}
        RecordingReader.opened.append(self.calls)

    def select(self, columns):
        self.calls["select"] = list(columns)
        self.inner.select(columns)

    def limit(self, n):
        self.calls["limit"] = n
        self.inner.limit(n)

    def schema(self):
        return self.inner.schema()

    def metadata(self):
        return self.inner.metadata()

    def next_batch(self):
        batch = self.inner.next_batch()
        if batch is not None:
            self.calls["rows"] += pl.DataFrame(batch).height
        return batch


@pytest.fixture
def recorded(monkeypatch):
    RecordingReader.opened = []
    monkeypatch.setattr(_korvel, "_SavBatchReader", RecordingReader)
    return RecordingReader.opened


def _reads(recorded):
    """The readers that delivered data (the schema probe asks for none)."""
    return [calls for calls in recorded if calls["rows"] or calls["select"] or calls["limit"] is not None]


def test_scan_collects_the_whole_file():
    whole, _ = korvel.read_sav(SAMPLE)
    lazy = korvel.scan_sav(SAMPLE)
    assert isinstance(lazy, pl.LazyFrame)
    assert lazy.collect_schema() == whole.schema
    assert lazy.collect().equals(whole)


def test_projection_and_limit_reach_the_reader(recorded):
    names = korvel.read_sav_meta(SAMPLE).variable_names
    wanted = [names[2], names[0]]
    result = korvel.scan_sav(SAMPLE).select(wanted).head(2).collect()
    expected, _ = korvel.read_sav(SAMPLE, columns=wanted, n_rows=2)
    assert result.equals(expected)
    reads = _reads(recorded)
    assert len(reads) == 1
    assert sorted(reads[0]["select"]) == sorted(wanted)
    assert reads[0]["limit"] == 2
    assert reads[0]["rows"] == 2


def test_without_a_limit_the_reader_is_not_limited(recorded):
    names = korvel.read_sav_meta(SAMPLE).variable_names
    korvel.scan_sav(SAMPLE).select(names[1]).collect()
    (read,) = _reads(recorded)
    assert read["select"] == [names[1]] and read["limit"] is None


def test_filter_and_row_count():
    whole, meta = korvel.read_sav(SAMPLE)
    first = meta.variable_names[0]
    threshold = whole[first].median()
    lazy = korvel.scan_sav(SAMPLE).filter(pl.col(first) > threshold)
    assert lazy.collect().equals(whole.filter(pl.col(first) > threshold))
    assert korvel.scan_sav(SAMPLE).select(pl.len()).collect().item() == meta.number_rows


@pytest.fixture
def two_copies(tmp_path):
    for name in ("wave1.sav", "wave2.sav"):
        shutil.copy(SAMPLE, tmp_path / name)
    return tmp_path


@pytest.mark.parametrize("how", ["glob", "list"])
def test_several_files_read_as_one_frame(two_copies, how):
    whole, _ = korvel.read_sav(SAMPLE)
    source = str(two_copies / "*.sav") if how == "glob" else sorted(two_copies.glob("*.sav"))
    assert korvel.scan_sav(source).collect().equals(pl.concat([whole, whole]))


def test_limit_across_files_stops_in_the_second(two_copies, recorded):
    rows = korvel.read_sav_meta(SAMPLE).number_rows
    result = korvel.scan_sav(str(two_copies / "*.sav")).head(rows + 2).collect()
    assert result.height == rows + 2
    limits = [(c["path"].rsplit("/", 1)[1], c["limit"]) for c in _reads(recorded)]
    assert limits == [("wave1.sav", rows + 2), ("wave2.sav", 2)]


def test_files_with_other_columns_are_refused():
    other = fixture("pyreadstat/sample.sav")
    with pytest.raises(Exception, match="columns differ"):
        korvel.scan_sav([SAMPLE, other]).collect()


@pytest.mark.parametrize(
    "source, error, message",
    [("/nonexistent/*.sav", FileNotFoundError, "no file matches"), ([], ValueError, "empty")],
    ids=["glob-without-match", "empty-list"],
)
def test_nothing_to_scan(source, error, message):
    with pytest.raises(error, match=message):
        korvel.scan_sav(source)


def test_missing_file_fails_at_the_call():
    with pytest.raises(OSError):
        korvel.scan_sav("/nonexistent/survey.sav")
