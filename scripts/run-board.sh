#!/usr/bin/env bash
# Boots the virtual board (QEMU vexpress-a9 with the board driver module), its console
# on this terminal; usage() below says how.
set -euo pipefail
cd "$(dirname "$0")/.."
usage() {
  cat <<'EOF'
usage: scripts/run-board.sh [--model NAME] [--gp-id N] [--mb-version N] [--absent NODES]
                            [--serial-pty] [--ctl SOCKET] [--events SOCKET]
       (-h, --help: this text)

Boots the virtual board: Debian's armhf kernel on QEMU's vexpress-a9 (Cortex-A9) with
the board driver module loaded, its console on this terminal, at a root prompt where
qn_shell starts the product. Builds build-board/ on first use.
  --model NAME     board model KD3151 ... KD3555 or a number (default KD3454)
  --gp-id N, --mb-version N, --absent NODES
                   the board driver's parameters (absent: qn_KD300,tw_286x,panel)
  --serial-pty     the console on a pty for a terminal program (QEMU prints its name),
                   QEMU's monitor on this terminal: picocom (scripts/install.sh picocom;
                   picocom --omap delbs /dev/pts/N) or minicom (scripts/install.sh minicom)
  --ctl SOCKET     the control UART (default build-board/ctl.sock): send control lines
                   with scripts/board-ctl.sh
  --events SOCKET  the board link's event stream (default build-board/events.sock)
EOF
}
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
    -h|--help) usage; exit 0 ;;
    *) echo "run-board.sh: unknown option $1 (see --help)" >&2; exit 2 ;;
  esac
done
bash sim/board/build.sh >build-board.log 2>&1 || { cat build-board.log; exit 1; }
rm -f build-board.log
# shellcheck disable=SC1091
. build-board/board.env
# loglevel=1: only a panic reaches the console, which shows the banner and the prompt;
# every kernel line is still in dmesg. tests/board/env-qemu.yaml boots the same way.
append="console=ttyAMA0 loglevel=1 qn_board.model=$model"
[ -z "$gp_id" ] || append+=" qn_board.gp_id=$gp_id"
[ -z "$mb_version" ] || append+=" qn_board.mb_version=$mb_version"
[ -z "$absent" ] || append+=" qn_board.absent=$absent"
if [ $pty -eq 1 ]; then
  console=(-serial pty -monitor stdio -display none)
  leave="type 'quit' at the (qemu) prompt here"
  keys="picocom: add --omap delbs; minicom: Ctrl-A T, Backspace key sends BS"
  terminal="  Console: picocom --omap delbs /dev/pts/N (N as QEMU names it below) or minicom -D
    /dev/pts/N; install them with scripts/install.sh picocom (or minicom)."
else
  console=(-nographic -serial mon:stdio)
  leave="Ctrl-A then X (Ctrl-A C toggles QEMU's monitor)"
  keys="press Ctrl-H, or set this terminal's Backspace key to send ^H"
  terminal=
fi
rm -f "$ctl" "$events"
cat <<EOM
Virtual board: Debian $QN_BOARD_ABI on vexpress-a9 (Cortex-A9), board model $model.
  At the "# " prompt, qn_shell starts the product; leave it with exit.
  Backspace in qn_shell: $keys.
    (A Linux terminal's Backspace sends DEL, 0x7F: qn_shell deletes under the cursor,
    nothing at the end of the line. Bench terminals send BS, 0x08: delete left.)
  Leave QEMU: $leave.
${terminal:+$terminal
}  Control lines from a second terminal, e.g.:
    scripts/board-ctl.sh 'pin 6_6 1' 'panel fd 21'     (also @state, @trace, @vcd, @clear)
EOM
[ "$ctl" = "$PWD/build-board/ctl.sock" ] || echo "    (add --socket $ctl)"
exec qemu-system-arm -M vexpress-a9 -cpu cortex-a9 -m 256 \
  -kernel "$QN_BOARD_KERNEL" -dtb "$QN_BOARD_DTB" -initrd "$QN_BOARD_INITRD" \
  -append "$append" -audiodev none,id=none -global pl041.audiodev=none \
  "${console[@]}" -serial "unix:$ctl,server=on,wait=off" -serial "unix:$events,server=on,wait=off"
