"""Check procedures at the bench: recording one from what a person does (the Record
button), and running one on the bench's board with every page watching (the Run button,
and `scripts/run-procedure.sh FILE --bench URL` through POST /procedure/run).

Recording: qnboard.record.Recorder turns the console, the keys, the panel's choices and
the board's state into steps. Running: the runner's own steps (qnboard.runner.run_step)
on a BenchTarget, whose console is the bench session's and whose link is the session's
board link; operator questions are dialogs in the pages.

The session calls the hooks: console(data, text), event(item, ev), keys(keys),
before_choice(), choice(kind, msg), shell_started(), shell_ended(); handle(client, msg)
for the pages' procedure messages, refused(type) for what a run does not let a page do.
"""

import asyncio
import copy
import itertools
import json
import queue
import re
import threading
import time

import pexpect
import pexpect.spawnbase
from aiohttp import web

from qnboard import procedure, record, runner
from qnboard.keys import split_keys

# What a page may not do while a procedure runs on the board.
RUN_BUSY = ("key", "paste", "control", "fault", "ddr", "panel", "input", "restart", "record")
NAME_MAX = 200  # characters of a file's name the bench keeps
IDENTITY_LINE = "mbinfo"  # what the runner types after a start step


class Refused(Exception):
    """A run refused: the reason; status, the HTTP status that says it."""

    def __init__(self, reason, status=409):
        super().__init__(reason)
        self.status = status


def describe(step):
    """A step as one line for the page's list: its kind, its word, its fields."""
    a = step.args
    rest = []
    for k, v in a.items():
        if k in (step.kind, "name"):
            continue
        if isinstance(v, list):
            v = ", ".join("/%s/" % t["re"] if isinstance(t, dict) else repr(t) for t in v)
            if len(v) > 100:
                v = v[:100] + "…"
        rest.append("%s %s" % (k, v))
    head = "%s %s" % (step.kind, a[step.kind])
    return head + (" — " + "; ".join(rest) if rest else "")


