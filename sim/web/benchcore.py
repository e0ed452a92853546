"""Pure parts of the virtual bench server: keys, console text, messages, waveforms.

Nothing here does I/O, so the unit tests (tests/web/test_benchcore.py) exercise it
directly.
"""

import codecs
import json

# The longest key the shell decodes is one read of up to 10 bytes.
KEY_MAX_BYTES = 10
# Keys waiting to be typed: a paste that would not fit is refused whole.
KEY_QUEUE_MAX = 4096
# The one size limit of a page's message (bytes of one WebSocket message): the server's
# WebSocket reads no more than this and ends a connection whose message is longer.
MSG_MAX = 256 * 1024
CONTROL_MAX_CHARS = 512
# The shell ends every redraw (the line, the prompt, a completion) with "show cursor".
REDRAW_END = b"\x1b[?25h"
REDRAW_START = b"\x1b[?25l"
# Keys after which the shell draws nothing: Page Up and Page Down are swallowed.
SILENT_KEYS = (b"\x1b[5~", b"\x1b[6~")


def split_keys(text):
    """Splits text into keys as a terminal sends them: one escape sequence or one
    character each. CR LF and LF become the Enter key (CR). Characters the shell
    cannot take (non-ASCII, other control characters) are left out."""
    keys = []
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if c == "\x1b":
            j = i + 1
            if j < n and text[j] in "[O":
                j += 1
                while j < n and j - i < KEY_MAX_BYTES and not (0x40 <= ord(text[j]) <= 0x7E):
                    j += 1
                j = min(j + 1, n)
            keys.append(text[i:j].encode("ascii", "replace"))
            i = j
            continue
        if c == "\r":
            keys.append(b"\r")
            i += 2 if i + 1 < n and text[i + 1] == "\n" else 1
            continue
        if c == "\n":
            keys.append(b"\r")
        elif c in "\t\x08\x7f" or 32 <= ord(c) < 127:
            keys.append(c.encode("ascii"))
        i += 1
    return keys


class ConsoleDecoder:
    """The console's bytes as text for the terminal widget: the shell writes its
    Chinese status texts GBK-encoded, the page's terminal wants Unicode."""

    def __init__(self):
        self._dec = codecs.getincrementaldecoder("gbk")(errors="replace")

    def decode(self, data, final=False):
        return self._dec.decode(data, final)


class RedrawWatch:
    """Watches the console output for the start and the end of a redraw, across read
    boundaries."""

    def __init__(self):
        self._tail = b""
        self.count = 0  # redraws ended
        self.started = 0

    def feed(self, data):
        buf = self._tail + data
        self.count += buf.count(REDRAW_END)
        self.started += buf.count(REDRAW_START)
        self._tail = buf[-(len(REDRAW_END) - 1):]
        return self.count

    def drawing(self):
        """Whether a redraw has begun and not ended yet."""
        return self.started > self.count


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
    elif t in ("restart", "state", "ping"):
        pass
    else:
        raise BadMessage("unknown message type %r" % t[:40])
    return out


def vcd_text(start_us, start_levels, changes, end_us=None):
    """A value change dump of the 72 GPIO pins (1 us timescale), from the levels at
    start_us (9 bank bytes) and a list of (t_us, bank, levels) pin events."""
    ids = {}
    n = 0
    for bank in range(9):
        for bit in range(8):
            ids[(bank, bit)] = "".join(chr(33 + d) for d in _digits(n))
            n += 1
    out = ["$date virtual bench $end", "$version qn bench $end", "$timescale 1us $end",
           "$scope module gpio $end"]
    for bank in range(9):
        for bit in range(8):
            out.append("$var wire 1 %s gpio%d_%d $end" % (ids[(bank, bit)], bank, bit))
    out += ["$upscope $end", "$enddefinitions $end", "#%d" % start_us, "$dumpvars"]
    levels = list(start_levels)
    for bank in range(9):
        for bit in range(8):
            out.append("%d%s" % ((levels[bank] >> bit) & 1, ids[(bank, bit)]))
    out.append("$end")
    last_t = start_us
    for t, bank, lv in changes:
        if not 0 <= bank < 9:
            continue
        diff = levels[bank] ^ lv
        if not diff:
            continue
        t = max(t, last_t)
        if t != last_t or out[-1] == "$end":
            out.append("#%d" % t)
        last_t = t
        for bit in range(8):
            if diff >> bit & 1:
                out.append("%d%s" % ((lv >> bit) & 1, ids[(bank, bit)]))
        levels[bank] = lv
    if end_us is not None and end_us > last_t:
        out.append("#%d" % end_us)
    return "\n".join(out) + "\n"


def _digits(n):
    d = [n % 94]
    n //= 94
    while n:
        d.append(n % 94)
        n //= 94
    return d
