#!/usr/bin/env bash
# Builds and runs every test: the C++ unit tests through CTest, then the Python tests against
# the installed module. Run scripts/setup.sh first on a fresh machine.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$here"
PY="${PYTHON:-python3}"
jobs="$(nproc 2>/dev/null || echo 2)"

cmake -S . -B build/test -G Ninja -DCMAKE_BUILD_TYPE=Release -DKORVEL_BUILD_TESTS=ON \
  -DKORVEL_BUILD_MODULE=OFF -DPython_EXECUTABLE="$(command -v "$PY")" >/dev/null
cmake --build build/test -j "$jobs"
ctest --test-dir build/test --output-on-failure -j "$jobs"

"$PY" -m pip install -q --disable-pip-version-check --no-build-isolation .
status=0
"$PY" -m pytest -q tests/python "$@" || status=$?
# pytest exits 5 when it collected no test: that is a failure of this script too.
if [ "$status" -ne 0 ]; then
  echo "pytest failed with exit code $status" >&2
  exit "$status"
fi
