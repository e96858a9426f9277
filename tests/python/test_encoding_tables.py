"""The committed encoding tables are exactly what scripts/gen_encodings.py makes from the data."""

import os
import pathlib
import subprocess
import sys

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
SHARED = pathlib.Path(os.environ.get("KORVEL_SHARED_DIR", REPO.parent / "shared"))
DATA = SHARED / "whatwg"
GENERATED = ["tables_generated.hpp", "tables_generated.cpp"]


@pytest.fixture(scope="module")
def regenerated(tmp_path_factory):
    if not (DATA / "encodings.json").is_file():
        pytest.skip(f"WHATWG encoding data not found in {DATA}")
    out = tmp_path_factory.mktemp("encoding")
    subprocess.run(
        [sys.executable, str(REPO / "scripts" / "gen_encodings.py"), "--data", str(DATA), "--out", str(out)],
        check=True,
    )
    return out


@pytest.mark.parametrize("name", GENERATED)
def test_committed_table_matches_generator(regenerated, name):
    fresh = (regenerated / name).read_bytes()
    committed = (REPO / "src" / "encoding" / name).read_bytes()
    assert fresh == committed, f"src/encoding/{name} is stale: rerun scripts/gen_encodings.py"


def test_generator_rejects_unknown_index(tmp_path):
    # A new index file in the data means the decoders may be missing an encoding.
    if not (DATA / "encodings.json").is_file():
        pytest.skip(f"WHATWG encoding data not found in {DATA}")
    data = tmp_path / "data"
    data.mkdir()
    for f in DATA.iterdir():
        (data / f.name).write_bytes(f.read_bytes())
    (data / "index-new-encoding.txt").write_text("0\t0x0041\n", encoding="utf-8")
    result = subprocess.run(
        [sys.executable, str(REPO / "scripts" / "gen_encodings.py"), "--data", str(data), "--out", str(tmp_path / "out")],
        capture_output=True,
        text=True,
    )
    assert result.returncode != 0
    assert "new-encoding" in result.stderr
