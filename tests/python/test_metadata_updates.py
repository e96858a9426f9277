"""SpssMetadata(**kwargs), update() and the with_ methods: conversions, merge rules, errors,
and that a failed update never leaves a changed object behind."""

import inspect
import math

import pytest

import _korvel
from _korvel import SpssMetadata
from _meta_files import read_fixture, write_sav

DEFAULT_SCHEMA = {
    "file_label": "",
    "file_format": "sav",
    "file_encoding": "UTF-8",
    "creation_time": "",
    "compression": "uncompressed",
    "number_columns": 0,
    "number_rows": None,
    "weight_variable": None,
    "notes": [],
    "variable_names": [],
    "variable_labels": {},
    "variable_value_labels": {},
    "variable_formats": {},
    "variable_measures": {},
    "variable_alignments": {},
    "variable_storage_widths": {},
    "variable_display_widths": {},
    "variable_roles": {},
    "variable_missing_values": {},
    "variable_attributes": {},
    "mr_sets": {},
    "arrow_data_types": {},
}

# with_ method, its argument name, a valid argument, and the property it changes.
WITH_METHODS = [
    ("with_file_label", "label", "L", "file_label"),
    ("with_notes", "notes", ["n"], "notes"),
    ("with_weight_variable", "var", "w", "weight_variable"),
    ("with_variable_labels", "labels", {"a": "x"}, "variable_labels"),
    ("with_variable_value_labels", "labels", {"a": {1: "one"}}, "variable_value_labels"),
    ("with_variable_formats", "formats", {"a": "F8.2"}, "variable_formats"),
    ("with_variable_measures", "measures", {"a": "scale"}, "variable_measures"),
    ("with_variable_display_widths", "widths", {"a": 10}, "variable_display_widths"),
    ("with_variable_alignments", "alignments", {"a": "left"}, "variable_alignments"),
    ("with_variable_missing_values", "missing", {"a": {"type": "discrete", "values": [1]}},
     "variable_missing_values"),
    ("with_variable_roles", "roles", {"a": "input"}, "variable_roles"),
    ("with_variable_attributes", "attributes", {"a": {"k": ["v"]}}, "variable_attributes"),
    ("with_mr_sets", "mr_sets", {"s": {"type": "category", "variables": ["a", "b"]}}, "mr_sets"),
]
DICT_WITH_METHODS = [w for w in WITH_METHODS if isinstance(w[2], dict)]
DICT_KEYWORDS = [w[3] for w in DICT_WITH_METHODS]


def changed(meta, **kwargs):
    """The schema keys whose values differ between meta and meta.update(**kwargs)."""
    before, after = meta.schema, meta.update(**kwargs).schema
    return {k for k in before if before[k] != after[k]}


# ----- construction and plain copies ----------------------------------------------------------


def test_default_construction():
    m = SpssMetadata()
    assert m.schema == DEFAULT_SCHEMA
    assert list(m.schema) == list(DEFAULT_SCHEMA)


def test_constructor_applies_the_update_keywords():
    m = SpssMetadata(file_label="F", notes="one", weight_variable="w",
                     variable_labels={"a": "A"}, variable_measures={"a": "ORDINAL"},
                     compression="zlib", no_such_field=1)
    assert m.file_label == "F"
    assert m.notes == ["one"]
    assert m.weight_variable == "w"
    assert m.variable_labels == {"a": "A"}
    assert m.variable_measures == {"a": "ordinal"}
    # Fields that cannot be set keep their defaults; unknown keywords are ignored.
    assert m.compression == "uncompressed"


def test_constructor_refuses_positional_arguments_and_propagates_errors():
    with pytest.raises(TypeError):
        SpssMetadata({"file_label": "x"})
    with pytest.raises(ValueError, match="^invalid measure 'loud', expected"):
        SpssMetadata(variable_measures={"a": "loud"})


def test_update_without_arguments_is_a_distinct_equal_copy():
    m = SpssMetadata(variable_labels={"a": "A"})
    c = m.update()
    assert c is not m and type(c) is SpssMetadata
    assert c.schema == m.schema


def test_update_refuses_positional_arguments():
    with pytest.raises(TypeError):
        SpssMetadata().update({"file_label": "x"})


@pytest.mark.parametrize("field", ["compression", "file_encoding", "number_rows", "number_columns",
                                   "variable_names", "file_format", "creation_time",
                                   "variable_storage_widths", "arrow_data_types", "nonsense"])
def test_fields_that_cannot_be_set_are_ignored(field):
    m = SpssMetadata()
    assert m.update(**{field: "zlib"}).schema == m.schema


# ----- scalar fields -----------------------------------------------------------------------


