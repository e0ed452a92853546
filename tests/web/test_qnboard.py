"""The qnboard package without a board: keys and their pacing, the link's lines
parsed, the board's state kept from them, the VCD rules read back by sigrok-cli."""

import os
import shutil
import tempfile

import pytest
from qnboard import keys
from qnboard.parse import BoardState, Event, parse_event, parse_state
from qnboard.vcd import pulses, vcd_text


def test_a_paste_splits_into_one_key_each():
    assert keys.split_keys("ctlled 3\n") == [b"c", b"t", b"l", b"l", b"e", b"d", b" ", b"3", b"\r"]
    assert keys.split_keys("a\r\nb\rc") == [b"a", b"\r", b"b", b"\r", b"c"]
    # escape sequences stay whole: Up, Home, Page Up
    assert keys.split_keys("\x1b[Ax\x1bOH\x1b[5~") == [b"\x1b[A", b"x", b"\x1bOH", b"\x1b[5~"]
    # what the shell cannot take is left out
    assert keys.split_keys("é\x01z") == [b"z"]
    assert keys.split_keys("") == []


def test_redraw_end_is_found_across_reads():
    w = keys.RedrawWatch()
    assert w.feed(b"\x1b[?25l\rquenta $: \x1b[?2") == 0
    assert w.feed(b"5h") == 1
    assert w.feed(b"\x1b[?25h\x1b[?25h") == 3
    assert w.feed(b"\x1b[?25l") == 3


def test_redraw_in_progress():
    w = keys.RedrawWatch()
    assert not w.drawing()
    w.feed(b"\x1b[?25l\r\x1b[10C\x1b[Kab")
    assert w.drawing()
    w.feed(b"\r\x1b[12C\x1b[?2")
    assert w.drawing()
    w.feed(b"5h\r\nread : 0x00000022\n")
    assert not w.drawing() and w.count == 1 and w.started == 1


REDRAW = b"\x1b[?25l\rquenta $: x\x1b[?25h"
ANSWER = b"\r\nread : 0x00000022\r\n"

# key, paste, output after it, unread bytes -> may the next key go
PACING = [
    (b"a", False, b"", None, False),          # no redraw yet
    (b"a", False, REDRAW, None, True),
    (b"a", False, ANSWER, None, False),       # output, but no redraw: a key waits
    (b"\r", False, ANSWER, None, True),       # Enter typed: the command answered
    (b"\r", False, ANSWER, 1, False),         # ... but a typed byte still waits
    (b"\r", False, b"\x1b[?25l\r", None, False),  # a redraw under way is no answer
    (b"\r", True, ANSWER, None, False),       # a pasted Enter waits for the prompt
    (b"\r", True, ANSWER + REDRAW, None, True),
]


@pytest.mark.parametrize("key,paste,out,unread,go", PACING,
                         ids=["%r-%s-%r-%s" % (k, p, o[-8:], u) for k, p, o, u, _ in PACING])
def test_the_pacer_lets_the_next_key_go(key, paste, out, unread, go):
    pacer = keys.KeyPacer()
    mark = pacer.mark(key, paste)
    if out:
        pacer.feed(out)
    assert pacer.may_go(mark, unread) is go


def test_type_keys_writes_one_key_a_write_after_each_redraw():
    writes, pending = [], []
    log = []

    def write(k):
        writes.append(k)
        log.append(("w", k))
        pending.append(REDRAW)

    def read(timeout):
        log.append(("r",))
        return pending.pop(0) if pending else b""

    assert keys.type_keys(keys.KeyPacer(), [b"h", b"\x1b[A", b"r"], write, read)
    assert writes == [b"h", b"\x1b[A", b"r"]
    assert log == [("w", b"h"), ("r",), ("w", b"\x1b[A"), ("r",), ("w", b"r"), ("r",)]


def test_a_silent_key_goes_on_after_its_pause():
    assert keys.type_keys(keys.KeyPacer(), [b"\x1b[5~"], lambda k: None, lambda t: b"")


# line -> fields parse_event gives (beside t_us and text)
EVENTS = [
    ("123 pins 6 02", {"kind": "pins", "group": "pins", "trace": False, "bank": 6, "levels": 2}),
    ("5 dropped 17", {"kind": "dropped", "group": "fault", "trace": False, "count": 17}),
    ("5 trace-dropped 3", {"kind": "trace-dropped", "group": "fault", "trace": True, "count": 3}),
    ("9 ctl-error bogus", {"kind": "ctl-error", "group": "fault", "trace": True}),
    ("9 panel-feed fd 21", {"kind": "panel-feed", "group": "panel", "trace": True}),
    ("7 ioctl QN_REG_ACCESS in=1 out=2 ret=-1",
     {"kind": "ioctl", "group": "fault", "trace": True, "name": "QN_REG_ACCESS", "ret": -1}),
    ("7 ioctl QN_BUZZER in=1 out=2 ret=0",
     {"kind": "ioctl", "group": "request", "trace": True, "name": "QN_BUZZER", "ret": 0}),
    ("8 usleep 1000", {"kind": "usleep", "group": "pause", "trace": True, "us": 1000}),
    ("8 open /dev/qn_KD300 fd=3", {"kind": "open", "group": "request", "trace": True}),
    ("8 settimeofday 1700000000.000000 ret=0",
     {"kind": "settimeofday", "group": "clock", "trace": True, "ret": 0}),
    ("8 buzzer 1", {"kind": "buzzer", "group": "pins", "trace": True, "on": 1}),
    ("8 something new", {"kind": "something", "group": "other", "trace": True}),
]


