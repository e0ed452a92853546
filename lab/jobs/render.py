#!/usr/bin/python3
"""Renders the lab's acceptance job of a check procedure (procedures/*.yaml) for one board
model (acceptance.yaml.jinja2), or the health check of a device type (health.yaml.jinja2).

  render.py --procedure procedures/kd3555-acceptance.yaml [--model KD3555]
  render.py --model KD3555            (the model's acceptance procedure)
            [--board-tag kd3454] [--device-type qn-board] [--shell CMD]
  render.py --health-check [--device-type qn-board]
            [--images URL] [--character-delay MS] [--prompt REGEX]

Each line the procedure types becomes LAVA interactive steps on the console: the first types
the line and looks for the first expected text, each further expected text is a step of its
own that types nothing (so no match spans more than LAVA's 4000-character window), and the
last waits for the shell's prompt. The steps a console cannot check (a part's state, an
input, a key, the DDR choice, a power cycle, the operator) are listed in the job's metadata
and at their place in the script as not checked by LAVA.

--board-tag asks for a board of another model than the procedure's (the lab's must-fail
check); --character-delay overrides the device's per-character delay of the test phase (0:
none, another must-fail check). --images is the image server, by default the lab's
(image_port of lab/site.yaml).
"""
import argparse
import json
import os
import re
import sys

import jinja2
import yaml

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(TOP, "sim"))
from qnboard import procedure  # noqa: E402

# LAVA reads the console as UTF-8: a run of GBK text arrives as any characters of the line
ANY = "[^\\n]*?"
# the console ends each line with CR LF; a line may begin with a colour (the procedure
# reads the answer without escape codes)
COLOUR = "(?:\\x1b\\[[0-9;]*m)*"
NL = "(?:\\r*\\n%s)" % COLOUR
# the shell's next prompt is drawn next: it hides the cursor and starts a new line (a
# redraw of a typed line hides the cursor too, but stays on its line)
PROMPT_NEXT = "\\x1b\\[\\?25l\\r*\\n"
# the end of a typed line's answer
END = "(?=(?:\\r|\\x1b\\[[0-9;]*m)*%s)" % PROMPT_NEXT
# a text looked for after the answer ended: it is not there (zero width, so the prompt
# is left for the line's last step)
ANSWER_ENDED = "(?=%s)" % PROMPT_NEXT
SHELL_PROMPT = "quenta \\$: "


class NotForLava(Exception):
    pass


def rx(text, fill=None):
    """A plain console text as a regular expression: ASCII runs literally, each run of
    other characters as any characters of the line, newlines as the console's CR LF;
    %x / %d replaced by fill."""
    if fill is not None:
        text = text.replace("%x", format(fill, "x")).replace("%d", str(fill))
    out = []
    for run in re.findall(r"[\x00-\x7f]+|[^\x00-\x7f]+", text):
        out.append(re.escape(run).replace("\\\n", NL).replace("\n", NL) if run.isascii() else ANY)
    return "".join(out)


def pattern_rx(p):
    """A procedure's pattern (matched there on the answer without escape codes and CRs) as
    LAVA's pattern on the console: \\n as CR LF, a run of non-ASCII characters as any
    characters of the line, a final $ as the end of the answer."""
    out, i = [], 0
    while i < len(p):
        c = p[i]
        if c == "\\" and i + 1 < len(p):
            out.append(NL if p[i + 1] == "n" else p[i:i + 2])
            i += 2
        elif c == "[":  # a character class, copied as it is
            j = i + 1
            if j < len(p) and p[j] == "^":
                j += 1
            if j < len(p) and p[j] == "]":
                j += 1
            while j < len(p) and p[j] != "]":
                j += 2 if p[j] == "\\" else 1
            cls = p[i:j + 1]
            if not cls.isascii():
                raise NotForLava("a character class of non-ASCII characters")
            out.append(cls)
            i = j + 1
        elif c == "$" and i == len(p) - 1:
            out.append(END)
            i += 1
        elif not c.isascii():
            j = i
            while j < len(p) and not p[j].isascii():
                j += 1
            out.append("(?:%s)" % ANY)
            i = j
        else:
            out.append(c)
            i += 1
    return "".join(out)


