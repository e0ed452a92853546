"""The bench server without a browser: token and origin checks, bad messages, bounded
queues, control answers, the fields the page gets, the waveform download. The board
link is a stand-in that speaks the link's lines; the parsers are the real ones; the
shell is not started."""

import asyncio
import json

import pytest
import server
from aiohttp import WSServerHandshakeError
from aiohttp.test_utils import TestClient, TestServer
from qnboard.parse import Event


class FakeLink:
    """A board link that answers control lines as the model does and streams the pin
    events they make, in the link's own lines (read by the real parsers)."""

    SNAPSHOT = ["time 500", "identity KD3454 0x20D97004 gp_id=0 mb_version=1",
                "part lamp RecLED 2_5 1 bit=0", "part input SD1_CARDIN 5_6 0 row=0",
                "part reset hubreset 6_1 0",
                "sounder buzzer 0", None, "ddr 0x22 0x10 256", "ddrchoice 256 0x22 0x10",
                "ddrchoice 512 0x32 0x10", "key plain fd KK", "key escaped fd fc KK",
                "faults QN_BUZZER QN_REG_ACCESS"]

    def __init__(self):
        self.pins = [0] * 9
        self.lines = []
        self.queue = asyncio.Queue()

    async def open(self):
        pass

    async def close(self):
        pass

    async def control(self, line):
        self.lines.append(line)
        w = line.split()
        if w[0] == "pin" and len(w) == 3:
            bank, bit = (int(x) for x in w[1].split("_"))
            lv = self.pins[bank] & ~(1 << bit) | (int(w[2]) << bit)
            self.pins[bank] = lv
            await self.queue.put("%d pins %d %02x" % (1000 + len(self.lines), bank, lv))
            return True, ""
        if w[0] == "fail" and w[1:] and w[1].split("@")[0] not in ("QN_BUZZER", "QN_REG_ACCESS"):
            return False, "unknown call %s" % w[1]
        return True, ""

    async def state(self):
        pins = "pins " + " ".join("%02x" % p for p in self.pins)
        return [pins if line is None else line for line in self.SNAPSHOT]

    async def subscribe(self):
        return self._stream()

    async def _stream(self):
        while True:
            ev = Event.of(await self.queue.get())
            if ev is not None:
                yield ev


class Args:
    board = False
    model = None
    extra = []
    build = root = "."


def run(coro):
    return asyncio.run(coro)


async def start():
    session = server.Session(Args())
    app = server.build_app(session, "secret-token")
    client = TestClient(TestServer(app))
    await client.start_server()
    link = FakeLink()
    await session.attach_link(link)
    return session, client, link


async def stop(session, client):
    await session.close()
    await client.close()


def origin(client):
    return "http://%s:%d" % (client.host, client.port)


async def receive(ws, pred, timeout=5.0):
    """Reads items (the server sends them in batches) until one matches pred; returns it.
    Items read past it stay for the next call."""
    held = ws.__dict__.setdefault("_held", [])
    deadline = asyncio.get_running_loop().time() + timeout
    while True:
        while held:
            it = held.pop(0)
            if pred(it):
                return it
        left = deadline - asyncio.get_running_loop().time()
        assert left > 0, "no matching message"
        msg = await ws.receive(timeout=left)
        held.extend(json.loads(msg.data))


async def open_ws(client):
    ws = await client.ws_connect("/ws?token=secret-token", headers={"Origin": origin(client)})
    hello = await receive(ws, lambda it: it["type"] == "hello")
    return ws, hello


def test_page_and_files_need_the_token():
    async def body():
        session, client, _ = await start()
        try:
            for path in ("/", "/?token=wrong", "/static/bench.js", "/vcd", "/stats"):
                r = await client.get(path)
                assert r.status == 403, path
            r = await client.get("/?token=secret-token")
            assert r.status == 200
            assert "Virtual bench" in await r.text()
            assert "default-src 'self'" in r.headers["Content-Security-Policy"]
            # the page's cookie lets its own files load
            r = await client.get("/static/bench.js")
            assert r.status == 200
            r = await client.get("/static/nothing.js?token=secret-token")
            assert r.status == 404
        finally:
            await stop(session, client)
    run(body())


