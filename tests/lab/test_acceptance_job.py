"""The lab's acceptance jobs (lab/jobs/render.py from procedures/*-acceptance.yaml) without a
server: each rendered job passes LAVA's own job schema, and its patterns, run the way LAVA
runs them (pexpect, DOTALL, a 4000-character search window, the earliest match wins, prompts
before failures before successes, the console read as UTF-8 with replacement), accept what
each board model's simulated board answers to the procedure and refuse what it must not.

Run: /usr/bin/python3 -m pytest tests/lab (the lab stage of scripts/test-all.sh does)."""
import functools
import importlib.util
import os
import re
import subprocess
import sys

import pytest
import yaml

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
JOBS = os.path.join(TOP, "lab", "jobs")
sys.path.insert(0, JOBS)
sys.path.insert(0, os.path.join(TOP, "sim"))
import render  # noqa: E402  (lab/jobs/render.py)
from qnboard import procedure, runner  # noqa: E402

MODELS = ["KD3151", "KD3252", "KD3353", "KD3454", "KD3555"]
PROMPT_DRAW = "\x1b[?25l\r\n\x1b[100D\x1b[K\rquenta $: \x1b[?25h"
BOARD_PROMPT = "\r\nqnboard:~# "
WINDOW = 4000  # LAVA's search window on the console
CHUNK = 64     # how much of the console arrives at a time


def proc_path(model):
    return os.path.join(TOP, "procedures", "%s-acceptance.yaml" % model.lower())


def job(*args):
    out = subprocess.run([sys.executable, os.path.join(JOBS, "render.py"), *args],
                         capture_output=True, text=True, check=True).stdout
    return yaml.safe_load(out)


def steps(j):
    """name -> (block prompts, step) of every named step of the job."""
    out = {}
    for action in j["actions"]:
        for block in (action.get("test") or {}).get("interactive", []):
            for s in block["script"]:
                out[s["name"]] = (block["prompts"], s)
    return out


def typed(line):
    """What the console shows while the line is typed one key at a time: a redraw a key."""
    out = ""
    for i in range(1, len(line) + 1):
        out += "\x1b[?25l\r\x1b[10C\x1b[K%s\r\x1b[%dC\x1b[?25h" % (line[:i], 10 + i)
    return out


def lava_expect(patterns, console, pos=0):
    """(index of the pattern, end of its match) as pexpect finds it while the console
    arrives: the earliest match in the last WINDOW characters; (None, len) at the end."""
    comp = [re.compile(p, re.DOTALL) for p in patterns]
    upto = pos
    while upto < len(console):
        upto = min(upto + CHUNK, len(console))
        start = max(pos, upto - WINDOW - CHUNK)
        best = None
        for i, c in enumerate(comp):
            m = c.search(console, start, upto)
            if m and (best is None or m.start() < best[1].start()):
                best = (i, m)
        if best:
            return best[0], best[1].end()
    return None, len(console)


def board_says(lines):
    """Lines of output as LAVA reads them: newline to CR LF, GBK bytes read as UTF-8."""
    text = "".join(l + "\n" for l in lines).replace("\n", "\r\n")
    return text.encode("gbk").decode("utf-8", errors="replace")


def kind_of(prompts, step, console):
    """Which kind of pattern of the step LAVA matches first: 'prompt', 'failure' or 'success'."""
    failures = [f["message"] for f in step.get("failures", [])]
    successes = [s["message"] for s in step.get("successes", [])]
    i, _ = lava_expect(prompts + failures + successes, console)
    assert i is not None, "nothing matches"
    return "prompt" if i < len(prompts) else "failure" if i < len(prompts) + len(failures) else "success"


