"""Recording a check procedure from what happens at a bench.

    rec = Recorder(state, mode="simulator")      # the board's state (parse_state()'s dict)
    rec.keys([b"c", b"\\r"])                      # keys typed at the console
    rec.console(text)                            # the console's output, as it comes
    rec.pulse(part)                              # a part that ended an on-period (events)
    rec.before_choice(); rec.choice("input", {"part": 7, "level": 1}, state)
    rec.stop(state)                              # the last checks
    rec.suggestions()                            # volatile parts that could be patterns
    text = rec.yaml(name, accept=[ids])          # the procedure file

Each command line typed and its answer become a `type` step with the answer's lines
as `expect` texts; each input switched, panel key pressed or DDR size chosen a `set`,
`press` or `ddr` step; each part that changed after a step a `check` step (a reset line
that pulsed: `pulse_ms`, its width rounded down). Nothing here does I/O: the bench server
feeds it, the tests feed it text.
"""

import datetime
import json
import re

from . import procedure

PROMPT = "quenta $: "
HIDE, SHOW = "\x1b[?25l", "\x1b[?25h"
# The shell redraws the line being typed: hide the cursor, to the line's column, erase,
# the line, back to the cursor's column, show the cursor.
INPUT_REDRAW = re.compile(r"\x1b\[\?25l\r\x1b\[\d+C\x1b\[K([^\r\x1b]*)\r(?:\x1b\[\d+C)?$")
ANSI = re.compile(r"\x1b\[[0-9;?]*[A-Za-z]|\x1bO[A-Za-z]|\x1b[()][0-9A-Za-z]|\r")
LEAVE_WORDS = ("exit", "q")
EXPECT_MAX = 60  # answer lines kept as expect texts of one step

# Volatile parts of an answer, in the order they are looked for (an earlier one wins
# where two overlap): (kind, what it is, pattern found, pattern written, offered checked).
VOLATILE = [
    ("date", "a date", r"\b\d{4}[-/.]\d{1,2}[-/.]\d{1,2}\b", r"\d{4}[-/.]\d{1,2}[-/.]\d{1,2}", True),
    ("time", "a time of day", r"\b\d{1,2}:\d{2}(?::\d{2})?(?:\.\d+)?\b", r"\d{1,2}:\d{2}(?::\d{2})?(?:\.\d+)?", True),
    ("hex", "a register value", r"\b0[xX][0-9A-Fa-f]+\b", r"0[xX][0-9A-Fa-f]+", False),
    ("size", "a size", r"\b\d+(?:\.\d+)?\s?(?:[KMGT]i?B|bytes?)\b",
     None, False),  # written: the number as a pattern, the unit kept
    ("duration", "a duration", r"\b\d+(?:\.\d+)?\s?(?:ms|us|s)\b", None, False),
    ("value", "a number after '='", r"(?<==)\s*-?\d+\b", r"\s*-?\d+", False),
]
NUMBER = r"\d+(?:\.\d+)?"


def plain(text):
    """Text as it reads: escape sequences and carriage returns removed."""
    return ANSI.sub("", text)


def answer_lines(text):
    """The lines of an answer worth expecting: escape sequences removed, blank lines and
    repeats left out, at most EXPECT_MAX."""
    out = []
    for line in plain(text).split("\n"):
        line = line.strip()
        if line and line not in out:
            out.append(line)
    return out[:EXPECT_MAX]


def volatile_spans(line):
    """[(start, end, kind, what, pattern, checked)] of a line's volatile parts, without
    overlaps."""
    spans = []
    for kind, what, found, written, checked in VOLATILE:
        for m in re.finditer(found, line):
            s, e = m.span()
            if s == e or any(s < e2 and s2 < e for s2, e2, *_ in spans):
                continue
            text = m.group(0)
            if written is None:  # a number with its unit: the number only
                num = re.match(r"\s*" + NUMBER, text)
                pat = NUMBER + re.escape(text[num.end():])
            else:
                pat = written
            spans.append((s, e, kind, what, pat, checked))
    return sorted(spans)


def pattern_of(line, spans):
    """A regular expression matching the line with the given spans left open."""
    out, at = [], 0
    for s, e, _kind, _what, pat, _checked in spans:
        out.append(re.escape(line[at:s]))
        out.append(pat)
        at = e
    out.append(re.escape(line[at:]))
    return "".join(out)


