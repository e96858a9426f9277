#!/usr/bin/env bash
# Installs everything korvel needs to build and test, on a fresh Debian machine.
# Idempotent: a second run only checks what is already there.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
PY="${PYTHON:-python3}"

apt_packages=(build-essential cmake zlib1g-dev libdeflate-dev libgtest-dev libbenchmark-dev clang-format
  xz-utils pspp clang libclang-rt-14-dev)
missing=()
for p in "${apt_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
updated=0
apt_update() { [ "$updated" = 1 ] || { apt-get update -qq; updated=1; }; }
if [ "${#missing[@]}" -gt 0 ]; then
  apt_update
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# Python packages: the build backend, the test runner, and the peers used as test oracles.
"$PY" -m pip install -q --disable-pip-version-check -r "$here/requirements-dev.txt"
