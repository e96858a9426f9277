"""korvel imports without any frame library, and a call needing a missing one says which
extra to install. Libraries are hidden in a fresh interpreter (sys.modules[name] = None)."""

import sys

import pytest

from pkg_helpers import SAMPLE, run

HIDE = "import sys\nfor name in {hidden!r}:\n    sys.modules[name] = None\n"


def run_hidden(hidden, code):
    return run([sys.executable, "-c", HIDE.format(hidden=hidden) + code])


@pytest.mark.parametrize("hidden", [["polars", "pandas", "pyarrow", "dask", "numpy"], []], ids=["hidden", "installed"])
def test_import_needs_no_frame_library(hidden):
    done = run_hidden(
        hidden,
        "import korvel, korvel.dask, korvel.cli\n"
        f"meta = korvel.read_sav_meta({str(SAMPLE)!r})\n"
        "print(meta.number_columns, sorted(m for m in ('polars', 'pandas', 'pyarrow') if sys.modules.get(m)))\n",
    )
    assert done.returncode == 0, done.stderr
    columns, loaded = done.stdout.split(" ", 1)
    assert int(columns) > 0 and loaded.strip() == "[]"


CASES = [
    (["polars"], "korvel.read_sav(PATH)", "polars", "korvel[polars]"),
    (["pandas"], "korvel.read_sav(PATH, to='pandas')", "pandas", "korvel[pandas]"),
    (["pyarrow"], "korvel.read_sav(PATH, to='pandas')", "pyarrow", "korvel[pyarrow]"),
    (["pyarrow"], "korvel.read_sav(PATH, to='pyarrow')", "pyarrow", "korvel[pyarrow]"),
    (["polars"], "next(korvel.iter_sav(PATH))", "polars", "korvel[polars]"),
    (["polars"], "korvel.scan_sav(PATH)", "polars", "korvel[polars]"),
    (["dask", "dask.dataframe"], "korvel.dask.read_sav(PATH)", "dask", "korvel[dask]"),
    (["pandas"], "korvel.write_sav(__import__('pandas'), 'x.sav')", "pandas", "korvel[pandas]"),
]


@pytest.mark.parametrize("hidden, call, library, extra", CASES, ids=[c[1].split("(")[0] + "-" + c[0][0] for c in CASES])
def test_missing_library_is_named(hidden, call, library, extra):
    code = (
        "import korvel, korvel.dask\n"
        f"PATH = {str(SAMPLE)!r}\n"
        "try:\n"
        f"    {call}\n"
        "except ImportError as exc:\n"
        "    print(type(exc).__name__, exc)\n"
    )
    if "write_sav" in call:  # a pandas frame stand-in: any object whose type lives in pandas
        code = code.replace("__import__('pandas')", "type('DataFrame', (), {'__module__': 'pandas.core.frame'})()")
    done = run_hidden(hidden, code)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("MissingDependencyError"), done.stdout
    assert f"'{library}' package" in done.stdout and f"pip install '{extra}'" in done.stdout


def test_missing_dependency_error_is_an_import_error():
    import korvel

    assert issubclass(korvel.MissingDependencyError, ImportError)
