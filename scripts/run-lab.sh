#!/usr/bin/env bash
# A LAVA lab of virtual boards on this machine; usage() below says how.
usage() {
  cat <<'EOF'
usage: scripts/run-lab.sh COMMAND     (-h, --help: this text)

A LAVA lab of virtual boards on this machine: one server, two workers (bench PCs), each
holding its own boards (lab/lab.yaml). Run as root.
  scripts/run-lab.sh up                 install LAVA if missing, start and register everything
  scripts/run-lab.sh test [--model NAME]...
                                        the acceptance job of every model (or those named):
                                        table, JUnit XML in build-lab/results/; status 1 when
                                        a job is not Complete or a case failed
  scripts/run-lab.sh must-fail          the two jobs that must fail: a model's job on a board
                                        of another model, a job with no character delay
  scripts/run-lab.sh down [--wipe]      stop what up started; --wipe also drops the
                                        database and LAVA's job output
  scripts/run-lab.sh status             the lab's processes
Submit a job of your own: lavacli --uri "$(cat build-lab/lavacli.uri)" jobs submit JOB.yaml
EOF
}
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
lab=$top/build-lab
run=$lab/run                 # PID files
logs=$lab/logs
export PATH=/usr/bin:/usr/sbin:/bin:/sbin:$PATH   # Debian's python3 first: LAVA lives there
py=/usr/bin/python3

WEB_PORT=18461      # web UI and API (gunicorn)
WS_PORT=18462       # publisher: websocket for the workers
EVENT_PORT=18463    # publisher: event stream for the scheduler
IMAGE_PORT=18464    # the board images, as a lab's artifact server would serve them
LAB_USER=lab
SETTINGS=/etc/lava-server/settings.d/50-qn-lab.yaml
MODELS=(KD3151 KD3252 KD3353 KD3454 KD3555)
WORKERS=$($py -c 'import sys,yaml; print(" ".join(yaml.safe_load(open(sys.argv[1]))["workers"]))' lab/lab.yaml 2>/dev/null || echo "bench-1 bench-2")

say() { printf '== %s\n' "$*"; }
die() { printf 'run-lab.sh: %s\n' "$*" >&2; exit 1; }
alive() { [ -f "$run/$1.pid" ] && kill -0 "$(cat "$run/$1.pid")" 2>/dev/null; }
# start NAME CMD...: detached in its own session, PID recorded, output to logs/NAME.log
start() {
  local name=$1; shift
  if alive "$name"; then echo "  $name running (pid $(cat "$run/$name.pid"))"; return 0; fi
  setsid "$@" >"$logs/$name.log" 2>&1 </dev/null &
  echo $! >"$run/$name.pid"
  echo "  $name started (pid $!)"
}
wait_http() { # url seconds
  local i
  for ((i = 0; i < $2 * 4; i++)); do
    curl -fsS -o /dev/null "$1" 2>/dev/null && return 0
    sleep 0.25
  done
  return 1
}
pg_version() { pg_lsclusters -h 2>/dev/null | awk '$2 == "main" {print $1; exit}'; }
manage() { lava-server manage "$@"; }
uri() { cat "$lab/lavacli.uri"; }

install_lava() {
  bash scripts/install.sh lava-server lava-dispatcher lavacli postgresql curl qemu-system-arm
}

