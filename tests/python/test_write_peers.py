"""Peers read what we write: GNU PSPP (pspp-convert and a GET FILE / DISPLAY DICTIONARY run),
pyreadstat, and pyspssio over IBM's own I/O module, in every compression."""

import csv
import datetime as dt
import math
import shutil
import subprocess

import pyarrow as pa
import pytest

import _korvel
from _korvel import SpssMetadata

COMPRESSIONS = ["uncompressed", "bytecode", "zlib"]

TABLE = pa.table({
    "q1": [1, 2, 9],
    "w": [1.5, None, -1.0],
    "code": ["a", "bb", "zz"],
    "name": ["Ann", "Bob", "n/a"],
    "long": ["é" * 150, "y", ""],
    "d": pa.array([0, 1, None], pa.date32()),
    "ts": pa.array([dt.datetime(2024, 3, 5, 14, 30, 7), None, dt.datetime(1970, 1, 1)],
                   pa.timestamp("us")),
})
META = dict(
    variable_labels={"q1": "How satisfied", "long": "Längere Antwort"},
    variable_value_labels={"q1": {1: "Low", 9: "No answer"}, "code": {"a": "Alpha"},
                           "name": {"Ann": "first"}},
    variable_missing_values={"q1": {"type": "range", "low": 8, "high": 9},
                             "code": {"type": "discrete", "values": ["zz"]}},
    variable_formats={"q1": "F3.0", "code": "A2", "name": "A20"},
)
FORMATS = {"q1": "F3.0", "w": "F8.2", "code": "A2", "name": "A20", "long": "A300", "d": "DATE11",
           "ts": "DATETIME23.2"}


@pytest.fixture(params=COMPRESSIONS)
def written(request, tmp_path):
    path = tmp_path / ("peer.zsav" if request.param == "zlib" else "peer.sav")
    _korvel._write_sav(str(path), TABLE, SpssMetadata(**META), request.param)
    return path


def need(tool):
    if shutil.which(tool) is None:
        pytest.skip(f"GNU PSPP's {tool} is not installed on this machine (Debian package pspp)")


def test_pspp_convert_reads_the_values(written, tmp_path):
    need("pspp-convert")
    out = tmp_path / "out.csv"
    subprocess.run(["pspp-convert", str(written), str(out)], check=True, capture_output=True)
    rows = list(csv.reader(out.open(encoding="utf-8")))
    assert [h.lower() for h in rows[0]] == TABLE.column_names
    assert [r[0] for r in rows[1:]] == ["1", "2", "9"]
    assert [r[1] for r in rows[1:]] == ["1.5", " ", "-1"]
    assert [r[2] for r in rows[1:]] == ["a", "bb", "zz"]
    assert [r[3] for r in rows[1:]] == ["Ann", "Bob", "n/a"]
    assert [r[4] for r in rows[1:]] == ["é" * 150, "y", ""]
    assert [r[5] for r in rows[1:]] == ["01/01/1970", "01/02/1970", " "]
    assert [r[6] for r in rows[1:]] == ["03/05/2024 14:30:07", " ", "01/01/1970 00:00:00"]


def test_pspp_displays_the_dictionary(written, tmp_path):
    need("pspp")
    syntax = tmp_path / "d.sps"
    syntax.write_text(f'GET FILE="{written}".\nDISPLAY DICTIONARY.\n', encoding="utf-8")
    r = subprocess.run(["pspp", "-O", "format=csv", "-o", str(tmp_path / "d.csv"), str(syntax)],
                       capture_output=True, text=True)
    assert r.returncode == 0, r.stdout + r.stderr
    text = (tmp_path / "d.csv").read_text(encoding="utf-8")
    assert "error" not in text.lower() and "warning" not in text.lower(), text
    lines = {}  # the variables table comes first: a variable's first row
    for row in csv.reader(text.splitlines()):
        if row:
            lines.setdefault(row[0], row)
    for name, fmt in FORMATS.items():
        assert name in lines, name
        assert fmt in lines[name], (name, lines[name])
    assert "How satisfied" in lines["q1"] and "8 THRU 9" in lines["q1"]
    assert '"zz"' in lines["code"]
    assert "Längere Antwort" in lines["long"]
    for value, label in [("1", "Low"), ("9", "No answer"), ("a", "Alpha"), ("Ann", "first")]:
        # PSPP marks a user-missing value with a footnote: "9[a]".
        assert any(len(row) == 3 and row[1].startswith(value) and row[2] == label
                   for row in csv.reader(text.splitlines())), label


def test_pyreadstat_reads_values_and_metadata(written):
    pyreadstat = pytest.importorskip("pyreadstat", reason="pyreadstat is not installed")
    df, m = pyreadstat.read_sav(str(written), user_missing=True)
    assert df["q1"].tolist() == [1.0, 2.0, 9.0]
    assert df["w"].tolist()[0] == 1.5 and math.isnan(df["w"].tolist()[1])
    assert df["code"].tolist() == ["a", "bb", "zz"]
    assert df["long"].tolist() == ["é" * 150, "y", ""]
    assert df["d"].tolist()[:2] == [dt.date(1970, 1, 1), dt.date(1970, 1, 2)]
    assert df["ts"].tolist()[0] == dt.datetime(2024, 3, 5, 14, 30, 7)
    assert m.column_names_to_labels["q1"] == "How satisfied"
    assert m.column_names_to_labels["long"] == "Längere Antwort"
    assert m.variable_value_labels == {"q1": {1.0: "Low", 9.0: "No answer"}, "code": {"a": "Alpha"},
                                       "name": {"Ann": "first"}}
    assert m.original_variable_types == FORMATS
    assert m.missing_ranges == {"q1": [{"lo": 8.0, "hi": 9.0}], "code": [{"lo": "zz", "hi": "zz"}]}


def test_pyspssio_reads_values_and_metadata(written):
    try:
        import pyspssio
    except ImportError:
        pytest.skip("pyspssio (IBM's I/O module) is not installed on this machine")
    df, m = pyspssio.read_sav(str(written))
    assert df["q1"].tolist() == [1.0, 2.0, 9.0]
    assert df["code"].tolist() == ["a", "bb", "zz"]
    assert df["long"].tolist() == ["é" * 150, "y", ""]
    assert df["d"].tolist()[:2] == [dt.datetime(1970, 1, 1), dt.datetime(1970, 1, 2)]
    assert df["ts"].tolist()[0] == dt.datetime(2024, 3, 5, 14, 30, 7)
    assert m["var_labels"]["q1"] == "How satisfied"
    assert m["var_labels"]["long"] == "Längere Antwort"
    # pyspssio reports value labels of numbers and strings up to 8 bytes; it does not report
    # those of longer strings even in files IBM's module wrote itself.
    assert m["var_value_labels"]["q1"] == {1.0: "Low", 9.0: "No answer"}
    assert m["var_value_labels"]["code"] == {"a": "Alpha"}
    assert {k: m["var_formats"][k] for k in ("q1", "w", "code", "name", "long", "d")} == {
        "q1": "F3", "w": "F8.2", "code": "A2", "name": "A20", "long": "A300", "d": "DATE11"}
    assert m["var_missing_values"]["q1"] == {"lo": 8.0, "hi": 9.0}
    assert m["var_missing_values"]["code"] == {"values": ["zz"]}
