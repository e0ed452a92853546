"""Runs check procedures (qnboard.procedure) on a board: the simulator, the virtual
board, or any console (a real board, the bench PC's stand-in).

    scripts/run-procedure.sh FILE... (--sim [--model M] | --board | --console URL | --bench URL)
                             [--answers FILE | --no-operator] [--junit F] [--json F]

Console steps (start, type, leave, power) go through the console; board steps (check,
set, press, ddr) through the board link where the target has one. Without a link a
check becomes a question to the operator and a set, press or DDR choice an instruction;
--answers answers them from a file, --no-operator skips them (reported as skipped,
never as passed). Exit status 0 only if every step passed (or, with --no-operator, was
skipped for want of an operator).
"""

import argparse
import asyncio
import datetime
import json
import os
import pathlib
import re
import shlex
import shutil
import signal
import sys
import tempfile
import threading
import time
import xml.etree.ElementTree as ET

import pexpect
import pexpect.fdpexpect
import yaml

from . import control
from . import procedure as proc
from .keys import KeyPacer, split_keys, type_keys
from .link import SimLink, VirtLink
from .parse import BoardState, parse_state

REPO = pathlib.Path(__file__).resolve().parents[2]
QN_PROMPT = b"quenta $: "
REDRAW_END = b"\x1b[?25h"
PROMPT_RE = re.escape(QN_PROMPT + REDRAW_END)
# The board's root prompt (BusyBox's "/ # " or "qnboard:~# ", a login shell's "root@…# "),
# with the cursor position query BusyBox's line editing may send after it.
ROOT_PROMPT = rb"[#$] (\x1b\[6n)?$"
ANSI = re.compile(r"\x1b\[[0-9;?]*[A-Za-z]|\x1bO[A-Za-z]|\r")
MBINFO = re.compile(r"hardware=(\w+), custom=(-?\d+), mb_version=(-?\d+)")


class StepFailed(Exception):
    pass


class Stop(Exception):
    """Ends the run at once (a wrong board, a console gone)."""


# -- the operator --------------------------------------------------------------

class Operator:
    """The person at the bench: a question (yes/no) or an instruction (done) for what
    no instrument here can see or do. Answers come from a file (step number or step
    name -> yes/no/done), from the terminal, or not at all (--no-operator)."""

    def __init__(self, answers=None, present=True, ask=input, say=print):
        self.answers = answers or {}
        self.present = present
        self._ask, self._say = ask, say

    @classmethod
    def from_file(cls, path):
        with open(path, encoding="utf-8") as f:
            data = yaml.load(f, Loader=proc._Loader) or {}
        if not isinstance(data, dict):
            raise SystemExit(f"{path}: answers are a mapping of step number or name to yes/no/done")
        return cls({str(k): str(v).lower() for k, v in data.items()}, present=False)

    def available(self, step):
        return self.present or self._lookup(step) is not None

    def _lookup(self, step):
        for key in (str(step.number), step.args.get("name", ""), step.name):
            if key and key in self.answers:
                return self.answers[key]
        return None

    def question(self, step, text):
        """The operator's answer, yes or no."""
        a = self._lookup(step)
        if a is None:
            while True:
                a = self._ask(f"{text} [y/n] ").strip().lower()
                if a in ("y", "yes", "n", "no"):
                    break
        return "yes" if a in ("y", "yes", "true") else "no"

    def instruction(self, step, text):
        a = self._lookup(step)
        if a is None:
            self._ask(f"{text}, then press Enter ")
            a = "done"
        return a

    def tell(self, text):
        self._say(f"  >> {text}")


# -- consoles --------------------------------------------------------------------

class SerialSpawn(pexpect.spawnbase.SpawnBase):
    """pexpect over a pyserial port (rfc2217://HOST:PORT, a /dev/tty device)."""

    def __init__(self, port, timeout=30):
        super().__init__(timeout=timeout)
        self.port = port

    def read_nonblocking(self, size=1, timeout=-1):
        if timeout == -1:
            timeout = self.timeout
        # one byte within the timeout, then whatever else has come (pyserial's read(n)
        # would wait for all n)
        self.port.timeout = None if timeout is None else max(timeout, 0.01)
        data = self.port.read(1)
        if data and self.port.in_waiting:
            data += self.port.read(min(size, self.port.in_waiting))
        if not data:
            raise pexpect.TIMEOUT("no data")
        self._log(data, "read")
        return data

    def send(self, s):
        b = s if isinstance(s, bytes) else s.encode("latin-1")
        return self.port.write(b)

    def close(self):
        self.port.close()


