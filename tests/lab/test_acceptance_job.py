"""The lab's acceptance job (lab/jobs) without a server: each rendered job passes LAVA's own
job schema, and its patterns, run the way LAVA runs them (pexpect, DOTALL, the earliest
match wins, prompts before failures before successes, the console read as UTF-8 with
replacement), accept what each board model prints and refuse what it must not.

Run: /usr/bin/python3 -m pytest tests/lab (the lab stage of scripts/test-all.sh does)."""
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
import render  # noqa: E402  (lab/jobs/render.py)

with open(os.path.join(JOBS, "models.yaml"), encoding="utf-8") as f:
    MODELS = yaml.safe_load(f)
PROMPT_DRAW = "\x1b[?25l\r\n\x1b[100D\x1b[K\rquenta $: \x1b[?25h"
WINDOW = 4000  # LAVA's search window on the console


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


def board_says(lines):
    """Lines of output as LAVA reads them: newline to CR LF, GBK bytes read as UTF-8."""
    text = "".join(l + "\n" for l in lines).replace("\n", "\r\n")
    return text.encode("gbk").decode("utf-8", errors="replace")


def lava_expect(prompts, step, console):
    """Which kind of pattern LAVA matches first: 'prompt', 'failure' or 'success'."""
    failures = [f["message"] for f in step.get("failures", [])]
    successes = [s["message"] for s in step.get("successes", [])]
    kinds = ["prompt"] * len(prompts) + ["failure"] * len(failures) + ["success"] * len(successes)
    best = None
    for kind, pattern in zip(kinds, prompts + failures + successes):
        m = re.compile(pattern, re.DOTALL).search(console)
        if m and (best is None or m.start() < best[0]):
            best = (m.start(), kind, m)
    assert best is not None, "nothing matches"
    if best[1] == "success":
        assert best[2].end() - best[2].start() < WINDOW, "a match longer than LAVA's window"
    return best[1]


def run_step(j, name, output):
    prompts, step = steps(j)[name]
    console = typed(step["command"]) + "\r\n" + board_says(output) + PROMPT_DRAW
    return lava_expect(prompts, step, console)


def lamp_lines(m, bitmap):
    return [(l["lit"] if bitmap >> i & 1 else l["dark"]).replace("%x", "%x" % bitmap)
            for i, l in enumerate(m["lamps"])] + ["\x1b[m "]


@pytest.mark.parametrize("args", [[], ["--device-type", "qn-board"], ["--character-delay", "0"],
                                  ["--board-tag", "kd3151"]])
@pytest.mark.parametrize("model", sorted(MODELS))
def test_job_passes_lavas_schema(model, args):
    from lava_common.schemas import validate
    validate(job("--model", model, *args), strict=True)


def test_example_job_passes_lavas_schema():
    from lava_common.schemas import validate
    with open(os.path.join(JOBS, "example.yaml"), encoding="utf-8") as f:
        text = f.read().replace("{images}", "http://127.0.0.1:1")  # as run-lab.sh up writes it
    validate(yaml.safe_load(text), strict=True)


@pytest.mark.parametrize("model", sorted(MODELS))
def test_each_check_is_a_case(model):
    names = list(steps(job("--model", model)))
    assert len(names) == len(set(names))
    for n in ["start", "mbinfo", "ddrsize", "status", "campw-on", "campw-off", "alarm-on",
              "alarm-off", "buzzer-on", "buzzer-off", "hubreset", "sd1reset", "adreset",
              "rtcset", "exit", "hwclock", "xm", "xm-bank4", "xm-end", "exit-listing"]:
        assert n in names
    lamps = [n for n in names if n.startswith("ctlled-")]
    assert len(lamps) == (len(MODELS[model]["lamps"]) + 1 if MODELS[model]["lamps"] else 1)


def test_the_job_asks_for_a_board_of_its_model():
    assert job("--model", "KD3353")["tags"] == ["kd3353"]
    assert job("--model", "KD3353", "--board-tag", "kd3454")["tags"] == ["kd3454"]


def test_no_delay_job_sets_the_context():
    assert job("--model", "KD3151", "--character-delay", "0")["context"]["test_character_delay"] == 0
    assert "test_character_delay" not in job("--model", "KD3151")["context"]


