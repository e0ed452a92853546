#!/usr/bin/python3
"""Benchmark rows of the check procedures, as Markdown table rows on stdout: the KD3555
acceptance procedure run by scripts/run-procedure.sh on the simulator and on the virtual
board (its steps' time, after the boot). Timings are measured here, never asserted in tests.

usage: bench/procedure_figures.py [--no-board]
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PROC = os.path.join(TOP, "procedures", "kd3555-acceptance.yaml")


def run(target):
    with tempfile.TemporaryDirectory(prefix="qnproc-bench.") as d:
        rep = os.path.join(d, "r.json")
        t0 = time.monotonic()
        p = subprocess.run(["bash", os.path.join(TOP, "scripts/run-procedure.sh"), PROC, target,
                            "--json", rep], capture_output=True, text=True)
        wall = time.monotonic() - t0
        if p.returncode != 0:
            sys.stderr.write(p.stdout + p.stderr)
            return None
        r = json.load(open(rep))[0]
        return r["seconds"], wall, len(r["steps"])


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--no-board", action="store_true")
    a = ap.parse_args()
    got = run("--sim")
    if got:
        print(f"| KD3555 acceptance procedure on the simulator ({got[2]} steps) | {got[0]:.1f} s "
              f"(whole run {got[1]:.1f} s) | ≤ 5 s |")
    if not a.no_board:
        got = run("--board")
        if got:
            print(f"| KD3555 acceptance procedure on the virtual board, after the boot | {got[0]:.1f} s "
                  f"(with the boot {got[1]:.1f} s) | ≤ 15 s |")


if __name__ == "__main__":
    main()
