"""The bench server under a WebSocket fuzz: random JSON, wrong types, binary frames,
messages over the size limit, unknown kinds and floods, against the real server and the
shell on the simulator. Every bad message gets its error answer, the server and the shell
stay up, and nothing the fuzz sent is typed. (The server's memory over a longer fuzz is a
figure of the benchmark, bench/web_bench.py.)"""

import json
import urllib.request

import wsfuzz
from conftest import Bench

MESSAGES = 3000


def stats(b):
    return json.loads(urllib.request.urlopen(b.base + "/stats?token=" + b.token).read())


def test_fuzz_gets_an_error_for_each_message_and_the_shell_stays_up():
    b = Bench(["--model", "KD3454"])
    try:
        before = stats(b)
        report = wsfuzz.run(b.host, b.token, MESSAGES, seed=22)
        assert report["sent"] == MESSAGES
        assert report["wrong"] == [], report["wrong"][:5]
        assert report["answered"] == MESSAGES
        # each kind of bad message was tried, the oversize ones with a new connection each
        assert set(report["kinds"]) >= set(wsfuzz.KINDS) - {"flood"}, report["kinds"]
        assert report["reconnects"] == report["kinds"]["oversize"] > 0
        # the shell took the command typed after the fuzz, and nothing of the fuzz before
        assert report["after"]["type"] == "answer" and report["after"]["ok"], report["after"]
        assert report["shell_answered"]
        after = stats(b)
        assert b.proc.poll() is None
        assert after["running"] and after["shell_pid"] == before["shell_pid"]
        assert after["keys"] - before["keys"] == len("mbinfo\n")
        refused_controls = report["kinds"].get("control-refused", 0)
        assert after["bad_messages"] - before["bad_messages"] == MESSAGES - refused_controls
    finally:
        b.stop()
