"""The type stub of _korvel, installed beside the module, declares what the module has,
and the package is marked as typed."""

import ast
import inspect
import shutil
from pathlib import Path

import pytest

import _korvel
import korvel


def _stub_tree():
    stub = Path(_korvel.__file__).with_name("_korvel.pyi")
    assert stub.is_file(), f"no type stub beside {_korvel.__file__}"
    return ast.parse(stub.read_text())


def stub_names():
    """{top-level name: set of member names (empty for functions)}."""
    names = {}
    for node in _stub_tree().body:
        if isinstance(node, ast.ClassDef):
            names[node.name] = {n.name for n in node.body if isinstance(n, ast.FunctionDef)}
        elif isinstance(node, ast.FunctionDef):
            names[node.name] = set()
    return names


def _public_members(cls):
    return {n for n, _ in inspect.getmembers(cls) if not n.startswith("__") or n == "__arrow_c_stream__"}


@pytest.mark.parametrize("name", _korvel.__all__)
def test_every_native_name_is_typed(name):
    declared = stub_names()
    assert name in declared
    obj = getattr(_korvel, name)
    if isinstance(obj, type):
        missing = _public_members(obj) - declared[name]
        assert not missing, f"{name}: not in the stub: {sorted(missing)}"


def test_package_is_typed():
    assert (Path(korvel.__file__).parent / "py.typed").is_file()


def test_package_type_checks_against_the_stub(tmp_path):
    """mypy over the installed package and stub: the Python layer calls the native module
    as the stub declares it."""
    api = pytest.importorskip("mypy.api", reason="mypy is not installed (requirements-dev.txt)")
    # Copies of the installed files: mypy does not check files inside site-packages.
    checked = tmp_path / "installed"
    shutil.copytree(Path(korvel.__file__).parent, checked / "korvel", ignore=shutil.ignore_patterns("__pycache__"))
    shutil.copy(Path(_korvel.__file__).with_name("_korvel.pyi"), checked)
    out, err, status = api.run(
        ["--ignore-missing-imports", "--no-incremental", "--cache-dir", str(tmp_path / "cache"),
         str(checked / "_korvel.pyi"), str(checked / "korvel")]
    )
    assert status == 0, out + err
