#!/usr/bin/env bash
# A bench PC's hardware with a virtual board in each board's place (lab/benchpc/):
#   scripts/run-benchpc.sh up                 serial adapters, ser2net, pdudaemon (boards off)
#   scripts/run-benchpc.sh status             each board's port, outlet and power
#   scripts/run-benchpc.sh power NAME on|off|reboot   switch a board's outlet through pdudaemon
#   scripts/run-benchpc.sh flash NAME [MODEL] write a board's flash for MODEL (default: its
#                                             label); it boots it at its next power-on
#   scripts/run-benchpc.sh down               cut the boards, stop everything, list what is left
# Each board of lab/benchpc/benchpc.yaml gets a serial adapter that outlives it (a socat pty
# pair: the board's UART on one end, ser2net serving the other on the board's TCP port,
# telnet and RFC 2217 on 127.0.0.1), and an outlet of the PDU in pdudaemon (HTTP listener
# on 127.0.0.1) that boots it from its flash (on) or kills its QEMU (off). A board has no
# control UART; it boots to its root prompt with the drivers loaded and qn_shell on PATH.
# State, PID files and logs: build-benchpc/. Console: telnet 127.0.0.1 PORT (Ctrl-] quit).
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
state=$top/build-benchpc
py=/usr/bin/python3
conf=${QN_BENCHPC_CONF:-lab/benchpc}   # (another folder of the three files: the tests' own)

usage() { sed -n '2,14p' "$0" | sed 's/^# \{0,1\}//'; }
cmd=${1:-}
[ $# -eq 0 ] || shift
case $cmd in
  -h|--help|help) usage; exit 0 ;;
  up|down|status|power|flash) ;;
  '') usage >&2; exit 2 ;;
  *) echo "run-benchpc.sh: unknown command $cmd (see --help)" >&2; exit 2 ;;
esac

# --- the configuration ---------------------------------------------------------------
boards() { $py scripts/benchpc.py table; }           # NAME LABEL IMAGE PORT OUTLET
read -r pdu_name pdu_host pdu_port pdu_delay < <($py scripts/benchpc.py pdu) ||
  { echo "run-benchpc.sh: lab/benchpc/ is inconsistent" >&2; exit 1; }
board_line() { # NAME: its table line, or fail
  local l
  l=$(boards | awk -v n="$1" '$1 == n') && [ -n "$l" ] && echo "$l" ||
    { echo "run-benchpc.sh: no board $1 in lab/benchpc/benchpc.yaml" >&2; return 1; }
}

# --- processes ------------------------------------------------------------------------
# A process is ours if its PID file names a live process whose command line holds a
# word of ours (a PID used again by another program is not taken for it).
alive() { # PIDFILE WORD: prints the PID
  local p st
  [ -f "$1" ] || return 1
  p=$(cat "$1" 2>/dev/null) && [[ $p =~ ^[0-9]+$ ]] || return 1
  st=$(awk '{print $3}' "/proc/$p/stat" 2>/dev/null) || return 1
  [ "$st" != Z ] || return 1
  tr '\0' ' ' 2>/dev/null <"/proc/$p/cmdline" | grep -qF -- "$2" || return 1
  echo "$p"
}
stop() { # PIDFILE WORD WHAT: TERM, then KILL after 5 s
  local p i
  if p=$(alive "$1" "$2"); then
    kill -TERM "$p" 2>/dev/null || true
    for ((i = 0; i < 50; i++)); do alive "$1" "$2" >/dev/null || break; sleep 0.1; done
    alive "$1" "$2" >/dev/null && kill -KILL "$p" 2>/dev/null || true
    for ((i = 0; i < 20; i++)); do alive "$1" "$2" >/dev/null || break; sleep 0.1; done
    echo "stopped $3 (pid $p)"
  fi
  rm -f "$1"
}
port_owner() { # PORT: the PID of the process listening on it (nothing if none)
  ss -Hltnp "sport = :$1" 2>/dev/null | grep -o 'pid=[0-9]*' | head -n 1 | cut -d= -f2
}
served_by() { # PORT PID: that process listens on the port
  [ "$(port_owner "$1")" = "$2" ]
}
taken() { # PORT WHAT: fails, naming the process that holds the port (another bench PC?)
  local p
  p=$(port_owner "$1")
  [ -n "$p" ] || return 0
  echo "run-benchpc.sh: $2's port $1 is taken by pid $p: $(tr '\0' ' ' 2>/dev/null <"/proc/$p/cmdline")" >&2
  return 1
}
wait_for() { # SECONDS WHAT COMMAND...
  local n=$(($1 * 10)) what=$2 i
  shift 2
  for ((i = 0; i < n; i++)); do "$@" && return 0; sleep 0.1; done
  echo "run-benchpc.sh: $what did not come up (see build-benchpc/logs/)" >&2
  return 1
}
# Every process whose command line names this bench PC's state folder.
ours() {
  local p
  for p in /proc/[0-9]*; do
    [ "$(awk '{print $3}' "$p/stat" 2>/dev/null)" = Z ] && continue
    tr '\0' ' ' 2>/dev/null <"$p/cmdline" | grep -qF -- "$state/" &&
      printf '%s %s\n' "${p#/proc/}" "$(tr '\0' ' ' 2>/dev/null <"$p/cmdline")"
  done
  return 0
}

