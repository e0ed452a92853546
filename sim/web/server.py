#!/usr/bin/python3
"""The virtual bench: one shared session of qn_shell on the simulated board (or the
virtual board's console), served to browsers with the board panel, a logic analyzer
and the event log.

  server.py [--board] [--model NAME] [--port N] [--listen ADDR] [-- OPTIONS...]

OPTIONS go to the simulator's launcher (qnsim) or to scripts/run-board.sh. The server
prints one line of its own on standard output: the page's URL with its token.
"""

import argparse
import asyncio
import collections
import fcntl
import hmac
import ipaddress
import json
import os
import re
import secrets
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import termios
import time
import tty

from aiohttp import WSCloseCode, WSMsgType, web

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.dirname(HERE))  # the qnboard package (sim/qnboard)

import benchcore  # noqa: E402
import procedures as bench_procedures  # noqa: E402
from qnboard import control as board_control  # noqa: E402
from qnboard import keys, parse  # noqa: E402
from qnboard.link import SimLink, VirtLink  # noqa: E402
from qnboard.vcd import vcd_text  # noqa: E402

REPO = os.path.dirname(os.path.dirname(HERE))
CLIENT_QUEUE_MAX = 4096  # messages waiting for one page; more are dropped and counted
CLIENTS_MAX = 16  # pages connected at once; the next one is refused with a reason
TOKEN_MAX = 64  # bytes: a longer token is refused before it is compared
BOARD_LOG_LINES = 200  # QEMU's last lines of its own output, kept for the report of its end
EVENT_HISTORY = 5000  # recent events a page that connects late receives
PIN_HISTORY = 200000  # pin changes kept for the analyzer and the waveform download
SCROLLBACK = 256 * 1024  # console characters a page that connects late receives

# The virtual board: its root prompt, and the line that starts the shell there and reports
# its exit status afterwards.
BOARD_PROMPT = re.compile(rb"qnboard:[^\r\n]*# (\x1b\[6n)?$")  # (busybox asks the cursor)
CURSOR_REPORT = re.compile(rb"^\x1b\[\d+;\d+R$")
BOARD_START = b"qn_shell; echo QN_SHELL_EXIT=$?\r"
BOARD_EXIT = re.compile(rb"QN_SHELL_EXIT=(\d+)")


def log(*a):
    print("bench:", *a, file=sys.stderr, flush=True)


class Client:
    def __init__(self, ws):
        self.ws = ws
        self.queue = collections.deque()
        self.wake = asyncio.Event()
        self.dropped = 0  # lost since the last report
        self.dropped_total = 0
        self.lost_console = False

    def put(self, item):
        if len(self.queue) >= CLIENT_QUEUE_MAX:
            self.dropped += 1
            self.dropped_total += 1
            if item.get("type") == "console":
                self.lost_console = True
            return
        self.queue.append(item)
        self.wake.set()


