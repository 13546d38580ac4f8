#!/usr/bin/env bash
# The package's types as a user's type checker sees them: a typed example that
# uses the public API must pass `mypy --strict`, and the .pyi stubs must match
# the built extension modules (mypy's stubtest).
set -euo pipefail
cd "$(dirname "$0")/.."
PY=.venv/bin/python
# A folder outside the source tree, so the installed package (with its stubs
# and compiled modules) is the one checked, never src/.
cache="${TMPDIR:-/tmp}/quorvan-mypy-cache"

echo "== mypy --strict tests/typing"
(cd tests/typing && "../../$PY" -m mypy --strict --cache-dir "$cache" example_typed.py)

echo "== stubtest quorvan_core"
"$PY" -m mypy.stubtest --mypy-config-file scripts/stubtest.ini \
    --allowlist scripts/stubtest-allowlist.txt quorvan_core
