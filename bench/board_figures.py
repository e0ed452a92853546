#!/usr/bin/python3
"""Benchmark rows of the virtual board, as Markdown table rows on stdout.

Boots the board under labgrid (tests/board/env-qemu.yaml; build it first with
sim/board/build.sh) and measures, through the board suite's console helpers:
  - power-on to the board prompt;
  - `xm 0x60`'s wall time at the console, and the first to the last of its
    requests on the driver's kernel clock (its trace);
  - the reset level of the KD3454 `hubreset`, `sd1reset` and `adreset` pulses
    on the driver's kernel clock (its waveform).
Timings are measured here, never asserted in tests.

usage: bench/board_figures.py [--env FILE]
"""

import argparse
import os
import sys
import time

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(TOP, "tests", "board"))
sys.path.insert(0, os.path.join(TOP, "sim"))  # the qnboard package

from labgrid import Environment  # noqa: E402

from qnboard.console import ioctls, power_off, power_on, reset_pulse  # noqa: E402

# command, pin, idle level of the KD3454 reset lines
RESETS = [("hubreset", "gpio6_1", 1), ("sd1reset", "gpio6_5", 0), ("adreset", "gpio1_4", 1)]
XM_FLOOR_MS = 1290        # 1290 pauses of 1 ms
XM_SPAN_FLOOR_MS = 1288   # the pauses between the first and the last request


def fresh(board):
    """Power-on state of the board model, empty trace and waveform."""
    board.control("reset")
    board.ctl.clear()


def measure(board):
    fig = {}
    fresh(board)
    board.start()
    t0 = time.monotonic()
    board.command("xm 0x60", timeout=120)
    fig["xm_wall_ms"] = (time.monotonic() - t0) * 1000
    board.exit()
    timed = [t for t, n, _, _, _ in ioctls(board.ctl.trace()) if n.startswith("I2C_")]
    fig["xm_span_ms"] = (timed[-1] - timed[0]) / 1000
    for cmd, pin, idle in RESETS:
        fresh(board)
        board.start()
        board.command(cmd)
        board.exit()
        _, fig[cmd] = reset_pulse(board.ctl.vcd(), pin, idle)
    return fig


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--env", default=os.path.join(TOP, "tests", "board", "env-qemu.yaml"))
    args = ap.parse_args()
    env = Environment(config_file=args.env)
    target = env.get_target("main")
    board, boot_s = power_on(env, target)
    try:
        if board.sh("cat /sys/module/qn_board/parameters/model") != ["KD3454"]:
            board.reload(model="KD3454")
        fig = measure(board)
    finally:
        power_off(board)
    print(f"| virtual board: boot to the board prompt (QEMU vexpress-a9, TCG) | {boot_s:.1f} s | ≤ 15 s |")
    xm = fig["xm_wall_ms"]
    print(f"| virtual board: `xm 0x60` wall time at the console (floor {XM_FLOOR_MS} ms) "
          f"| {xm:.0f} ms ({(xm / XM_FLOOR_MS - 1) * 100:+.1f} %) | - |")
    span = fig["xm_span_ms"]
    print(f"| virtual board: `xm 0x60` first to last request, driver's clock (floor {XM_SPAN_FLOOR_MS} ms) "
          f"| {span:.0f} ms ({(span / XM_SPAN_FLOOR_MS - 1) * 100:+.1f} %) | - |")
    for cmd, pin, _ in RESETS:
        print(f"| virtual board: KD3454 `{cmd}` reset level on {pin} (driver's kernel clock) "
              f"| {fig[cmd]} µs | 100000 µs + ≤ 2000 |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