def lava_run(j, console):
    """Runs the job's interactive steps on a console transcript as LAVA does: the list of
    (case, result), result "pass", "fail", or "error: ..." for a failure that ends the job."""
    results, pos = [], 0
    for action in j["actions"]:
        for block in (action.get("test") or {}).get("interactive", []):
            prompts = block["prompts"]
            for s in block["script"]:
                failures = s.get("failures", [])
                successes = [x["message"] for x in s.get("successes", [])]
                i, pos = lava_expect(prompts + [f["message"] for f in failures] + successes, console, pos)
                if i is None:
                    results.append((s["name"], "error: timed out"))
                    return results
                if i < len(prompts):
                    results.append((s["name"], "fail" if successes else "pass"))
                    continue
                if i < len(prompts) + len(failures):
                    f = failures[i - len(prompts)]
                    if "exception" in f:
                        results.append((s["name"], "error: " + f.get("error", f["message"])))
                        return results
                    results.append((s["name"], "fail"))
                    continue
                results.append((s["name"], "pass"))
                if s.get("wait_for_prompt", True):
                    _, pos = lava_expect(prompts, console, pos)
    return results


class _Log:
    def __init__(self, chunks):
        self.chunks = chunks

    def write(self, b):
        self.chunks.append(b)

    def flush(self):
        pass


@functools.lru_cache(maxsize=None)
def transcript(model):
    """The console of the model's acceptance procedure run on the simulator, as LAVA reads
    it (GBK read as UTF-8), the board's prompt after the shell ends."""
    build = os.environ.get("QN_BUILD_DIR", os.path.join(TOP, "build"))
    if not os.path.exists(os.path.join(build, "qnsim")):
        pytest.skip("no simulator built in %s" % build)
    chunks, spawn = [], runner.pexpect.spawn

    def logged(*a, **k):
        c = spawn(*a, **k)
        c.logfile_read = _Log(chunks)
        return c
    runner.pexpect.spawn = logged
    target = runner.SimTarget(model, build)
    try:
        rep = runner.run_procedure(procedure.load(proc_path(model)), target,
                                   runner.Operator(present=False), out=lambda *a: None)
    finally:
        runner.pexpect.spawn = spawn
        target.close()
    assert rep["result"] == "passed", rep
    return b"".join(chunks).decode("utf-8", errors="replace") + BOARD_PROMPT


@pytest.mark.parametrize("args", [[], ["--device-type", "qn-board"], ["--character-delay", "0"],
                                  ["--board-tag", "kd3151"]])
@pytest.mark.parametrize("model", MODELS)
def test_job_passes_lavas_schemas(model, args):
    """The dispatcher's schema, and the server's, which takes fewer characters in names."""
    from django.conf import settings
    from lava_common.schemas import validate
    if not settings.configured:
        settings.configure(EXTRA_CONTEXT_VARIABLES=[])
    from lava_scheduler_app.schema import validate_submission
    j = job("--model", model, *args)
    validate(j, strict=True)
    validate_submission(j)


def test_example_job_passes_lavas_schema():
    from lava_common.schemas import validate
    with open(os.path.join(JOBS, "example.yaml"), encoding="utf-8") as f:
        text = f.read().replace("{images}", "http://127.0.0.1:1")  # as run-lab.sh up writes it
    validate(yaml.safe_load(text), strict=True)


@pytest.mark.parametrize("model", MODELS)
def test_console_steps_are_cases_and_board_steps_are_listed(model):
    p = procedure.load(proc_path(model))
    j = job("--procedure", proc_path(model))
    names = list(steps(j))
    assert len(names) == len(set(names))
    commands = [s.get("command") for _, s in steps(j).values()]
    typed_lines = [s.args["type"] for s in p.steps if s.kind == "type"]
    # the identity first, as a run begins
    assert [c for c in commands if c not in (None, "qn_shell", "exit")] == ["mbinfo"] + typed_lines
    board = [s for s in p.steps if s.kind in procedure.BOARD_KINDS + ("power", "tell", "ask")]
    listed = [v for k, v in j["metadata"].items() if k.startswith("not-checked-by-lava-")]
    assert [int(v.split()[1]) for v in listed] == [s.number for s in board]
    assert j["metadata"]["procedure"] == "procedures/%s-acceptance.yaml" % model.lower()
    # and at their place in the script, for whoever reads the job
    text = subprocess.run([sys.executable, os.path.join(JOBS, "render.py"), "--model", model],
                          capture_output=True, text=True, check=True).stdout
    assert text.count("-- board step, not checked by LAVA") == len(board)


