"""Recording and running check procedures at the bench, without a browser: the bench
started by its launcher (the real shell and board link), pages as WebSocket clients
sending the page's messages, and scripts/run-procedure.sh --bench over HTTP."""

import asyncio
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile

import aiohttp
import pytest
from conftest import REPO

sys.path.insert(0, os.path.join(REPO, "sim"))
from qnboard import procedure  # noqa: E402

PROMPT = "quenta $: "
LAMPS = """\
procedure: KD3555 lamps
models: [KD3555]
steps:
  - start: qn_shell
  - type: ctlled 1
    expect: ["Light on RecLED", "Light off AlarmLED"]
  - check: RecLED
    is: {rec}
  - check: AlarmLED
    is: off
  - type: hubreset
  - check: hubreset
    pulse_ms: 100
"""


class Page:
    """A page of the bench as its WebSocket sees it: requests and their answers, the
    console text and every other item received."""

    def __init__(self, bench):
        self.bench = bench
        self.items = []
        self.console = ""
        self.answers = {}
        self.next_id = 1

    async def __aenter__(self):
        self.http = aiohttp.ClientSession()
        self.ws = await self.http.ws_connect("%s/ws?token=%s" % (self.bench.base, self.bench.token),
                                             headers={"Origin": self.bench.base},
                                             max_msg_size=0)
        self.reader = asyncio.ensure_future(self._read())
        await self.until(lambda: any(i["type"] == "hello" for i in self.items), "the hello")
        return self

    async def __aexit__(self, *exc):
        self.reader.cancel()
        await self.ws.close()
        await self.http.close()

    async def _read(self):
        async for msg in self.ws:
            for it in json.loads(msg.data):
                if it["type"] == "console":
                    self.console += it["data"]
                elif it.get("id") is not None and it["type"] in ("answer", "error"):
                    self.answers[it["id"]] = it
                else:
                    self.items.append(it)

    async def until(self, cond, what, timeout=60):
        for _ in range(int(timeout / 0.02)):
            got = cond()
            if got:
                return got
            await asyncio.sleep(0.02)
        raise AssertionError("no %s; items: %r" % (what, self.items[-5:]))

    async def request(self, **msg):
        n = self.next_id
        self.next_id += 1
        await self.ws.send_str(json.dumps(dict(msg, id=n)))
        return await self.until(lambda: self.answers.get(n), "answer to %r" % msg.get("type"))

    async def command(self, line):
        """A command line pasted with its Enter; waits for the next prompt."""
        seen = self.console.count(PROMPT)
        a = await self.request(type="paste", text=line + "\r")
        assert a["type"] == "answer" and a["ok"], a
        await self.until(lambda: self.console.count(PROMPT) > seen, "the prompt after " + line)

    def procedure_items(self, event):
        return [i for i in self.items if i["type"] == "procedure" and i["event"] == event]


def run(coro):
    return asyncio.run(coro)


@pytest.fixture(scope="module")
def bench(bench_factory, on_board):
    if on_board:
        pytest.skip("recorded on the simulator")
    return bench_factory("KD3555")


