"""The suite's own tools: the kernel-log check that runs after every test, and
the console drain that every shell start relies on."""

import pexpect
import pytest

from qnboard.console import kernel_complaints, reset_pulse
from qnboard.vcd import vcd_text

# A WARN_ON() in the board driver's request handler, as this kernel logs it,
# between ordinary lines.
WARN_LOG = """\
[    4.429547] qn_board: board model 0x20d97004, gp_id 0, mb_version 1
[   59.375612] ------------[ cut here ]------------
[   59.375700] WARNING: CPU: 0 PID: 114 at qn_board_main.c:148 qnb_ioctl+0x1ac/0x1d0 [qn_board]
[   59.375759] Modules linked in: qn_board(OE)
[   59.382396]  unwind_backtrace from show_stack+0x18/0x1c
[   59.392128] ---[ end trace 0000000000000000 ]---
[   60.000000] qn-suite:0123abcd tests/board/test_x.py::test_WARNING_BUG_names
[   61.000000] rtc-pl031 10017000.rtc: setting system clock to 2030-01-02T03:04:05 UTC""".split("\n")


def test_kernel_complaints_finds_a_warning_and_nothing_else():
    found = kernel_complaints(WARN_LOG)
    assert [l[15:30] for l in found] == ["------------[ c", "WARNING: CPU: 0", "---[ end trace "]
    assert kernel_complaints(WARN_LOG[:1] + WARN_LOG[6:]) == []


@pytest.mark.parametrize("line", [
    "[    9.1] Internal error: Oops: 805 [#1] SMP ARM",
    "[    9.1] 8<--- cut here ---",
    "[    9.1] Unable to handle kernel NULL pointer dereference at virtual address 00000000",
    "[    9.1] kernel BUG at drivers/misc/qn_board_main.c:42!",
    "[    9.1] BUG: sleeping function called from invalid context",
    "[    9.1] Kernel panic - not syncing: Fatal exception",
])
def test_kernel_complaints_finds_oops_bug_panic(line):
    assert kernel_complaints([line]) == [line]


def test_kernel_log_since_a_mark(board):
    """The log from a mark on: the mark first, then what came after it only."""
    first = board.kernel_mark("first")
    board.sh("echo '<6>qn-suite-probe: between the marks' > /dev/kmsg")
    second = board.kernel_mark("second")
    since_first = board.kernel_log_since(first)
    assert first in since_first[0]
    assert any("qn-suite-probe: between the marks" in l for l in since_first)
    assert second in since_first[-1]
    since_second = board.kernel_log_since(second)
    assert len(since_second) == 1 and second in since_second[0]


def test_drain_leaves_nothing_pending(board):
    """What an expect() read and kept and what is still on its way are both
    gone: after the drain, the next command's output is all that comes. (The
    shell computes its markers, so the echoed command lines never match.)"""
    board.write("echo M$((40+2)); echo R$((40+2)); sleep 0.3; echo L$((40+2))\n")
    board.expect(r"M42\r?\n", timeout=30)
    board.drain(2.0)
    board.write("echo Z$((1+1))\n")
    before, _ = board.expect(r"Z2\r?\n", timeout=30)
    # the shell runs one command line after the other: a late line that the
    # drain let through would come before the marker
    assert "R42" not in before and "L42" not in before, before


def test_reset_pulse_width():
    """Waveforms by the model's rules (bank 6: 0x02 is gpio6_1, 0x20 gpio6_5), read
    back by sigrok-cli."""
    moves = [(10, 6, 0x02), (50, 6, 0x00), (100050, 6, 0x02)]
    assert reset_pulse(vcd_text(0, [0] * 9, moves), "gpio6_1", 1) == (0, 100000)
    assert reset_pulse(vcd_text(0, [0] * 9, [(5, 6, 0x20), (100105, 6, 0)]), "gpio6_5", 0) == \
        (1, 100100)
    with pytest.raises(AssertionError):
        reset_pulse(vcd_text(0, [0] * 9, moves + [(100060, 1, 0x10)]), "gpio6_1", 1)
    with pytest.raises(AssertionError):
        reset_pulse(vcd_text(0, [0] * 9, moves[:2]), "gpio6_1", 1)
