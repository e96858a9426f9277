"""korvel: fast reading and writing of SPSS system files (.sav, .zsav) through Apache Arrow.

Reading gives polars, pandas or pyarrow frames plus an immutable `SpssMetadata`:

    df, meta = korvel.read_sav("survey.sav")                 # polars by default
    df, meta = korvel.read_sav("survey.sav", to="pandas")
    for batch in korvel.iter_sav("big.zsav", batch_size=100_000): ...
    lf = korvel.scan_sav("waves/*.sav")                       # polars LazyFrame
    korvel.write_sav(df, "copy.zsav", meta, compression="zlib")

polars, pandas and pyarrow are optional extras: `pip install 'korvel[polars]'` and so on.
"""

from __future__ import annotations

from importlib import metadata as _metadata

from _korvel import MetaDiff, SpssMetadata

from ._deps import MissingDependencyError
from ._read import iter_sav, read_sav, read_sav_meta
from ._scan import scan_sav
from ._write import write_sav

try:
    __version__ = _metadata.version("korvel")
except _metadata.PackageNotFoundError:  # imported from a source tree
    __version__ = "0+unknown"

__all__ = [
    "MetaDiff",
    "MissingDependencyError",
    "SpssMetadata",
    "iter_sav",
    "read_sav",
    "read_sav_meta",
    "scan_sav",
    "write_sav",
    "__version__",
]
