"""SpssMetadata.diff and MetaDiff: what is compared, the entries, the held objects, the
printed report and the print_output argument."""

import gc
import textwrap
import weakref

import pytest

import _korvel
from _korvel import MetaDiff, SpssMetadata
from _meta_files import read_fixture, with_row_count, write_sav

LISTS = ["variable_labels", "variable_value_labels", "variable_formats", "variable_measures",
         "variable_display_widths", "variable_storage_widths", "variable_missing_values",
         "mr_sets", "variable_roles", "variable_attributes"]
PROPERTIES = ["is_match", "file_level", "variables_only_in_self", "variables_only_in_other"] + LISTS


def quiet(a, b):
    return a.diff(b, print_output=False)


def by_variable(entries):
    return sorted(entries, key=lambda e: e["variable"])


@pytest.fixture
def base(tmp_path):
    """Metadata of a file with variables x, y (numeric) and s (string), all shared by the
    derived copies the tests compare against it."""
    return write_sav(tmp_path / "base.sav", {"x": [1.0], "y": [2.0], "s": ["abc"]},
                     variable_measure={"x": "nominal", "y": "scale", "s": "nominal"})


def output(capfdbinary, fn, *args, **kwargs):
    capfdbinary.readouterr()
    result = fn(*args, **kwargs)
    return result, capfdbinary.readouterr().out.decode("utf-8")


# ----- matches -----------------------------------------------------------------------------

MATCH_REPORT = """\
Metadata Diff
=============

Variables:
  All variables shared

Field diffs:
  variable_labels               0 diffs  ✓
  variable_value_labels         0 diffs  ✓
  variable_formats              0 diffs  ✓
  variable_measures             0 diffs  ✓
  variable_display_widths       0 diffs  ✓
  variable_storage_widths       0 diffs  ✓
  variable_missing_values       0 diffs  ✓
  mr_sets                       0 diffs  ✓
  variable_roles                0 diffs  ✓
  variable_attributes           0 diffs  ✓

Result: MATCH
"""


def assert_match(d):
    assert d.is_match is True
    assert d.file_level == {}
    assert d.variables_only_in_self == [] and d.variables_only_in_other == []
    for name in LISTS:
        assert getattr(d, name) == []
    assert repr(d) == str(d) == "MetaDiff(is_match=true, diffs=0)"


def test_default_objects_match(capfdbinary):
    d, out = output(capfdbinary, SpssMetadata().diff, SpssMetadata())
    assert type(d) is MetaDiff
    assert_match(d)
    assert out == MATCH_REPORT


def test_an_object_matches_itself(capfdbinary, fixtures_dir):
    m = read_fixture(fixtures_dir, "savreaderwriter/spssio_test.sav")
    d, out = output(capfdbinary, m.diff, m)
    assert_match(d)
    assert out == MATCH_REPORT
    assert_match(quiet(m, m.update()))


def test_fields_outside_the_comparison_do_not_count(base):
    other = base.update(notes=["n"], weight_variable="x", variable_alignments={"x": "center"})
    assert_match(quiet(base, other))


# ----- file level and names --------------------------------------------------------------


def test_only_number_rows_differs(tmp_path, base):
    unknown = with_row_count(tmp_path / "base.sav", tmp_path / "u.sav", -1)
    hundred = with_row_count(tmp_path / "base.sav", tmp_path / "h.sav", 100)
    d = quiet(hundred, unknown)
    assert d.file_level == {"number_rows": (100, None)}
    assert d.is_match is False
    assert repr(d) == "MetaDiff(is_match=false, diffs=0)"
    assert quiet(unknown, unknown.update()).is_match


def test_file_level_pairs_in_order(capfdbinary, tmp_path, fixtures_dir):
    a = read_fixture(fixtures_dir, "pyreadstat/mr_simple_alltypes.sav")
    b = write_sav(tmp_path / "b.sav", {"zz_new": [1.0, 2.0]}, file_label="B label")
    d, out = output(capfdbinary, a.diff, b)
    assert list(d.file_level) == ["number_rows", "number_columns", "file_encoding", "file_label"]
    assert d.file_level == {"number_rows": (6, 2), "number_columns": (12, 1),
                            "file_encoding": ("windows-1252", "UTF-8"),
                            "file_label": ("", "B label")}
    assert all(type(v) is tuple for v in d.file_level.values())
    assert textwrap.dedent("""\
        File-level:
          number_rows              (6, 2)
          number_columns           (12, 1)
          file_encoding            ('windows-1252', 'UTF-8')
          file_label               ('', 'B label')
        """) in out
    assert "  Only in other:      1   [zz_new]\n" in out


