"""_write_sav refuses what it cannot write faithfully with a clear error, before any byte is
written, and reports the system's reason when the file cannot be written."""

import os
import struct

import pyarrow as pa
import pytest

import _korvel
from _korvel import SpssMetadata
from sav_fixtures import run_python


def write(path, data, metadata=None, compression="bytecode", level=None):
    _korvel._write_sav(str(path), data, metadata, compression, level)


@pytest.fixture
def stale(tmp_path):
    """A file with contents, which a failed validation must leave empty."""
    p = tmp_path / "out.sav"
    p.write_bytes(b"old contents")
    return p


# (table, metadata keywords, message) of writes the writer's validation refuses.
REFUSED = [
    (pa.table({"n": [1]}), {"variable_formats": {"n": "A10"}},
     "write error: variable 'n': string format 'A10' cannot be applied to a non-string column (Int64)"),
    (pa.table({"s": ["x"]}), {"variable_formats": {"s": "F8.2"}},
     "write error: variable 's': numeric/date format 'F8.2' cannot be applied to a string column"),
    (pa.table({"x": [1.0]}), {"variable_formats": {"x": "Q8"}},
     "write error: variable 'x': invalid format string 'Q8'"),
    (pa.table({"s": ["x"]}), {"variable_missing_values": {"s": {"type": "discrete", "values": [1]}}},
     "write error: variable 's': numeric missing values cannot be applied to a string variable"),
    (pa.table({"b": pa.array([b"\x00"], pa.binary())}), {},
     "write error: column 'b': Arrow type Binary has no SPSS form"),
    (pa.table({"l": pa.array([[1, 2]])}), {},
     "write error: column 'l': Arrow type List has no SPSS form"),
    (pa.table({"a b": [1.0]}), {}, "write error: column 'a b': a variable name cannot contain a space"),
    (pa.table({"1st": [1.0]}), {}, "write error: column '1st': a variable name must start with a letter"),
    (pa.table({"": [1.0]}), {}, "write error: column '': a variable name cannot be empty"),
    (pa.table({"_x": [1.0]}), {}, "write error: column '_x': a variable name must start with a letter"),
    (pa.table({"a-b": [1.0]}), {}, "write error: column 'a-b': a variable name cannot contain the character '-'"),
    (pa.table({"age": [1.0], "AGE": [2.0]}), {},
     "write error: column 'AGE': another column has the same name apart from case"),
    (pa.table({"x" * 65: [1.0]}), {},
     f"write error: column '{'x' * 65}': a variable name cannot be longer than 64 bytes"),
] + [
    (pa.table({w: [1.0]}), {}, f"write error: column '{w}': a variable name cannot be the reserved word {w.upper()}")
    for w in ["ALL", "and", "By", "EQ", "GE", "GT", "LE", "LT", "NE", "NOT", "OR", "TO", "with"]
]


@pytest.mark.parametrize("table,keywords,message", REFUSED, ids=[r[2][13:60] for r in REFUSED])
def test_validation_errors_leave_an_empty_file(stale, table, keywords, message):
    meta = SpssMetadata(**keywords) if keywords else None
    before = meta.schema if meta else None
    with pytest.raises(OSError) as info:
        write(stale, table, meta)
    assert str(info.value) == message
    assert stale.stat().st_size == 0
    if meta:
        assert meta.schema == before


def test_names_the_peers_accept_are_written(tmp_path):
    names = ["x.", "a.b", "über", "b" * 64, "q$1", "n#2", "at@3", "with_x", "Total"]
    write(tmp_path / "ok.sav", pa.table({n: [1.0] for n in names}))
    batch, _ = _korvel._read_sav(str(tmp_path / "ok.sav"))
    assert pa.table(batch).column_names == names


def test_missing_values_of_the_wrong_kind_raise_value_error_before_the_stream(tmp_path):
    class Untouchable:
        def __arrow_c_stream__(self, requested_schema=None):
            raise AssertionError("the stream must not be read")

    meta = SpssMetadata(variable_formats={"v": "A8"},
                        variable_missing_values={"v": {"type": "discrete", "values": [1]}})
    with pytest.raises(ValueError, match="^variable 'v': numeric missing values cannot be applied to a string variable$"):
        write(tmp_path / "v.sav", Untouchable(), meta)
    assert not (tmp_path / "v.sav").exists()


@pytest.mark.parametrize("name", ["gzip", "Zlib", ""])
def test_unknown_compression(tmp_path, name):
    with pytest.raises(OSError) as info:
        write(tmp_path / "c.sav", pa.table({"a": [1.0]}), None, name)
    assert str(info.value) == f"unknown compression: \"{name}\". Expected 'uncompressed', 'bytecode', or 'zlib'"
    assert not (tmp_path / "c.sav").exists()