def test_websocket_needs_token_and_own_origin():
    async def body():
        session, client, _ = await start()
        try:
            for url, org in (("/ws", origin(client)), ("/ws?token=nope", origin(client)),
                             ("/ws?token=secret-token", "http://evil.example"),
                             ("/ws?token=secret-token", None)):
                headers = {"Origin": org} if org else {}
                with pytest.raises(WSServerHandshakeError) as e:
                    await client.ws_connect(url, headers=headers)
                assert e.value.status == 403
            ws, hello = await open_ws(client)
            assert hello["state"]["identity"]["model"] == "KD3454"
            await ws.close()
        finally:
            await stop(session, client)
    run(body())


def test_malformed_messages_get_an_error_and_change_nothing():
    async def body():
        session, client, link = await start()
        try:
            ws, _ = await open_ws(client)
            bad = ["not json", "[1,2]", '{"type": 5}', '{"type": "launch"}',
                   '{"type": "control"}', '{"type": "control", "line": "pin 1_1 1\\nreset"}',
                   '{"type": "key", "data": "%s"}' % ("x" * 11), '{"type": "key", "data": ""}',
                   '{"type": "resize", "cols": 5, "rows": 2}', '{"type": "control", "id": "x", "line": "reset"}']
            for raw in bad:
                await ws.send_str(raw)
                err = await receive(ws, lambda it: it["type"] == "error")
                assert err["reason"], raw
            await ws.send_bytes(b"\x00\x01")
            await receive(ws, lambda it: it["type"] == "error")
            assert link.lines == []
            assert session.keys.empty()
            # and the server still answers
            await ws.send_str(json.dumps({"type": "control", "id": 7, "line": "pin 2_5 1"}))
            ans = await receive(ws, lambda it: it["type"] == "answer")
            assert ans == {"type": "answer", "id": 7, "ok": True, "reason": "", "line": "pin 2_5 1"}
            assert session.stats["bad_messages"] == len(bad) + 1  # and the binary frame
            await ws.close()
        finally:
            await stop(session, client)
    run(body())


def test_refused_control_line_answers_the_reason():
    async def body():
        session, client, link = await start()
        try:
            ws, _ = await open_ws(client)
            await ws.send_str(json.dumps({"type": "control", "id": 1, "line": "fail NOPE@2"}))
            ans = await receive(ws, lambda it: it["type"] == "answer")
            assert ans["ok"] is False and ans["reason"] == "unknown call NOPE@2"
            logged = await receive(ws, lambda it: it["type"] == "control")
            assert logged["ok"] is False
            await ws.close()
        finally:
            await stop(session, client)
    run(body())


def test_events_reach_every_page_and_a_late_page_gets_the_levels():
    async def body():
        session, client, link = await start()
        try:
            ws1, _ = await open_ws(client)
            await link.control("pin 2_5 1")
            ev = await receive(ws1, lambda it: it["type"] == "event")
            assert (ev["kind"], ev["bank"], ev["levels"]) == ("pins", 2, 0x20)
            ws2, hello = await open_ws(client)
            assert hello["state"]["pins"][2] == 0x20
            assert hello["pins"]["start"] == [500, [0] * 9]
            assert [c[1:] for c in hello["pins"]["changes"]] == [[2, 0x20]]
            await link.control("pin 2_5 0")
            for ws in (ws1, ws2):
                ev = await receive(ws, lambda it: it["type"] == "event")
                assert ev["levels"] == 0
            await ws1.close()
            await ws2.close()
        finally:
            await stop(session, client)
    run(body())


def test_a_stuck_page_loses_counted_events_and_never_stalls_the_board():
    async def body():
        session, client, link = await start()
        try:
            stuck = server.Client(ws=None)  # never drained
            session.clients.add(stuck)
            n = max(server.CLIENT_QUEUE_MAX, server.EVENT_HISTORY) + 250
            for i in range(n):
                session.on_event(Event.of("%d ioctl QN_BUZZER in=0 out=0 ret=0" % i).fields)
            assert len(stuck.queue) == server.CLIENT_QUEUE_MAX
            lost = n - server.CLIENT_QUEUE_MAX
            assert stuck.dropped == lost and stuck.dropped_total == lost
            session.clients.discard(stuck)
            # a live page meanwhile gets the report of its own losses (none) and the events
            ws, _ = await open_ws(client)
            await link.control("pin 3_0 1")
            await receive(ws, lambda it: it["type"] == "event" and it["kind"] == "pins")
            assert len(session.events) == server.EVENT_HISTORY
            await ws.close()
        finally:
            await stop(session, client)
    run(body())


