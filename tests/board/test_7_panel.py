"""revkey: the key monitor reading the front-panel driver's stream while the
shell waits for keys; panel bytes fed through the control file."""

import time

import pytest

from qnboard.console import lines, rx


def test_revkey_on_and_off(qn):
    """Any board: the monitor starts, and stops within its polling period."""
    qn.start()
    assert "read key from panel\n" in lines(qn.command("revkey on"))
    assert lines(qn.command("revkey maybe")) == "\nwrong arg: maybe\n"
    qn.type("revkey off")
    qn.write("\r")
    qn.expect(rx("quit from read panel"), timeout=10)
    qn.drain(0.3)
    qn.exit()


# control line -> key lines the monitor prints (in order)
FRAMES = [
    ("panel fd 21", ["key=0x21, 33"]),
    ("panel fd fc fd", ["key=0xfd, 253"]),
    ("panel fd fc fc fd 1a", ["key=0xfc, 252", "key=0x1a, 26"]),
    ("panel 21 fd 80", ["key=0x80, 128"]),   # a stray byte before the frame is dropped
]


@pytest.mark.lg_feature("control")
def test_panel_frames_while_the_shell_waits(qn, ctl):
    qn.start()
    assert "read key from panel\n" in lines(qn.command("revkey on"))
    for line, keys in FRAMES:
        ctl.send(line)
        for key in keys:
            qn.expect(rx(key) + r"\r\n", timeout=10)
    # a lone stray byte prints nothing
    ctl.send("panel 21")
    time.sleep(1.0)
    qn.type("revkey off")
    qn.write("\r")
    before, _ = qn.expect(rx("quit from read panel"), timeout=10)
    assert "key=" not in before
    qn.drain(0.3)
    qn.exit()
    trace = ctl.trace()
    feeds = [l.split(" ", 2)[2] for l in trace if " panel-feed " in l]
    assert feeds == ["fd 21", "fd fc fd", "fd fc fc fd 1a", "21 fd 80", "21"]
    read = "".join(l.split()[2] for l in trace if " panel-read " in l)
    assert read == "fd21" "fdfcfd" "fdfcfcfd1a" "21fd80" "21"


@pytest.mark.lg_feature("control")
def test_blocking_panel_read_wakes_on_a_feed(qn, ctl):
    """Without O_NONBLOCK a read waits for bytes (the shell opens the node
    non-blocking; the request fuzzer counts its EAGAIN answers)."""
    out = qn.sh("(sleep 1; echo 'panel 41 42 0a' > /sys/kernel/debug/qn_board/ctl) & head -c 3 /dev/panel")
    assert out[-1] == "AB"
