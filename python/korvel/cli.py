"""The `korvel` command line: inspect, compare and convert SPSS system files."""

from __future__ import annotations

import functools
import sys
from collections.abc import Callable, Iterator
from typing import Any

import click

from ._convert import convert as convert_file
from ._read import read_sav_meta

# Exit statuses, as diff(1) has them: 1 means "the files differ", 2 means trouble.
DIFFERENT = 1
TROUBLE = 2

existing_file = click.Path(exists=True, dir_okay=False)


def _reports_errors(command: Callable[..., Any]) -> Callable[..., Any]:
    """Turn the errors a user can cause (bad file, bad name) into a message and exit 2."""

    @functools.wraps(command)
    def run(*args: Any, **kwargs: Any) -> Any:
        try:
            return command(*args, **kwargs)
        except KeyError as exc:
            message = exc.args[0] if exc.args else str(exc)
        except (OSError, ValueError, ImportError) as exc:
            message = str(exc)
        click.echo(f"korvel: error: {message}", err=True)
        sys.exit(TROUBLE)

    return run


def _read_meta(path: str) -> Any:
    try:
        return read_sav_meta(path)
    except OSError as exc:
        raise OSError(f"{path}: {exc}") from exc


def _flush() -> None:
    # The native reports write to file descriptor 1 directly; keep Python's output before them.
    sys.stdout.flush()


@click.group(context_settings={"help_option_names": ["-h", "--help"]})
@click.version_option(package_name="korvel")
def main() -> None:
    """Inspect, compare and convert SPSS system files (.sav, .zsav)."""


@main.command()
@click.argument("file", type=existing_file)
@_reports_errors
def info(file: str) -> None:
    """Print a summary of FILE: its variables, labels, formats and counts."""
    meta = _read_meta(file)
    _flush()
    meta.summary()


@main.command()
@click.argument("file", type=existing_file)
@click.argument("variables", nargs=-1, required=True)
@_reports_errors
def describe(file: str, variables: tuple[str, ...]) -> None:
    """Print everything FILE's dictionary says about each of VARIABLES."""
    meta = _read_meta(file)
    for name in variables:
        meta.check_var(name)
    _flush()
    meta.describe(list(variables))


@main.command()
@click.argument("a", type=existing_file)
@click.argument("b", type=existing_file)
@_reports_errors
def diff(a: str, b: str) -> None:
    """Compare the dictionaries of files A and B.

    Exits with status 0 when they match, 1 when they differ and 2 on trouble, like diff.
    """
    left, right = _read_meta(a), _read_meta(b)
    _flush()
    if not left.diff(right).is_match:
        sys.exit(DIFFERENT)


def _progress_bar(batches: Iterator[Any], rows: int | None) -> Iterator[Any]:
    from tqdm import tqdm

    # Shown only on a terminal and only once a conversion has run for a second.
    with tqdm(total=rows, unit=" rows", unit_scale=True, delay=1.0, disable=None, file=sys.stderr) as bar:
        for batch in batches:
            yield batch
            bar.update(batch.num_rows)


@main.command()
@click.argument("source", type=existing_file)
@click.argument("target", type=click.Path(dir_okay=False))
@click.option(
    "--compression",
    type=click.Choice(["bytecode", "zlib", "uncompressed"]),
    help="Compression of a .sav/.zsav TARGET [default: zlib for .zsav, bytecode for .sav].",
)
@click.option("--level", type=click.IntRange(0, 9), help="zlib level for --compression zlib [default: 6].")
@click.option("--batch-size", type=click.IntRange(1), default=100_000, show_default=True, help="Rows per batch.")
@_reports_errors
def convert(source: str, target: str, compression: str | None, level: int | None, batch_size: int) -> None:
    """Convert SOURCE to TARGET, batch by batch.

    Formats follow the extensions: .sav, .zsav, .parquet, .csv, .arrow/.feather. At least
    one side is usually an SPSS file; .sav to .zsav (or back) recompresses. The SPSS
    dictionary is kept inside Parquet and Arrow files, so converting back restores it.
    Needs pyarrow (pip install 'korvel[pyarrow]').
    """
    try:
        convert_file(
            source, target, compression=compression, level=level, batch_size=batch_size,
            progress=_progress_bar,
        )
    except OSError as exc:
        raise OSError(f"{source} -> {target}: {exc}") from exc
