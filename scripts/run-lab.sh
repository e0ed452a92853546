#!/usr/bin/env bash
# A LAVA lab on this machine; usage() says how.
usage() {
  cat <<'EOF'
usage: scripts/run-lab.sh COMMAND     (-h, --help: this text)

A LAVA lab on this machine: one server, three workers (bench PCs), each holding its own
boards (lab/site.yaml): bench-1 and bench-2 virtual boards, bench-3 the boards of the bench
PC stand-in (scripts/run-benchpc.sh: ser2net consoles, pdudaemon outlets). Run as root.
  up                 install LAVA if missing, start and register everything
  test [--device-type qn-vboard|qn-board] [--model NAME]...
                     the acceptance job of every model (or those named)
                     on the device type (qn-board: the models of its Good
                     boards): table, LAVA's JUnit XML in build-lab/results/;
                     status 1 when a job is not Complete or a case failed
  must-fail          the two jobs that must fail: a model's job on a board
                     of another model, a job with no character delay
  health             wait for the health checks, each device's health
  wrong-image        the bench PC's board with another model's image: Bad,
                     no job; its image put right, Unknown, checked, in use
  faults             power cut, ser2net restart and a hung board, each in
                     the middle of a job on the bench PC, and what LAVA says
  down [--wipe]      stop what up started (the bench PC too); --wipe also
                     drops the database and LAVA's job output
  status             the lab's processes
Submit a job of your own: lavacli --uri "$(cat build-lab/lavacli.uri)" jobs submit JOB.yaml
(build-lab/example.yaml is one, with the lab's image server)
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
IMAGE_PORT=$($py scripts/lab.py get image_port)   # the board images (lab/site.yaml)
ADMIN=admin          # the web UI's superuser; up makes its secret, build-lab/web-login
SETTINGS=/etc/lava-server/settings.d/50-qn-lab.yaml
MODELS=(KD3151 KD3252 KD3353 KD3454 KD3555)
# How the jobs start the shell: under oldkernel, the system calls of the boards' Linux 3.0
# (every later call answers ENOSYS), on the virtual boards and the bench PC's alike.
SHELL_CMD="oldkernel qn_shell"
WORKERS=$($py scripts/lab.py get workers)

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
  say "bench PC (bench-3's boards)"
  [ -n "${QN_NO_BENCHPC:-}" ] || scripts/run-benchpc.sh up | sed 's/^/  /'

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

  say "superuser, its secret and API token (build-lab/web-login, build-lab/lavacli.uri: mode 0600)"
  # A secret of this lab's own, made once and kept in build-lab/ (never a fixed one). The
  # shell reads it from the environment: it appears on no command line.
  if [ ! -s "$lab/web-login" ] || ! manage users details "$ADMIN" >/dev/null 2>&1; then
    local secret
    secret=$(head -c 18 /dev/urandom | base64 | tr '+/' '-_')
    QN_LAB_ADMIN=$ADMIN QN_LAB_SECRET=$secret manage shell -c '
import os
from django.contrib.auth.models import User
u, _ = User.objects.get_or_create(username=os.environ["QN_LAB_ADMIN"])
u.is_superuser = u.is_staff = True
u.set_password(os.environ["QN_LAB_SECRET"])
u.save()' || die "cannot set up the superuser"
    (umask 077; printf 'user %s\nsecret %s\n' "$ADMIN" "$secret" >"$lab/web-login")
    echo "  superuser $ADMIN: a new secret in build-lab/web-login"
  fi
  # LAVA's default worker: the lab has its own
  manage shell -c 'from lava_scheduler_app.models import Worker
Worker.objects.filter(hostname="example.com").delete()'
  local token
  token=$(manage tokens list --user "$ADMIN" --csv 2>/dev/null | awk -F, 'NR > 1 && $2 != "" {print $2; exit}')
  [ -n "$token" ] || token=$(manage tokens add --user "$ADMIN" | tail -n 1)
  [ -n "$token" ] || die "no API token for $ADMIN"
  (umask 077; printf 'http://%s:%s@127.0.0.1:%s/RPC2\n' "$ADMIN" "$token" "$WEB_PORT" >"$lab/lavacli.uri")
  chmod 600 "$lab/web-login" "$lab/lavacli.uri"

  say "device types, tags, workers, devices (lab/site.yaml and the device dictionaries)"
  local t
  for t in $($py scripts/lab.py get device_types); do
    $py lab/jobs/render.py --health-check --device-type "$t" --shell "$SHELL_CMD" >"$lab/jobs/health-$t.yaml"
  done
  $py scripts/lab.py "$(uri)" register "$lab/workers"
  # a job of a user's own, with this lab's image server
  sed "s|{images}|http://127.0.0.1:$IMAGE_PORT|g" lab/jobs/example.yaml >"$lab/example.yaml"

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
  echo "  web UI:  http://127.0.0.1:$WEB_PORT/  (log in as build-lab/web-login says)"
  echo "  lavacli: lavacli --uri \"\$(cat build-lab/lavacli.uri)\" jobs submit build-lab/example.yaml"
  echo "  images:  http://127.0.0.1:$IMAGE_PORT/{vmlinuz,vexpress-v2p-ca9.dtb,initrd.gz}"
}

need_up() {
  if [ ! -f "$lab/lavacli.uri" ] || ! alive gunicorn; then die "the lab is not up: scripts/run-lab.sh up"; fi
}

render() { # out model [render options]
  local out=$1 model=$2; shift 2
  $py lab/jobs/render.py --model "$model" --shell "$SHELL_CMD" "$@" >"$out"
}

cmd_test() {
  local models=() jobs=() m type=qn-vboard
  while [ $# -gt 0 ]; do
    case $1 in
      --model) models+=("${2:?--model NAME}"); shift 2 ;;
      --device-type) type=${2:?--device-type TYPE}; shift 2 ;;
      *) die "test: unknown option $1" ;;
    esac
  done
  need_up
  if [ ${#models[@]} -eq 0 ]; then
    if [ "$type" = qn-vboard ]; then models=("${MODELS[@]}")
    else read -r -a models < <($py scripts/lab.py "$(uri)" models "$type"); fi
  fi
  [ ${#models[@]} -gt 0 ] || die "test: no Good board of type $type (scripts/run-lab.sh health)"
  local out=$lab/results/acceptance
  [ "$type" = qn-vboard ] || out=$lab/results/acceptance-$type
  rm -rf "$out"
  for m in "${models[@]}"; do
    render "$lab/jobs/acceptance-$m-$type.yaml" "$m" --device-type "$type"
    jobs+=("$lab/jobs/acceptance-$m-$type.yaml")
  done
  say "acceptance jobs on $type: ${models[*]}"
  $py scripts/lab.py "$(uri)" run --out "$out" "${jobs[@]}"
}

lava() { lavacli --uri "$(uri)" "$@"; }
field() { # JOB KEY: a field of lavacli jobs show
  lava jobs show "$1" --yaml | $py -c 'import sys, yaml; print(yaml.safe_load(sys.stdin)[sys.argv[1]])' "$2"
}
device_field() { # DEVICE KEY
  lava devices show "$1" --yaml | $py -c 'import sys, yaml; print(yaml.safe_load(sys.stdin)[sys.argv[1]])' "$2"
}
job_error() { # JOB: LAVA's error of the job
  lava results "$1" lava job --yaml | $py -c 'import sys, yaml
r = yaml.safe_load(sys.stdin) or [{}]
md = r[0].get("metadata") or {}
print("%s: %s" % (md.get("error_type", ""), md.get("error_msg", "")))'
}
wait_job() { # JOB SECONDS: until it is finished; prints its health
  lava jobs wait "$1" --polling 2 --timeout "$2" >/dev/null || true
  field "$1" health
}
wait_device() { # DEVICE HEALTH STATE SECONDS
  local i
  for ((i = 0; i < $4; i += 2)); do
    [ "$(device_field "$1" health) $(device_field "$1" state)" = "$2 $3" ] && return 0
    sleep 2
  done
  return 1
}

cmd_health() {
  need_up
  say "health checks (one job a device type: boot, prompt, qn_shell, mbinfo names the device's model)"
  $py scripts/lab.py "$(uri)" health --timeout 900 || return 1
  # every board Good but the bench PC's board with another model's image
  local bad
  bad=$(lava devices list --yaml | $py -c 'import sys, yaml
print(" ".join(d["hostname"] for d in yaml.safe_load(sys.stdin) if d["health"] != "Good" and d["hostname"] != sys.argv[1]))' "$WRONG")
  [ -z "$bad" ] || die "health: not Good: $bad"
}

# The board of the bench PC whose flash holds another model's image (lab/benchpc/benchpc.yaml).
WRONG=qn-board-03
cmd_wrong_image() {
  need_up
  local label image id hc health t0
  read -r _ label image _ < <($py scripts/benchpc.py table | awk -v n=$WRONG '$1 == n')
  say "$WRONG: labelled $label, its flash holds a $image image"
  [ "$(device_field $WRONG health)" = Bad ] || die "$WRONG is not Bad after its health check"
  echo "  health Bad after its health check"
  render "$lab/jobs/wrong-image-$label.yaml" "$label" --device-type qn-board --name "acceptance $label on qn-board, waiting for a Good board"
  id=$(lava jobs submit "$lab/jobs/wrong-image-$label.yaml")
  sleep 15
  [ "$(field "$id" state)" = Submitted ] || die "job $id for tag ${label,,} left the queue while $WRONG is Bad"
  echo "  job $id (tag ${label,,}): still Submitted after 15 s, no board takes it"
  say "$WRONG: its image put right, set back to Unknown"
  scripts/run-benchpc.sh flash $WRONG | sed 's/^/  /'
  lava devices update $WRONG --health UNKNOWN
  t0=$SECONDS
  wait_device $WRONG Good Idle 300 || wait_device $WRONG Good Reserved 2 || wait_device $WRONG Good Running 2 ||
    die "$WRONG did not become Good"
  echo "  health Good after a new health check ($((SECONDS - t0)) s)"
  health=$(wait_job "$id" 600)
  echo "  job $id: $health on $(field "$id" device)"
  [ "$health" = Complete ] || die "job $id: $health ($(job_error "$id"))"
  # the flash as benchpc.yaml has it, and a new health check: the board is Bad again
  scripts/run-benchpc.sh flash $WRONG "$image" >/dev/null
  lava devices update $WRONG --health UNKNOWN
  echo "  $WRONG: its $image image written again, Unknown: its next health check finds it"
}

# A fault in the middle of a job on the bench PC's KD3151 board, once the shell runs.
fault_job() { # NAME: submits the short-timeout job, waits until it types mbinfo; prints the id
  render "$lab/jobs/fault-$1.yaml" KD3151 --device-type qn-board --test-timeout 60 --name "fault: $1"
  local id
  id=$(lava jobs submit "$lab/jobs/fault-$1.yaml")
  $py scripts/lab.py "$(uri)" wait-log "$id" "Sending 'mbinfo'" --timeout 300 >&2 || die "job $id never reached the shell"
  echo "$id"
}
fault_end() { # ID T0 WHAT: the job Incomplete with its error, the board Idle again
  local id=$1 t0=$2 health err board=qn-board-01
  health=$(wait_job "$id" 300)
  err=$(job_error "$id")
  printf '  job %s: %s %s s after the fault: %s
' "$id" "$health" "$((SECONDS - t0))" "$err"
  [ "$health" = Incomplete ] || die "job $id: $health after $3"
  wait_device $board Good Idle 120 || die "$board not Idle and Good after $3"
  echo "  $board: $(device_field $board health), $(device_field $board state)"
}
cmd_faults() {
  need_up
  local id t0 pid pdu
  pdu=$($py scripts/benchpc.py pdu | awk '{print "http://" $2 ":" $3 "/power/control/off?hostname=" $1}')
  say "fault: the outlet switched off through pdudaemon in the middle of a job"
  id=$(fault_job power-cut)
  t0=$SECONDS
  curl -fsS "$pdu&port=1" | sed 's/^/  pdudaemon: /'; echo
  fault_end "$id" "$t0" "the power cut"

  say "fault: ser2net restarted in the middle of a job"
  id=$(fault_job ser2net-restart)
  t0=$SECONDS
  kill -TERM "$(cat build-benchpc/ser2net.pid)"
  scripts/run-benchpc.sh up >/dev/null
  echo "  ser2net restarted (pid $(cat build-benchpc/ser2net.pid))"
  fault_end "$id" "$t0" "the ser2net restart"

  say "fault: the board hangs (its QEMU stopped) in the middle of a job"
  id=$(fault_job hung-board)
  t0=$SECONDS
  pid=$(cat build-benchpc/qn-board-01/qemu.pid)
  kill -STOP "$pid"
  echo "  QEMU $pid stopped"
  fault_end "$id" "$t0" "the hang"
  if kill -0 "$pid" 2>/dev/null; then die "the hung board's QEMU $pid outlived the job's power-off"; fi
  echo "  the hung board's QEMU $pid is gone: LAVA switched its outlet off at the job's end"
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
  say "bench PC"
  scripts/run-benchpc.sh down | sed 's/^/  /'
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
    rm -rf "$lab/workers" "$lab/lavacli.uri" "$lab/web-login" "$lab/example.yaml" "$lab/jobs"
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
  scripts/run-benchpc.sh status
}

case ${1:-} in
  up) shift; cmd_up "$@" ;;
  test) shift; cmd_test "$@" ;;
  must-fail) shift; cmd_must_fail "$@" ;;
  health) shift; cmd_health "$@" ;;
  wrong-image) shift; cmd_wrong_image "$@" ;;
  faults) shift; cmd_faults "$@" ;;
  down) shift; cmd_down "$@" ;;
  status) shift; cmd_status "$@" ;;
  -h | --help) usage ;;
  "") usage >&2; exit 2 ;;
  *) die "unknown command $1 (see --help)" ;;
esac
