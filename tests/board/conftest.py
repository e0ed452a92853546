"""Board test suite: qn_shell on a board's console, through labgrid.

The target comes from the environment file (--lg-env): env-qemu.yaml boots the
virtual board once per session; env-serial.yaml talks to a real board on a
serial adapter. Tests that need the board driver's control file (pins, panel
bytes, fault rules, trace, waveform, module reloads) carry
@pytest.mark.lg_feature("control") and are skipped on a target without it.

Keys go to the shell one at a time, each key's bytes in one write, and the
next key waits for the redraw of the last, as the shell decodes one key per
read.
"""

import json
import os
import re
import sys
import time

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from boardctl import BoardControl, ControlError  # noqa: E402

QN_PROMPT = "quenta $: "
REDRAW_END = "\x1b[?25h"
GREEN, RED, NORM = "\x1b[0;32;32m", "\x1b[0;32;31m", "\x1b[m"
BOOT_TIMES = []
# Figures for the benchmark (QN_BOARD_FIGURES=FILE writes them as JSON).
FIGURES = {}


def stty_settings(text):
    """The settings part of stty -a (from "line =" on): busybox puts a
    window-size complaint of a serial line into the first line."""
    i = text.find("line =")
    return text[i:] if i >= 0 else text


def rx(text):
    """Console pattern for literal text."""
    return re.escape(text)


class Board:
    """The board's console at its root prompt, and qn_shell on it."""

    def __init__(self, target, console, shell, ctl):
        self.target = target
        self.console = console
        self.shell = shell
        self.ctl = ctl          # BoardControl, or None on a board without one
        self.in_qn = False

    # -- the board's own shell -------------------------------------------
    def sh(self, cmd, timeout=60, check=True):
        """Runs a command at the board prompt; its output lines."""
        assert not self.in_qn, "qn_shell still runs"
        out, _, rc = self.shell.run(cmd, timeout=timeout)
        if check:
            assert rc == 0, f"{cmd!r} ended with {rc}: {out}"
        return out

    def sh_rc(self, cmd, timeout=60):
        out, _, rc = self.shell.run(cmd, timeout=timeout)
        return out, rc

    def stty(self):
        """stty -a of the console, as one string."""
        return stty_settings(" ".join(self.sh("stty -a")))

    # -- raw console -----------------------------------------------------
    def write(self, data):
        if isinstance(data, str):
            data = data.encode("latin-1")
        self.console.write(data)

    def expect(self, pattern, timeout=20):
        """Waits for a regular expression; the text before it and the match."""
        _, before, match, _ = self.console.expect(pattern, timeout=timeout)
        return before.decode("latin-1"), match.group(0).decode("latin-1")

    def drain(self, quiet=0.3):
        """Drops whatever is pending, once the console is quiet for a while."""
        self.console.settle(quiet, timeout=10.0)
        self.console._expect.buffer = b""

    # -- qn_shell --------------------------------------------------------
    def start(self, cmd="qn_shell"):
        """Starts the shell from the board prompt; the text up to its prompt."""
        assert not self.in_qn
        self.drain(0.2)
        self.write(cmd + "\n")
        before, _ = self.expect(rx(QN_PROMPT + REDRAW_END), timeout=30)
        self.in_qn = True
        return before

    def key(self, data, redraw=True):
        """One key in one write; waits for the line redraw it causes."""
        self.write(data)
        if redraw:
            return self.expect(rx(REDRAW_END))[0]
        # nothing to wait for: give the board time to take the key in (a
        # signal key also flushes the input queue)
        time.sleep(0.3)
        return ""

    def type(self, text):
        for ch in text:
            self.key(ch)

    def command(self, text, timeout=30):
        """Types a command line key by key, then Enter; the console text the
        command printed, up to the next prompt (prompt drawing removed)."""
        assert self.in_qn
        self.type(text)
        self.write("\r")
        out, _ = self.expect(rx(QN_PROMPT + REDRAW_END), timeout=timeout)
        # the next prompt's drawing begins with the cursor hide and a CR
        cut = out.rfind("\x1b[?25l")
        return out[:cut] if cut >= 0 else out

    def exit(self, word="exit"):
        """Leaves the shell with a built-in word; back at the board prompt."""
        self.type(word)
        self.write("\r")
        self.in_qn = False
        self.expect(self.shell.prompt, timeout=30)
        self.drain(0.2)

    def recover(self):
        """After a failed test: leave a still running shell."""
        if self.in_qn:
            self.drain(0.2)
            for k in "\rexit\r":     # one key a write, as the shell reads them
                self.write(k)
                time.sleep(0.1)
            self.in_qn = False
            time.sleep(0.5)
            self.drain(0.5)
            self.write("\n")
            self.expect(self.shell.prompt, timeout=30)

    # -- the virtual board's driver --------------------------------------
    def control(self, *lines):
        for line in lines:
            self.ctl.send(line)

    def reload(self, **params):
        """Loads the board driver module afresh with these parameters."""
        args = " ".join(f"{k}={v}" for k, v in params.items())
        self.sh(f"rmmod qn_board && insmod /lib/modules/qn_board.ko {args}")


