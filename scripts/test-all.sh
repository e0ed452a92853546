#!/usr/bin/env bash
# The project's test command: builds the shell and the board simulator and runs the
# stages named (every stage when none is); usage() below says what each runs.
usage() {
  cat <<'EOF'
usage: scripts/test-all.sh [STAGE...]     (run as root; -h, --help: this text)

Builds the shell and the board simulator and runs the stages named, every stage when
none is. Installs the Debian packages it needs when they are missing.

  host   unit and end-to-end tests on the simulated board; the virtual bench's tests
         (tests/web: server, and the page in headless chromium on the simulator); the
         scripts' and the documentation's tests (tests/scripts, tests/docs)
  asan   the whole suite again with AddressSanitizer + UndefinedBehaviorSanitizer
  tsan   the key monitor tests with ThreadSanitizer
  arm    the board builds: the static musl binary under qemu-arm -r 3.0.8, the board
         model compiled as the kernel module compiles it (armhf), the armel glibc
         build end to end under qemu-arm with the ARM simulator
  fuzz   the fuzz targets for QN_FUZZ_SECONDS (60) each
  board  the virtual board: Debian's armhf kernel on QEMU's vexpress-a9 with the board
         driver module and the static qn_shell, driven by the labgrid suite tests/board
         (twice: the second time qn_shell runs on Linux 3.0's system calls, oldkernel);
         then the virtual bench's browser suite against the virtual board
  benchpc a bench PC's hardware with virtual boards (scripts/run-benchpc.sh): serial
         adapters, ser2net, pdudaemon's outlets; the board suite on a board through
         them (tests/board/env-benchpc.yaml), the stand-in's own tests, then down
  lab    a LAVA lab (scripts/run-lab.sh): virtual boards on two workers, the bench PC's
         boards on a third; the health checks, the acceptance job of each board model,
         the two jobs that must fail, a job of a user's own; on the bench PC the board
         with a wrong image, a power cut, a ser2net restart and a hung board in the middle
         of a job, the acceptance jobs after them; then down
EOF
}
set -euo pipefail
cd "$(dirname "$0")/.."

all_stages=(host asan tsan arm fuzz board benchpc lab)
stages=()
for arg in "$@"; do
  case " ${all_stages[*]} " in
    *" $arg "*) stages+=("$arg") ;;
    *)
      case $arg in
        -h | --help) usage; exit 0 ;;
        *) echo "test-all.sh: unknown stage '$arg' (stages: ${all_stages[*]})" >&2; usage >&2; exit 2 ;;
      esac ;;
  esac
