"""Register peek and poke, I2C devices and the NVP6114 decoders, on the board
driver's model: requests and results as the driver saw them (its trace)."""

import pytest

from qnboard.console import ioctls, lines

pytestmark = pytest.mark.lg_feature("control")


def requests(ctl, prefix):
    """(name, in words, out words, ret) of the traced requests named prefix..."""
    return [(n, i, o, r) for _, n, i, o, r in ioctls(ctl.trace()) if n.startswith(prefix)]


def test_hw_then_hr(qn, ctl):
    qn.start()
    assert lines(qn.command("hw 0x20110040 0x1234abcd")) == "\n"
    assert lines(qn.command("HR 0X20110040")) == "\nread : 0x1234ABCD\n"
    assert lines(qn.command("hr 0x2011002c")) == "\nread : 0x00000022\n"
    assert lines(qn.command("hr 0x20110044")) == "\nread : 0x00000000\n"
    qn.exit()
    assert requests(ctl, "QN_REG_ACCESS") == [
        ("QN_REG_ACCESS", [0, 0x20110040, 0x1234ABCD, 0, 0], [0, 0x20110040, 0x1234ABCD, 0, 0], 0),
        ("QN_REG_ACCESS", [1, 0x20110040, 0, 0, 0], [0x1234ABCD, 0x20110040, 0, 0, 0], 0),
        ("QN_REG_ACCESS", [1, 0x2011002C, 0, 0, 0], [0x22, 0x2011002C, 0, 0, 0], 0),
        ("QN_REG_ACCESS", [1, 0x20110044, 0, 0, 0], [0, 0x20110044, 0, 0, 0], 0),
    ]


def test_gpio_data_registers_are_masked(qn, ctl):
    ctl.send("pin 2_4 1")
    ctl.send("pin 2_0 1")
    qn.start()
    # (command, what it prints)
    rows = [
        ("hr 0x201703fc", "read : 0x00000011"),
        ("hr 0x20170040", "read : 0x00000010"),
        ("hr 0x20170020", "read : 0x00000000"),
        ("hw 0x201703fc 0x0", None),           # all eight pins low
        ("hr 0x201703fc", "read : 0x00000000"),
        ("hw 0x20170200 0xff", None),          # only pin 7 sees the write
        ("hr 0x201703fc", "read : 0x00000080"),
    ]
    for cmd, shown in rows:
        assert lines(qn.command(cmd)) == "\n" + (shown + "\n" if shown else ""), cmd
    qn.exit()


def test_plain_i2c_device(qn, ctl):
    qn.start()
    assert lines(qn.command("iwr 0x50 0x10 0xab")) == "\n"
    assert lines(qn.command("ird 0x50 0x10")) == "\nread : 0xAB\n"
    assert lines(qn.command("imrd 0x50 0x0f 3")) == (
        "\nread : adr=0x0F, val = 0x00\nread : adr=0x10, val = 0xAB\nread : adr=0x11, val = 0x00\n")
    # no device at 0x51: the driver refuses, w0 keeps the selector
    assert lines(qn.command("ird 0x51 0")) == "\ni2c_rd error!\nread : 0x64\n"
    assert lines(qn.command("iwr 0x51 0 1")) == "\ni2c_wr error!\n"
    qn.exit()
    reqs = requests(ctl, "I2C_")
    assert reqs[0] == ("I2C_REG_WRITE", [100, 0x50, 0x10, 0xAB, 0], [100, 0x50, 0x10, 0xAB, 0], 0)
    assert reqs[-1] == ("I2C_REG_WRITE", [100, 0x51, 0, 1, 0], [100, 0x51, 0, 1, 0], -1)


def test_decoder_banks(qn, ctl):
    qn.start()
    # bank b register r starts as (r + 0x11 * b) & 0xFF
    assert lines(qn.command("nrd 0 1 0x10")) == "\nread : 0x21\n"
    assert lines(qn.command("nrd 1 15 0xf0")) == "\nread : 0xEF\n"
    assert lines(qn.command("nwr 0 2 0x30 0x5a")) == "\n"
    assert lines(qn.command("nrd 0 2 0x30")) == "\nread : 0x5A\n"
    assert lines(qn.command("nrd 1 2 0x30")) == "\nread : 0x52\n"   # the other chip
    assert lines(qn.command("nmrd 0 3 0xfe 3")) == (
        "\nread : adr=0xFE, val = 0x31\nread : adr=0xFF, val = 0x00\n"
        "tw286x_mrd error!\nread : adr=0x100, val = 0x00\n")
    assert lines(qn.command("nrd 2 0 0")) == "\ntw286x_rd error!\nread : 0x00\n"
    qn.exit()


def test_xm_dumps_five_banks(qn, ctl):
    qn.start()
    out = lines(qn.command("xm 0x160", timeout=120))
    qn.exit()
    got = out.split("\n")
    assert got[:3] == ["", "chip=0x60", "[bank0]"]
    for bank in range(5):
        start = got.index(f"[bank{bank}]")
        rows = got[start + 1:start + 257]
        assert rows == [f"read : adr=0x{r:02X}, val = 0x{(r + 0x11 * bank) & 0xFF:02X}"
                        for r in range(256)][:255] + [f"read : adr=0xFF, val = 0x{bank:02X}"]
    assert got[-1] == "" and got[-2] == "read : adr=0xFF, val = 0x04"
    reqs = requests(ctl, "I2C_")
    assert len(reqs) == 5 * 258
    assert all(r[3] == 0 for r in reqs)
    assert reqs[0][:2] == ("I2C_REG_WRITE", [100, 0x60, 0xFF, 0, 0])
    assert reqs[258 * 4][:2] == ("I2C_REG_WRITE", [100, 0x60, 0xFF, 4, 0])
