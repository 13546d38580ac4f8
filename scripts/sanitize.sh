#!/usr/bin/env bash
# Builds the C++ core and every extension module with AddressSanitizer and
# UndefinedBehaviorSanitizer (CMake option QUORVAN_SANITIZE) in a build folder
# and virtual environment of their own (build/sanitize), then runs the
# GoogleTest suite and the whole pytest suite against that build. Any memory
# error or undefined behaviour aborts the test that met it, so a clean run is
# one where every test passes. Arguments go to pytest.
#
# --build-only builds and stops; --run-only runs the tests of an earlier
# build (CI builds first, then runs these tests beside the plain ones).
set -euo pipefail
mode=all
case "${1:-}" in
  --build-only) mode=build; shift ;;
  --run-only) mode=run; shift ;;
esac
cd "$(dirname "$0")/.."
started=$SECONDS

[ "$mode" = run ] || bash scripts/install.sh --tests  # Debian packages (Poppler, Tesseract, SQLite, GoogleTest) and build tools

OUT=build/sanitize
VENV=$OUT/venv
BUILD=$OUT/build
PYTHON="${PYTHON:-python3}"
if [ "$mode" != run ]; then
  [ -x "$VENV/bin/python" ] || "$PYTHON" -m venv "$VENV"
  "$VENV/bin/python" -m pip install -q --upgrade pip
  "$VENV/bin/python" -m pip install -q scikit-build-core pybind11 cmake ninja
fi

# The extension modules are loaded into an uninstrumented python, so the ASan
# runtime must be preloaded; leak checking is off there because CPython keeps
# many of its own allocations until exit by design.
# libstdc++ is preloaded too: ASan looks up the C++ runtime's __cxa_throw when
# it starts, and python itself does not link it.
LIBASAN="$(g++ -print-file-name=libasan.so)"
LIBSTDCXX="$(g++ -print-file-name=libstdc++.so.6)"
for lib in "$LIBASAN" "$LIBSTDCXX"; do
  [ -f "$lib" ] || { echo "$lib not found (g++ -print-file-name)" >&2; exit 1; }
done
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:strict_init_order=1:check_initialization_order=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export LSAN_OPTIONS="suppressions=$PWD/scripts/lsan-suppressions.txt:print_suppressions=0"
export PATH="$PWD/$VENV/bin:$PATH"

if [ "$mode" != run ]; then
# One build for both: the extension modules and the GoogleTest suite share the
# instrumented core, so it is compiled once.
echo "== building the extension modules and the C++ core tests with sanitizers"
"$VENV/bin/python" -m pip install -q --no-build-isolation ".[test]" \
  -C build-dir="$BUILD" -C cmake.build-type=RelWithDebInfo -C cmake.define.QUORVAN_SANITIZE=ON \
  -C cmake.define.QUORVAN_BUILD_TESTS=ON
# The installed modules must be the sanitized ones.
module="$("$VENV/bin/python" -c 'import importlib.util as u; print(u.find_spec("quorvan_core.llm_service").origin)')"
if ! nm -D "$module" | grep __asan_init >/dev/null; then
  echo "$module is not built with AddressSanitizer" >&2
  exit 1
fi

fi
[ "$mode" = build ] && exit 0

echo "== C++ core tests (GoogleTest), sanitized"
# A plain executable: the runtime is linked in and may check leaks too.
ASAN_OPTIONS="${ASAN_OPTIONS/detect_leaks=0/detect_leaks=1}" ctest --test-dir "$BUILD" --output-on-failure -j2

echo "== Python tests against the sanitized modules"
status=0
LD_PRELOAD="$LIBASAN:$LIBSTDCXX" "$VENV/bin/python" -m pytest -p no:cacheprovider "$@" || status=$?
echo "== sanitizer run took $(( (SECONDS - started) / 60 )) min $(( (SECONDS - started) % 60 )) s"
exit $status
