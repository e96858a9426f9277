import ctypes
import importlib.util
import subprocess
import sys

import pytest

import _korvel
from conftest import not_under_sanitizer


def test_module_identity():
    assert _korvel.__doc__ == ""
    import importlib

    assert importlib.import_module("_korvel") is _korvel


def test_only_the_init_function_is_exported():
    out = subprocess.run(
        ["nm", "-D", "--defined-only", _korvel.__file__], capture_output=True, text=True, check=True
    ).stdout
    names = [line.split()[-1] for line in out.splitlines() if line.strip()]
    assert names == ["PyInit__korvel"]


@not_under_sanitizer
def test_host_allocator_is_untouched():
    # The module neither defines nor interposes malloc or operator new: symbol lookups through
    # its handle reach glibc's malloc and no C++ runtime at all.
    module = ctypes.CDLL(_korvel.__file__)
    libc = ctypes.CDLL("libc.so.6")
    assert ctypes.cast(module.malloc, ctypes.c_void_p).value == ctypes.cast(libc.malloc, ctypes.c_void_p).value
    for symbol in ("_Znwm", "_ZdlPv", "mi_malloc", "mi_free"):
        with pytest.raises(AttributeError):
            getattr(module, symbol)


def test_subinterpreter_import_is_refused():
    # The interpreters module is private and changes name and manner between versions:
    # _xxsubinterpreters raises a failure of run_string (up to 3.12), _interpreters returns it
    # (3.13 on). A legacy (not isolated) subinterpreter lets the module's own check run.
    if not any(importlib.util.find_spec(name) for name in ("_interpreters", "_xxsubinterpreters")):
        pytest.skip("this Python has neither _interpreters nor _xxsubinterpreters")
    code = r"""
import _korvel
try:
    import _interpreters as interpreters
    interp = interpreters.create("legacy")
except ImportError:
    import _xxsubinterpreters as interpreters
    interp = interpreters.create(isolated=False)
try:
    failure = interpreters.run_string(interp, "import _korvel")
except Exception as e:
    failure = e
print("imported" if failure is None else f"failed: {failure}")
"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.startswith("failed: "), out.stdout
    assert "ImportError" in out.stdout
    assert "does not support subinterpreters" in out.stdout
