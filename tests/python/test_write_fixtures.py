"""Every readable file of the shared fixtures, written back with its own metadata in each
compression, reads back with the same data and metadata."""

import pyarrow as pa
import pytest

import _korvel
from sav_fixtures import READABLE
from _write_util import COMPRESSIONS, COMPRESSION_IDS

# Fields that describe the file written rather than the data: they follow the write.
FILE_FIELDS = {"compression", "creation_time", "file_encoding", "file_format"}


def comparable(meta):
    fields = {k: v for k, v in meta.schema.items() if k not in FILE_FIELDS}
    # A variable without a role is written with the role "input".
    fields["variable_roles"] = {n: meta.variable_roles.get(n, "input") for n in meta.variable_names}
    return fields


@pytest.mark.parametrize("compression,level", COMPRESSIONS[:3], ids=COMPRESSION_IDS[:3])
@pytest.mark.parametrize("rel", READABLE)
def test_fixture_written_back_reads_the_same(fixtures_dir, tmp_path, rel, compression, level):
    batch, meta = _korvel._read_sav(str(fixtures_dir / rel))
    original = pa.table(batch)
    out = tmp_path / ("copy.zsav" if compression == "zlib" else "copy.sav")
    _korvel._write_sav(str(out), batch, meta, compression, level)
    back_batch, back_meta = _korvel._read_sav(str(out))
    back = pa.table(back_batch)
    assert back.schema == original.schema
    assert back.equals(original)
    assert comparable(back_meta) == comparable(meta)
    assert back_meta.compression == compression