def open_console(url):
    """A pexpect child for a console address."""
    if url.startswith("telnet://"):
        host, _, port = url[len("telnet://"):].rstrip("/").rpartition(":")
        return pexpect.spawn("telnet", [host or "127.0.0.1", port], timeout=30)
    import serial  # python3-serial
    if url.startswith("rfc2217://"):
        port = serial.serial_for_url(url, baudrate=115200, timeout=0)
    else:
        port = serial.Serial(url, 115200, timeout=0)
    return SerialSpawn(port)


# -- the board link, used from this (blocking) runner ----------------------------

class LinkThread:
    """A board link on its own event loop: control lines, and the board's state kept
    from the snapshot and every event since (a reset line's last pulse included)."""

    def __init__(self, make_link):
        self.loop = asyncio.new_event_loop()
        self.thread = threading.Thread(target=self.loop.run_forever, daemon=True)
        self.thread.start()
        self.lock = threading.Lock()
        self.marks = 0
        self.link = make_link()
        self._run(self.link.open(), 90)
        self.stream = self._run(self.link.subscribe(), 90)
        self.board = BoardState(parse_state(self._run(self.link.state())))
        self.pump = asyncio.run_coroutine_threadsafe(self._pump(), self.loop)

    def _run(self, coro, timeout=30):
        return asyncio.run_coroutine_threadsafe(coro, self.loop).result(timeout)

    async def _pump(self):
        async for ev in self.stream:
            with self.lock:
                if ev.fields["kind"] == "sync":
                    self.marks += 1
                self.board.apply(ev.fields)

    def control(self, line):
        return self._run(self.link.control(line))

    def settle(self, timeout=5.0):
        """The state once every event before now has been applied: a sync mark goes
        through the board and comes back on the event stream."""
        with self.lock:
            seen = self.marks
        ok, _ = self.control("sync")
        deadline = time.monotonic() + timeout
        while ok and time.monotonic() < deadline:
            with self.lock:
                if self.marks > seen:
                    break
            time.sleep(0.01)
        with self.lock:
            return json.loads(json.dumps(self.board.fields()))

    def close(self):
        try:
            self._run(self.stream.aclose(), 5)
            self._run(self.link.close(), 5)
        except Exception:
            pass
        self.loop.call_soon_threadsafe(self.loop.stop)
        self.thread.join(5)


# -- targets ---------------------------------------------------------------------

