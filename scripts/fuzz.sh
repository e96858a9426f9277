#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer and UndefinedBehaviorSanitizer) and runs
# each for a while: `scripts/fuzz.sh [SECONDS] [TARGET...]`, 60 seconds each by default. The
# Python targets (fuzz/fuzz_*.py, atheris) run against the sanitizer build of the module.
# Seeds are the shared fixtures and the checked-in corpus under fuzz/corpus/; what a run learns
# stays in build/fuzz/corpus/ for the next run, and a crashing input lands in build/fuzz/findings/.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$here"
seconds="${1:-60}"
shift || true
build=build/fuzz
jobs="$(nproc 2>/dev/null || echo 2)"

CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKORVEL_BUILD_FUZZ=ON -DKORVEL_SANITIZE=address,undefined -DKORVEL_BUILD_MODULE=OFF >/dev/null
cmake --build "$build" -j "$jobs"

targets=("$@")
if [ "${#targets[@]}" -eq 0 ]; then
  for f in fuzz/fuzz_*.cpp fuzz/fuzz_*.py; do targets+=("$(basename "$f")"); done
fi
mkdir -p "$build/findings"
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export ASAN_OPTIONS=abort_on_error=1:detect_leaks=1
PY="${PYTHON:-python3}"
for target in "${targets[@]}"; do
  t="${target%.*}"
  corpus="$build/corpus/$t"
  mkdir -p "$corpus"
  seeds=()
  [ -d "fuzz/corpus/$t" ] && seeds+=("fuzz/corpus/$t")
  if [ "$t" = fuzz_read ] && [ -d ../shared/fixtures ]; then
    find ../shared/fixtures \( -name '*.sav' -o -name '*.zsav' \) -size -2M -exec cp -n {} "$corpus/" \;
  fi
  echo "== $t for ${seconds}s"
  if [ -f "fuzz/$t.py" ]; then
    [ -f build/sanitized/build.ninja ] || bash scripts/build_sanitized.sh
    cmake --build build/sanitized -j "$jobs" >/dev/null
    # As in scripts/test_sanitized.sh: the uninstrumented interpreter loads the runtime first.
    run=(env PYTHONPATH="$here/build/sanitized" LD_PRELOAD="$(gcc -print-file-name=libasan.so)"
      ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 "$PY" "fuzz/$t.py")
  else
    run=("$build/$t" -dict=fuzz/sav.dict)
  fi
  "${run[@]}" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=262144 \
    -artifact_prefix="$build/findings/$t-" -print_final_stats=1 \
    "$corpus" "${seeds[@]}" 2>&1 | grep -E '^(#[0-9]+ +DONE|stat::number_of_executed_units|==[0-9]+==ERROR|SUMMARY|=== Uncaught Python exception)' || true
  if compgen -G "$build/findings/$t-*" >/dev/null; then
    echo "$t found a failing input: $(ls "$build/findings/$t-"*)" >&2
    exit 1
  fi
done
