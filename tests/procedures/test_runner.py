"""The procedure runner on the simulator (the real shell and board link), and its
operator rules on a board without a link."""
import json
import os
import pathlib
import subprocess
import sys
import xml.etree.ElementTree as ET

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "sim"))
from qnboard import procedure, runner  # noqa: E402

BUILD = pathlib.Path(os.environ.get("QN_BUILD_DIR", REPO / "build"))
needs_sim = pytest.mark.skipif(not (BUILD / "qnsim").exists(), reason="no simulator build")

KD3555 = """\
procedure: KD3555 lamps, an input and the hub reset
models: [KD3555]
steps:
  - start: qn_shell
  - type: ctlled 3
    expect: ["Light on RecLED", {re: "AlarmLED\\\\(P2\\\\.5\\\\) level=0"}]
  - check: RecLED
    is: {lamp}
  - check: buzzer
    is: off
  - set: WIFI_EXIST
    level: low
  - check: WIFI_EXIST
    is: low
  - type: status
    expect: ["GpioDevice status"]
  - type: hubreset
  - check: hubreset
    pulse_ms: 100
  - ddr: 512
  - type: ddrsize
    expect: ["512MB"]
  - leave: exit
"""


def run(tmp_path, text, *args):
    f = tmp_path / "p.yaml"
    f.write_text(text)
    js, xml = tmp_path / "r.json", tmp_path / "r.xml"
    p = subprocess.run([sys.executable, "-m", "qnboard.runner", str(f), "--sim", "--build", str(BUILD),
                        "--json", str(js), "--junit", str(xml), *args],
                       env=dict(os.environ, PYTHONPATH=str(REPO / "sim")), capture_output=True,
                       text=True, timeout=300)
    rep = json.loads(js.read_text()) if js.exists() else None
    return p, rep, (ET.parse(xml) if xml.exists() else None)


@needs_sim
def test_a_procedure_passes_on_the_simulator_with_its_reports(tmp_path):
    p, rep, xml = run(tmp_path, KD3555.replace("{lamp}", "on"))
    assert p.returncode == 0, p.stdout + p.stderr
    r = rep[0]
    assert r["result"] == "passed" and r["target"] == "simulator"
    assert r["identity"] == "hardware=KD3555, custom=0, mb_version=1"
    steps = {s["name"]: s for s in r["steps"]}
    assert all(s["status"] == "passed" for s in r["steps"])
    assert "RecLED is lit (pin 2_4 level 0)" in steps["check RecLED"]["shown"]
    pulse = steps["check hubreset"]["shown"]
    assert "last pulse" in pulse and float(pulse.split("last pulse ")[1].split()[0]) >= 100
    assert steps["set WIFI_EXIST"]["shown"].startswith("pin ")
    cases = xml.getroot().findall(".//testcase")
    assert len(cases) == len(r["steps"]) and not xml.getroot().findall(".//failure")


@needs_sim
def test_a_flipped_lamp_fails_naming_the_step_and_what_the_board_showed(tmp_path):
    p, rep, xml = run(tmp_path, KD3555.replace("{lamp}", "off"))
    assert p.returncode == 1
    failed = [s for s in rep[0]["steps"] if s["status"] == "failed"]
    assert [s["step"] for s in failed] == [3]
    assert "expected RecLED off; RecLED is lit (pin 2_4 level 0)" in failed[0]["shown"]
    assert "  3  failed" in p.stdout and "RecLED is lit" in p.stdout
    assert all(s["status"] == "not run" for s in rep[0]["steps"][3:])
    assert len(xml.getroot().findall(".//failure")) == 1


@needs_sim
def test_a_run_on_another_model_stops_at_once_naming_it(tmp_path):
    p, rep, _ = run(tmp_path, KD3555.replace("{lamp}", "on"), "--model", "KD3454")
    assert p.returncode == 1
    assert "this procedure is for KD3555; the board is KD3454" in p.stdout
    assert rep[0]["steps"] == [] and rep[0]["counts"]["not run"] == len(KD3555.split("  - ")) - 1