class Target:
    """A board as the runner sees it: a console (self.con, a pexpect child), a link or
    None, and power."""
    name = "board"
    link = None

    def __init__(self):
        self.con = None
        self.in_shell = False
        self.pacer = KeyPacer()
        self.transcript = []   # (step number, text seen)

    # the console
    def _read(self, timeout):
        try:
            data = self.con.read_nonblocking(4096, timeout)
        except pexpect.TIMEOUT:
            return b""
        except pexpect.EOF:
            raise Stop("the console closed")
        return data

    def _write(self, data):
        # the key pacer paces the keys by the shell's redraws: no pause of pexpect's own
        # (50 ms before every send) on top
        self.con.delaybeforesend = None
        self.con.send(data)

    def expect(self, pattern, timeout):
        try:
            self.con.expect(pattern, timeout=timeout)
        except pexpect.EOF:
            raise Stop("the console closed (no board there, or the connection was cut)")
        except pexpect.TIMEOUT:
            seen = _text(self.con.before)[-300:]
            raise StepFailed(f"no {_show(pattern)} within {timeout:g} s; the console showed: {seen!r}")
        return _text(self.con.before)

    def drain(self):
        while self._read(0.2):
            pass

    def type_line(self, line, timeout=30):
        """Types a line at the shell, key by key, then Enter; the answer up to the next
        prompt, as the console showed it (escape sequences removed)."""
        if not self.in_shell:
            raise StepFailed("the shell is not running (no start step before?)")
        keys = split_keys(line)
        if not type_keys(self.pacer, keys, self._write, self._read):
            raise StepFailed("the shell drew no redraw for a typed key")
        self._write(b"\r")
        out = self.expect(PROMPT_RE, timeout)
        cut = out.rfind("\x1b[?25l")
        return out[:cut] if cut >= 0 else out

    def root(self, timeout=60):
        """Back at the board's root prompt: a shell an earlier run left running (with a
        half-typed line, perhaps) is left first."""
        self.drain()
        self._write(b"\r")
        try:
            i = self.con.expect([ROOT_PROMPT, PROMPT_RE], timeout=timeout)
        except pexpect.EOF:
            raise Stop("the console closed (no board there, or the connection was cut)")
        except pexpect.TIMEOUT:
            raise StepFailed(f"no board prompt within {timeout:g} s; the console showed: "
                             f"{_text(self.con.before)[-300:]!r}")
        if i == 1:
            self.in_shell = True
            self.leave("exit", timeout)
        self.drain()

    def start(self, cmd, timeout=30):
        self.root()
        self._write(cmd.encode() + b"\r")
        out = self.expect(PROMPT_RE, timeout)
        self.in_shell = True
        return out

    def type_word(self, word):
        """Types a word the shell ends on (exit, q), key by key, then Enter."""
        type_keys(self.pacer, split_keys(word), self._write, self._read)
        self._write(b"\r")
        self.in_shell = False

    def leave(self, word, timeout=30):
        self.type_word(word)
        return self.expect(ROOT_PROMPT, timeout)

    def power_cycle(self, operator, step):
        operator.instruction(step, "Switch the board off and on again")
        self.in_shell = False
        return self.expect(ROOT_PROMPT, 180)

    def close(self):
        if self.link:
            self.link.close()
        if self.con is not None:
            self.con.close()


class _LocalBoard(Target):
    """A board this runner starts itself (the simulator, the virtual board): its folder
    of sockets, and switching it off kills what runs it."""

    def __init__(self):
        super().__init__()
        self.dir = tempfile.mkdtemp(prefix="qnproc.")

    def _off(self):
        if self.link:
            self.link.close()
            self.link = None
        if self.con is not None:
            self.con.close(force=True)
            self.con = None

    def close(self):
        self._off()
        shutil.rmtree(self.dir, ignore_errors=True)


class SimTarget(_LocalBoard):
    """The simulator: `start` runs the shell on the simulated board with a board link;
    the board is powered off when no shell runs (power: cycle ends the shell)."""
    name = "simulator"

    def __init__(self, model, build=None):
        build = pathlib.Path(build or os.environ.get("QN_BUILD_DIR", REPO / "build"))
        if not (build / "qnsim").exists():
            raise SystemExit(f"no simulator in {build}: build it first (scripts/run-sim.sh builds it)")
        super().__init__()
        self.model = model
        self.build = build
        self.sock = os.path.join(self.dir, "link.sock")

    def start(self, cmd, timeout=30):
        prog = shlex.split(cmd)
        if prog[:1] == ["qn_shell"]:
            prog[0] = str(self.build / "qn_shell")
        # the simulator's library preloaded as the launcher does, without its pause
        # for a person at a terminal
        env = dict(os.environ, QNSIM_MODEL=self.model, QNSIM_LINK=self.sock, QNSIM_FAST="1",
                   LD_PRELOAD=str(self.build / "sim" / "libqnsim.so"))
        env.pop("QNSIM_CTL", None)
        self.con = pexpect.spawn(prog[0], prog[1:], env=env, timeout=30, dimensions=(40, 120))
        out = self.expect(PROMPT_RE, timeout)
        self.in_shell = True
        self.link = LinkThread(lambda: SimLink(self.sock))
        return out

    def leave(self, word, timeout=30):
        self.type_word(word)
        self.con.expect(pexpect.EOF, timeout=timeout)
        self._off()
        return ""


    def power_cycle(self, operator, step):
        self._off()
        self.in_shell = False
        return ""



class ConsoleTarget(Target):
    """Any console: a real board, the bench PC's stand-in. No link: board steps go to
    the operator. --power CMD (e.g. a request to the PDU daemon) power-cycles."""

    def __init__(self, url, power_cmd=None):
        super().__init__()
        self.name = url
        self.power_cmd = power_cmd
        self.con = open_console(url)

    def power_cycle(self, operator, step):
        if not self.power_cmd:
            return super().power_cycle(operator, step)
        import subprocess
        self.in_shell = False
        subprocess.run(self.power_cmd, shell=True, check=True, timeout=60,
                       stdout=subprocess.DEVNULL)
        return self.expect(ROOT_PROMPT, 180)


