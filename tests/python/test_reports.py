"""summary() and describe(): byte-for-byte layouts on file descriptor 1."""

import contextlib
import io
import math
import re
import subprocess
import sys
import textwrap
from collections import Counter
from decimal import Decimal

import pytest

from _korvel import SpssMetadata
from _meta_files import read_fixture, with_row_count, write_sav

FIXTURES = [
    "haven/iris.sav", "haven/datetime.sav", "haven/labelled-num.sav", "haven/labelled-num-na.sav",
    "haven/labelled-str.sav", "haven/variable-label.sav",
    "pyreadstat/sample_large.sav", "pyreadstat/sample.sav", "pyreadstat/sample.zsav",
    "pyreadstat/sample_missing.sav", "pyreadstat/missing_char.sav", "pyreadstat/missing_test.sav",
    "pyreadstat/mr_simple_alltypes.sav", "pyreadstat/ordered_category.sav",
    "pyreadstat/test_width.sav", "pyreadstat/tegulu.sav",
    "savreaderwriter/all_numeric_uncompressed.sav", "savreaderwriter/Employee_data.sav",
    "savreaderwriter/spssio_test.sav", "savreaderwriter/test_dates.sav",
    "savreaderwriter/zlib_compressed.zsav",
]


def output(capfdbinary, fn, *args):
    capfdbinary.readouterr()
    assert fn(*args) is None
    return capfdbinary.readouterr().out.decode("utf-8")


# ----- a model of the layouts --------------------------------------------------------------


def grouped(n):
    if n < 1000:
        return str(n)
    if n < 1000000:
        return f"{n // 1000},{n % 1000:03d}"
    return f"{n // 1000000},{n // 1000 % 1000:03d},{n % 1000:03d}"


def pct(count, total):
    return f"{count * 100.0 / total:5.1f}%"


def ratio(count, total):
    if count and total:
        return f"{grouped(count):>5} / {grouped(total):<5}  {pct(count, total)}"
    return f"{grouped(count):>5} / {grouped(total)}"


def model_summary(m):
    s = m.schema
    cols = s["number_columns"]
    out = ["SPSS Metadata Summary", "\u2550" * 42, "", "File",
           f"  Label:        {s['file_label'] or '(none)'}",
           f"  Format:       {s['file_format']}",
           f"  Encoding:     {s['file_encoding']}",
           f"  Created:      {s['creation_time']}",
           f"  Rows:         {'unknown' if s['number_rows'] is None else grouped(s['number_rows'])}",
           f"  Columns:      {grouped(cols)}",
           f"  Weight:       {s['weight_variable'] or '(none)'}"]
    if s["notes"]:
        first = s["notes"][0].strip().encode()
        preview = first[:40].decode("utf-8", "ignore") + ("..." if len(first) > 40 else "")
        out.append(f"  Notes:        {len(s['notes'])} record(s) \u2502 {preview}")
    strings = sum(is_string_format(f) for f in s["variable_formats"].values())
    numerics = len(s["variable_formats"]) - strings
    out += ["", "Variables"]
    for label, n in (("Numeric", numerics), ("String", strings)):
        out.append(f"  {label:<14}{grouped(n):>5}    " + (pct(n, cols) if cols else ""))
    levels = Counter(s["variable_measures"].get(name, "unknown") for name in s["variable_names"])
    out.append("")
    for level in ("nominal", "ordinal", "scale"):
        out.append(f"  {level.capitalize():<14}{grouped(levels[level]):>5}")
    if levels["unknown"]:
        out.append(f"  {'Unknown':<14}{grouped(levels['unknown']):>5}")
    if s["variable_roles"]:
        roles = Counter(s["variable_roles"].values())
        out += ["", f"Roles ({len(s['variable_roles'])} variables)"]
        for role in ("input", "target", "both", "none", "partition", "split"):
            if roles[role]:
                out.append(f"  {role.capitalize():<14}{grouped(roles[role]):>5}")
    out += ["", "Annotations",
            f"  Labeled:      {ratio(len(s['variable_labels']) if not s['variable_names'] else sum(v is not None for v in s['variable_labels'].values()), cols)}",
            f"  Value labels: {ratio(len(s['variable_value_labels']), cols)}",
            f"  Missing:      {ratio(len(s['variable_missing_values']), cols)}",
            f"  MR sets:      {grouped(len(s['mr_sets'])):>5}"]
    if s["variable_attributes"]:
        out.append(f"  Custom attrs: {ratio(len(s['variable_attributes']), cols)}")
    return "".join(line + "\n" for line in out)