def test_file_label_keyword_and_method():
    m = SpssMetadata(file_label="old")
    assert m.update(file_label="new").file_label == "new"
    assert m.update(file_label=None).file_label == ""
    assert m.with_file_label("x").file_label == "x"
    assert m.with_file_label(label="y").file_label == "y"
    with pytest.raises(TypeError):
        m.with_file_label(None)
    with pytest.raises(TypeError):
        m.update(file_label=3)


@pytest.mark.parametrize("notes,expected", [
    ("one note", ["one note"]),
    (["a", "b"], ["a", "b"]),
    (("a", "b"), ["a", "b"]),
    ([], []),
    ("", [""]),
])
def test_notes_accepted(notes, expected):
    assert SpssMetadata().with_notes(notes).notes == expected
    assert SpssMetadata().update(notes=notes).notes == expected


@pytest.mark.parametrize("notes", [None, 5, ["a", 1], [b"x"], b"bytes", {"a"}, {"a": "b"}])
def test_notes_refused(notes):
    with pytest.raises(ValueError) as e:
        SpssMetadata().with_notes(notes)
    assert e.value.args[0] == "notes must be a string or list of strings"


def test_notes_none_keyword_empties_them():
    assert SpssMetadata(notes=["a"]).update(notes=None).notes == []


def test_weight_variable():
    m = SpssMetadata(weight_variable="w")
    assert m.update(weight_variable=None).weight_variable is None
    assert m.with_weight_variable(None).weight_variable is None
    assert m.with_weight_variable(var="v").weight_variable == "v"
    # Not validated against the variable names.
    assert m.update(weight_variable="no such variable").weight_variable == "no such variable"
    with pytest.raises(TypeError):
        m.with_weight_variable(1)


# ----- dict-valued fields: argument types and the merge rule ---------------------------------


@pytest.mark.parametrize("method,param,valid,prop", WITH_METHODS)
def test_with_method_signature_and_effect(method, param, valid, prop):
    m = SpssMetadata()
    f = getattr(m, method)
    assert inspect.signature(f).parameters.keys() == {param}
    by_position, by_keyword = f(valid), f(**{param: valid})
    assert by_position.schema == by_keyword.schema
    assert by_position.schema[prop] != m.schema[prop]
    assert m.schema == DEFAULT_SCHEMA  # the source is untouched
    with pytest.raises(TypeError):
        f(**{param + "_x": valid})
    with pytest.raises(TypeError):
        f()


@pytest.mark.parametrize("method,param,valid,prop", DICT_WITH_METHODS)
@pytest.mark.parametrize("bad", [None, [("a", "b")], "a"])
def test_with_method_argument_must_be_a_dict(method, param, valid, prop, bad):
    with pytest.raises(TypeError, match=param):
        getattr(SpssMetadata(), method)(bad)


@pytest.mark.parametrize("keyword", DICT_KEYWORDS)
def test_dict_keyword_none_changes_nothing_and_non_dict_is_refused(keyword):
    m = SpssMetadata(variable_labels={"a": "x"})
    assert m.update(**{keyword: None}).schema == m.schema
    with pytest.raises(TypeError):
        m.update(**{keyword: [("a", "b")]})


@pytest.mark.parametrize("method,param,valid,prop", DICT_WITH_METHODS)
def test_dict_keys_must_be_str(method, param, valid, prop):
    value = next(iter(valid.values()))
    with pytest.raises(TypeError):
        getattr(SpssMetadata(), method)({1: value})


@pytest.mark.parametrize("method,param,valid,prop", DICT_WITH_METHODS)
def test_merge_rule(method, param, valid, prop):
    value = next(iter(valid.values()))
    f = lambda m, d: getattr(m, method)(d)
    m = f(SpssMetadata(), {"a": value, "b": value, "c": value, "d": value})
    assert list(m.schema[prop]) == ["a", "b", "c", "d"]
    # Removing a middle key moves the last one into its place.
    assert list(f(m, {"b": None}).schema[prop]) == ["a", "d", "c"]
    # Removing an absent key does nothing; a new key is appended.
    assert list(f(m, {"zz": None, "e": value}).schema[prop]) == ["a", "b", "c", "d", "e"]
    # Removals and insertions run in the dict's order.
    assert list(f(m, {"a": None, "a2": value}).schema[prop]) == ["d", "b", "c", "a2"]


def test_replacing_a_value_keeps_its_position():
    m = SpssMetadata(variable_labels={"a": "1", "b": "2", "c": "3"})
    assert m.with_variable_labels({"a": "one"}).variable_labels == {"a": "one", "b": "2", "c": "3"}
    assert list(m.with_variable_labels({"a": "one"}).variable_labels) == ["a", "b", "c"]


def test_labels_with_b_removed_read_a_c():
    m = SpssMetadata(variable_labels={"a": "1", "b": "2", "c": "3"})
    assert list(m.update(variable_labels={"b": None}).variable_labels) == ["a", "c"]


