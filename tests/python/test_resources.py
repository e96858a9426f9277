"""Lifetimes and resources of the read side: exported data outlive their producers, repeated
reads keep memory and file descriptors flat, reading works in forked children, and the
module's C++ runtime coexists with pyarrow's whichever is imported first."""

import gc
import os

import pyarrow as pa
import pytest

import _korvel
from conftest import not_under_sanitizer
from sav_fixtures import rss_bytes, run_python

# One file of each case-data encoding, each with strings and dates or value labels.
BY_ENCODING = [
    "pyreadstat/sample_large.sav",  # uncompressed
    "savreaderwriter/Employee_data.sav",  # bytecode
    "pyreadstat/sample.zsav",  # zlib
]


def open_paths():
    """Files this process holds open or mapped."""
    paths = []
    for fd in os.listdir("/proc/self/fd"):
        try:
            paths.append(os.readlink(f"/proc/self/fd/{fd}"))
        except OSError:
            pass
    with open("/proc/self/maps") as maps:
        for line in maps:
            fields = line.split(maxsplit=5)
            if len(fields) == 6:
                paths.append(fields[5].strip())
    return paths


@pytest.fixture(params=BY_ENCODING)
def path(request, fixtures_dir):
    return str(fixtures_dir / request.param)


@pytest.fixture
def expected(path):
    """The file's whole table, read and copied into Python values before the test begins."""
    return pa.table(_korvel._read_sav(path)[0]).to_pydict()


def imported(capsule):
    table = pa.RecordBatchReader._import_from_c_capsule(capsule).read_all()
    table.validate(full=True)
    return table


# ----- lifetimes -----------------------------------------------------------------------------


def test_a_capsule_outlives_its_reader_and_batch(path, expected):
    reader = _korvel._SavBatchReader(path)
    batch = reader.next_batch()
    first, second = batch.__arrow_c_stream__(), batch.__arrow_c_stream__()
    del reader, batch
    gc.collect()
    assert imported(first).to_pydict() == expected
    del first
    gc.collect()
    assert imported(second).to_pydict() == expected


def test_batches_outlive_their_reader(path, expected):
    reader = _korvel._SavBatchReader(path, batch_size=2)
    batches = [reader.next_batch(), reader.next_batch()]
    del reader
    gc.collect()
    tables = [pa.table(b) for b in batches]
    for t in tables:
        t.validate(full=True)
    combined = pa.concat_tables(tables).to_pydict()
    assert combined == {k: v[:4] for k, v in expected.items()}


def test_imported_tables_outlive_the_arrow_data(path, expected):
    data, meta = _korvel._read_sav(path)
    capsule = data.__arrow_c_stream__()
    table = pa.table(data)
    del data, meta
    gc.collect()
    table.validate(full=True)
    assert table.to_pydict() == expected
    assert imported(capsule).to_pydict() == expected


def test_a_capsule_is_consumed_on_another_thread(path, expected):
    import threading

    data, _ = _korvel._read_sav(path)
    capsules = [data.__arrow_c_stream__() for _ in range(4)]
    del data
    gc.collect()
    results = [None] * len(capsules)

    def consume(i):
        results[i] = imported(capsules[i]).to_pydict()

    threads = [threading.Thread(target=consume, args=(i,)) for i in range(len(capsules))]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=60)
    assert results == [expected] * len(capsules)


def test_metadata_outlives_the_reader(path):
    reader = _korvel._SavBatchReader(path)
    meta = reader.metadata()
    names = list(meta.variable_names)
    del reader
    gc.collect()
    assert meta.variable_names == names
    assert meta.schema["variable_names"] == names


def test_files_are_closed_when_calls_return_and_readers_go(path):
    # The kernel reports resolved paths.
    path = os.path.realpath(path)
    assert path not in open_paths()
    _korvel._read_sav(path)
    _korvel._read_sav_meta(path)
    with pytest.raises(OSError):
        _korvel._read_sav(path, columns=["no such column"])
    assert path not in open_paths()
    reader = _korvel._SavBatchReader(path)
    # Held open (or mapped) for the reader's lifetime only.
    assert path in open_paths()
    data = reader.next_batch()
    del reader
    gc.collect()
    assert path not in open_paths()
    assert pa.table(data).num_rows > 0


# ----- repeated reads ------------------------------------------------------------------------


def read_everything(path):
    data, meta = _korvel._read_sav(path)
    pa.table(data).validate()
    meta.schema
    reader = _korvel._SavBatchReader(path, batch_size=100)
    reader.select(list(reversed(meta.variable_names)))
    while (batch := reader.next_batch()) is not None:
        pa.table(batch)
    reader.metadata().variable_value_labels