def is_string_format(fmt):
    """A and AHEX formats are strings; ADATE and the other types are numbers."""
    name = re.match(r"\s*([A-Za-z]*)", fmt).group(1)
    return name.upper() in ("A", "AHEX")


def number(v):
    if math.isfinite(v) and v == int(v) and -(2**63) <= v < 2**63:
        return str(int(v))
    if math.isnan(v):
        return "NaN"
    if math.isinf(v):
        return "inf" if v > 0 else "-inf"
    return format(Decimal(repr(v)), "f")


def quoted(s):
    escapes = {"\\": "\\\\", '"': '\\"', "\t": "\\t", "\n": "\\n", "\r": "\\r", "\0": "\\0"}
    return '"' + "".join(escapes.get(c) or (f"\\u{{{ord(c):x}}}" if ord(c) < 0x20 or 0x7F <= ord(c) <= 0x9F else c)
                         for c in s) + '"'


def model_describe(m, name):
    s = m.schema
    fmt = m.format(name)
    missing = s["variable_missing_values"].get(name)
    out = [f"Variable: {name}",
           f"Label:    {m.label(name) if m.label(name) is not None else '(none)'}",
           f"Format:   {fmt if fmt is not None else '?':<12}Measure: {m.measure(name) or '?'}",
           f"Type:     {'String' if fmt and is_string_format(fmt) else 'Numeric':<12}"
           f"Align:   {s['variable_alignments'].get(name, '?')}",
           f"Display:  {s['variable_display_widths'].get(name, '?')!s:<12}"
           f"Storage: {s['variable_storage_widths'].get(name, '?')}",
           f"Role:     {m.role(name) or '(none)'}"]
    parts = []
    if missing and missing["type"] == "range":
        parts.append(f"{number(missing['low'])} thru {number(missing['high'])}")
        if "discrete" in missing:
            parts.append(number(missing["discrete"]))
    elif missing:
        parts = [quoted(v) if isinstance(v, str) else number(v) for v in missing["values"]]
    out.append("Missing:  " + (", ".join(parts) if parts else "(none)"))
    labels = m.value(name)
    if labels:
        out += ["", f"Value Labels ({len(labels)}):"]
        for value, label in labels.items():
            text = value if isinstance(value, str) else number(value)
            out.append(f"  {text:<8}{label}")
    attrs = m.attribute(name)
    if attrs:
        out += ["", f"Custom Attributes ({len(attrs)}):"]
        for attr, values in attrs.items():
            shown = values[0] if len(values) == 1 else "[" + ", ".join(map(quoted, values)) + "]"
            out.append(f"  {attr}: {shown}")
    return "".join(line + "\n" for line in out)


# ----- summary ---------------------------------------------------------------------------

DEFAULT_SUMMARY = """\
SPSS Metadata Summary
══════════════════════════════════════════

File
  Label:        (none)
  Format:       sav
  Encoding:     UTF-8
  Created:      
  Rows:         unknown
  Columns:      0
  Weight:       (none)

Variables
  Numeric           0    
  String            0    

  Nominal           0
  Ordinal           0
  Scale             0

Annotations
  Labeled:          0 / 0
  Value labels:     0 / 0
  Missing:          0 / 0
  MR sets:          0
"""


def test_summary_of_default_metadata(capfdbinary):
    assert output(capfdbinary, SpssMetadata().summary) == DEFAULT_SUMMARY


def test_summary_of_a_fixture(capfdbinary, fixtures_dir):
    m = read_fixture(fixtures_dir, "pyreadstat/sample_large.sav")
    assert output(capfdbinary, m.summary) == textwrap.dedent("""\
        SPSS Metadata Summary
        ══════════════════════════════════════════

        File
          Label:        (none)
          Format:       sav
          Encoding:     UTF-8
          Created:      2020-11-03 10:08:25
          Rows:         485
          Columns:      7
          Weight:       (none)

        Variables
          Numeric           6     85.7%
          String            1     14.3%

          Nominal           0
          Ordinal           0
          Scale             0
          Unknown           7

        Annotations
          Labeled:          0 / 7
          Value labels:     0 / 7
          Missing:          0 / 7
          MR sets:          0
        """)


