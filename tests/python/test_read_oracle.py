"""pyreadstat as the oracle: every fixture file read by both, compared field by field.

pyreadstat reads with user_missing=True (user-missing codes stay values, as they do in our
columns) and disable_datetime_conversion=True (temporal columns come as raw SPSS seconds, which
are turned into the Arrow unit here). Where the two agree on the facts but spell them
differently, the comparison translates pyreadstat's spelling; those translations are listed in
CONVENTIONS. Real disagreements on one file are listed in KNOWN_DIFFERENCES with their reason;
an entry whose difference has gone away fails, so the table stays true.
"""

import functools
import math
import re
import struct

import pyarrow as pa
import pyreadstat
import pytest

import _korvel
from sav_fixtures import READABLE

# field -> how pyreadstat's spelling is translated before comparing (applies to every file).
CONVENTIONS = {
    "file_label": "pyreadstat gives None for an empty file label, we give ''",
    "encoding": "encoding names compared case-insensitively: pyreadstat passes the file's own "
    "spelling through ('WINDOWS-1252'), we give the Encoding Standard's name ('windows-1252')",
    "storage_widths": "pyreadstat gives a string's declared width; we give its bytes of storage: "
    "8 for numbers, the width rounded up to a multiple of 8 below 256, the width itself above",
    "missing": "pyreadstat lists every specification as a {lo, hi} pair (discrete values as "
    "lo == hi); ours is one dict per variable (range with an optional discrete value, or a list "
    "of discrete values); both are brought to a list of (lo, hi) pairs. pyreadstat shows the "
    "stored LOWEST and HIGHEST doubles as -inf and inf; we keep the doubles as stored",
    "mr_sets": "pyreadstat spells the kind 'C'/'D' with is_dichotomy and turns a numeric "
    "counted value into an int; ours are 'category'/'dichotomy' and the counted value as text",
    "formats": "both sides parsed into (type, width, decimals): pyreadstat leaves '.0' off "
    "every type but F ('DOLLAR8', 'N10') and prints nonzero decimals of TIME and DATETIME "
    "('TIME11.2'); our text form always prints the decimals of numeric types ('DOLLAR8.0') and "
    "never those of A, AHEX and the date, time and date-time types ('TIME11')",
    "creation_time": "pyreadstat gives a datetime; ours is the text 'YYYY-MM-DD HH:MM:SS'",
    "values": "temporal columns: pyreadstat's raw SPSS seconds x become days "
    "trunc(x / 86400 - 141428), timestamp microseconds trunc((x - 12219379200) * 1e6) and "
    "duration microseconds trunc(x * 1e6); system-missing is NaN there and null here",
}

# (fixture, field, reason): disagreements that are understood and accepted.
KNOWN_DIFFERENCES = [
    (
        "pyreadstat/tegulu.sav",
        "values",
        "the Telugu text of Q16br9oe_Q24br9oe is cut at the variable's width in the middle of a "
        "UTF-8 sequence; we turn the cut sequence into U+FFFD at the end, pyreadstat drops it",
    ),
]

DATE_FORMATS = {"DATE", "ADATE", "JDATE", "MOYR", "QYR", "WKYR", "EDATE", "SDATE"}
DURATION_FORMATS = {"TIME", "DTIME", "MTIME"}
TIMESTAMP_FORMATS = {"DATETIME", "YMDHMS"}
# SPSS writes LOWEST and HIGHEST in missing ranges as the doubles just above -DBL_MAX (whose
# bits are system-missing's) and DBL_MAX; pyreadstat shows all three as infinities.
EXTREMES = {
    struct.unpack("<d", bytes.fromhex(h))[0]
    for h in ("ffffffffffffefff", "feffffffffffefff", "ffffffffffffef7f")
}
# Formats whose text form carries no decimals here (pyreadstat prints nonzero decimals on any
# type and leaves ".0" off everything but F).
NO_DECIMALS = {
    *("A", "AHEX", "DATE", "TIME", "DATETIME", "ADATE", "JDATE", "DTIME", "WKDAY"),
    *("MONTH", "MOYR", "QYR", "WKYR", "EDATE", "SDATE", "MTIME", "YMDHMS"),
}


def format_name(fmt):
    return fmt.rstrip("0123456789.")


@functools.lru_cache(maxsize=None)
def read_both(path):
    data, meta = _korvel._read_sav(path)
    df, theirs = pyreadstat.read_sav(path, user_missing=True, disable_datetime_conversion=True)
    return pa.table(data), meta, df, theirs


