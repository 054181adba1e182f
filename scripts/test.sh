#!/usr/bin/env bash
# Installs everything the tests need (from a fresh clone) and runs every test: the C++ core
# tests under GoogleTest, the same tests again under AddressSanitizer, LeakSanitizer and
# UndefinedBehaviorSanitizer, then the Python tests against the installed module.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

need=()
for pkg in libgtest-dev cmake g++; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if ((${#need[@]})); then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
fi

python3 -m venv .venv
.venv/bin/python -m pip install -q --disable-pip-version-check ".[test]"

jobs=$(nproc)
cmake -S . -B build/tests -DZEPH_BUILD_TESTS=ON -DZEPH_BUILD_MODULE=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/tests -j "$jobs"
ctest --test-dir build/tests --output-on-failure -j "$jobs"

cmake -S . -B build/sanitize -DZEPH_BUILD_TESTS=ON -DZEPH_BUILD_MODULE=OFF -DCMAKE_BUILD_TYPE=Debug \
  -DZEPH_SANITIZE=address,undefined >/dev/null
cmake --build build/sanitize -j "$jobs"
ASAN_OPTIONS=detect_leaks=1 ctest --test-dir build/sanitize --output-on-failure -j "$jobs"

cd "$root/tests/python"
"$root/.venv/bin/python" -m pytest -q -p no:cacheprovider .
