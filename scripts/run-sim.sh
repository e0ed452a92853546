#!/usr/bin/env bash
# Builds the shell and the board simulator and starts the shell on the
# simulated board. Arguments go to the launcher (see build/qnsim --help),
# e.g. scripts/run-sim.sh --model KD3555 --trace /tmp/qn.trace --vcd /tmp/qn.vcd
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install.sh cmake make g++ libgtest-dev
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQN_BUILD_SIM=ON -DQN_BUILD_TESTS=ON >/dev/null
cmake --build build -j"$(nproc)" --target qn_shell qnsim >/dev/null
exec build/qnsim "$@"
