"""Recording a procedure in the bench page (headless chromium) on the simulated KD3555,
saving it, and running it: with the runner on the simulator, and in the page."""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

import pytest
from benchpage import Page, eventually
from conftest import REPO, Bench, bench_args, shot
from selenium.webdriver.common.by import By

sys.path.insert(0, os.path.join(REPO, "sim"))
from qnboard import procedure  # noqa: E402

SCRIPT = os.path.join(REPO, "scripts", "run-procedure.sh")


@pytest.fixture(scope="module")
def bench(on_board):
    """Recorded on the simulator; in the virtual board's run of the suite the saved file is
    replayed on the virtual board as well."""
    b = Bench(bench_args(False, "KD3555"))
    yield b
    b.stop()


@pytest.fixture
def folder():
    d = tempfile.mkdtemp(prefix="qnproc-page.")
    yield d
    shutil.rmtree(d, ignore_errors=True)


def attr(page, el_id, name="data-state"):
    return page.d.find_element(By.ID, el_id).get_attribute(name)


def click(page, el_id):
    page.d.find_element(By.ID, el_id).click()


def downloaded(folder):
    names = [n for n in os.listdir(folder) if not n.endswith(".crdownload")]
    return names[0] if names else None


def run_in_page(page, path):
    page.js("document.getElementById('run-file').hidden = false")
    page.d.find_element(By.ID, "run-file").send_keys(path)
    page.js("document.getElementById('run-file').hidden = true")


def rows(page):
    return page.js("""return [...document.querySelectorAll('#proc-steps li')].map(
        (li) => [li.dataset.state, li.textContent])""")


def test_record_save_and_replay(bench, browser, folder, on_board):
    d = browser
    d.execute_cdp_cmd("Page.setDownloadBehavior", {"behavior": "allow", "downloadPath": folder})
    page = Page(d, bench)
    click(page, "record")
    eventually(lambda: attr(page, "proc-mode") == "recording", what="recording")
    # the bench types mbinfo first, as a run does
    eventually(lambda: "hardware=KD3555" in page.tail(6) and
               page.input_line()[0].rstrip() == "quenta $:", what="the bench's mbinfo")
    page.run("ctlled 3", expect="Light on AlarmLED")
    page.part("input", "WIFI_EXIST")[0].click()
    page.wait_state("input", "WIFI_EXIST", "on")
    page.run("status", expect="WIFI_EXIST")
    page.run("hubreset", expect="usbhub reset control")
    eventually(lambda: any("type: hubreset" in t for _, t in rows(page)), what="the hubreset step")
    shot(d, "procedure-recording")
    click(page, "record-stop")
    eventually(lambda: attr(page, "proc-save-panel", "hidden") is None, what="the save panel")
    boxes = d.find_elements(By.CSS_SELECTOR, "#proc-suggestions input[type=checkbox]")
    assert boxes and all(b.get_attribute("data-kind") == "value" and not b.is_selected() for b in boxes)
    assert [t for _, t in rows(page)][-2:] == ["check: hubreset  pulse_ms: 100", "check: sd1reset  pulse_ms: 100"]
    shot(d, "procedure-save")
    name = d.find_element(By.ID, "proc-name")
    name.clear()
    name.send_keys("KD3555 lamps input hub")
    click(page, "record-save")
    file = eventually(lambda: downloaded(folder), what="the downloaded file")
    assert file == "kd3555-lamps-input-hub.yaml"
    path = os.path.join(folder, file)
    proc = procedure.load(path)  # the saved file loads
    steps = [(s.kind, s.args[s.kind], s.args.get("is") or s.args.get("level") or s.args.get("pulse_ms"))
             for s in proc.steps]
    assert steps == [("start", "qn_shell", None), ("type", "ctlled 3", None), ("check", "RecLED", "on"),
                     ("check", "AlarmLED", "on"), ("set", "WIFI_EXIST", "high"), ("type", "status", None),
                     ("type", "hubreset", None), ("check", "hubreset", 100), ("check", "sd1reset", 100)]
    assert proc.models == ["KD3555"]

    # the saved file replays green on the simulator
    green = subprocess.run(["bash", SCRIPT, path, "--sim"], capture_output=True, text=True, timeout=900)
    assert green.returncode == 0, green.stdout + green.stderr
    assert "9 passed, 0 failed" in green.stdout
    if on_board:  # ... and on the virtual board, its board steps checked through the link
        green = subprocess.run(["bash", SCRIPT, path, "--board"], capture_output=True, text=True, timeout=900)
        assert green.returncode == 0, green.stdout + green.stderr
        assert "on the virtual board" in green.stdout and "9 passed, 0 failed" in green.stdout

    # one lamp's expected state flipped: the run fails there, saying what the board showed
    text = open(path, encoding="utf-8").read()
    flipped_text = text.replace("  - check: RecLED\n    is: on\n", "  - check: RecLED\n    is: off\n")
    assert flipped_text != text
    flipped = os.path.join(folder, "flipped.yaml")
    with open(flipped, "w", encoding="utf-8") as f:
        f.write(flipped_text)
    red = subprocess.run(["bash", SCRIPT, flipped, "--sim"], capture_output=True, text=True, timeout=900)
    assert red.returncode == 1
    assert re.search(r"^\s+3\s+failed .*check RecLED\n\s+expected RecLED off; RecLED is lit \(pin 2_4 level 0\)",
                     red.stdout, re.M), red.stdout

    # Run in the page: the steps live, an operator question as a dialog
    asking = os.path.join(folder, "asking.yaml")
    with open(asking, "w", encoding="utf-8") as f:
        f.write(text + "  - ask: Is the hub's lamp lit again?\n")
    run_in_page(page, asking)
    dialog = eventually(lambda: [e for e in d.find_elements(By.ID, "proc-dialog") if e.is_displayed()],
                        what="the operator's question")[0]
    assert "Is the hub's lamp lit again?" in dialog.text
    assert [s for s, _ in rows(page)] == ["passed"] * 9 + ["running"]
    shot(d, "procedure-run-question")
    click(page, "proc-yes")
    eventually(lambda: attr(page, "proc-summary") == "passed", timeout=60, what="the run's end")
    assert not d.find_element(By.ID, "proc-dialog").is_displayed()
    assert [s for s, _ in rows(page)] == ["passed"] * 10
    shot(d, "procedure-run-passed")

    run_in_page(page, flipped)
    eventually(lambda: attr(page, "proc-summary") == "failed", timeout=60, what="the flipped run's end")
    states = rows(page)
    assert [s for s, _ in states] == ["passed", "passed", "failed"] + ["not run"] * 6
    assert "check RecLED" in states[2][1] and "RecLED is lit" in states[2][1]
    shot(d, "procedure-run-failed")

    # a bad file: refused with the loader's line and reason, nothing runs
    bad = os.path.join(folder, "bad.yaml")
    with open(bad, "w", encoding="utf-8") as f:
        f.write("procedure: bad\nmodels: [KD3555]\nsteps:\n  - check: RecLED\n    is: lit\n")
    run_in_page(page, bad)
    eventually(lambda: attr(page, "proc-result") == "refused", what="the refusal")
    assert d.find_element(By.ID, "proc-result").text == \
        "bad.yaml:5: step 1 (check): is must be one of on, off, high, low, not 'lit'"
    time.sleep(0.2)
    assert [s for s, _ in rows(page)][2] == "failed"  # the list of the last run stays
