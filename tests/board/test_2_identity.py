"""mbinfo for each board model the driver can report."""

import re

import pytest

from qnboard.console import GREEN, NORM, lines


def test_mbinfo_shows_the_boards_identity(qn):
    """Any board: one green line naming a model, then the colour reset."""
    qn.start()
    out = lines(qn.command("mbinfo"))
    assert re.fullmatch(
        r"\n" + re.escape(GREEN) + r"hardware=(KD3151|KD3252|KD3353|KD3454|KD3555|unknown), "
        r"custom=-?\d+, mb_version=-?\d+" + re.escape(NORM) + "  \n", out), repr(out)
    qn.exit()


# module parameters -> the line mbinfo prints (None: nothing at all)
MODELS = [
    ({"model": "KD3151"}, "hardware=KD3151, custom=0, mb_version=1"),
    ({"model": "KD3252", "gp_id": 7, "mb_version": 3}, "hardware=KD3252, custom=7, mb_version=3"),
    ({"model": "KD3353", "mb_version": 0}, "hardware=KD3353, custom=0, mb_version=0"),
    ({"model": "KD3454", "mb_version": 2}, "hardware=KD3454, custom=0, mb_version=2"),
    ({"model": "KD3555", "gp_id": 4294967295, "mb_version": 2147483648},
     "hardware=KD3555, custom=-1, mb_version=-2147483648"),
    ({"model": "0x20D97006"}, "hardware=unknown, custom=0, mb_version=1"),
    ({"model": "0x20D97000"}, "hardware=unknown, custom=0, mb_version=1"),
    ({"model": "0"}, None),
]


@pytest.fixture(scope="module")
def reloaded(board):
    yield board
    board.recover()
    board.reload()


@pytest.mark.lg_feature("control")
@pytest.mark.parametrize("params,shown", MODELS, ids=[p["model"] for p, _ in MODELS])
def test_mbinfo_per_model(reloaded, params, shown):
    qn = reloaded
    qn.reload(**params)
    qn.start()
    out = lines(qn.command("mbinfo"))
    if shown is None:
        assert out == "\n"
    else:
        assert out == "\n" + GREEN + shown + NORM + "  \n"
    # extra words change nothing
    assert lines(qn.command("mbinfo now please")) == out
    qn.exit()


@pytest.mark.lg_feature("control")
def test_failed_identity_request_leaves_type_0(reloaded):
    qn = reloaded
    qn.reload(model="KD3555", fail="QN_GET_MBINFO")
    started = lines(qn.start())
    assert "lib_alarm@alarm_in: QN_ALM_IN error\n" in started
    assert lines(qn.command("mbinfo")) == "\n"
    # a type-0 board: sd1reset takes the all-other-models pin
    assert "SD1_RST_Pin:GPIO0_7 ResetLevel=1" in qn.command("sd1reset")
    qn.exit()


@pytest.mark.lg_feature("control")
@pytest.mark.parametrize("absent,message", [
    ("qn_KD300", "qn_kd3151: qn_KD300 open error\n: No such file or directory"),
    ("tw_286x", "qn_kd3151: tw_286x open error\n: No such file or directory"),
])
def test_missing_node_stops_start_up(reloaded, absent, message):
    qn = reloaded
    qn.reload(absent=absent)
    before = qn.stty()
    out, rc = qn.sh_rc("qn_shell; echo status=$?")
    assert message in "\n".join(out)
    assert out[-1] == "status=255"
    assert qn.stty() == before


@pytest.mark.lg_feature("control")
def test_without_panel_the_shell_runs(reloaded):
    qn = reloaded
    qn.reload(absent="panel")
    assert qn.sh("ls /dev/panel 2>&1 || true") == ["ls: /dev/panel: No such file or directory"]
    qn.start()
    assert "hardware=KD3454" in qn.command("mbinfo")
    qn.exit()


@pytest.mark.lg_feature("control")
@pytest.mark.parametrize("params,shown", [
    ({}, "0x50"),  # none given: the default device
    ({"i2c": "0x51,0x52"}, "0x51,0x52"),
], ids=["default", "given"])
def test_i2c_parameter_reads_the_devices_in_force(reloaded, params, shown):
    qn = reloaded
    qn.reload(**params)
    assert qn.sh("cat /sys/module/qn_board/parameters/i2c") == [shown]
    qn.start()
    first = shown.split(",")[0]
    assert "i2c_rd error" not in qn.command(f"ird {first} 0")
    qn.exit()
