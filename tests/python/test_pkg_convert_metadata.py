"""The SPSS dictionary that `korvel convert` stores in Parquet and Arrow files comes back
whole from every real file (checked without writing an SPSS file)."""

import pytest

import korvel
from korvel._convert import SETTABLE_FIELDS, metadata_from_json, metadata_to_json
from pkg_helpers import SAMPLE
from sav_fixtures import READABLE

from conftest import FIXTURES


@pytest.mark.parametrize("name", [None, *READABLE], ids=lambda n: n or "sample")
def test_dictionary_survives_the_json_trip(name):
    meta = korvel.read_sav_meta(SAMPLE if name is None else FIXTURES / name)
    back = metadata_from_json(metadata_to_json(meta))
    for field in SETTABLE_FIELDS:
        expected = getattr(meta, field)
        if field == "variable_alignments":
            expected = {k: v for k, v in expected.items() if v != "unknown"}
        if field == "variable_labels":  # without a variable list, only the labels that exist
            expected = {k: v for k, v in expected.items() if v is not None}
        assert getattr(back, field) == expected, field
