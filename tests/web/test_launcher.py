"""scripts/run-bench.sh as a user starts it: one URL line, the shell in a shared session,
and Ctrl-C leaves no process, socket or FIFO behind."""

import json
import os
import re
import signal
import urllib.error
import urllib.request

from conftest import Bench


def processes_with(text):
    """Pids whose environment mentions text (the shell and the simulator carry the bench's
    work folder in QNSIM_CTL and QNSIM_LINK)."""
    found = []
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open("/proc/%s/environ" % pid, "rb") as f:
                if text.encode() in f.read():
                    found.append(int(pid))
        except OSError:
            pass
    return found


def test_one_url_line_and_ctrl_c_leaves_nothing():
    b = Bench(["--model", "KD3252"])
    try:
        assert len(b.lines) == 1, b.lines
        assert re.fullmatch(r"http://127\.0\.0\.1:\d+/\?token=[A-Za-z0-9_-]{20,}", b.url)
        st = json.loads(urllib.request.urlopen(b.base + "/stats?token=" + b.token).read())
        work, shell = st["workdir"], st["shell_pid"]
        assert st["running"] and os.path.isdir(work)
        assert os.path.exists(os.path.join(work, "ctl"))  # the simulator's FIFO
        assert shell in processes_with(work)
    finally:
        rc = b.stop(signal.SIGINT)
    assert rc == 0, b.stderr()
    assert not os.path.exists(work)
    # the server waited for the launcher, and the launcher for the shell: nothing is left
    assert processes_with(work) == []
    assert not os.path.exists("/proc/%d" % shell) or open("/proc/%d/stat" % shell).read().split()[2] == "Z"


def test_each_run_has_its_own_token_and_port():
    a = Bench(["--model", "KD3454"])
    b = Bench(["--model", "KD3454", "--port", "0"])
    try:
        assert a.token != b.token and a.base != b.base
        # one bench's token does not open the other
        try:
            urllib.request.urlopen(b.base + "/?token=" + a.token)
            raise AssertionError("the other bench's token was taken")
        except urllib.error.HTTPError as e:
            assert e.code == 403
        assert urllib.request.urlopen(b.base + "/?token=" + b.token).status == 200
    finally:
        a.stop()
        b.stop()