done
[ ${#stages[@]} -gt 0 ] || stages=("${all_stages[@]}")
want() { local s; for s in "${stages[@]}"; do [ "$s" = "$1" ] && return 0; done; return 1; }

jobs=$(nproc 2>/dev/null || echo 2)
# pytest's own temporary folders (tmp_path) go with this run
scratch=$(mktemp -d "${TMPDIR:-/tmp}/qn-test-all.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
export PYTEST_ADDOPTS="${PYTEST_ADDOPTS:+$PYTEST_ADDOPTS }--basetemp=$scratch/pytest"
fuzz_seconds=${QN_FUZZ_SECONDS:-60}
. scripts/install.sh
install() { qn_install "$@"; }

install cmake make g++ libgtest-dev strace

# The docs' commands that need a stage's build, run once the stage has made it.
docs_test() { # pytest -k expression
  install python3-pytest
  PYTHONDONTWRITEBYTECODE=1 QN_BUILD_DIR="$PWD/build" /usr/bin/python3 -m pytest -p no:cacheprovider \
    tests/docs -q -rfEs -k "$1"
}

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
  PYTHONDONTWRITEBYTECODE=1 QN_BUILD_DIR="$PWD/build" /usr/bin/python3 -m pytest -p no:cacheprovider tests/web tests/scripts tests/procedures tests/docs -q -rfEs
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
  echo "== the docs' commands for the board builds"
  docs_test board_builds_under_emulation
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
    echo "== the docs' fuzz commands: copies of the corpus, nothing written into the checkout"
    docs_test fuzz_commands
  fi
fi
if want board; then
  echo "== virtual board: image, driver module, boot, labgrid suite"
  bash sim/board/build.sh
  install sigrok-cli  # the suite reads the driver's waveforms with it
  # pytest exits 5 when it collected no tests: that fails the stage too
  PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 -m pytest -p no:cacheprovider tests/board \
    --lg-env tests/board/env-qemu.yaml -q -rfEs
  echo "== virtual board: the suite again with qn_shell on Linux 3.0's system calls (oldkernel)"
  PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 -m pytest -p no:cacheprovider tests/board \
    --lg-env tests/board/env-qemu.yaml -q -rfEs --old-kernel
  echo "== the docs' modinfo command for the board driver module"
  docs_test modinfo
  echo "== the acceptance procedures on the virtual board (board steps checked through the link)"
  bash scripts/run-procedure.sh procedures/*-acceptance.yaml --board --junit build-board/procedures.xml
  echo "== the virtual bench in headless chromium against the virtual board; a procedure recorded"
  echo "   in the page on the simulator, replayed on the virtual board"
  install python3-pytest python3-aiohttp python3-selenium chromium chromium-driver fonts-wqy-microhei
  command -v npm >/dev/null || install npm
  bash scripts/web-deps.sh
  PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 -m pytest -p no:cacheprovider tests/web/test_browser.py \
    tests/web/test_procedure_page.py --bench-board -q -rfEs
fi
if want benchpc; then
  echo "== bench PC: serial adapters, ser2net, pdudaemon; the board suite through them"
  install ser2net pdudaemon socat telnet curl python3-serial python3-labgrid python3-pytest
  [ -f build-board/initrd.gz ] || bash sim/board/build.sh
  benchpc_stage() { # (called in a condition, where set -e does not hold: each step checked)
    scripts/run-benchpc.sh up || return 1
    PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 -m pytest -p no:cacheprovider tests/board \
      --lg-env tests/board/env-benchpc.yaml -q -rfEs -W ignore::DeprecationWarning || return 1
    PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 -m pytest -p no:cacheprovider tests/benchpc \
      -q -rfEs -W ignore::DeprecationWarning || return 1
    echo "== the KD3555 acceptance procedure on the bench PC's board over telnet (no board link)"
    scripts/run-benchpc.sh power qn-board-05 on >/dev/null || return 1
    bash scripts/run-procedure.sh procedures/kd3555-acceptance.yaml --console telnet://127.0.0.1:18475 \
      --answers procedures/answers/kd3555-acceptance.yaml || return 1
    echo "== the same without an operator: its board steps skipped, its console steps passed"
    bash scripts/run-procedure.sh procedures/kd3555-acceptance.yaml --console telnet://127.0.0.1:18475 \
      --no-operator --json build-benchpc/no-operator.json || return 1
    /usr/bin/python3 -c 'import json, sys; c = json.load(open(sys.argv[1]))[0]["counts"]
print(c); sys.exit(0 if c["skipped"] > 0 and c["failed"] == 0 else 1)' build-benchpc/no-operator.json || return 1
    scripts/run-benchpc.sh power qn-board-05 off >/dev/null || return 1
  }
  # the bench PC always stops; down fails if anything of it is left running
  if ! benchpc_stage; then scripts/run-benchpc.sh down; exit 1; fi
  scripts/run-benchpc.sh down
fi
if want lab; then
  echo "== lab: LAVA server, its workers and boards (lab/site.yaml)"
  install lava-server lava-dispatcher lavacli postgresql curl
  echo "== lab: the acceptance job against LAVA's schema and the board models' texts"
  PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 -m pytest -p no:cacheprovider -q tests/lab
  [ -f build-board/initrd.gz ] || bash sim/board/build.sh
  lab_user_job() { # a job of a user's own, through build-lab/lavacli.uri
    local uri id health
    uri=$(cat build-lab/lavacli.uri) || return 1
    id=$(lavacli --uri "$uri" jobs submit build-lab/example.yaml) || return 1
    lavacli --uri "$uri" jobs wait "$id" --polling 2 --timeout 300 >/dev/null || return 1
    health=$(lavacli --uri "$uri" jobs show "$id" | awk -F': ' '/^Health/ {print $2}')
    echo "job $id: $health"
    [ "$health" = Complete ]
  }
  lab_virtual() { # bench-1 and bench-2: the virtual boards
    scripts/run-lab.sh test || return 1
    scripts/run-lab.sh must-fail || return 1
    echo "== lab: a job of a user's own, through build-lab/lavacli.uri"
    lab_user_job
  }
  lab_benchpc() { # bench-3: the bench PC's boards
    scripts/run-lab.sh wrong-image || return 1
    scripts/run-lab.sh faults || return 1
    # after the faults, the next jobs on the same boards complete
    scripts/run-lab.sh test --device-type qn-board
  }
  lab_stage() { # (called in a condition, where set -e does not hold: each step checked)
    local t0=$SECONDS rc=0 pid
    echo "== lab: bench PC processes before up:"; { pgrep -a -f "$PWD/build-benchpc/" || echo none; } | sed 's/^/  /'
    scripts/run-lab.sh up || return 1
    echo "== lab: the secrets up wrote, each readable by its owner only"
    stat -c '  %a %n' build-lab/web-login build-lab/lavacli.uri build-lab/workers/*/token
    if stat -c '%a' build-lab/web-login build-lab/lavacli.uri build-lab/workers/*/token | grep -vqx 600; then
      echo "a secret of the lab is not mode 600"; return 1
    fi
    scripts/run-lab.sh health || return 1
    # the virtual boards' jobs and the bench PC's at once, as in a lab: one log each
    lab_virtual >build-lab/logs/stage-virtual.log 2>&1 &
    pid=$!
    lab_benchpc || rc=1
    wait "$pid" || rc=1
    echo "== lab: the virtual boards (bench-1, bench-2)"
    cat build-lab/logs/stage-virtual.log
    echo "== lab: jobs of the stage took $((SECONDS - t0)) s from up"
    return $rc
  }
  # the lab always stops; its database and job output go with it
  if ! lab_stage; then scripts/run-lab.sh down --wipe; exit 1; fi
  scripts/run-lab.sh down --wipe
  echo "== lab: bench PC processes after down:"; { pgrep -a -f "$PWD/build-benchpc/" || echo none; } | sed 's/^/  /'
fi
echo "== all stages passed: ${stages[*]}"
