"""Requests the board driver refuses, and control lines it rejects."""

import pytest

from boardctl import ControlError
from qnboard.console import NORM, RED, ioctls, lines

pytestmark = pytest.mark.lg_feature("control")


# fault rule, command, what the shell prints
REFUSED = [
    ("QN_REG_ACCESS", "hr 0x20110040", "\nhs3515_rd error!\nread : 0x00000001\n"),
    ("QN_REG_ACCESS", "hw 0x20110040 5", "\nhs3515_wr error!\n"),
    ("I2C_REG_READ", "nrd 0 1 0x10", "\ntw286x_rd error!\nread : 0x00\n"),
    ("I2C_REG_WRITE", "iwr 0x50 1 2", "\ni2c_wr error!\n"),
    ("QN_BUZZER", "buzzer off", "\n\x1b[0;32;32mBuzzer no honking\nbuzzer_ctrl error!\n\x1b[mPin: GPIO8_4 level=0\n"),
    ("I2C_REG_READ@2", "imrd 0x50 0 3",
     "\nread : adr=0x00, val = 0x00\ni2c_mrd error!\nread : adr=0x01, val = 0x64\n"
     "i2c_mrd error!\nread : adr=0x02, val = 0x64\n"),
]


@pytest.mark.parametrize("rule,cmd,shown", REFUSED, ids=[r[0] + "-" + r[1] for r in REFUSED])
def test_refused_request_prints_failure_and_carries_on(qn, ctl, rule, cmd, shown):
    ctl.send("fail " + rule)
    qn.start()
    assert lines(qn.command(cmd)) == shown
    # the shell carries on: another request still works
    assert "hardware=KD3454" in qn.command("mbinfo")
    qn.exit()
    refused = [r for _, n, _, _, r in ioctls(ctl.trace()) if n == rule.split("@")[0]]
    assert -1 in refused


# bad control lines: the driver's reason, and nothing changes
BAD = ["pin 9_0 1", "pin 2_4 2", "panel zz", "panel 100", "reg 0x20110040", "reg x 1",
       "fail NO_SUCH_REQUEST", "nvp 0 16 0 1", "frobnicate",
       # the RTC and the system clock are the kernel's: no fault rule reaches them
       "fail RTC_SET_TIME", "fail settimeofday@2"]


@pytest.mark.parametrize("line", BAD)
def test_bad_control_line_changes_nothing(qn, ctl, line):
    with pytest.raises(ControlError) as err:
        ctl.send(line)
    assert str(err.value), "the driver gives a reason"
    trace = ctl.trace()
    assert [l.split(" ", 1)[1] for l in trace] == ["ctl-error " + line]
    qn.start()
    assert lines(qn.command("hr 0x201703fc")) == "\nread : 0x00000000\n"
    assert lines(qn.command("hr 0x20110040")) == "\nread : 0x00000000\n"
    assert lines(qn.command("nrd 0 15 0")) == "\nread : 0xFF\n"
    qn.exit()


@pytest.fixture
def buzzer_fails(board):
    """The driver loaded with the fault rule fail=QN_BUZZER; loaded afresh
    with its defaults afterwards."""
    board.recover()
    board.reload(fail="QN_BUZZER")
    yield board
    board.recover()
    board.reload()


def test_fail_rule_of_the_module_survives_reset(buzzer_fails):
    """A reset brings back the power-on board with the module's parameters
    applied again: its fault rule still refuses the sounder."""
    qn = buzzer_fails
    refused = "\n" + RED + "Buzzer honking\nbuzzer_ctrl error!\n" + NORM + "Pin: GPIO8_4 level=1\n"
    for when in ("before the reset", "after the reset"):
        qn.ctl.clear()
        qn.start()
        assert lines(qn.command("buzzer on")) == refused, when
        qn.exit()
        assert [r for _, n, _, _, r in ioctls(qn.ctl.trace()) if n == "QN_BUZZER"] == [-1], when
        qn.control("reset")
