"""Pure parts of the virtual bench server: console text and the pages' messages (the
keys and their pacing, the board's lines and waveforms are the qnboard package's).

Nothing here does I/O, so the unit tests (tests/web/test_benchcore.py) exercise it
directly.
"""

import codecs
import json

from qnboard.keys import KEY_MAX_BYTES, split_keys

# Keys waiting to be typed: a paste that would not fit is refused whole.
KEY_QUEUE_MAX = 4096
# The one size limit of a page's message (bytes of one WebSocket message): the server's
# WebSocket reads no more than this and ends a connection whose message is longer.
MSG_MAX = 256 * 1024
CONTROL_MAX_CHARS = 512


class ConsoleDecoder:
    """The console's bytes as text for the terminal widget: the shell writes its
    Chinese status texts GBK-encoded, the page's terminal wants Unicode."""

    def __init__(self):
        self._dec = codecs.getincrementaldecoder("gbk")(errors="replace")

    def decode(self, data, final=False):
        return self._dec.decode(data, final)


class BadMessage(Exception):
    """A message refused, with the reason and the message's id where it had a valid one."""

    def __init__(self, reason, mid=None):
        Exception.__init__(self, reason)
        self.id = mid


def parse_client_message(raw):
    """Checks one message of a page. Returns a dict with 'type' and checked fields,
    or raises BadMessage with the reason."""
    if not isinstance(raw, str):
        raise BadMessage("messages are JSON text")
    try:
        msg = json.loads(raw)
    except (ValueError, RecursionError):  # (nested deeper than the parser goes)
        raise BadMessage("not JSON")
    if not isinstance(msg, dict) or not isinstance(msg.get("type"), str):
        raise BadMessage("a message is an object with a 'type'")
    t = msg["type"]
    mid = msg.get("id")
    if mid is not None and not (isinstance(mid, int) and not isinstance(mid, bool)):
        raise BadMessage("'id' must be an integer")
    if mid is not None and not -2**53 < mid < 2**53:
        raise BadMessage("'id' out of range")
    try:
        return _check_fields(msg, t, mid)
    except BadMessage as e:
        e.id = mid
        raise


def _check_fields(msg, t, mid):
    out = {"type": t, "id": mid}
    if t == "key":
        data = msg.get("data")
        if not isinstance(data, str) or not data:
            raise BadMessage("'key' needs 'data'")
        try:
            b = data.encode("latin-1")
        except UnicodeEncodeError:
            raise BadMessage("a key is ASCII")
        if len(b) > KEY_MAX_BYTES:
            raise BadMessage("a key is at most %d bytes" % KEY_MAX_BYTES)
        out["key"] = b
    elif t == "paste":
        text = msg.get("text")
        if not isinstance(text, str):
            raise BadMessage("'paste' needs 'text'")
        keys = split_keys(text)
        if len(keys) > KEY_QUEUE_MAX:
            raise BadMessage("paste refused: %d keys, and the bench holds %d at most; nothing "
                             "of it was typed" % (len(keys), KEY_QUEUE_MAX))
        out["keys"] = keys
    elif t == "control":
        line = msg.get("line")
        if not isinstance(line, str) or not line.strip():
            raise BadMessage("'control' needs 'line'")
        if len(line) > CONTROL_MAX_CHARS or any(not (32 <= ord(c) < 127) for c in line):
            raise BadMessage("a control line is printable ASCII, one line")
        out["line"] = line.strip()
    elif t == "resize":
        cols, rows = msg.get("cols"), msg.get("rows")
        if not all(isinstance(v, int) and not isinstance(v, bool) for v in (cols, rows)):
            raise BadMessage("'resize' needs integer 'cols' and 'rows'")
        if not (20 <= cols <= 500 and 5 <= rows <= 200):
            raise BadMessage("terminal size out of range")
        out["cols"], out["rows"] = cols, rows
    elif t in CHOICES:
        out.update(_choice(t, msg))
    elif t in PROCEDURE_MESSAGES:
        out.update(_choice(t, msg, PROCEDURE_MESSAGES))
    elif t in ("restart", "state", "ping"):
        pass
    else:
        raise BadMessage("unknown message type %r" % t[:40])
    return out


def _is_int(v):
    return isinstance(v, int) and not isinstance(v, bool)


# The page's choices of what the snapshot offers: each field and its check.
CHOICES = {
    "fault": {"name": lambda v: isinstance(v, str) and 0 < len(v) <= 64,
              "at": lambda v: v is None or _is_int(v)},
    "ddr": {"mb": _is_int},
    "panel": {"framing": lambda v: isinstance(v, str) and 0 < len(v) <= 32, "code": _is_int},
    "input": {"part": _is_int, "level": _is_int},
}


# Recording and running check procedures (sim/web/procedures.py): each field and its check.
PROCEDURE_MESSAGES = {
    "record": {"action": lambda v: v in ("start", "stop", "discard")},
    "record-save": {"name": lambda v: isinstance(v, str) and len(v) <= 200,
                    "accept": lambda v: isinstance(v, list) and len(v) <= 10000 and
                    all(isinstance(x, str) and len(x) <= 40 for x in v)},
    "procedure-run": {"name": lambda v: isinstance(v, str) and len(v) <= 200,
                      "text": lambda v: isinstance(v, str) and 0 < len(v)},
    "procedure-answer": {"ask": _is_int, "answer": lambda v: v in ("yes", "no", "done")},
    "procedure-stop": {},
}


def _choice(t, msg, table=CHOICES):
    out = {}
    for name, ok in table[t].items():
        v = msg.get(name)
        if not ok(v):
            raise BadMessage("%r needs %r" % (t, name))
        out[name] = v
    return out
