#!/usr/bin/env bash
# Builds the shell and the board simulator and runs every test:
#   host   - unit and end-to-end tests on the simulated board; the virtual bench's tests
#            (tests/web: server, and the page in headless chromium on the simulator)
#   asan   - the whole suite again with AddressSanitizer + UndefinedBehaviorSanitizer
#   tsan   - the key monitor tests with ThreadSanitizer
#   arm    - the board builds: the static musl binary under qemu-arm -r 3.0.8,
#            the board model compiled as the kernel module compiles it (armhf),
#            the armel glibc build end to end under qemu-arm with the ARM simulator
#   fuzz   - the fuzz targets for a bounded time each
#   board  - the virtual board: Debian's armhf kernel on QEMU's vexpress-a9 with the board
#            driver module and the static qn_shell, driven by the labgrid suite tests/board;
#            then the virtual bench's browser suite against the virtual board
#   lab    - a LAVA lab of virtual boards (scripts/run-lab.sh): the acceptance job of each
#            board model, the two jobs that must fail, a job of a user's own, then down
# With no arguments every stage runs; name stages to run only those.
# Installs the Debian packages it needs when they are missing (run as root).
set -euo pipefail
cd "$(dirname "$0")/.."

stages=("$@")
[ ${#stages[@]} -gt 0 ] || stages=(host asan tsan arm fuzz board lab)
want() { local s; for s in "${stages[@]}"; do [ "$s" = "$1" ] && return 0; done; return 1; }

jobs=$(nproc 2>/dev/null || echo 2)
fuzz_seconds=${QN_FUZZ_SECONDS:-60}
. scripts/install.sh
install() { qn_install "$@"; }

install cmake make g++ libgtest-dev strace

build() { # dir, cmake args...
  local dir=$1; shift
  cmake -S . -B "$dir" "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
}

# The end-to-end tests that also run on the ARM build: start-up, editing,
# history, one command of each family, status, rtcset, revkey.
ARM_SMOKE='Harness.*:SpineDraw.*:SpineDevices.*:SpineMbinfo.*:SpineBuiltins.*:HistoryWalk.*:Completion.*:Chips/ChipsRegPeek.*:Chips/ChipsI2c.*:Chips/ChipsNvp.*:BoardLamps.*:BoardSounder.*:BoardReset.*:DiagStatus.*:DiagDdrSize.*:Clock/RtcSet.*:Berlin/ClockSummerTime.*:ClockTime.*:Panel/PanelFrame.*:Panel/PanelWord.*:Time32.*'
# (the one-write check runs the host binary under strace, so it stays on the host)
ARM_SMOKE+='-SpineDraw.EachRedrawIsOneWrite'

if want host; then
  echo "== format: every tracked C and C++ file follows .clang-format"
  install clang-format
  git ls-files '*.c' '*.cpp' '*.h' '*.hpp' | xargs clang-format --dry-run -Werror
  echo "== host build: unit and end-to-end tests"
  build build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQN_BUILD_SIM=ON -DQN_BUILD_TESTS=ON
  ctest --test-dir build --output-on-failure -j"$jobs"
  echo "== board link and the virtual bench (tests/web: the link, the server, the page in headless chromium)"
  install python3-pytest python3-aiohttp python3-selenium chromium chromium-driver fonts-wqy-microhei \
    python3-yaml python3-jsonschema python3-pexpect
  command -v npm >/dev/null || install npm
  bash scripts/web-deps.sh
  install sigrok-cli  # the tests read waveforms with it
  PYTHONDONTWRITEBYTECODE=1 QN_BUILD_DIR="$PWD/build" /usr/bin/python3 -m pytest -p no:cacheprovider tests/web tests/scripts tests/procedures -q -rfEs
  echo "== the host binary needs the C library alone"
  needed=$(readelf -d build/qn_shell | awk '/NEEDED/ {print $NF}' | tr '\n' ' ')
  echo "NEEDED: $needed"
  [ "$needed" = "[libc.so.6] " ] || { echo "unexpected libraries: $needed"; exit 1; }
  if nm -D --undefined-only build/qn_shell | grep -E 'GLIBCXX|CXXABI|_Z'; then
    echo "the shell imports C++ runtime symbols"; exit 1
  fi
fi

if want asan; then
  echo "== ASan + UBSan: the whole suite"
  build build-asan -DCMAKE_BUILD_TYPE=Debug -DQN_SANITIZE=ON
  # (the one-write check runs the shell under strace, where LeakSanitizer cannot work)
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build-asan --output-on-failure -j"$jobs" -E 'EachRedrawIsOneWrite'
fi

if want tsan; then
  echo "== TSan: the key monitor"
  build build-tsan -DCMAKE_BUILD_TYPE=Debug -DQN_TSAN=ON
  ctest --test-dir build-tsan --output-on-failure -j"$jobs" -R 'Revkey|Panel'
fi

if want arm; then
  echo "== ARM board builds"
  install musl-dev:armel g++-arm-linux-gnueabi qemu-user file
  build build-musl -DCMAKE_TOOLCHAIN_FILE=cmake/armel-musl-static.cmake
  file build-musl/qn_shell
  file build-musl/qn_shell | grep -q 'ARM.*statically linked' || { echo "not a static ARM binary"; exit 1; }
  echo "size: $(stat -c %s build-musl/qn_shell) bytes"
  # On a 3.0 kernel without the board driver it reports the missing node and ends.
  set +e
  out=$(qemu-arm -r 3.0.8 build-musl/qn_shell </dev/null 2>&1); rc=$?
  set -e
  printf '%s\n' "$out"
  [ $rc -eq 255 ] && printf '%s' "$out" | grep -q 'qn_KD300 open error' || { echo "static binary: status $rc"; exit 1; }

  echo "== the board model as a kernel module builds it: armhf, gnu11, freestanding, soft-float"
  install gcc-arm-linux-gnueabihf
  model_objs=$(mktemp -d)
  for src in sim/model/*.c; do
    arm-linux-gnueabihf-gcc -std=gnu11 -ffreestanding -O2 -marm -march=armv7-a -mfloat-abi=soft \
      -Wall -Wextra -Werror -Wframe-larger-than=512 -Wdeclaration-after-statement -Wmissing-prototypes \
      -Wstrict-prototypes -Wvla -c "$src" -o "$model_objs/$(basename "$src" .c).o"
  done
  # Nothing but what the kernel offers: no 64-bit division or float helpers.
  imports=$(arm-linux-gnueabihf-nm -u "$model_objs"/*.o | awk 'NF == 2 {print $2}' | grep -v '^qnm' | sort -u | tr '\n' ' ')
  echo "model imports: $imports"
  rm -rf "$model_objs"
  [ "$imports" = "memcpy memset snprintf vsnprintf " ] || { echo "the model needs more than the kernel offers"; exit 1; }
  if git grep -n -E 'std::|#include <(map|mutex|string|vector)>' sim/model; then
    echo "C++ library in the model"; exit 1
  fi

  build build-armel -DCMAKE_TOOLCHAIN_FILE=cmake/armel-glibc.cmake
  needed=$(arm-linux-gnueabi-readelf -d build-armel/qn_shell | awk '/NEEDED/ {print $NF}' | tr '\n' ' ')
  echo "armel NEEDED: $needed"
  [ "$needed" = "[libc.so.6] " ] || { echo "unexpected libraries: $needed"; exit 1; }
  [ -x build/tests/e2e_tests ] || build build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQN_BUILD_SIM=ON -DQN_BUILD_TESTS=ON
  echo "== end-to-end smoke set on the armel build under qemu-arm"
  QN_E2E_RUNNER="qemu-arm -L /usr/arm-linux-gnueabi" \
  QN_E2E_SHELL="$PWD/build-armel/qn_shell" \
  QN_E2E_SIMLIB="$PWD/build-armel/sim/libqnsim.so" \
  QN_E2E_TIME32=1 \
    build/tests/e2e_tests --gtest_filter="$ARM_SMOKE" --gtest_brief=1
fi

if want fuzz; then
  if [ -d fuzz ]; then
    echo "== fuzzing, ${fuzz_seconds}s a target"
    install clang libclang-rt-14-dev
    build build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang \
      -DQN_FUZZ=ON -DQN_BUILD_TESTS=OFF -DQN_BUILD_SIM=OFF
    for target in build-fuzz/fuzz/fuzz_*; do
      name=$(basename "$target")
      corpus=$(mktemp -d)
      cp fuzz/corpus/"${name#fuzz_}"/* "$corpus"/ 2>/dev/null || true
      "$target" -max_total_time="$fuzz_seconds" -close_fd_mask=3 -print_final_stats=1 "$corpus" 2>&1 | tail -n 12
      echo "$name: finished without a crash"
      rm -rf "$corpus"
    done
  fi
fi
if want board; then
  echo "== virtual board: image, driver module, boot, labgrid suite"
  bash sim/board/build.sh
  install sigrok-cli  # the suite reads the driver's waveforms with it
  # pytest exits 5 when it collected no tests: that fails the stage too
  PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 -m pytest -p no:cacheprovider tests/board \
    --lg-env tests/board/env-qemu.yaml -q -rfEs
  echo "== the virtual bench in headless chromium against the virtual board"
  install python3-pytest python3-aiohttp python3-selenium chromium chromium-driver fonts-wqy-microhei
  command -v npm >/dev/null || install npm
  bash scripts/web-deps.sh
  PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 -m pytest -p no:cacheprovider tests/web/test_browser.py \
    --bench-board -q -rfEs
fi
if want lab; then
  echo "== lab: LAVA server, two workers, the virtual boards of lab/lab.yaml"
  install lava-server lava-dispatcher lavacli postgresql curl
  echo "== lab: the acceptance job against LAVA's schema and the board models' texts"
  PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 -m pytest -p no:cacheprovider -q tests/lab
  [ -f build-board/initrd.gz ] || bash sim/board/build.sh
  lab_stage() { # (called in a condition, where set -e does not hold: each step checked)
    scripts/run-lab.sh up || return 1
    scripts/run-lab.sh test || return 1
    scripts/run-lab.sh must-fail || return 1
    echo "== lab: a job of a user's own, through build-lab/lavacli.uri"
    local uri id health
    uri=$(cat build-lab/lavacli.uri) || return 1
    id=$(lavacli --uri "$uri" jobs submit lab/jobs/example.yaml) || return 1
    lavacli --uri "$uri" jobs wait "$id" --polling 2 --timeout 300 >/dev/null || return 1
    health=$(lavacli --uri "$uri" jobs show "$id" | awk -F': ' '/^Health/ {print $2}')
    echo "job $id: $health"
    [ "$health" = Complete ]
  }
  # the lab always stops; its database and job output go with it
  if ! lab_stage; then scripts/run-lab.sh down --wipe; exit 1; fi
  scripts/run-lab.sh down --wipe
fi
echo "== all stages passed: ${stages[*]}"