@pytest.mark.parametrize("model", sorted(MODELS))
def test_mbinfo_takes_its_model_and_stops_on_another(model):
    j = job("--model", model)
    line = "\x1b[0;32;32mhardware=%s, custom=0, mb_version=1\x1b[m  "
    assert run_step(j, "mbinfo", [line % model]) == "success"
    other = next(m for m in MODELS if m != model)
    assert run_step(j, "mbinfo", [line % other]) == "failure"
    assert run_step(j, "mbinfo", [line % "unknown"]) == "failure"
    # a board whose identity read failed prints nothing: the prompt comes first
    assert run_step(j, "mbinfo", []) == "prompt"


def test_wrong_model_failure_names_the_cause():
    _, step = steps(job("--model", "KD3555"))["mbinfo"]
    f = [f for f in step["failures"] if "exception" in f and "model" in f["error"]]
    assert f and "wrong board model" in f[0]["error"]


@pytest.mark.parametrize("model", sorted(MODELS))
def test_summed_keys_stop_the_job_and_typing_does_not(model):
    j = job("--model", model)
    prompts, step = steps(j)["mbinfo"]
    summed = "\x1b[?25l\r\x1b[10C\x1b[K\r\x1b[10C\x1b[?25h"  # the empty line drawn again
    assert lava_expect(prompts, step, summed + PROMPT_DRAW) == "failure"
    f = next(f for f in step["failures"] if re.search(f["message"], summed))
    assert f["exception"] == "TestError" and "keys summed" in f["error"]
    # summed in the middle of a line: the line is drawn again unchanged
    midline = typed("stat") + "\x1b[?25l\r\x1b[10C\x1b[Kstat\r\x1b[14C\x1b[?25h"
    prompts, step = steps(j)["status"]
    assert lava_expect(prompts, step, midline) == "failure"
    f = next(f for f in step["failures"] if re.search(f["message"], midline))
    assert f["exception"] == "TestError" and "keys summed" in f["error"]
    # typing a line one key at a time never draws a line twice
    for name, (prompts, s) in steps(j).items():
        if s.get("command"):
            for f in s.get("failures", []):
                assert not re.search(f["message"], typed(s["command"]), re.DOTALL), (name, f)


@pytest.mark.parametrize("model", sorted(MODELS))
def test_status_rows_with_both_levels(model):
    m = MODELS[model]
    j = job("--model", model)
    for level in (0, 1):
        rows = []
        for r in m["status"]:
            if len(r) == 3:
                rows.append("%s \t\tval=%d\t%s" % (r[0], level, r[2 - level]))
            else:
                rows.append("%s \t\tval=%d\t%s" % (r[0], level * 3, r[1 + level * 3]))
        head = ["===%s GpioDevice status====" % model, "\x1b[0;32;32m" + (rows[0] if rows else "")]
        out = head + rows[1:] + ["\x1b[m "] if rows else [head[0], "\x1b[0;32;32m\x1b[m "]
        assert run_step(j, "status", out) == "success"
        if rows:  # a level shown with the other level's text is refused
            bad = list(out)
            bad[1] = bad[1].replace("val=%d" % (level * (3 if len(m["status"][0]) > 3 else 1)),
                                    "val=%d" % (1 - level))
            assert run_step(j, "status", bad) == "prompt"
    # a header without the model's name (mbinfo not run) is refused
    assert run_step(j, "status", ["=== GpioDevice status====", "\x1b[0;32;32m\x1b[m "]) == "prompt"


@pytest.mark.parametrize("model", sorted(MODELS))
def test_lamps_one_by_one(model):
    m = MODELS[model]
    j = job("--model", model)
    if not m["lamps"]:
        assert run_step(j, "ctlled-none", ["\x1b[m "]) == "success"
        assert run_step(j, "ctlled-none", ["\x1b[0;32;31mLight on RecLED(P0.5) level=0", "\x1b[m "]) == "failure"
        return
    assert run_step(j, "ctlled-dark", lamp_lines(m, 0)) == "success"
    for i, lamp in enumerate(m["lamps"]):
        name = "ctlled-" + lamp["name"]
        assert run_step(j, name, lamp_lines(m, 1 << i)) == "success"
        # another lamp lit, or none: refused
        assert run_step(j, name, lamp_lines(m, 0)) == "prompt"
        assert run_step(j, name, lamp_lines(m, (1 << len(m["lamps"])) - 1 - (1 << i))) == "prompt"


