#!/usr/bin/env bash
# clang-tidy over every C++ source of the project, with the checks of .clang-tidy,
# from the compile database of the `tidy` preset: configured, never compiled.
# Two files at a time; any warning fails. Arguments go to run-clang-tidy
# (e.g. a regular expression to check only some files).
set -euo pipefail
cd "$(dirname "$0")/.."
started=$SECONDS
bash scripts/apt_install.sh clang-tidy-19
export PATH="$PWD/.venv/bin:$PATH"  # the venv's CMake reads the presets and finds pybind11

cmake --preset tidy >/dev/null
status=0
run-clang-tidy-19 -p build/tidy -clang-tidy-binary "$(command -v clang-tidy-19)" -j "${TIDY_JOBS:-2}" -quiet \
  "${@:-$PWD/(src/cpp|tests/cpp)/}" || status=$?
echo "== clang-tidy took $(( (SECONDS - started) / 60 )) min $(( (SECONDS - started) % 60 )) s: exit $status"
exit $status