@pytest.mark.parametrize("keyword", ["variable_labels", "variable_formats"])
@pytest.mark.parametrize("bad", [1, 1.5, b"x", ["x"]])
def test_text_values_must_be_str(keyword, bad):
    with pytest.raises(TypeError):
        SpssMetadata().update(**{keyword: {"a": bad}})


def test_formats_are_stored_without_validation():
    assert SpssMetadata().with_variable_formats({"a": "not a format"}).variable_formats == {
        "a": "not a format"}


# ----- coded values ----------------------------------------------------------------------

CODED = [
    ("with_variable_measures", "variable_measures",
     ["nominal", "ordinal", "scale", "unknown"],
     "invalid measure '{}', expected: nominal, ordinal, scale, unknown"),
    ("with_variable_roles", "variable_roles",
     ["input", "target", "both", "none", "partition", "split"],
     "invalid role '{}', expected: input, target, both, none, partition, split"),
    ("with_variable_alignments", "variable_alignments",
     ["left", "right", "center"],
     "invalid alignment '{}', expected: left, right, center"),
]


@pytest.mark.parametrize("method,prop,names,message", CODED)
def test_coded_values_accept_any_letter_case(method, prop, names, message):
    for name in names:
        for given in (name, name.upper(), name.capitalize()):
            assert getattr(SpssMetadata(), method)({"v": given}).schema[prop] == {"v": name}


@pytest.mark.parametrize("method,prop,names,message", CODED)
@pytest.mark.parametrize("given", ["Bogus", "", " scale", "nominal ", "centre", "UNKNOWN-ish"])
def test_coded_values_refused_quote_the_callers_text(method, prop, names, message, given):
    with pytest.raises(ValueError) as e:
        getattr(SpssMetadata(), method)({"v": given})
    assert e.value.args[0] == message.format(given)


def test_unknown_alignment_cannot_be_set():
    with pytest.raises(ValueError) as e:
        SpssMetadata().with_variable_alignments({"v": "Unknown"})
    assert e.value.args[0] == "invalid alignment 'Unknown', expected: left, right, center"


def test_measure_lowercasing_is_unicode_aware():
    # KELVIN SIGN lower-cases to an ASCII k.
    assert SpssMetadata().with_variable_measures({"v": "UN\u212aNOWN"}).variable_measures == {
        "v": "unknown"}


@pytest.mark.parametrize("method", ["with_variable_measures", "with_variable_roles",
                                    "with_variable_alignments"])
@pytest.mark.parametrize("bad", [1, 1.5, ["scale"]])
def test_coded_values_must_be_str(method, bad):
    with pytest.raises(TypeError):
        getattr(SpssMetadata(), method)({"v": bad})


# ----- display widths ----------------------------------------------------------------------


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


@pytest.mark.parametrize("width,expected", [(0, 0), (8, 8), (2**32 - 1, 2**32 - 1), (True, 1),
                                            (Index(12), 12)])
def test_display_width_accepted(width, expected):
    m = SpssMetadata().with_variable_display_widths({"a": width})
    assert m.variable_display_widths == {"a": expected}
    assert type(m.variable_display_widths["a"]) is int


@pytest.mark.parametrize("width", [-1, 2**32, 2**64, -(2**70)])
def test_display_width_out_of_range(width):
    with pytest.raises(OverflowError) as e:
        SpssMetadata().with_variable_display_widths({"a": width})
    assert e.value.args[0] == "out of range integral type conversion attempted"


@pytest.mark.parametrize("width", [8.0, "8", [8]])
def test_display_width_must_be_an_int(width):
    with pytest.raises(TypeError):
        SpssMetadata().update(variable_display_widths={"a": width})


# ----- value labels ------------------------------------------------------------------------


class Floaty:
    def __float__(self):
        return 2.5


@pytest.mark.parametrize("labels,expected", [
    ({1: "one", 2: "two"}, {1.0: "one", 2.0: "two"}),
    ({1.5: "x"}, {1.5: "x"}),
    ({True: "t"}, {1.0: "t"}),
    ({"1": "str one", 1: "num one"}, {"1": "str one", 1.0: "num one"}),
    ({Floaty(): "floaty"}, {2.5: "floaty"}),
    ({Index(7): "index"}, {7.0: "index"}),
    ({}, {}),
])
def test_value_labels_conversion(labels, expected):
    got = SpssMetadata().with_variable_value_labels({"v": labels}).variable_value_labels["v"]
    assert got == expected
    assert [type(k) for k in got] == [type(k) for k in expected]
    assert [type(k) for k in got if not isinstance(k, str)] == [float] * sum(
        not isinstance(k, str) for k in got)


