"""Reading and writing from several Python threads at once, consuming exports on other threads
while the reader goes on, and reading and writing in a process forked after the thread pool was
used."""

import datetime
import json
import queue
import threading
from concurrent.futures import ThreadPoolExecutor

import pyarrow as pa
import pytest

import _korvel
from _write_util import COMPRESSIONS
from sav_fixtures import READABLE, run_python

pd = pytest.importorskip("pandas")
pl = pytest.importorskip("polars")
pyreadstat = pytest.importorskip("pyreadstat")

ROWS = 120_000
THREADS = 6


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    """The same table uncompressed and zlib-compressed, large enough to use the pool."""
    folder = tmp_path_factory.mktemp("concurrency")
    base = datetime.datetime(2010, 1, 1)
    df = pd.DataFrame(
        {
            "n": [float(i) for i in range(ROWS)],
            "s": [f"text {i % 1013}" for i in range(ROWS)],
            "ts": pd.to_datetime([base + datetime.timedelta(minutes=i) for i in range(ROWS)]),
        }
    )
    paths = []
    for name, compress in [("plain.sav", False), ("packed.zsav", True)]:
        path = folder / name
        pyreadstat.write_sav(df, str(path), compress=compress)
        paths.append(str(path))
    return paths


META_FIELDS = ["variable_names", "variable_labels", "variable_value_labels", "variable_formats",
               "variable_missing_values", "mr_sets", "notes", "file_label", "number_rows"]


