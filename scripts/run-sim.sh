#!/usr/bin/env bash
# Builds the shell and the board simulator and starts the shell on the simulated board;
# usage() below says how.
set -euo pipefail
cd "$(dirname "$0")/.."
usage() {
  cat <<'EOT'
usage: scripts/run-sim.sh [LAUNCHER OPTIONS...]     (-h, --help: this text)

Builds the shell and the board simulator (build/), then starts the shell on the
simulated board through the simulator's launcher build/qnsim, which takes the
options, e.g.
  scripts/run-sim.sh --model KD3555 --trace /tmp/qn.trace --vcd /tmp/qn.vcd
Leave the shell with exit or q. The launcher's options:

EOT
  bash sim/qnsim.in --help
}
case "${1:-}" in -h | --help) usage; exit 0 ;; esac
bash scripts/install.sh cmake make g++ libgtest-dev
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQN_BUILD_SIM=ON -DQN_BUILD_TESTS=ON >/dev/null
cmake --build build -j"$(nproc)" --target qn_shell qnsim >/dev/null
exec build/qnsim "$@"