class Key:
    """A value-label key object that converts to the given float; distinct objects stay
    distinct dict keys even when their floats are equal."""

    def __init__(self, v):
        self.v = v

    def __float__(self):
        return self.v


def test_value_labels_replace_the_whole_map_of_a_variable():
    m = SpssMetadata(variable_value_labels={"v": {1: "one", 2: "two"}, "w": {1: "x"}})
    m2 = m.with_variable_value_labels({"v": {3: "three"}})
    assert m2.variable_value_labels == {"v": {3.0: "three"}, "w": {1.0: "x"}}


def test_value_labels_later_equal_key_replaces_in_place():
    got = SpssMetadata().with_variable_value_labels({"v": {Key(1.0): "a", Key(2.0): "b",
                                                            Key(1.0): "c"}})
    assert list(got.variable_value_labels["v"].items()) == [(1.0, "c"), (2.0, "b")]


@pytest.mark.parametrize("labels,exc", [
    ({1: 2}, TypeError),           # a label that is not a str
    ({1: None}, TypeError),
    ({object(): "x"}, TypeError),  # a key with neither number nor text
    ({10**400: "x"}, TypeError),   # too large for a float or a 64-bit integer
    ({b"k": "x"}, TypeError),
])
def test_value_labels_refused(labels, exc):
    with pytest.raises(exc):
        SpssMetadata().with_variable_value_labels({"v": labels})


def test_value_labels_inner_value_must_be_a_dict():
    with pytest.raises(TypeError):
        SpssMetadata().with_variable_value_labels({"v": [(1, "one")]})


# ----- missing values -----------------------------------------------------------------------

MISSING_OK = [
    ({"type": "discrete", "values": [1, 2, 3]}, {"type": "discrete", "values": [1.0, 2.0, 3.0]}),
    ({"type": "discrete", "values": [1.5]}, {"type": "discrete", "values": [1.5]}),
    ({"type": "discrete", "values": ["a", "a"]}, {"type": "discrete", "values": ["a", "a"]}),
    ({"type": "discrete", "values": ["12345678"]}, {"type": "discrete", "values": ["12345678"]}),
    ({"type": "discrete", "values": [0.0, -0.0]}, {"type": "discrete", "values": [0.0, -0.0]}),
    ({"type": "discrete", "values": [Floaty(), Index(4)]},
     {"type": "discrete", "values": [2.5, 4.0]}),
    ({"type": "discrete", "values": []}, {"type": "discrete", "values": []}),
    ({"type": "range", "low": 1, "high": 9}, {"type": "range", "low": 1.0, "high": 9.0}),
    ({"type": "range", "low": 1, "high": 9, "discrete": None},
     {"type": "range", "low": 1.0, "high": 9.0}),
    ({"type": "range", "low": 1, "high": 9, "discrete": 99},
     {"type": "range", "low": 1.0, "high": 9.0, "discrete": 99.0}),
    ({"type": "range", "low": 1, "high": 9, "discrete": 1},
     {"type": "range", "low": 1.0, "high": 9.0, "discrete": 1.0}),
    ({"type": "range", "low": 1, "high": 9, "discrete": 9.0},
     {"type": "range", "low": 1.0, "high": 9.0, "discrete": 9.0}),
    ({"type": "range", "low": -math.inf, "high": 0}, {"type": "range", "low": -math.inf, "high": 0.0}),
]


@pytest.mark.parametrize("spec,expected", MISSING_OK)
def test_missing_values_accepted(spec, expected):
    got = SpssMetadata().with_variable_missing_values({"v": spec}).variable_missing_values["v"]
    assert got == expected
    assert list(got) == list(expected)
    if expected["type"] == "discrete" and expected["values"] == [0.0, -0.0]:
        assert [math.copysign(1, x) for x in got["values"]] == [1, -1]


