"""Helpers of the writer tests: write with _write_sav, read back with our reader."""

import pyarrow as pa

import _korvel

# Every compression, with the zlib levels at both ends.
COMPRESSIONS = [("uncompressed", None), ("bytecode", None), ("zlib", 0), ("zlib", 9)]
COMPRESSION_IDS = ["uncompressed", "bytecode", "zlib0", "zlib9"]


def roundtrip(path, data, metadata=None, compression="bytecode", level=None):
    """Writes `data` to `path` and returns (pyarrow table, SpssMetadata) as read back."""
    _korvel._write_sav(str(path), data, metadata, compression, level)
    batch, meta = _korvel._read_sav(str(path))
    return pa.table(batch), meta
