"""Writing benchmark: korvel (_write_sav from a pyarrow table) against pyreadstat.write_sav
(from pandas) on a survey-like frame (1,000,000 rows by 100 columns by default, like
bench/read.py's), uncompressed, bytecode and zlib. Each measurement runs in a fresh process
after the frame is built; peak memory is the resident set sampled every millisecond during the
write, above its level just before (ru_maxrss cannot tell the write from the frame's build). The floor is writing the korvel file's bytes to a new file from
a buffer already in memory, measured in the same run; zlib is also timed with the thread pool
held to one CPU (sched_setaffinity before the module starts its pool). Text columns are given
formats as wide as their longest value, the row layout pyreadstat writes (the writer's own
default is A255), so both sides write files of the same layout. The machine's load average is
printed: on a shared machine, figures taken under load are not comparable.

    python3 bench/write.py [--rows N] [--repeat K]
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
COMPRESSIONS = {"uncompressed": {}, "bytecode": {"row_compress": True}, "zlib": {"compress": True}}
CHILD = r"""
import json, os, sys, threading, time
sys.path.insert(0, sys.argv[1])
which, path, rows, compression = sys.argv[2], sys.argv[3], int(sys.argv[4]), sys.argv[5]
if which == "korvel-1cpu":
    os.sched_setaffinity(0, {sorted(os.sched_getaffinity(0))[0]})
from survey import survey_frame
from write import COMPRESSIONS, string_formats

PAGE = os.sysconf("SC_PAGE_SIZE")
def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE

class Peak(threading.Thread):
    # Samples the resident set every millisecond: ru_maxrss cannot tell the write's peak
    # from the frame's construction.
    def __init__(self):
        super().__init__(daemon=True)
        self.base, self.peak, self.stop = rss(), 0, False
    def run(self):
        while not self.stop:
            self.peak = max(self.peak, rss())
            time.sleep(0.001)
    def __enter__(self):
        self.start(); return self
    def __exit__(self, *a):
        self.stop = True; self.join(); self.peak = max(self.peak, rss())

if which != "floor":
    frame, labels = survey_frame(rows)
if which.startswith("korvel"):
    import _korvel, pyarrow as pa
    from _korvel import SpssMetadata
    data = pa.Table.from_pandas(frame, preserve_index=False)
    del frame
    meta = SpssMetadata(variable_value_labels=labels, variable_formats=string_formats(data))
elif which == "pyreadstat":
    import pyreadstat
else:
    blob = open(sys.argv[6], "rb").read()
with Peak() as peak:
    t = time.perf_counter()
    if which.startswith("korvel"):
        _korvel._write_sav(path, data, meta, compression)
    elif which == "pyreadstat":
        pyreadstat.write_sav(frame, path, variable_value_labels=labels, **COMPRESSIONS[compression])
    else:  # the floor: the same bytes, from memory, to a new file
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o666)
        view = memoryview(blob)
        while view:
            view = view[os.write(fd, view[: 4 << 20]):]
        os.close(fd)
    elapsed = time.perf_counter() - t
print(json.dumps({"seconds": elapsed, "peak_mb": (peak.peak - peak.base) / 2**20,
                  "bytes": os.path.getsize(path)}))
"""


def string_formats(table):
    """Text columns as wide as their longest value, the layout pyreadstat writes."""
    import pyarrow.compute as pc

    return {name: f"A{max(1, pc.max(pc.binary_length(table.column(name))).as_py() or 1)}"
            for name in table.column_names if table.schema.field(name).type in ("string", "large_string")}


def measure(which, path, rows, compression, source=""):
    out = subprocess.run([sys.executable, "-c", CHILD, str(HERE), which, str(path), str(rows),
                          compression, str(source)], capture_output=True, text=True)
    if out.returncode != 0:
        raise RuntimeError(out.stderr)
    return json.loads(out.stdout)


def best(runs):
    return min(runs, key=lambda r: r["seconds"])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rows", type=int, default=1_000_000)
    ap.add_argument("--repeat", type=int, default=3)
    args = ap.parse_args()
    print(f"{args.rows} rows x 100 columns; best of {args.repeat} (pyreadstat: of 1); "
          f"load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} CPUs")
    print(f"{'compression':13} {'korvel s':>9} {'pyreadstat s':>13} {'speed-up':>9} "
          f"{'floor s':>8} {'/floor':>7} {'korvel MB':>10} {'pyreadstat MB':>14} {'file MB':>8}")
    with tempfile.TemporaryDirectory(dir=HERE) as tmp:
        for compression in COMPRESSIONS:
            ext = "zsav" if compression == "zlib" else "sav"
            ours = Path(tmp) / f"korvel.{ext}"
            k = best([measure("korvel", ours, args.rows, compression) for _ in range(args.repeat)])
            p = measure("pyreadstat", Path(tmp) / f"pyreadstat.{ext}", args.rows, compression)
            f = best([measure("floor", Path(tmp) / "floor.bin", args.rows, compression, ours)
                      for _ in range(args.repeat)])
            print(f"{compression:13} {k['seconds']:9.3f} {p['seconds']:13.3f} "
                  f"{p['seconds'] / k['seconds']:8.1f}x {f['seconds']:8.3f} "
                  f"{k['seconds'] / f['seconds']:6.2f}x {k['peak_mb']:10.0f} {p['peak_mb']:14.0f} "
                  f"{k['bytes'] / 1e6:8.1f}")
            if compression == "zlib":
                one = best([measure("korvel-1cpu", ours, args.rows, compression)
                            for _ in range(args.repeat)])
                print(f"zlib level 6: one thread {one['seconds']:.3f} s, pool "
                      f"{k['seconds']:.3f} s, {one['seconds'] / k['seconds']:.2f}x with the pool "
                      f"({os.cpu_count()} CPUs)")


if __name__ == "__main__":
    main()