def test_recording_becomes_a_procedure_that_loads(bench):
    async def go():
        async with Page(bench) as p, Page(bench) as other:
            a = await p.request(type="record", action="start")
            assert a["ok"], a
            # the bench types mbinfo first, as a run does after its start step
            await p.until(lambda: re.search(r"hardware=KD3555.*quenta \$: ", p.console, re.S),
                          "the bench's mbinfo")
            await p.command("ctlled 3")
            wifi = next(x for x in p.items if x["type"] == "hello")["state"]["parts"]
            wifi = next(x["id"] for x in wifi if x["name"] == "WIFI_EXIST")
            a = await p.request(type="input", part=wifi, level=1)
            assert a["ok"], a
            await p.command("status")
            await p.command("hubreset")
            stop = await p.request(type="record", action="stop")
            assert stop["ok"], stop
            # every page saw the steps as they came
            seen = [i for i in other.items if i["type"] == "record" and i["event"] == "steps"]
            assert seen and seen[-1]["steps"] == stop["steps"] and not seen[-1]["recording"]
            save = await p.request(type="record-save", name="KD3555 recorded",
                                   accept=[s["id"] for s in stop["suggestions"] if s["checked"]])
            assert save["ok"] and save["file"] == "kd3555-recorded.yaml", save
            return stop, procedure.loads(save["text"])
    stop, proc = run(go())
    assert proc.models == ["KD3555"] and proc.name == "KD3555 recorded"
    got = [(s.kind, s.args[s.kind]) for s in proc.steps]
    assert got[:6] == [("start", "qn_shell"), ("type", "ctlled 3"), ("check", "RecLED"),
                       ("check", "AlarmLED"), ("set", "WIFI_EXIST"), ("type", "status")]
    assert ("type", "mbinfo") not in got
    assert ("type", "hubreset") in got and ("check", "hubreset") in got
    pulse = next(s for s in proc.steps if s.kind == "check" and s.args["check"] == "hubreset")
    assert pulse.args["pulse_ms"] >= 100
    status = next(s for s in proc.steps if s.args.get("type") == "status")
    assert any("WIFI_EXIST" in t and "val=1" in t for t in status.args["expect"])
    assert all("\x1b" not in t for t in status.args["expect"])
    assert any(s["kind"] == "value" for s in stop["suggestions"])


def test_a_run_streams_its_steps_to_the_client_and_every_page(bench):
    async def go(rec):
        async with Page(bench) as page, aiohttp.ClientSession() as http:
            async with http.post("%s/procedure/run?token=%s" % (bench.base, bench.token),
                                 json={"name": "lamps.yaml", "text": LAMPS.format(rec=rec)}) as r:
                assert r.status == 200
                items = [json.loads(line) async for line in r.content]
            await page.until(lambda: page.procedure_items("end"), "the run's end in the page")
            return items, page
    items, page = run(go("on"))
    end = items[-1]
    assert end["event"] == "end" and end["report"]["result"] == "passed", end
    assert end["report"]["identity"].startswith("hardware=KD3555")
    rows = [i["row"] for i in items if i["event"] == "step"]
    assert [r["status"] for r in rows] == ["running", "passed"] * 6
    assert page.procedure_items("begin")[0]["steps"][2]["text"] == "check RecLED — is on"
    assert [i["row"]["status"] for i in page.procedure_items("step")][-1] == "passed"

    items, page = run(go("off"))  # the lamp's expected state flipped
    rep = items[-1]["report"]
    assert rep["result"] == "failed"
    failed = [s for s in rep["steps"] if s["status"] == "failed"]
    assert [(s["step"], s["name"]) for s in failed] == [(3, "check RecLED")]
    assert "RecLED is lit" in failed[0]["shown"]
    assert [s["status"] for s in rep["steps"][3:]] == ["not run"] * 3


def test_a_bad_file_is_refused_with_the_loader_s_reason_and_nothing_runs(bench):
    bad = "procedure: x\nmodels: [KD3555]\nsteps:\n  - start: qn_shell\n  - chek: RecLED\n"

    async def go():
        async with Page(bench) as page, aiohttp.ClientSession() as http:
            a = await page.request(type="procedure-run", name="bad.yaml", text=bad)
            async with http.post("%s/procedure/run?token=%s" % (bench.base, bench.token),
                                 json={"name": "bad.yaml", "text": bad}) as r:
                body, status = await r.json(), r.status
            async with http.post("%s/procedure/run" % bench.base,
                                 json={"name": "x.yaml", "text": LAMPS}) as r:
                no_token = r.status
            await asyncio.sleep(0.3)
            return a, status, body, no_token, page.procedure_items("begin")
    a, status, body, no_token, begun = run(go())
    assert not a["ok"] and a["reason"].startswith("bad.yaml:5: step 2: unknown step 'chek'"), a
    assert status == 400 and body["error"] == a["reason"]
    assert no_token == 403
    assert begun == []