def some_fixtures(fixtures_dir):
    return [str(fixtures_dir / name) for name in READABLE[:: max(1, len(READABLE) // 6)]]


def whole(path):
    table = pa.table(_korvel._read_sav(path)[0])
    table.validate(full=True)
    return table


def in_threads(jobs):
    with ThreadPoolExecutor(THREADS) as pool:
        return list(pool.map(lambda job: job[0](*job[1:]), jobs))


def test_threads_read_different_and_same_files(files):
    expected = {path: whole(path) for path in files}
    jobs = [(whole, path) for path in files * THREADS]
    for (_, path), table in zip(jobs, in_threads(jobs)):
        assert table.equals(expected[path]), path


def test_threads_read_fixtures_and_metadata(fixtures_dir):
    paths = some_fixtures(fixtures_dir)
    expected = {path: (whole(path), _korvel._read_sav_meta(path)) for path in paths}
    jobs = [(whole, p) for p in paths * 3] + [(_korvel._read_sav_meta, p) for p in paths * 3]
    for (read, path), result in zip(jobs, in_threads(jobs)):
        table, meta = expected[path]
        if read is whole:
            assert result.equals(table), path
        else:
            assert result.diff(meta, print_output=False).is_match, path
            for name in META_FIELDS:
                assert getattr(result, name) == getattr(meta, name), (path, name)


def batches_in_threads(path, batch_size):
    reader = _korvel._SavBatchReader(path, batch_size=batch_size)
    tables = []
    while (batch := reader.next_batch()) is not None:
        tables.append(pa.table(batch))
    return pa.concat_tables(tables)


def test_threads_read_batches_of_one_file(files):
    path = files[1]
    expected = whole(path)
    results = in_threads([(batches_in_threads, path, size) for size in (997, 4096, 50_000, 65_536)] * 2)
    for table in results:
        assert table.combine_chunks().equals(expected.combine_chunks())


@pytest.mark.parametrize("consumer", ["pyarrow", "polars"])
def test_exports_consumed_on_other_threads_while_the_reader_goes_on(files, consumer):
    path = files[0]
    expected = whole(path)
    handed = queue.Queue()
    consumed = {}

    def consume():
        while (item := handed.get()) is not None:
            index, batch = item
            if consumer == "pyarrow":
                consumed[index] = pa.table(batch)
            else:
                consumed[index] = pl.DataFrame(batch).to_arrow()

    workers = [threading.Thread(target=consume) for _ in range(3)]
    for w in workers:
        w.start()
    reader = _korvel._SavBatchReader(path, batch_size=7_000)
    index = 0
    while (batch := reader.next_batch()) is not None:
        handed.put((index, batch))
        index += 1
    for _ in workers:
        handed.put(None)
    for w in workers:
        w.join(timeout=120)
        assert not w.is_alive()
    assert sorted(consumed) == list(range(index))
    table = pa.concat_tables(consumed[i] for i in range(index))
    assert table.column("n").to_pylist() == expected.column("n").to_pylist()
    assert table.column("s").to_pylist() == expected.column("s").to_pylist()
    assert table.column("ts").cast(pa.int64()).equals(expected.column("ts").cast(pa.int64()))


def test_whole_read_consumed_on_another_thread(files):
    path = files[1]
    data, _ = _korvel._read_sav(path)
    expected = whole(path)
    with ThreadPoolExecutor(2) as pool:
        first = pool.submit(pa.table, data)
        # The reader is free for more reads while the export is consumed.
        again = whole(path)
        assert first.result(timeout=120).equals(expected)
    assert again.equals(expected)


@pytest.mark.parametrize("source", ["pyarrow", "polars", "export"])
def test_threads_write_at_once_and_each_file_reads_back(files, tmp_path, source):
    table = whole(files[0])
    data = {"pyarrow": table, "polars": pl.from_arrow(table), "export": None}[source]
    meta = _korvel._read_sav_meta(files[0])

    def write(index, compression, level):
        path = tmp_path / f"written{index}.sav"
        given = data if data is not None else _korvel._read_sav(files[0])[0]
        _korvel._write_sav(str(path), given, meta, compression, level)
        return str(path)

    jobs = [(write, i, *COMPRESSIONS[i % len(COMPRESSIONS)]) for i in range(THREADS)]
    for path in in_threads(jobs):
        back = whole(path)
        assert back.column("n").equals(table.column("n")), path
        assert back.column("s").to_pylist() == table.column("s").to_pylist(), path
        assert back.column("ts").equals(table.column("ts")), path


_FORK = r"""
import json, os, select, sys
import pyarrow as pa
import _korvel

paths = json.loads(sys.argv[1])
def digest(path):
    table = pa.table(_korvel._read_sav(path)[0])
    batches = _korvel._SavBatchReader(path, batch_size=5000)
    rows = 0
    while (b := batches.next_batch()) is not None:
        rows += pa.table(b).num_rows
    return [table.num_rows, rows, table.column(0).to_pylist()[-3:]]

before = [digest(p) for p in paths]
# The pool has written as well as read before the fork; the children write and read again.
written = paths[0] + ".rewritten.zsav"
_korvel._write_sav(written, _korvel._read_sav(paths[0])[0], None, "zlib", None)
before.append(digest(written))
children = []
for _ in range(2):
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(r)
        try:
            mine = f"{written}.{os.getpid()}.sav"
            _korvel._write_sav(mine, _korvel._read_sav(paths[0])[0], None, "bytecode", None)
            os.write(w, json.dumps([digest(p) for p in paths + [mine]]).encode())
        finally:
            os._exit(0)
    os.close(w)
    children.append((pid, r))
for pid, r in children:
    ready, _, _ = select.select([r], [], [], 60)
    assert ready, "the forked child did not answer within 60 s"
    out = b""
    while chunk := os.read(r, 65536):
        out += chunk
    _, status = os.waitpid(pid, 0)
    assert status == 0, status
    assert json.loads(out) == before, (json.loads(out), before)
# The parent's pool still works after the fork.
assert [digest(p) for p in paths + [written]] == before
print("ok")
"""


def test_process_forked_after_the_pool_was_used_reads_and_writes_correctly(files):
    code = _FORK.replace("json.loads(sys.argv[1])", f"json.loads({json.dumps(files)!r})")
    proc = run_python(code, timeout=180)
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert proc.stdout.strip() == "ok"
