"""Recording a procedure (qnboard.record) from the shell's own console output as the
bench sees it, the panel's choices and the board's states: the steps, the suggested
patterns, the file (it loads with the procedure loader)."""
import copy
import pathlib
import re
import sys

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "sim"))
from qnboard import procedure, record  # noqa: E402

PROMPT_REDRAW = "\x1b[?25l\r\r\n\x1b[100D\x1b[K\rquenta $: \x1b[?25h"
CTLLED_ANSWER = ("\r\n\x1b[0;32;31mLight on RecLED(P2.4) level=0\r\n"
                 "\x1b[0;32;31mLight on AlarmLED(P2.5) level=0\r\n\x1b[m \r\n")
HUBRESET_ANSWER = "\r\n\x1b[0;32;31musbhub reset control\r\n\x1b[mRST_Pin:GPIO0_6 ResetLevel=1\r\n"


def typed(line):
    """The shell's redraws as a line is typed key by key (as it draws them)."""
    return "".join("\x1b[?25l\r\x1b[10C\x1b[K%s\r\x1b[%dC\x1b[?25h" % (line[:i], 10 + i)
                   for i in range(1, len(line) + 1))


def part(name, kind, on, level=None, active=1):
    level = (1 if on else 0) if level is None else level
    return {"name": name, "part": kind, "on": on, "level": level, "active": active}


def board(**over):
    st = {"identity": {"model": "KD3555"}, "buzzer": 0,
          "parts": [part("RecLED", "lamp", True, 0, 0), part("AlarmLED", "lamp", True, 0, 0),
                    part("alarm", "output", False), part("hubreset", "reset", False),
                    part("WIFI_EXIST", "input", False)]}
    st = copy.deepcopy(st)
    for name, (on, level) in over.items():
        p = next(p for p in st["parts"] if p["name"] == name)
        p["on"], p["level"] = on, level
    return st


def command(rec, line, answer, state, chunk=None):
    """A command typed by hand: its keys, the shell's redraws, its answer, the prompt
    (the console's output in chunks of `chunk` characters, or whole)."""
    out = typed(line)
    rec.keys([c.encode() for c in line], state)
    feed(rec, out, state, chunk)
    rec.keys([b"\r"], state)
    feed(rec, answer + PROMPT_REDRAW, state, chunk)


def feed(rec, text, state, chunk):
    if not chunk:
        rec.console(text, state)
        return
    for i in range(0, len(text), chunk):
        rec.console(text[i:i + chunk], state)


@pytest.mark.parametrize("chunk", [None, 1, 3, 7, 64])
def test_a_command_and_its_answer_become_a_type_step_however_the_output_is_cut(chunk):
    st = board()
    rec = record.Recorder(st)
    command(rec, "ctlled 3", CTLLED_ANSWER, st, chunk)
    command(rec, "hubreset", HUBRESET_ANSWER, st, chunk)
    rec.stop(st)
    assert rec.steps[0] == {"start": "qn_shell"}
    types = [s for s in rec.steps if "type" in s]
    assert types == [
        {"type": "ctlled 3", "expect": ["Light on RecLED(P2.4) level=0", "Light on AlarmLED(P2.5) level=0"]},
        {"type": "hubreset", "expect": ["usbhub reset control", "RST_Pin:GPIO0_6 ResetLevel=1"]}]


def test_lines_typed_ahead_each_get_their_own_answer():
    st = board()
    rec = record.Recorder(st)
    rec.keys([c.encode() for c in "ctlled 3\rhubreset\r"], st)  # a paste: every key at once
    rec.console(typed("ctlled 3") + CTLLED_ANSWER + PROMPT_REDRAW + typed("hubreset")
                + HUBRESET_ANSWER + PROMPT_REDRAW, st)
    assert [(s.get("type"), s.get("expect", [])[:1]) for s in rec.steps if "type" in s] == [
        ("ctlled 3", ["Light on RecLED(P2.4) level=0"]), ("hubreset", ["usbhub reset control"])]


def test_an_empty_line_a_line_edited_and_the_bench_s_own_mbinfo():
    st = board()
    rec = record.Recorder(st)
    rec.skip = 1
    command(rec, "mbinfo", "\r\nhardware=KD3555, custom=0, mb_version=1\r\n", st)
    rec.keys([b"\r"], st)
    rec.console(PROMPT_REDRAW, st)  # Enter on an empty line
    # typed "ctlxx", two backspaces, "led 0": the shell's last redraw is the line
    rec.keys([b"c"], st)
    rec.console(typed("ctlxx") + "\x1b[?25l\r\x1b[10C\x1b[Kctl\r\x1b[13C\x1b[?25h" + typed("ctlled 0")[-40:], st)
    rec.keys([b"\r"], st)
    rec.console("\r\nLight off RecLED(P2.4) level=1\r\n" + PROMPT_REDRAW, st)
    assert [s for s in rec.steps if "type" in s] == [
        {"type": "ctlled 0", "expect": ["Light off RecLED(P2.4) level=1"]}]


def test_exit_typed_becomes_a_leave_step_when_the_shell_ends():
    st = board()
    rec = record.Recorder(st)
    rec.keys([b"e", b"x", b"i", b"t", b"\r"], st)
    rec.console(typed("exit") + "\r\n", st)
    rec.shell_ended()
    rec.shell_started(st)
    assert rec.steps == [{"start": "qn_shell"}, {"leave": "exit"}, {"start": "qn_shell"}]