class BenchProcedures:
    """The recording and the run of one bench session."""

    def __init__(self, session):
        self.s = session
        self.recorder = None
        self.run = None
        self.syncs = 0
        self.sync_cond = threading.Condition()

    # ---- hooks of the session ------------------------------------------------------

    def _state(self):
        return self.s.state.fields() if self.s.state is not None else {}

    def console(self, data, text):
        if self.recorder is not None and text:
            self.recorder.console(text, self._state())
        if self.run is not None:
            self.run.console.feed(data)

    def event(self, item, ev):
        if ev["kind"] == "sync":
            with self.sync_cond:
                self.syncs += 1
                self.sync_cond.notify_all()
        if self.recorder is not None:
            for p in item.get("parts", []):
                self.recorder.pulse(p)

    def keys(self, keys):
        if self.recorder is not None:
            self.recorder.keys(keys, self._state())

    def before_choice(self):
        if self.recorder is not None:
            self.recorder.before_choice(self._state())

    def choice(self, kind, msg):
        if self.recorder is not None:
            self.recorder.choice(kind, msg, self._state())

    def shell_started(self):
        if self.recorder is not None:
            self.recorder.shell_started(self._state())

    def shell_ended(self):
        if self.recorder is not None:
            self.recorder.shell_ended()

    def refused(self, t):
        """Why a page's message of type t is refused now, or None."""
        if self.run is not None and t in RUN_BUSY:
            return "a procedure is running on the board (%s): Stop ends it" % self.run.proc.name
        return None

    def hello(self):
        return {"recording": self._recording() if self.recorder else None,
                "run": self.run.summary() if self.run else None}

    def _recording(self):
        return {"type": "record", "event": "steps", "steps": self.recorder.visible_steps(),
                "model": self.recorder.model, "recording": self.recorder.running}

    def _broadcast_steps(self):
        if self.recorder is not None:
            self.s.broadcast(self._recording())

    # ---- the pages' messages --------------------------------------------------------

    async def handle(self, client, msg):
        t, mid = msg["type"], msg["id"]

        def answer(ok=True, reason="", **kw):
            client.put(dict({"type": "answer", "id": mid, "ok": ok, "reason": reason}, **kw))

        if t == "record":
            await self.record(msg["action"], answer)
        elif t == "record-save":
            if self.recorder is None or self.recorder.running:
                answer(False, "nothing recorded to save: Record, then Stop")
                return
            try:
                text = self.recorder.yaml(msg["name"], msg["accept"])
            except procedure.ProcedureError as e:
                answer(False, "the recording does not make a procedure: %s" % e)
                return
            answer(text=text, file=file_name(msg["name"] or "recorded on %s" % self.recorder.model))
        elif t == "procedure-run":
            try:
                self.begin_run(msg["text"], msg["name"] or "procedure.yaml")
            except Refused as e:
                answer(False, str(e))
                return
            answer()
        elif t == "procedure-answer":
            if self.run is None or not self.run.give_answer(msg["ask"], msg["answer"]):
                answer(False, "no such question waits")
                return
            answer()
        elif t == "procedure-stop":
            if self.run is None:
                answer(False, "no procedure runs")
                return
            self.run.stop("stopped at the bench")
            answer()

    async def record(self, action, answer):
        if action == "start":
            if self.run is not None:
                answer(False, "a procedure is running: record after it")
                return
            if self.s.state is None:
                answer(False, "the board is not connected yet")
                return
            if not self.s.running:
                answer(False, "the shell is not running: restart it first")
                return
            rec = record.Recorder(self._state(), "virtual board" if self.s.args.board else "simulator")
            rec.listeners.append(self._broadcast_steps)
            self.recorder = rec
            # A run types mbinfo after its start step (the board's identity), and the
            # shell's answers name the model once it has: so does the recording.
            keys = split_keys(IDENTITY_LINE + "\r")
            if self.s.keys.maxsize - self.s.keys.qsize() >= len(keys):
                rec.skip = 1
                rec.keys(keys, self._state())
                for k in keys:
                    self.s.keys.put_nowait((k, True))
            self._broadcast_steps()
            answer()
        elif action == "stop":
            if self.recorder is None or not self.recorder.running:
                answer(False, "not recording")
                return
            await self.settle()
            self.recorder.stop(self._state())
            self.recorder.running = False
            self._broadcast_steps()
            answer(steps=self.recorder.steps, suggestions=self.recorder.suggestions(),
                   name="Recorded on %s" % self.recorder.model)
        elif action == "discard":
            self.recorder = None
            self.s.broadcast({"type": "record", "event": "discarded"})
            answer()

    async def settle(self, timeout=5.0):
        """Every board event before now applied: a sync mark goes through the board and
        comes back on the event stream."""
        if self.s.link is None:
            return
        with self.sync_cond:
            seen = self.syncs
        ok, _ = await self.s.control("sync")
        deadline = time.monotonic() + timeout
        while ok and self.syncs <= seen and time.monotonic() < deadline:
            await asyncio.sleep(0.01)

    # ---- runs ------------------------------------------------------------------------

    def begin_run(self, text, name, answers=None, present=True, sink=None):
        """Loads a procedure and starts it on the bench's board. Raises Refused with the
        reason (the loader's message for a bad file)."""
        if self.run is not None:
            raise Refused("a procedure is running already: %s" % self.run.proc.name)
        if self.recorder is not None and self.recorder.running:
            raise Refused("recording: stop the recording first")
        try:
            p = procedure.loads(text, name)
        except procedure.ProcedureError as e:
            raise Refused(str(e), 400)
        self.run = BenchRun(self, p, answers, present)
        if sink is not None:
            self.run.sinks.append(sink)
        self.run.start()
        return self.run

    def run_ended(self, run):
        if self.run is run:
            self.run = None

    async def close(self):
        if self.run is not None:
            self.run.stop("the bench closed")
            await asyncio.get_running_loop().run_in_executor(None, self.run.thread.join, 10)


def file_name(name):
    slug = re.sub(r"[^A-Za-z0-9]+", "-", name).strip("-").lower()[:60] or "recorded"
    return slug + ".yaml"


# ---- a run on the bench's board -----------------------------------------------------------

class BenchConsole(pexpect.spawnbase.SpawnBase):
    """The bench session's console as a pexpect child: what the shell writes comes in
    through feed(), keys go to the session's key queue (one key a message, paced)."""

    def __init__(self, run):
        super().__init__(timeout=30)
        self.run = run
        self.q = queue.Queue()

    def feed(self, data):
        self.q.put(data)

    def read_nonblocking(self, size=1, timeout=-1):
        if timeout == -1:
            timeout = self.timeout
        if self.run.stopped:
            raise pexpect.EOF(self.run.stopped)
        try:
            data = self.q.get(timeout=None if timeout is None else max(timeout, 0))
        except queue.Empty:
            raise pexpect.TIMEOUT("no data")
        if data is None:
            raise pexpect.EOF(self.run.stopped or "the console closed")
        while len(data) < size:
            try:
                more = self.q.get_nowait()
            except queue.Empty:
                break
            if more is None:
                self.q.put(None)
                break
            data += more
        self._log(data, "read")
        return data

    def send(self, s):
        for key in split_keys(s.decode("latin-1") if isinstance(s, bytes) else s):
            self.run.key(key)

    def close(self):
        pass