def text_rx(t):
    """An expected (or absent) text of a procedure as LAVA's pattern; NotForLava when the
    console cannot tell it (no ASCII in it: LAVA cannot read GBK)."""
    r = pattern_rx(t["re"]) if isinstance(t, dict) else rx(t)
    try:
        c = re.compile(r, re.DOTALL)
    except re.error as e:
        raise NotForLava("the pattern does not translate (%s)" % e)
    if c.fullmatch("") or (not isinstance(t, dict) and not re.search(r"[0-9A-Za-z]", t)):
        raise NotForLava("no ASCII text in it: LAVA reads the console's GBK as UTF-8")
    return r


def label(t):
    return "/%s/" % t["re"] if isinstance(t, dict) else t


def case_name(text):
    """A test case's name as the server takes it (letters, digits, - and _)."""
    return re.sub(r"[^-_a-zA-Z0-9]+", "-", text).strip("-") or "step"


def describe(step):
    a = step.args
    k = step.kind
    if k == "check":
        what = "is %s" % a["is"] if "is" in a else "pulse of at least %s ms" % a["pulse_ms"]
        return "check %s %s" % (a["check"], what)
    if k == "set":
        return "set %s %s" % (a["set"], a["level"])
    return "%s %s" % (k, a[k])


class Job:
    """The interactive blocks of the acceptance job of one procedure on one model."""

    def __init__(self, proc, model, shell, board_prompt):
        self.proc, self.model, self.shell, self.board_prompt = proc, model, shell, board_prompt
        self.blocks, self.unchecked, self.names, self.before = [], [], set(), []
        self.script = None
        for step in proc.steps:
            getattr(self, "_" + step.kind, self._not_on_console)(step)
        if self.script is not None:
            raise SystemExit("render.py: %s: the procedure ends in the shell (no leave step)" % proc.path)

    def _name(self, base):
        name, n = case_name(base), 2
        while name in self.names:
            name = "%s-%d" % (case_name(base), n)
            n += 1
        self.names.add(name)
        return name

    def _add(self, step, name, command, successes=(), failures=(), wait=True, comment=None, common=True):
        self.script.append(dict(name=self._name(name), command=command, successes=list(successes),
                                failures=list(failures), wait=wait, common=common,
                                comment=comment if comment is not None else "step %d, line %d: %s" % (step.number, step.line, describe(step))))

    def _not_on_console(self, step, why="board step, not checked by LAVA"):
        self.unchecked.append("step %d (line %d): %s: %s" % (step.number, step.line, describe(step), why))
        note = "step %d, line %d: %s -- %s" % (step.number, step.line, describe(step), why)
        if self.script is not None:
            self.script.append(dict(note=note))
        elif self.blocks:
            self.blocks[-1]["after"].append(note)
        else:
            self.before.append(note)

    def _start(self, step):
        if self.script is not None:
            raise SystemExit("render.py: %s: step %d starts the shell inside the shell" % (self.proc.path, step.number))
        words = step.args["start"].split()
        command = " ".join([self.shell] + words[1:]) if words[:1] == ["qn_shell"] else step.args["start"]
        self.script = []
        self.blocks.append(dict(name=self._name("qn-shell"), prompts=[SHELL_PROMPT], script=self.script, after=[]))
        self._add(step, "start", command, failures=[
            dict(message="open error", error="qn_shell cannot open a board driver node: driver not loaded?"),
            dict(message="qn_shell: not found", error="no qn_shell on the board's PATH"),
            dict(message="oldkernel: not found",
                 error="no oldkernel on the board (on a board without it: render.py --shell qn_shell)")],
            common=False)
        if len(self.blocks) == 1:  # the board's identity, as every run of a procedure begins
            self._add(step, "identity", "mbinfo",
                      successes=[rx("hardware=%s, custom=" % self.model) + "-?[0-9]+, mb_version=-?[0-9]+"],
                      failures=[dict(message="hardware=(?!%s,)[^,]*," % self.model,
                                     error="wrong board model: this job is for %s and mbinfo names another model"
                                     % self.model)],
                      comment="the board's identity: a board of another model stops the job")

    def _type(self, step):
        a = step.args
        if self.script is None:
            raise SystemExit("render.py: %s: step %d types a line with no shell started" % (self.proc.path, step.number))
        base = a.get("name") or a["type"]
        failures = []
        for t in a.get("absent", []):
            try:  # as a run of the procedure, the job ends at an absent text shown
                failures.append(dict(message=text_rx(t), error="step %d (line %d): %r shows %s" % (
                    step.number, step.line, a["type"], label(t))))
            except NotForLava as e:
                self.unchecked.append("step %d (line %d): absent %s: %s" % (step.number, step.line, label(t), e))
        expects = []
        for t in a.get("expect", []):
            try:
                expects.append(text_rx(t))
            except NotForLava as e:
                self.unchecked.append("step %d (line %d): expect %s: %s" % (step.number, step.line, label(t), e))
        if not expects:
            self._add(step, base, a["type"], failures=failures)
            return
        # each text a step of its own, in order (no match longer than LAVA's window); the
        # absent texts are looked for up to the prompt by a last step that types nothing
        finals = expects + (["(?=%s)" % PROMPT_NEXT] if failures else [])
        last = len(finals) - 1
        for i, e in enumerate(finals):
            name = base if i == 0 else "%s_%s" % (case_name(base), "absent" if i >= len(expects) else i + 1)
            self._add(step, name, a["type"] if i == 0 else None,
                      successes=[e], failures=failures + ([] if i == last else [ANSWER_ENDED]),
                      wait=i == last, comment=None if i == 0 else "")

    def _leave(self, step):
        if self.script is None:
            raise SystemExit("render.py: %s: step %d leaves a shell that is not running" % (self.proc.path, step.number))
        self._add(step, "leave-" + step.args["leave"], step.args["leave"], successes=[self.board_prompt], wait=False)
        self.script = None

    def _tell(self, step):
        self._not_on_console(step, "for the operator, not shown by LAVA")

    def _ask(self, step):
        self._not_on_console(step, "a question to the operator, not asked by LAVA")

    def _power(self, step):
        self._not_on_console(step, "not done by LAVA within the job")


