"""Reads the sample survey that ships with korvel (examples/data/survey.sav, written by
scripts/make_sample.py) and shows its data and metadata."""
from pathlib import Path

import korvel

path = Path(__file__).resolve().parent / "data" / "survey.sav"
df, meta = korvel.read_sav(path)
print(meta)
print(df)
print("labels:", meta.variable_labels)
print("value labels:", meta.variable_value_labels)
print("user-missing:", meta.variable_missing_values)
print(korvel.read_sav(path, apply_value_labels=True, user_missing_as_null=True)[0])
