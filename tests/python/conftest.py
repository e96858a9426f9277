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


# Set by scripts/test_sanitized.sh, which runs these tests against a module built with
# AddressSanitizer: the sanitizer's runtime replaces malloc process-wide and reserves terabytes
# of address space, and it holds freed memory in quarantine: checks of the allocator's identity,
# of address-space limits or of memory staying flat cannot hold there.
SANITIZED = os.environ.get("KORVEL_SANITIZED") == "1"
not_under_sanitizer = pytest.mark.skipif(
    SANITIZED, reason="the sanitizer runtime replaces malloc, reserves the address space and quarantines freed memory"
)