def yq(value):
    """A YAML scalar that holds value exactly (a JSON string is a YAML string)."""
    return json.dumps(value)


def procedure_of(a, ap):
    path = a.procedure or os.path.join(TOP, "procedures", "%s-acceptance.yaml" % a.model.lower())
    try:
        proc = procedure.load(path)
    except procedure.ProcedureError as e:
        sys.exit("render.py: %s" % e)
    model = a.model or (proc.models[0] if len(proc.models) == 1 else None)
    if model is None:
        ap.error("%s is for %s: name one with --model" % (path, ", ".join(proc.models)))
    if model not in proc.models:
        sys.exit("render.py: %s is for %s, not %s" % (path, ", ".join(proc.models), model))
    return proc, model


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--procedure", help="the procedure file (default: the model's acceptance procedure)")
    ap.add_argument("--model")
    ap.add_argument("--health-check", action="store_true")
    ap.add_argument("--shell", default="qn_shell", help="the command that starts the shell")
    ap.add_argument("--board-tag", default=None)
    ap.add_argument("--device-type", default="qn-vboard", choices=["qn-vboard", "qn-board"])
    with open(os.path.join(HERE, "..", "site.yaml"), encoding="utf-8") as f:
        images = "http://127.0.0.1:%d" % yaml.safe_load(f)["image_port"]
    ap.add_argument("--images", default=images)
    ap.add_argument("--character-delay", type=int, default=None)
    ap.add_argument("--prompt", default=None)
    ap.add_argument("--name", default=None)
    ap.add_argument("--test-timeout", type=int, default=240, help="seconds of the test actions")
    a = ap.parse_args()
    if a.health_check == bool(a.model or a.procedure):
        ap.error("one of --procedure/--model and --health-check")
    env = jinja2.Environment(loader=jinja2.FileSystemLoader(HERE), undefined=jinja2.StrictUndefined,
                             trim_blocks=True, lstrip_blocks=True, keep_trailing_newline=True)
    env.filters.update(yq=yq)
    prompt = a.prompt or ("qnboard:[^ ]*# " if a.device_type == "qn-vboard" else "[^ \\n]*# ")
    common = dict(device_type=a.device_type, images=a.images.rstrip("/"), board_prompt=prompt, shell=a.shell)
    if a.health_check:
        job = env.get_template("health.yaml.jinja2").render(**common)
    else:
        proc, model = procedure_of(a, ap)
        j = Job(proc, model, a.shell, prompt)
        job = env.get_template("acceptance.yaml.jinja2").render(
            model=model, board_tag=a.board_tag or model.lower(), procedure=os.path.relpath(str(proc.path), TOP),
            blocks=j.blocks, unchecked=j.unchecked, before=j.before,
            character_delay=a.character_delay, test_timeout=a.test_timeout,
            job_name=a.name or "%s on %s" % (proc.name, model), **common)
    yaml.safe_load(job)  # a template error shows here, not on the server
    sys.stdout.write(job)


if __name__ == "__main__":
    main()
