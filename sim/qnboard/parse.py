"""The board link's lines, each parsed once: the snapshot (parse_state), the
events (parse_event), and a board's state kept from both (BoardState).

Nothing here does I/O; the bench server, the link tests and the board suite use
these and never look into a line themselves.
"""

__all__ = [
    "Event",
    "GROUPS",
    "RESNAPSHOT",
    "BoardState",
    "parse_event",
    "parse_state",
    "part_level",
    "part_on",
]

# Each event kind's group (the event log's filters), in the order the log offers them.
GROUPS = ("request", "pause", "pins", "panel", "fault", "clock", "other")
_KINDS = {
    "ioctl": "request",
    "open": "request",
    "close": "request",
    "system": "request",
    "usleep": "pause",
    "pins": "pins",
    "buzzer": "pins",
    "panel-feed": "panel",
    "panel-read": "panel",
    "panel-drop": "panel",
    "ctl-error": "fault",
    "table-full": "fault",
    "reset": "fault",
    "dropped": "fault",
    "trace-dropped": "fault",
    "clock": "clock",
    "settimeofday": "clock",
}
# Lines the link has beside the trace file's: a bank's new levels, the count of lines
# a slow reader lost.
LINK_ONLY = ("pins", "dropped")
# Events after which a board's state is read afresh from a snapshot: a reset re-applies
# the settings, and lost lines may have carried pin changes.
RESNAPSHOT = ("reset", "dropped")


def _int(text):
    return int(text, 0)


def _words(line):
    """(time, kind, rest of the words) of an event line, or None for any other line
    (a serial line may carry a partial line or an echo)."""
    w = line.split()
    if len(w) < 2 or not w[0].lstrip("-").isdigit() or line[:1] == " ":
        return None
    return int(w[0]), w[1], w[2:]


def _fields(kind, w):
    """The fields of a line by its kind (words after the kind)."""
    if kind == "pins" and len(w) == 2:
        return {"bank": int(w[0]), "levels": int(w[1], 16)}
    if kind in ("dropped", "trace-dropped") and len(w) == 1:
        return {"count": int(w[0])}
    if kind == "buzzer" and len(w) == 1:
        return {"on": int(w[0])}
    if kind == "usleep" and len(w) == 1:
        return {"us": int(w[0])}
    out = {}
    if kind == "ioctl" and w:
        out["name"] = w[0]
    for x in w:
        if x.startswith("ret="):
            out["ret"] = int(x[4:])
    return out


def parse_event(line):
    """One event line to a dict: {"t_us", "kind", "group", "text", "trace"} and, by
    kind: pins {"bank", "levels"}; buzzer {"on"}; dropped and trace-dropped {"count"};
    usleep {"us"}; ioctl {"name", "ret"}; settimeofday {"ret"}. "trace" tells whether
    the trace file has the line too. A failed request is in the fault group. A line
    that is no event gives None. An Event (what the link's streams give) is parsed
    already: its fields come back."""
    if isinstance(line, Event):
        return line.fields
    head = _words(line)
    if head is None:
        return None
    t, kind, rest = head
    ev = {"t_us": t, "kind": kind, "group": _KINDS.get(kind, "other"), "text": line,
          "trace": kind not in LINK_ONLY}
    try:
        ev.update(_fields(kind, rest))
    except ValueError:
        pass
    if ev.get("ret", 0) < 0:
        ev["group"] = "fault"
    return ev


class Event(str):
    """An event line as the link delivered it, parsed once: `fields` is
    parse_event()'s dict. It is the line itself otherwise."""

    __slots__ = ("fields",)

    @classmethod
    def of(cls, line):
        """The Event of a line, or None for a line that is no event."""
        fields = parse_event(line)
        if fields is None:
            return None
        ev = cls(line)
        ev.fields = fields
        return ev


def part_level(part, pins):
    """The level of a part's pin (a dict of parse_state's "parts") at these levels."""
    return (pins[part["bank"]] >> part["bit"]) & 1


def part_on(part, pins):
    """Whether a part is on at these levels: its pin at the part's active level (a lamp
    lit, an output on, a reset line in reset, an input asserted)."""
    return part_level(part, pins) == part["active"]


def _part(w):
    bank, _, bit = w[2].partition("_")
    p = {"part": w[0], "name": w[1], "pin": w[2], "bank": int(bank), "bit": int(bit),
         "active": int(w[3])}
    for kv in w[4:]:
        key, _, val = kv.partition("=")
        p["bit_index" if key == "bit" else key] = int(val)
    return p