def expected_arrow_type(theirs, name):
    if theirs.readstat_variable_types[name] == "string":
        return pa.string_view()
    fmt = format_name(theirs.original_variable_types.get(name) or "")
    if fmt in DATE_FORMATS:
        return pa.date32()
    if fmt in DURATION_FORMATS:
        return pa.duration("us")
    if fmt in TIMESTAMP_FORMATS:
        return pa.timestamp("us")
    return pa.float64()


def is_nan(x):
    return isinstance(x, float) and math.isnan(x)


def to_arrow_unit(x, arrow_type):
    if is_nan(x):
        return None
    if pa.types.is_date32(arrow_type):
        return math.trunc(x / 86400 - 141428)
    if pa.types.is_timestamp(arrow_type):
        return math.trunc((x - 12219379200) * 1000000)
    return math.trunc(x * 1000000)


def column_values(column):
    t = column.type
    if pa.types.is_date32(t):
        return column.cast(pa.int32()).to_pylist()
    if pa.types.is_timestamp(t) or pa.types.is_duration(t):
        return column.cast(pa.int64()).to_pylist()
    return column.to_pylist()


def missing_pairs_ours(spec):
    if spec["type"] == "range":
        pairs = [(spec["low"], spec["high"])]
        if "discrete" in spec:
            pairs.append((spec["discrete"], spec["discrete"]))
        return pairs
    return [(v, v) for v in spec["values"]]


def extreme_as_infinity(x):
    if isinstance(x, float) and x in EXTREMES:
        return math.copysign(math.inf, x)
    return x


def parse_format(text):
    m = re.fullmatch(r"([A-Z]+)(\d+)(?:\.(\d+))?", text)
    assert m, text
    name, width, decimals = m.group(1), int(m.group(2)), int(m.group(3) or 0)
    return (name, width) if name in NO_DECIMALS else (name, width, decimals)


def mr_set_from_pyreadstat(s):
    counted = s["counted_value"]
    return {
        "label": s["label"],
        "type": "dichotomy" if s["is_dichotomy"] else "category",
        "counted_value": None if counted is None else str(counted),
        "variables": list(s["variable_list"]),
    }


def storage_width_from_pyreadstat(theirs, name):
    if theirs.readstat_variable_types[name] != "string":
        return 8
    w = theirs.variable_storage_width[name]
    return w if w >= 256 else (w + 7) // 8 * 8


def mismatch(label, ours, theirs):
    return None if ours == theirs else f"{label}: ours {ours!r} != pyreadstat {theirs!r}"


def compare_rows(table, meta, df, theirs):
    return mismatch("rows", (table.num_rows, meta.number_rows), (len(df), theirs.number_rows))


def compare_names(table, meta, df, theirs):
    return mismatch(
        "names", (table.column_names, meta.variable_names), (list(df.columns), theirs.column_names)
    )


def compare_types(table, meta, df, theirs):
    ours = [f.type for f in table.schema]
    expected = [expected_arrow_type(theirs, n) for n in theirs.column_names]
    return mismatch("arrow types", ours, expected)


def compare_values(table, meta, df, theirs):
    problems = []
    # By position: names are compared on their own.
    for name, column, (_, raw_series) in zip(theirs.column_names, table.columns, df.items()):
        ours = column_values(column)
        raw = raw_series.tolist()
        if pa.types.is_string_view(column.type):
            expected = raw
        elif pa.types.is_floating(column.type):
            expected = [None if is_nan(x) else x for x in raw]
        else:
            expected = [to_arrow_unit(x, column.type) for x in raw]
        if ours != expected:
            bad = [i for i, (a, b) in enumerate(zip(ours, expected)) if a != b][:3]
            shown = [(i, ours[i], expected[i]) for i in bad]
            problems.append(f"{name}: {len(ours)} vs {len(expected)} values, first rows {shown}")
    return "; ".join(problems) or None


def keyed_like_theirs(meta, theirs, ours):
    """Our per-variable dict with its keys replaced, by column position, by pyreadstat's names,
    so that a difference in names shows once (under "names") and not in every field."""
    rename = dict(zip(meta.variable_names, theirs.column_names))
    return {rename.get(k, k): v for k, v in ours.items()}


def compare_variable_labels(table, meta, df, theirs):
    return mismatch(
        "variable labels",
        keyed_like_theirs(meta, theirs, meta.variable_labels),
        dict(zip(theirs.column_names, theirs.column_labels)),
    )