MISSING_ERRORS = [
    ({}, ValueError, "missing_values dict requires 'type' key ('discrete' or 'range')"),
    ({"values": [1]}, ValueError, "missing_values dict requires 'type' key ('discrete' or 'range')"),
    ({"type": "Discrete", "values": [1]}, ValueError,
     "invalid missing value type 'Discrete', expected: 'discrete' or 'range'"),
    ({"type": "RANGE", "low": 1, "high": 2}, ValueError,
     "invalid missing value type 'RANGE', expected: 'discrete' or 'range'"),
    ({"type": "discrete"}, ValueError, "discrete missing values requires 'values' key"),
    ({"type": "discrete", "values": [1, 2, 3, 4]}, ValueError,
     "maximum 3 discrete missing values allowed"),
    ({"type": "discrete", "values": ["a", "b", "c", "d"]}, ValueError,
     "maximum 3 discrete missing values allowed"),
    ({"type": "discrete", "values": [1, 1]}, ValueError,
     "discrete missing values must be unique (no duplicates)"),
    ({"type": "discrete", "values": [2, 3, 2.0]}, ValueError,
     "discrete missing values must be unique (no duplicates)"),
    ({"type": "discrete", "values": [1, "a"]}, ValueError,
     "missing values cannot mix numeric and string types"),
    ({"type": "discrete", "values": ["abcdefghi"]}, ValueError,
     "string missing value 'abcdefghi' exceeds 8 characters"),
    # Eight characters but ten bytes in UTF-8.
    ({"type": "discrete", "values": ["\u00e9\u00e9abcdef"]}, ValueError,
     "string missing value '\u00e9\u00e9abcdef' exceeds 8 characters"),
    ({"type": "range", "high": 2}, ValueError, "range missing values requires 'low' key"),
    ({"type": "range", "low": 1}, ValueError, "range missing values requires 'high' key"),
    ({"type": "range", "low": 5, "high": 5}, ValueError,
     "range 'low' (5) must be less than 'high' (5)"),
    ({"type": "range", "low": 0.1, "high": -2.5}, ValueError,
     "range 'low' (0.1) must be less than 'high' (-2.5)"),
    ({"type": "range", "low": 1e21, "high": 1}, ValueError,
     "range 'low' (1000000000000000000000) must be less than 'high' (1)"),
    ({"type": "range", "low": 1e-7, "high": 0}, ValueError,
     "range 'low' (0.0000001) must be less than 'high' (0)"),
    ({"type": "range", "low": math.nan, "high": 1}, ValueError,
     "range 'low' (NaN) must be less than 'high' (1)"),
    ({"type": "range", "low": 1, "high": 9, "discrete": 7}, ValueError,
     "discrete value (7) must not fall between low (1) and high (9)"),
    ({"type": "range", "low": 1, "high": 9.5, "discrete": 1.25}, ValueError,
     "discrete value (1.25) must not fall between low (1) and high (9.5)"),
    ({"type": 1}, TypeError, None),
    ({"type": "discrete", "values": (1, 2)}, TypeError, None),
    ({"type": "discrete", "values": 1}, TypeError, None),
    ({"type": "discrete", "values": [None]}, TypeError, None),
    ({"type": "discrete", "values": [b"x"]}, TypeError, None),
    ({"type": "range", "low": "1", "high": 2}, TypeError, None),
    ({"type": "range", "low": 1, "high": None}, TypeError, None),
    ({"type": "range", "low": 1, "high": 2, "discrete": "3"}, TypeError, None),
]


@pytest.mark.parametrize("spec,exc,message", MISSING_ERRORS)
def test_missing_values_refused(spec, exc, message):
    m = SpssMetadata()
    with pytest.raises(exc) as e:
        m.with_variable_missing_values({"v": spec})
    if message is not None:
        assert e.value.args[0] == message
    with pytest.raises(exc):
        m.update(variable_missing_values={"v": spec})


def test_missing_values_inner_value_must_be_a_dict():
    with pytest.raises(TypeError):
        SpssMetadata().with_variable_missing_values({"v": [1, 2]})


# ----- attributes ---------------------------------------------------------------------------


def test_attributes_replace_the_whole_map_of_a_variable():
    m = SpssMetadata(variable_attributes={"v": {"a": ["1"], "b": ["2", "3"]}})
    assert m.variable_attributes == {"v": {"a": ["1"], "b": ["2", "3"]}}
    m2 = m.with_variable_attributes({"v": {"c": ("x", "y"), "d": []}})
    assert m2.variable_attributes == {"v": {"c": ["x", "y"], "d": []}}
    assert list(m2.variable_attributes["v"]) == ["c", "d"]


@pytest.mark.parametrize("attrs", [
    {"a": "single string"},
    {"a": None},
    {"a": [1]},
    {"a": ["x", None]},
    {"a": {"x"}},
    {1: ["x"]},
    ["a"],
])
def test_attributes_refused(attrs):
    with pytest.raises(TypeError):
        SpssMetadata().with_variable_attributes({"v": attrs})


# ----- multiple-response sets ---------------------------------------------------------------