@pytest.mark.parametrize("model", sorted(MODELS))
def test_outputs_as_the_model_answers(model):
    m = MODELS[model]
    j = job("--model", model)
    if m["campw"]:
        on = ["\x1b[0;32;31mOpen camera power", m["campw"].replace("%d", "1")]
        assert run_step(j, "campw-on", on) == "success"
        assert run_step(j, "campw-off", on) == "prompt"
    else:
        assert run_step(j, "campw-on", []) == "prompt"  # nothing printed: the step passes
        assert run_step(j, "campw-on", ["\x1b[0;32;31mOpen camera power",
                                        "\x1b[mHUB_PW:GPIO1_4  level=1"]) == "failure"
    trig = ["\x1b[0;32;32malarm trigger", "\x1b[mPin:GPIO0_3  level=1"]
    assert run_step(j, "alarm-on", trig if m["alarm"] else []) == ("success" if m["alarm"] else "prompt")
    if not m["alarm"]:
        assert run_step(j, "alarm-on", trig) == "failure"
    buzz = ["\x1b[0;32;31mBuzzer honking", m["buzzer_pin"].replace("%d", "1")]
    assert run_step(j, "buzzer-on", buzz) == "success"
    assert run_step(j, "buzzer-on", buzz[:1] + ["buzzer_ctrl error!"] + buzz[1:]) == "failure"
    heads = {"hubreset": "usbhub reset control", "sd1reset": "sd1 reset control", "adreset": "ad reset ctl"}
    for cmd, head in heads.items():
        out = ["\x1b[0;32;31m" + head] + m[cmd]
        assert run_step(j, cmd, out) == "success"
        others = [mm[cmd] for mm in MODELS.values() if mm[cmd] != m[cmd]]
        for o in others:
            assert run_step(j, cmd, ["\x1b[0;32;31m" + head] + o) == "prompt", (cmd, o)


def test_clock_and_listing():
    j = job("--model", "KD3454")
    out = ["Input:2030-01-02 03:04:05", "Wed Jan  2 03:04:05 2030  0.000000 seconds",
           "Wed Jan  2 03:04:05 UTC 2030"]
    assert run_step(j, "rtcset", out) == "success"
    assert run_step(j, "rtcset", out[:1] + ["read rtc time failed"]) == "failure"
    assert run_step(j, "rtcset", ["\nopen rtc failed!"]) == "failure"
    prompts, step = steps(j)["xm"]
    listing = "chip=0x60\r\n"
    for b in range(5):
        listing += "[bank%d]\r\n" % b + "".join("read : adr=0x%02X, val = 0x%02X\r\n" % (r, r) for r in range(256))
    assert lava_expect(prompts, step, typed("xm 0x60") + "\r\n" + listing + PROMPT_DRAW) == "success"
    # the banks' steps each find their bank within LAVA's window
    tail = listing
    for b in range(1, 5):
        prompts, step = steps(j)["xm-bank%d" % b]
        i = tail.index("[bank%d]" % b)
        assert lava_expect(prompts, step, tail[i - 40:i + 200]) == "success"
    prompts, step = steps(j)["xm-end"]
    assert lava_expect(prompts, step, tail[-100:] + PROMPT_DRAW) == "success"
    # a listing that stops early ends at the prompt: the step fails
    prompts, step = steps(j)["xm-end"]
    assert lava_expect(prompts, step, "read : adr=0x7F, val = 0x7F\r\n" + PROMPT_DRAW) == "prompt"


def test_rx_keeps_ascii_and_skips_gbk():
    r = render.rx("状态: SD卡拔出(high)\r")
    read = "状态: SD卡拔出(high)\r".encode("gbk").decode("utf-8", errors="replace")
    assert re.fullmatch(r, read)
    assert not re.fullmatch(r, "状态: SD卡插入(low)\r".encode("gbk").decode("utf-8", errors="replace"))
    assert render.rx("value=%x!", 255) == re.escape("value=ff!")


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
        assert lava_expect(prompts, step, console) == want
    assert step["failures"][0]["exception"] == "TestError"
    assert "wrong board model" in step["failures"][0]["error"]


def test_health_check_of_a_board_reads_the_model_before_the_power_cycle():
    j, st = health_steps("qn-board")
    boot = [a["boot"] for a in j["actions"] if "boot" in a]
    assert boot[0]["method"] == "minimal" and boot[0]["prompts"] == ["lab device model "]
    assert st["device-model"][1]["command"] is None and st["boot"][1]["command"] is None