class BenchLink:
    """The session's board link, from the run's thread."""

    def __init__(self, run):
        self.run = run

    def control(self, line):
        ok, why = self.run.call(self.run.s.control(line))
        self.run.loop.call_soon_threadsafe(self.run.s.broadcast, {
            "type": "control", "line": line, "ok": ok, "reason": why})
        if ok and line.startswith("reg "):
            self.run.call(self.run.s.refresh_state())
        return ok, why

    def settle(self, timeout=5.0):
        self.run.call(self.run.procs.settle(timeout))
        return self.run.call(_fields(self.run.s))

    def close(self):
        pass


async def _fields(session):
    return copy.deepcopy(session.state.fields()) if session.state else {"parts": [], "buzzer": 0}


class BenchTarget(runner.Target):
    """The bench's board: its console and its link are the session's."""

    def __init__(self, run):
        super().__init__()
        self.run = run
        s = run.s
        self.name = "bench (%s)" % ("virtual board" if s.args.board else "simulator")
        self.con = BenchConsole(run)
        self._link = BenchLink(run)

    @property
    def link(self):
        return self._link if self.run.s.link is not None else None

    def _write(self, data):
        self.con.send(data)

    def start(self, cmd, timeout=30):
        s = self.run.s
        if s.running:
            self.in_shell = True
            return "the shell is running at the bench"
        self.drain()
        self.run.call(s.start_shell())
        out = self.expect(runner.PROMPT_RE, timeout)
        self.run.call(s.ready(timeout))
        self.in_shell = True
        return out

    def leave(self, word, timeout=30):
        self.type_word(word)
        deadline = time.monotonic() + timeout
        while self.run.s.running:
            if time.monotonic() > deadline:
                raise runner.StepFailed("the shell did not end within %g s" % timeout)
            self._read(0.1)
        return ""

    def power_cycle(self, operator, step):
        if self.link is None:
            return super().power_cycle(operator, step)
        ok, why = self.link.control("reset")
        if not ok:
            raise runner.StepFailed("the board refused the reset: %s" % why)
        self.run.call(self.run.s.refresh_state())
        return "the bench's board switched off and on"

    def close(self):
        pass


class BenchOperator(runner.Operator):
    """The person at the bench: questions and instructions are dialogs in the pages."""

    def __init__(self, run, answers=None, present=True):
        super().__init__(answers, present)
        self.run = run

    def available(self, step):
        return self._lookup(step) is not None or (self.present and bool(self.run.s.clients))

    def question(self, step, text):
        a = self._lookup(step)
        if a is None:
            a = self.run.ask(step, "question", text)
        return "yes" if a in ("y", "yes", "true") else "no"

    def instruction(self, step, text):
        a = self._lookup(step)
        return a if a is not None else self.run.ask(step, "instruction", text)

    def tell(self, text):
        if self.present and self.run.s.clients:
            self.run.ask(None, "tell", text)
        else:
            self.run.emit({"event": "told", "text": text})


