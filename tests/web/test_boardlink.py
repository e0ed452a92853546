"""The board link of the simulator (QNSIM_LINK) through the qnboard package's
client, against the real simulator with the real shell on a pseudo-terminal."""

import asyncio
import os
import pty
import select
import shutil
import subprocess
import tempfile
import time
from pathlib import Path

import pytest
from qnboard import keys
from qnboard import link as boardlink
from qnboard.link import SimLink
from qnboard.parse import parse_event, parse_state
from qnboard.vcd import vcd_text

ROOT = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("QN_BUILD_DIR", ROOT / "build"))

PROMPT = b"quenta $: "

pytestmark = pytest.mark.skipif(
    not (BUILD / "qnsim").exists() or not (BUILD / "qn_shell").exists(),
    reason="needs the host build (build/qnsim, build/qn_shell)",
)


class Shell:
    """build/qnsim --link SOCK -- build/qn_shell on a pty; keys one at a time."""

    def __init__(self, model, env=None, extra=()):
        self.dir = tempfile.mkdtemp(prefix="qnlink.")
        self.sock = os.path.join(self.dir, "link.sock")
        self.trace = os.path.join(self.dir, "trace")
        self.vcd = os.path.join(self.dir, "vcd")
        extra = [self.vcd if x == "VCDPATH" else x for x in extra]
        e = dict(os.environ, TERM="xterm", QNSIM_FAST="0")
        e.pop("QNSIM_LINK", None)
        e.update(env or {})
        self.master, slave = pty.openpty()
        cmd = [str(BUILD / "qnsim"), "--model", model, "--link", self.sock, "--trace", self.trace,
               "--ctl", os.path.join(self.dir, "ctl"), *extra, "--", str(BUILD / "qn_shell")]
        self.proc = subprocess.Popen(cmd, stdin=slave, stdout=slave, stderr=slave, env=e,
                                     start_new_session=True)
        os.close(slave)
        self.out = b""
        self.pacer = keys.KeyPacer()
        self.wait_for(PROMPT)
        deadline = time.monotonic() + 10
        while not os.path.exists(self.sock):
            assert time.monotonic() < deadline, "no link socket"
            time.sleep(0.01)

    def read_some(self, timeout):
        r, _, _ = select.select([self.master], [], [], timeout)
        if not r:
            return b""
        try:
            data = os.read(self.master, 65536)
        except OSError:
            return b""
        self.out += data
        return data

    def wait_for(self, text, timeout=10):
        deadline = time.monotonic() + timeout
        while text not in self.out:
            left = deadline - time.monotonic()
            assert left > 0, "waited for %r, have %r" % (text, self.out[-400:])
            self.read_some(left)

    def keys(self, text):
        """Types keys through the key pacer: one key a write, the next after its redraw."""
        write = lambda k: os.write(self.master, k)  # noqa: E731
        assert keys.type_keys(self.pacer, keys.split_keys(text), write, self.read_some), \
            "no redraw: %r" % self.out[-200:]

    def type(self, line):
        """Types a line, then Enter, and waits for the next prompt."""
        self.keys(line)
        self.out = b""
        os.write(self.master, b"\r")
        self.wait_for(PROMPT)
        return self.out

    def quit(self):
        """Types q and Enter; the exit status."""
        self.keys("q")
        os.write(self.master, b"\r")
        return self.proc.wait(10)

    def close(self):
        if self.proc.poll() is None:
            try:
                self.quit()
            except (OSError, subprocess.TimeoutExpired):
                pass
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        os.close(self.master)
        shutil.rmtree(self.dir, ignore_errors=True)


@pytest.fixture
def shell_factory():
    shells = []

    def make(model="KD3454", **kw):
        s = Shell(model, **kw)
        shells.append(s)
        return s

    yield make
    for s in shells:
        s.close()


def run(coro):
    return asyncio.run(asyncio.wait_for(coro, 30))


async def collect(it, until, limit=10.0):
    """Event lines from an async iterator until until(lines) holds."""
    lines = []
    deadline = time.monotonic() + limit
    while not until(lines):
        left = deadline - time.monotonic()
        assert left > 0, "events so far: %r" % lines[-20:]
        lines.append(await asyncio.wait_for(it.__anext__(), left))
    return lines


# ---- control lines ----------------------------------------------------------


