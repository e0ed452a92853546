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

import argparse
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

    def _dump(self, what):
        self._send(what)
        lines = []
        while True:
            line = self._line(self.timeout)
            if line == "@end":
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


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--socket", default=os.environ.get("QN_BOARD_CTL", DEFAULT_SOCKET))
    ap.add_argument("lines", nargs="*")
    args = ap.parse_args()
    lines = args.lines or [l.rstrip("\n") for l in sys.stdin]
    status = 0
    with BoardControl(args.socket) as ctl:
        for line in lines:
            if line in ("@trace", "@vcd", "@stty"):
                for out in ctl._dump(line):
                    print(out)
                continue
            try:
                ctl.send(line)
                print("ok")
            except ControlError as e:
                print(f"error: {e}")
                status = 1
    return status


if __name__ == "__main__":
    sys.exit(main())
