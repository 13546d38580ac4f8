#!/usr/bin/env bash
# Installs what building and running quorvan_core needs on a fresh Debian machine, then a virtual
# environment in .venv with the package built from source.
#
#   bash scripts/install.sh           what the main job uses (scripts/demo.sh): the compiler, Poppler,
#                                     Tesseract with English, SQLite, cpp-httplib for `quorvan review`,
#                                     cairo and Pango with fonts for Latin, Devanagari and Chinese
#                                     hand-backs; the package without extras
#   bash scripts/install.sh --tests   that, and what the tests add (scripts/test.sh): GoogleTest,
#                                     Poppler's tools and FreeFont for the PDFs the tests write,
#                                     handwriting fonts, Chromium and its driver for the review page;
#                                     the package with its test, Ray and docs extras (Sphinx for the
#                                     user guide)
#
# clang-tidy is installed by scripts/tidy.sh, clang's fuzzing runtime by scripts/fuzz_pdf.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
# Set by a caller that has just run this script (CI), so later steps skip it.
[ "${QUORVAN_INSTALLED:-}" = 1 ] && exit 0

tests=0
[ "${1:-}" = "--tests" ] && tests=1

RUNTIME_PACKAGES=(
  g++ pkg-config ccache
  libpoppler-cpp-dev libpoppler-private-dev
  libtesseract-dev tesseract-ocr tesseract-ocr-eng
  libsqlite3-dev
  libcpp-httplib-dev
  libcairo2-dev libpango1.0-dev
  fonts-dejavu-core fonts-lohit-deva fonts-wqy-microhei
)
TEST_PACKAGES=(
  libgtest-dev
  poppler-utils fonts-freefont-ttf
  fonts-dkg-handwriting fonts-breip fonts-femkeklaver fonts-dancingscript
  chromium chromium-driver
)

wanted=("${RUNTIME_PACKAGES[@]}")
[ "$tests" = 1 ] && wanted+=("${TEST_PACKAGES[@]}")
bash scripts/apt_install.sh "${wanted[@]}"

PYTHON="${PYTHON:-python3}"
if [ ! -x .venv/bin/python ]; then
  echo "== creating .venv"
  "$PYTHON" -m venv .venv
fi
echo "== installing Python packages and building quorvan_core"
.venv/bin/python -m pip install -q --upgrade pip
.venv/bin/python -m pip install -q scikit-build-core pybind11 cmake ninja
if [ "$tests" = 1 ]; then
  .venv/bin/python -m pip install -q --no-build-isolation ".[test,ray,docs]"
else
  .venv/bin/python -m pip install -q --no-build-isolation .
fi
