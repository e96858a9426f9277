#!/usr/bin/env bash
# Builds korvel for distribution and checks what a user would get:
#   1. the sdist, then a wheel built from that sdist alone (so the sdist is self-contained);
#   2. the wheel repaired to a manylinux tag with auditwheel (system libraries vendored);
#   3. a fresh virtual environment (no system site-packages) into which the wheel and the
#      test requirements are installed as binaries only, so no compiler is involved;
#   4. the Python tests, run there against the installed wheel.
# Slow (a full release build); not part of scripts/test.sh. Usage:
#   bash scripts/build_wheel.sh [OUTPUT_DIR [PYTEST_ARGS...]]     (default: dist/)
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
PY="${PYTHON:-python3}"
out="$(mkdir -p "${1:-$here/dist}" && cd "${1:-$here/dist}" && pwd)"
shift || true
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

"$PY" -m build --sdist --outdir "$work/sdist" "$here"
sdist="$(ls "$work"/sdist/korvel-*.tar.gz)"
"$PY" -m build --wheel --outdir "$work/wheel" "$sdist"
"$PY" -m auditwheel repair --wheel-dir "$out" "$work"/wheel/korvel-*.whl
cp "$sdist" "$out/"
wheel="$(ls -t "$out"/korvel-*manylinux*.whl | head -n 1)"
"$PY" -m auditwheel show "$wheel"

"$PY" -m venv "$work/venv"
venv_py="$work/venv/bin/python"
"$venv_py" -m pip install -q --disable-pip-version-check --only-binary :all: "$wheel[all]"
"$venv_py" -m pip install -q --disable-pip-version-check --only-binary :all: -r "$here/requirements-dev.txt"
# From outside the source tree, so that the installed package is the one imported.
cd "$work"
"$venv_py" -c "import korvel, _korvel; print('korvel', korvel.__version__, 'from', korvel.__file__)"
"$venv_py" -m pytest -q -p no:cacheprovider "$here/tests/python" "$@"
echo "wheel: $wheel"
