"""The commands a newcomer starts: every script's usage text and its refusal of what it does
not know, scripts/board-ctl.sh against a stand-in of the board's control agent, and the
simulator's launcher (the link announced once it takes clients, nothing left behind)."""
import os
import pathlib
import pty
import select
import signal
import socket
import subprocess
import sys
import tempfile
import threading

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
BUILD = pathlib.Path(os.environ.get("QN_BUILD_DIR", REPO / "build"))
sys.path.insert(0, str(REPO / "sim"))
from qnboard.link import snapshot  # noqa: E402
SCRIPTS = sorted((REPO / "scripts").iterdir()) + [REPO / "bench" / "run.sh"]


def run(cmd, **kw):
    kw.setdefault("timeout", 120)  # a hang guard, not a measure
    return subprocess.run(cmd, cwd=REPO, capture_output=True, text=True, stdin=subprocess.DEVNULL, **kw)


def comment_lines(path):
    """The script's own comment lines, as a printer of its header would show them."""
    out = set()
    for line in path.read_text().splitlines():
        s = line.strip()
        if s.startswith("#") and not s.startswith("#!"):
            text = s.lstrip("#").strip()
            if len(text) > 20:
                out.add(text)
    return out


@pytest.mark.parametrize("script", SCRIPTS, ids=lambda p: str(p.relative_to(REPO)))
@pytest.mark.parametrize("flag", ["--help", "-h"])
def test_help_prints_a_usage_text(script, flag):
    r = run([str(script), flag])
    assert r.returncode == 0, r.stderr
    assert r.stdout.startswith("usage:"), r.stdout[:200]
    # a usage text of its own, not the script's header lines printed out
    printed = {l.strip() for l in r.stdout.splitlines()}
    assert not printed & comment_lines(script), printed & comment_lines(script)


# (command, what it must name on stderr): each exits non-zero at once and does nothing
REFUSED = [
    (["scripts/test-all.sh", "hots"], "unknown stage 'hots'"),
    (["scripts/test-all.sh", "host", "--hots"], "unknown stage '--hots'"),
    (["scripts/run-board.sh", "--bogus"], "unknown option --bogus"),
    (["scripts/run-lab.sh", "bogus"], "unknown command bogus"),
    (["scripts/run-lab.sh"], "usage:"),
    (["scripts/web-deps.sh", "bogus"], "takes no arguments"),
    (["scripts/install.sh"], "usage:"),
    (["scripts/install.sh", "--bogus"], "usage:"),
    (["scripts/board-ctl.sh", "--bogus"], "unrecognized arguments: --bogus"),
    (["bench/run.sh", "bogus"], "takes no arguments"),
    (["bash", "sim/qnsim.in", "--bogus"], "unknown option --bogus"),
    (["scripts/run-bench.sh", "--bogus"], "unknown option --bogus"),
    (["scripts/run-bench.sh", "--model", "KD3555", "--vcd", "x.vcd", "--trcae", "t"], "unknown option --trcae"),
    (["scripts/run-bench.sh", "--board", "--fast"], "unknown option --fast"),
]


@pytest.mark.parametrize("cmd,named", REFUSED, ids=lambda v: " ".join(v) if isinstance(v, list) else None)
def test_unknown_arguments_are_refused(cmd, named):
    r = run(cmd)
    assert r.returncode != 0
    assert named in r.stderr, r.stderr
    assert "Traceback" not in r.stderr
    assert "all stages passed" not in r.stdout


def test_run_sim_help_shows_the_launchers_options_without_a_build():
    r = run(["scripts/run-sim.sh", "--help"])
    assert r.returncode == 0
    assert "usage: qnsim" in r.stdout and "--link SOCKET" in r.stdout
    assert "QNSIM_" in r.stdout


# ---- scripts/board-ctl.sh against a stand-in of sim/board/ctl-agent ---------------------


class Agent(threading.Thread):
    """Answers as the board's control agent does: "ok" or "error: REASON" per control line,
    the driver's files ended by "@end", the snapshot ended by "end", "@echo WORD"."""

    STATE = ["time 5", "identity KD3454 0x20D97004 gp_id=0 mb_version=1", "part lamp Rec 0_5 1 bit=0"]

    def __init__(self, path):
        super().__init__(daemon=True)
        self.srv = socket.socket(socket.AF_UNIX)
        self.srv.bind(path)
        self.srv.listen(1)
        self.got = []

    def run(self):
        conn, _ = self.srv.accept()
        buf = b""
        with conn:
            while True:
                data = conn.recv(4096)
                if not data:
                    return
                buf += data
                while b"\n" in buf:
                    line, buf = buf.split(b"\n", 1)
                    conn.sendall(self.answer(line.decode()).encode())

    def answer(self, line):
        self.got.append(line)
        if line.startswith("@echo "):
            return line[6:] + "\n"
        if line == "@state":
            return "\n".join(self.STATE + ["end"]) + "\n"
        if line == "@trace":
            return "0 open qn_KD300 fd=3\n@end\n"
        if line in ("@clear", "@events", "@events off") or line.startswith("pin "):
            return "ok\n"
        return "error: unknown command (panel pin)\n"


