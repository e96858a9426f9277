"""Files that another process truncates while they are read: every read ends in an OSError or
a sound result, never in a signal that kills the interpreter.

Each read runs in a child interpreter, so that a fault would show as the child's signal rather
than take the test run down with it.
"""

import os
import signal
import subprocess
import sys
import time

import pytest

from sav_fixtures import run_python

ROWS = 300_000
COMPRESSIONS = {"uncompressed": ("sav", {}), "bytecode": ("sav", {"row_compress": True}),
                "zlib": ("zsav", {"compress": True})}


@pytest.fixture(scope="module")
def written(tmp_path_factory):
    """One file per compression, large enough that its case data span several read windows."""
    np = pytest.importorskip("numpy")
    pd = pytest.importorskip("pandas")
    pyreadstat = pytest.importorskip("pyreadstat")
    rng = np.random.default_rng(7)
    # Random doubles are stored raw by bytecode: about 8 bytes per value in every compression.
    frame = pd.DataFrame({f"x{i}": rng.normal(size=ROWS) for i in range(6)})
    folder = tmp_path_factory.mktemp("changing")
    paths = {}
    for name, (ext, kwargs) in COMPRESSIONS.items():
        path = folder / f"{name}.{ext}"
        pyreadstat.write_sav(frame, str(path), **kwargs)
        paths[name] = path
    return paths


def _copy(src, dst):
    dst.write_bytes(src.read_bytes())
    return dst


def _ended_soundly(proc):
    assert proc.returncode >= 0, f"killed by {signal.Signals(-proc.returncode).name}"
    assert proc.returncode == 0, proc.stderr
    return proc.stdout.split()


@pytest.mark.parametrize("compression", list(COMPRESSIONS))
@pytest.mark.parametrize("keep", [0.0, 0.5, 0.99])
def test_truncated_between_batches(written, tmp_path, compression, keep):
    path = _copy(written[compression], tmp_path / written[compression].name)
    code = f"""
import os, _korvel
path = {str(path)!r}
def count(batch):
    return int(repr(batch).split("rows=")[1].split(",")[0])
reader = _korvel._SavBatchReader(path, batch_size=5000)
rows = count(reader.next_batch())
os.truncate(path, int(os.path.getsize(path) * {keep}))
outcome = "end"
for _ in range(1000):
    try:
        batch = reader.next_batch()
    except OSError as e:
        outcome = "oserror"
        break
    if batch is None:
        break
    rows += count(batch)
print(outcome, rows)
"""
    outcome, rows = _ended_soundly(run_python(code))
    assert outcome in ("end", "oserror")
    # What was delivered is never more than the file held.
    assert 5000 <= int(rows) <= ROWS


@pytest.mark.parametrize("compression", list(COMPRESSIONS))
def test_truncated_during_a_whole_file_read(written, tmp_path, compression):
    path = _copy(written[compression], tmp_path / written[compression].name)
    size = path.stat().st_size
    code = f"""
import sys, _korvel
print("reading", flush=True)
try:
    data, meta = _korvel._read_sav({str(path)!r})
    print("rows", repr(data).split("rows=")[1].split(",")[0])
except OSError as e:
    print("oserror")
"""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True, env=env)
    assert child.stdout.readline().strip() == "reading"
    # Shrink the file step by step while the child reads it.
    for keep in (0.9, 0.6, 0.3, 0.05):
        time.sleep(0.01)
        os.truncate(path, int(size * keep))
    out, err = child.communicate(timeout=120)
    child.stdout.close()
    proc = subprocess.CompletedProcess(child.args, child.returncode, out, err)
    words = _ended_soundly(proc)
    assert words[0] in ("rows", "oserror")
    if words[0] == "rows":
        assert 0 <= int(words[1]) <= ROWS