def test_summary_with_every_section(capfdbinary, tmp_path):
    m = write_sav(tmp_path / "t.sav", {"a": [1.0], "b": [2.0], "c": [3.0], "s": ["x"]},
                  variable_measure={"a": "nominal", "b": "scale", "c": "scale", "s": "nominal"})
    m = m.update(file_label="Survey 2024", weight_variable="a",
                 notes=["  first note  ", "second"],
                 variable_labels={"a": "A", "b": "B", "zz": "not a variable"},
                 variable_value_labels={"a": {1: "one"}},
                 variable_missing_values={"b": {"type": "discrete", "values": [9]}},
                 variable_roles={"a": "input", "b": "target", "c": "input", "s": "split"},
                 variable_attributes={"c": {"k": ["v"]}},
                 mr_sets={"m": {"type": "category", "variables": ["a", "b"]}})
    created = m.creation_time
    # Label entries count by the label map, the stray "zz" included: 3 of 4.
    assert output(capfdbinary, m.summary) == textwrap.dedent(f"""\
        SPSS Metadata Summary
        ══════════════════════════════════════════

        File
          Label:        Survey 2024
          Format:       sav
          Encoding:     UTF-8
          Created:      {created}
          Rows:         1
          Columns:      4
          Weight:       a
          Notes:        2 record(s) │ first note

        Variables
          Numeric           3     75.0%
          String            1     25.0%

          Nominal           2
          Ordinal           0
          Scale             2

        Roles (4 variables)
          Input             2
          Target            1
          Split             1

        Annotations
          Labeled:          3 / 4       75.0%
          Value labels:     1 / 4       25.0%
          Missing:          1 / 4       25.0%
          MR sets:          1
          Custom attrs:     1 / 4       25.0%
        """)


@pytest.mark.parametrize("rows,text", [
    (0, "0"), (999, "999"), (1000, "1,000"), (1500, "1,500"), (999999, "999,999"),
    (1000000, "1,000,000"), (2000000, "2,000,000"), (1002003, "1,002,003"),
    (1234567890, "1234,567,890"), (-1, "unknown"),
])
def test_summary_groups_the_row_count(capfdbinary, tmp_path, rows, text):
    write_sav(tmp_path / "t.sav", {"a": [1.0]})
    m = with_row_count(tmp_path / "t.sav", tmp_path / "r.sav", rows)
    lines = output(capfdbinary, m.summary).splitlines()
    assert f"  Rows:         {text}" in lines


def test_summary_groups_the_column_count_and_percentages(capfdbinary, tmp_path):
    cols = {f"v{i}": [1.0] for i in range(1000)}
    cols["s"] = ["x"]
    m = write_sav(tmp_path / "t.sav", cols)
    lines = output(capfdbinary, m.summary).splitlines()
    assert "  Columns:      1,001" in lines
    # 1000 / 1001 = 99.90...%; 1 / 1001 = 0.0999...% which rounds to 0.1.
    assert "  Numeric       1,000     99.9%" in lines
    assert "  String            1      0.1%" in lines
    assert "  Labeled:          0 / 1,001" in lines
    assert "\n".join(lines) + "\n" == model_summary(m)


@pytest.mark.parametrize("count,total,text", [
    (2, 3, " 66.7%"), (1, 3, " 33.3%"), (3, 3, "100.0%"), (1, 8, " 12.5%"),
    (1, 16, "  6.2%"),   # 6.25 exactly: the tie goes to the even digit
    (3, 16, " 18.8%"),   # 18.75 exactly: to even, upwards
    (1, 1000, "  0.1%"),
])
def test_percentages(capfdbinary, tmp_path, count, total, text):
    cols = {f"n{i}": [1.0] for i in range(total - count)}
    cols.update({f"s{i}": ["x"] for i in range(count)})
    m = write_sav(tmp_path / "t.sav", cols)
    lines = output(capfdbinary, m.summary).splitlines()
    assert f"  String        {count:>5}    {text}" in lines