def test_control_ok_and_error_change_nothing_on_error(shell_factory):
    sh = shell_factory("KD3454")

    async def go():
        async with SimLink(sh.sock) as link:
            assert await link.control("pin 6_6 1") == (True, "")
            ok, why = await link.control("pin 9_0 1")
            assert not ok and "bank 0-8" in why
            ok, why = await link.control("frobnicate 1")
            assert not ok and why.startswith("unknown command")
            ok, why = await link.control("fail NO_SUCH_CALL")
            assert not ok and why
            st = parse_state(await link.state())
            assert st["pins"] == [0, 0, 0, 0, 0, 0, 0x40, 0, 0]
            assert await link.control("reg 0x2011002C 0x32") == (True, "")
            assert parse_state(await link.state())["ddr"]["mb"] == 512

    run(go())
    out = sh.type("ddrsize")
    assert b"ddr_size:512MB 0x20000000" in out
    trace = Path(sh.trace).read_text()
    assert "ctl-error pin 9_0 1" in trace and "ctl-error frobnicate 1" in trace


def test_unknown_request_and_non_ascii_refused(shell_factory):
    sh = shell_factory("KD3454")

    async def go():
        async with SimLink(sh.sock) as link:
            assert (await link.control("@bogus"))[0] is False
            with pytest.raises(ValueError):
                await link.control("pin 6_6 1\npin 6_7 1")
            with pytest.raises(ValueError):
                await link.control("pin 6_6 \u00b9")
            return parse_state(await link.state())

    assert run(go())["pins"] == [0] * 9


# ---- state ------------------------------------------------------------------

@pytest.mark.parametrize("model,code", [("KD3454", 0x20D97004), ("KD3555", 0x20D97005)])
def test_state_per_model(shell_factory, model, code):
    sh = shell_factory(model, env={"QNSIM_GP_ID": "7", "QNSIM_MB_VERSION": "3"})

    async def go():
        async with SimLink(sh.sock) as link:
            return await link.state()

    lines = run(go())
    assert lines[0].startswith("time ")
    assert lines[1] == "identity %s 0x%08X gp_id=7 mb_version=3" % (model, code)
    order = [l.split()[0] for l in lines]
    firsts = []
    for k in order:
        if not firsts or firsts[-1] != k:
            firsts.append(k)
    assert firsts == ["time", "identity", "part", "sounder", "pins", "ddr", "ddrchoice", "key", "faults"]
    st = parse_state(lines)
    assert st["identity"] == {"model": model, "code": code, "gp_id": 7, "mb_version": 3}
    # the rows themselves are the wiring table's (its own test checks them against the
    # shell's addresses): here every kind is there, each part once, in the table's order
    assert {p["part"] for p in st["parts"]} == {"lamp", "output", "reset", "input"}
    assert [p["id"] for p in st["parts"]] == list(range(len(st["parts"])))
    assert len({p["name"] for p in st["parts"]}) == len(st["parts"])
    lamps = sorted((p["bit_index"], p["name"]) for p in st["parts"] if p["part"] == "lamp")
    assert [n for _, n in lamps] == ([ "RecLED", "DoorLED"] if model == "KD3454" else ["RecLED", "AlarmLED"])
    assert st["pins"] == [0] * 9 and st["buzzer"] == 0
    assert st["ddr"]["reg2c"] == 0x22 and st["ddr"]["reg1c"] == 0x10 and st["ddr"]["mb"] == 256
    assert {c["mb"] for c in st["ddr"]["choices"]} >= {64, 256, 512, 2048}
    assert {k["framing"]: k["bytes"] for k in st["keys"]} == {"plain": ["fd", "KK"], "escaped": ["fd", "fc", "KK"]}
    assert st["faults"] == ["QN_REG_ACCESS", "QN_GET_MBINFO", "QN_BUZZER", "I2C_REG_READ", "I2C_REG_WRITE",
                            "RTC_SET_TIME", "settimeofday"]
    assert st["other"] == []
    # pins all low: every lamp (active low) reads on, every active-high part off
    assert all(p["on"] == (p["active"] == 0) for p in st["parts"])


def test_state_follows_the_board(shell_factory):
    sh = shell_factory("KD3454")
    sh.type("ctlled 1")
    sh.type("buzzer on")

    async def go():
        async with SimLink(sh.sock) as link:
            return parse_state(await link.state())

    st = run(go())
    lamps = {p["name"]: p["on"] for p in st["parts"] if p["part"] == "lamp"}
    assert lamps == {"RecLED": True, "DoorLED": False}
    assert st["pins"][8] == 0x01 and st["buzzer"] == 1


