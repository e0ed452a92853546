#!/usr/bin/python3
"""Benchmark rows of the bench PC stand-in (scripts/run-benchpc.sh), as Markdown table rows.

Brings the bench PC up (unless it runs: then it is left running), and measures:
  - its bring-up (adapters, ser2net, pdudaemon; boards off);
  - power-on to the board prompt through the outlet, as the board suite meets it
    (tests/board/env-benchpc.yaml: curl to pdudaemon's HTTP listener, which runs the
    outlet command that starts QEMU on the board's flash; the prompt read through
    ser2net over RFC 2217), three power-ups;
  - the bench PC's memory: every process of it (the serial adapters, ser2net,
    pdudaemon, the boards' QEMU), all boards off and one board on at its prompt;
  - the KD3555 acceptance procedure on that board over telnet, with the operator's
    answers from procedures/answers/.
Measured here, never asserted in tests.

usage: bench/benchpc_figures.py [--rounds N]
"""

import argparse
import json
import os
import tempfile
import statistics
import subprocess
import sys
import time

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(TOP, "tests", "board"))
sys.path.insert(0, os.path.join(TOP, "sim"))  # the qnboard package
STATE = os.path.join(TOP, "build-benchpc") + "/"
RUN = os.path.join(TOP, "scripts", "run-benchpc.sh")

from labgrid import Environment  # noqa: E402

from qnboard.console import power_cycle, power_off, power_on  # noqa: E402


def processes():
    """[(pid, short name, RSS KiB, PSS KiB)] of every process of the bench PC."""
    out = []
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open(f"/proc/{pid}/stat") as f:
                if f.read().split()[2] == "Z":
                    continue
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                argv = [a.decode(errors="replace") for a in f.read().split(b"\0") if a]
            if not any(STATE in a for a in argv):
                continue
            rss = pss = 0
            with open(f"/proc/{pid}/smaps_rollup") as f:
                for line in f:
                    if line.startswith("Rss:"):
                        rss = int(line.split()[1])
                    elif line.startswith("Pss:"):
                        pss = int(line.split()[1])
        except OSError:
            continue
        name = os.path.basename(argv[1] if argv[0].endswith("python3") else argv[0])
        out.append((int(pid), name, rss, pss))
    return out


def memory_row(what, procs):
    rss = sum(p[2] for p in procs) / 1024
    pss = sum(p[3] for p in procs) / 1024
    by = {}
    for _, name, r, _ in procs:
        n, s = by.get(name, (0, 0))
        by[name] = (n + 1, s + r)
    parts = ", ".join(f"{name}{f' ×{n}' if n > 1 else ''} {s / 1024:.1f}"
                      for name, (n, s) in sorted(by.items(), key=lambda kv: -kv[1][1]))
    print(f"| bench PC: memory, {what} ({len(procs)} processes; RSS MiB: {parts}) "
          f"| {rss:.0f} MiB RSS, {pss:.0f} MiB PSS | - |")


def procedure_run():
    """(seconds, steps) of the KD3555 acceptance procedure on qn-board-05, or None."""
    with tempfile.TemporaryDirectory(prefix="qnproc-bench.") as d:
        rep = os.path.join(d, "r.json")
        p = subprocess.run(["bash", os.path.join(TOP, "scripts", "run-procedure.sh"),
                            os.path.join(TOP, "procedures", "kd3555-acceptance.yaml"),
                            "--console", "telnet://127.0.0.1:18475", "--answers",
                            os.path.join(TOP, "procedures", "answers", "kd3555-acceptance.yaml"),
                            "--json", rep], capture_output=True, text=True)
        if p.returncode != 0:
            sys.stderr.write(p.stdout + p.stderr)
            return None
        with open(rep, encoding="utf-8") as f:
            r = json.load(f)[0]
        return r["seconds"], len(r["steps"])


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--rounds", type=int, default=3)
    args = ap.parse_args()
    status = subprocess.run([RUN, "status"], capture_output=True, text=True).stdout
    started = "ser2net: running" not in status
    t0 = time.monotonic()
    subprocess.run([RUN, "up"], check=True, stdout=subprocess.DEVNULL)
    up_s = time.monotonic() - t0
    try:
        time.sleep(2)
        idle = processes()
        env = Environment(config_file=os.path.join(TOP, "tests", "board", "env-benchpc.yaml"))
        target = env.get_target("main")
        board, boot_s = power_on(env, target)
        boots = [boot_s]
        try:
            for _ in range(args.rounds - 1):
                boots.append(power_cycle(board))
            time.sleep(2)
            one_on = processes()
            proc = procedure_run()
        finally:
            power_off(board)
    finally:
        if started:
            subprocess.run([RUN, "down"], check=True, stdout=subprocess.DEVNULL)
    if started:
        print(f"| bench PC: bring-up (3 serial adapters, ser2net, pdudaemon; boards off) "
              f"| {up_s:.1f} s | - |")
    print(f"| bench PC: power-on through the outlet to the board prompt (pdudaemon, QEMU "
          f"from the board's flash, console over ser2net; {len(boots)} power-ups) "
          f"| {statistics.median(boots):.1f} s (min {min(boots):.1f}, max {max(boots):.1f}) "
          f"| ≤ 15 s |")
    memory_row("all boards off", idle)
    memory_row("one board on at its prompt", one_on)
    if proc:
        print(f"| KD3555 acceptance procedure on the bench PC's board over telnet, answers from a "
              f"file ({proc[1]} steps) | {proc[0]:.1f} s | - |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
