"""Reading benchmark: korvel (_read_sav + polars DataFrame) against pyreadstat.read_sav
(to pandas), on survey-like files of 1,000,000 rows by 100 columns written by pyreadstat's
writer, uncompressed, bytecode and zlib. Each measurement runs in a fresh process, so peak
memory (ru_maxrss above the process's baseline after imports) is that reader's alone.

    python3 bench/read.py [--rows N] [--repeat K]
"""
import argparse
import json
import os
import subprocess
import sys
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
else:
    import pyreadstat
base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
t = time.perf_counter()
if which == "korvel":
    data, meta = _korvel._read_sav(path)
    df = pl.DataFrame(data)
    shape = df.shape
else:
    df, meta = pyreadstat.read_sav(path)
    shape = df.shape
elapsed = time.perf_counter() - t
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(json.dumps({"seconds": elapsed, "peak_mb": (peak - base) / 1024, "shape": shape}))
"""


def measure(which: str, path: Path) -> dict:
    out = subprocess.run([sys.executable, "-c", CHILD, which, str(path)], capture_output=True,
                         text=True, check=True)
    return json.loads(out.stdout)


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--rows", type=int, default=1_000_000)
    ap.add_argument("--repeat", type=int, default=3)
    args = ap.parse_args()
    paths = generate(args.rows)
    print(f"{'file':14} {'korvel s':>9} {'pyreadstat s':>13} {'speed-up':>9} "
          f"{'korvel MB':>10} {'pyreadstat MB':>14}")
    for name, path in paths.items():
        k = min((measure("korvel", path) for _ in range(args.repeat)), key=lambda r: r["seconds"])
        p = min((measure("pyreadstat", path) for _ in range(max(1, args.repeat - 2))),
                key=lambda r: r["seconds"])
        assert k["shape"] == p["shape"], (k["shape"], p["shape"])
        print(f"{name:14} {k['seconds']:9.3f} {p['seconds']:13.3f} "
              f"{p['seconds'] / k['seconds']:8.1f}x {k['peak_mb']:10.0f} {p['peak_mb']:14.0f}")


if __name__ == "__main__":
    main()
