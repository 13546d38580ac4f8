#!/usr/bin/env bash
# Builds quorvan_core from source and runs every test: the C++ core (GoogleTest
# through ctest) and the library as Python sees it (pytest).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install.sh

echo "== C++ core tests"
export PATH="$PWD/.venv/bin:$PATH"
cmake --preset tests >/dev/null
cmake --build --preset tests
ctest --preset tests

echo "== Python tests"
.venv/bin/python -m pytest "$@"
bash scripts/typecheck.sh