@pytest.mark.parametrize("spec,expected", [
    ({"type": "dichotomy", "variables": ["a", "b"], "counted_value": 1.0},
     {"label": "", "type": "dichotomy", "counted_value": "1", "variables": ["a", "b"]}),
    ({"type": "dichotomy", "variables": ["a", "b"], "counted_value": 1.5, "label": "L"},
     {"label": "L", "type": "dichotomy", "counted_value": "1.5", "variables": ["a", "b"]}),
    ({"type": "dichotomy", "variables": ("a", "b", "c"), "counted_value": 3},
     {"label": "", "type": "dichotomy", "counted_value": "3", "variables": ["a", "b", "c"]}),
    ({"type": "dichotomy", "variables": ["a", "b"], "counted_value": True},
     {"label": "", "type": "dichotomy", "counted_value": "1", "variables": ["a", "b"]}),
    ({"type": "dichotomy", "variables": ["a", "b"], "counted_value": 10**20},
     {"label": "", "type": "dichotomy", "counted_value": "100000000000000000000",
      "variables": ["a", "b"]}),
    ({"type": "dichotomy", "variables": ["a", "b"], "counted_value": 1e20},
     {"label": "", "type": "dichotomy", "counted_value": "9223372036854775807",
      "variables": ["a", "b"]}),
    ({"type": "dichotomy", "variables": ["a", "b"], "counted_value": -2.0},
     {"label": "", "type": "dichotomy", "counted_value": "-2", "variables": ["a", "b"]}),
    ({"type": "dichotomy", "variables": ["a", "b"], "counted_value": "yes", "label": None},
     {"label": "", "type": "dichotomy", "counted_value": "yes", "variables": ["a", "b"]}),
    ({"type": "category", "variables": ["a", "b"], "counted_value": 5, "label": "cat"},
     {"label": "cat", "type": "category", "counted_value": None, "variables": ["a", "b"]}),
    # Member names are not checked against the variables.
    ({"type": "category", "variables": ["zz", "yy"]},
     {"label": "", "type": "category", "counted_value": None, "variables": ["zz", "yy"]}),
])
def test_mr_set_accepted(spec, expected):
    got = SpssMetadata().with_mr_sets({"set1": spec}).mr_sets
    assert got == {"set1": expected}
    assert list(got["set1"]) == ["label", "type", "counted_value", "variables"]


MR_ERRORS = [
    ({"variables": ["a", "b"]}, ValueError,
     "MR set requires 'type' key ('dichotomy' or 'category')"),
    ({"type": "Category", "variables": ["a", "b"]}, ValueError,
     "invalid MR set type 'Category', expected: 'dichotomy' or 'category'"),
    ({"type": "multi", "variables": ["a", "b"]}, ValueError,
     "invalid MR set type 'multi', expected: 'dichotomy' or 'category'"),
    ({"type": "category"}, ValueError, "MR set requires 'variables' key"),
    ({"type": "category", "variables": ["a"]}, ValueError, "MR set must have at least 2 variables"),
    ({"type": "category", "variables": []}, ValueError, "MR set must have at least 2 variables"),
    ({"type": "dichotomy", "variables": ["a", "b"]}, ValueError,
     "dichotomy MR set requires 'counted_value'"),
    ({"type": "dichotomy", "variables": ["a", "b"], "counted_value": None}, ValueError,
     "dichotomy MR set requires a non-None 'counted_value'"),
    ({"type": 1, "variables": ["a", "b"]}, TypeError, None),
    ({"type": "category", "variables": "ab"}, TypeError, None),
    ({"type": "category", "variables": ["a", 2]}, TypeError, None),
    ({"type": "category", "variables": ["a", "b"], "label": 3}, TypeError, None),
    ({"type": "dichotomy", "variables": ["a", "b"], "counted_value": [1]}, TypeError, None),
]


@pytest.mark.parametrize("spec,exc,message", MR_ERRORS)
def test_mr_set_refused(spec, exc, message):
    with pytest.raises(exc) as e:
        SpssMetadata().with_mr_sets({"s": spec})
    if message is not None:
        assert e.value.args[0] == message


def test_mr_set_inner_value_must_be_a_dict():
    with pytest.raises(TypeError):
        SpssMetadata().with_mr_sets({"s": ["a", "b"]})


def test_mr_set_replaces_a_set_of_the_same_name():
    m = SpssMetadata(mr_sets={"s": {"type": "category", "variables": ["a", "b"], "label": "L"}})
    m2 = m.with_mr_sets({"s": {"type": "dichotomy", "variables": ["c", "d"], "counted_value": 2}})
    assert m2.mr_sets == {"s": {"label": "", "type": "dichotomy", "counted_value": "2",
                                "variables": ["c", "d"]}}


# ----- keyword order and atomicity ----------------------------------------------------------


def test_keywords_apply_in_fixed_order_whatever_the_call_order():
    # The first failing keyword in the fixed order is the one reported: notes before
    # variable_measures, variable_measures before mr_sets.
    kwargs = {"mr_sets": {"s": {}}, "variable_measures": {"a": "bad"}, "notes": 5}
    with pytest.raises(ValueError, match="^notes must be"):
        SpssMetadata().update(**kwargs)
    del kwargs["notes"]
    with pytest.raises(ValueError, match="^invalid measure"):
        SpssMetadata().update(**kwargs)


