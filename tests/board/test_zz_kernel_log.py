"""Last: the kernel log of the whole session holds no kernel fault, also none
from between the tests (module-wide fixtures, the boot). After each test the
suite checks the lines logged since that test began (conftest.py)."""

from qnboard.console import kernel_complaints


def test_kernel_log_is_clean(board):
    board.recover()
    out = board.kernel_log()
    assert kernel_complaints(out) == []
    if board.ctl:  # the virtual board's driver did load and say so
        assert any("qn_board: board model" in l for l in out)