class VirtualBoardTarget(_LocalBoard):
    """The virtual board (scripts/run-board.sh): QEMU's console, the control agent and
    the event stream as the board link. power: cycle boots it again."""
    name = "virtual board"

    def __init__(self, model):
        super().__init__()
        self.model = model
        self._boot()

    def _boot(self):
        ctl, ev = os.path.join(self.dir, "ctl.sock"), os.path.join(self.dir, "events.sock")
        self.con = pexpect.spawn("bash", [str(REPO / "scripts/run-board.sh"), "--model", self.model,
                                          "--ctl", ctl, "--events", ev], timeout=180,
                                 dimensions=(40, 120))
        self.expect(ROOT_PROMPT, 300)
        self.link = LinkThread(lambda: VirtLink(ctl, ev))


    def power_cycle(self, operator, step):
        self._off()
        self.in_shell = False
        self._boot()
        return ""



# -- the steps -------------------------------------------------------------------

def _text(b):
    if isinstance(b, bytes):
        b = b.decode("gbk", "replace")
    return b if isinstance(b, str) else ""


def _show(p):
    return repr(_text(p) if isinstance(p, bytes) else p)


def plain(text):
    return ANSI.sub("", text)


def _matches(t, text):
    return _find(t, text, 0) is not None


def _find(t, text, pos):
    """Where the text ends in the answer, looking from pos on; None if it is not there."""
    if isinstance(t, dict):
        m = re.compile(t["re"]).search(text, pos)
        return m.end() if m else None
    i = text.find(t, pos)
    return i + len(t) if i >= 0 else None


def _missing(expects, text):
    """The expected texts not in the answer in the order written (the board prints them
    in that order, and the lab's job looks for them so)."""
    out, pos, before = [], 0, None
    for t in expects:
        end = _find(t, text, pos)
        if end is not None:
            pos, before = end, t
        elif before is not None and _matches(t, text):
            out.append(f"{_label(t)} (only before {_label(before)})")
        else:
            out.append(_label(t))
    return out


def _label(t):
    return f"/{t['re']}/" if isinstance(t, dict) else repr(t)


def _part(state, name):
    for p in state["parts"]:
        if p["name"].lower() == name.lower():
            return p
    names = ", ".join(p["name"] for p in state["parts"]) or "none"
    raise StepFailed(f"the board has no part {name!r} (its parts: {names}, buzzer)")


def _part_text(p):
    what = {"lamp": ("lit", "dark"), "input": ("asserted", "not asserted")}.get(
        p["part"], ("on", "off"))
    return (f"{p['name']} is {what[0] if p['on'] else what[1]} "
            f"(pin {p['pin']} level {p['level']}{', last pulse %.3f ms' % (p['pulse_us'] / 1000) if 'pulse_us' in p else ''})")


def question_for(step):
    a = step.args
    k = step.kind
    if k == "check":
        name = a["check"]
        if "pulse_ms" in a:
            return f"Did the {name} line pulse for at least {a['pulse_ms']} ms?"
        word = {"on": "on (lit, switched on, in reset, asserted)", "off": "off",
                "high": "high", "low": "low"}[a["is"]]
        return f"Is {name} {word}?" if name.lower() != "buzzer" else \
            f"Is the buzzer {'sounding' if a['is'] == 'on' else 'silent'}?"
    if k == "set":
        return f"Switch {a['set']} to {a['level']}"
    if k == "press":
        return f"Press the front-panel key 0x{a['press'] if isinstance(a['press'], int) else int(a['press'], 16):02X}"
    if k == "ddr":
        return f"Fit {a['ddr']} MB of DDR"
    return step.name