class Session:
    """The one shell, the one board link, every page that watches them."""

    def __init__(self, args):
        self.args = args
        self.clients = set()
        self.tmp = tempfile.mkdtemp(prefix="qnbench.")
        self.proc = None
        self.master = None
        self.slave = None
        self.running = False
        self.exit_status = None
        self.runs = 0
        self.decoder = None
        self.pacer = keys.KeyPacer()  # sees the console output, paces the keys
        # Set (and replaced by a fresh one) on every console read and when the shell ends:
        # whoever waits for output waits on the event current when it last looked.
        self.output_event = asyncio.Event()
        self.scrollback = collections.deque()
        self.scroll_len = 0
        # Keys typed and not yet written: bounded, a paste that does not fit is refused whole.
        self.keys = asyncio.Queue(maxsize=benchcore.KEY_QUEUE_MAX)
        self.tasks = set()  # every task the session started; close() cancels them
        self.writer = None
        self.closing = False
        self.link = None
        self.link_lock = asyncio.Lock()
        self.events_task = None
        self.link_task = None
        self.board = None  # QEMU (through scripts/run-board.sh) in board sessions
        self.board_log = None
        self.board_output = collections.deque(maxlen=BOARD_LOG_LINES)
        self.board_tail = b""
        self.board_paths = None
        self.state = None  # parse.BoardState once the board link is up
        self.events = collections.deque(maxlen=EVENT_HISTORY)
        self.pin_start = None  # (t_us, [9 levels]) at the snapshot
        self.pin_changes = collections.deque(maxlen=PIN_HISTORY)
        self.last_t = 0
        self.cols, self.rows = 100, 30
        self.stats = {"events": 0, "keys": 0, "controls": 0, "bad_messages": 0, "link_dropped": 0}
        self.procedures = bench_procedures.BenchProcedures(self)  # recording, runs

    # ---- tasks -------------------------------------------------------------------

    def spawn(self, coro):
        """Starts coro as a task of the session: kept until it ends, cancelled by close()."""
        task = asyncio.get_running_loop().create_task(coro)
        self.tasks.add(task)
        task.add_done_callback(self._task_done)
        return task

    def _task_done(self, task):
        self.tasks.discard(task)
        if not task.cancelled() and task.exception() is not None:
            log("task failed:", repr(task.exception()))

    def signal_output(self):
        ev, self.output_event = self.output_event, asyncio.Event()
        ev.set()

    async def start(self):
        """Starts the key writer and the shell."""
        if self.writer is None:
            self.writer = self.spawn(self.key_writer())
        await self.start_shell()

    # ---- the shell -------------------------------------------------------------

    def command(self):
        extra = list(self.args.extra)
        qnsim = os.path.join(self.args.build, "qnsim")
        shell = os.path.join(self.args.build, "qn_shell")
        cmd = [qnsim, "--ctl", os.path.join(self.tmp, "ctl")]
        if self.args.model:
            cmd += ["--model", self.args.model]
        return cmd + extra + ["--", shell]

    async def start_shell(self):
        if self.args.board:
            await self.start_board_shell()
            return
        self.runs += 1
        link_path = os.path.join(self.tmp, "link%d.sock" % self.runs)
        master, slave = os.openpty()
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", self.rows, self.cols, 0, 0))
        env = dict(os.environ, QNSIM_LINK=link_path, TERM="xterm-256color")

        def child_setup():
            os.setsid()
            fcntl.ioctl(0, termios.TIOCSCTTY, 0)

        self.proc = subprocess.Popen(self.command(), stdin=slave, stdout=slave, stderr=slave,
                                     env=env, preexec_fn=child_setup, close_fds=True,
                                     cwd=self.args.root)
        # The server keeps the terminal's far end open too: it asks it how many typed bytes
        # the shell has not read yet.
        self.slave = slave
        os.set_blocking(master, False)
        self.master = master
        self.spawn(self.watch_exit(self.proc))
        self.decoder = benchcore.ConsoleDecoder()
        self.running = True
        self.exit_status = None
        asyncio.get_running_loop().add_reader(master, self.on_console)
        self.broadcast({"type": "shell", "running": True, "status": None, "run": self.runs})
        self.link_task = self.spawn(self.connect_link(link_path))

    # ---- the virtual board: QEMU's console UART on a pty, qn_shell at its root prompt

    async def boot_board(self):
        ctl = os.path.join(self.tmp, "ctl.sock")
        events = os.path.join(self.tmp, "events.sock")
        cmd = [os.path.join(self.args.root, "scripts", "run-board.sh"), "--serial-pty",
               "--ctl", ctl, "--events", events]
        if self.args.model:
            cmd += ["--model", self.args.model]
        cmd += list(self.args.extra)
        self.board = await asyncio.create_subprocess_exec(
            *cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
            start_new_session=True, cwd=self.args.root)
        pty_path = None
        seen = []
        while pty_path is None:
            line = await self.board.stdout.readline()
            if not line:
                raise RuntimeError("the virtual board did not start:\n" +
                                   b"".join(seen[-40:]).decode(errors="replace"))
            seen.append(line)
            m = re.search(rb"(/dev/pts/\d+)", line)
            if m:
                pty_path = m.group(1).decode()
        self.board_log = self.spawn(self.read_board_output())
        fd = os.open(pty_path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        tty.setraw(fd)
        self.master = fd
        self.decoder = benchcore.ConsoleDecoder()
        asyncio.get_running_loop().add_reader(fd, self.on_console)
        self.board_paths = (ctl, events)
        # the board's root prompt
        deadline = time.monotonic() + 300
        while not BOARD_PROMPT.search(self.board_tail):
            if time.monotonic() > deadline or self.board.returncode is not None:
                raise RuntimeError("no root prompt on the virtual board's console: %r" % self.board_tail[-200:])
            os.write(fd, b"\r")
            await asyncio.sleep(1.0)

    async def read_board_output(self):
        """QEMU's own output (its monitor, its warnings) after boot, read to its end: each
        line goes to the bench's log and the last ones are kept; when QEMU ends while the
        bench runs, the shell on it has ended too."""
        while True:
            line = await self.board.stdout.readline()
            if not line:
                break
            text = line.decode(errors="replace").rstrip("\r\n")
            self.board_output.append(text)
            log("qemu:", text)
        if not self.closing:
            log("the virtual board ended")
            await self.board_shell_ended(255)

    async def start_board_shell(self):
        if self.board is None:
            await self.boot_board()
        self.runs += 1
        self.running = True
        self.exit_status = None
        self.broadcast({"type": "shell", "running": True, "status": None, "run": self.runs})
        os.write(self.master, BOARD_START)
        if self.link is None:
            self.link_task = self.spawn(self.connect_board_link())

    async def connect_board_link(self):
        try:
            ctl, events = self.board_paths
            deadline = time.monotonic() + 60
            while not (os.path.exists(ctl) and os.path.exists(events)):
                if time.monotonic() > deadline:
                    raise RuntimeError("the board's UART sockets did not appear")
                await asyncio.sleep(0.05)
            link = VirtLink(ctl, events)
            await link.open()
            await self.attach_link(link)
        except asyncio.CancelledError:
            raise
        except Exception as e:
            log("no board link:", e)

    async def board_shell_ended(self, status):
        if not self.running:
            return
        self.running = False
        self.exit_status = status
        self.signal_output()
        while not self.keys.empty():
            self.keys.get_nowait()
        self.broadcast({"type": "shell", "running": False, "status": status, "run": self.runs})
        self.procedures.shell_ended()
        log("the shell ended with status", status)

    async def ready(self, timeout):
        """Waits until the shell has drawn its prompt and the board link is up (or the
        shell has ended, or timeout seconds have passed)."""
        try:
            async with asyncio.timeout(timeout):
                while self.running and self.pacer.watch.count == 0:
                    await self.output_event.wait()
                if self.link_task is not None:
                    await asyncio.wait({self.link_task})
        except TimeoutError:
            return False
        return self.running

    def on_console(self):
        try:
            data = os.read(self.master, 65536)
        except BlockingIOError:
            return
        except OSError:
            data = b""
        if not data:
            asyncio.get_running_loop().remove_reader(self.master)
            if self.args.board:
                self.spawn(self.board_shell_ended(255))
            else:
                self.spawn(self.shell_ended())
            return
        self.pacer.feed(data)
        self.signal_output()
        if self.args.board:
            self.board_tail = (self.board_tail + data)[-256:]
            m = BOARD_EXIT.search(self.board_tail)
            if m:
                self.board_tail = b""
                self.spawn(self.board_shell_ended(int(m.group(1))))
        text = self.decoder.decode(data)
        self.procedures.console(data, text)
        if text:
            self.add_scrollback(text)
            self.broadcast({"type": "console", "data": text})

    def add_scrollback(self, text):
        self.scrollback.append(text)
        self.scroll_len += len(text)
        while self.scroll_len > SCROLLBACK and len(self.scrollback) > 1:
            self.scroll_len -= len(self.scrollback.popleft())

    async def watch_exit(self, proc):
        await asyncio.get_running_loop().run_in_executor(None, proc.wait)
        if proc is not self.proc or self.master is None:
            return
        await asyncio.sleep(0.05)
        self.on_console()  # what the shell wrote last
        await self.shell_ended()

    def unread_keys(self):
        """Bytes typed that the shell has not read yet (None where unknown)."""
        if self.slave is None:
            return None
        try:
            return struct.unpack("i", fcntl.ioctl(self.slave, termios.FIONREAD, b"\0\0\0\0"))[0]
        except OSError:
            return None

    async def shell_ended(self):
        if not self.running:
            return
        self.running = False
        self.signal_output()
        proc = self.proc
        loop = asyncio.get_running_loop()
        rc = await loop.run_in_executor(None, proc.wait)
        loop.remove_reader(self.master)
        for fd in (self.master, self.slave):
            try:
                os.close(fd)
            except (OSError, TypeError):
                pass
        self.master = self.slave = None
        self.exit_status = rc if rc >= 0 else 128 - rc
        await self.disconnect_link()
        # Keys typed for the ended shell go nowhere.
        while not self.keys.empty():
            self.keys.get_nowait()
        text = "\r\n[the shell ended with status %d]\r\n" % self.exit_status
        self.add_scrollback(text)
        self.broadcast({"type": "console", "data": text})
        self.broadcast({"type": "shell", "running": False, "status": self.exit_status,
                        "run": self.runs})
        self.procedures.shell_ended()
        log("the shell ended with status", self.exit_status)

    async def key_writer(self):
        """Writes the keys one at a time, each in one write, paced by the key pacer
        (qnboard.keys): the shell decodes the bytes of one read as one key."""
        while True:
            key, paste = await self.keys.get()
            if not self.running or self.master is None:
                continue
            mark = self.pacer.mark(key, paste)
            if not await self.write_key(key):
                continue
            self.stats["keys"] += 1
            await keys.wait_async(self.pacer, mark, lambda: self.output_event,
                                  still=lambda: self.running, unread=self.unread_keys)

    async def write_key(self, key):
        """One key in one write; when the terminal's input is full, waits until it takes
        the key. False when the terminal is gone."""
        loop = asyncio.get_running_loop()
        while self.master is not None:
            try:
                n = os.write(self.master, key)
            except BlockingIOError:
                fd, ready = self.master, loop.create_future()
                loop.add_writer(fd, lambda: ready.done() or ready.set_result(None))
                try:
                    await ready
                finally:
                    loop.remove_writer(fd)
                continue
            except OSError:
                return False
            if n != len(key):
                log("short console write", n, len(key))
            return n > 0
        return False

    def resize(self, cols, rows):
        self.cols, self.rows = cols, rows
        if self.master is not None:
            try:
                fcntl.ioctl(self.master, termios.TIOCSWINSZ, struct.pack("HHHH", rows, cols, 0, 0))
            except OSError:
                pass

    # ---- the board link --------------------------------------------------------

    async def connect_link(self, path):
        try:
            await self._connect_link(path)
        except asyncio.CancelledError:
            raise
        except Exception as e:
            log("no board link:", e)

    async def _connect_link(self, path):
        deadline = time.monotonic() + 15
        while not os.path.exists(path):
            if time.monotonic() > deadline or not self.running:
                log("the simulator's link socket did not appear:", path)
                return
            await asyncio.sleep(0.02)
        link = SimLink(path)
        for _ in range(100):
            try:
                await link.open()
                break
            except OSError:
                await asyncio.sleep(0.05)
        else:
            log("cannot open the board link", path)
            return
        await self.attach_link(link)

    async def attach_link(self, link):
        self.link = link
        # Subscribed before the snapshot: no event after it is missed.
        async with self.link_lock:
            stream = await link.subscribe()
        await self.refresh_state()
        self.events_task = self.spawn(self.pump_events(stream))

    async def disconnect_link(self):
        for task in (self.link_task,):
            if task and not task.done():
                task.cancel()
        if self.events_task:
            self.events_task.cancel()
            try:
                await self.events_task
            except (asyncio.CancelledError, Exception):
                pass
            self.events_task = None
        if self.link:
            try:
                await self.link.close()
            except Exception:
                pass
            self.link = None

    async def refresh_state(self):
        if not self.link:
            return
        async with self.link_lock:
            lines = await self.link.state()
        self.state = parse.BoardState(parse.parse_state(lines))
        st = self.state.fields()
        if self.pin_start is None:
            self.pin_start = (st["time_us"], list(st["pins"]))
        self.last_t = max(self.last_t, st["time_us"])
        self.broadcast({"type": "state", "state": st})

    async def pump_events(self, stream):
        try:
            async for line in stream:
                ev = parse.parse_event(line)  # the stream's Event: parsed already
                self.on_event(ev)
                if ev["kind"] in parse.RESNAPSHOT:
                    await self.refresh_state()
        except asyncio.CancelledError:
            raise
        except Exception as e:
            log("the board link's event stream ended:", e)

    def on_event(self, ev):
        """One event (parse_event()'s dict) into the board's state, the waveform, the
        history and every page: the page gets the fields, never a line to parse."""
        self.stats["events"] += 1
        t = ev["t_us"]
        self.last_t = max(self.last_t, t)
        item = {"type": "event", "t": t, "kind": ev["kind"], "group": ev["group"],
                "text": ev["text"], "log": ev["trace"]}
        if "levels" in ev:
            item["bank"], item["levels"] = ev["bank"], ev["levels"]
            self.pin_changes.append((t, ev["bank"], ev["levels"]))
        if self.state is not None:
            item.update(self.state.apply(ev))
        self.procedures.event(item, ev)
        if ev["kind"] == "dropped":
            self.stats["link_dropped"] += ev.get("count", 0)
            item["link_dropped"] = self.stats["link_dropped"]
        self.events.append(item)
        self.broadcast(item)

    async def control(self, line):
        if not self.link:
            return False, "the board is not connected"
        async with self.link_lock:
            self.stats["controls"] += 1
            return await self.link.control(line)

    def vcd(self):
        if self.pin_start is None:
            return None
        start_t, levels = self.pin_start
        changes = [c for c in self.pin_changes if c[0] >= start_t]
        return vcd_text(start_t, levels, changes, self.last_t)

    # ---- pages -----------------------------------------------------------------

    def broadcast(self, item):
        for c in self.clients:
            c.put(item)

    def hello(self):
        return {"type": "hello", "state": self.state.fields() if self.state else None,
                "groups": parse.GROUPS, "link_dropped": self.stats["link_dropped"],
                "console": "".join(self.scrollback),
                "events": list(self.events),
                "pins": {"start": self.pin_start, "changes": list(self.pin_changes)[-20000:]},
                "shell": {"running": self.running, "status": self.exit_status,
                          "run": self.runs},
                "mode": "board" if self.args.board else "simulator",
                "procedures": self.procedures.hello(),
                "limits": limits(),
                "cols": self.cols, "rows": self.rows}

    async def close(self):
        """Ends the shell, the board and every task of the session; removes its folder
        whatever happens on the way."""
        try:
            await self._close()
        finally:
            shutil.rmtree(self.tmp, ignore_errors=True)

    async def _close(self):
        self.closing = True
        await self.procedures.close()
        await self.disconnect_link()
        if self.board is not None and self.board.returncode is None:
            try:
                self.board.stdin.write(b"quit\n")  # QEMU's monitor
                await self.board.stdin.drain()
                await asyncio.wait_for(self.board.wait(), 10)
            except (OSError, asyncio.TimeoutError, ConnectionError):
                for sig in (signal.SIGTERM, signal.SIGKILL):
                    try:
                        os.killpg(self.board.pid, sig)
                        await asyncio.wait_for(self.board.wait(), 5)
                        break
                    except (OSError, asyncio.TimeoutError):
                        pass
        if self.board_log:
            # QEMU has ended: what it wrote last is read to the end of its output
            try:
                await asyncio.wait_for(asyncio.shield(self.board_log), 5)
            except (asyncio.TimeoutError, Exception):
                pass
        if self.proc and self.proc.poll() is None:
            try:
                os.killpg(self.proc.pid, signal.SIGTERM)
            except OSError:
                pass
            try:
                await asyncio.get_running_loop().run_in_executor(None, self.proc.wait, 5)
            except subprocess.TimeoutExpired:
                try:
                    os.killpg(self.proc.pid, signal.SIGKILL)
                except OSError:
                    pass
                self.proc.wait()
        if self.master is not None:
            try:
                asyncio.get_running_loop().remove_reader(self.master)
                os.close(self.master)
            except OSError:
                pass
            self.master = None
        if self.slave is not None:
            try:
                os.close(self.slave)
            except OSError:
                pass
            self.slave = None
        # every task the session started, ended before the session is
        tasks = [t for t in self.tasks if t is not asyncio.current_task()]
        for t in tasks:
            t.cancel()
        await asyncio.gather(*tasks, return_exceptions=True)
        self.writer = None


# ---- HTTP ----------------------------------------------------------------------
#
# Every request names this server in its Host header (the address and port it came in
# on, or localhost on loopback: a name an attacker's DNS points here is refused), and
# carries the token: in the page's address the first time, then in the cookie the page
# sets for this port. The WebSocket takes pages of those origins only.

def served_hosts(request):
    """The Host header values that name this server: the address and port the connection
    came in on; on loopback also localhost."""
    sock = request.transport.get_extra_info("sockname") if request.transport else None
    if not sock:
        return set()
    addr, port = sock[0], sock[1]
    try:
        ip = ipaddress.ip_address(addr.split("%")[0])
    except ValueError:
        return set()
    if ip.version == 6 and ip.ipv4_mapped:
        ip = ip.ipv4_mapped
    names = [str(ip) if ip.version == 4 else "[%s]" % ip]
    if ip.is_loopback:
        names.append("localhost")
    hosts = {"%s:%d" % (n, port) for n in names}
    if port == 80:
        hosts.update(names)
    return hosts


def host_ok(request):
    return request.headers.get("Host", "").lower() in served_hosts(request)


def origin_ok(request):
    origin = request.headers.get("Origin", "").lower()
    return origin in {"http://" + h for h in served_hosts(request)}


def cookie_name(request):
    """The token's cookie: one per port, since cookies do not tell ports apart."""
    sock = request.transport.get_extra_info("sockname") if request.transport else None
    return "qnbench_%d" % (sock[1] if sock else 0)


def token_ok(request):
    """The token of the address, else the port's cookie, compared as bytes; an empty,
    overlong or undecodable token is refused."""
    if "token" in request.query:
        given = request.query["token"]
    else:
        given = request.cookies.get(cookie_name(request), "")
    raw = given.encode("utf-8", "surrogatepass")
    if not raw or len(raw) > TOKEN_MAX:
        return False
    return hmac.compare_digest(raw, request.app["token"].encode("ascii"))


def refused(text="the bench needs the token of its URL", status=403):
    return web.Response(status=status, text=text + "\n")


OPEN_PATHS = ("/favicon.ico",)


@web.middleware
async def guard(request, handler):
    if not host_ok(request):
        hosts = sorted(served_hosts(request))
        return refused("this bench answers to http://%s only" % hosts[0] if hosts else
                       "this bench does not know the address it serves", status=421)
    if request.path not in OPEN_PATHS and not token_ok(request):
        return refused()
    return await handler(request)


async def page(request):
    resp = web.FileResponse(os.path.join(HERE, "static", "index.html"))
    resp.headers["Cache-Control"] = "no-store"
    resp.headers["Referrer-Policy"] = "no-referrer"
    resp.headers["Content-Security-Policy"] = (
        "default-src 'self'; connect-src 'self'; img-src 'self' data: blob:; "
        "style-src 'self' 'unsafe-inline'")
    # the page then takes the token out of its address: from here on the cookie carries it
    resp.set_cookie(cookie_name(request), request.app["token"], httponly=True,
                    samesite="Strict", path="/")
    return resp


STATIC = {
    "bench.js": ("static", "bench.js"),
    "analyzer.js": ("static", "analyzer.js"),
    "bench.css": ("static", "bench.css"),
    "procedure.js": ("static", "procedure.js"),
    "xterm.js": ("node_modules", "@xterm", "xterm", "lib", "xterm.js"),
    "xterm.css": ("node_modules", "@xterm", "xterm", "css", "xterm.css"),
    "addon-fit.js": ("node_modules", "@xterm", "addon-fit", "lib", "addon-fit.js"),
}


async def static(request):
    parts = STATIC.get(request.match_info["name"])
    if not parts:
        raise web.HTTPNotFound()
    return web.FileResponse(os.path.join(HERE, *parts))


async def vcd(request):
    text = request.app["session"].vcd()
    if text is None:
        return web.Response(status=503, text="no board connected yet\n")
    return web.Response(text=text, content_type="text/plain", headers={
        "Content-Disposition": 'attachment; filename="bench.vcd"'})


def rss_kb():
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


async def stats(request):
    s = request.app["session"]
    return web.json_response(dict(s.stats, rss_kb=rss_kb(), clients=len(s.clients),
                                  dropped=sum(c.dropped_total for c in s.clients),
                                  keys_queued=s.keys.qsize(), tasks=len(s.tasks),
                                  shell_pid=s.proc.pid if s.proc else None, workdir=s.tmp,
                                  running=s.running))


def limits():
    return {"keys": benchcore.KEY_QUEUE_MAX, "message": benchcore.MSG_MAX,
            "pages": CLIENTS_MAX}


async def websocket(request):
    if not origin_ok(request):
        return refused("the bench takes pages of its own origin only")
    session = request.app["session"]
    # (aiohttp refuses a message of max_msg_size bytes: one of MSG_MAX is still read)
    ws = web.WebSocketResponse(heartbeat=20, max_msg_size=benchcore.MSG_MAX + 1)
    if len(session.clients) >= CLIENTS_MAX:
        # a clear refusal the page can show: the reason, then the close
        reason = "the bench serves %d pages at once: close one and reload" % CLIENTS_MAX
        await ws.prepare(request)
        await ws.send_str(json.dumps([{"type": "refused", "reason": reason}]))
        await ws.close(code=WSCloseCode.TRY_AGAIN_LATER, message=reason.encode())
        return ws
    client = Client(ws)
    client.put(session.hello())
    session.clients.add(client)
    sender = None
    try:
        await ws.prepare(request)
        sender = asyncio.get_running_loop().create_task(send_loop(client))
        async for msg in ws:
            if msg.type == WSMsgType.BINARY:
                error(session, client, None, "messages are JSON text")
            elif msg.type == WSMsgType.ERROR:
                # (over the size limit, or not UTF-8: aiohttp has closed the connection
                # with the protocol's code for it)
                session.stats["bad_messages"] += 1
            elif msg.type == WSMsgType.TEXT:
                try:
                    await handle(session, client, msg.data)
                except Exception as e:  # the server never dies of one message
                    error(session, client, None, "internal: %s" % e)
    finally:
        session.clients.discard(client)
        if sender is not None:
            sender.cancel()
            await asyncio.gather(sender, return_exceptions=True)
    return ws


async def send_loop(client):
    ws = client.ws
    try:
        while not ws.closed:
            await client.wake.wait()
            client.wake.clear()
            while client.queue:
                batch = []
                while client.queue and len(batch) < 500:
                    batch.append(client.queue.popleft())
                if client.dropped:
                    batch.append({"type": "dropped", "n": client.dropped,
                                  "total": client.dropped_total})
                    client.dropped = 0
                if client.lost_console:
                    client.lost_console = False
                    batch.append({"type": "console-reset"})
                await ws.send_str(json.dumps(batch))
    except (ConnectionError, RuntimeError):
        pass


def queue_keys(session, keys, paste):
    """Queues keys for the shell, all of them or, when they do not fit, none: the reason
    then, else None."""
    # A page's terminal answers a cursor query of the board's login shell: that answer is
    # no key, and the shell must not get it.
    keys = [k for k in keys if not CURSOR_REPORT.match(k)]
    free = session.keys.maxsize - session.keys.qsize()
    if len(keys) > free:
        if paste:
            return ("paste refused: %d keys, and the bench holds %d at most (%d still to "
                    "type); nothing of it was typed" % (len(keys), session.keys.maxsize,
                                                         session.keys.qsize()))
        return "key refused: %d keys are still to type" % session.keys.qsize()
    for k in keys:
        session.keys.put_nowait((k, paste))
    return None


def error(session, client, mid, reason):
    """The answer to a message the bench refuses (counted in the stats' bad_messages)."""
    session.stats["bad_messages"] += 1
    client.put({"type": "error", "id": mid, "reason": reason})


async def handle(session, client, raw):
    try:
        msg = benchcore.parse_client_message(raw)
    except benchcore.BadMessage as e:
        error(session, client, e.id, str(e))
        return
    t, mid = msg["type"], msg["id"]
    why = session.procedures.refused(t)
    if why:
        error(session, client, mid, why)
        return
    if t in benchcore.PROCEDURE_MESSAGES:
        await session.procedures.handle(client, msg)
        return
    if t in ("key", "paste"):
        if not session.running:
            error(session, client, mid, "the shell is not running")
            return
        keys = [msg["key"]] if t == "key" else msg["keys"]
        why = queue_keys(session, keys, t == "paste")
        if why:
            error(session, client, mid, why)
            return
        session.procedures.keys(keys)
        if t == "paste":
            client.put({"type": "answer", "id": mid, "ok": True, "reason": "",
                        "keys": len(keys)})
    elif t == "control":
        await control_lines(session, client, mid, [msg["line"]])
    elif t in BOARD_CHOICES:
        try:
            lines = BOARD_CHOICES[t](session.state.fields() if session.state else {}, msg)
        except ValueError as e:
            client.put({"type": "answer", "id": mid, "ok": False, "reason": str(e)})
            return
        session.procedures.before_choice()
        if await control_lines(session, client, mid, lines):
            session.procedures.choice(t, msg)
        if t == "ddr":
            await session.refresh_state()
    elif t == "resize":
        session.resize(msg["cols"], msg["rows"])
    elif t == "restart":
        if session.running:
            error(session, client, mid, "the shell is still running")
            return
        await session.start_shell()
        session.procedures.shell_started()
    elif t == "state":
        await session.refresh_state()
    elif t == "ping":
        client.put({"type": "pong", "id": mid, "t": time.time()})


# What the page offers from the snapshot, to control lines (qnboard.control).
BOARD_CHOICES = {
    "fault": lambda st, m: [board_control.fault_line(st, m["name"], m["at"])],
    "ddr": lambda st, m: board_control.ddr_lines(st, m["mb"]),
    "panel": lambda st, m: [board_control.panel_line(st, m["framing"], m["code"])],
    "input": lambda st, m: [board_control.input_line(st, m["part"], m["level"])],
}


async def control_lines(session, client, mid, lines):
    """Sends control lines in turn until one is refused; the page that asked gets the
    answer, every page the lines in its log."""
    done = []
    for line in lines:
        ok, reason = await session.control(line)
        done.append({"type": "control", "line": line, "ok": ok, "reason": reason})
        if not ok:
            break
    client.put({"type": "answer", "id": mid, "ok": ok, "reason": reason,
                "line": "; ".join(lines)})
    for item in done:
        session.broadcast(item)
    return ok


async def no_icon(request):
    return web.Response(status=204)


def listen_warning(addr):
    try:
        ip = ipaddress.ip_address(addr)
        return not ip.is_loopback
    except ValueError:
        return addr != "localhost"


def build_app(session, token):
    app = web.Application(middlewares=[guard])
    app["session"] = session
    app["token"] = token
    app.router.add_get("/", page)
    app.router.add_get("/static/{name}", static)
    app.router.add_get("/ws", websocket)
    app.router.add_get("/vcd", vcd)
    app.router.add_get("/stats", stats)
    app.router.add_get("/favicon.ico", no_icon)
    bench_procedures.install(app, origin_ok)
    return app


async def serve(args):
    token = secrets.token_urlsafe(18)
    session = Session(args)
    app = build_app(session, token)
    runner = web.AppRunner(app, access_log=None)
    await runner.setup()
    site = web.TCPSite(runner, args.listen, args.port, reuse_address=True)
    await site.start()
    port = site._server.sockets[0].getsockname()[1]
    if listen_warning(args.listen):
        log("warning: listening on %s, beyond this machine: anyone who can reach it and has "
            "the URL drives the board" % args.listen)
    host = args.listen if ":" not in args.listen else "[%s]" % args.listen
    if args.listen in ("0.0.0.0", "::"):
        host = "127.0.0.1"
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        loop.add_signal_handler(sig, stop.set)
    try:
        await session.start()
        await session.ready(60)
        print("http://%s:%d/?token=%s" % (host, port, token), flush=True)
        await stop.wait()
    finally:
        for c in list(session.clients):
            await c.ws.close()
        await session.close()
        await runner.cleanup()


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--board", action="store_true", help="the virtual board instead of the simulator")
    p.add_argument("--model", help="board model: KD3151 ... KD3555 or a number")
    p.add_argument("--port", type=int, default=0, help="TCP port (default: a free one)")
    p.add_argument("--listen", default="127.0.0.1", help="address to listen on (default 127.0.0.1)")
    p.add_argument("--build", default=os.path.join(REPO, "build"), help="build directory")
    p.add_argument("--root", default=REPO, help=argparse.SUPPRESS)
    # everything else goes to the simulator's or the board's launcher, in order
    args, args.extra = p.parse_known_args(argv)
    if "--" in args.extra:
        args.extra.remove("--")
    asyncio.run(serve(args))
    return 0


if __name__ == "__main__":
    sys.exit(main())
