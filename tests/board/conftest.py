"""Board test suite: qn_shell on a board's console, through labgrid.

The target comes from the environment file (--lg-env): env-qemu.yaml boots the
virtual board once per session; env-serial.yaml talks to a real board on a
serial adapter. Tests that need the board driver's control file (pins, panel
bytes, fault rules, trace, waveform, module reloads) carry
@pytest.mark.lg_feature("control") and are skipped on a target without it.

The console helpers live in the qnboard package (sim/qnboard/console.py). After every test the kernel log since
the test began must tell of no kernel fault (oops, BUG, WARNING, call trace):
a finding fails that test's teardown, so the report names the test.
"""

import os
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "..", "sim"))  # the qnboard package
from qnboard.console import kernel_complaints, power_off, power_on  # noqa: E402


@pytest.fixture(scope="session")
def board(env, target):
    """The booted board at its root prompt (booted once per session)."""
    b, _ = power_on(env, target)
    yield b
    power_off(b)


@pytest.fixture(autouse=True)
def kernel_log_clean(request, board):
    """Every test: a mark in the kernel log before it, and after it (and its
    fixtures) no kernel fault in the log from the mark on."""
    board.recover()
    mark = board.kernel_mark(request.node.nodeid)
    yield
    board.recover()
    log = board.kernel_log_since(mark)
    found = kernel_complaints(log)
    if found:
        request.node.add_report_section("teardown", "kernel log", "\n".join(log))
        pytest.fail(f"the kernel complained during {request.node.nodeid}:\n  "
                    + "\n  ".join(found), pytrace=False)


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