def run_board_step(target, step, operator):
    """A check, set, press or DDR choice: through the link, or by the operator.
    Returns (status, shown)."""
    a = step.args
    link = target.link
    if link is None:
        if not operator.available(step):
            return "skipped", "no board link and no operator"
        if step.kind == "check":
            ans = operator.question(step, question_for(step))
            if ans != "yes":
                raise StepFailed(f"the operator answered {ans}: {question_for(step)}")
            return "passed", f"operator: {ans}"
        done = operator.instruction(step, question_for(step))
        return "passed", f"operator: {done}"
    if step.kind == "check":
        st = link.settle()
        if a["check"].lower() == "buzzer":
            on = bool(st["buzzer"])
            shown = f"buzzer is {'on' if on else 'off'}"
            if (a["is"] in ("on", "high")) != on:
                raise StepFailed(f"expected buzzer {a['is']}; {shown}")
            return "passed", shown
        p = _part(st, a["check"])
        shown = _part_text(p)
        if "is" in a:
            want = {"on": ("on", 1), "off": ("on", 0), "high": ("level", 1), "low": ("level", 0)}[a["is"]]
            if int(p[want[0]]) != want[1]:
                raise StepFailed(f"expected {a['check']} {a['is']}; {shown}")
        if "pulse_ms" in a:
            if "pulse_us" not in p:
                raise StepFailed(f"expected a pulse of at least {a['pulse_ms']} ms on {a['check']}; "
                                 f"none seen since the link was opened; {shown}")
            if p["pulse_us"] < a["pulse_ms"] * 1000:
                raise StepFailed(f"expected a pulse of at least {a['pulse_ms']} ms; {shown}")
        return "passed", shown
    st = link.settle()
    try:
        if step.kind == "set":
            p = _part(st, a["set"])
            lines = [control.input_line(st, st["parts"].index(p), 1 if a["level"] == "high" else 0)]
        elif step.kind == "press":
            code = a["press"] if isinstance(a["press"], int) else int(a["press"], 16)
            lines = [control.panel_line(st, a.get("framing", "plain"), code)]
        else:
            lines = control.ddr_lines(st, a["ddr"])
    except ValueError as e:
        raise StepFailed(str(e))
    for line in lines:
        ok, why = link.control(line)
        if not ok:
            raise StepFailed(f"the board refused {line!r}: {why}")
    return "passed", "; ".join(lines)


def run_step(target, step, operator, ctx):
    """Runs one step; (status, shown) or raises StepFailed / Stop."""
    a = step.args
    k = step.kind
    if k == "start":
        out = target.start(a["start"])
        if ctx.get("identity") is None:
            check_identity(target, ctx)
        return "passed", plain(out)[-200:]
    if k == "type":
        out = plain(target.type_line(a["type"], a.get("timeout", 30)))
        missing = _missing(a.get("expect", []), out)
        present = [_label(t) for t in a.get("absent", []) if _matches(t, out)]
        if missing or present:
            why = "; ".join(x for x in (missing and f"missing {', '.join(missing)}",
                                        present and f"present {', '.join(present)}") if x)
            raise StepFailed(f"{why}; the answer was: {out.strip()!r}")
        return "passed", out
    if k in proc.BOARD_KINDS:
        return run_board_step(target, step, operator)
    if k == "power":
        return "passed", plain(target.power_cycle(operator, step))[-200:]
    if k == "leave":
        return "passed", plain(target.leave(a["leave"]))[-200:]
    if k == "tell":
        operator.tell(a["tell"])
        return "passed", a["tell"]
    if k == "ask":
        if not operator.available(step):
            return "skipped", "no operator"
        ans = operator.question(step, a["ask"])
        if ans != a.get("answer", "yes"):
            raise StepFailed(f"the operator answered {ans}")
        return "passed", f"operator: {ans}"
    raise StepFailed(f"unknown step {k}")


def check_identity(target, ctx):
    """The board's identity as mbinfo gives it; a board of another model ends the run."""
    out = plain(target.type_line("mbinfo"))
    m = MBINFO.search(out)
    ctx["identity"] = m.group(0) if m else out.strip()
    model = m.group(1) if m else "unknown"
    if model not in ctx["models"]:
        raise Stop(f"this procedure is for {', '.join(ctx['models'])}; the board is {model} "
                   f"(mbinfo: {ctx['identity']})")


# -- a run and its reports -----------------------------------------------------------

