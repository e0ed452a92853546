#!/usr/bin/env bash
# Sends control lines to the virtual board started by scripts/run-board.sh (its second
# UART): scripts/board-ctl.sh [--socket PATH] 'pin 6_6 1' 'panel fd 21' ...
# Prints "ok" or "error: REASON" per line; @trace and @vcd print the driver's files.
exec /usr/bin/python3 "$(dirname "$0")/../tests/board/boardctl.py" "$@"
