"""Files of a few hundred bytes that declare huge counts, lengths, widths and block sizes: each is
refused with OSError or read with memory in proportion to the file, never allocated as declared.

Every file is read in a child process under an address-space limit, through the three read
paths (metadata only, whole file, batches), and the child's peak resident memory is checked."""

import json
import struct

import pyarrow as pa
import pytest

from _sav_builder import SavBuilder
from conftest import SANITIZED
from sav_fixtures import run_python

INT_MAX = 2**31 - 1
# The whole-file read buffers up to 64 MiB of the file (here: all of it); anything beyond the
# interpreter and these few hundred bytes means the reader believed a declared size.
PEAK_GROWTH_LIMIT = 64 << 20
ADDRESS_SPACE_LIMIT = 4 << 30


# ----- files -----------------------------------------------------------------------------------


def numeric_file(big, *, ncases=-1, nominal=1, compression=0, rows=(1.0, 2.0, 3.0), records=None,
                 variables=None, zlib_kwargs=None):
    """One numeric variable X (or `variables(b)`), `records(b)` before the end of the
    dictionary, then `rows` as case data in the given compression."""
    b = SavBuilder(big).header(nominal_case_size=nominal, compression=compression, ncases=ncases)
    if variables is None:
        b.variable("X")
    else:
        variables(b)
    if records is not None:
        records(b)
    b.end_dictionary()
    if compression == 0:
        b.f64(*rows)
    elif compression == 1:
        b.raw(b.bytecode(rows))
    else:
        b.zlib_data([b.bytecode(rows)], **(zlib_kwargs or {}))
    return b.bytes()