def compare_value_labels(table, meta, df, theirs):
    return mismatch(
        "value labels",
        keyed_like_theirs(meta, theirs, meta.variable_value_labels),
        theirs.variable_value_labels,
    )


def format_text(name, width, decimals=None):
    return f"{name}{width}" if decimals is None else f"{name}{width}.{decimals}"


def compare_formats(table, meta, df, theirs):
    ours = meta.variable_formats
    parsed = {n: parse_format(f) for n, f in ours.items()}
    expected = {n: parse_format(f) for n, f in theirs.original_variable_types.items() if f}
    # Our text must also be in its own canonical spelling.
    return mismatch("formats", keyed_like_theirs(meta, theirs, parsed), expected) or mismatch(
        "format text", list(ours.values()), [format_text(*p) for p in parsed.values()]
    )


def compare_measures(table, meta, df, theirs):
    return mismatch(
        "measures", keyed_like_theirs(meta, theirs, meta.variable_measures), theirs.variable_measure
    )


def compare_alignments(table, meta, df, theirs):
    return mismatch(
        "alignments",
        keyed_like_theirs(meta, theirs, meta.variable_alignments),
        theirs.variable_alignment,
    )


def compare_display_widths(table, meta, df, theirs):
    return mismatch(
        "display widths",
        keyed_like_theirs(meta, theirs, meta.variable_display_widths),
        theirs.variable_display_width,
    )


def compare_storage_widths(table, meta, df, theirs):
    expected = {n: storage_width_from_pyreadstat(theirs, n) for n in theirs.column_names}
    return mismatch(
        "storage widths", keyed_like_theirs(meta, theirs, meta.variable_storage_widths), expected
    )


def compare_missing(table, meta, df, theirs):
    ours = {
        name: [tuple(map(extreme_as_infinity, p)) for p in missing_pairs_ours(spec)]
        for name, spec in meta.variable_missing_values.items()
    }
    expected = {
        name: [(r["lo"], r["hi"]) for r in ranges] for name, ranges in theirs.missing_ranges.items()
    }
    return mismatch("missing values", keyed_like_theirs(meta, theirs, ours), expected) or mismatch(
        "missing user values", {}, dict(theirs.missing_user_values)
    )


def compare_file_label(table, meta, df, theirs):
    return mismatch("file label", meta.file_label, theirs.file_label or "")


def compare_encoding(table, meta, df, theirs):
    theirs_name = (theirs.file_encoding or "").casefold()
    return mismatch("encoding", meta.file_encoding.casefold(), theirs_name)


def compare_notes(table, meta, df, theirs):
    return mismatch("notes", meta.notes, theirs.notes)


def compare_mr_sets(table, meta, df, theirs):
    expected = {k: mr_set_from_pyreadstat(s) for k, s in theirs.mr_sets.items()}
    return mismatch("mr sets", meta.mr_sets, expected)


def compare_creation_time(table, meta, df, theirs):
    return mismatch("creation time", meta.creation_time, str(theirs.creation_time))


COMPARISONS = {
    "rows": compare_rows,
    "names": compare_names,
    "types": compare_types,
    "values": compare_values,
    "variable_labels": compare_variable_labels,
    "value_labels": compare_value_labels,
    "formats": compare_formats,
    "measures": compare_measures,
    "alignments": compare_alignments,
    "display_widths": compare_display_widths,
    "storage_widths": compare_storage_widths,
    "missing": compare_missing,
    "file_label": compare_file_label,
    "encoding": compare_encoding,
    "notes": compare_notes,
    "mr_sets": compare_mr_sets,
    "creation_time": compare_creation_time,
}


def test_the_tables_name_real_fields_and_files():
    for fixture, field, reason in KNOWN_DIFFERENCES:
        assert field in COMPARISONS and reason
        assert not READABLE or fixture in READABLE
    assert set(CONVENTIONS) <= set(COMPARISONS)


@pytest.mark.parametrize("name", READABLE)
def test_agrees_with_pyreadstat(fixtures_dir, name):
    table, meta, df, theirs = read_both(str(fixtures_dir / name))
    found = {}
    for field, compare in COMPARISONS.items():
        problem = compare(table, meta, df, theirs)
        if problem:
            found[field] = problem
    known = {field: reason for fixture, field, reason in KNOWN_DIFFERENCES if fixture == name}
    unexpected = {f: p for f, p in found.items() if f not in known}
    gone = sorted(set(known) - set(found))
    assert not unexpected, "\n".join(f"{f}: {p}" for f, p in unexpected.items())
    assert not gone, f"known differences no longer seen, remove them from the table: {gone}"
