"""Shapes benchmark: reading cost per MB of case data at extreme shapes, each at two sizes, so
that a cost that grows faster than the file shows as a rising cost per MB.

- wide: 10,000 numeric columns (whole-file read)
- tall: one numeric column (whole-file read)
- batches: 100 numeric columns through the batch reader (batches of 100,000 rows)

Files are uncompressed, written by this script (numeric variables only). The full shapes of the
issue (10,000 x 10,000, 1 x 50,000,000, 100 x 10,000,000) are --scale 5, 10 and 10 of the
defaults; on the shared 2-core development machine keep the defaults.

    python3 bench/shapes.py [--scale K]
"""
import argparse
import struct
import subprocess
import sys
import time
from pathlib import Path

DATA = Path(__file__).resolve().parent / "data"


def write_numeric_sav(path: Path, columns: int, rows: int) -> None:
    """An uncompressed little-endian system file of `columns` numeric variables V1, V2, ...
    holding row * columns + column."""
    import numpy as np

    out = bytearray()
    out += b"$FL2" + b"@(#) SPSS DATA FILE korvel bench".ljust(60)
    out += struct.pack("<iiiiid", 2, columns, 0, 0, rows, 100.0)
    out += b"01 Jan 26" + b"00:00:00" + b" " * 64 + b"\0" * 3
    fmt = (5 << 16) | (8 << 8) | 2  # F8.2
    for c in range(columns):
        out += struct.pack("<iiiiii", 2, 0, 0, 0, fmt, fmt) + f"V{c + 1}".encode().ljust(8)
    out += struct.pack("<ii", 999, 0)
    with open(path, "wb") as f:
        f.write(out)
        step = max(1, (1 << 24) // (8 * columns))
        for start in range(0, rows, step):
            n = min(step, rows - start)
            block = np.arange(start * columns, (start + n) * columns, dtype=np.float64)
            f.write(block.tobytes())


CHILD = r"""
import sys, time, _korvel
mode, path = sys.argv[1], sys.argv[2]
best = 9e9
for _ in range(3):
    t = time.perf_counter()
    if mode == "whole":
        data, meta = _korvel._read_sav(path)
    else:
        reader = _korvel._SavBatchReader(path, 100000)
        while reader.next_batch() is not None:
            pass
    best = min(best, time.perf_counter() - t)
print(best)
"""


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--scale", type=int, default=1)
    args = ap.parse_args()
    DATA.mkdir(exist_ok=True)
    shapes = [("wide", "whole", 10_000, 2_000), ("tall", "whole", 1, 5_000_000),
              ("batches", "batch", 100, 1_000_000)]
    print(f"{'shape':8} {'columns':>7} {'rows':>10} {'MB':>7} {'best s':>7} {'ms/MB':>6}")
    for name, mode, columns, rows in shapes:
        for size in (rows * args.scale // 2, rows * args.scale):
            path = DATA / f"shape_{columns}x{size}.sav"
            if not path.exists():
                write_numeric_sav(path, columns, size)
            mb = columns * size * 8 / 1e6
            out = subprocess.run([sys.executable, "-c", CHILD, mode, str(path)], check=True,
                                 capture_output=True, text=True)
            seconds = float(out.stdout)
            print(f"{name:8} {columns:7} {size:10} {mb:7.0f} {seconds:7.3f} "
                  f"{seconds * 1e3 / mb:6.2f}")


if __name__ == "__main__":
    main()
