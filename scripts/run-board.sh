#!/usr/bin/env bash
# Boots the virtual board: Debian's armhf kernel on QEMU's vexpress-a9 (Cortex-A9) with
# the board driver module loaded, its console on this terminal, at a root prompt where
# qn_shell starts the product.
#   scripts/run-board.sh [--model NAME] [--gp-id N] [--mb-version N] [--absent NODES]
#                        [--serial-pty] [--ctl SOCKET] [--events SOCKET]
# --serial-pty puts the console on a pty for picocom/minicom (QEMU prints its name) and
# leaves QEMU's monitor on this terminal. The control UART is served on SOCKET
# (default build-board/ctl.sock); send control lines with scripts/board-ctl.sh. The
# third UART carries the board link's event stream (default build-board/events.sock).
set -euo pipefail
cd "$(dirname "$0")/.."
model=KD3454 gp_id= mb_version= absent= pty=0 ctl=$PWD/build-board/ctl.sock
events=$PWD/build-board/events.sock
while [ $# -gt 0 ]; do
  case $1 in
    --model) model=$2; shift 2 ;;
    --gp-id) gp_id=$2; shift 2 ;;
    --mb-version) mb_version=$2; shift 2 ;;
    --absent) absent=$2; shift 2 ;;
    --serial-pty) pty=1; shift ;;
    --ctl) ctl=$2; shift 2 ;;
    --events) events=$2; shift 2 ;;
    -h|--help) sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "run-board.sh: unknown option $1 (see --help)" >&2; exit 2 ;;
  esac
done
bash sim/board/build.sh >build-board.log 2>&1 || { cat build-board.log; exit 1; }
rm -f build-board.log
# shellcheck disable=SC1091
. build-board/board.env
# The kernel command line of the virtual board, as the board suite and the lab boot it:
# only a panic reaches the console, every kernel line is still in dmesg.
append="$(cat sim/board/cmdline) qn_board.model=$model"
[ -z "$gp_id" ] || append+=" qn_board.gp_id=$gp_id"
[ -z "$mb_version" ] || append+=" qn_board.mb_version=$mb_version"
[ -z "$absent" ] || append+=" qn_board.absent=$absent"
if [ $pty -eq 1 ]; then
  console=(-serial pty -monitor stdio -display none)
  leave="type 'quit' at the (qemu) prompt here"
  keys="picocom: add --omap delbs; minicom: Ctrl-A T, Backspace key sends BS"
else
  console=(-nographic -serial mon:stdio)
  leave="Ctrl-A then X (Ctrl-A C toggles QEMU's monitor)"
  keys="press Ctrl-H, or set this terminal's Backspace key to send ^H"
fi
rm -f "$ctl" "$events"
cat <<EOM
Virtual board: Debian $QN_BOARD_ABI on vexpress-a9 (Cortex-A9), board model $model.
  At the "# " prompt, qn_shell starts the product; leave it with exit.
  Backspace in qn_shell: $keys.
    (A Linux terminal's Backspace sends DEL, 0x7F: qn_shell deletes under the cursor,
    nothing at the end of the line. Bench terminals send BS, 0x08: delete left.)
  Leave QEMU: $leave.
  Control lines from a second terminal, e.g.:
    scripts/board-ctl.sh 'pin 6_6 1' 'panel fd 21'     (also @trace, @vcd, @clear)
EOM
[ "$ctl" = "$PWD/build-board/ctl.sock" ] || echo "    (add --socket $ctl)"
exec qemu-system-arm -M vexpress-a9 -cpu cortex-a9 -m 256 \
  -kernel "$QN_BOARD_KERNEL" -dtb "$QN_BOARD_DTB" -initrd "$QN_BOARD_INITRD" \
  -append "$append" -audiodev none,id=none -global pl041.audiodev=none \
  "${console[@]}" -serial "unix:$ctl,server=on,wait=off" -serial "unix:$events,server=on,wait=off"
