#!/usr/bin/env bash
# Benchmark: builds the host and board binaries and prints the figures as a
# Markdown table (timings are measured here, never asserted in tests).
set -euo pipefail
cd "$(dirname "$0")/.."
case "${1:-}" in
  '') ;;
  -h | --help) echo "usage: bench/run.sh   (builds, then prints the benchmark's figures as a Markdown table)"; exit 0 ;;
  *) echo "run.sh: takes no arguments (see --help)" >&2; exit 2 ;;
esac
bash scripts/install.sh strace cmake g++ libgtest-dev
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
# emulation): bench/board_figures.py boots it and measures boot to the board prompt,
# xm's wall time on the board, and the KD3454 reset pulses as the board driver timed
# them (its trace and waveform, kernel monotonic clock). They follow the table above;
# a machine where the board cannot be built or booted prints none.
if bash sim/board/build.sh >/dev/null 2>&1 &&
   rows=$(PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 bench/board_figures.py 2>/dev/null); then
  printf '%s\n' "$rows"
else
  echo "(virtual board rows skipped: the board image did not build or boot here)" >&2
fi

# Rows of the virtual bench (the page in Debian's headless chromium, shell on the simulator):
# a model event to the page's panel, events per second during xm, server memory.
if bash scripts/web-deps.sh >/dev/null 2>&1 &&
   PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 bench/web_bench.py 2>/dev/null; then :; else
  echo "(virtual bench rows skipped: chromium, chromedriver, selenium or npm missing)" >&2
fi

# Rows of the bench PC stand-in (scripts/run-benchpc.sh: serial adapters, ser2net, pdudaemon's
# outlets, a virtual board behind each): power-on through the outlet to the board prompt, and
# the memory of all its processes with the boards off and one on. It brings the bench PC up
# and down again (one already running is used and left running).
if [ -f build-board/initrd.gz ] &&
   rows=$(PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 bench/benchpc_figures.py 2>/dev/null); then
  printf '%s\n' "$rows"
else
  echo "(bench PC rows skipped: the board image or the bench PC's packages are missing)" >&2
fi

# Rows of the check procedures: the KD3555 acceptance procedure on the simulator and on
# the virtual board.
PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 bench/procedure_figures.py ||
  echo "(procedure rows skipped)" >&2

# Rows of the LAVA lab (scripts/run-lab.sh, run as root where LAVA is installed): bring-up,
# health checks, one acceptance job on a virtual board beside the same on a bench PC's board,
# the whole lab's jobs on its three workers, memory. It takes the lab down and wipes it.
if [ "$(id -u)" -eq 0 ] && dpkg -s lava-server >/dev/null 2>&1 && [ -f build-board/initrd.gz ]; then
  echo
  bash bench/lab.sh || echo "(lab rows skipped: the lab did not run, see scripts/run-lab.sh up)" >&2
else
  echo "(lab rows skipped: not root, or LAVA or the board image missing)" >&2
fi
