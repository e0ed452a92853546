"""The bench PC's configuration (scripts/benchpc.py over lab/benchpc/): the three files must
agree, and ser2net.yaml changes only in its serialdev lines for the stand-in adapters.
Runs on copies of the lab's files, edited one way at a time; nothing is started."""
import os
import pathlib
import re
import shutil
import subprocess
import tempfile

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
CONF = REPO / "lab" / "benchpc"
TOOL = [str(REPO / "scripts" / "benchpc.py")]


def run(conf_dir, *args):
    env = dict(os.environ, QN_BENCHPC_CONF=str(conf_dir))
    return subprocess.run(["/usr/bin/python3"] + TOOL + list(args), env=env,
                          capture_output=True, text=True, check=False)


@pytest.fixture
def conf():
    with tempfile.TemporaryDirectory(prefix="qn-benchpc-conf-") as d:
        for f in ("benchpc.yaml", "ser2net.yaml", "pdudaemon.conf"):
            shutil.copy(CONF / f, d)
        yield pathlib.Path(d)


def edit(path, old, new):
    text = path.read_text()
    assert old in text, f"{old!r} not in {path.name}"
    path.write_text(text.replace(old, new, 1))


def test_the_labs_bench_pc_table(conf):
    r = run(conf, "table")
    assert r.returncode == 0, r.stderr
    rows = [l.split() for l in r.stdout.splitlines()]
    assert rows == [["qn-board-01", "KD3151", "KD3151", "18471", "1"],
                    ["qn-board-05", "KD3555", "KD3555", "18475", "2"],
                    ["qn-board-03", "KD3353", "KD3454", "18473", "3"]]
    assert run(conf, "pdu").stdout.split() == ["benchpc-pdu", "127.0.0.1", "18470", "2"]


def test_ser2net_changes_only_the_serialdev_lines(conf):
    r = run(conf, "ser2net", "/state")
    assert r.returncode == 0, r.stderr
    mine = r.stdout.splitlines()
    theirs = (conf / "ser2net.yaml").read_text().splitlines()
    assert len(mine) == len(theirs)
    changed = [(a, b) for a, b in zip(theirs, mine) if a != b]
    assert len(changed) == 3
    for real, stand_in in changed:
        assert real.strip().startswith("connector: serialdev,/dev/serial/by-id/")
        m = re.match(r"^\s+connector: serialdev,/state/(qn-board-0[135])/adapter,115200n81,local$",
                     stand_in)
        assert m, stand_in
    # each connection keeps its own port: the adapter of the board of that port
    text = r.stdout
    for name, port in (("qn-board-01", 18471), ("qn-board-05", 18475), ("qn-board-03", 18473)):
        block = text[text.index(f"&{name}"):].split("connection:")[0]
        assert f"127.0.0.1,{port}\n" in block and f"/state/{name}/adapter" in block


BROKEN = [
    # (file, text, replacement, what the error names)
    ("benchpc.yaml", "outlet: 2}", "outlet: 1}", "taken twice"),
    ("benchpc.yaml", "port: 18475", "port: 18471", "taken twice"),
    ("benchpc.yaml", "image: KD3454", "image: KD9999", "image 'KD9999'"),
    ("benchpc.yaml", "label: KD3151", "label: kd3151", "label 'kd3151'"),
    ("benchpc.yaml", "port: 18475", "port: 80", "port 80"),
    ("benchpc.yaml", "outlet: 3}", "outlet: 0}", "outlet 0"),
    ("benchpc.yaml", "pdu: benchpc-pdu", "pdu: pdu9", "no PDU 'pdu9'"),
    ("benchpc.yaml", "qn-board-03:", "qn-board-09:", "no telnet(rfc2217) connection"),
    ("ser2net.yaml", "127.0.0.1,18475", "127.0.0.1,18476", "benchpc.yaml says 127.0.0.1:18475"),
    ("ser2net.yaml", "127.0.0.1,18471", "0.0.0.0,18471", "is on 0.0.0.0:18471"),
    ("ser2net.yaml", "telnet(rfc2217),tcp,127.0.0.1,18473", "tcp,127.0.0.1,18473",
     "no telnet(rfc2217) connection"),
    ("pdudaemon.conf", '"hostname": "127.0.0.1"', '"hostname": "0.0.0.0"', "on 127.0.0.1"),
    ("pdudaemon.conf", '"listener": "http"', '"listener": "tcp"', "HTTP listener"),
    ("pdudaemon.conf", '"port": 2}', '"port": 3}', "alias qn-board-05"),
]


@pytest.mark.parametrize("name,old,new,reason", BROKEN,
                         ids=[f"{b[0]}:{b[3]}" for b in BROKEN])
def test_a_disagreement_is_refused_with_its_reason(conf, name, old, new, reason):
    edit(conf / name, old, new)
    r = run(conf, "table")
    assert r.returncode == 1
    assert r.stdout == ""
    assert reason in r.stderr


def test_no_command_prints_the_usage(conf):
    r = run(conf)
    assert r.returncode == 2
    assert "benchpc.py table" in r.stderr