write_flash() { # NAME MODEL: the board's image with the model in its boot arguments
  local dir=$state/$1/flash
  mkdir -p "$dir"
  cp -L build-board/vmlinuz "$dir/vmlinuz.new" && mv "$dir/vmlinuz.new" "$dir/vmlinuz"
  cp -L build-board/vexpress-v2p-ca9.dtb "$dir/board.dtb.new" && mv "$dir/board.dtb.new" "$dir/board.dtb"
  cp -L build-board/initrd.gz "$dir/initrd.gz.new" && mv "$dir/initrd.gz.new" "$dir/initrd.gz"
  # the boot loader's environment in the board's flash: the virtual board's command line
  # (console on the first UART, quiet boot) and the model
  echo "$(cat sim/board/cmdline) qn_board.model=$2" >"$dir/bootargs"
  echo "$2" >"$dir/model"
}

power_state() { # NAME: on (pid N) | off
  local p
  if p=$(alive "$state/$1/qemu.pid" "-kernel $state/$1/flash/vmlinuz"); then echo "on (pid $p)"; else echo off; fi
}

pdu_request() { # REQUEST OUTLET: through pdudaemon's HTTP listener, as LAVA and labgrid do
  local url="http://$pdu_host:$pdu_port/power/control/$1?hostname=$pdu_name&port=$2"
  [ "$1" != reboot ] || url+="&delay=$pdu_delay"
  curl -fsS --max-time 120 "$url"
}

case $cmd in
up)
  . scripts/install.sh
  qn_install ser2net pdudaemon socat telnet curl python3-serial python3-yaml qemu-system-arm
  [ -f build-board/initrd.gz ] || bash sim/board/build.sh
  mkdir -p "$state/logs"
  boards >"$state/boards.new" && mv "$state/boards.new" "$state/boards"
  while read -r name label image port outlet; do
    dir=$state/$name
    mkdir -p "$dir"
    [ -f "$dir/flash/bootargs" ] || write_flash "$name" "$image"
    if ! alive "$dir/socat.pid" "link=$dir/adapter" >/dev/null; then
      rm -f "$dir/adapter" "$dir/uart"
      setsid socat PTY,link="$dir/adapter",raw,echo=0 PTY,link="$dir/uart",raw,echo=0 \
        </dev/null >"$state/logs/$name-socat.log" 2>&1 &
      echo $! >"$dir/socat.pid"
      wait_for 5 "the serial adapter of $name" test -e "$dir/adapter" -a -e "$dir/uart"
    fi
  done <"$state/boards"
  # The ports are checked by their owner: a ser2net or pdudaemon that started while another
  # bench PC held its port runs on without serving it.
  if ! pid=$(alive "$state/ser2net.pid" "$state/ser2net.yaml"); then
    $py scripts/benchpc.py ser2net "$state" >"$state/ser2net.yaml"
    while read -r name _ _ port _; do taken "$port" "$name" || exit 1; done <"$state/boards"
    # -u: no UUCP lock files in /var/lock for the stand-in adapters
    setsid ser2net -n -u -c "$state/ser2net.yaml" </dev/null >"$state/logs/ser2net.log" 2>&1 &
    pid=$!
    echo "$pid" >"$state/ser2net.pid"
  fi
  while read -r name _ _ port _; do
    wait_for 10 "ser2net (pid $pid) on port $port of $name (run down, then up)" served_by "$port" "$pid"
  done <"$state/boards"
  if ! pid=$(alive "$state/pdudaemon.pid" "$state/logs/pdudaemon.log"); then
    taken "$pdu_port" pdudaemon || exit 1
    # run from the checkout: its localcmdline commands name lab/benchpc/outlet
    setsid pdudaemon --conf "$conf/pdudaemon.conf" --logfile "$state/logs/pdudaemon.log" \
      --loglevel INFO </dev/null >"$state/logs/pdudaemon.out" 2>&1 &
    pid=$!
    echo "$pid" >"$state/pdudaemon.pid"
  fi
  wait_for 20 "pdudaemon (pid $pid) on port $pdu_port (run down, then up)" served_by "$pdu_port" "$pid"
  "$0" status
  ;;