FAILING_UPDATES = [
    dict(variable_labels={"a": "new"}, mr_sets={"s": {"type": "bogus"}}),
    dict(file_label="changed", variable_missing_values={"a": {"type": "range", "low": 2, "high": 1}}),
    dict(variable_labels={"a": "new", "b": 5}),
    dict(variable_value_labels={"a": {1: "x", 2: None}}),
    dict(notes="fine", variable_display_widths={"a": 1, "b": -1}),
    dict(variable_attributes={"a": {"k": ["v"]}, "b": {"k": "v"}}),
]


@pytest.mark.parametrize("kwargs", FAILING_UPDATES)
def test_a_failed_update_leaves_the_source_unchanged(kwargs):
    m = SpssMetadata(file_label="orig", variable_labels={"a": "old"}, notes=["n"])
    before = m.schema
    with pytest.raises((ValueError, TypeError, OverflowError)):
        m.update(**kwargs)
    with pytest.raises((ValueError, TypeError, OverflowError)):
        SpssMetadata(**kwargs)
    assert m.schema == before


class Mutator:
    """A width whose integer conversion adds a key to the dict being merged."""

    def __init__(self, target):
        self.target = target

    def __index__(self):
        self.target["added"] = 1
        return 1


def test_a_dict_changed_while_it_is_merged_stops_the_update():
    widths = {"a": 1}
    widths["b"] = Mutator(widths)
    m = SpssMetadata()
    with pytest.raises(RuntimeError):
        m.with_variable_display_widths(widths)
    assert m.variable_display_widths == {}


def test_an_inner_dict_changed_while_it_is_converted_stops_the_update():
    labels = {}

    class Key:
        def __float__(self):
            labels[99] = "added"
            return 1.0

    labels[Key()] = "k"
    labels[2] = "two"
    with pytest.raises(RuntimeError):
        SpssMetadata().with_variable_value_labels({"v": labels})


# ----- on metadata read from files ----------------------------------------------------------


def test_changes_on_file_metadata_show_exactly_the_changes(fixtures_dir):
    orig = read_fixture(fixtures_dir, "pyreadstat/sample_large.sav")
    changed_meta = (orig.update(file_label="Changed", variable_labels={"mynum": "Number"})
                    .with_variable_measures({"mylabl": "nominal"})
                    .with_variable_roles({"myord": "target"})
                    .with_variable_display_widths({"mychar": 20})
                    .with_variable_value_labels({"mylabl": {1: "one", 2: "two"}})
                    .with_variable_missing_values({"mynum": {"type": "discrete", "values": [99]}})
                    .with_variable_attributes({"mydate": {"origin": ["file"]}})
                    .with_variable_formats({"mynum": "F10.3"})
                    .with_mr_sets({"set": {"type": "category", "variables": ["mynum", "myord"]}})
                    .with_notes("a note").with_weight_variable("mynum")
                    .with_variable_alignments({"mychar": "center"}))
    d = orig.diff(changed_meta, print_output=False)
    assert d.file_level == {"file_label": ("", "Changed")}
    assert d.variables_only_in_self == [] and d.variables_only_in_other == []
    assert d.variable_labels == [{"variable": "mynum", "self": "", "other": "Number"}]
    assert d.variable_measures == [{"variable": "mylabl", "self": "unknown", "other": "nominal"}]
    assert d.variable_roles == [{"variable": "myord", "self": "(none)", "other": "target"}]
    assert d.variable_display_widths == [{"variable": "mychar", "self": 8, "other": 20}]
    assert d.variable_value_labels == [{"variable": "mylabl", "self_count": 0, "other_count": 2}]
    assert d.variable_missing_values == [
        {"variable": "mynum", "self_has_missing": False, "other_has_missing": True}]
    assert d.variable_attributes == [
        {"variable": "mydate", "self": "(none)", "other": '{"origin": ["file"]}'}]
    assert d.variable_formats == [{"variable": "mynum", "self": "F8.2", "other": "F10.3"}]
    assert d.mr_sets == [{"key": "set", "status": "only_in_other"}]
    assert d.variable_storage_widths == []
    # Fields outside the diff, compared through the schema: only those changed differ.
    a, b = orig.schema, changed_meta.schema
    assert {k for k in a if a[k] != b[k]} == {
        "file_label", "notes", "weight_variable", "variable_labels", "variable_value_labels",
        "variable_formats", "variable_measures", "variable_display_widths",
        "variable_alignments", "variable_roles", "variable_missing_values",
        "variable_attributes", "mr_sets"}
    assert b["variable_alignments"] == {**a["variable_alignments"], "mychar": "center"}
    assert b["variable_formats"] == {**a["variable_formats"], "mynum": "F10.3"}
    # Positions of replaced entries stay put.
    assert list(b["variable_formats"]) == list(a["variable_formats"])
    # The source is untouched.
    assert orig.schema == read_fixture(fixtures_dir, "pyreadstat/sample_large.sav").schema


