#!/usr/bin/env bash
# Builds quorvan_core from source and runs every test: the C++ core (GoogleTest
# through ctest), the library as Python sees it (pytest, on several processes),
# the package's types (mypy, stubtest) and the user guide's build (Sphinx).
# Arguments go to pytest, e.g.
#   bash scripts/test.sh tests/test_review.py      one file
#   bash scripts/test.sh -m "not slow"             the quick tier
# QUORVAN_TEST_WORKERS sets the pytest processes (default 4; 0 runs them in this one).
set -euo pipefail
cd "$(dirname "$0")/.."
phase_started=$SECONDS
phase() {
  echo "== $1 took $((SECONDS - phase_started)) s"
  phase_started=$SECONDS
}

bash scripts/install.sh --tests
phase "installing and building the package"

export PATH="$PWD/.venv/bin:$PATH"
cmake --preset tests >/dev/null
cmake --build --preset tests
phase "building the C++ core tests"

echo "== C++ core tests"
ctest --preset tests
phase "C++ core tests (ctest)"

echo "== Python tests"
status=0
# Most tests wait on the model stand-in, a reading process or a browser: four
# processes keep two cores busy.
.venv/bin/python -m pytest -n "${QUORVAN_TEST_WORKERS:-4}" --dist loadgroup "$@" || status=$?
phase "Python tests (pytest)"

bash scripts/typecheck.sh || status=$?
phase "type checks (mypy, stubtest)"

QUORVAN_INSTALLED=1 bash scripts/docs.sh || status=$?
phase "the user guide (Sphinx, warnings as errors)"
exit $status
