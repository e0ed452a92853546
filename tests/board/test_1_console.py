"""Start-up and exit of qn_shell on the board's serial console: raw mode while it
runs, the console's own settings afterwards, however the shell ends."""

import pytest

from qnboard.console import stty_settings


def flags(stty_text):
    """The words of stty -a (settings and flags), without the speed line."""
    return set(stty_text.replace(";", " ").split())


@pytest.mark.lg_feature("control")
def test_board_prompt_and_nodes(qn):
    """The virtual board as a technician meets it: the driver's nodes, /dev/rtc, qn_shell."""
    out = qn.sh("ls -1 /dev/qn_KD300 /dev/tw_286x /dev/panel /dev/rtc && readlink /dev/rtc && which qn_shell")
    assert out == ["/dev/panel", "/dev/qn_KD300", "/dev/rtc", "/dev/tw_286x", "rtc0", "/usr/bin/qn_shell"]


def test_start_draws_prompt_and_exit_restores_console(qn):
    before = qn.stty()
    assert {"icanon", "echo", "isig", "icrnl", "opost", "onlcr"} <= flags(before)
    drawn = qn.start()
    # the screen is cleared, then the prompt drawn
    assert "\x1b[2J\x1b[1;1H" in drawn
    if qn.ctl:
        during = flags(stty_settings(qn.ctl.stty()))
        want = (flags(before) - {"icanon", "echo"}) | {"-icanon", "-echo"}
        assert {"min", "=", "1", "time", "0"} <= during
        assert during - {"-icanon", "-echo"} == want - {"-icanon", "-echo"}, \
            "raw mode changes ICANON and ECHO only"
        assert {"-icanon", "-echo"} <= during
    # Ctrl-C and Ctrl-\ raise signals the shell ignores: it stays
    qn.key("\x03", redraw=False)
    qn.key("\x1c", redraw=False)
    out = qn.command("mbinfo")
    assert "hardware=" in out
    qn.exit("exit")
    assert qn.stty() == before


def test_q_leaves_too(qn):
    before = qn.stty()
    qn.start()
    qn.exit("q")
    assert qn.stty() == before
    assert qn.sh("echo status=$?") == ["status=0"]


def test_end_of_input_ends_with_status_0(qn):
    before = qn.stty()
    out, rc = qn.sh_rc("qn_shell </dev/null >/dev/null 2>&1")
    assert rc == 0
    assert qn.stty() == before


@pytest.mark.parametrize("sig", ["TERM", "HUP"])
def test_signal_from_the_board_restores_console(qn, sig):
    """kill -TERM / -HUP from the board while the shell holds the console."""
    before = qn.stty()
    qn.start(f"(sleep 3; kill -{sig} $(pidof qn_shell)) & qn_shell")
    # back at the board prompt once the signal has ended the shell
    qn.in_qn = False
    qn.expect(qn.shell.prompt, timeout=30)
    qn.drain(0.5)
    qn.write("\n")
    qn.expect(qn.shell.prompt, timeout=30)
    qn.drain(0.3)
    assert qn.stty() == before
    assert qn.sh("pidof qn_shell || echo none") == ["none"]
