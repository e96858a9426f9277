"""Metadata sources for the metadata tests: shared fixture files and small files written on
the fly with pyreadstat (which writes uncompressed case data)."""

import functools
import struct
import subprocess
import sys

import pytest

import _korvel

_PROBE = "import _korvel, sys; _korvel._read_sav_meta(sys.argv[1])"
_PROBE_SECONDS = 60


@functools.lru_cache(maxsize=None)
def _probe(path):
    # Read once in a child first, so that a reader that hangs fails one test instead of
    # stalling the whole run.
    try:
        subprocess.run([sys.executable, "-c", _PROBE, path], capture_output=True, timeout=_PROBE_SECONDS)
    except subprocess.TimeoutExpired:
        return False
    return True


def read_fixture(fixtures_dir, rel):
    path = str(fixtures_dir / rel)
    if not _probe(path):
        pytest.fail(f"reading the metadata of {rel} did not finish within {_PROBE_SECONDS} s")
    try:
        return _korvel._read_sav_meta(path)
    except OSError as e:
        if "unsupported compression" in str(e):
            pytest.skip(f"{rel}: its case-data compression cannot be read yet ({e})")
        raise


def write_sav(path, columns, **kwargs):
    """Writes a .sav file with pyreadstat from a dict of column lists and returns its metadata."""
    pd = pytest.importorskip("pandas")
    pyreadstat = pytest.importorskip("pyreadstat")
    pyreadstat.write_sav(pd.DataFrame(columns), str(path), **kwargs)
    return _korvel._read_sav_meta(str(path))


def with_row_count(path, out_path, n_rows):
    """Copies a .sav file with the header's case count replaced (-1: unknown)."""
    data = bytearray(open(path, "rb").read())
    data[80:84] = struct.pack("<i", n_rows)
    open(out_path, "wb").write(data)
    return _korvel._read_sav_meta(str(out_path))
