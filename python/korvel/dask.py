"""Reading SPSS files as a Dask DataFrame (the `korvel[dask]` extra).

Each file is one partition. The native reader can only start at a file's first case (its
batch reader has no way to seek to a row), so large files are not split into row ranges.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

from ._deps import require
from ._read import read_sav as _read_sav
from ._scan import Source, expand_paths


class _ReadPartition:
    """One file as a pandas frame; a class rather than a closure so that it pickles."""

    def __init__(self, columns: list[str] | None) -> None:
        self.columns = columns

    def __call__(self, path: str) -> Any:
        return _read_sav(path, columns=self.columns, to="pandas")[0]


def read_sav(paths: Source, columns: Sequence[str] | None = None) -> Any:
    """Read one or more SPSS .sav/.zsav files as a Dask DataFrame, one partition per file.

    `paths` is a path, a glob pattern or a list of paths; all files must have the selected
    columns with the same types. Partitions are pandas frames, as `korvel.read_sav(...,
    to="pandas")` returns them.
    """
    dd = require("dask.dataframe", "korvel.dask.read_sav")
    files = expand_paths(paths)
    selected = None if columns is None else list(columns)
    reader = _ReadPartition(selected)
    meta = _read_sav(files[0], columns=selected, n_rows=0, to="pandas")[0]
    return dd.from_map(reader, files, meta=meta, label="korvel-read-sav", enforce_metadata=True)