def run_procedure(p, target, operator, out=print, on_step=None):
    """Runs every step of a procedure; the report (a dict). on_step(row) sees each
    step's row as it begins (status "running") and as it ends."""
    ctx = {"models": p.models, "identity": None}
    rep = {"procedure": p.name, "file": str(p.path), "target": target.name,
           "started": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
           "identity": None, "steps": [], "result": "passed", "stopped": None}
    out(f"{p.name} ({p.path}) on the {target.name}")
    t_run = time.monotonic()
    failed = False
    for step in p.steps:
        if failed:
            rep["steps"].append({"step": step.number, "kind": step.kind, "name": step.name,
                                 "line": step.line, "status": "not run", "shown": "", "seconds": 0})
            if on_step:
                on_step(rep["steps"][-1])
            continue
        if on_step:
            on_step({"step": step.number, "kind": step.kind, "name": step.name,
                     "line": step.line, "status": "running", "shown": "", "seconds": 0})
        t0 = time.monotonic()
        try:
            status, shown = run_step(target, step, operator, ctx)
        except StepFailed as e:
            status, shown = "failed", str(e)
        except Stop as e:
            status, shown = "failed", str(e)
            rep["stopped"] = str(e)
        dt = time.monotonic() - t0
        rep["steps"].append({"step": step.number, "kind": step.kind, "name": step.name,
                             "line": step.line, "status": status, "shown": shown,
                             "seconds": round(dt, 3)})
        if on_step:
            on_step(rep["steps"][-1])
        out(f"{step.number:3d}  {status:7s} {dt:6.2f}s  {step.name}"
            + (f"\n       {shown}" if status == "failed" else ""))
        if status == "failed":
            failed = True
    rep["identity"] = ctx["identity"]
    rep["seconds"] = round(time.monotonic() - t_run, 3)
    rep["result"] = "failed" if failed else "passed"
    counts = {s: sum(1 for x in rep["steps"] if x["status"] == s)
              for s in ("passed", "failed", "skipped", "not run")}
    rep["counts"] = counts
    out(f"{p.name}: {counts['passed']} passed, {counts['failed']} failed, "
        f"{counts['skipped']} skipped" + (f", {counts['not run']} not run" if counts["not run"] else ""))
    return rep


def junit(reports):
    suites = ET.Element("testsuites")
    for r in reports:
        s = ET.SubElement(suites, "testsuite", name=r["procedure"], tests=str(len(r["steps"])),
                          failures=str(r["counts"]["failed"]),
                          skipped=str(r["counts"]["skipped"] + r["counts"]["not run"]),
                          time=str(r["seconds"]))
        for st in r["steps"]:
            c = ET.SubElement(s, "testcase", classname=r["procedure"],
                              name=f"{st['step']:02d} {st['name']}", time=str(st["seconds"]))
            if st["status"] == "failed":
                ET.SubElement(c, "failure", message=st["shown"][:500]).text = st["shown"]
            elif st["status"] in ("skipped", "not run"):
                ET.SubElement(c, "skipped", message=st["shown"] or st["status"])
    return ET.tostring(suites, encoding="unicode")


def run_on_bench(url, p, answers=None, operator=True, out=print):
    """Runs a procedure on an open bench (its URL with the token, as run-bench.sh
    prints it): the bench runs it on its board as its Run button does, every page
    watching, operator questions asked there; its step lines come back as it runs.
    The report, or None if the bench could not be asked."""
    import urllib.error
    import urllib.parse
    import urllib.request
    u = urllib.parse.urlsplit(url)
    token = urllib.parse.parse_qs(u.query).get("token", [""])[0]
    if u.scheme != "http" or not u.netloc or not token:
        raise Stop(f"a bench is http://HOST:PORT/?token=TOKEN, as run-bench.sh prints it, not {url!r}")
    endpoint = urllib.parse.urlunsplit(("http", u.netloc, "/procedure/run",
                                        urllib.parse.urlencode({"token": token}), ""))
    body = json.dumps({"name": pathlib.Path(p.path).name,
                       "text": pathlib.Path(p.path).read_text(encoding="utf-8"),
                       "answers": answers or None, "operator": operator}).encode()
    req = urllib.request.Request(endpoint, data=body, method="POST",
                                 headers={"Content-Type": "application/json"})
    try:
        resp = urllib.request.urlopen(req)
    except urllib.error.HTTPError as e:
        try:
            why = json.loads(e.read()).get("error")
        except ValueError:
            why = None
        raise Stop(f"the bench refused the run: {why or e}")
    except (urllib.error.URLError, OSError) as e:
        raise Stop(f"no bench at {u.netloc}: {getattr(e, 'reason', e)}")
    report = None
    with resp:
        for raw in resp:
            item = json.loads(raw)
            ev = item.get("event")
            if ev == "line":
                out(item["text"])
            elif ev == "ask":
                out(f"       ? {item['text']} (waits for an answer in the bench's page)")
            elif ev == "told":
                out(f"  >> {item['text']}")
            elif ev == "end":
                report = item["report"]
    if report is None:
        raise Stop("the bench ended the run without its report")
    return report


