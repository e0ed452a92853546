#!/usr/bin/python3
"""Client of the virtual board's control UART.

The board's second UART (ttyAMA1) runs a small agent (sim/board/ctl-agent)
that writes each line it gets to the board driver's control file and answers
"ok" or "error: REASON"; "@trace" and "@vcd" return the driver's trace and
waveform files, "@clear" empties them. QEMU serves that UART on a Unix
socket.

As a program:  boardctl.py [--socket PATH] LINE...   (or lines on stdin)
  e.g. boardctl.py 'pin 6_6 1' 'panel fd 21'   or   boardctl.py @trace
"""

USAGE = """usage: scripts/board-ctl.sh [--socket PATH] LINE...     (or one line a line on stdin)

Sends each LINE to the virtual board's control agent (scripts/run-board.sh, its second
UART) and prints the answer. Status 1 when a line was refused.
  a control line (pin 6_6 1, panel fd 21, reg A V, i2c D R V, nvp C B R V,
                  fail NAME[@N], reset, clock, sync)   ok, or error: REASON
  @trace, @vcd    the driver's trace and waveform files
  @stty           stty -a of the board's console UART
  @clear          empties the trace, restarts the waveform: ok
  @state          the board's snapshot (the board link's state lines)
  @events         ok: the driver's event lines go on to the third UART from now on
                  (build-board/events.sock); @events off stops them: ok
  @echo WORD      WORD
The socket: --socket PATH, else $QN_BOARD_CTL, else build-board/ctl.sock.
"""

import argparse
import errno
import os
import socket
import sys
import time
import uuid

DEFAULT_SOCKET = os.path.join(
    os.path.dirname(os.path.abspath(__file__)), "..", "..", "build-board", "ctl.sock")


class ControlError(Exception):
    """The driver refused a control line (its reason is the message)."""


class BoardControl:
    def __init__(self, path, timeout=10.0):
        self.path = path
        self.timeout = timeout
        self.sock = None
        self.buf = b""

    def connect(self, wait=30.0):
        """Connects to the UART's socket (QEMU may still be starting) and
        skips whatever an earlier client left unread."""
        deadline = time.monotonic() + wait
        while True:
            try:
                s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                s.connect(self.path)
                break
            except OSError:
                s.close()
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.2)
        self.sock = s
        self.buf = b""
        self.sync()
        return self

    def close(self):
        if self.sock:
            self.sock.close()
            self.sock = None

    def __enter__(self):
        return self.connect()

    def __exit__(self, *exc):
        self.close()

    def _line(self, timeout):
        deadline = time.monotonic() + timeout
        while b"\n" not in self.buf:
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError("no answer from the board's control agent")
            self.sock.settimeout(left)
            data = self.sock.recv(65536)
            if not data:
                raise ConnectionError("control UART closed")
            self.buf += data
        line, self.buf = self.buf.split(b"\n", 1)
        return line.decode("utf-8", "replace").rstrip("\r")

    def _send(self, line):
        self.sock.sendall(line.encode() + b"\n")

    def sync(self, timeout=None):
        """Waits until the agent answers a fresh token: everything before it is
        dropped. The agent may still be starting, so the token is repeated."""
        token = "@echo " + uuid.uuid4().hex
        deadline = time.monotonic() + (timeout or 60.0)
        self._send(token)
        while True:
            try:
                if self._line(2.0) == token[6:]:
                    return
            except TimeoutError:
                if time.monotonic() > deadline:
                    raise
                self._send(token)

    def send(self, line):
        """One control line; raises ControlError with the driver's reason."""
        self._send(line)
        answer = self._line(self.timeout)
        if answer == "ok":
            return
        if answer.startswith("error:"):
            raise ControlError(answer[6:].strip())
        raise ConnectionError(f"unexpected answer {answer!r} to {line!r}")

    def _dump(self, what, end="@end"):
        self._send(what)
        lines = []
        while True:
            line = self._line(self.timeout)
            if line == end:
                return lines
            lines.append(line)

    def trace(self):
        """The driver's trace file, one string per line."""
        return self._dump("@trace")

    def vcd(self):
        """The driver's waveform file as text."""
        return "\n".join(self._dump("@vcd")) + "\n"

    def stty(self):
        """stty -a of the board's console UART, read beside the console."""
        return " ".join(self._dump("@stty"))

    def clear(self):
        self.send("@clear")

    def state(self):
        """The board's snapshot (the driver's state file), one string per line."""
        return self._dump("@state", end="end")

    def ask(self, line):
        """One request of any kind as a program's user sends it: the lines of its
        answer and whether the agent took it."""
        if line in DUMPS:
            return self._dump(line, end=DUMPS[line]), True
        self._send(line)
        answer = self._line(self.timeout)
        if line.startswith("@echo "):
            return [answer], True
        return [answer], answer == "ok"


# Requests answered by several lines, with the line that ends each answer.
DUMPS = {"@trace": "@end", "@vcd": "@end", "@stty": "@end", "@state": "end"}


def main():
    ap = argparse.ArgumentParser(prog="board-ctl.sh", add_help=False,
                                 usage="scripts/board-ctl.sh [--socket PATH] LINE... (see --help)")
    ap.add_argument("-h", "--help", action="store_true")
    ap.add_argument("--socket", default=os.environ.get("QN_BOARD_CTL", DEFAULT_SOCKET))
    ap.add_argument("lines", nargs="*")
    args = ap.parse_args()
    if args.help:
        print(USAGE, end="")
        return 0
    lines = args.lines or [l.rstrip("\n") for l in sys.stdin]
    status = 0
    ctl = BoardControl(args.socket)
    try:
        if not os.path.exists(args.socket):  # (QEMU makes it as it starts)
            raise FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT))
        ctl.connect()
    except OSError as e:
        print("board-ctl.sh: no control agent at %s (%s); start the board with "
              "scripts/run-board.sh" % (args.socket, e.strerror or e), file=sys.stderr)
        return 2
    try:
        for line in lines:
            answer, ok = ctl.ask(line)
            for out in answer:
                print(out)
            if not ok:
                status = 1
    except (OSError, TimeoutError) as e:
        print("board-ctl.sh: %s" % e, file=sys.stderr)
        return 2
    finally:
        ctl.close()
    return status


if __name__ == "__main__":
    sys.exit(main())