def test_argument_errors(tmp_path):
    t = pa.table({"a": [1.0]})
    p = str(tmp_path / "a.sav")
    with pytest.raises(AttributeError):
        _korvel._write_sav(p, object())
    with pytest.raises(TypeError, match="PyCapsule"):
        _korvel._write_sav(p, type("S", (), {"__arrow_c_stream__": lambda self, r=None: 42})())
    with pytest.raises(TypeError):
        _korvel._write_sav(p, t, compression=None)
    with pytest.raises(TypeError):
        _korvel._write_sav(p, t, metadata={"file_label": "x"})
    with pytest.raises(OverflowError):
        _korvel._write_sav(p, t, compression="zlib", compression_level=-1)
    with pytest.raises(OverflowError):
        _korvel._write_sav(p, t, compression="zlib", compression_level=2**32)
    with pytest.raises(TypeError):
        _korvel._write_sav(p)


def test_none_is_uncompressed_and_levels_above_nine_act_as_nine(tmp_path):
    meta = SpssMetadata()
    t = pa.table({"a": pa.array(range(100_000), pa.float64())})
    write(tmp_path / "none.sav", t, None, "none")
    assert struct.unpack_from("<i", (tmp_path / "none.sav").read_bytes(), 72)[0] == 0
    write(tmp_path / "l9.zsav", t, meta, "zlib", 9)
    write(tmp_path / "l12.zsav", t, meta, "zlib", 12)
    write(tmp_path / "l6.zsav", t, meta, "zlib", 6)
    write(tmp_path / "ldef.zsav", t, meta, "zlib", None)
    body = lambda n: (tmp_path / n).read_bytes()[176:]  # past the header's date and time
    assert body("l12.zsav") == body("l9.zsav")
    assert body("ldef.zsav") == body("l6.zsav")


def test_unwritable_places_raise_the_systems_reason(tmp_path):
    t = pa.table({"a": [1.0]})
    with pytest.raises(OSError, match=r"^I/O error: No such file or directory"):
        write(tmp_path / "missing" / "x.sav", t)
    with pytest.raises(OSError, match=r"^I/O error: Is a directory"):
        write(tmp_path, t)


def test_read_only_place_raises_the_systems_reason(tmp_path):
    if os.geteuid() == 0:
        # Permissions do not stop root; a read-only file system does.
        target = "/proc/korvel-writer-test.sav"
    else:
        ro = tmp_path / "ro"
        ro.mkdir()
        ro.chmod(0o500)
        target = str(ro / "x.sav")
    with pytest.raises(OSError, match=r"^I/O error: "):
        write(target, pa.table({"a": [1.0]}))


@pytest.mark.parametrize("compression", ["uncompressed", "bytecode", "zlib"])
def test_a_file_that_cannot_grow_fails_with_the_systems_reason(tmp_path, compression):
    code = f"""
import resource, signal, pyarrow as pa, _korvel
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (200_000, resource.RLIM_INFINITY))
t = pa.table({{"a": pa.array(range(1_000_000), pa.float64()), "b": [str(i) for i in range(1_000_000)]}})
try:
    _korvel._write_sav({str(tmp_path / 'big.sav')!r}, t, compression={compression!r}, compression_level=0)
except OSError as e:
    print("OSError:", e)
print("still running")
"""
    r = run_python(code)
    assert r.returncode == 0, r.stderr
    assert "OSError: I/O error: File too large" in r.stdout
    assert r.stdout.strip().endswith("still running")


# ----- malformed arrays -----------------------------------------------------------------------


def from_buffers(type_, length, buffers, **kw):
    return pa.Array.from_buffers(type_, length, buffers, **kw)


def test_malformed_arrays_fail_with_a_clear_error(tmp_path):
    decreasing = from_buffers(pa.string(), 2, [None, pa.py_buffer(struct.pack("<3i", 0, 5, 2)),
                                               pa.py_buffer(b"hello")])
    view = struct.pack("<i4sii", 20, b"abcd", 3, 0)  # a view into data block 3, which is absent
    bad_view = from_buffers(pa.string_view(), 1, [None, pa.py_buffer(view), pa.py_buffer(b"x" * 20)])
    indices = pa.array([0, 7], pa.int32())
    bad_dict = pa.DictionaryArray.from_arrays(indices, pa.array(["a", "b"]), safe=False)
    for name, array, message in [
        ("dec", decreasing, "offsets are not increasing"),
        ("view", bad_view, "view out of the bounds of its data buffer"),
        ("dict", bad_dict, "a dictionary index is not an integer inside its dictionary"),
    ]:
        path = tmp_path / f"{name}.sav"
        with pytest.raises(OSError, match=message):
            write(path, pa.table({name: array}))
        assert not path.exists() or path.stat().st_size == 0


def test_a_failing_producer_is_reported_and_nothing_is_written(tmp_path):
    schema = pa.schema([("a", pa.float64())])

    def batches():
        yield pa.record_batch([pa.array([1.0])], schema=schema)
        raise ValueError("the producer broke")

    class Broken:
        def __arrow_c_stream__(self, requested_schema=None):
            return pa.RecordBatchReader.from_batches(schema, batches()).__arrow_c_stream__()

    with pytest.raises(OSError, match="^error reading Arrow batch: .*the producer broke"):
        write(tmp_path / "p.sav", Broken())
    assert not (tmp_path / "p.sav").exists()