def _identity(w):
    ident = {"model": w[0], "code": _int(w[1])}
    for kv in w[2:]:
        key, _, val = kv.partition("=")
        ident[key] = int(val, 0)
    return ident


def _state_line(st, k, w):
    """Applies one snapshot line (its first word k, the rest w); False if unknown."""
    if k == "time" and len(w) == 1:
        st["time_us"] = int(w[0])
    elif k == "identity" and len(w) >= 2:
        st["identity"] = _identity(w)
    elif k == "part" and len(w) >= 4:
        st["parts"].append(_part(w))
    elif k == "sounder" and len(w) == 2:
        st["buzzer"] = int(w[1])
    elif k == "pins" and len(w) == 9:
        st["pins"] = [int(x, 16) for x in w]
    elif k == "ddr" and len(w) == 3:
        st["ddr"].update(reg2c=_int(w[0]), reg1c=_int(w[1]), mb=int(w[2]))
    elif k == "ddrchoice" and len(w) == 3:
        st["ddr"]["choices"].append({"mb": int(w[0]), "reg2c": _int(w[1]), "reg1c": _int(w[2])})
    elif k == "key" and len(w) >= 2:
        st["keys"].append({"framing": w[0], "bytes": w[1:]})
    elif k == "faults":
        st["faults"] = list(w)
    else:
        return False
    return True


def parse_state(lines):
    """Snapshot lines (as the link's state() gives them) to a dict:

    {"time_us": int,
     "identity": {"model", "code", "gp_id", "mb_version"},
     "parts": [{"id": its place, "part": "lamp"|"output"|"reset"|"input", "name",
                "pin": "B_b", "bank", "bit", "active", "level", "on", ("bit_index"|"row")}],
     "buzzer": 0|1,
     "pins": [9 ints],
     "ddr": {"reg2c", "reg1c", "mb", "choices": [{"mb", "reg2c", "reg1c"}]},
     "keys": [{"framing": "plain"|"escaped", "bytes": ["fd", ("fc",) "KK"]}],
     "faults": [fault rule names the transport takes]}
    Unknown lines are kept in "other"."""
    st = {"time_us": 0, "identity": {}, "parts": [], "buzzer": 0, "pins": [0] * 9,
          "ddr": {"reg2c": 0, "reg1c": 0, "mb": 0, "choices": []}, "keys": [], "faults": [],
          "other": []}
    for line in lines:
        w = line.split()
        if w and not _state_line(st, w[0], w[1:]):
            st["other"].append(line)
    for i, p in enumerate(st["parts"]):
        p["id"] = i
        p["level"] = part_level(p, st["pins"])
        p["on"] = p["level"] == p["active"]
    return st


class BoardState:
    """A board as the link tells it: the snapshot, then each event applied in turn.
    Every part keeps its level and on/off by part_on(); a reset line the width of
    its last pulse ("pulse_us": its last time in reset) once it has had one."""

    def __init__(self, snapshot):
        self.st = snapshot
        self.on_since = {}  # part index -> time it went on (seen by an event)

    def fields(self):
        """The whole state as a dict (parse_state()'s, with the pulse widths)."""
        return self.st

    def apply(self, ev):
        """Applies one event (parse_event()'s dict); what changed, as
        {"parts": [part dicts], "buzzer": 0|1} (only the keys that changed)."""
        st = self.st
        st["time_us"] = max(st["time_us"], ev["t_us"])
        if "levels" in ev and 0 <= ev["bank"] < 9:
            st["pins"][ev["bank"]] = ev["levels"]
            parts = self._refresh(ev["t_us"], ev["bank"])
            return {"parts": parts} if parts else {}
        if ev["kind"] == "buzzer" and "on" in ev and st["buzzer"] != ev["on"]:
            st["buzzer"] = ev["on"]
            return {"buzzer": ev["on"]}
        return {}

    def _refresh(self, t_us, bank):
        changed = []
        for i, p in enumerate(self.st["parts"]):
            if p["bank"] != bank:
                continue
            p["level"] = part_level(p, self.st["pins"])
            on = p["level"] == p["active"]
            if on == p["on"]:
                continue
            p["on"] = on
            if p["part"] != "reset":
                pass
            elif on:
                self.on_since[i] = t_us
            elif i in self.on_since:
                p["pulse_us"] = t_us - self.on_since.pop(i)
            changed.append(dict(p))  # as it is now: the part goes on changing
        return changed
