#!/usr/bin/env bash
# Builds quorvan_core from source and runs every test: the C++ core (GoogleTest
# through ctest) and the library as Python sees it (pytest).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install.sh

echo "== C++ core tests"
export PATH="$PWD/.venv/bin:$PATH"
cmake -S . -B build/cpp-tests -G Ninja -DQUORVAN_BUILD_MODULES=OFF -DQUORVAN_BUILD_TESTS=ON >/dev/null
cmake --build build/cpp-tests
ctest --test-dir build/cpp-tests --output-on-failure -j2

echo "== Python tests"
.venv/bin/python -m pytest "$@"
bash scripts/typecheck.sh
