"""A write holds no second copy of the caller's data: its peak memory above the data is a
bounded working set, whatever the compression."""

import pytest

from sav_fixtures import run_python

# 2,000,000 rows x 10 float columns: 160 MB of data, 160 MB of uncompressed rows.
CHILD = """
import resource, sys, numpy as np, pyarrow as pa, _korvel
n = 2_000_000
table = pa.table({f"c{i}": pa.array(np.arange(n, dtype="float64") * (i + 0.5)) for i in range(10)})
base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
_korvel._write_sav(sys.argv[1], table, compression=sys.argv[2])
print((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - base) // 1024)
"""


@pytest.mark.parametrize("compression", ["uncompressed", "bytecode", "zlib"])
def test_peak_memory_of_a_write_is_bounded(tmp_path, compression):
    r = run_python(CHILD.replace("sys.argv[1]", repr(str(tmp_path / "m.sav")))
                   .replace("sys.argv[2]", repr(compression)))
    assert r.returncode == 0, r.stderr
    growth_mb = int(r.stdout.strip())
    # The rows alone would be 160 MB; the working set is a chunk of rows and, for zlib, two
    # groups of 4 MiB blocks.
    assert growth_mb < 100, f"a {compression} write grew the peak by {growth_mb} MB"