def test_the_job_asks_for_a_board_of_its_model():
    assert job("--model", "KD3353")["tags"] == ["kd3353"]
    assert job("--model", "KD3353", "--board-tag", "kd3454")["tags"] == ["kd3454"]


def test_no_delay_job_sets_the_context():
    assert job("--model", "KD3151", "--character-delay", "0")["context"]["test_character_delay"] == 0
    assert "test_character_delay" not in job("--model", "KD3151")["context"]


@pytest.mark.parametrize("model", MODELS)
def test_each_models_job_passes_on_its_board(model):
    j = job("--model", model)
    results = lava_run(j, transcript(model))
    assert [n for n, _ in results] == list(steps(j))
    assert all(r == "pass" for _, r in results), results


def test_a_board_of_another_model_stops_the_job():
    results = lava_run(job("--model", "KD3555"), transcript("KD3454"))
    assert results[-1][0] == "identity"
    assert results[-1][1].startswith("error: wrong board model: this job is for KD3555")


@pytest.mark.parametrize("name, good, bad", [
    # one lamp's state flipped
    ("ctlled-1", "Light on RecLED(P2.4) level=0", "Light off RecLED(P2.4) level=1"),
    # an input row showing its level with the other level's text
    ("status_2", "val=0\t", "val=1\t"),
])
def test_a_wrong_answer_fails_its_line_only(name, good, bad):
    j = job("--model", "KD3555")
    console = transcript("KD3555")
    assert good in console
    results = dict(lava_run(j, console.replace(good, bad, 1)))
    assert results[name] == "fail"
    # the line's other texts are not looked for after its answer ended; every other step passes
    assert {n.split("_")[0] for n, r in results.items() if r != "pass"} == {name.split("_")[0]}


@pytest.mark.parametrize("good, bad", [
    ("Buzzer honking", "Buzzer honking\r\nbuzzer_ctrl error!"),
    # ... or after its last expected text
    ("GPIO8_4 PWM Buzzer", "GPIO8_4 PWM Buzzer\r\nbuzzer_ctrl error!"),
])
def test_an_absent_text_shown_ends_the_job_there(good, bad):
    results = lava_run(job("--model", "KD3555"), transcript("KD3555").replace(good, bad, 1))
    name, result = results[-1]
    assert name.startswith("buzzer-on")
    assert re.match(r"error: step \d+ \(line \d+\): 'buzzer on' shows buzzer_ctrl error!", result)


def test_a_listing_that_stops_early_fails():
    console = transcript("KD3555")
    cut = console.index("[bank2]")
    end = console.index("\x1b[?25l", console.index("[bank4]"))
    results = dict(lava_run(job("--model", "KD3555"), console[:cut] + console[end:]))
    assert results["xm-0x60_3"] == "fail"


@pytest.mark.parametrize("model", MODELS)
def test_summed_keys_stop_the_job_and_typing_does_not(model):
    j = job("--model", model)
    prompts, step = steps(j)["identity"]
    summed = "\x1b[?25l\r\x1b[10C\x1b[K\r\x1b[10C\x1b[?25h"  # the empty line drawn again
    fails = [f["message"] for f in step["failures"]]
    i, _ = lava_expect(prompts + fails, summed + PROMPT_DRAW)
    assert i >= len(prompts) and "keys summed" in step["failures"][i - len(prompts)]["error"]
    # summed in the middle of a line: the line is drawn again unchanged
    midline = typed("stat") + "\x1b[?25l\r\x1b[10C\x1b[Kstat\r\x1b[14C\x1b[?25h"
    prompts, step = steps(j)["status"]
    fails = [f["message"] for f in step["failures"]]
    i, _ = lava_expect(prompts + fails, midline)
    assert i is not None and "keys summed" in step["failures"][i - len(prompts)]["error"]
    # typing a line one key at a time never draws a line twice
    for name, (prompts, s) in steps(j).items():
        if s.get("command"):
            for f in s.get("failures", []):
                assert not re.search(f["message"], typed(s["command"]), re.DOTALL), (name, f)