def test_names_only_on_one_side_are_sorted_bytewise(capfdbinary, tmp_path):
    names = ["b", "A", "c", "Z", "a", "d", "e"]
    a = write_sav(tmp_path / "a.sav", {n: [1.0] for n in names})
    d, out = output(capfdbinary, a.diff, SpssMetadata())
    assert d.variables_only_in_self == ["A", "Z", "a", "b", "c", "d", "e"]
    assert d.variables_only_in_other == []
    assert d.variables_only_in_self is not d.variables_only_in_self  # a new list per read
    assert "  Only in self:       7   [A, Z, a, b, c, ... +2]\n" in out
    assert "Only in other" not in out
    assert repr(d) == "MetaDiff(is_match=false, diffs=7)"
    d2, out2 = output(capfdbinary, SpssMetadata().diff, a)
    assert d2.variables_only_in_other == d.variables_only_in_self
    assert "  Only in other:      7   [A, Z, a, b, c, ... +2]\n" in out2


def test_name_preview_of_exactly_five(capfdbinary, tmp_path):
    a = write_sav(tmp_path / "a.sav", {n: [1.0] for n in "edcba"})
    b = write_sav(tmp_path / "b.sav", {"e": [1.0], "f": [1.0]})
    _, out = output(capfdbinary, a.diff, b)
    assert "  Only in self:       4   [a, b, c, d]\n  Only in other:      1   [f]\n" in out


def test_per_variable_fields_compare_shared_names_only(tmp_path):
    a = write_sav(tmp_path / "a.sav", {"x": [1.0], "only_a": [1.0]})
    b = write_sav(tmp_path / "b.sav", {"x": [1.0], "only_b": [1.0]})
    a = a.update(variable_labels={"only_a": "A", "stray": "1"}, variable_formats={"stray": "F1.0"})
    b = b.update(variable_labels={"only_b": "B", "stray": "2"}, variable_formats={"stray": "F2.0"})
    d = quiet(a, b)
    assert d.variables_only_in_self == ["only_a"] and d.variables_only_in_other == ["only_b"]
    assert d.variable_labels == [] and d.variable_formats == [] and d.variable_measures == []


def test_without_variable_names_nothing_per_variable_is_compared():
    a = SpssMetadata(variable_labels={"v": "one"}, variable_measures={"v": "scale"})
    b = SpssMetadata(variable_labels={"v": "two"})
    assert_match(quiet(a, b))


# ----- per-variable fields -------------------------------------------------------------------


def test_labels(base):
    labelled = base.with_variable_labels({"x": "X label", "y": ""})
    d = quiet(base, labelled)
    # "" on one side and no label on the other is no difference.
    assert d.variable_labels == [{"variable": "x", "self": "", "other": "X label"}]
    assert list(d.variable_labels[0]) == ["variable", "self", "other"]
    d = quiet(labelled, labelled.with_variable_labels({"x": "x label"}))
    assert d.variable_labels == [{"variable": "x", "self": "X label", "other": "x label"}]
    assert repr(d) == "MetaDiff(is_match=false, diffs=1)"


def test_formats(base):
    d = quiet(base, base.with_variable_formats({"x": "F10.3", "s": None}))
    assert by_variable(d.variable_formats) == [
        {"variable": "s", "self": "A3", "other": ""},
        {"variable": "x", "self": "F8.2", "other": "F10.3"},
    ]


def test_measures_and_roles_with_their_placeholders(base):
    other = base.with_variable_measures({"x": None, "y": "ordinal"}).with_variable_roles(
        {"s": "split"})
    d = quiet(base, other)
    assert by_variable(d.variable_measures) == [
        {"variable": "x", "self": "nominal", "other": "?"},
        {"variable": "y", "self": "scale", "other": "ordinal"},
    ]
    assert d.variable_roles == [{"variable": "s", "self": "(none)", "other": "split"}]
    d = quiet(other.with_variable_roles({"x": "input"}), other.with_variable_roles({"x": "both"}))
    assert d.variable_roles == [{"variable": "x", "self": "input", "other": "both"}]


def test_only_measures_differ_leaves_the_count_at_zero(base):
    d = quiet(base, base.with_variable_measures({"y": "nominal"}))
    assert d.is_match is False
    assert repr(d) == "MetaDiff(is_match=false, diffs=0)"


