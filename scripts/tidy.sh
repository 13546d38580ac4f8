#!/usr/bin/env bash
# clang-tidy over every C++ source of the project, with the checks of .clang-tidy,
# from the compile database of the `tidy` preset: configured, never compiled.
# Every library, module and test program is read as the one file the build
# compiles it as, so pybind11's headers are parsed once per module rather than
# once per source file (a third of the time); what it finds is reported in the
# source file where it is. Two at a time; any warning fails.
# Arguments go to run-clang-tidy and check source files one by one instead
# (e.g. a regular expression: bash scripts/tidy.sh 'cli/review.cpp').
set -euo pipefail
cd "$(dirname "$0")/.."
started=$SECONDS
bash scripts/apt_install.sh clang-tidy-19
export PATH="$PWD/.venv/bin:$PATH"  # the venv's CMake reads the presets and finds pybind11

if [ $# -gt 0 ]; then
  cmake --preset tidy >/dev/null
  database=build/tidy
else
  cmake --preset tidy -B build/tidy-unity -DQUORVAN_UNITY_BUILD=ON >/dev/null
  database=build/tidy-unity
  set -- "/Unity/unity_[0-9]+_cxx\.cxx$"
fi
status=0
run-clang-tidy-19 -p "$database" -clang-tidy-binary "$(command -v clang-tidy-19)" -j "${TIDY_JOBS:-2}" -quiet \
  "$@" || status=$?
echo "== clang-tidy took $(( (SECONDS - started) / 60 )) min $(( (SECONDS - started) % 60 )) s: exit $status"
exit $status