class Recorder:
    """What happens at a bench, into the steps of a procedure."""

    def __init__(self, state, mode="simulator"):
        self.mode = mode
        self.model = (state.get("identity") or {}).get("model") or "unknown"
        self.started = datetime.datetime.now(datetime.timezone.utc)
        self.steps = [{"start": "qn_shell"}]
        self.base = self._snapshot(state)
        self.pulses = {}  # part name -> last pulse width (us) since the last checks
        self.buf = ""  # console output not yet taken apart
        self.line = ""  # the line being typed, as the shell last drew it
        self.out = ""  # output since the last redraw
        self.enters = 0  # Enter keys typed whose answer has not ended yet
        self.current = None  # the step of the command under way
        self.answering = False  # its answer has begun
        self.after_set = None  # the input the last step set (no check of it)
        self.listeners = []  # f() when a step is added or completed
        self.skip = 0  # commands typed by the bench itself, not steps
        self.running = True

    # -- the board --------------------------------------------------------------------

    @staticmethod
    def _snapshot(state):
        parts = {p["name"]: (p["part"], bool(p["on"]), int(p["level"])) for p in state.get("parts", [])}
        return {"parts": parts, "buzzer": int(state.get("buzzer", 0))}

    def pulse(self, part):
        """A part that changed (an event's part dict): a reset line's ended pulse."""
        if part.get("part") == "reset" and not part.get("on") and "pulse_us" in part:
            self.pulses[part["name"]] = part["pulse_us"]

    def checks(self, state):
        """The check steps for what changed since the last checks, and for each lamp or
        output the last command's answer names (lit already, it did not change); the
        state they saw becomes the base of the next."""
        now = self._snapshot(state)
        named = self._named()
        for name, (kind, on, level) in now["parts"].items():
            old = self.base["parts"].get(name)
            if name == self.after_set:
                continue
            changed = old is not None and (old[1], old[2]) != (on, level)
            if changed or (kind in ("lamp", "output") and name in named):
                word = ("high" if level else "low") if kind == "input" else ("on" if on else "off")
                self._add({"check": name, "is": word})
            if name in self.pulses and kind == "reset":
                self._add({"check": name, "pulse_ms": max(self.pulses[name] // 1000, 0)})
        if now["buzzer"] != self.base["buzzer"]:
            self._add({"check": "buzzer", "is": "on" if now["buzzer"] else "off"})
        self.base = now
        self.pulses = {}
        self.after_set = None

    def _named(self):
        """The part names the answer of the last step (a command's) holds."""
        last = next((s for s in reversed(self.steps) if s is not self.current and "check" not in s), {})
        text = "\n".join(last.get("expect", []))
        return {name for name in self.base["parts"] if re.search(r"\b%s\b" % re.escape(name), text)}

    def _add(self, step):
        self.steps.append(step)
        for f in self.listeners:
            f()
        return step

    def visible_steps(self):
        """The steps so far, without the one of a command under way."""
        return [s for s in self.steps if s is not self.current]

    # -- the console ----------------------------------------------------------------
    #
    # A command begins when its Enter is typed (or, for lines typed ahead, when the
    # answer before it ends): the checks of the step before are taken then, and the
    # command's step is kept in its place; its line is the one the shell drew before it
    # answered, its expect texts the answer's lines up to the next prompt.

    def keys(self, keys, state=None):
        """Keys on their way to the shell (bytes each); state: the board's state now."""
        for k in keys:
            if k in (b"\r", b"\n"):
                if not self.enters:
                    self._start(state)
                self.enters += 1

    def _start(self, state):
        if state is not None:
            self.checks(state)
        self.current = {"type": ""}
        self.steps.append(self.current)
        self.answering = False

    def _finish(self, leaving=False):
        """The command's step, complete: its line and answer (or a leave step)."""
        step, self.current = self.current, None
        if step is None:
            return
        line = self.line.strip()
        n = next(i for i, s in enumerate(self.steps) if s is step)
        if not line or (leaving and line not in LEAVE_WORDS) or (self.skip and not leaving):
            del self.steps[n]
            if line and self.skip:
                self.skip -= 1
            return
        if leaving:
            step.clear()
            step["leave"] = line
        else:
            step["type"] = line
            lines = answer_lines(self.out)
            if lines:
                step["expect"] = lines
        for f in self.listeners:
            f()

    def console(self, text, state=None):
        """The console's output (decoded text); state: the board's state now."""
        self.buf += text
        while True:
            i = self.buf.find(HIDE)
            if i < 0:
                # keep what could be the start of a redraw
                keep = next((k for k in range(min(len(HIDE) - 1, len(self.buf)), 0, -1)
                             if HIDE.startswith(self.buf[-k:])), 0)
                self._output(self.buf[:len(self.buf) - keep])
                self.buf = self.buf[len(self.buf) - keep:]
                return
            self._output(self.buf[:i])
            j = self.buf.find(SHOW, i)
            if j < 0:
                self.buf = self.buf[i:]
                return
            self._redraw(self.buf[i:j], state)
            self.buf = self.buf[j + len(SHOW):]

    def _output(self, text):
        if not text:
            return
        self.out += text
        if self.current is not None and plain(text).strip():
            self.answering = True

    def _redraw(self, text, state):
        if PROMPT in text:
            if self.enters:
                self._finish()
                self.enters -= 1
                if self.enters:
                    self._start(state)
            self.answering = False
            self.line = ""
            self.out = ""
            return
        m = INPUT_REDRAW.match(text)
        if m and not self.answering:
            self.line = m.group(1)
            self.out = ""
        else:
            self.out += plain(text)

    def shell_ended(self):
        """The shell ended: a leave word typed is a leave step."""
        self._finish(leaving=True)
        self.enters = 0
        self.line = self.out = ""

    def shell_started(self, state=None):
        if state is not None:
            self.checks(state)
        self._add({"start": "qn_shell"})

    # -- the panel --------------------------------------------------------------------

    def before_choice(self, state):
        """The checks of the step before a choice, before the choice changes anything."""
        self.checks(state)

    def choice(self, kind, msg, state):
        """A choice the board took: "input" {part, level}, "panel" {framing, code},
        "ddr" {mb}."""
        if kind == "input":
            part = state["parts"][msg["part"]]
            self._add({"set": part["name"], "level": "high" if msg["level"] else "low"})
            self.after_set = part["name"]
        elif kind == "panel":
            step = {"press": "0x%02X" % msg["code"]}
            if msg["framing"] != "plain":
                step["framing"] = msg["framing"]
            self._add(step)
        elif kind == "ddr":
            self._add({"ddr": msg["mb"]})

    def stop(self, state):
        """Recording ends: a command under way is left out; the last checks."""
        if self.current is not None:
            self.steps = [s for s in self.steps if s is not self.current]
            self.current = None
        self.enters = 0
        self.checks(state)

    # -- the file ---------------------------------------------------------------------

    def suggestions(self):
        """Each volatile part of an expected text: {id, step, text, part, kind, what,
        checked}."""
        out = []
        for n, step in enumerate(self.steps, 1):
            for k, text in enumerate(step.get("expect", [])):
                if not isinstance(text, str):
                    continue
                for s, e, kind, what, _pat, checked in volatile_spans(text):
                    out.append({"id": "%d.%d.%d" % (n, k, s), "step": n, "text": text,
                                "part": text[s:e], "at": s, "kind": kind, "what": what,
                                "checked": checked})
        return out

    def final_steps(self, accept=()):
        """The steps with the accepted suggestions (their ids) turned into patterns."""
        accept = set(accept)
        steps = []
        for n, step in enumerate(self.steps, 1):
            step = dict(step)
            if "expect" in step:
                texts = []
                for k, text in enumerate(step["expect"]):
                    spans = [sp for sp in volatile_spans(text)
                             if "%d.%d.%d" % (n, k, sp[0]) in accept]
                    texts.append({"re": pattern_of(text, spans)} if spans else text)
                step["expect"] = texts
            steps.append(step)
        return steps

    def yaml(self, name=None, accept=()):
        """The procedure file; it loads with procedure.loads (checked here)."""
        name = (name or "").strip() or "Recorded on %s" % self.model
        when = self.started.strftime("%Y-%m-%d %H:%M UTC")
        lines = ["# Recorded at the virtual bench (%s, %s), %s." % (self.mode, self.model, when),
                 "procedure: " + scalar(name),
                 "about: " + scalar("Recorded at the bench on %s." % self.model),
                 "models: [%s]" % scalar(self.model),
                 "steps:"]
        for step in self.final_steps(accept):
            lines += step_lines(step)
        text = "\n".join(lines) + "\n"
        procedure.loads(text, "<recording>")
        return text


# YAML as a technician reads it: plain words where YAML reads them as the same text,
# else double quotes (JSON's, which YAML reads the same).
_PLAIN = re.compile(r"^[A-Za-z_][A-Za-z0-9_ .()/-]*[A-Za-z0-9_).]$|^[A-Za-z_]$")
_YAML_WORDS = {"true", "false", "yes", "no", "on", "off", "null", "y", "n", "~"}


def scalar(v, words_ok=False):
    if isinstance(v, bool) or v is None:
        return json.dumps(v)
    if isinstance(v, int):
        return str(v)
    if _PLAIN.match(v) and ": " not in v and " #" not in v and \
            (words_ok or v.lower() not in _YAML_WORDS):
        return v
    return json.dumps(v, ensure_ascii=False)


def _text_item(t):
    return "{re: %s}" % json.dumps(t["re"], ensure_ascii=False) if isinstance(t, dict) else scalar(t)


def step_lines(step):
    """A step's lines in the file: its kind first, then its fields."""
    kind = next(k for k in step if k in procedure.KINDS)
    head = "0x%02X" % int(str(step[kind]), 0) if kind == "press" else scalar(step[kind])
    out = ["  - %s: %s" % (kind, head)]
    for key, val in step.items():
        if key == kind:
            continue
        if isinstance(val, list):
            out.append("    %s:" % key)
            out += ["      - " + _text_item(t) for t in val]
        else:
            # is: on, level: high, answer: yes are words of a procedure
            out.append("    %s: %s" % (key, scalar(val, words_ok=key in ("is", "level", "answer", "framing"))))
    return out
