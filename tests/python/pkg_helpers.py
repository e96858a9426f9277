"""Shared pieces of the korvel package tests: the sample file, a peer oracle, subprocess runs."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import FIXTURES, ROOT

SAMPLE = ROOT / "examples" / "data" / "survey.sav"
FRAME_KINDS = ("polars", "pandas", "pyarrow")


def fixture(name):
    """A shared fixture file, or a skip when the shared folder is absent."""
    path = FIXTURES / name
    if not path.is_file():
        pytest.skip(f"shared fixture {name} not found under {FIXTURES}")
    return path


def to_pandas(frame):
    """Any frame korvel returns, as pandas, for comparison with pyreadstat."""
    if hasattr(frame, "to_pandas"):
        return frame.to_pandas()
    return frame


def run(args, *, input=None, cwd=None, env_extra=None, timeout=300):
    """Runs a command with this interpreter's environment (its venv first on PATH)."""
    env = dict(os.environ)
    env["PATH"] = os.pathsep.join([str(Path(sys.executable).parent), env.get("PATH", "")])
    env.update(env_extra or {})
    return subprocess.run(
        args, input=input, capture_output=True, text=True, cwd=cwd, env=env, timeout=timeout
    )


def korvel_cli(*args, **kwargs):
    return run([sys.executable, "-m", "korvel", *map(str, args)], **kwargs)