@pytest.mark.parametrize("note,shown", [
    ("  word  ", "word"),
    ("\t\u3000word\u00a0\n", "word"),
    ("x" * 50, "x" * 40 + "..."),
    ("y" * 40, "y" * 40),
    ("z" * 41, "z" * 40 + "..."),
    # The 40th byte falls inside a two-byte character: the cut backs off to keep valid text.
    ("a" * 39 + "\u00e9" + "b" * 5, "a" * 39 + "..."),
    ("a" * 38 + "\u00e9" + "b" * 5, "a" * 38 + "\u00e9" + "..."),
    ("", ""),
])
def test_summary_notes_line(capfdbinary, note, shown):
    m = SpssMetadata(notes=[note, "other"])
    lines = output(capfdbinary, m.summary).splitlines()
    assert f"  Notes:        2 record(s) \u2502 {shown}" in lines


def test_summary_counts_strings_by_format_entries_and_measures_by_names(capfdbinary):
    # Without variable names nothing is counted by measure; formats count whatever they hold.
    m = SpssMetadata(variable_formats={"a": "A8", "b": "AHEX4", "c": "F8.2", "d": ""},
                     variable_measures={"a": "scale"})
    lines = output(capfdbinary, m.summary).splitlines()
    assert "  Numeric           2    " in lines
    assert "  String            2    " in lines
    assert "  Scale             0" in lines
    assert not any(line.startswith("  Unknown") for line in lines)


# ----- describe ----------------------------------------------------------------------------


class Key:
    def __init__(self, v):
        self.v = v

    def __float__(self):
        return self.v


def test_describe_variable_without_anything(capfdbinary):
    assert output(capfdbinary, SpssMetadata().describe, "v") == (
        "Variable: v\n"
        "Label:    (none)\n"
        "Format:   ?           Measure: ?\n"
        "Type:     Numeric     Align:   ?\n"
        "Display:  ?           Storage: ?\n"
        "Role:     (none)\n"
        "Missing:  (none)\n")


def test_describe_full_block(capfdbinary):
    m = SpssMetadata(
        variable_labels={"v": "Income"}, variable_formats={"v": "DOLLAR12.2"},
        variable_measures={"v": "scale"}, variable_alignments={"v": "center"},
        variable_display_widths={"v": 14}, variable_roles={"v": "both"},
        variable_missing_values={"v": {"type": "range", "low": 1, "high": 3, "discrete": 9}},
        variable_value_labels={"v": {1: "low", 1.5: "mid", 99.0: "refused", "s": "text",
                                     "longvalue": "runs on", 1e20: "big", -1e300: "tiny",
                                     math.inf: "inf", 1e-7: "small", math.nan: "nan"}},
        variable_attributes={"v": {"one": ["single"], "two": ["a", 'q"b'], "none": []}})
    assert output(capfdbinary, m.describe, "v") == (
        "Variable: v\n"
        "Label:    Income\n"
        "Format:   DOLLAR12.2  Measure: scale\n"
        "Type:     Numeric     Align:   center\n"
        "Display:  14          Storage: ?\n"
        "Role:     both\n"
        "Missing:  1 thru 3, 9\n"
        "\n"
        "Value Labels (10):\n"
        "  1       low\n"
        "  1.5     mid\n"
        "  99      refused\n"
        "  s       text\n"
        "  longvalueruns on\n"
        "  100000000000000000000big\n"
        f"  -1{'0' * 300}tiny\n"
        "  inf     inf\n"
        "  0.0000001small\n"
        "  NaN     nan\n"
        "\n"
        "Custom Attributes (3):\n"
        "  one: single\n"
        '  two: ["a", "q\\"b"]\n'
        "  none: []\n")