def test_display_widths(base):
    d = quiet(base, base.with_variable_display_widths({"x": None, "y": 20}))
    assert by_variable(d.variable_display_widths) == [
        {"variable": "x", "self": 8, "other": None},
        {"variable": "y", "self": 8, "other": 20},
    ]
    gone = base.with_variable_display_widths({"x": None})
    assert quiet(gone, gone.update()).variable_display_widths == []  # both absent


def test_storage_widths(tmp_path):
    a = write_sav(tmp_path / "a.sav", {"s": ["abc"], "t": ["x" * 20]})
    b = write_sav(tmp_path / "b.sav", {"s": ["x" * 12], "t": ["y" * 20]})
    d = quiet(a, b)
    assert d.variable_storage_widths == [{"variable": "s", "self": 8, "other": 16}]
    assert type(d.variable_storage_widths[0]["self"]) is int


class Key:
    def __init__(self, v):
        self.v = v

    def __float__(self):
        return self.v


@pytest.mark.parametrize("mine,theirs,counts", [
    ({1: "one", 2: "two"}, {2: "two", 1: "one"}, None),         # order does not matter
    ({1: "one"}, {"1": "one"}, (1, 1)),                          # number against text
    ({Key(0.0): "z"}, {Key(-0.0): "z"}, (1, 1)),                 # compared by bit pattern
    ({1: "one"}, {1: "One"}, (1, 1)),                            # labels byte for byte
    ({1: "one"}, {1: "one", 2: "two"}, (1, 2)),
    ({}, None, (0, 0)),                                          # an empty map against none
    (None, {1: "one"}, (0, 1)),
    ({}, {}, None),
])
def test_value_labels(base, mine, theirs, counts):
    a = base.with_variable_value_labels({"x": mine})
    b = base.with_variable_value_labels({"x": theirs})
    d = quiet(a, b)
    if counts is None:
        assert d.variable_value_labels == []
    else:
        assert d.variable_value_labels == [
            {"variable": "x", "self_count": counts[0], "other_count": counts[1]}]
        assert list(d.variable_value_labels[0]) == ["variable", "self_count", "other_count"]


@pytest.mark.parametrize("mine,theirs,entry", [
    ({"type": "discrete", "values": [1]}, {"type": "range", "low": 1, "high": 2}, None),
    ({"type": "discrete", "values": [1]}, {"type": "discrete", "values": [2]}, None),
    ({"type": "discrete", "values": []}, None, (True, False)),
    (None, {"type": "discrete", "values": ["a"]}, (False, True)),
])
def test_missing_values_compare_presence_only(base, mine, theirs, entry):
    d = quiet(base.with_variable_missing_values({"s": mine}),
              base.with_variable_missing_values({"s": theirs}))
    if entry is None:
        assert d.variable_missing_values == []
    else:
        assert d.variable_missing_values == [
            {"variable": "s", "self_has_missing": entry[0], "other_has_missing": entry[1]}]
        assert type(d.variable_missing_values[0]["self_has_missing"]) is bool


@pytest.mark.parametrize("mine,theirs,texts", [
    ({"a": ["1"], "b": ["2", "3"]}, {"b": ["2", "3"], "a": ["1"]}, None),
    ({"a": ["1"]}, {"a": ["2"]}, ('{"a": ["1"]}', '{"a": ["2"]}')),
    ({"a": ["1", "2"]}, {"a": ["2", "1"]}, ('{"a": ["1", "2"]}', '{"a": ["2", "1"]}')),
    ({"a": ["1"]}, {"a": ["1"], "b": []}, ('{"a": ["1"]}', '{"a": ["1"], "b": []}')),
    ({"a": ["1"]}, {"b": ["1"]}, ('{"a": ["1"]}', '{"b": ["1"]}')),
    ({}, None, ("{}", "(none)")),
    (None, {"z": [], "a": ["x"]}, ("(none)", '{"z": [], "a": ["x"]}')),
    ({'q"b\\': ["t\tn\n", "\0\x01\x7f", "caf\u00e9 'x'"]}, {},
     ('{"q\\"b\\\\": ["t\\tn\\n", "\\0\\u{1}\\u{7f}", "caf\u00e9 \'x\'"]}', "{}")),
])
def test_attributes(base, mine, theirs, texts):
    d = quiet(base.with_variable_attributes({"y": mine}),
              base.with_variable_attributes({"y": theirs}))
    if texts is None:
        assert d.variable_attributes == []
    else:
        assert d.variable_attributes == [{"variable": "y", "self": texts[0], "other": texts[1]}]


