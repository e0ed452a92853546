"""status with the inputs set through the control file, and ddrsize from the DDR
controller's geometry."""

import pytest

from qnboard.console import GREEN, NORM, lines

pytestmark = pytest.mark.lg_feature("control")

STATE = "\u72b6\u6001"  # "state", written GBK-encoded by the shell


def gbk(text):
    """Console bytes (read as latin-1) of a text the shell writes in GBK."""
    return text.encode("gbk").decode("latin-1")


def test_status_kd3454_inputs_from_the_control_file(qn, ctl):
    # lines() undoes the console's \r\n; the state texts end in their own \r
    ctl.send("pin 5_6 1")   # SD1 card out
    ctl.send("pin 0_6 1")   # power pulled out
    ctl.send("pin 6_7 1")   # hardware version straps: 2
    qn.start()
    rows = [
        ("bit0: SD1_CARDIN(P56)", 1, STATE + ": SD1\u5361\u62d4\u51fa(high)"),
        ("bit1: SD2_CARDIN(P82)", 0, STATE + ": SD2\u5361\u63d2\u5165(low)"),
        ("bit2: PowerSupply(P06)", 1, STATE + ": power pull out(high)"),
        ("bit3: LOCK(P22)", 0, STATE + ": LOCK IN(low)"),
        ("bit4: HwVer(P67/P66)", 2, STATE + ": 4x720p"),
    ]
    want = "\n=== GpioDevice status====\n" + GREEN + "".join(
        f"{name} \t\tval={val}\t{gbk(text)}\r\n" for name, val, text in rows) + NORM + " \n"
    assert lines(qn.command("status")) == want
    # after mbinfo the header names the model; a pin change shows at once
    qn.command("mbinfo")
    ctl.send("pin 2_2 1")
    ctl.send("pin 6_6 1")
    rows[3] = ("bit3: LOCK(P22)", 1, STATE + ": LOCK OFF(high)")
    rows[4] = ("bit4: HwVer(P67/P66)", 3, STATE + ": unknown")
    want = "\n===KD3454 GpioDevice status====\n" + GREEN + "".join(
        f"{name} \t\tval={val}\t{gbk(text)}\r\n" for name, val, text in rows) + NORM + " \n"
    assert lines(qn.command("status extra words")) == want
    qn.exit()


# DDR controller registers 0x2011002C, 0x2011001C -> the size line
GEOMETRIES = [
    (None, None, "ddr_size:256MB 0x10000000"),   # the board's power-on values
    (0x32, 0x10, "ddr_size:512MB 0x20000000"),
    (0x12, 0x00, "ddr_size:64MB 0x4000000"),
    (0x43, 0x10, "ddr_size:2048MB 0x80000000"),
    (0x54, 0x10, "ddr_size:0MB 0x0"),             # 4 GiB does not fit in 32 bits
    (0x62, 0x10, "ddr_size:0MB 0x8000"),
]


def test_ddrsize_per_geometry(qn, ctl):
    qn.start()
    for cols_rows, width, shown in GEOMETRIES:
        if cols_rows is not None:
            ctl.send(f"reg 0x2011002C {cols_rows:#x}")
            ctl.send(f"reg 0x2011001C {width:#x}")
        assert lines(qn.command("ddrsize")) == "\n" + GREEN + shown + "\n" + NORM + " \n", shown
    qn.exit()