def fail_to_read(path):
    for call in (
        lambda: _korvel._read_sav(path, columns=["nope"]),
        lambda: _korvel._read_sav(path + ".missing"),
        lambda: _korvel._SavBatchReader(path).select(["nope"]),
    ):
        with pytest.raises(OSError):
            call()


@not_under_sanitizer
@pytest.mark.parametrize("work", [read_everything, fail_to_read], ids=["reads", "failures"])
def test_a_thousand_rounds_keep_memory_and_descriptors_flat(path, work):
    fds = len(os.listdir("/proc/self/fd"))
    for _ in range(100):
        work(path)
    gc.collect()
    at_100 = rss_bytes()
    for _ in range(900):
        work(path)
    gc.collect()
    growth = rss_bytes() - at_100
    # Allocator noise stays well below this; a leak of even one small batch per read
    # (900 reads of tens of KiB) is far above it.
    assert growth < 8 << 20, f"RSS grew by {growth} bytes between round 100 and round 1000"
    assert len(os.listdir("/proc/self/fd")) == fds


# ----- fork ----------------------------------------------------------------------------------

_FORK_CHILD = r"""
import os, time, signal
import pyarrow as pa
import _korvel

path = PATH
# The parent's read is large enough to start the thread pool for column building.
parent = pa.table(_korvel._read_sav(path)[0])
pid = os.fork()
if pid == 0:
    ok = 1
    try:
        child = pa.table(_korvel._read_sav(path)[0])
        child.validate(full=True)
        reader = _korvel._SavBatchReader(path, batch_size=60_000)
        rows = 0
        while (batch := reader.next_batch()) is not None:
            rows += pa.table(batch).num_rows
        ok = 0 if child.equals(parent) and rows == parent.num_rows else 2
    finally:
        os._exit(ok)
deadline = time.monotonic() + 60
while True:
    done, status = os.waitpid(pid, os.WNOHANG)
    if done:
        break
    if time.monotonic() > deadline:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        print("child hung")
        raise SystemExit(3)
    time.sleep(0.05)
print("child status", os.waitstatus_to_exitcode(status))
# The parent's pool still serves the parent after the fork.
again = pa.table(_korvel._read_sav(path)[0])
assert again.equals(parent)
raise SystemExit(os.waitstatus_to_exitcode(status))
"""


@pytest.fixture(scope="module")
def large_file(tmp_path_factory):
    import pandas as pd
    import pyreadstat

    path = tmp_path_factory.mktemp("fork") / "large.sav"
    n = 120_000
    df = pd.DataFrame({"x": [i * 1.5 for i in range(n)], "s": [f"v{i % 50}" for i in range(n)]})
    df["y"] = df["x"] * 2
    pyreadstat.write_sav(df, str(path))
    return str(path)


def test_reading_in_a_forked_child_works_and_does_not_hang(large_file):
    proc = run_python(_FORK_CHILD.replace("PATH", repr(large_file)), timeout=180)
    assert proc.returncode == 0, (proc.stdout, proc.stderr)
    assert "child status 0" in proc.stdout


def _rows_in_child(path):
    data, meta = _korvel._read_sav(path)
    return pa.table(data).num_rows, meta.number_columns


def test_a_fork_pool_reads_files_after_the_parent_did(large_file, fixtures_dir):
    import multiprocessing

    paths = [large_file] + [str(fixtures_dir / name) for name in BY_ENCODING]
    in_parent = [_rows_in_child(p) for p in paths]
    ctx = multiprocessing.get_context("fork")
    with ctx.Pool(2) as pool:
        in_children = pool.map_async(_rows_in_child, paths).get(timeout=120)
    assert in_children == in_parent


# ----- import order --------------------------------------------------------------------------

_USE_BOTH = r"""
import pyarrow as pa
import pyarrow.compute as pc
import _korvel

data, meta = _korvel._read_sav(PATH)
table = pa.table(data)
table.validate(full=True)
assert pc.sum(table["mynum"]).as_py() == pc.sum(pa.array(table["mynum"].to_pylist())).as_py()
upper = pc.utf8_upper(table["mychar"].cast(pa.string()))
assert upper.to_pylist() == [s.upper() for s in table["mychar"].to_pylist()]
assert pc.max(table["mydate"]).as_py() >= pc.min(table["mydate"]).as_py()
print(table.num_rows)
"""


@pytest.mark.parametrize(
    "first",
    ["import pyarrow", "import _korvel", "import pyarrow.compute, polars", "import duckdb"],
)
def test_import_order_with_pyarrow(fixtures_dir, first):
    path = str(fixtures_dir / "pyreadstat/sample_large.sav")
    proc = run_python(first + "\n" + _USE_BOTH.replace("PATH", repr(path)), timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["485"]
