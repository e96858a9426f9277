"""Turning Arrow data from the native module into the caller's kind of frame."""

from __future__ import annotations

from typing import Any, Literal

from ._deps import require

FrameKind = Literal["polars", "pandas", "pyarrow"]
FRAME_KINDS: tuple[str, ...] = ("polars", "pandas", "pyarrow")


def check_kind(to: str) -> None:
    if to not in FRAME_KINDS:
        raise ValueError(f"to must be one of 'polars', 'pandas', 'pyarrow', not {to!r}")


def to_frame(data: Any, to: str) -> Any:
    """Import an Arrow C stream exporter (an `_ArrowData`) as a frame of kind `to`."""
    check_kind(to)
    if to == "polars":
        return require("polars", "to='polars'").DataFrame(data)
    pa = require("pyarrow", f"to={to!r}")
    if to == "pyarrow":
        return pa.table(data)
    require("pandas", "to='pandas'")
    # Dates as datetime64 columns rather than columns of Python date objects.
    return pa.table(data).to_pandas(date_as_object=False)


def polars_schema(native_schema: dict[str, str]) -> dict[str, Any]:
    """The polars schema of a batch reader's column types ("Float64", "Date", ...)."""
    pl = require("polars", "scan_sav")
    types = {
        "Float64": pl.Float64,
        "Date": pl.Date,
        "Datetime": pl.Datetime("us"),
        "Duration": pl.Duration("us"),
        "String": pl.String,
    }
    return {name: types[kind] for name, kind in native_schema.items()}
