#!/usr/bin/env bash
# Builds and runs every test: the C++ unit tests through CTest, then the Python tests against
# the installed module, then both again against a sanitizer build, then a short run of each
# fuzz target. Run scripts/setup.sh first on a fresh machine. KORVEL_QUICK=1 stops after the
# first Python run (for quick loops while developing; CI always runs everything).
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

[ "${KORVEL_QUICK:-0}" = 1 ] && exit 0
bash scripts/test_sanitized.sh
bash scripts/fuzz.sh "${KORVEL_FUZZ_SECONDS:-60}"