def test_removal_on_file_metadata_moves_the_last_entry(fixtures_dir):
    orig = read_fixture(fixtures_dir, "pyreadstat/sample_large.sav")
    names = list(orig.variable_formats)
    m = orig.with_variable_formats({names[1]: None})
    assert list(m.variable_formats) == [names[0], names[-1]] + names[2:-1]
    d = orig.diff(m, print_output=False)
    assert d.variable_formats == [{"variable": names[1], "self": orig.variable_formats[names[1]],
                                   "other": ""}]
    assert changed(orig, variable_formats={names[1]: None}) == {"variable_formats"}


def test_keys_outside_the_variable_names_are_stored(fixtures_dir):
    orig = read_fixture(fixtures_dir, "pyreadstat/sample_large.sav")
    m = orig.with_variable_formats({"not_a_variable": "F1.0"})
    assert m.variable_formats["not_a_variable"] == "F1.0"
    assert list(m.variable_formats)[-1] == "not_a_variable"
    # Labels are shown per variable name, so a stray label stays invisible there.
    assert orig.with_variable_labels({"stray": "x"}).variable_labels == orig.variable_labels


def test_file_written_with_pyreadstat_keeps_untouched_fields(tmp_path):
    orig = write_sav(tmp_path / "t.sav", {"a": [1.0, 2.0], "s": ["x", "y"]},
                     column_labels={"a": "A"}, variable_value_labels={"a": {1: "one"}},
                     missing_ranges={"a": [9]}, file_label="F")
    m = orig.update(variable_labels={"s": "S"})
    assert changed(orig, variable_labels={"s": "S"}) == {"variable_labels"}
    assert m.variable_labels == {"a": "A", "s": "S"}
    assert m.variable_value_labels == orig.variable_value_labels
    assert m.variable_missing_values == {"a": {"type": "discrete", "values": [9.0]}}


# ----- registration -------------------------------------------------------------------------

DOCS = {
    "update": ("($self, **kwargs)",
               "Return a new SpssMetadata with the given fields merged/replaced.\n\n"
               "Dict fields merge at the variable-name level (new keys added,\n"
               "existing overwritten). Pass ``{key: None}`` to remove a key.\n"
               "Scalar fields (file_label, weight_variable) are replaced."),
    "summary": ("($self)", "Print a formatted summary of the metadata."),
    "describe": ("($self, names)", "Print detailed metadata for one or more variables."),
    "diff": ("($self, other, print_output=True)",
             "Compare this metadata to another. Returns a MetaDiff object."),
    "with_file_label": ("($self, label)", "Return a new SpssMetadata with the file label set."),
    "with_notes": ("($self, notes)", "Return a new SpssMetadata with notes set."),
    "with_weight_variable": ("($self, var)", "Return a new SpssMetadata with the weight variable "
                             "set (or cleared with None)."),
    "with_variable_labels": ("($self, labels)",
                             "Return a new SpssMetadata with variable labels merged."),
    "with_variable_value_labels": ("($self, labels)",
                                   "Return a new SpssMetadata with variable value labels merged."),
    "with_variable_formats": ("($self, formats)",
                              "Return a new SpssMetadata with variable formats merged."),
    "with_variable_measures": ("($self, measures)",
                               "Return a new SpssMetadata with variable measures merged."),
    "with_variable_display_widths": ("($self, widths)", "Return a new SpssMetadata with variable "
                                     "display widths merged."),
    "with_variable_alignments": ("($self, alignments)",
                                 "Return a new SpssMetadata with variable alignments merged."),
    "with_variable_missing_values": ("($self, missing)", "Return a new SpssMetadata with variable "
                                     "missing values merged."),
    "with_variable_roles": ("($self, roles)",
                            "Return a new SpssMetadata with variable roles merged."),
    "with_variable_attributes": ("($self, attributes)",
                                 "Return a new SpssMetadata with variable attributes merged."),
    "with_mr_sets": ("($self, mr_sets)", "Return a new SpssMetadata with MR sets merged."),
}


@pytest.mark.parametrize("name", DOCS)
def test_method_documentation(name):
    signature, text = DOCS[name]
    method = getattr(SpssMetadata, name)
    assert method.__text_signature__ == signature
    assert method.__doc__ == text


def test_method_registration_order():
    methods = [k for k, v in vars(SpssMetadata).items() if inspect.ismethoddescriptor(v)
               and not k.startswith("__")]
    assert methods == ["update", "check_var", "label", "format", "measure", "role", "attribute",
                       "value", "summary", "describe", "diff"] + [w[0] for w in WITH_METHODS]
