"""Reading benchmark: korvel against pyreadstat and GNU PSPP, on survey-like files (80 labelled
1-5 answers, 10 normal measures, 5 dates, 5 short strings) written by pyreadstat's writer,
uncompressed, bytecode and zlib.

For each file, best of --repeat runs, each in a fresh process so that peak memory (ru_maxrss
above the process's baseline after imports) is that reader's alone:
- korvel: _read_sav and a polars DataFrame over its Arrow data, timed inside the process;
- pyreadstat: read_sav to pandas, timed inside the process;
- floor: allocating and touching memory of the Arrow output's size once (numpy), in the same
  run; "/floor" is korvel's time divided by it;
- whole-process runs: `pspp` on a syntax file of GET FILE and EXECUTE, beside a Python process
  that imports _korvel and reads the file (each timed from outside, its peak from wait4).

    python3 bench/read.py [--rows N] [--repeat K]

On the shared 2-core development machine use --rows 200000 (the default) and --repeat 3.
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

DATA = Path(__file__).resolve().parent / "data"
VARIANTS = {"uncompressed": {}, "bytecode": {"row_compress": True}, "zlib": {"compress": True}}


def generate(rows: int) -> dict:
    import pyreadstat

    from survey import survey_frame

    DATA.mkdir(exist_ok=True)
    paths = {}
    frame = None
    for name, kwargs in VARIANTS.items():
        ext = "zsav" if name == "zlib" else "sav"
        path = DATA / f"survey_{rows}_{name}.{ext}"
        paths[name] = path
        if path.exists():
            continue
        if frame is None:
            frame, frame_labels = survey_frame(rows)
        t = time.perf_counter()
        pyreadstat.write_sav(frame, str(path), variable_value_labels=frame_labels, **kwargs)
        print(f"generated {path.name} in {time.perf_counter() - t:.1f}s", file=sys.stderr)
    return paths


CHILD = r"""
import json, resource, sys, time
which, path = sys.argv[1], sys.argv[2]
if which == "korvel":
    import _korvel, polars as pl
elif which == "pyreadstat":
    import pyreadstat
else:
    import numpy as np
base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
t = time.perf_counter()
out = {}
if which == "korvel":
    data, meta = _korvel._read_sav(path)
    df = pl.DataFrame(data)
    out["shape"] = df.shape
elif which == "pyreadstat":
    df, meta = pyreadstat.read_sav(path)
    out["shape"] = df.shape
else:
    block = np.empty(int(path), dtype=np.uint8)
    block.fill(1)
out["seconds"] = time.perf_counter() - t
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
out["peak_mb"] = (peak - base) / 1024  # MiB
if which == "korvel":
    import pyarrow as pa
    out["output_bytes"] = pa.table(data).get_total_buffer_size()
print(json.dumps(out))
"""

WHOLE_KORVEL = "import sys, _korvel; _korvel._read_sav(sys.argv[1])"


def measure(which: str, arg) -> dict:
    out = subprocess.run([sys.executable, "-c", CHILD, which, str(arg)], capture_output=True,
                         text=True, check=True)
    return json.loads(out.stdout)


def whole_process(argv: list) -> dict:
    """Wall time and peak memory of one process, from outside."""
    t = time.perf_counter()
    with tempfile.TemporaryFile() as log:
        proc = subprocess.Popen(argv, stdout=log, stderr=log)
        _, status, usage = os.wait4(proc.pid, 0)
        seconds = time.perf_counter() - t
        proc.returncode = os.waitstatus_to_exitcode(status)
        if status != 0:
            log.seek(0)
            raise RuntimeError(f"{argv} failed ({proc.returncode}): "
                               f"{log.read().decode(errors='replace')}")
    return {"seconds": seconds, "peak_mb": usage.ru_maxrss / 1024}


def best(runs) -> dict:
    return min(runs, key=lambda r: r["seconds"])


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--rows", type=int, default=200_000)
    ap.add_argument("--repeat", type=int, default=3)
    args = ap.parse_args()
    paths = generate(args.rows)
    syntax_dir = tempfile.TemporaryDirectory()
    rows = []
    for name, path in paths.items():
        k = best(measure("korvel", path) for _ in range(args.repeat))
        p = best(measure("pyreadstat", path) for _ in range(args.repeat))
        assert k["shape"] == p["shape"], (k["shape"], p["shape"])
        floor = best(measure("floor", k["output_bytes"]) for _ in range(args.repeat))
        sps = Path(syntax_dir.name) / f"{name}.sps"
        sps.write_text(f"GET FILE='{path}'.\nEXECUTE.\n")
        try:
            pspp = best(whole_process(["pspp", "--no-output", str(sps)])
                        for _ in range(args.repeat))
        except RuntimeError as e:  # PSPP refuses some files other writers make
            print(f"{name}: {e}".strip(), file=sys.stderr)
            pspp = {"seconds": float("nan"), "peak_mb": float("nan")}
        ours = best(whole_process([sys.executable, "-c", WHOLE_KORVEL, str(path)])
                    for _ in range(args.repeat))
        rows.append((name, k, p, floor, pspp, ours))

    out_mb = rows[0][1]["output_bytes"] / 1e6
    print(f"{args.rows} rows x 100 columns; Arrow output {out_mb:.0f} MB; best of {args.repeat}")
    print(f"{'file':13} {'korvel s':>8} {'floor s':>7} {'/floor':>6} {'pyrs s':>7} {'pyrs/k':>6} "
          f"{'k MB':>5} {'k/out':>5} {'pyrs MB':>7} | {'pspp s':>6} {'k proc s':>8} "
          f"{'pspp/k':>6} {'pspp MB':>7} {'k proc MB':>9}")
    for name, k, p, floor, pspp, ours in rows:
        print(f"{name:13} {k['seconds']:8.3f} {floor['seconds']:7.3f} "
              f"{k['seconds'] / floor['seconds']:6.2f} {p['seconds']:7.3f} "
              f"{p['seconds'] / k['seconds']:6.1f} {k['peak_mb']:5.0f} "
              f"{k['peak_mb'] * 2**20 / k['output_bytes']:5.2f} {p['peak_mb']:7.0f} | "
              f"{pspp['seconds']:6.3f} {ours['seconds']:8.3f} "
              f"{pspp['seconds'] / ours['seconds']:6.1f} {pspp['peak_mb']:7.0f} "
              f"{ours['peak_mb']:9.0f}")
    byte_k = next(r[1]["seconds"] for r in rows if r[0] == "bytecode")
    zlib_k = next(r[1]["seconds"] for r in rows if r[0] == "zlib")
    print(f"zlib / bytecode: {zlib_k / byte_k:.2f}")


if __name__ == "__main__":
    main()
