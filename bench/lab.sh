#!/usr/bin/env bash
# Benchmark of the LAVA lab (scripts/run-lab.sh): bring-up times, one acceptance job alone,
# the five jobs at once on the two workers against the sum of their single-job times, and
# the resident memory of the lab's processes idle and during the jobs. Prints Markdown
# rows. Measured here, never asserted. Run as root; it leaves the lab down and wiped.
set -euo pipefail
cd "$(dirname "$0")/.."
lab=build-lab
models=(KD3151 KD3252 KD3353 KD3454 KD3555)

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
scripts/run-lab.sh down >/dev/null
t0=$(date +%s.%N)
scripts/run-lab.sh up >/dev/null
up_kept=$(echo "$(date +%s.%N) - $t0" | bc)
sleep 10
idle=$(rss)

single=()
sum=0
for m in "${models[@]}"; do
  scripts/run-lab.sh test --model "$m" >/dev/null
  read -r _ _ submit end < <(grep "^acceptance-$m " "$lab/results/acceptance/times.txt")
  s=$(seconds "$submit" "$end")
  single+=("$m $s s")
  sum=$((sum + s))
done

peak_file=$(mktemp)
echo 0 >"$peak_file"
( while :; do r=$(rss); [ "$r" -gt "$(cat "$peak_file")" ] && echo "$r" >"$peak_file"; sleep 1; done ) 2>/dev/null &
sampler=$!
scripts/run-lab.sh test >/dev/null
kill "$sampler"; wait "$sampler" 2>/dev/null || true
peak=$(cat "$peak_file"); rm -f "$peak_file"
wall=$(awk '$1 == "wall" {print $2}' "$lab/results/acceptance/times.txt")
first=$(awk 'NR == 1 {print $3}' "$lab/results/acceptance/times.txt")
last_end=$(awk '$1 != "wall" {print $4}' "$lab/results/acceptance/times.txt" | sort | tail -n 1)
span=$(seconds "$first" "$last_end")
scripts/run-lab.sh down --wipe >/dev/null

echo "Lab taken $(date -u +%Y-%m-%d) on $(nproc) cores, $(uname -m); LAVA $(dpkg-query -W -f='${Version}' lava-server)."
echo
echo "| measure | figure |"
echo "|---|---|"
printf '| lab bring-up, wiped state (database created) to workers online | %.1f s |\n' "$up_wiped"
printf '| lab bring-up, stopped (database kept) to workers online | %.1f s |\n' "$up_kept"
echo "| one acceptance job alone, submission to end (per model) | ${single[*]} |"
echo "| five acceptance jobs at once on two workers: first submission to last end (client's wall time) | $span s ($wall s) |"
echo "| the same five jobs one at a time: sum of submission to end | $sum s (speed-up $(echo "scale=2; $sum / $span" | bc)) |"
echo "| resident memory of the lab, idle (server, publisher, scheduler, PostgreSQL, two workers, image server) | $idle MiB |"
echo "| resident memory of the lab, peak during the five jobs (two boards under test at a time, with their QEMU) | $peak MiB |"
