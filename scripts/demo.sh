#!/usr/bin/env bash
# The main job on a fresh machine: install, then run the model service on a
# sample question through the real openai client. With OPENAI_API_KEY set it
# uses the real model (or OPENAI_BASE_URL's server); without one it starts the
# offline model stand-in and says so.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install.sh

standin_pid=""
cleanup() { [ -n "$standin_pid" ] && kill "$standin_pid" 2>/dev/null || true; }
trap cleanup EXIT

if [ -z "${OPENAI_API_KEY:-}" ]; then
  fifo=$(mktemp -u) && mkfifo "$fifo"
  .venv/bin/python -m tests.support.standin >"$fifo" &
  standin_pid=$!
  read -r line <"$fifo"; rm -f "$fifo"
  export OPENAI_BASE_URL="${line#STANDIN_URL=}" OPENAI_API_KEY="offline-stand-in"
  echo "NOTE: no OPENAI_API_KEY is set, so the marks below come from the offline model stand-in"
  echo "      ($OPENAI_BASE_URL), a deterministic test double, not from a language model."
fi

.venv/bin/python scripts/smoke_model_service.py
