#!/usr/bin/env bash
# The virtual bench: starts the shell on the simulated board (or, with --board, on the
# virtual board) and serves the bench page to browsers on this machine.
#   scripts/run-bench.sh [--board] [--model NAME] [--port N] [--listen ADDR] [OPTIONS...]
# OPTIONS go to the simulator's launcher (build/qnsim --help: --trace FILE, --vcd FILE,
# --fast) or, with --board, to scripts/run-board.sh (--gp-id N, --mb-version N, ...).
# Prints one line of its own: the page's URL, with a fresh secret token. Default address
# 127.0.0.1 and a free port. Ctrl-C ends the shell, the board and the server.
set -euo pipefail
cd "$(dirname "$0")/.."
case "${1:-}" in -h|--help) sed -n '2,8p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;; esac
need=(cmake make g++ python3-aiohttp python3-yaml python3-jsonschema python3-pexpect)
command -v npm >/dev/null 2>&1 || need+=(npm)
bash scripts/install.sh "${need[@]}"
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! { cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQN_BUILD_SIM=ON -DQN_BUILD_TESTS=ON &&
       cmake --build build -j"$(nproc)" --target qn_shell qnsim &&
       bash scripts/web-deps.sh; } >"$log" 2>&1; then
  cat "$log" >&2
  exit 1
fi
rm -f "$log"
trap - EXIT
exec /usr/bin/python3 sim/web/server.py "$@"