@pytest.mark.parametrize("spec,text", [
    ({"type": "discrete", "values": [1.5]}, "1.5"),
    ({"type": "discrete", "values": [1, -2, 3.25]}, "1, -2, 3.25"),
    ({"type": "discrete", "values": [-0.0]}, "0"),
    ({"type": "discrete", "values": ["a", "b"]}, '"a", "b"'),
    ({"type": "discrete", "values": ['a"\\', "t\tn\n", "\x01\x7f"]},
     '"a\\"\\\\", "t\\tn\\n", "\\u{1}\\u{7f}"'),
    ({"type": "discrete", "values": ["\u00e9t\u00e9"]}, '"\u00e9t\u00e9"'),
    ({"type": "discrete", "values": []}, "(none)"),
    ({"type": "range", "low": -math.inf, "high": 0.5}, "-inf thru 0.5"),
    ({"type": "range", "low": 1, "high": 3, "discrete": 9}, "1 thru 3, 9"),
    # LO and HI of a range are the extreme doubles: written as the numbers they are, unclamped.
    ({"type": "range", "low": -sys.float_info.max, "high": -1},
     format(Decimal(repr(-sys.float_info.max)), "f") + " thru -1"),
    ({"type": "range", "low": 1, "high": sys.float_info.max},
     "1 thru " + format(Decimal(repr(sys.float_info.max)), "f")),
    # -2^63 is the last integer written as such; 2^63 and beyond in their shortest digits.
    ({"type": "discrete", "values": [-(2.0**63), 2.0**63, 1e20]},
     "-9223372036854775808, 9223372036854776000, 100000000000000000000"),
])
def test_describe_missing_line(capfdbinary, spec, text):
    m = SpssMetadata(variable_missing_values={"v": spec})
    assert f"Missing:  {text}" in output(capfdbinary, m.describe, "v").splitlines()


def test_describe_shows_zero_and_negative_zero_as_two_labels(capfdbinary):
    m = SpssMetadata().with_variable_value_labels({"v": {Key(0.0): "zero", Key(-0.0): "minus"}})
    lines = output(capfdbinary, m.describe, "v").splitlines()
    assert lines[-3:] == ["Value Labels (2):", "  0       zero", "  0       minus"]


def test_describe_type_column(capfdbinary):
    m = SpssMetadata(variable_formats={"s": "A20", "n": "F8.0", "e": ""})
    text = output(capfdbinary, m.describe, ["s", "n", "e"])
    types = [line for line in text.splitlines() if line.startswith("Type:")]
    assert types == ["Type:     String      Align:   ?", "Type:     Numeric     Align:   ?",
                     "Type:     Numeric     Align:   ?"]
    assert "Format:   " + " " * 12 + "Measure: ?" in text.splitlines()


@pytest.mark.parametrize("fmt,kind", [
    ("A8", "String"), ("AHEX16", "String"), ("ADATE10", "Numeric"), ("AUTO", "Numeric"),
    ("F8.2", "Numeric"),
])
def test_type_follows_the_format_type_not_its_first_letter(capfdbinary, fmt, kind):
    m = SpssMetadata(variable_formats={"v": fmt})
    assert f"Type:     {kind:<12}Align:   ?" in output(capfdbinary, m.describe, "v").splitlines()
    lines = output(capfdbinary, m.summary).splitlines()
    strings = 1 if kind == "String" else 0
    # Without columns the lines carry no percentage.
    assert f"  String        {strings:>5}    " in lines
    assert f"  Numeric       {1 - strings:>5}    " in lines


def test_adate_variables_are_counted_as_numbers(capfdbinary, fixtures_dir):
    # Three of the file's variables are strings; its ADATE variable is a date.
    m = read_fixture(fixtures_dir, "savreaderwriter/spssio_test.sav")
    assert sum(f.startswith("A") for f in m.schema["variable_formats"].values()) == 4
    lines = output(capfdbinary, m.summary).splitlines()
    strings = [line for line in lines if line.startswith("  String")]
    assert strings == [f"  String        {3:>5}    {pct(3, m.schema['number_columns'])}"]


def test_describe_long_values_push_the_next_column(capfdbinary):
    m = SpssMetadata(variable_formats={"v": "DATETIME23.2X"},
                     variable_display_widths={"v": 4294967295})
    lines = output(capfdbinary, m.describe, "v").splitlines()
    assert "Format:   DATETIME23.2XMeasure: ?" in lines
    assert "Display:  4294967295  Storage: ?" in lines


def test_describe_pads_by_characters_not_bytes(capfdbinary):
    m = SpssMetadata(variable_formats={"v": "\u00e9\u00e9"})
    assert "Format:   \u00e9\u00e9          Measure: ?" in output(capfdbinary, m.describe,
                                                                  "v").splitlines()


@pytest.mark.parametrize("names", [["a", "b"], ("a", "b")])
def test_describe_blocks_are_separated_by_one_empty_line(capfdbinary, names):
    m = SpssMetadata(variable_labels={"a": "A", "b": "B"})
    text = output(capfdbinary, m.describe, names)
    assert text == model_describe(m, "a") + "\n" + model_describe(m, "b")
    assert output(capfdbinary, m.describe, "b") == model_describe(m, "b")
    assert output(capfdbinary, m.describe, ["b", "b"]) == model_describe(m, "b") + "\n" + \
        model_describe(m, "b")