status)
  printf '%-12s %-7s %-7s %-6s %-7s %s\n' BOARD LABEL IMAGE PORT OUTLET POWER
  while read -r name label image port outlet; do
    [ ! -f "$state/$name/flash/model" ] || image=$(cat "$state/$name/flash/model")
    printf '%-12s %-7s %-7s %-6s %-7s %s\n' "$name" "$label" "$image" "$port" "$outlet" "$(power_state "$name")"
  done < <(boards)
  for s in "ser2net:$state/ser2net.yaml" "pdudaemon:$state/logs/pdudaemon.log"; do
    if p=$(alive "$state/${s%%:*}.pid" "${s#*:}"); then
      if [ "${s%%:*}" = ser2net ]; then ports=$(boards | awk '{print $4}'); else ports=$pdu_port; fi
      lost=
      for port in $ports; do served_by "$port" "$p" || lost+=" $port"; done
      if [ -z "$lost" ]; then echo "${s%%:*}: running (pid $p)"
      else echo "${s%%:*}: running (pid $p) but not serving port$lost (down, then up)"; fi
    else
      echo "${s%%:*}: stopped"
    fi
  done
  echo "PDU $pdu_name: curl 'http://$pdu_host:$pdu_port/power/control/on?hostname=$pdu_name&port=OUTLET' (off, reboot&delay=$pdu_delay)"
  echo "console: telnet 127.0.0.1 PORT"
  ;;
power)
  [ $# -eq 2 ] && [[ $2 =~ ^(on|off|reboot)$ ]] || { echo "usage: run-benchpc.sh power NAME on|off|reboot" >&2; exit 2; }
  line=$(board_line "$1") || exit 1
  read -r _ _ _ _ outlet <<<"$line"
  pdu_request "$2" "$outlet"
  echo "$1: $(power_state "$1")"
  ;;
flash)
  [ $# -ge 1 ] && [ $# -le 2 ] || { echo "usage: run-benchpc.sh flash NAME [MODEL]" >&2; exit 2; }
  line=$(board_line "$1") || exit 1
  read -r _ label _ _ _ <<<"$line"
  model=${2:-$label}
  [[ $model =~ ^KD(3151|3252|3353|3454|3555)$ ]] || { echo "run-benchpc.sh: no model $model" >&2; exit 2; }
  [ -f build-board/initrd.gz ] || bash sim/board/build.sh
  write_flash "$1" "$model"
  echo "$1: flash written for $model ($(power_state "$1"); it boots it at its next power-on)"
  ;;
down)
  echo "running before: $(ours | wc -l) processes"
  ours | sed 's/^/  /'
  if [ -f "$state/boards" ]; then
    while read -r name _ _ _ outlet; do
      if p=$(alive "$state/$name/qemu.pid" "-kernel $state/$name/flash/vmlinuz"); then
        lab/benchpc/outlet off "$outlet"
        echo "cut $name (qemu pid $p)"
      fi
    done <"$state/boards"
  fi
  stop "$state/pdudaemon.pid" "$state/logs/pdudaemon.log" pdudaemon
  stop "$state/ser2net.pid" "$state/ser2net.yaml" ser2net
  if [ -f "$state/boards" ]; then
    while read -r name _ _ _ _; do
      stop "$state/$name/socat.pid" "link=$state/$name/adapter" "the serial adapter of $name"
      # the boards' flash goes too: the next up writes it as benchpc.yaml says
      rm -rf "${state:?}/$name"
    done <"$state/boards"
    rm -f "$state/boards" "$state/ser2net.yaml"
  fi
  left=$(ours)
  if [ -n "$left" ]; then
    echo "left running:"; echo "$left" | sed 's/^/  /'; exit 1
  fi
  echo "left running: nothing"
  ;;
esac
