#!/usr/bin/env bash
# Builds the user guide (docs/) into build/docs with Sphinx, offline, every
# warning an error: a broken link, a page in no table of contents or a
# docstring Sphinx cannot read fails the build. The command pages are written
# from the command's own parser as it builds.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install.sh --tests
.venv/bin/python -m sphinx -W --keep-going -q -b html docs build/docs
echo "== the user guide: build/docs/index.html"