def test_describe_empty_list_prints_nothing(capfdbinary):
    assert output(capfdbinary, SpssMetadata().describe, []) == ""


def test_describe_checks_every_name_before_printing(capfdbinary, fixtures_dir):
    m = read_fixture(fixtures_dir, "pyreadstat/sample_large.sav")
    capfdbinary.readouterr()
    with pytest.raises(KeyError) as e:
        m.describe(["mynum", "nope"])
    assert e.value.args[0] == "variable 'nope' not found in metadata"
    assert capfdbinary.readouterr().out == b""
    with pytest.raises(KeyError):
        m.describe("MYNUM")  # names are case-sensitive


@pytest.mark.parametrize("names", [5, None, ["a", 5], {"a"}, b"a", {"a": 1}])
def test_describe_refuses_other_arguments(capfdbinary, names):
    capfdbinary.readouterr()
    with pytest.raises(OSError) as e:
        SpssMetadata().describe(names)
    assert e.value.args[0] == "describe() expects a variable name (str) or list of names"
    assert capfdbinary.readouterr().out == b""


def test_describe_argument_name():
    with pytest.raises(TypeError):
        SpssMetadata().describe()
    with pytest.raises(TypeError):
        SpssMetadata().summary(1)


# ----- against the model, on files -----------------------------------------------------------


@pytest.mark.parametrize("rel", FIXTURES)
def test_reports_of_fixture_files_follow_the_layout(capfdbinary, fixtures_dir, rel):
    m = read_fixture(fixtures_dir, rel)
    assert output(capfdbinary, m.summary) == model_summary(m)
    names = m.variable_names
    expected = "\n".join(model_describe(m, n) for n in names)
    assert output(capfdbinary, m.describe, names) == expected


def test_reports_of_a_written_file_follow_the_layout(capfdbinary, tmp_path):
    m = write_sav(tmp_path / "t.sav",
                  {"id": [1.0, 2.0], "name": ["ann", "bob"], "score": [1.5, 2.5],
                   "when": [0.0, 1.0]},
                  column_labels={"id": "Identifier", "score": "Score (%)"},
                  variable_value_labels={"id": {1: "first", 2: "second"},
                                         "name": {"ann": "Ann"}},
                  missing_ranges={"score": [{"lo": 0, "hi": 1}, 99], "name": ["xx", "yy"]},
                  variable_measure={"id": "nominal", "score": "scale", "name": "ordinal"},
                  variable_display_width={"name": 30}, file_label="Test file",
                  note=["first note", "second note"])
    m = m.with_variable_roles({"id": "input"}).with_variable_attributes(
        {"score": {"unit": ["percent"], "tags": ["a", "b"]}})
    assert output(capfdbinary, m.summary) == model_summary(m)
    assert output(capfdbinary, m.describe, m.variable_names) == "\n".join(
        model_describe(m, n) for n in m.variable_names)


# ----- the output channel --------------------------------------------------------------------


def test_reports_bypass_sys_stdout(capfdbinary):
    buf = io.StringIO()
    with contextlib.redirect_stdout(buf):
        SpssMetadata().summary()
        SpssMetadata().describe("v")
    assert buf.getvalue() == ""
    assert capfdbinary.readouterr().out.decode().startswith("SPSS Metadata Summary\n")


def test_reports_come_after_what_python_printed_before():
    code = textwrap.dedent("""\
        import _korvel
        print("before")
        _korvel.SpssMetadata().describe("v")
        print("after")
        """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, timeout=60)
    assert out.returncode == 0, out.stderr
    lines = out.stdout.decode().splitlines()
    assert lines[0] == "before" and lines[1] == "Variable: v" and lines[-1] == "after"


def test_report_into_a_closed_pipe_does_not_fail():
    code = textwrap.dedent("""\
        import os, _korvel
        r, w = os.pipe()
        os.close(r)
        os.dup2(w, 1)
        _korvel.SpssMetadata().summary()
        os.write(2, b"survived")
        """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, timeout=60)
    assert b"survived" in out.stderr
