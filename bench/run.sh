#!/usr/bin/env bash
# Runs every benchmark and writes bench/RESULTS.md. Installs what they need
# first: the library built from source into .venv (scripts/install.sh), the
# libraries compared against (pypdfium2, pdfminer.six) and Poppler's
# pdftotext. Arguments go to `python -m bench` (--quick, --only NAME...).
# Benchmarks are never part of the test suite: timings are not asserted.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install.sh --tests  # the benchmarks use the tests' stand-in and PDF writers
echo "== installing the libraries compared against"
.venv/bin/python -m pip install -q pypdfium2 pdfminer.six

echo "== running the benchmarks"
exec .venv/bin/python -m bench "$@"