def test_mr_sets_compare_names_only(base):
    cat = {"type": "category", "variables": ["x", "y"]}
    a = base.with_mr_sets({"same": cat, "mine1": cat, "mine2": cat})
    b = base.with_mr_sets({"same": {"type": "dichotomy", "variables": ["s", "x", "y"],
                                    "counted_value": 1, "label": "other"}, "theirs": cat})
    d = quiet(a, b)
    statuses = [e["status"] for e in d.mr_sets]
    assert statuses == ["only_in_self", "only_in_self", "only_in_other"]
    assert sorted(e["key"] for e in d.mr_sets[:2]) == ["mine1", "mine2"]
    assert d.mr_sets[2] == {"key": "theirs", "status": "only_in_other"}
    assert list(d.mr_sets[0]) == ["key", "status"]
    # Set names are compared even without variable names.
    assert quiet(SpssMetadata(mr_sets={"s": cat}), SpssMetadata()).mr_sets == [
        {"key": "s", "status": "only_in_self"}]


# ----- the held objects ----------------------------------------------------------------------


def test_properties_and_subscripts_return_the_held_objects(base):
    d = quiet(base, base.with_variable_labels({"x": "X"}))
    for name in PROPERTIES:
        assert d[name] == getattr(d, name)
    for name in ["file_level"] + LISTS:
        assert getattr(d, name) is getattr(d, name)
        assert d[name] is getattr(d, name)


@pytest.mark.parametrize("key", ["nope", "", "Variable_labels", "is_match "])
def test_unknown_subscript(base, key):
    with pytest.raises(KeyError) as e:
        quiet(base, base)[key]
    assert e.value.args[0] == f"'{key}'"


@pytest.mark.parametrize("key", [0, None, b"mr_sets", ("mr_sets",)])
def test_subscript_needs_a_str(base, key):
    with pytest.raises(TypeError, match="key"):
        quiet(base, base)[key]


def test_no_other_mapping_operations(base):
    d = quiet(base, base)
    for op in (len, iter, lambda x: "mr_sets" in x):
        with pytest.raises(TypeError):
            op(d)


def test_callers_changes_to_held_lists_show(base):
    d = quiet(base, base.with_variable_labels({"x": "X", "y": "Y"}).with_variable_formats(
        {"x": "F1.0"}))
    assert repr(d) == "MetaDiff(is_match=false, diffs=3)"
    d.variable_labels.clear()
    assert d.variable_labels == [] and d["variable_labels"] == []
    assert repr(d) == "MetaDiff(is_match=false, diffs=1)"
    assert d.is_match is False
    d.variable_value_labels.extend([{}, {}])
    d.variable_roles.append({})  # not counted in the text form
    assert repr(d) == "MetaDiff(is_match=false, diffs=3)"


def test_held_objects_in_a_cycle_are_collected(base):
    class Marker:
        pass

    d = quiet(base, base)
    marker = Marker()
    ref = weakref.ref(marker)
    d.variable_labels.append(marker)
    d.file_level["me"] = d
    del d, marker
    gc.collect()
    assert ref() is None


def test_metadiff_cannot_be_constructed_and_is_registered():
    with pytest.raises(TypeError):
        MetaDiff()
    assert MetaDiff.__doc__ == ""
    names = _korvel.__all__
    assert names.index("MetaDiff") == names.index("SpssMetadata") + 1
    assert names.index("_ArrowData") == names.index("MetaDiff") + 1
    props = [k for k, v in vars(MetaDiff).items() if type(v).__name__ == "getset_descriptor"]
    assert props == PROPERTIES
    assert all(getattr(MetaDiff, p).__doc__ is None for p in PROPERTIES)


def test_diff_holds_no_reference_to_the_metadata(base):
    other = base.update()
    before = (len(gc.get_referrers(base)), len(gc.get_referrers(other)))
    d = quiet(base, other)
    assert (len(gc.get_referrers(base)), len(gc.get_referrers(other))) == before
    assert d.is_match


# ----- the report ----------------------------------------------------------------------------


def test_full_report(capfdbinary, base):
    other = (base.update(file_label="New")
             .with_variable_labels({"x": "X"})
             .with_variable_value_labels({"x": {1: "a"}, "y": {1: "b"}})
             .with_variable_measures({"s": "ordinal"})
             .with_mr_sets({"m": {"type": "category", "variables": ["x", "y"]}}))
    d, out = output(capfdbinary, base.diff, other)
    assert out == textwrap.dedent("""\
        Metadata Diff
        =============

        File-level:
          file_label               ('', 'New')

        Variables:
          All variables shared

        Field diffs:
          variable_labels               1 diff 
          variable_value_labels         2 diffs
          variable_formats              0 diffs  ✓
          variable_measures             1 diff 
          variable_display_widths       0 diffs  ✓
          variable_storage_widths       0 diffs  ✓
          variable_missing_values       0 diffs  ✓
          mr_sets                       1 diff 
          variable_roles                0 diffs  ✓
          variable_attributes           0 diffs  ✓

        Result: DIFFERENCES FOUND
        """)
    assert repr(d) == "MetaDiff(is_match=false, diffs=3)"


