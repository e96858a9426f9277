"""Reads the sample survey that ships with korvel (examples/data/survey.sav, written by GNU
PSPP from examples/data/survey.sps) and shows its data and metadata."""
from pathlib import Path

import _korvel
import polars as pl

path = Path(__file__).resolve().parent / "data" / "survey.sav"
data, meta = _korvel._read_sav(str(path))
print(meta)
print(pl.DataFrame(data))
print("labels:", meta.variable_labels)
print("value labels:", meta.variable_value_labels)
print("user-missing:", meta.variable_missing_values)