def test_board_ctl_answers_every_request(tmp_path):
    sock = str(tmp_path / "ctl.sock")
    agent = Agent(sock)
    agent.start()
    r = run(["scripts/board-ctl.sh", "--socket", sock, "@state", "pin 6_6 1", "@trace", "@events",
             "@echo marker", "@events off", "@clear", "bogus"])
    assert "Traceback" not in r.stderr, r.stderr
    assert r.stdout.splitlines() == Agent.STATE + ["ok", "0 open qn_KD300 fd=3", "ok", "marker", "ok", "ok",
                                                   "error: unknown command (panel pin)"]
    assert r.returncode == 1  # a line was refused
    # after the client's own marker (it skips stale answers), each line once, in order
    assert agent.got[0].startswith("@echo ")
    assert agent.got[1:] == ["@state", "pin 6_6 1", "@trace", "@events", "@echo marker", "@events off",
                             "@clear", "bogus"]


def test_board_ctl_without_a_board_says_so(tmp_path):
    r = run(["scripts/board-ctl.sh", "--socket", str(tmp_path / "none.sock"), "@state"])
    assert r.returncode == 2
    assert "no control agent at" in r.stderr and "scripts/run-board.sh" in r.stderr
    assert "Traceback" not in r.stderr


# ---- the simulator's launcher -----------------------------------------------------------

needs_build = pytest.mark.skipif(not (BUILD / "qnsim").exists() or not (BUILD / "qn_shell").exists(),
                                 reason="needs the host build (build/qnsim, build/qn_shell)")


def read_until(fd, text, out=b""):
    """Reads the far end of a pty (or a pipe) until text has come; what came."""
    while text not in out:
        r, _, _ = select.select([fd], [], [], 30)
        assert r, "waited for %r, have %r" % (text, out[-300:])
        try:
            data = os.read(fd, 4096)
        except OSError:
            data = b""
        assert data, "ended before %r: %r" % (text, out[-300:])
        out += data
    return out


@needs_build
def test_on_a_terminal_the_link_takes_clients_when_announced(tmp_path):
    """On a terminal the launcher pauses 3 s for its notes; the link is announced and
    answers before that pause, before the shell has drawn its prompt."""
    sock = str(tmp_path / "link.sock")
    master, slave = pty.openpty()
    env = dict(os.environ, TERM="xterm", TMPDIR=str(tmp_path))
    proc = subprocess.Popen([str(BUILD / "qnsim"), "--link", sock], stdin=slave, stdout=slave, stderr=slave,
                            env=env, start_new_session=True)
    os.close(slave)
    try:
        out = read_until(master, ("qnsim: board link %s\r\n" % sock).encode())
        assert b"Backspace: press Ctrl-H" in out  # the terminal's notes, so the pause is on
        assert any(l.startswith("identity KD3454 ") for l in snapshot(sock))
        read_until(master, b"quenta $: ")
        os.write(master, b"q")
        read_until(master, b"q")
        os.write(master, b"\r")
        assert proc.wait(30) == 0
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        os.close(master)
    assert sorted(os.listdir(tmp_path)) == []  # its FIFO folder and the link socket are gone


@needs_build
@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGHUP])
def test_a_signal_to_the_launcher_reaches_the_shell_and_leaves_nothing(tmp_path, sig):
    work = tmp_path / "tmp"
    work.mkdir()
    proc = subprocess.Popen([str(BUILD / "qnsim")], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=dict(os.environ, TMPDIR=str(work)))
    try:
        read_until(proc.stderr.fileno(), b"quenta $: ")  # the prompt (on stderr): the shell runs
        shell = [int(p) for p in subprocess.run(["pgrep", "-P", str(proc.pid)], capture_output=True,
                                                text=True).stdout.split()]
        assert len(shell) == 1
        proc.send_signal(sig)
        assert proc.wait(30) == -sig  # ended as the shell ended: by the signal
        assert not os.path.exists("/proc/%d" % shell[0])
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        proc.stdin.close()
        proc.stdout.close()
        proc.stderr.close()
    assert os.listdir(work) == []