GBK = lambda t: t.encode("gbk").decode("utf-8", errors="replace")  # noqa: E731


@pytest.mark.parametrize("text, console, matches", [
    ("状态: SD卡拔出(high)", GBK("状态: SD卡拔出(high)\r"), True),
    ("状态: SD卡拔出(high)", GBK("状态: SD卡插入(low)\r"), False),
    ("a.b", "a.b", True), ("a.b", "axb", False),
    ("chip=0x60\n[bank0]", "chip=0x60\r\n[bank0]", True),
    ({"re": "val=(1\t状态: WIFI模块存在\\(high\\)|0\t状态: WIFI模块不存在\\(low\\))"},
     GBK("val=0\t状态: WIFI模块不存在(low)\r"), True),
    ({"re": "val=(1\t状态: WIFI模块存在\\(high\\)|0\t状态: WIFI模块不存在\\(low\\))"},
     GBK("val=1\t状态: WIFI模块不存在(low)\r"), False),
    ({"re": "size:[1-9][0-9]*MB\\n[a-z]+"}, "size:256MB\r\nok", True),
    # a final $: the answer ends there (the shell's next prompt follows)
    ({"re": "0x[0-9A-F]{2}\\n*$"}, "0x1F\r\n\x1b[m" + PROMPT_DRAW, True),
    ({"re": "0x[0-9A-F]{2}\\n*$"}, "0x1F\r\n0x20\r\n" + PROMPT_DRAW, True),
    ({"re": "adr=0xFF\\n*$"}, "adr=0xFF\r\nadr=0x00\r\n" + PROMPT_DRAW, False),
])
def test_texts_as_lava_reads_the_console(text, console, matches):
    assert bool(re.search(render.text_rx(text), console, re.DOTALL)) == matches


@pytest.mark.parametrize("text", ["状态", {"re": "[状态]+"}, {"re": "(状态)?"}])
def test_texts_lava_cannot_tell_are_listed_not_checked(text, tmp_path):
    with pytest.raises(render.NotForLava):
        render.text_rx(text)
    f = tmp_path / "p.yaml"
    f.write_text("procedure: gbk\nmodels: [KD3555]\nsteps:\n  - start: qn_shell\n"
                 "  - type: status\n    expect: [\"bit0\", %s]\n  - leave: exit\n"
                 % (text if isinstance(text, str) else "{re: \"%s\"}" % text["re"]), encoding="utf-8")
    j = job("--procedure", str(f))
    assert [s["successes"][0]["message"] for _, s in steps(j).values() if s.get("command") == "status"] == ["bit0"]
    assert any("step 2" in v and "not checked" not in v or "ASCII" in v
               for k, v in j["metadata"].items() if k.startswith("not-checked-by-lava-"))


@pytest.mark.parametrize("body, why", [
    ("  - type: status\n", "no shell started"),
    ("  - start: qn_shell\n  - type: status\n", "no leave step"),
    ("  - leave: exit\n", "not running"),
])
def test_a_procedure_the_job_cannot_follow_is_refused(body, why, tmp_path):
    f = tmp_path / "p.yaml"
    f.write_text("procedure: x\nmodels: [KD3555]\nsteps:\n" + body, encoding="utf-8")
    r = subprocess.run([sys.executable, os.path.join(JOBS, "render.py"), "--procedure", str(f)],
                       capture_output=True, text=True)
    assert r.returncode != 0 and why in r.stderr


def test_a_model_the_procedure_is_not_for_is_refused():
    r = subprocess.run([sys.executable, os.path.join(JOBS, "render.py"), "--procedure",
                        proc_path("KD3555"), "--model", "KD3454"], capture_output=True, text=True)
    assert r.returncode != 0 and "is for KD3555, not KD3454" in r.stderr


# --- the device dictionaries, rendered as the server renders them for a job ---------------
LAVA_TEMPLATES = ["/etc/lava-server/dispatcher-config/device-types", "/usr/share/lava-server/device-types"]
_spec = importlib.util.spec_from_file_location("labsite", os.path.join(TOP, "scripts", "lab.py"))
labsite = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(labsite)