def test_parts_that_changed_become_checks_after_their_step():
    rec = record.Recorder(board())
    # ctlled 0: both lamps go dark (seen by the next step)
    dark = board(RecLED=(False, 1), AlarmLED=(False, 1))
    command(rec, "ctlled 0", "\r\nLight off RecLED(P2.4) level=1\r\nLight off AlarmLED(P2.5) level=1\r\n",
            board())
    # an input switched: a set step, no check of the input it set
    rec.before_choice(dark)
    rec.choice("input", {"part": 4, "level": 1}, dark)
    high = board(RecLED=(False, 1), AlarmLED=(False, 1), WIFI_EXIST=(True, 1))
    # hubreset: the reset line pulses 100.9 ms; the sounder sounds meanwhile
    rec.keys([b"\r"], high)
    rec.pulse({"part": "reset", "name": "hubreset", "on": False, "pulse_us": 100900})
    rec.pulse({"part": "lamp", "name": "RecLED", "on": False, "pulse_us": 5})  # no reset line
    buzz = dict(high, buzzer=1)
    rec.console(typed("hubreset") + HUBRESET_ANSWER + PROMPT_REDRAW, buzz)
    rec.before_choice(buzz)
    rec.choice("panel", {"framing": "escaped", "code": 0x12}, buzz)
    rec.before_choice(buzz)
    rec.choice("ddr", {"mb": 512}, buzz)
    rec.stop(buzz)
    steps = [s for s in rec.steps if "type" not in s]
    assert steps == [
        {"start": "qn_shell"},
        {"check": "RecLED", "is": "off"}, {"check": "AlarmLED", "is": "off"},
        {"set": "WIFI_EXIST", "level": "high"},
        {"check": "hubreset", "pulse_ms": 100}, {"check": "buzzer", "is": "on"},
        {"press": "0x12", "framing": "escaped"},
        {"ddr": 512}]


def test_a_lamp_the_answer_names_is_checked_though_it_was_lit_already():
    st = board()  # both lamps lit at power-on
    rec = record.Recorder(st)
    command(rec, "ctlled 3", CTLLED_ANSWER, st)
    command(rec, "hubreset", HUBRESET_ANSWER, st)  # names no lamp: no check
    rec.stop(st)
    assert [s for s in rec.steps if "check" in s] == [
        {"check": "RecLED", "is": "on"}, {"check": "AlarmLED", "is": "on"}]
    assert "\n  - check: RecLED\n    is: on\n" in rec.yaml()  # a word, as a technician writes it


def other_value(m):
    return "0x" + "7" * len(m.group(1)) if m.group(1) else "7"


@pytest.mark.parametrize("line, kinds, parts", [
    ("Light on RecLED(P2.4) level=0", ["value"], ["0"]),
    ("ddr_size:256MB 0x10000000", ["size", "hex"], ["256MB", "0x10000000"]),
    ("rtc: 2026-12-09 11:50:01 week=3", ["date", "time", "value"], ["2026-12-09", "11:50:01", "3"]),
    ("reg 0x2011002C = 0x22", ["hex", "hex"], ["0x2011002C", "0x22"]),
    ("pulse 100 ms, 4 KiB", ["duration", "size"], ["100 ms", "4 KiB"]),
    ("=== GpioDevice status====", [], []),
])
def test_volatile_parts_of_an_answer_and_their_patterns(line, kinds, parts):
    spans = record.volatile_spans(line)
    assert [s[2] for s in spans] == kinds
    assert [line[s[0]:s[1]] for s in spans] == parts
    pat = record.pattern_of(line, spans)
    assert re.fullmatch(pat, line)
    # other values in the open parts match too; the rest stays as it was
    other = "".join(re.sub(r"0[xX]([0-9A-Fa-f]+)|\d", other_value, line[s:e]) + line[e:n]
                    for (s, e, *_), n in zip(spans, [sp[0] for sp in spans[1:]] + [len(line)]))
    other = line[:spans[0][0]] + other if spans else line
    assert re.fullmatch(pat, other), other
    assert not re.fullmatch(pat, "x" + line)


def test_suggestions_are_offered_and_only_those_accepted_become_patterns():
    st = board()
    rec = record.Recorder(st)
    command(rec, "rtcshow", "\r\nrtc: 2026-12-09 11:50:01 reg=0x1F\r\n", st)
    rec.stop(st)
    sugg = rec.suggestions()
    assert [(s["kind"], s["part"], s["checked"]) for s in sugg] == [
        ("date", "2026-12-09", True), ("time", "11:50:01", True), ("hex", "0x1F", False)]
    text = rec.yaml("clock", accept=[s["id"] for s in sugg if s["checked"]])
    p = procedure.loads(text)
    (pat,) = p.steps[1].args["expect"]
    assert re.search(pat["re"], "rtc: 2027-01-31 23:59:59 reg=0x1F")
    assert not re.search(pat["re"], "rtc: 2027-01-31 23:59:59 reg=0x20")
    # nothing accepted: the texts as they were
    assert procedure.loads(rec.yaml("clock")).steps[1].args["expect"] == ["rtc: 2026-12-09 11:50:01 reg=0x1F"]


def test_the_file_loads_and_keeps_every_text_as_it_was():
    st = board()
    rec = record.Recorder(st)
    hard = ["bit0: WIFI_EXIST(P00) \t\tval=1\t状态: WIFI模块存在(high)", 'say "yes": on', "- no",
            "on", "#5 # not a comment", "key: value", "3.5", "{re: x}"]
    command(rec, "status", "\r\n" + "\r\n".join(hard) + "\r\n", st)
    rec.before_choice(st)
    rec.choice("panel", {"framing": "plain", "code": 0x21}, st)
    rec.stop(st)
    text = rec.yaml('Lamps: "all" on')
    p = procedure.loads(text)
    assert p.name == 'Lamps: "all" on' and p.models == ["KD3555"]
    assert p.steps[1].args == {"type": "status", "expect": hard}
    assert p.steps[2].args["press"] in (0x21, "0x21")
    assert "\n  - press: 0x21\n" in text
