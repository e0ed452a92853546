#!/usr/bin/env bash
# Benchmark of the LAVA lab (scripts/run-lab.sh): bring-up times, the health checks, one
# acceptance job alone on a virtual board and on a bench PC's board, the whole lab's jobs at
# once on its three workers, and the resident memory of the lab's processes idle and during
# the jobs. Prints Markdown rows. Measured here, never asserted. Run as root; it leaves the
# lab down and wiped.
set -euo pipefail
cd "$(dirname "$0")/.."
lab=build-lab

# Resident memory (MiB) of the lab: every process started by run-lab.sh with all its
# descendants (the workers' lava-run and QEMU), and PostgreSQL's processes.
rss() {
  /usr/bin/python3 - "$lab/run" <<'EOP'
import os, subprocess, sys
ps = subprocess.run(["ps", "-eo", "pid=,ppid=,user=,rss="], capture_output=True, text=True).stdout
procs = [l.split() for l in ps.splitlines()]
kids = {}
for pid, ppid, _, _ in procs:
    kids.setdefault(ppid, []).append(pid)
todo = []
for f in os.listdir(sys.argv[1]):
    if f.endswith(".pid"):
        todo.append(open(os.path.join(sys.argv[1], f)).read().strip())
seen = set()
while todo:
    p = todo.pop()
    if p not in seen:
        seen.add(p)
        todo += kids.get(p, [])
total = sum(int(r) for pid, _, user, r in procs if pid in seen or user == "postgres")
print(total // 1024)
EOP
}
seconds() { # START END in LAVA's 20261209T06:03:26 form
  /usr/bin/python3 -c 'import sys,datetime as d; f=lambda s: d.datetime.strptime(s, "%Y%m%dT%H:%M:%S"); print(int((f(sys.argv[2]) - f(sys.argv[1])).total_seconds()))' "$1" "$2"
}

scripts/run-lab.sh down --wipe >/dev/null
t0=$(date +%s.%N)
scripts/run-lab.sh up >/dev/null
up_wiped=$(echo "$(date +%s.%N) - $t0" | bc)
scripts/run-lab.sh health >/dev/null || true
health=$(echo "$(date +%s.%N) - $t0" | bc)
scripts/run-lab.sh down >/dev/null
t0=$(date +%s.%N)
scripts/run-lab.sh up >/dev/null
up_kept=$(echo "$(date +%s.%N) - $t0" | bc)
sleep 10
idle=$(rss)

# one job alone, the same model on a virtual board and on a bench PC's board
single=()
for type in qn-vboard qn-board; do
  for m in KD3151 KD3555; do
    scripts/run-lab.sh test --device-type "$type" --model "$m" >/dev/null
    dir=$lab/results/acceptance; [ "$type" = qn-vboard ] || dir=$lab/results/acceptance-$type
    read -r _ _ submit end < <(grep "^acceptance-$m-$type " "$dir/times.txt")
    single+=("| one acceptance job alone on $type, $m: submission to end | $(seconds "$submit" "$end") s |")
  done
done

# the whole lab: the five models on the virtual boards and bench-3's two at once
peak_file=$(mktemp)
echo 0 >"$peak_file"
( while :; do r=$(rss); [ "$r" -gt "$(cat "$peak_file")" ] && echo "$r" >"$peak_file"; sleep 1; done ) 2>/dev/null &
sampler=$!
t0=$(date +%s.%N)
scripts/run-lab.sh test >/dev/null &
v=$!
scripts/run-lab.sh test --device-type qn-board >/dev/null || true
wait "$v" || true
whole=$(echo "$(date +%s.%N) - $t0" | bc)
kill "$sampler"; wait "$sampler" 2>/dev/null || true
peak=$(cat "$peak_file"); rm -f "$peak_file"
vwall=$(awk '$1 == "wall" {print $2}' "$lab/results/acceptance/times.txt")
bwall=$(awk '$1 == "wall" {print $2}' "$lab/results/acceptance-qn-board/times.txt")
scripts/run-lab.sh down --wipe >/dev/null

echo "Lab taken $(date -u +%Y-%m-%d) on $(nproc) cores, $(uname -m); LAVA $(dpkg-query -W -f='${Version}' lava-server)."
echo
echo "| measure | figure |"
echo "|---|---|"
printf '| lab bring-up, wiped state (database created, bench PC started) to workers online | %.1f s |\n' "$up_wiped"
printf '| wiped state to the health checks of all 8 devices done (5 virtual, 3 on the bench PC) | %.1f s |\n' "$health"
printf '| lab bring-up, stopped (database kept) to workers online | %.1f s |\n' "$up_kept"
printf '%s\n' "${single[@]}"
printf '| the whole lab: 5 acceptance jobs on bench-1/2 and 2 on bench-3 at once, wall time | %.1f s (virtual boards %s s, bench PC %s s) |\n' "$whole" "$vwall" "$bwall"
echo "| resident memory of the lab, idle (server, publisher, scheduler, PostgreSQL, three workers, image server; bench PC boards off) | $idle MiB |"
echo "| resident memory of the lab, peak during the whole lab's jobs (three boards under test at a time) | $peak MiB |"
