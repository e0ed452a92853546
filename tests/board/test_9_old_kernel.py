"""The board's old kernel: oldkernel (in the virtual board's image) runs a program
with ENOSYS for every ARM system call Linux 3.0 did not have (above 375, setns),
the ARM private calls left alone.

A scratch program, built here for the test and copied to the board through the
console, makes calls on both sides of the line without any fallback: bare they
work, under oldkernel the new ones answer ENOSYS (the filter bites), the old
ones and the private ones still reach the kernel. With --old-kernel the whole
suite starts qn_shell under it (conftest.py); the last test here lists the
calls refused in the session.
"""

import base64
import errno
import hashlib
import os
import re
import shutil
import subprocess
import tempfile

import pytest

CC = "arm-linux-musleabi-gcc"
PROBE = "/tmp/okprobe"
# Debian's armel cross headers: this kernel's ARM system-call table
UNISTD = "/usr/arm-linux-gnueabi/include/asm/unistd-eabi.h"

# Each call without a fallback; its number is in the program.
PROBE_C = r"""
#define _GNU_SOURCE
#include <errno.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

static char buf[256];

static void show(const char *name, long r)
{
    char line[64];
    size_t n = strlen(name);
    memcpy(line, name, n);
    line[n++] = '=';
    if (r >= 0) {
        memcpy(line + n, "ok", 2);
        n += 2;
    } else {
        line[n++] = (char)('0' + errno / 10);
        line[n++] = (char)('0' + errno % 10);
    }
    line[n++] = '\n';
    if (write(1, line, n) < 0)
        _exit(1);
}

int main(void)
{
    long ts[2];
    show("getpid", syscall(20));
    show("setns", syscall(375, -1, 0));
    show("process_vm_readv", syscall(376, getpid(), 0, 0, 0, 0, 0));
    show("getrandom", syscall(384, buf, 16, 0));
    show("statx", syscall(397, -100, "/", 0, 0x7ff, buf));
    show("clock_gettime64", syscall(403, 1, ts));
    show("cacheflush", syscall(0x0f0002, buf, buf + sizeof buf, 0));
    return 0;
}
"""

OK, ENOSYS, EBADF = "ok", errno.ENOSYS, errno.EBADF
# call: (number, bare, under oldkernel)
CALLS = {
    "getpid": (20, OK, OK),
    "setns": (375, EBADF, EBADF),              # Linux 3.0's last call still reaches the kernel
    "process_vm_readv": (376, OK, ENOSYS),     # the first one after it does not
    "getrandom": (384, OK, ENOSYS),
    "statx": (397, OK, ENOSYS),
    "clock_gettime64": (403, OK, ENOSYS),
    "cacheflush": (0x0f0002, OK, OK),          # an ARM private call
}

LOG_LINE = re.compile(r"^(\S+)\[(\d+)\]: (?:ENOSYS (\d+) (\S+)|called (0x[0-9a-f]+|\d+))$")


def arm_call_names():
    """{number: name} of the ARM system calls, from the cross headers."""
    names = {}
    with open(UNISTD) as f:
        for m in re.finditer(r"#define __NR_(\w+)\s+\(__NR_SYSCALL_BASE\s*\+\s*(\d+)\)", f.read()):
            names[int(m.group(2))] = m.group(1)
    return names


def parse_log(lines_):
    """[(program, number, name or None)] of oldkernel's log lines; a line of
    another form fails the test."""
    out = []
    for line in lines_:
        m = LOG_LINE.match(line)
        assert m, f"not a log line of oldkernel: {line!r}"
        if m.group(3):
            out.append((m.group(1), int(m.group(3)), m.group(4)))
        else:
            out.append((m.group(1), int(m.group(5), 0), None))
    return out


def results(out):
    """{call: "ok" or errno} of the probe's output."""
    got = {}
    for line in out:
        name, _, value = line.partition("=")
        got[name] = value if value == OK else int(value)
    return got


@pytest.fixture(scope="module")
def on_board(board):
    board.recover()
    if board.sh_rc("command -v oldkernel")[1] != 0:
        pytest.skip("no oldkernel on this board (the virtual board's image has it)")
    return board


@pytest.fixture(scope="module")
def probe(on_board):
    """The scratch program, built in a temporary folder and copied to the
    board's /tmp (base64 through the console, checked by its MD5)."""
    if not shutil.which(CC):
        pytest.skip(f"no {CC} here to build the scratch program")
    with tempfile.TemporaryDirectory() as tmp:
        src, exe = os.path.join(tmp, "okprobe.c"), os.path.join(tmp, "okprobe")
        with open(src, "w") as f:
            f.write(PROBE_C)
        subprocess.run([CC, "-std=c99", "-Os", "-static", "-s", "-Wall", "-Werror", "-Wl,-z,norelro",
                        "-Wl,-z,noseparate-code", "-Wl,--build-id=none", "-o", exe, src], check=True)
        with open(exe, "rb") as f:
            data = f.read()
    text = base64.b64encode(data).decode()
    on_board.sh(f": > {PROBE}.b64")
    for i in range(0, len(text), 768):
        on_board.sh(f"echo {text[i:i + 768]} >> {PROBE}.b64")
    on_board.sh(f"base64 -d {PROBE}.b64 > {PROBE} && rm {PROBE}.b64 && chmod 755 {PROBE}")
    assert on_board.sh(f"md5sum {PROBE}")[0].split()[0] == hashlib.md5(data).hexdigest()
    yield PROBE
    on_board.recover()
    on_board.sh(f"rm -f {PROBE} {PROBE}.log")