def string_file(big, width, records):
    """One string variable S of `width` bytes, with its continuation records, and one case."""

    def variables(b):
        b.variable("S", type_code=width)
        for _ in range((width - 1) // 8):
            b.continuation()

    slots = (width + 7) // 8
    return numeric_file(big, nominal=slots, rows=[0.0] * slots, variables=variables, records=records)


def numbered_variables(n):
    def variables(b):
        for i in range(n):
            b.variable(f"V{i}")

    return variables


def ext(subtype, payload=b"", size=1, count=None):
    return lambda b: b.extension(subtype, payload, size, count)


def i32(b, *values):
    return struct.pack(f"{b.order}{len(values)}i", *values)


def long_string_labels(name_len=1, count=1, value_len=1, label_len=1):
    def record(b):
        body = i32(b, name_len) + b"S" + i32(b, 16, count, value_len) + b"a" + i32(b, label_len) + b"L"
        b.extension(21, body)

    return record


def long_string_missing(name_len=1, count=1, value_len=8):
    def record(b):
        b.extension(22, i32(b, name_len) + b"S" + bytes([count]) + i32(b, value_len) + b"abcdefgh")

    return record


def mr_sets(text):
    return ext(7, text.encode())


EXTENSION_SUBTYPES = [3, 4, 7, 11, 13, 14, 17, 18, 19, 20, 21, 22, 99]
EXTENSION_SIZES = [(1, INT_MAX), (INT_MAX, INT_MAX), (4, 2**30), (8, 2**28)]

CASES = {
    # The header.
    "header case count, uncompressed": lambda big: numeric_file(big, ncases=INT_MAX),
    "header case count, bytecode": lambda big: numeric_file(big, ncases=INT_MAX, compression=1),
    "header case count, zlib": lambda big: numeric_file(big, ncases=INT_MAX, compression=2),
    # The case count sizes each column's first allocation: a few kilobytes of variable records
    # multiply it.
    "header case count, many columns": lambda big: numeric_file(
        big, nominal=400, ncases=INT_MAX, rows=[1.0] * 400, variables=numbered_variables(400)),
    "header case count, many columns, bytecode": lambda big: numeric_file(
        big, nominal=400, ncases=INT_MAX, compression=1, rows=[1.0] * 400,
        variables=numbered_variables(400)),
    "nominal case size": lambda big: numeric_file(big, nominal=INT_MAX),
    "nominal case size, bytecode": lambda big: numeric_file(big, nominal=INT_MAX, compression=1),
    # Variable records.
    "string width": lambda big: numeric_file(
        big, nominal=INT_MAX, variables=lambda b: b.variable("S", type_code=INT_MAX)),
    "string width without its continuations": lambda big: numeric_file(
        big, nominal=32, variables=lambda b: b.variable("S", type_code=255)),
    "variable label length": lambda big: numeric_file(
        big, variables=lambda b: b.variable("X", label="short", label_len=INT_MAX)),
    "variable label length, negative": lambda big: numeric_file(
        big, variables=lambda b: b.variable("X", label="short", label_len=-16)),
    "missing-value count": lambda big: numeric_file(
        big, variables=lambda b: b.variable("X", missing=(1.0,), n_missing=INT_MAX)),
    "missing-value count, negative": lambda big: numeric_file(
        big, variables=lambda b: b.variable("X", missing=(1.0,), n_missing=-(2**31))),
    # Value labels.
    "value-label count": lambda big: numeric_file(
        big, records=lambda b: b.value_labels([(1.0, "one")], count=INT_MAX)),
    "value-label count times slot": lambda big: numeric_file(
        big, records=lambda b: b.value_labels([(1.0, "one")], count=2**28)),
    "value-label variable count": lambda big: numeric_file(
        big, records=lambda b: b.value_labels([(1.0, "one")], index_count=INT_MAX)),
    # Documents.
    "document line count": lambda big: numeric_file(
        big, records=lambda b: b.document(["line"], count=INT_MAX)),
    "document line count times line width": lambda big: numeric_file(
        big, records=lambda b: b.document(["line"], count=2**25)),
    # Very long strings.
    "very long string width": lambda big: string_file(big, 255, ext(14, b"S=2147483647\0\t")),
    "very long string width, 2^32": lambda big: string_file(big, 255, ext(14, b"S=4294967296\0\t")),
    "very long string width, 2^64 - 1": lambda big: string_file(
        big, 255, ext(14, b"S=18446744073709551615\0\t")),
    # Long-string value labels and missing values.
    "long-string label name length": lambda big: string_file(big, 16, long_string_labels(name_len=INT_MAX)),
    "long-string label count": lambda big: string_file(big, 16, long_string_labels(count=INT_MAX)),
    "long-string label value length": lambda big: string_file(big, 16, long_string_labels(value_len=INT_MAX)),
    "long-string label length": lambda big: string_file(big, 16, long_string_labels(label_len=INT_MAX)),
    "long-string missing name length": lambda big: string_file(
        big, 16, long_string_missing(name_len=INT_MAX)),
    "long-string missing value length": lambda big: string_file(
        big, 16, long_string_missing(count=255, value_len=INT_MAX)),
    "long-string missing count times length": lambda big: string_file(
        big, 16, long_string_missing(count=255, value_len=2**23)),
    # Multiple-response sets: byte lengths inside the text.
    "multiple-response label length": lambda big: numeric_file(
        big, records=mr_sets(f"$s=C {INT_MAX} label X\n")),
    "multiple-response label length, 2^64 - 1": lambda big: numeric_file(
        big, records=mr_sets(f"$s=C {2**64 - 1} label X\n")),
    "multiple-response counted value length": lambda big: numeric_file(
        big, records=mr_sets(f"$s=D{2**64 - 1} 1 5 label X\n")),
    "multiple-response counted value length, E": lambda big: numeric_file(
        big, records=mr_sets(f"$s=E {2**63} {INT_MAX} 1 5 label X\n")),
    # The zlib block table.
    "zlib trailer offset": lambda big: _zlib_header_patched(big, trailer_offset=2**62),
    "zlib trailer length": lambda big: _zlib_header_patched(big, trailer_length=2**40),
    "zlib block count": lambda big: numeric_file(big, compression=2, zlib_kwargs={"n_blocks": INT_MAX}),
    "zlib block size": lambda big: numeric_file(big, compression=2, zlib_kwargs={"block_size": INT_MAX}),
    "zlib uncompressed size": lambda big: _zlib_entry_patched(big, 2, INT_MAX),
    "zlib uncompressed size, unsigned": lambda big: _zlib_entry_patched(big, 2, -1),
    "zlib compressed size": lambda big: _zlib_entry_patched(big, 3, INT_MAX),
    "zlib uncompressed offset": lambda big: _zlib_entry_patched(big, 0, 2**62),
    "zlib compressed offset": lambda big: _zlib_entry_patched(big, 1, 2**62),
    # 8192 values squeeze into a few hundred bytes; the entry says the block holds one slot.
    "zlib block larger than declared": lambda big: _zlib_entry_patched(big, 2, 8, rows=[0.5] * 8192),
}
for _subtype in EXTENSION_SUBTYPES:
    for _size, _count in EXTENSION_SIZES:
        CASES[f"extension {_subtype}, {_size} x {_count}"] = (
            lambda big, s=_subtype, z=_size, c=_count: numeric_file(big, records=ext(s, b"X=1\0", z, c)))


def _zlib_layout(big, rows=(1.0, 2.0, 3.0)):
    data = numeric_file(big, compression=2, ncases=len(rows), rows=rows)
    fmt = ">" if big else "<"
    zheader = data.index(struct.pack(f"{fmt}iI", 999, 0)) + 8
    _, trailer, _ = struct.unpack_from(f"{fmt}3q", data, zheader)
    return bytearray(data), fmt, zheader, trailer


def _zlib_header_patched(big, trailer_offset=None, trailer_length=None):
    data, fmt, zheader, trailer = _zlib_layout(big)
    _, t, n = struct.unpack_from(f"{fmt}3q", data, zheader)
    struct.pack_into(f"{fmt}3q", data, zheader, zheader, trailer_offset or t, trailer_length or n)
    return bytes(data)


def _zlib_entry_patched(big, field, value, rows=(1.0, 2.0, 3.0)):
    """The first block entry of the trailer with one field (0..3) set to `value`."""
    data, fmt, _, trailer = _zlib_layout(big, rows)
    entry = list(struct.unpack_from(f"{fmt}qqii", data, trailer + 24))
    entry[field] = value
    struct.pack_into(f"{fmt}qqii", data, trailer + 24, *entry)
    return bytes(data)


# ----- the child -------------------------------------------------------------------------------

_CHILD = r"""
import json, resource, sys
limit, paths = int(sys.argv[1]), sys.argv[2:]
if limit:
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
import _korvel
import pyarrow as pa

def peak():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024

def batches(path):
    reader = _korvel._SavBatchReader(path, batch_size=1000)
    rows = 0
    while (batch := reader.next_batch()) is not None:
        rows += pa.table(batch).num_rows
    return rows

results = []
for path in paths:
    before = peak()
    outcomes = {}
    for name, read in [("metadata", lambda: _korvel._read_sav_meta(path).number_rows),
                       ("whole file", lambda: pa.table(_korvel._read_sav(path)[0]).num_rows),
                       ("batches", lambda: batches(path))]:
        try:
            outcomes[name] = ["read", read()]
        except OSError as e:
            outcomes[name] = ["OSError", str(e)]
    results.append({"outcomes": outcomes, "growth": peak() - before})
print(json.dumps(results))
"""


def read_in_child(paths):
    """Each file read the three ways in one child under the address-space limit, after a
    sound file (whose first read starts the thread pool and the allocator's arenas)."""
    warm = paths[0].parent / "warm-up.sav"
    warm.write_bytes(numeric_file(False, compression=2))
    limit = 0 if SANITIZED else ADDRESS_SPACE_LIMIT
    proc = run_python(_CHILD, str(limit), str(warm), *map(str, paths))
    # A crash ends the child on a signal; a MemoryError or any other exception exits with 1.
    assert proc.returncode == 0, proc.stderr[-3000:]
    return json.loads(proc.stdout)[1:]


@pytest.mark.parametrize("case", list(CASES))
def test_declared_sizes_are_not_believed(tmp_path, case):
    files = []
    for order, big in [("little", False), ("big", True)]:
        data = CASES[case](big)
        assert len(data) < 16384, "the hostile file should be small"
        files.append(tmp_path / f"{order}-endian.sav")
        files[-1].write_bytes(data)
    for path, result in zip(files, read_in_child(files)):
        for name, (kind, value) in result["outcomes"].items():
            if kind == "read" and name != "metadata":
                # Rows come only from the bytes that are there: at most one per 8-byte slot.
                assert value <= path.stat().st_size // 8, (path.name, name, value)
            # Running out of memory under the limit means the reader believed a declared size.
            if kind == "OSError":
                assert "alloc" not in value and "emory" not in value, (path.name, name, value)
        if not SANITIZED:
            assert result["growth"] < PEAK_GROWTH_LIMIT, (path.name, result)


# The same records with honest sizes read as built: the hostile cases above differ from a sound
# file only in the size they name.
SOUND = [
    ("long-string labels", lambda big: string_file(big, 16, long_string_labels()),
     "variable_value_labels", {"S": {"a": "L"}}),
    ("long-string missing", lambda big: string_file(big, 16, long_string_missing()),
     "variable_missing_values", {"S": {"type": "discrete", "values": ["abcdefgh"]}}),
    ("multiple-response set", lambda big: numeric_file(big, records=mr_sets("$s=C 5 label X\n")),
     "mr_sets", {"s": {"label": "label", "type": "category", "counted_value": None, "variables": ["X"]}}),
    ("value labels", lambda big: numeric_file(big, records=lambda b: b.value_labels([(1.0, "one")])),
     "variable_value_labels", {"X": {1.0: "one"}}),
    ("documents", lambda big: numeric_file(big, records=lambda b: b.document(["line"])),
     "notes", ["line"]),
    ("variable label", lambda big: numeric_file(big, variables=lambda b: b.variable("X", label="short")),
     "variable_labels", {"X": "short"}),
]


@pytest.mark.parametrize("big", [False, True], ids=["little-endian", "big-endian"])
@pytest.mark.parametrize("what, build, attribute, expected", SOUND, ids=[s[0] for s in SOUND])
def test_sound_sizes_read_as_built(tmp_path, big, what, build, attribute, expected):
    import _korvel

    path = tmp_path / "sound.sav"
    path.write_bytes(build(big))
    assert getattr(_korvel._read_sav_meta(str(path)), attribute) == expected
    for compression in (0, 1, 2):
        path.write_bytes(numeric_file(big, compression=compression, ncases=3))
        data, meta = _korvel._read_sav(str(path))
        assert pa.table(data).column("X").to_pylist() == [1.0, 2.0, 3.0]