def device(name, **job_context):
    """A device dictionary rendered with the device types as scripts/lab.py installs them."""
    import jinja2
    types = {n[:-len(".jinja2")]: labsite.device_type_text(n[:-len(".jinja2")])
             for n in os.listdir(os.path.join(TOP, "lab", "device-types"))}
    loader = jinja2.ChoiceLoader([
        jinja2.FileSystemLoader(os.path.join(TOP, "lab", "devices")),
        jinja2.DictLoader({n + ".jinja2": t for n, t in types.items()}),
        jinja2.FileSystemLoader(LAVA_TEMPLATES)])
    env = jinja2.Environment(loader=loader, trim_blocks=True, autoescape=False)
    return yaml.safe_load(env.get_template(name + ".jinja2").render(**job_context))


def test_each_device_states_its_model_once_and_is_tagged_with_it():
    devs = labsite.devices()
    for n in range(1, 6):
        worker, dtype, model, tag = devs["qn-vboard-%02d" % n]
        assert (dtype, model, tag) == ("qn-vboard", "KD3%d5%d" % (n, n), "kd3%d5%d" % (n, n))
    # the site file names no model and no tag
    with open(os.path.join(TOP, "lab", "site.yaml"), encoding="utf-8") as f:
        text = f.read()
    assert not re.search(r"KD3\d5\d|kd3\d5\d", text)


def test_the_bench_pc_boards_are_bench_3s_devices_as_wired():
    """Each board of lab/benchpc/benchpc.yaml is a qn-board device of bench-3 whose
    dictionary names its label's model, its ser2net port and its outlet."""
    with open(os.path.join(TOP, "lab", "benchpc", "benchpc.yaml"), encoding="utf-8") as f:
        bench = yaml.safe_load(f)
    devs = labsite.devices()
    for name, b in bench["boards"].items():
        worker, dtype, model, tag = devs[name]
        assert (worker, dtype, model) == ("bench-3", "qn-board", b["label"])
        c = device(name)["commands"]
        assert c["connect"].endswith("exec telnet 127.0.0.1 %d\"" % b["port"])
        for cmd, req in (("hard_reset", "reboot"), ("power_off", "off"), ("power_on", "on")):
            assert "/power/control/%s?hostname=%s&port=%d" % (req, bench["pdu"], b["outlet"]) in c[cmd]
            assert c[cmd].startswith("curl -fsS ")


def test_a_dictionary_without_its_model_is_refused(tmp_path, monkeypatch):
    (tmp_path / "devices").mkdir()
    (tmp_path / "devices" / "nameless.jinja2").write_text("{% extends 'qn-vboard.jinja2' %}\n")
    monkeypatch.setattr(labsite, "LAB", str(tmp_path))
    with pytest.raises(SystemExit, match="qn_model"):
        labsite.dictionary("nameless")


@pytest.mark.parametrize("n", range(1, 6))
def test_virtual_board_dictionary(n):
    d = device("qn-vboard-%02d" % n, arch="arm")
    model = "KD3%d5%d" % (n, n)
    q = d["actions"]["boot"]["methods"]["qemu"]["parameters"]
    assert q["command"] == "qemu-system-arm"
    opts = " ".join(q["options"] + q["extra"])
    for want in ["-machine vexpress-a9", "-cpu cortex-a9", "-m 256", "model=lan9118",
                 "-audiodev none"]:
        assert want in opts
    # the kernel command line is the one of run-board.sh and the board suite, and the model
    assert '-append "%s qn_board.model=%s"' % (labsite.board_cmdline(), model) in opts
    assert "virtio" not in opts
    assert d["character_delays"]["test"] == 100
    assert d["constants"]["kernel-start-message"] == ""


