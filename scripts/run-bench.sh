#!/usr/bin/env bash
# The virtual bench: the shell on the simulated (or virtual) board and the bench page
# served to browsers on this machine; usage() below says how.
set -euo pipefail
cd "$(dirname "$0")/.."
usage() {
  cat <<'EOF'
usage: scripts/run-bench.sh [--board] [--model NAME] [--port N] [--listen ADDR] [OPTIONS...]
       (-h, --help: this text)

Starts the shell on the simulated board (or, with --board, on the virtual board) and
serves the bench page to browsers on this machine. OPTIONS go to the simulator's
launcher (build/qnsim --help: --trace FILE, --vcd FILE, --fast) or, with --board, to
scripts/run-board.sh (--gp-id N, --mb-version N, --absent NODES).
Prints one line of its own: the page's URL, with a fresh secret token. Default address
127.0.0.1 and a free port. Ctrl-C ends the shell, the board and the server.
EOF
}
case "${1:-}" in -h | --help) usage; exit 0 ;; esac
# Options the bench does not know go to the launcher or to run-board.sh: refused here at
# once when the usage text of the one they go to does not name them.
board=0 pass=()
for arg in "$@"; do
  case $arg in
    --board) board=1 ;;
    --model | --model=* | --port | --port=* | --listen | --listen=* | --build | --build=* | --root | --root=*) ;;
    -h | --help) usage; exit 0 ;;
    --*) pass+=("${arg%%=*}") ;;
  esac
done
if [ ${#pass[@]} -gt 0 ]; then
  if [ $board = 1 ]; then to=scripts/run-board.sh name=$to; else to=sim/qnsim.in name=build/qnsim; fi
  known=$(bash "$to" --help | grep -oE -- '--[a-z][a-z-]*' | sort -u)
  for o in "${pass[@]}"; do
    grep -qxF -- "$o" <<<"$known" || { echo "run-bench.sh: unknown option $o (see --help and $name --help)" >&2; exit 2; }
  done
fi
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
