"""A board on a switched outlet: power cut and back through its power driver
(on the bench PC, pdudaemon's outlet), and the shell found again."""

import pytest

from qnboard.console import power_cycle


@pytest.mark.lg_feature("power")
def test_power_cycle_boots_the_board_again(qn):
    """Off and on through the outlet: the board boots afresh from its flash (a
    file in its RAM file system is gone) to its prompt, with its drivers loaded
    and qn_shell naming the same board."""
    qn.start()
    before = qn.command("mbinfo")
    qn.exit()
    assert "hardware=" in before
    qn.sh("echo cut > /root/power-mark")

    power_cycle(qn)

    assert qn.sh("ls /root") == [], "the power cut ended the running system"
    assert any(l.startswith("qn_board ") for l in qn.sh("lsmod"))
    qn.start()
    after = qn.command("mbinfo")
    qn.exit()
    assert after == before