cmd_up() {
  local t0=$SECONDS
  install_lava
  [ -f build-board/initrd.gz ] || { say "board images"; bash sim/board/build.sh; }
  mkdir -p "$run" "$logs" "$lab/workers" "$lab/jobs" "$lab/results"

  say "PostgreSQL"
  local v; v=$(pg_version)
  [ -n "$v" ] || die "no PostgreSQL cluster (pg_lsclusters)"
  if ! pg_lsclusters -h | awk -v v="$v" '$1 == v && $2 == "main"' | grep -q online; then
    pg_ctlcluster "$v" main start
    echo "$v" >"$run/postgresql.started"
    echo "  cluster $v/main started"
  else
    echo "  cluster $v/main running"
  fi

  say "server settings and database"
  install -m 0644 lab/server/settings.yaml "$SETTINGS"
  if ! su postgres -c "psql -tAc \"SELECT 1 FROM pg_database WHERE datname='lavaserver'\"" | grep -q 1; then
    $py /usr/share/lava-server/postinst.py --config --db --fixup >"$logs/postinst.log" 2>&1 ||
      { cat "$logs/postinst.log"; die "database set-up failed"; }
    echo "  database created"
  else
    echo "  database present"
  fi

  say "server processes"
  start gunicorn gunicorn3 lava_server.wsgi -u lavaserver -g lavaserver --worker-class eventlet \
    --workers 2 --bind "127.0.0.1:$WEB_PORT" --log-level INFO
  start publisher lava-server manage lava-publisher --host 127.0.0.1 --port "$WS_PORT" --level INFO
  start scheduler lava-server manage lava-scheduler --event-url "tcp://127.0.0.1:$EVENT_PORT" --level INFO
  start images $py -m http.server "$IMAGE_PORT" --bind 127.0.0.1 --directory "$top/build-board"
  wait_http "http://127.0.0.1:$WEB_PORT/api/v0.2/system/version/" 60 || die "the server does not answer (logs: $logs)"

  say "user and token"
  manage users details "$LAB_USER" >/dev/null 2>&1 ||
    manage users add "$LAB_USER" --superuser --staff --passwd "$LAB_USER" >/dev/null
  local token
  token=$(manage tokens list --user "$LAB_USER" --csv 2>/dev/null | awk -F, 'NR > 1 && $2 != "" {print $2; exit}')
  [ -n "$token" ] || token=$(manage tokens add --user "$LAB_USER" | tail -n 1)
  [ -n "$token" ] || die "no API token for $LAB_USER"
  printf 'http://%s:%s@127.0.0.1:%s/RPC2\n' "$LAB_USER" "$token" "$WEB_PORT" >"$lab/lavacli.uri"
  chmod 600 "$lab/lavacli.uri"

  say "device types, tags, workers, devices (lab/lab.yaml)"
  $py scripts/lab.py "$(uri)" register lab/lab.yaml "$lab/workers"

  say "workers"
  local w
  for w in $WORKERS; do
    mkdir -p "$lab/workers/$w/work"
    # The boards ahead of the machine's other work: an emulated board must read each typed
    # key before the next one arrives. LAVA runs each job 10 steps nicer than its worker, so
    # a worker at nice -15 runs its jobs, and their QEMU, at -5.
    start "worker-$w" nice -n -15 lava-worker --name "$w" --url "http://127.0.0.1:$WEB_PORT/" \
      --ws-url "http://127.0.0.1:$WS_PORT/ws/" --ping-interval 2 \
      --token-file "$lab/workers/$w/token" --worker-dir "$lab/workers/$w/work" --level INFO
  done
  # shellcheck disable=SC2086
  $py scripts/lab.py "$(uri)" online $WORKERS --timeout 60 || die "workers not online (logs: $logs)"
  say "lab up in $((SECONDS - t0)) s"
  echo "  web UI:  http://127.0.0.1:$WEB_PORT/  (user $LAB_USER, password $LAB_USER)"
  echo "  lavacli: lavacli --uri \"\$(cat build-lab/lavacli.uri)\" jobs submit JOB.yaml"
  echo "  images:  http://127.0.0.1:$IMAGE_PORT/{vmlinuz,vexpress-v2p-ca9.dtb,initrd.gz}"
}

need_up() {
  if [ ! -f "$lab/lavacli.uri" ] || ! alive gunicorn; then die "the lab is not up: scripts/run-lab.sh up"; fi
}

render() { # out model [render options]
  local out=$1 model=$2; shift 2
  $py lab/jobs/render.py --model "$model" --images "http://127.0.0.1:$IMAGE_PORT" "$@" >"$out"
}

