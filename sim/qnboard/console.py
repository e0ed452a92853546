"""The board's console and qn_shell on it, in one place: the board suite's
fixtures (tests/board/conftest.py), its tests and the benchmark's board figures
(bench/board_figures.py) all go through this module.

Only labgrid's public interface is used: the console driver's write(),
expect() and settle(), ShellDriver's run() and prompt, QEMUDriver's on()/off().

Keys go to the shell through the key pacer (qnboard.keys): one key a write,
the next after the redraw of the last, as the shell decodes one key per read.
"""

import os
import re
import shlex
import time
import uuid

import pexpect

from .keys import REDRAW_END as _REDRAW_END
from . import vcd
from .keys import KeyPacer, type_keys

try:  # the suite's client of the control UART (tests/board, on the suite's path)
    from boardctl import BoardControl
except ImportError:  # a caller without the board suite: no control UART
    BoardControl = None

QN_PROMPT = "quenta $: "
REDRAW_END = _REDRAW_END.decode("ascii")
GREEN, RED, NORM = "\x1b[0;32;32m", "\x1b[0;32;31m", "\x1b[m"

# What the kernel prints when something went wrong in it: an oops ("Internal
# error: Oops", "Unable to handle"), a BUG() ("kernel BUG at"), a WARN_ON() ("cut
# here", "WARNING:", the call trace, "end trace"), a panic.
KERNEL_BAD = re.compile(
    r"\b(Oops|BUG|WARNING)\b|Unable to handle|Internal error|call trace|Backtrace:|cut here"
    r"|end trace|Kernel panic",
    re.IGNORECASE)
# The suite's own marks in the kernel log (written to /dev/kmsg).
KMSG_MARK = "qn-suite:"


def lines(out):
    """Console text with the console's CR LF as plain line feeds."""
    return out.replace("\r\n", "\n")


def stty_settings(text):
    """The settings part of stty -a (from "line =" on): busybox puts a
    window-size complaint of a serial line into the first line."""
    i = text.find("line =")
    return text[i:] if i >= 0 else text


def rx(text):
    """Console pattern for literal text."""
    return re.escape(text)


def kernel_complaints(log):
    """The lines of a kernel log (a list of lines) that tell of a kernel fault;
    the suite's own marks are left out."""
    return [l for l in log if KERNEL_BAD.search(l) and KMSG_MARK not in l]


class Board:
    """The board's console at its root prompt, and qn_shell on it."""

    def __init__(self, target, console, shell, ctl, qemu=None):
        self.target = target
        self.console = console
        self.shell = shell
        self.ctl = ctl          # BoardControl, or None on a board without one
        self.qemu = qemu        # QEMUDriver of a virtual board, or None
        self.in_qn = False
        self.pacer = KeyPacer()

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

    # -- the kernel log --------------------------------------------------
    def kernel_mark(self, what):
        """Writes a mark into the kernel log (at info level, so it never
        reaches the console); kernel_log_since() reads from there on."""
        token = KMSG_MARK + uuid.uuid4().hex
        note = re.sub(r"[^\w.:/\[\]=,@-]", "_", what)
        self.sh(f"echo {shlex.quote('<6>' + token + ' ' + note)} > /dev/kmsg")
        return token

    def kernel_log_since(self, token):
        """The kernel log from the mark on, the mark's own line first; the
        whole log if the mark is gone (the log went round)."""
        out = self.sh(f"dmesg | sed -n '/{token}/,$p'")
        return out if out else self.sh("dmesg")

    def kernel_log(self):
        return self.sh("dmesg")

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
        """Drops whatever is pending, once the console is quiet for a while:
        first what an earlier expect() read ahead (any text matches), then
        what comes until the console has been quiet for `quiet` seconds."""
        self.console.expect([r"(?s).+", pexpect.TIMEOUT], timeout=0.05)
        self.console.settle(quiet, timeout=10.0)

    # -- qn_shell --------------------------------------------------------
    def start(self, cmd="qn_shell"):
        """Starts the shell from the board prompt; the text up to its prompt."""
        assert not self.in_qn
        self.drain(0.2)
        self.write(cmd + "\n")
        before, _ = self.expect(rx(QN_PROMPT + REDRAW_END), timeout=30)
        self.in_qn = True
        return before

    def read(self, timeout):
        """What the console has (at once, or within timeout seconds), or b""."""
        idx, _, match, _ = self.console.expect([r"(?s).+", pexpect.TIMEOUT], timeout=timeout)
        return match.group(0) if idx == 0 else b""

    def key(self, data, redraw=True):
        """One key in one write; waits for the line redraw it causes."""
        if isinstance(data, str):
            data = data.encode("latin-1")
        if redraw:
            assert type_keys(self.pacer, [data], self.console.write, self.read), \
                "no redraw for %r" % data
            return
        self.write(data)
        # nothing to wait for: give the board time to take the key in (a
        # signal key also flushes the input queue)
        time.sleep(0.3)

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
    def control(self, *lines_):
        for line in lines_:
            self.ctl.send(line)

    def reload(self, **params):
        """Loads the board driver module afresh with these parameters."""
        args = " ".join(f"{k}={v}" for k, v in params.items())
        self.sh(f"rmmod qn_board && insmod /lib/modules/qn_board.ko {args}")


