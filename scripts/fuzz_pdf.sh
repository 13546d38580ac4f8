#!/usr/bin/env bash
# A bounded fuzz run of the C++ core's PDF reading (tests/fuzz/pdf_fuzzer.cpp:
# open, page text on one and two threads, render, OCR, PNG) with libFuzzer,
# AddressSanitizer and UndefinedBehaviorSanitizer, built with clang. Seeds:
# the PDFs the tests make and the real-world samples in shared/data/pdf-samples
# (read where they are). Stops by itself after FUZZ_SECONDS (default 600).
# Inputs that crash (or time out) are left in build/fuzz/artifacts and the
# script fails; each is to be fixed in C++ and kept as a small regression
# input under tests/data/fuzz with a test of its own (that folder, when it
# exists, also seeds the next run).
set -euo pipefail
cd "$(dirname "$0")/.."
BUDGET="${FUZZ_SECONDS:-600}"
OUT=build/fuzz
SAMPLES="${PDF_SAMPLES:-$(cd .. && pwd)/shared/data/pdf-samples}"
[ -d "$SAMPLES" ] || SAMPLES=/work/shared/data/pdf-samples

bash scripts/install.sh --tests  # Poppler, Tesseract and the .venv with fpdf2, which writes the seeds

CXX="$(command -v clang++-14 || command -v clang++ || true)"
probe='extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }'
if [ -z "$CXX" ] || ! echo "$probe" | "$CXX" -x c++ -fsanitize=fuzzer,address - -o /dev/null 2>/dev/null; then
  echo "== installing clang and its fuzzing runtime"
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends clang-14 libclang-rt-14-dev >/dev/null
  CXX=clang++-14
fi

mkdir -p "$OUT/corpus" "$OUT/artifacts"
echo "== building the fuzzer with $CXX"
"$CXX" -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -Isrc/cpp/core src/cpp/core/pdf_document.cpp src/cpp/core/ocr.cpp src/cpp/core/png_image.cpp \
  src/cpp/core/page_reader.cpp tests/fuzz/pdf_fuzzer.cpp \
  $(pkg-config --cflags --libs poppler-cpp tesseract lept) -o "$OUT/pdf_fuzzer"

echo "== writing the seeds"
rm -rf "$OUT/seeds"
.venv/bin/python -m tests.fuzz.make_seeds "$OUT/seeds"
seed_dirs=("$OUT/seeds")
if [ -d "$SAMPLES" ]; then
  for d in "$SAMPLES"/*/; do seed_dirs+=("$d"); done
else
  echo "   (no real-world samples at $SAMPLES)"
fi
[ -d tests/data/fuzz ] && seed_dirs+=(tests/data/fuzz)

echo "== fuzzing for $BUDGET s"
status=0
OMP_THREAD_LIMIT=1 ASAN_OPTIONS="detect_leaks=0:abort_on_error=0" UBSAN_OPTIONS="print_stacktrace=1" \
  "$OUT/pdf_fuzzer" "$OUT/corpus" "${seed_dirs[@]}" -dict=tests/fuzz/pdf.dict \
  -max_total_time="$BUDGET" -timeout=60 -rss_limit_mb=6144 -print_final_stats=1 \
  -artifact_prefix="$OUT/artifacts/" 2>"$OUT/fuzz.log" || status=$?
grep -E "^stat::|Done [0-9]+ runs|INITED|ERROR|SUMMARY" "$OUT/fuzz.log" | tail -20 || true

found=$(find "$OUT/artifacts" -type f | wc -l)
echo "== corpus: $(find "$OUT/corpus" -type f | wc -l) inputs; crashing inputs found: $found (log: $OUT/fuzz.log)"
find "$OUT/artifacts" -type f -print
[ "$status" -eq 0 ] && [ "$found" -eq 0 ]