@pytest.mark.parametrize("line,want", EVENTS, ids=[e[0] for e in EVENTS])
def test_parse_event_kinds(line, want):
    ev = parse_event(line)
    assert ev == dict(want, t_us=int(line.split()[0]), text=line)
    # an Event carries the same fields, parsed once
    e = Event.of(line)
    assert e == line and parse_event(e) is e.fields and e.fields == ev


@pytest.mark.parametrize("line", ["garbage", "", "  12 pins 6 02", "12", "qnboard:~# 12 x"])
def test_what_is_no_event(line):
    assert parse_event(line) is None and Event.of(line) is None


SNAPSHOT = ["time 40", "identity KD3353 0x20D97003 gp_id=2 mb_version=1",
            "part lamp RecLED 0_5 0 bit=0", "part reset hubreset 0_3 0",
            "part input LOCK 2_2 0 row=3", "sounder buzzer 0", "pins 28 00 00 00 00 00 00 00 00",
            "ddr 0x22 0x10 256", "ddrchoice 64 0x12 0x00", "key plain fd KK",
            "faults QN_BUZZER settimeofday", "later news"]


def test_the_snapshot_and_one_on_rule():
    st = parse_state(SNAPSHOT)
    assert st["identity"] == {"model": "KD3353", "code": 0x20D97003, "gp_id": 2, "mb_version": 1}
    assert [(p["id"], p["name"], p["level"], p["on"]) for p in st["parts"]] == [
        (0, "RecLED", 1, False), (1, "hubreset", 1, False), (2, "LOCK", 0, True)]
    assert st["parts"][0]["bit_index"] == 0 and st["parts"][2]["row"] == 3
    assert st["ddr"] == {"reg2c": 0x22, "reg1c": 0x10, "mb": 256,
                         "choices": [{"mb": 64, "reg2c": 0x12, "reg1c": 0}]}
    assert st["keys"] == [{"framing": "plain", "bytes": ["fd", "KK"]}]
    assert st["faults"] == ["QN_BUZZER", "settimeofday"] and st["other"] == ["later news"]
    assert parse_state(SNAPSHOT[:-2])["faults"] == []  # a transport that names none


def test_the_state_follows_events_and_times_a_pulse():
    b = BoardState(parse_state(SNAPSHOT))
    assert b.apply(parse_event("100 pins 0 20")) == {
        "parts": [dict(b.fields()["parts"][1], on=True, level=0)]}
    assert b.fields()["parts"][1]["on"] and "pulse_us" not in b.fields()["parts"][1]
    assert b.apply(parse_event("100200 pins 0 28"))["parts"][0]["pulse_us"] == 100100
    assert b.apply(parse_event("100300 pins 0 28")) == {}  # no part changed
    assert b.apply(parse_event("100400 buzzer 1")) == {"buzzer": 1}
    assert b.apply(parse_event("100500 ioctl QN_BUZZER in=0 out=0 ret=0")) == {}
    assert b.fields()["time_us"] == 100500 and b.fields()["pins"][0] == 0x28


@pytest.fixture
def tmp():
    d = tempfile.mkdtemp(prefix="qnvcd.")
    yield d
    shutil.rmtree(d)


@pytest.mark.skipif(not shutil.which("sigrok-cli"), reason="needs sigrok-cli")
def test_vcd_by_the_model_rules_read_back_by_sigrok(tmp):
    start = [0, 0, 0, 0, 0, 0, 0x02, 0, 0]
    text = vcd_text(100, start, [(150, 6, 0x00), (150, 6, 0x00), (100250, 6, 0x02),
                                 (100250, 0, 0x40), (100300, 9, 1), (200260, 6, 0)], 300000)
    lines = text.splitlines()
    assert lines[1:3] == ["$version qnsim $end", "$timescale 1us $end"]
    assert "$var wire 1 % gpio0_0 $end" in lines and "$var wire 1 V gpio6_1 $end" in lines
    body = lines[lines.index("$enddefinitions $end") + 1:]
    assert body[:2] == ["#100", "$dumpvars"] and body[2 + 49] == "1V"
    assert body[body.index("$end") + 1:] == ["#150", "0V", "#100250", "1V", "1+", "#200260", "0V",
                                             "#300000"]
    path = os.path.join(tmp, "a.vcd")
    with open(path, "w") as f:
        f.write(text)
    segs = pulses(path, "gpio6_1")
    assert [b - a for a, b in segs] == [100100, 100010]


def test_only_a_reset_line_has_a_pulse():
    b = BoardState(parse_state(SNAPSHOT))
    b.apply(parse_event("10 pins 0 08"))  # RecLED (0_5, active low) lit
    lamp = b.apply(parse_event("20 pins 0 28"))["parts"][0]
    assert lamp["name"] == "RecLED" and lamp["on"] is False and "pulse_us" not in lamp
