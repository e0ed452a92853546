"""Random requests on every node from a program on the board: the driver answers
each with a result or an error and never upsets the kernel; unloading leaves
nothing behind."""

import re

import pytest

from qnboard.console import kernel_complaints

pytestmark = pytest.mark.lg_feature("control")


@pytest.mark.parametrize("seed", [1, 2])
def test_random_requests(qn, ctl, seed):
    out = qn.sh(f"qn_fuzz -n 4000 -s {seed}", timeout=120)
    summary = out[-1]
    m = re.match(r"qn_fuzz: 4000 requests, (\d+) ok", summary)
    assert m, summary
    # every kind of answer came up: results, unknown codes, bad pointers,
    # bad words, empty panel stream
    for err in ("ENOTTY", "EFAULT", "EINVAL", "EAGAIN"):
        assert err in summary, summary
    assert int(m.group(1)) > 0
    assert kernel_complaints(qn.kernel_log()) == []
    ctl.clear()
    # the driver still serves the shell
    qn.start()
    assert "hardware=KD3454" in qn.command("mbinfo")
    qn.exit()


def test_events_reader_stuck_in_a_fault_holds_up_no_request(qn, ctl):
    """A reader of the events file whose buffer is a page nobody provides yet
    (userfaultfd): a board request made meanwhile is served before the page
    comes, and then the reader gets its line."""
    out = qn.sh("qn_fuzz -E", timeout=120)
    assert re.fullmatch(r"qn_fuzz: events reader stuck in a fault: board request served meanwhile \(0\), "
                        r"then the reader got \d+ bytes: \d+ sync", out[-1]), out
    assert kernel_complaints(qn.kernel_log()) == []


def test_unload_leaves_nothing_behind(qn):
    qn.sh("rmmod qn_board")
    out = qn.sh("ls /dev/qn_KD300 /dev/tw_286x /dev/panel /sys/kernel/debug/qn_board /sys/module/qn_board "
                "2>&1; lsmod", check=False)
    text = "\n".join(out)
    for gone in ("/dev/qn_KD300", "/dev/tw_286x", "/dev/panel", "/sys/kernel/debug/qn_board",
                 "/sys/module/qn_board"):
        assert f"ls: {gone}: No such file or directory" in text
    assert "qn_board" not in out[-1]
    qn.sh("insmod /lib/modules/qn_board.ko")
    assert qn.sh("ls /dev/qn_KD300") == ["/dev/qn_KD300"]