def test_operator_questions_are_dialogs_a_page_answers(bench):
    text = """\
procedure: asks
models: [KD3555]
steps:
  - start: qn_shell
  - tell: Plug the camera into CAM1.
  - ask: Is the camera's lamp lit?
  - ask: Does the buzzer sound?
    answer: no
  - type: mbinfo
"""

    async def go(answers):
        async with Page(bench) as page:
            a = await page.request(type="procedure-run", name="asks.yaml", text=text)
            assert a["ok"], a
            for n, word in enumerate(answers):
                q = await page.until(lambda: len(page.procedure_items("ask")) > n and
                                     page.procedure_items("ask")[n], "question %d" % n)
                if n == 0:  # a page that comes now sees the run so far and the question
                    async with Page(bench) as late:
                        hello = next(i for i in late.items if i["type"] == "hello")
                        run_so_far = hello["procedures"]["run"]
                    assert run_so_far["procedure"] == "asks"
                    assert [r["status"] for r in run_so_far["rows"]] == ["passed", "running"]
                    assert run_so_far["asking"][0]["text"] == "Plug the camera into CAM1."
                    # a page may not type while the run goes on
                    refused = await page.request(type="key", data="x")
                    assert refused["type"] == "error" and "procedure is running" in refused["reason"]
                    again = await page.request(type="procedure-run", name="asks.yaml", text=text)
                    assert not again["ok"] and "running already" in again["reason"]
                a = await page.request(type="procedure-answer", ask=q["ask"], answer=word)
                assert a["ok"], a
            end = await page.until(lambda: page.procedure_items("end"), "the end")
            return [(q["kind"], q["text"]) for q in page.procedure_items("ask")], end[0]["report"]
    asked, rep = run(go(["done", "yes", "no"]))
    assert asked == [("tell", "Plug the camera into CAM1."), ("question", "Is the camera's lamp lit?"),
                     ("question", "Does the buzzer sound?")]
    assert rep["result"] == "passed", rep
    asked, rep = run(go(["done", "no"]))
    assert rep["result"] == "failed"
    assert [s["status"] for s in rep["steps"]] == ["passed", "passed", "failed", "not run", "not run"]
    assert "the operator answered no" in rep["steps"][2]["shown"]


def test_stop_ends_a_run_waiting_for_an_answer(bench):
    text = "procedure: waits\nmodels: [KD3555]\nsteps:\n  - start: qn_shell\n  - ask: Ready?\n"

    async def go():
        async with Page(bench) as page:
            assert (await page.request(type="procedure-run", name="w.yaml", text=text))["ok"]
            await page.until(lambda: page.procedure_items("ask"), "the question")
            assert (await page.request(type="procedure-stop"))["ok"]
            end = await page.until(lambda: page.procedure_items("end"), "the end")
            after = await page.request(type="record", action="start")
            await page.request(type="record", action="discard")
            return end[0]["report"], after
    rep, after = run(go())
    assert rep["result"] == "failed" and rep["stopped"] == "stopped at the bench"
    assert after["ok"], after  # the bench is free again


@pytest.fixture
def tmp_path():
    """A folder of the test's own, removed after it."""
    d = tempfile.mkdtemp(prefix="qnproc-bench.")
    yield pathlib.Path(d)
    shutil.rmtree(d, ignore_errors=True)


