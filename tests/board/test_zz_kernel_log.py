"""Last: the kernel log after the whole session holds no oops, BUG or WARNING."""

import re


def test_kernel_log_is_clean(board):
    board.recover()
    out = board.sh("dmesg")
    bad = [l for l in out if re.search(r"\b(Oops|BUG|WARNING)\b|Unable to handle|Internal error|Call trace", l)]
    assert bad == []
    if board.ctl:  # the virtual board's driver did load and say so
        assert any("qn_board: board model" in l for l in out)