def test_unknown_model_code(shell_factory):
    sh = shell_factory("0x1234")

    async def go():
        async with SimLink(sh.sock) as link:
            return parse_state(await link.state())

    st = run(go())
    assert st["identity"]["model"] == "unknown" and st["identity"]["code"] == 0x1234
    assert {(p["name"], p["pin"]) for p in st["parts"]} == {("sd1reset", "0_7"), ("adreset", "8_4")}


# ---- events -----------------------------------------------------------------


def test_events_ctlled_and_hubreset(shell_factory):
    sh = shell_factory("KD3454")
    sh.type("ctlled 0")  # both lamps dark: P0.5 and P8.0 high

    async def go():
        async with SimLink(sh.sock) as link:
            it = await link.subscribe()
            loop = asyncio.get_running_loop()
            await loop.run_in_executor(None, sh.type, "ctlled 3")
            lamps = await collect(it, lambda ls: sum(" pins " in l for l in ls) >= 2)
            await loop.run_in_executor(None, sh.type, "hubreset")
            pulse = await collect(it, lambda ls: sum(" pins 6 " in l for l in ls) >= 3)
            await it.aclose()
            return lamps, pulse

    lamps, pulse = run(go())
    evs = [parse_event(l) for l in lamps]
    pins = [(e["bank"], e["levels"]) for e in evs if e["kind"] == "pins"]
    assert pins == [(0, 0x00), (8, 0x00)]
    reqs = [e for e in evs if e["kind"] == "ioctl"]
    assert reqs and all(e["name"] == "QN_REG_ACCESS" for e in reqs)
    # every line is a trace line of the same run, times never go back
    ts = [parse_event(l)["t_us"] for l in lamps + pulse]
    assert ts == sorted(ts)
    pev = [parse_event(l) for l in pulse if " pins 6 " in l]
    assert [e["levels"] for e in pev[:3]] == [0x02, 0x00, 0x02]
    width = pev[2]["t_us"] - pev[1]["t_us"]
    assert width >= 100000  # the shell's 100 ms pause at least
    # the trace file has the same request lines, and no pins lines
    trace = Path(sh.trace).read_text().splitlines()
    assert " pins " not in "\n".join(trace)
    for l in pulse:
        if " ioctl " in l:
            assert l in trace


def test_events_lamp_pins_from_high(shell_factory):
    sh = shell_factory("KD3555")
    sh.type("ctlled 0")  # both lamps dark: P2.4 and P2.5 high

    async def go():
        async with SimLink(sh.sock) as link:
            it = await link.subscribe()
            loop = asyncio.get_running_loop()
            await loop.run_in_executor(None, sh.type, "ctlled 3")
            got = await collect(it, lambda ls: sum(" pins 2 " in l for l in ls) >= 2)
            st = parse_state(await link.state())
            await it.aclose()
            return got, st

    got, st = run(go())
    levels = [parse_event(l)["levels"] for l in got if " pins 2 " in l]
    assert levels == [0x20, 0x00]
    assert st["pins"][2] == 0 and all(p["on"] for p in st["parts"] if p["part"] == "lamp")


def test_two_subscribers_get_the_same_lines(shell_factory):
    sh = shell_factory("KD3454")

    async def go():
        a, b = SimLink(sh.sock), SimLink(sh.sock)
        ia, ib = await a.subscribe(), await b.subscribe()
        async with a:
            for i in range(5):
                await a.control("pin 3_%d 1" % i)
            await a.control("sync")
        done = lambda ls: ls and ls[-1].endswith(" sync")
        la, lb = await collect(ia, done), await collect(ib, done)
        await ia.aclose()
        await ib.aclose()
        return la, lb

    la, lb = run(go())
    assert la == lb
    assert [parse_event(l)["levels"] for l in la if " pins " in l] == [1, 3, 7, 15, 31]