@pytest.mark.parametrize("run, column", [("", 1), ("oldkernel ", 2), (f"oldkernel -l {PROBE}.log ", 2),
                                         (f"oldkernel oldkernel -l {PROBE}.log ", 2)],
                         ids=["bare", "filtered", "filtered-and-logged", "nested"])
def test_new_calls_answer_enosys_old_and_private_ones_work(qn, probe, run, column):
    assert results(qn.sh(run + probe)) == {name: row[column] for name, row in CALLS.items()}


def test_the_log_names_each_refused_call_once(qn, probe):
    qn.sh(f"rm -f {probe}.log")
    qn.sh(f"oldkernel -l {probe}.log {probe} && oldkernel -l {probe}.log {probe}")
    logged = parse_log(qn.sh(f"cat {probe}.log"))
    refused = sorted((nr, name) for name, (nr, _, filtered) in CALLS.items() if filtered == ENOSYS)
    # two runs, each naming its refused calls once, in the order of the calls
    assert [(p, nr, n) for p, nr, n in logged] == 2 * [("okprobe", nr, n) for nr, n in refused]
    if os.path.exists(UNISTD):
        names = arm_call_names()
        assert all(names[nr] == n for _, nr, n in logged)


def test_census_logs_every_call_with_its_verdict(qn, probe):
    qn.sh(f"rm -f {probe}.log")
    assert results(qn.sh(f"oldkernel -l {probe}.log -a {probe}")) == {n: r[2] for n, r in CALLS.items()}
    logged = parse_log(qn.sh(f"cat {probe}.log"))
    # the helper's exec of the program comes first, under its own name
    assert logged[0][0] == "oldkernel" and logged[0][1] == 11
    mine = [(nr, name) for p, nr, name in logged if p == "okprobe"]
    assert len(mine) == len({nr for nr, _ in mine}), "each call once"
    for name, (nr, _, filtered) in CALLS.items():
        assert (nr, name if filtered == ENOSYS else None) in mine


@pytest.mark.parametrize("cmd, status", [
    ("oldkernel sh -c 'exit 7'", 7),
    ("oldkernel -l /dev/null sh -c 'exit 7'", 7),
    ("oldkernel -l /dev/null sh -c 'kill -TERM $$'", 128 + 15),   # killed by the program's signal
    ("oldkernel /no/such/program", 127),
    ("oldkernel", 125),
    ("oldkernel -a true", 125),           # -a needs a log
    ("oldkernel -x true", 125),
])
def test_exit_status_is_the_programs(qn, on_board, cmd, status):
    assert qn.sh(f"{cmd} >/dev/null 2>&1; echo status=$?") == [f"status={status}"]


@pytest.mark.parametrize("log", ["", "-l /dev/null "])
def test_program_runs_with_no_new_privs_and_a_filter(qn, on_board, log):
    out = qn.sh(f"oldkernel {log}grep -E '^(NoNewPrivs|Seccomp):' /proc/self/status")
    assert [re.sub(r"\s+", " ", l) for l in out] == ["NoNewPrivs: 1", "Seccomp: 2"]


def test_qn_shell_runs_under_it(qn, on_board):
    """The product itself: started under oldkernel, it names the board and
    leaves as it came; while it ran, its process had the filter."""
    before = qn.stty()
    qn.sh("rm -f /tmp/okstatus")
    # a look at the running shell's process from the background, as soon as it
    # runs (it finds it while the shell waits for keys)
    look = ("(for i in $(seq 100); do p=$(pidof qn_shell) && break; sleep 0.1; done; "
            "grep Seccomp: /proc/$p/status > /tmp/okstatus.new; mv /tmp/okstatus.new /tmp/okstatus) & ")
    qn.start(look + "oldkernel qn_shell")
    assert "hardware=" in qn.command("mbinfo")
    qn.exit()
    assert qn.stty() == before
    out = qn.sh("while [ ! -e /tmp/okstatus ]; do sleep 0.1; done; cat /tmp/okstatus; rm /tmp/okstatus")
    assert [l.split() for l in out] == [["Seccomp:", "2"]]


def test_calls_refused_in_this_session(request, qn, on_board, capsys):
    """With --old-kernel: qn_shell at the board prompt is oldkernel's, and the
    calls refused during the session (qn_shell and what it ran) are listed."""
    if not request.config.getoption("--old-kernel"):
        pytest.skip("the suite runs qn_shell under oldkernel only with --old-kernel")
    wrapper = " ".join(qn.sh("cat /usr/bin/qn_shell"))
    m = re.search(r"exec oldkernel -l (\S+) /usr/lib/qn-real/qn_shell", wrapper)
    assert m, wrapper
    # one more run here, with the command that runs the board's own programs
    qn.start()
    qn.command("time")
    qn.exit()
    logged = parse_log(qn.sh(f"cat {m.group(1)}"))
    assert logged, "the clock commands' programs made no refused call"
    assert all(375 < nr < 0x0f0000 and name for _, nr, name in logged)
    if os.path.exists(UNISTD):
        names = arm_call_names()
        assert all(names[nr] == name for _, nr, name in logged)
    by_program = {}
    for prog, nr, name in logged:
        by_program.setdefault(prog, set()).add((nr, name))
    with capsys.disabled():
        print(f"\ncalls answered ENOSYS under oldkernel in this session ({m.group(1)} on the board):")
        for prog in sorted(by_program):
            print(f"  {prog}: " + ", ".join(f"{name} ({nr})" for nr, name in sorted(by_program[prog])))
