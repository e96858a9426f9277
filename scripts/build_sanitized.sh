#!/usr/bin/env bash
# Builds the C++ tests and the module with AddressSanitizer and UndefinedBehaviorSanitizer in
# build/sanitized (allocations on the system allocator, so the sanitizer sees them).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$here"
PY="${PYTHON:-python3}"
jobs="$(nproc 2>/dev/null || echo 2)"
cmake -S . -B build/sanitized -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVEL_SANITIZE=address,undefined \
  -DKORVEL_BUILD_TESTS=ON -DKORVEL_BUILD_MODULE=ON -DPython_EXECUTABLE="$(command -v "$PY")" >/dev/null
cmake --build build/sanitized -j "$jobs"
