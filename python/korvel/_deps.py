"""Optional frame libraries, imported only when a call needs one."""

from __future__ import annotations

import importlib
from types import ModuleType

# Import name -> the extra of korvel that installs it.
_EXTRAS = {
    "polars": "polars",
    "pandas": "pandas",
    "pyarrow": "pyarrow",
    "dask": "dask",
    "dask.dataframe": "dask",
}


class MissingDependencyError(ImportError):
    """A korvel call needs an optional library that is not installed."""


def require(module: str, purpose: str) -> ModuleType:
    """Import `module`, or raise MissingDependencyError naming what to install."""
    try:
        return importlib.import_module(module)
    except ImportError as exc:
        top = module.split(".")[0]
        extra = _EXTRAS.get(module, top)
        raise MissingDependencyError(
            f"{purpose} needs the '{top}' package, which is not installed; "
            f"install it with: pip install 'korvel[{extra}]'"
        ) from exc