class BenchRun:
    """One procedure run on the bench's board, in a thread of its own (the runner's
    steps block); what it does goes to every page and to the sinks (a client's stream)."""

    _asks = itertools.count(1)

    def __init__(self, procs, p, answers, present):
        self.procs = procs
        self.s = procs.s
        self.proc = p
        self.loop = asyncio.get_running_loop()
        self.stopped = None
        self.sinks = []
        self.rows = {}
        self.report = None
        self.waiting = {}  # ask id -> [threading.Event, answer]
        self.console = None
        self.target = BenchTarget(self)
        self.console = self.target.con
        self.operator = BenchOperator(self, answers, present)
        self.thread = threading.Thread(target=self._main, daemon=True, name="procedure")

    def summary(self):
        return {"type": "procedure", "event": "begin", "procedure": self.proc.name,
                "file": str(self.proc.path), "target": self.target.name,
                "steps": [{"step": st.number, "kind": st.kind, "name": st.name, "line": st.line,
                           "text": describe(st)} for st in self.proc.steps],
                "rows": list(self.rows.values()),
                "asking": [dict(w[2]) for w in list(self.waiting.values())]}

    def start(self):
        self.emit_now(self.summary())
        self.thread.start()

    # -- from the run's thread to the loop ------------------------------------------------

    def call(self, coro, timeout=None):
        return asyncio.run_coroutine_threadsafe(coro, self.loop).result(timeout)

    def key(self, key):
        def put():
            try:
                self.s.keys.put_nowait((key, False))
            except asyncio.QueueFull:
                pass
        self.loop.call_soon_threadsafe(put)

    def emit(self, item):
        self.loop.call_soon_threadsafe(self.emit_now, item)

    def emit_now(self, item):
        item = dict(item, type="procedure")
        self.s.broadcast(item)
        for q in self.sinks:
            q.put_nowait(item)

    # -- the operator ---------------------------------------------------------------------

    def ask(self, step, kind, text):
        n = next(self._asks)
        ev = threading.Event()
        item = {"event": "ask", "ask": n, "kind": kind, "text": text,
                "step": step.number if step is not None else None}
        self.waiting[n] = [ev, None, item]
        self.emit(item)
        while not ev.wait(0.2):
            if self.stopped:
                self.waiting.pop(n, None)
                raise runner.Stop(self.stopped)
        answer = self.waiting.pop(n)[1]
        self.emit({"event": "asked", "ask": n, "answer": answer})
        return answer

    def give_answer(self, n, answer):
        w = self.waiting.get(n)
        if w is None or w[0].is_set():
            return False
        w[1] = answer
        w[0].set()
        return True

    def stop(self, why):
        self.stopped = why
        if self.console is not None:
            self.console.feed(None)

    # -- the run --------------------------------------------------------------------------

    def _step(self, row):
        self.rows[row["step"]] = row
        self.emit({"event": "step", "row": row})

    def _main(self):
        try:
            rep = runner.run_procedure(self.proc, self.target, self.operator,
                                       out=lambda line: self.emit({"event": "line", "text": line}),
                                       on_step=self._step)
        except Exception as e:  # the bench goes on whatever a run does
            rep = {"procedure": self.proc.name, "file": str(self.proc.path), "result": "failed",
                   "stopped": "the run ended: %r" % e, "steps": list(self.rows.values()),
                   "identity": None, "seconds": 0,
                   "counts": {"passed": 0, "failed": 1, "skipped": 0, "not run": 0}}
        if self.stopped and not rep.get("stopped"):
            rep["stopped"] = self.stopped
        self.report = rep
        self.loop.call_soon_threadsafe(self._ended, rep)

    def _ended(self, rep):
        self.procs.run_ended(self)
        self.emit_now({"event": "end", "report": rep})


# ---- HTTP: a run for scripts/run-procedure.sh --bench -----------------------------------------

async def run_request(request):
    """POST /procedure/run {name, text, answers?, operator?}: runs the procedure on the
    bench's board as the Run button does, every page watching; the answer streams the
    run's items, one JSON a line, the last {"event": "end", "report": ...}."""
    origin = request.headers.get("Origin")
    if origin is not None and not request.app["procedure_origin_ok"](request):
        return web.Response(status=403, text="the bench takes pages of its own origin only\n")
    try:
        body = await request.json()
        text, name = body["text"], str(body.get("name") or "procedure.yaml")[:NAME_MAX]
        answers = body.get("answers")
        if not isinstance(text, str) or not (answers is None or isinstance(answers, dict)):
            raise ValueError
    except (ValueError, KeyError, TypeError):
        return web.json_response({"error": "a run is JSON: {name, text, answers?, operator?}"},
                                 status=400)
    procs = request.app["session"].procedures
    q = asyncio.Queue()
    try:
        procs.begin_run(text, name, {str(k): str(v).lower() for k, v in (answers or {}).items()},
                        bool(body.get("operator", True)), sink=q)
    except Refused as e:
        return web.json_response({"error": str(e)}, status=e.status)
    resp = web.StreamResponse(headers={"Content-Type": "application/x-ndjson",
                                       "Cache-Control": "no-store"})
    await resp.prepare(request)
    while True:
        item = await q.get()
        try:
            await resp.write((json.dumps(item, ensure_ascii=False) + "\n").encode())
        except (ConnectionError, RuntimeError):
            break  # the client went; the run goes on for the pages
        if item.get("event") == "end":
            break
    return resp


def install(app, origin_ok):
    """The run's route; origin_ok(request) is the server's check of a page's origin."""
    app["procedure_origin_ok"] = origin_ok
    app.router.add_post("/procedure/run", run_request)
