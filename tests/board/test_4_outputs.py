"""Lamps, camera power and the three reset lines: the pins the driver saw move,
and the reset pulses timed by the driver's kernel clock (its waveform)."""

import pytest

from qnboard.console import GREEN, NORM, RED, ioctls, lines, pin_moves, reset_pulse

pytestmark = pytest.mark.lg_feature("control")


@pytest.fixture(scope="module")
def models(board):
    yield board
    board.recover()
    board.reload()


def test_lamps_kd3454(qn, ctl):
    qn.start()
    assert lines(qn.command("ctlled 0")) == (
        "\n" + GREEN + "Light off RecLED(P0.5) level=1\n" + GREEN + "Light off DoorLED(P8.0) level=1\n" + NORM + " \n")
    assert lines(qn.command("ctlled 0x102")) == (
        "\n" + GREEN + "Light off RecLED(P0.5) level=1\n" + RED + "Light on DoorLED(P8.0) level=0\n" + NORM + " \n")
    qn.exit()
    assert [(p, l) for _, p, l in pin_moves(ctl)] == [("gpio0_5", 1), ("gpio8_0", 1), ("gpio8_0", 0)]


def test_camera_power_kd3454(qn, ctl):
    qn.start()
    assert lines(qn.command("campw on")) == "\n" + RED + "Open camera power\n" + NORM + "HUB_PW:GPIO6_3  level=1\n"
    assert lines(qn.command("campw of")) == "\n"
    assert lines(qn.command("campw offset")) == "\n" + GREEN + "Close camera power\n" + NORM + "HUB_PW:GPIO6_3  level=0\n"
    qn.exit()
    assert [(p, l) for _, p, l in pin_moves(ctl)] == [("gpio6_3", 1), ("gpio6_3", 0)]


def test_kd3454_hubreset_writes(qn, ctl):
    """The three writes of the hub reset, in order, at GPIO6_1's pin address."""
    qn.start()
    qn.command("hubreset")
    qn.exit()
    writes = [(i[1], i[2]) for _, n, i, _, r in ioctls(ctl.trace()) if n == "QN_REG_ACCESS" and i[0] == 0]
    assert writes == [(0x201B0008, 0x02), (0x201B0008, 0x00), (0x201B0008, 0x02)]


# model, command, printed after the header, pin, idle level, reset level
RESETS = [
    ("KD3454", "hubreset", "usbhub reset control", "RST_Pin:GPIO6_1 ResetLevel=0", "gpio6_1", 1, 0),
    ("KD3454", "sd1reset", "sd1 reset control", "SD1_RST_Pin:GPIO6_5 ResetLevel=1", "gpio6_5", 0, 1),
    ("KD3454", "adreset", "ad reset ctl", "AD_RST:GPIO1_4 ResetLevel=0", "gpio1_4", 1, 0),
    ("KD3555", "hubreset", "usbhub reset control", "RST_Pin:GPIO0_6 ResetLevel=1", "gpio0_6", 0, 1),
    ("KD3555", "adreset", "ad reset ctl", "AD_RST:GPIO8_2 ResetLevel=0", "gpio8_2", 1, 0),
    ("KD3151", "sd1reset", "sd1 reset control", "SD1_RST_Pin:GPIO0_7 ResetLevel=1", "gpio0_7", 0, 1),
]


@pytest.mark.parametrize("model,cmd,header,pinline,pin,idle,level", RESETS,
                         ids=[f"{r[0]}-{r[1]}" for r in RESETS])
def test_reset_pulse(models, ctl, model, cmd, header, pinline, pin, idle, level):
    qn = models
    if qn.sh("cat /sys/module/qn_board/parameters/model") != [model]:
        qn.reload(model=model)
        ctl.clear()
    qn.start()
    assert lines(qn.command(cmd)) == "\n" + RED + header + "\n" + NORM + pinline + "\n"
    qn.exit()
    # one pulse on the reset line alone (an idle-high line first rises to idle)
    shown_level, width = reset_pulse(ctl.vcd(), pin, idle)
    assert shown_level == level
    assert width >= 100000, "the reset level lasts at least the 100 ms pause"
