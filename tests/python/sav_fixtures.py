"""The SPSS files of the shared fixtures as the read-side tests see them, and small helpers.

Names are paths relative to the fixtures folder ("haven/iris.sav"), so that test ids name the
file. When the folder is absent the lists are empty and the tests that take them skip.
"""

import os
import subprocess
import sys

from conftest import FIXTURES

# Deliberately damaged files: a clear error or a sound result, never a crash.
MALFORMED = ("pspp/CVE-2017-10791.sav", "pspp/CVE-2017-10792.sav")
# An "ENCRYPTEDSAV" wrapper: its first four bytes are not a system file's magic.
ENCRYPTED = "pspp/hotel-encrypted.sav"


def _all_files():
    if not FIXTURES.is_dir():
        return []
    return sorted(
        p.relative_to(FIXTURES).as_posix()
        for p in FIXTURES.glob("*/*")
        if p.suffix in (".sav", ".zsav")
    )


ALL_FILES = _all_files()
READABLE = [n for n in ALL_FILES if n not in MALFORMED and n != ENCRYPTED]


def rss_bytes():
    """Resident set size of this process now (not the peak)."""
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def run_python(code, *args, timeout=120):
    """Runs code (with `args` as sys.argv[1:]) in a fresh interpreter that imports the same
    _korvel as this one."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    return subprocess.run(
        [sys.executable, "-c", code, *args], capture_output=True, text=True, timeout=timeout, env=env
    )