def _control_socket(env):
    path = env.config.get_option("ctl_socket", None) if hasattr(env.config, "get_option") else None
    if path is None:
        path = env.config.data.get("options", {}).get("ctl_socket")
    if path and not os.path.isabs(path):
        path = os.path.join(env.config.base, path)
    return path


@pytest.fixture(scope="session")
def board(env, target):
    """The booted board at its root prompt (booted once per session)."""
    features = env.get_target_features() | env.get_features()
    qemu = None
    try:
        qemu = target.get_driver("QEMUDriver", activate=False)
    except Exception:
        qemu = None
    ctl = None
    sock = _control_socket(env) if "control" in features else None
    if sock and os.path.exists(sock):
        os.unlink(sock)
    t0 = time.monotonic()
    if qemu is not None:
        target.activate(qemu)
        qemu.on()
        # boot time: power on to the board's prompt on the console
        prompt = env.config.data["targets"][target.name]["drivers"]["ShellDriver"]["prompt"]
        qemu.expect(prompt, timeout=120)
        BOOT_TIMES.append(time.monotonic() - t0)
    shell = target.get_driver("ShellDriver")
    console = shell.console
    if sock:
        ctl = BoardControl(sock).connect()
    b = Board(target, console, shell, ctl)
    yield b
    if ctl:
        ctl.close()
    if qemu is not None:
        qemu.off()


@pytest.fixture
def qn(board):
    """The board at its prompt for one test; a shell left running is ended."""
    yield board
    board.recover()


@pytest.fixture
def ctl(board):
    """The control file, on a fresh board model (power-on state, empty trace)."""
    board.recover()
    board.control("reset")
    board.ctl.clear()
    yield board.ctl
    board.recover()


def pytest_terminal_summary(terminalreporter):
    if BOOT_TIMES:
        FIGURES["boot_s"] = BOOT_TIMES[0]
        terminalreporter.write_line(f"board: boot to the board prompt {BOOT_TIMES[0]:.1f} s")
    for name, value in sorted(FIGURES.items()):
        if name != "boot_s":
            terminalreporter.write_line(f"board: {name} = {value:.3f}" if isinstance(value, float)
                                        else f"board: {name} = {value}")
    path = os.environ.get("QN_BOARD_FIGURES")
    if path:
        with open(path, "w") as f:
            json.dump(FIGURES, f, indent=1)


# -- trace and waveform ------------------------------------------------------

IOCTL_RE = re.compile(
    r"^(\d+) ioctl (\S+) in=([0-9a-fx,]+) out=([0-9a-fx,]+) ret=(-?\d+)$")


def ioctls(trace):
    """(time, name, in words, out words, ret) of each request line."""
    out = []
    for line in trace:
        m = IOCTL_RE.match(line)
        if m:
            out.append((int(m.group(1)), m.group(2),
                        [int(x, 16) for x in m.group(3).split(",")],
                        [int(x, 16) for x in m.group(4).split(",")],
                        int(m.group(5))))
    return out


def vcd_changes(text):
    """Pin levels of a VCD: ({name: start level}, [(time, name, level), ...])."""
    ids, start, changes = {}, {}, []
    t, in_dump = None, False
    for line in text.splitlines():
        w = line.split()
        if not w:
            continue
        if w[0] == "$var" and len(w) >= 5:
            ids[w[3]] = w[4]
        elif w[0] == "$dumpvars":
            in_dump = True
        elif w[0] == "$end" and in_dump:
            in_dump = False
        elif w[0].startswith("#"):
            t = int(w[0][1:])
        elif w[0][0] in "01" and w[0][1:] in ids:
            name = ids[w[0][1:]]
            if in_dump or t is None:
                start[name] = int(w[0][0])
            else:
                changes.append((t, name, int(w[0][0])))
    return start, changes
