#!/usr/bin/env bash
# Installs what building and running quorvan_core needs on a fresh Debian machine:
# the Debian packages (Poppler, Tesseract, SQLite, GoogleTest, cpp-httplib for `quorvan review`,
# Chromium and its driver for the review page's browser tests, cairo and Pango with fonts for
# Devanagari and Chinese hand-backs,
# handwriting fonts for the tests and the benchmark of reading handwritten sheets, clang-tidy for scripts/tidy.sh), then a virtual environment
# in .venv with the package built from source and its test dependencies.
set -euo pipefail
cd "$(dirname "$0")/.."
# Set by a caller that has just run this script (CI), so later steps skip it.
[ "${QUORVAN_INSTALLED:-}" = 1 ] && exit 0

DEBIAN_PACKAGES=(
  g++ pkg-config ccache
  libpoppler-cpp-dev libpoppler-private-dev poppler-utils
  libtesseract-dev tesseract-ocr tesseract-ocr-eng
  libsqlite3-dev
  libgtest-dev
  fonts-freefont-ttf
  libcpp-httplib-dev
  chromium chromium-driver
  libcairo2-dev libpango1.0-dev
  fonts-lohit-deva fonts-wqy-microhei
  fonts-dkg-handwriting fonts-breip fonts-femkeklaver fonts-dancingscript
  clang-tidy-19
)

missing=()
for pkg in "${DEBIAN_PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "== installing Debian packages: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

PYTHON="${PYTHON:-python3}"
if [ ! -x .venv/bin/python ]; then
  echo "== creating .venv"
  "$PYTHON" -m venv .venv
fi
echo "== installing Python packages and building quorvan_core"
.venv/bin/python -m pip install -q --upgrade pip
.venv/bin/python -m pip install -q scikit-build-core pybind11 cmake ninja
.venv/bin/python -m pip install -q --no-build-isolation ".[test,ray]"
