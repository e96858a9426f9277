import os
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
SHARED = Path(os.environ.get("KORVEL_SHARED_DIR", ROOT.parent / "shared"))
FIXTURES = SHARED / "fixtures"


@pytest.fixture(scope="session")
def fixtures_dir():
    if not FIXTURES.is_dir():
        pytest.skip(f"shared fixtures not found at {FIXTURES} (a clone outside the project's machines)")
    return FIXTURES
