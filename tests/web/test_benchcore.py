"""Console text and the pages' messages of the bench server, without I/O."""

import benchcore
import pytest


def test_gbk_status_texts_become_unicode_even_split():
    d = benchcore.ConsoleDecoder()
    state = b"\xd7\xb4\xcc\xac"  # the shell's GBK bytes of the status text
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
                '{"type": "control", "line": "\\u00e9"}', '"text"', '{"type": "ping", "id": 1.5}',
                '{"type": "ddr", "mb": "512"}', '{"type": "fault", "name": ""}',
                '{"type": "fault", "name": "QN_BUZZER", "at": "x"}',
                '{"type": "panel", "framing": "plain", "code": true}', '{"type": "input", "part": 1}'):
        with pytest.raises(benchcore.BadMessage):
            benchcore.parse_client_message(raw)