# -- bringing the board up ---------------------------------------------------

def option_path(env, name):
    """A path the environment file's options name, relative to that file."""
    path = env.config.data.get("options", {}).get(name)
    if path and not os.path.isabs(path):
        path = os.path.join(env.config.base, path)
    return path


def control_socket(env):
    """The control UART's socket."""
    return option_path(env, "ctl_socket")


def power_on(env, target):
    """Boots a QEMU target (a real board is already up) and connects to its
    console and, where the target has the feature, its control UART.
    Returns the Board and the seconds from power-on to the board's prompt
    (None on a real board)."""
    features = env.get_target_features() | env.get_features()
    try:
        qemu = target.get_driver("QEMUDriver", activate=False)
    except Exception:
        qemu = None
    sock = control_socket(env) if "control" in features else None
    if sock and os.path.exists(sock):
        os.unlink(sock)
    boot_s = None
    if qemu is not None:
        t0 = time.monotonic()
        target.activate(qemu)
        qemu.on()
        # boot time: power on to the board's prompt on the console
        prompt = env.config.data["targets"][target.name]["drivers"]["ShellDriver"]["prompt"]
        qemu.expect(prompt, timeout=120)
        boot_s = time.monotonic() - t0
    shell = target.get_driver("ShellDriver")
    ctl = BoardControl(sock).connect() if sock else None
    return Board(target, shell.console, shell, ctl, qemu), boot_s


def power_off(board):
    if board.ctl:
        board.ctl.close()
    if board.qemu is not None:
        board.qemu.off()


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


def pin_moves(ctl):
    """[(step, pin, level)] of the driver's waveform in time order, read by
    sigrok-cli, e.g. (0, "gpio6_1", 0)."""
    with vcd.text_file(ctl.vcd()) as path:
        return vcd.moves(path)


def reset_pulse(text, pin, idle):
    """The reset level's (level, width in µs) on one pin of a waveform (the
    driver's VCD text), read by sigrok-cli: the pins start low, so an idle-high
    line first rises to its idle level. Raises AssertionError unless the pin
    made exactly one pulse and nothing else moved."""
    with vcd.text_file(text) as path:
        moves = vcd.moves(path)
        segs = vcd.pulses(path, pin)
    others = [p for _, p, _ in moves if p != pin]
    assert not others, "only the reset line moves"
    mine = [l for _, p, l in moves if p == pin]
    if idle == 1:
        assert mine and mine[0] == 1
        mine = mine[1:]
    assert len(mine) == 2 and mine[1] == idle, "one pulse, back at the idle level"
    return mine[0], segs[-1][1] - segs[-1][0]