def test_waveform_download_from_the_event_stream():
    async def body():
        session, client, link = await start()
        try:
            await link.control("pin 6_1 1")
            await link.control("pin 6_1 0")
            for _ in range(100):
                if len(session.pin_changes) == 2:
                    break
                await asyncio.sleep(0.01)
            r = await client.get("/vcd?token=secret-token")
            assert r.status == 200
            text = await r.text()
            assert "$var wire 1" in text and "gpio6_1 $end" in text
            body = text.split("$enddefinitions $end")[1].split()
            assert body[0] == "#500"
            assert "#1001" in body and "#1002" in body
        finally:
            await stop(session, client)
    run(body())


def test_listen_warning_beyond_loopback():
    assert not server.listen_warning("127.0.0.1")
    assert not server.listen_warning("::1")
    assert not server.listen_warning("localhost")
    assert server.listen_warning("0.0.0.0")
    assert server.listen_warning("192.168.1.5")


def test_the_page_gets_fields_and_a_reset_line_its_pulse():
    async def body():
        session, client, link = await start()
        try:
            ws, hello = await open_ws(client)
            assert hello["groups"][0] == "request" and "pause" in hello["groups"]
            parts = {p["name"]: p for p in hello["state"]["parts"]}
            assert parts["hubreset"]["on"] is True and parts["RecLED"]["on"] is False
            assert hello["state"]["faults"] == ["QN_BUZZER", "QN_REG_ACCESS"]
            await link.control("pin 6_1 1")  # out of reset at 1001
            ev = await receive(ws, lambda it: it["type"] == "event")
            assert ev["group"] == "pins" and ev["log"] is False
            assert [(p["name"], p["on"], p["level"]) for p in ev["parts"]] == [("hubreset", False, 1)]
            await link.control("pin 6_1 0")  # in reset at 1002
            await link.control("pin 6_1 1")  # out at 1003: a pulse of 1 µs
            ev = await receive(ws, lambda it: it["type"] == "event" and it["levels"] == 2
                               and it["t"] == 1003)
            assert ev["parts"][0]["pulse_us"] == 1
            session.on_event(Event.of("2000 usleep 1000").fields)
            ev = await receive(ws, lambda it: it["type"] == "event" and it["kind"] == "usleep")
            assert (ev["group"], ev["log"], ev["text"]) == ("pause", True, "2000 usleep 1000")
            await ws.close()
        finally:
            await stop(session, client)
    run(body())


# A choice of the page, the control lines it becomes, or the refusal's words.
CHOICES = [
    ({"type": "fault", "name": "QN_BUZZER", "at": 2}, ["fail QN_BUZZER@2"]),
    ({"type": "fault", "name": "QN_BUZZER", "at": None}, ["fail QN_BUZZER"]),
    ({"type": "fault", "name": "settimeofday", "at": None}, "no fault rule"),
    ({"type": "fault", "name": "QN_BUZZER", "at": 0}, "from 1 on"),
    ({"type": "ddr", "mb": 512}, ["reg 0x2011002C 0x32", "reg 0x2011001C 0x10"]),
    ({"type": "ddr", "mb": 128}, "no 128 MB"),
    ({"type": "panel", "framing": "escaped", "code": 0x21}, ["panel fd fc 21"]),
    ({"type": "panel", "framing": "plain", "code": 0xFD}, ["panel fd fd"]),
    ({"type": "panel", "framing": "fdfc", "code": 1}, "no key framing"),
    ({"type": "input", "part": 1, "level": 1}, ["pin 5_6 1"]),
    ({"type": "input", "part": 0, "level": 1}, "no such input"),
]


@pytest.mark.parametrize("msg,want", CHOICES, ids=[str(c[0]) for c in CHOICES])
def test_a_choice_of_the_snapshot_becomes_control_lines(msg, want):
    async def body():
        session, client, link = await start()
        try:
            ws, _ = await open_ws(client)
            await ws.send_str(json.dumps(dict(msg, id=9)))
            ans = await receive(ws, lambda it: it["type"] == "answer")
            if isinstance(want, list):
                assert ans["ok"] and link.lines == want
            else:
                assert not ans["ok"] and want in ans["reason"] and link.lines == []
            await ws.close()
        finally:
            await stop(session, client)
    run(body())