def make_target(args, p):
    if args.sim:
        model = args.model or p.models[0]
        return SimTarget(model, args.build)
    if args.board:
        return VirtualBoardTarget(args.model or p.models[0])
    return ConsoleTarget(args.console, args.power)


def main(argv=None):
    ap = argparse.ArgumentParser(prog="run-procedure.sh",
                                 description="Runs check procedures on a board.")
    ap.add_argument("files", nargs="+", metavar="FILE")
    t = ap.add_mutually_exclusive_group(required=True)
    t.add_argument("--sim", action="store_true", help="the simulator")
    t.add_argument("--board", action="store_true", help="the virtual board (QEMU)")
    t.add_argument("--console", metavar="URL",
                   help="a console: telnet://HOST:PORT, rfc2217://HOST:PORT or /dev/ttyUSB0")
    t.add_argument("--bench", metavar="URL",
                   help="an open bench (its URL with the token): runs there, watched in its page")
    ap.add_argument("--model", help="the model to simulate or boot (default: the procedure's first)")
    ap.add_argument("--build", help="the build folder of the simulator (default build/)")
    ap.add_argument("--power", metavar="CMD", help="with --console: a command that power-cycles the board")
    o = ap.add_mutually_exclusive_group()
    o.add_argument("--answers", metavar="FILE", help="the operator's answers (step number or name: yes/no/done)")
    o.add_argument("--no-operator", action="store_true", help="skip what needs an operator")
    ap.add_argument("--junit", metavar="FILE", help="write JUnit XML")
    ap.add_argument("--json", metavar="FILE", help="write the JSON report")
    args = ap.parse_args(argv)

    try:
        procs = [proc.load(f) for f in args.files]
    except proc.ProcedureError as e:
        print(f"run-procedure: {e}", file=sys.stderr)
        return 2
    if args.answers:
        operator = Operator.from_file(args.answers)
    else:
        operator = Operator(present=not args.no_operator and sys.stdin.isatty())
    reports = []
    for p in procs:
        if args.model and not p.applies_to(args.model):
            msg = f"this procedure is for {', '.join(p.models)}; the board is {args.model}"
            print(f"{p.name}: stopped: {msg}")
            reports.append({"procedure": p.name, "file": str(p.path), "result": "failed",
                            "stopped": msg, "identity": None, "steps": [], "seconds": 0,
                            "counts": {"passed": 0, "failed": 0, "skipped": 0, "not run": len(p.steps)}})
            continue
        if args.bench:
            try:
                reports.append(run_on_bench(args.bench, p, operator.answers, not args.no_operator))
            except Stop as e:
                print(f"{p.name}: stopped: {e}")
                reports.append({"procedure": p.name, "file": str(p.path), "result": "failed",
                                "stopped": str(e), "identity": None, "steps": [], "seconds": 0,
                                "counts": {"passed": 0, "failed": 0, "skipped": 0,
                                           "not run": len(p.steps)}})
            continue
        try:
            target = make_target(args, p)
        except (StepFailed, Stop, OSError) as e:
            print(f"run-procedure: cannot reach the board: {e}", file=sys.stderr)
            return 3
        try:
            reports.append(run_procedure(p, target, operator))
        finally:
            target.close()
    if args.json:
        pathlib.Path(args.json).write_text(json.dumps(reports, indent=2, ensure_ascii=False) + "\n")
    if args.junit:
        pathlib.Path(args.junit).write_text(junit(reports) + "\n")
    return 0 if all(r["result"] == "passed" for r in reports) else 1


if __name__ == "__main__":
    signal.signal(signal.SIGINT, signal.default_int_handler)
    sys.exit(main())
