"""The bench server without a browser: token and origin checks, bad messages, bounded
queues, control answers, the waveform download. The board link is a stand-in that
speaks the link's Python interface; the shell is not started."""

import asyncio
import json
import os
import sys
import types

import pytest
from aiohttp import WSServerHandshakeError
from aiohttp.test_utils import TestClient, TestServer

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(HERE)), "sim", "web"))

import server  # noqa: E402


class FakeLink:
    """Answers control lines like the model does and streams the events it is given."""

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
        return ["time 500", "pins " + " ".join("%02x" % p for p in self.pins)]

    async def events(self):
        while True:
            yield await self.queue.get()


def fake_boardlink():
    m = types.ModuleType("boardlink")

    def parse_state(lines):
        st = {"identity": {"model": "KD3454", "code": 0x20D97004}, "buzzer": 0,
              "parts": [{"part": "lamp", "name": "led1", "bank": 2, "bit": 5, "active": 1}]}
        for ln in lines:
            w = ln.split()
            if w[0] == "time":
                st["time_us"] = int(w[1])
            elif w[0] == "pins":
                st["pins"] = [int(x, 16) for x in w[1:]]
        return st

    def parse_event(line):
        w = line.split()
        ev = {"t_us": int(w[0]), "kind": w[1], "text": line}
        if w[1] == "pins":
            ev["bank"], ev["levels"] = int(w[2]), int(w[3], 16)
        return ev

    m.parse_state, m.parse_event = parse_state, parse_event
    return m


class Args:
    board = False
    model = None
    extra = []
    build = root = "."


def run(coro):
    return asyncio.run(coro)


async def start():
    sys.modules["boardlink"] = fake_boardlink()
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
                session.on_event({"t_us": i, "kind": "ioctl", "text": "%d ioctl x" % i})
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
