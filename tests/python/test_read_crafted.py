"""Reading files that pyreadstat wrote and a test then altered in one place, through the whole
read path: the names and texts of a dictionary that other writers get wrong."""

import pyarrow as pa
import pytest

import _korvel

pd = pytest.importorskip("pandas")
pyreadstat = pytest.importorskip("pyreadstat")


def patched(tmp_path, columns, replacements, **kwargs):
    """Writes `columns` with pyreadstat, then replaces each byte string of `replacements` (once,
    with one of the same length) in the file."""
    path = tmp_path / "crafted.sav"
    pyreadstat.write_sav(pd.DataFrame(columns), str(path), **kwargs)
    data = path.read_bytes()
    for old, new in replacements:
        assert len(old) == len(new) and data.count(old) == 1, old
        data = data.replace(old, new)
    path.write_bytes(data)
    return str(path)


@pytest.mark.parametrize("compress", [False, True])
def test_equal_long_names_become_unique_columns(tmp_path, compress):
    # The second column's long name is made equal to the first's.
    path = patched(
        tmp_path,
        {"first_col": [1.0, 2.0], "other_col": ["a", "b"]},
        [(b"=other_col", b"=first_col")],
        column_labels=["First label", "Other label"],
        compress=compress,
    )
    data, meta = _korvel._read_sav(path)
    table = pa.table(data)
    assert table.column_names == ["first_col", "first_col_2"]
    assert table.column("first_col").to_pylist() == [1.0, 2.0]
    assert table.column("first_col_2").to_pylist() == ["a", "b"]
    assert meta.variable_names == ["first_col", "first_col_2"]
    assert meta.variable_labels == {"first_col": "First label", "first_col_2": "Other label"}
    assert meta.variable_formats["first_col_2"].startswith("A")
    projected = pa.table(_korvel._read_sav(path, columns=["first_col_2"])[0])
    assert projected.column_names == ["first_col_2"]
    assert projected.column(0).to_pylist() == ["a", "b"]


def test_file_label_in_the_files_encoding(tmp_path):
    # "l1" is a label of windows-1252; the label's bytes are windows-1252 "ôõöø".
    path = patched(
        tmp_path,
        {"x": [1.0]},
        [(b"UTF-8", b"l1   "), (b"ZZZZ", b"\xf4\xf5\xf6\xf8")],
        file_label="Label ZZZZ",
    )
    meta = _korvel._read_sav_meta(path)
    assert meta.file_encoding == "windows-1252"
    assert meta.file_label == "Label ôõöø"


@pytest.mark.parametrize(
    "date, expected",
    [(b"30 Apr 96", "1996-04-30"), (b"01 Jan 70", "1970-01-01"), (b"31 Dec 69", "2069-12-31"),
     (b"05 Mar 24", "2024-03-05")],
)
def test_two_digit_creation_years(tmp_path, date, expected):
    path = tmp_path / "dated.sav"
    pyreadstat.write_sav(pd.DataFrame({"x": [1.0]}), str(path))
    data = bytearray(path.read_bytes())
    data[92:101] = date
    path.write_bytes(bytes(data))
    assert _korvel._read_sav_meta(str(path)).creation_time.startswith(expected + " ")