def test_one_kernel_command_line():
    with open(os.path.join(TOP, "scripts", "run-board.sh"), encoding="utf-8") as f:
        assert "$(cat sim/board/cmdline)" in f.read()
    with open(os.path.join(TOP, "tests", "board", "env-qemu.yaml"), encoding="utf-8") as f:
        assert 'boot_args: ""' in f.read()  # set from sim/board/cmdline by the suite
    for path in ["lab/device-types/qn-vboard.jinja2", "tests/board/env-qemu.yaml", "scripts/run-board.sh"]:
        with open(os.path.join(TOP, path), encoding="utf-8") as f:
            assert "console=ttyAMA0" not in f.read(), path


def test_one_image_port():
    port = labsite.site()["image_port"]
    assert job("--model", "KD3151")["actions"][0]["deploy"]["images"]["kernel"]["url"] == \
        "http://127.0.0.1:%d/vmlinuz" % port
    for path in ["scripts/run-lab.sh", "lab/jobs/example.yaml", "lab/jobs/render.py"]:
        with open(os.path.join(TOP, path), encoding="utf-8") as f:
            assert not re.search(r"127\.0\.0\.1:\d", f.read().replace("127.0.0.1:$", "")), path


def test_a_job_may_drop_the_character_delay():
    d = device("qn-vboard-01", arch="arm", test_character_delay=0)
    assert "test" not in (d.get("character_delays") or {})


def test_real_board_dictionary():
    d = device("qn-board-example")
    # the console's first line names the device's model (the health check reads it)
    assert d["commands"]["connect"] == 'sh -c "echo lab device model KD3555; exec telnet 127.0.0.1 7001"'
    assert "pduclient" not in str(d["commands"])
    for c in ("hard_reset", "power_off", "power_on"):
        assert d["commands"][c]
    assert "minimal" in d["actions"]["boot"]["methods"]
    assert d["character_delays"]["test"] == 50


# --- the health checks -------------------------------------------------------------------
@pytest.mark.parametrize("dtype", ["qn-vboard", "qn-board"])
def test_health_check_passes_lavas_schema(dtype):
    from lava_common.schemas import validate
    validate(job("--health-check", "--device-type", dtype, "--shell", "oldkernel qn_shell"), strict=True)


def health_steps(dtype):
    j = job("--health-check", "--device-type", dtype)
    tests = [a["test"] for a in j["actions"] if "test" in a]
    assert len(tests) == 1  # a capture is known to the later steps of its own action only
    return j, steps(j)


@pytest.mark.parametrize("dtype", ["qn-vboard", "qn-board"])
def test_health_check_compares_mbinfo_with_the_devices_model(dtype):
    j, st = health_steps(dtype)
    prompts, step = st["device-model"]
    if dtype == "qn-vboard":
        console = "cat /proc/cmdline\r\nconsole=ttyAMA0 loglevel=1 qn_board.model=KD3353\r\n"
    else:  # the rest of the connection's first line, after the boot's match
        console = "KD3353\r\nTrying 127.0.0.1...\r\n"
    m = re.compile(step["successes"][0]["message"], re.DOTALL).search(console)
    assert m.group("tag") == "KD3353"
    prompts, step = st["mbinfo"]
    m = re.compile(step["successes"][0]["message"]).search(
        board_says(["\x1b[0;32;32mhardware=KD3454, custom=0, mb_version=1\x1b[m  "]))
    assert m.group("model") == "KD3454"
    prompts, step = st["model-of-tag"]
    for model, tag, want in (("KD3454", "KD3353", "failure"), ("KD3353", "KD3353", "success")):
        command = step["command"].replace("{model}", model).replace("{tag}", tag)
        # what busybox prints for the line
        out = "model-ok" if model == tag else "model-wrong: %s" % model
        console = command + "\r\n" + out + "\r\n" + "qnboard:~# "
        assert kind_of(prompts, step, console) == want
    assert step["failures"][0]["exception"] == "TestError"
    assert "wrong board model" in step["failures"][0]["error"]


def test_health_check_of_a_board_reads_the_model_before_the_power_cycle():
    j, st = health_steps("qn-board")
    boot = [a["boot"] for a in j["actions"] if "boot" in a]
    assert boot[0]["method"] == "minimal" and boot[0]["prompts"] == ["lab device model "]
    assert st["device-model"][1]["command"] is None and st["boot"][1]["command"] is None
