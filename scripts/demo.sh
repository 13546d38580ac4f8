#!/usr/bin/env bash
# The main job on a fresh machine: install, then mark the example class.
# `quorvan paper` reads the example question paper and writes its rubrics and
# reference answers; `quorvan mark` marks the three example answer sheets (one
# of them a scan read by OCR) and shows the class results.
# With OPENAI_API_KEY set it uses the real model (or the OpenAI-compatible
# server at OPENAI_BASE_URL); without one it starts the offline model stand-in
# and says so.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install.sh

standin_pid=""
cleanup() { if [ -n "$standin_pid" ]; then kill "$standin_pid" 2>/dev/null || true; fi; }
trap cleanup EXIT

stand_in_note() {
  echo "NOTE: no OPENAI_API_KEY is set, so these marks come from the offline model stand-in at"
  echo "      $OPENAI_BASE_URL: a deterministic test double that scores by word overlap, not a language model."
}

if [ -z "${OPENAI_API_KEY:-}" ]; then
  fifo=$(mktemp -u) && mkfifo "$fifo"
  .venv/bin/python -m tests.support.standin >"$fifo" &
  standin_pid=$!
  read -r line <"$fifo"
  rm -f "$fifo"
  export OPENAI_BASE_URL="${line#STANDIN_URL=}" OPENAI_API_KEY="offline-stand-in"
  stand_in_note
fi

out=demo-output
rm -rf "$out"
echo
echo "\$ quorvan paper examples/question_paper.pdf --subject Science --class-level 'Class 8' -o $out/paper.json"
.venv/bin/quorvan paper examples/question_paper.pdf --subject Science --class-level "Class 8" -o "$out/paper.json"
echo
echo "\$ quorvan mark --paper $out/paper.json examples/sheets --roster examples/roster.csv -o $out/results"
status=0
.venv/bin/quorvan mark --paper "$out/paper.json" examples/sheets --roster examples/roster.csv -o "$out/results" || status=$?
echo
echo "\$ quorvan export $out/results --to csv --all -o $out/gradebook.csv"
.venv/bin/quorvan export "$out/results" --to csv --all -o "$out/gradebook.csv" || status=$?
echo
echo "Review, override and approve the marks in the browser: .venv/bin/quorvan review $out/results"
if [ -n "$standin_pid" ]; then echo; stand_in_note; fi
exit "$status"
