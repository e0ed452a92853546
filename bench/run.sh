#!/usr/bin/env bash
# Benchmark: builds the host and board binaries and prints the figures as a
# Markdown table (timings are measured here, never asserted in tests).
set -euo pipefail
cd "$(dirname "$0")/.."
for p in strace cmake g++ libgtest-dev; do
  dpkg -s "$p" >/dev/null 2>&1 || { apt-get update -qq; DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$p" >/dev/null; }
done
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQN_BUILD_SIM=ON -DQN_BUILD_TESTS=ON >/dev/null
cmake --build build -j"$(nproc)" --target qn_shell qnsim qn_bench >/dev/null
args=(--strace)
if command -v arm-linux-musleabi-gcc >/dev/null; then
  cmake -S . -B build-musl -DCMAKE_TOOLCHAIN_FILE=cmake/armel-musl-static.cmake >/dev/null
  cmake --build build-musl >/dev/null
  args+=(--static build-musl/qn_shell)
fi
if command -v arm-linux-gnueabi-g++ >/dev/null; then
  cmake -S . -B build-armel -DCMAKE_TOOLCHAIN_FILE=cmake/armel-glibc.cmake >/dev/null
  cmake --build build-armel -j"$(nproc)" --target qn_shell >/dev/null
  args+=(--armel build-armel/qn_shell)
fi
echo "Taken $(date -u +%Y-%m-%d) on $(nproc) cores, $(uname -m)."
echo
build/bench/qn_bench "${args[@]}"

# Rows of the virtual board (Debian's armhf kernel on QEMU's vexpress-a9, software
# emulation): boot to the board prompt, xm's wall time on the board, and the KD3454
# reset pulses as the board driver timed them (its waveform, kernel monotonic clock).
# They follow the table above; a machine where the board cannot be built prints none.
board_figures=$(mktemp)
if bash sim/board/build.sh >/dev/null 2>&1 &&
   QN_BOARD_FIGURES=$board_figures PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 -m pytest \
     -p no:cacheprovider -q --lg-env tests/board/env-qemu.yaml \
     tests/board/test_3_chips.py::test_xm_dumps_five_banks \
     "tests/board/test_4_outputs.py::test_reset_pulse[KD3454-hubreset]" \
     "tests/board/test_4_outputs.py::test_reset_pulse[KD3454-sd1reset]" \
     "tests/board/test_4_outputs.py::test_reset_pulse[KD3454-adreset]" >/dev/null 2>&1; then
  /usr/bin/python3 - "$board_figures" <<'EOP'
import json, sys
f = json.load(open(sys.argv[1]))
print(f"| virtual board: boot to the board prompt (QEMU vexpress-a9, TCG) | {f['boot_s']:.1f} s | ≤ 15 s |")
xm = f["xm_wall_s"] * 1000
print(f"| virtual board: `xm 0x60` wall time at the console (floor 1290 ms) | {xm:.0f} ms ({(xm / 1290 - 1) * 100:+.1f} %) | - |")
span = f["xm_driver_span_us"] / 1000
print(f"| virtual board: `xm 0x60` first to last request, driver's clock (floor 1288 ms) | {span:.0f} ms ({(span / 1288 - 1) * 100:+.1f} %) | - |")
for cmd, pin in (("hubreset", "gpio6_1"), ("sd1reset", "gpio6_5"), ("adreset", "gpio1_4")):
    w = f[f"pulse_KD3454_{cmd}_{pin}_us"]
    print(f"| virtual board: KD3454 `{cmd}` reset level on {pin} (driver's kernel clock) | {w} µs | 100000 µs + ≤ 2000 |")
EOP
else
  echo "(virtual board rows skipped: the board image or its suite failed here)" >&2
fi
rm -f "$board_figures"

# Rows of the virtual bench (the page in Debian's headless chromium, shell on the simulator):
# a model event to the page's panel, events per second during xm, server memory.
if bash scripts/web-deps.sh >/dev/null 2>&1 &&
   PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 bench/web_bench.py 2>/dev/null; then :; else
  echo "(virtual bench rows skipped: chromium, chromedriver, selenium or npm missing)" >&2
fi