def test_run_procedure_sh_on_an_open_bench(bench, tmp_path):
    good, flipped = tmp_path / "lamps.yaml", tmp_path / "flipped.yaml"
    good.write_text(LAMPS.format(rec="on"))
    flipped.write_text(LAMPS.format(rec="off"))
    script = os.path.join(REPO, "scripts", "run-procedure.sh")
    js = tmp_path / "r.json"
    ok = subprocess.run(["bash", script, str(good), "--bench", bench.url, "--json", str(js)],
                        capture_output=True, text=True, timeout=600)
    assert ok.returncode == 0, ok.stdout + ok.stderr
    assert re.search(r"^\s+3\s+passed .*check RecLED$", ok.stdout, re.M), ok.stdout
    rep = json.loads(js.read_text())[0]
    assert rep["target"] == "bench (simulator)" and rep["result"] == "passed"
    bad = subprocess.run(["bash", script, str(flipped), "--bench", bench.url],
                         capture_output=True, text=True, timeout=600)
    assert bad.returncode == 1
    assert re.search(r"^\s+3\s+failed .*check RecLED\n\s+expected RecLED off; RecLED is lit", bad.stdout,
                     re.M), bad.stdout
    wrong = subprocess.run(["bash", script, str(good), "--bench", bench.base + "/?token=wrong"],
                           capture_output=True, text=True, timeout=600)
    assert wrong.returncode == 1 and "the bench refused the run" in wrong.stdout, wrong.stdout


def test_a_procedure_for_another_model_stops_at_once_naming_it(bench):
    text = LAMPS.format(rec="on").replace("models: [KD3555]", "models: [KD3454]")

    async def go():
        async with Page(bench) as page:
            assert (await page.request(type="procedure-run", name="kd3454.yaml", text=text))["ok"]
            return (await page.until(lambda: page.procedure_items("end"), "the end"))[0]["report"]
    rep = run(go())
    assert rep["stopped"] == ("this procedure is for KD3454; the board is KD3555 "
                              "(mbinfo: hardware=KD3555, custom=0, mb_version=1)")
    assert [s["status"] for s in rep["steps"]] == ["failed"] + ["not run"] * 5


def test_a_key_and_a_ddr_size_recorded_replay_on_the_bench(bench):
    async def go():
        async with Page(bench) as p:
            assert (await p.request(type="record", action="start"))["ok"]
            await p.until(lambda: re.search(r"hardware=KD3555.*quenta \$: ", p.console, re.S), "mbinfo")
            assert (await p.request(type="panel", framing="escaped", code=0x12))["ok"]
            assert (await p.request(type="ddr", mb=512))["ok"]
            await p.command("ddrsize")
            assert (await p.request(type="ddr", mb=256))["ok"]  # as it was, for the replay
            stop = await p.request(type="record", action="stop")
            save = await p.request(type="record-save", name="", accept=[])
            async with aiohttp.ClientSession() as http:
                async with http.post("%s/procedure/run?token=%s" % (bench.base, bench.token),
                                     json={"name": save["file"], "text": save["text"]}) as r:
                    items = [json.loads(line) async for line in r.content]
            return stop["steps"], save, items[-1]["report"]
    steps, save, rep = run(go())
    assert save["file"] == "recorded-on-kd3555.yaml"
    assert steps[1:3] == [{"press": "0x12", "framing": "escaped"}, {"ddr": 512}]
    assert steps[3]["type"] == "ddrsize" and any("512MB" in t for t in steps[3]["expect"])
    assert steps[4] == {"ddr": 256}
    assert rep["result"] == "passed", rep
    assert [s["kind"] for s in rep["steps"]] == ["start", "press", "ddr", "type", "ddr"]


def test_leave_start_and_power_on_the_bench(bench):
    text = """\
procedure: again
models: [KD3555]
steps:
  - start: qn_shell
  - leave: exit
  - start: qn_shell
  - type: ctlled 1
    expect: ["Light off AlarmLED"]
  - check: AlarmLED
    is: off
  - power: cycle
  - type: mbinfo
    expect: ["hardware=KD3555"]
"""

    async def go():
        async with Page(bench) as page:
            assert (await page.request(type="procedure-run", name="again.yaml", text=text))["ok"]
            rep = (await page.until(lambda: page.procedure_items("end"), "the end"))[0]["report"]
            shells = [i for i in page.items if i["type"] == "shell"]
            return rep, shells
    rep, shells = run(go())
    assert rep["result"] == "passed", rep
    # the shell ended at the leave step and the next start started it again
    assert [s["running"] for s in shells] == [False, True]
    assert rep["steps"][5]["shown"] == "the bench's board switched off and on"