def test_report_of_fixture_against_written_file(capfdbinary, fixtures_dir):
    a = read_fixture(fixtures_dir, "haven/iris.sav")
    b = read_fixture(fixtures_dir, "pyreadstat/sample_large.sav")
    d, out = output(capfdbinary, a.diff, b)
    assert d.variables_only_in_self == ["Petal.Length", "Petal.Width", "Sepal.Length",
                                        "Sepal.Width", "Species"]
    assert d.variables_only_in_other == ["dtime", "mychar", "mydate", "mylabl", "mynum", "myord",
                                         "mytime"]
    assert ("Variables:\n"
            "  Only in self:       5   [Petal.Length, Petal.Width, Sepal.Length, Sepal.Width, "
            "Species]\n"
            "  Only in other:      7   [dtime, mychar, mydate, mylabl, mynum, ... +2]\n") in out
    assert "  number_rows              (150, 485)\n  number_columns           (5, 7)\n" in out
    assert out.endswith("Result: DIFFERENCES FOUND\n")
    assert repr(d) == "MetaDiff(is_match=false, diffs=12)"


def test_report_goes_to_the_file_descriptor_not_sys_stdout(capfdbinary):
    import contextlib
    import io
    buf = io.StringIO()
    with contextlib.redirect_stdout(buf):
        SpssMetadata().diff(SpssMetadata())
    assert buf.getvalue() == ""
    assert capfdbinary.readouterr().out.decode() == MATCH_REPORT


# ----- arguments ---------------------------------------------------------------------------


class FakeNumpyBool:
    """Stands for a NumPy boolean type that lacks a truth-value conversion."""


FakeNumpyBool.__module__ = "numpy"
FakeNumpyBool.__name__ = FakeNumpyBool.__qualname__ = "bool_"


class RaisingNumpyBool:
    def __bool__(self):
        raise ZeroDivisionError("no truth here")


RaisingNumpyBool.__module__ = "numpy"
RaisingNumpyBool.__name__ = RaisingNumpyBool.__qualname__ = "bool"


def truth_values():
    values = [(True, True), (False, False)]
    try:
        import numpy
    except ImportError:
        return values
    return values + [(numpy.bool_(True), True), (numpy.bool_(False), False)]


@pytest.mark.parametrize("flag,prints", truth_values())
def test_print_output_values(capfdbinary, base, flag, prints):
    other = base.with_variable_labels({"x": "X"})
    d, out = output(capfdbinary, base.diff, other, print_output=flag)
    assert bool(out) is prints
    d2, out2 = output(capfdbinary, base.diff, other, flag)  # positionally too
    assert out2 == out
    assert d.variable_labels == d2.variable_labels == quiet(base, other).variable_labels


@pytest.mark.parametrize("flag", [0, 1, None, "yes", 1.0])
def test_print_output_of_another_type(capfdbinary, base, flag):
    capfdbinary.readouterr()
    with pytest.raises(TypeError, match="print_output"):
        base.diff(base, print_output=flag)
    assert capfdbinary.readouterr().out == b""


def test_numpy_bool_without_truth_value(base):
    with pytest.raises(TypeError) as e:
        base.diff(base, print_output=FakeNumpyBool())
    assert e.value.args[0] == (
        "object of type '<class 'numpy.bool_'>' does not define a '__bool__' conversion")
    with pytest.raises(ZeroDivisionError, match="no truth here"):
        base.diff(base, print_output=RaisingNumpyBool())


@pytest.mark.parametrize("other", [None, {}, "meta", 1])
def test_other_must_be_metadata(capfdbinary, other):
    capfdbinary.readouterr()
    with pytest.raises(TypeError, match="other"):
        SpssMetadata().diff(other)
    assert capfdbinary.readouterr().out == b""


def test_diff_arguments():
    m = SpssMetadata()
    with pytest.raises(TypeError):
        m.diff()
    with pytest.raises(TypeError):
        m.diff(m, False, 1)
    with pytest.raises(TypeError):
        m.diff(other=m, print_output=False, extra=1)
    assert m.diff(other=m, print_output=False).is_match