def test_stuck_reader_loses_counted_lines_and_never_blocks(shell_factory):
    sh = shell_factory("KD3454", env={"QNSIM_LINK_QUEUE": "64"})
    import socket

    stuck = socket.socket(socket.AF_UNIX)
    stuck.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    stuck.connect(sh.sock)
    stuck.sendall(b"@events\n")
    assert stuck.recv(3) == b"ok\n"
    n = 20000

    async def go():
        async with SimLink(sh.sock) as link:
            t0 = time.monotonic()
            for i in range(n):
                assert await link.control("pin 4_%d %d" % (i % 8, (i // 8) % 2)) == (True, "")
            await link.control("sync")
            return time.monotonic() - t0

    run(go())
    # the shell goes on all the while
    assert b"KD3454" in sh.type("mbinfo")
    stuck.setblocking(False)
    data = b""

    def read_until(pred):
        nonlocal data
        deadline = time.monotonic() + 10
        while not pred(data):
            assert time.monotonic() < deadline, data[-300:]
            try:
                chunk = stuck.recv(65536)
            except BlockingIOError:
                time.sleep(0.02)
                continue
            assert chunk, "link closed"
            data += chunk

    read_until(lambda d: b" dropped " in d and d.endswith(b"\n"))
    # once the count is out, lines flow again
    async def again():
        async with SimLink(sh.sock) as link:
            await link.control("pin 7_7 1")

    run(again())
    read_until(lambda d: b" pins 7 80\n" in d)
    stuck.close()
    lines = data.decode().splitlines()
    drops = [parse_event(l) for l in lines if " dropped " in l]
    assert len(drops) == 1 and drops[0]["count"] > 0
    di = next(i for i, l in enumerate(lines) if " dropped " in l)
    # before the count: the first pin changes, in order, none missing
    got = [parse_event(l)["levels"] for l in lines[:di] if " pins 4 " in l]
    want, lv = [], 0
    for i in range(n):
        bit, level = i % 8, (i // 8) % 2
        new = (lv & ~(1 << bit)) | (level << bit)
        if new != lv:
            want.append(new)
        lv = new
    assert got == want[: len(got)] and 0 < len(got) < len(want)
    # what the reader missed is in the count (the shell's own lines too)
    assert len(got) + drops[0]["count"] >= len(want)
    assert lines[-1].endswith(" pins 7 80")
    assert parse_event(lines[di])["t_us"] <= parse_event(lines[-1])["t_us"]


def test_socket_removed_at_exit(shell_factory):
    sh = shell_factory("KD3454")
    assert os.path.exists(sh.sock)
    assert sh.quit() == 0
    assert not os.path.exists(sh.sock)


def test_fifo_keeps_working_beside_the_link(shell_factory):
    sh = shell_factory("KD3454")
    with open(os.path.join(sh.dir, "ctl"), "w") as f:
        f.write("pin 6_7 1\n")

    async def go():
        async with SimLink(sh.sock) as link:
            for _ in range(100):
                st = parse_state(await link.state())
                if st["pins"][6] == 0x80:
                    return st
                await asyncio.sleep(0.02)
            return st

    assert run(go())["pins"][6] == 0x80
    assert b"4x720p" in sh.type("status")


def test_answer_parsing():
    assert boardlink._answer("ok") == (True, "")
    assert boardlink._answer("error: bad pin") == (False, "bad pin")
    with pytest.raises(boardlink.LinkError):
        boardlink._answer("hello")


def test_the_model_vcd_and_one_from_the_link_events_are_the_same(shell_factory):
    """The bench's waveform (qnboard.vcd from the link's pin events) and the model's
    own VCD of the same run: the same text but for the date line."""
    sh = shell_factory("KD3454", extra=("--vcd", "VCDPATH"))

    async def go():
        async with SimLink(sh.sock) as link:
            it = await link.subscribe()
            for line in ("pin 3_1 1", "pin 3_1 0", "pin 3_2 1", "pin 3_1 1", "sync"):
                assert await link.control(line) == (True, "")
            got = await collect(it, lambda ls: ls and ls[-1].endswith(" sync"))
            await it.aclose()
            return got

    evs = [parse_event(l) for l in run(go())]
    changes = [(e["t_us"], e["bank"], e["levels"]) for e in evs if e["kind"] == "pins"]
    assert len(changes) == 4
    model = Path(sh.vcd).read_text().splitlines()
    ours = vcd_text(0, [0] * 9, changes).splitlines()
    assert model[0].startswith("$date ") and ours[0].startswith("$date ")
    assert model[1:] == ours[1:]
