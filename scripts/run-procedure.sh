#!/usr/bin/env bash
# Runs check procedures (procedures/*.yaml) on a board.
#   scripts/run-procedure.sh FILE... (--sim [--model M] | --board [--model M] | --console URL [--power CMD]
#                                     | --bench URL)
#                            [--answers FILE | --no-operator] [--junit FILE] [--json FILE]
# --sim builds the simulator if needed; --board boots the virtual board (scripts/run-board.sh).
# URL: telnet://HOST:PORT, rfc2217://HOST:PORT or a serial device such as /dev/ttyUSB0;
# --bench: an open bench's URL with its token (run-bench.sh prints it): it runs there.
# Exit status 0 only if every step passed. scripts/run-procedure.sh --help for the options.
set -euo pipefail
cd "$(dirname "$0")/.."
case " $* " in
  *" --sim "*)
    bash scripts/install.sh cmake make g++ python3-pexpect python3-yaml python3-jsonschema
    cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQN_BUILD_SIM=ON -DQN_BUILD_TESTS=ON >/dev/null
    cmake --build build -j"$(nproc)" --target qn_shell qnsim >/dev/null ;;
  *" --bench "*) bash scripts/install.sh python3-pexpect python3-yaml python3-jsonschema ;;
  *) bash scripts/install.sh python3-pexpect python3-yaml python3-jsonschema python3-serial telnet ;;
esac
PYTHONPATH="$PWD/sim${PYTHONPATH:+:$PYTHONPATH}" PYTHONDONTWRITEBYTECODE=1 \
  exec /usr/bin/python3 -m qnboard.runner "$@"