cmd_test() {
  local models=() jobs=() m
  while [ $# -gt 0 ]; do
    case $1 in
      --model) models+=("${2:?--model NAME}"); shift 2 ;;
      *) die "test: unknown option $1" ;;
    esac
  done
  [ ${#models[@]} -gt 0 ] || models=("${MODELS[@]}")
  need_up
  rm -rf "$lab/results/acceptance"
  for m in "${models[@]}"; do
    render "$lab/jobs/acceptance-$m.yaml" "$m"
    jobs+=("$lab/jobs/acceptance-$m.yaml")
  done
  say "acceptance jobs: ${models[*]}"
  $py scripts/lab.py "$(uri)" run --out "$lab/results/acceptance" "${jobs[@]}"
}

cmd_must_fail() {
  need_up
  rm -rf "$lab/results/must-fail"
  # A KD3555 job on a KD3454 board; the KD3151 job without the per-character delay.
  render "$lab/jobs/wrong-board.yaml" KD3555 --board-tag kd3454 --name "must fail: KD3555 job on a KD3454 board"
  render "$lab/jobs/no-delay.yaml" KD3151 --character-delay 0 --name "must fail: KD3151 job without character delay"
  say "jobs that must fail"
  $py scripts/lab.py "$(uri)" must-fail --out "$lab/results/must-fail" \
    "$lab/jobs/wrong-board.yaml=wrong board model" "$lab/jobs/no-delay.yaml=keys summed"
}

tree() { # pid: the process and all its descendants (QEMU runs in a session of its own)
  ps -eo pid=,ppid= | awk -v root="$1" '
    { kids[$2] = kids[$2] " " $1 }
    END { n = split(root, todo); while (n > 0) { p = todo[n--]; print p
          m = split(kids[p], k); for (i = 1; i <= m; i++) todo[++n] = k[i] } }'
}
running() { # pid...: one of them still runs (a zombie has ended)
  local p
  for p in "$@"; do
    case $(ps -o stat= -p "$p" 2>/dev/null) in "" | Z*) ;; *) return 0 ;; esac
  done
  return 1
}
stop() { # name
  alive "$1" || { rm -f "$run/$1.pid"; return 0; }
  local pid i pids t0=$SECONDS
  pid=$(cat "$run/$1.pid")
  pids=$(tree "$pid" | tr '\n' ' ')
  # shellcheck disable=SC2086
  kill -TERM $pids 2>/dev/null || true
  for ((i = 0; i < 60; i++)); do
    # shellcheck disable=SC2086
    running $pids || break
    sleep 0.25
  done
  # shellcheck disable=SC2086
  kill -KILL $pids 2>/dev/null || true
  rm -f "$run/$1.pid"
  echo "  $1 stopped ($((SECONDS - t0)) s)"
}

cmd_down() {
  local wipe=0 w
  [ "${1:-}" = "--wipe" ] && wipe=1
  say "stopping the lab"
  # workers first (each ends its jobs' QEMU with its own process group), then the server
  for w in $WORKERS; do stop "worker-$w"; done
  for w in scheduler publisher gunicorn images; do stop "$w"; done
  if [ $wipe -eq 1 ]; then
    say "wiping the database and LAVA's job output"
    local v; v=$(pg_version)
    if [ -n "$v" ] && ! pg_lsclusters -h | awk -v v="$v" '$1 == v && $2 == "main"' | grep -q online; then
      pg_ctlcluster "$v" main start; echo "$v" >"$run/postgresql.started"
    fi
    su postgres -c "dropdb --if-exists lavaserver" && echo "  database dropped"
    rm -rf /var/lib/lava-server/default/media/job-output/*
    rm -f /etc/lava-server/dispatcher-config/devices/qn-*.jinja2 \
      /etc/lava-server/dispatcher-config/device-types/qn-*.jinja2 "$SETTINGS"
    rm -rf "$lab/workers" "$lab/lavacli.uri" "$lab/jobs"
  fi
  if [ -f "$run/postgresql.started" ]; then
    pg_ctlcluster "$(cat "$run/postgresql.started")" main stop && echo "  PostgreSQL stopped"
    rm -f "$run/postgresql.started"
  fi
  rm -f /tmp/qn-lab.events
}

cmd_status() {
  local n
  # shellcheck disable=SC2086
  for n in gunicorn publisher scheduler images $(printf 'worker-%s ' $WORKERS); do
    if alive "$n"; then echo "$n: pid $(cat "$run/$n.pid")"; else echo "$n: stopped"; fi
  done
  if [ -f "$run/postgresql.started" ]; then echo "postgresql: started by the lab"; fi
}

case ${1:-} in
  up) shift; cmd_up "$@" ;;
  test) shift; cmd_test "$@" ;;
  must-fail) shift; cmd_must_fail "$@" ;;
  down) shift; cmd_down "$@" ;;
  status) shift; cmd_status "$@" ;;
  -h | --help) usage ;;
  "") usage >&2; exit 2 ;;
  *) die "unknown command $1 (see --help)" ;;
esac