def test_a_bad_file_runs_nothing(tmp_path):
    f = tmp_path / "bad.yaml"
    f.write_text("procedure: p\nmodels: [KD3555]\nsteps:\n  - blink: RecLED\n")
    p = subprocess.run([sys.executable, "-m", "qnboard.runner", str(f), "--sim", "--build", str(BUILD)],
                       env=dict(os.environ, PYTHONPATH=str(REPO / "sim")), capture_output=True, text=True)
    assert p.returncode == 2
    assert f"{f}:4: step 1: unknown step 'blink'" in p.stderr


# -- without a link: the operator -----------------------------------------------------

class NoLink:
    link = None


def steps(text):
    return procedure.loads("procedure: p\nmodels: [KD3555]\nsteps:\n" + text).steps


OPERATOR_CASES = [
    # step, answers (None: no operator), status, shown or reason
    ("  - check: RecLED\n    is: on\n", {"1": "yes"}, "passed", "operator: yes"),
    ("  - check: RecLED\n    is: on\n", {"1": "no"}, "failed", "the operator answered no: Is RecLED on"),
    ("  - check: RecLED\n    is: on\n", None, "skipped", "no board link and no operator"),
    ("  - set: WIFI_EXIST\n    level: high\n    name: wifi\n", {"wifi": "done"}, "passed", "operator: done"),
    ("  - press: 0x12\n", None, "skipped", "no board link and no operator"),
    ("  - ask: Does it beep?\n    answer: no\n", {"1": "no"}, "passed", "operator: no"),
    ("  - ask: Does it beep?\n", {"1": "no"}, "failed", "the operator answered no"),
    ("  - ask: Does it beep?\n", None, "skipped", "no operator"),
]


@pytest.mark.parametrize("text, answers, status, shown", OPERATOR_CASES,
                         ids=[f"{c[0].split(':')[0].strip('- ')}-{c[2]}-{i}" for i, c in enumerate(OPERATOR_CASES)])
def test_board_steps_without_a_link_go_to_the_operator(text, answers, status, shown):
    op = runner.Operator(answers or {}, present=False, ask=lambda q: pytest.fail("asked " + q))
    step = steps(text)[0]
    try:
        got = runner.run_step(NoLink(), step, op, {})
    except runner.StepFailed as e:
        got = ("failed", str(e))
    assert got[0] == status and shown in got[1]


def test_questions_and_instructions_a_technician_reads():
    q = [runner.question_for(s) for s in steps(
        "  - check: RecLED\n    is: on\n  - check: hubreset\n    pulse_ms: 100\n"
        "  - set: WIFI_EXIST\n    level: high\n  - press: 0x12\n  - ddr: 256\n")]
    assert q == ["Is RecLED on (lit, switched on, in reset, asserted)?",
                 "Did the hubreset line pulse for at least 100 ms?",
                 "Switch WIFI_EXIST to high", "Press the front-panel key 0x12", "Fit 256 MB of DDR"]


ACCEPTANCE = sorted((REPO / "procedures").glob("*-acceptance.yaml"))


@needs_sim
@pytest.mark.parametrize("path", ACCEPTANCE, ids=[p.stem for p in ACCEPTANCE])
def test_the_acceptance_procedure_passes_on_the_simulator(tmp_path, path):
    p, rep, _ = run(tmp_path, path.read_text(encoding="utf-8"))
    assert p.returncode == 0, p.stdout + p.stderr
    model = procedure.load(path).models[0]
    assert rep[0]["identity"].startswith(f"hardware={model}, ")
    kinds = {s["kind"] for s in rep[0]["steps"]}
    assert {"start", "type", "check", "leave"} <= kinds


ANSWER = "Light on RecLED(P2.4) level=0\nLight off AlarmLED(P2.5) level=1\n"


@pytest.mark.parametrize("expect, missing", [
    (["RecLED", "AlarmLED"], []),
    (["RecLED", {"re": "AlarmLED.*level=1\\n$"}], []),
    (["AlarmLED", "RecLED"], ["'RecLED' (only before 'AlarmLED')"]),
    ([{"re": "level=1"}, "level=0"], ["'level=0' (only before /level=1/)"]),
    (["DoorLED", "RecLED"], ["'DoorLED'"]),
    (["RecLED", "RecLED"], ["'RecLED' (only before 'RecLED')"]),  # one line, not two
])
def test_expected_texts_are_looked_for_in_order(expect, missing):
    assert runner._missing(expect, ANSWER) == missing
