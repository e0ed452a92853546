"""Keys, console text, messages and waveforms of the bench server, without I/O."""

import os
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(HERE)), "sim", "web"))

import benchcore  # noqa: E402


def test_a_paste_splits_into_one_key_each():
    assert benchcore.split_keys("ctlled 3\n") == [b"c", b"t", b"l", b"l", b"e", b"d", b" ", b"3", b"\r"]
    assert benchcore.split_keys("a\r\nb\rc") == [b"a", b"\r", b"b", b"\r", b"c"]
    # escape sequences stay whole: Up, Home, Page Up
    assert benchcore.split_keys("\x1b[Ax\x1bOH\x1b[5~") == [b"\x1b[A", b"x", b"\x1bOH", b"\x1b[5~"]
    # what the shell cannot take is left out
    assert benchcore.split_keys("é\x01z") == [b"z"]
    assert benchcore.split_keys("") == []


def test_redraw_end_is_found_across_reads():
    w = benchcore.RedrawWatch()
    assert w.feed(b"\x1b[?25l\rquenta $: \x1b[?2") == 0
    assert w.feed(b"5h") == 1
    assert w.feed(b"\x1b[?25h\x1b[?25h") == 3
    assert w.feed(b"\x1b[?25l") == 3


def test_gbk_status_texts_become_unicode_even_split():
    d = benchcore.ConsoleDecoder()
    state = "状态".encode("gbk")
    assert state == b"\xd7\xb4\xcc\xac"
    text = d.decode(b"val=0 " + state[:1]) + d.decode(state[1:] + b": \x1b[m\n")
    assert text == "val=0 状态: \x1b[m\n"


def test_client_messages_checked():
    m = benchcore.parse_client_message('{"type": "key", "data": "\\u001bOH", "id": 3}')
    assert m == {"type": "key", "id": 3, "key": b"\x1bOH"}
    m = benchcore.parse_client_message('{"type": "paste", "text": "ab\\n"}')
    assert m["keys"] == [b"a", b"b", b"\r"]
    m = benchcore.parse_client_message('{"type": "control", "line": " pin 6_6 1 "}')
    assert m["line"] == "pin 6_6 1"
    for raw in ('{"type": "key", "data": "\\u4e2d"}', '{"type": "paste"}',
                '{"type": "paste", "text": "%s"}' % ("x" * 5000), '{"type": "resize", "cols": true, "rows": 3}',
                '{"type": "control", "line": "\\u00e9"}', '"text"', '{"type": "ping", "id": 1.5}'):
        with pytest.raises(benchcore.BadMessage):
            benchcore.parse_client_message(raw)


def test_vcd_from_pin_events():
    start = [0, 0, 0, 0, 0, 0, 0x02, 0, 0]
    text = benchcore.vcd_text(100, start, [(150, 6, 0x00), (150, 6, 0x00), (100250, 6, 0x02),
                                           (100250, 0, 0x40), (90, 9, 1)], 200000)
    lines = text.splitlines()
    assert "$timescale 1us $end" in lines
    ids = {ln.split()[4]: ln.split()[3] for ln in lines if ln.startswith("$var")}
    assert len(ids) == 72
    g61, g06 = ids["gpio6_1"], ids["gpio0_6"]
    body = lines[lines.index("$enddefinitions $end") + 1:]
    assert body[0] == "#100" and body[1] == "$dumpvars"
    assert "1" + g61 in body[:76]
    rest = body[body.index("$end") + 1:]
    assert rest == ["#150", "0" + g61, "#100250", "1" + g61, "1" + g06, "#200000"]


def test_redraw_in_progress():
    w = benchcore.RedrawWatch()
    assert not w.drawing()
    w.feed(b"\x1b[?25l\r\x1b[10C\x1b[Kab")
    assert w.drawing()
    w.feed(b"\r\x1b[12C\x1b[?2")
    assert w.drawing()
    w.feed(b"5h\r\nread : 0x00000022\n")
    assert not w.drawing() and w.count == 1 and w.started == 1
