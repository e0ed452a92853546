"""The bench server's defences, without a browser: the token (compared as bytes, any
malformed one refused), the Host and Origin it answers to (DNS rebinding), the cookie
per port, the bounded key queue, the page limit and the one message size limit; and its
task lifecycle on the real shell: no task per console read, no poll after Enter, every
task ended by close(), QEMU's own output read to its end."""

import asyncio
import json
import os

import aiohttp
import benchcore
import pytest
import server
from aiohttp.test_utils import TestClient, TestServer

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
TOKEN = "secret-token"


class Args:
    board = False
    model = None
    extra = []
    build = root = "."


async def start(token=TOKEN):
    session = server.Session(Args())
    client = TestClient(TestServer(server.build_app(session, token)))
    await client.start_server()
    return session, client


async def stop(session, client):
    await client.close()
    await session.close()


def here(client):
    return "%s:%d" % (client.host, client.port)


async def raw_request(client, head):
    """Sends one request as raw bytes (headers no client library would send) and
    returns the status code."""
    reader, writer = await asyncio.open_connection(client.host, client.port)
    writer.write(head + b"\r\nConnection: close\r\n\r\n")
    await writer.drain()
    status = int((await reader.readline()).split()[1])
    writer.close()
    await writer.wait_closed()
    return status


def test_malformed_tokens_are_refused_never_an_error():
    async def body():
        session, client = await start()
        try:
            for q in ("", "%C3%A9", "secret-toke%C3%A9", "%E4%B8%AD%E6%96%87", "%ED%A0%80",
                      "%FF%FE", "%00", "secret-token%00", "x" * (server.TOKEN_MAX + 1),
                      "secret-token" * 200, "secret-token "):
                for path in ("/", "/static/bench.js", "/stats", "/ws"):
                    r = await client.get(path + "?token=" + q)
                    assert r.status == 403, (path, q, r.status)
            # in the cookie: non-ASCII, overlong, empty, as raw bytes
            name = b"qnbench_%d" % client.port
            for value in (b"\xc3\xa9", b"\xff\xfe", b"\xe4\xb8\xad", b"", b"y" * 4000,
                          b"secret-token\xc3\xa9", b'"secret-token"x'):
                head = b"GET /stats HTTP/1.1\r\nHost: " + here(client).encode()
                head += b"\r\nCookie: " + name + b"=" + value
                assert await raw_request(client, head) == 403, value
            # and the token itself still opens the bench
            r = await client.get("/stats?token=" + TOKEN)
            assert r.status == 200
        finally:
            await stop(session, client)
    asyncio.run(body())


def test_only_the_served_host_names_are_answered():
    async def body():
        session, client = await start()
        try:
            port = client.port
            for host in ("evil.example:%d" % port, "127.0.0.1:%d" % (port + 1), "127.0.0.1",
                         "localhost.evil.example:%d" % port, "[::1]:%d" % port, "",
                         "127.0.0.2:%d" % port):
                r = await client.get("/?token=" + TOKEN, headers={"Host": host})
                assert r.status == 421, host
                assert "127.0.0.1:%d" % port in await r.text()
            for host in ("127.0.0.1:%d" % port, "localhost:%d" % port, "LOCALHOST:%d" % port):
                r = await client.get("/?token=" + TOKEN, headers={"Host": host})
                assert r.status == 200, host
            # a request without a Host header names nothing
            head = b"GET /?token=secret-token HTTP/1.0"
            assert await raw_request(client, head) == 421
        finally:
            await stop(session, client)
    asyncio.run(body())


def test_websocket_takes_the_served_origins_only():
    async def body():
        session, client = await start()
        try:
            port = client.port
            url = "/ws?token=" + TOKEN
            # a page of a rebinding name: its Host and its Origin agree, and both are foreign
            for headers in ({"Host": "rebind.example:%d" % port,
                             "Origin": "http://rebind.example:%d" % port},
                            {"Origin": "http://evil.example"},
                            {"Origin": "http://127.0.0.1:%d" % (port + 1)},
                            {"Origin": "https://127.0.0.1:%d" % port},
                            {"Origin": "null"}, {}):
                with pytest.raises(aiohttp.WSServerHandshakeError) as e:
                    await client.ws_connect(url, headers=headers)
                assert e.value.status in (403, 421), headers
            for org in ("http://127.0.0.1:%d" % port, "http://localhost:%d" % port):
                ws = await client.ws_connect(url, headers={"Origin": org})
                items = json.loads((await ws.receive()).data)
                assert items[0]["type"] == "hello"
                await ws.close()
        finally:
            await stop(session, client)
    asyncio.run(body())


def test_the_token_moves_into_a_cookie_of_the_port():
    async def body():
        session, client = await start()
        try:
            r = await client.get("/?token=" + TOKEN)
            assert r.status == 200
            cookie = r.cookies["qnbench_%d" % client.port]
            assert cookie.value == TOKEN
            assert cookie["httponly"] is True and cookie["samesite"] == "Strict"
            assert cookie["path"] == "/"
            assert r.headers["Referrer-Policy"] == "no-referrer"
            # from here on the cookie alone opens the bench, the WebSocket too
            assert (await client.get("/static/bench.js")).status == 200
            ws = await client.ws_connect("/ws", headers={"Origin": "http://" + here(client)})
            await ws.close()
        finally:
            await stop(session, client)
    asyncio.run(body())


def test_two_benches_on_one_host_keep_their_own_cookies():
    async def body():
        a, ca = await start("token-of-a")
        b, cb = await start("token-of-b")
        try:
            jar = aiohttp.CookieJar(unsafe=True)  # one browser's cookies for 127.0.0.1
            async with aiohttp.ClientSession(cookie_jar=jar) as s:
                base_a, base_b = "http://" + here(ca), "http://" + here(cb)
                assert (await s.get(base_a + "/?token=token-of-a")).status == 200
                assert (await s.get(base_b + "/?token=token-of-b")).status == 200
                # each bench still opens with its own cookie, after the other set its own
                assert (await s.get(base_a + "/stats")).status == 200
                assert (await s.get(base_b + "/stats")).status == 200
                assert (await s.get(base_a + "/")).status == 200
                names = sorted(c.key for c in jar)
                assert names == sorted(["qnbench_%d" % ca.port, "qnbench_%d" % cb.port])
        finally:
            await stop(a, ca)
            await stop(b, cb)
    asyncio.run(body())


async def answer(ws, mid):
    """The answer to the message mid (a missing answer fails after a long while rather
    than hangs)."""
    while True:
        msg = await ws.receive(timeout=60)
        assert msg.type == aiohttp.WSMsgType.TEXT, msg
        for it in json.loads(msg.data):
            if it.get("id") == mid and it["type"] in ("answer", "error") or (
                    it["type"] == "error" and it.get("id") is None):
                return it


def test_a_paste_over_the_bound_is_refused_whole():
    async def body():
        session, client = await start()
        session.running = True  # a shell that reads nothing: the keys stay queued
        try:
            ws = await client.ws_connect("/ws?token=" + TOKEN,
                                         headers={"Origin": "http://" + here(client)})
            bound = benchcore.KEY_QUEUE_MAX
            await ws.send_str(json.dumps({"type": "paste", "id": 1, "text": "h" * (bound - 100)}))
            a = await answer(ws, 1)
            assert a["type"] == "answer" and a["keys"] == bound - 100
            # 101 more keys do not fit: none of them is queued
            await ws.send_str(json.dumps({"type": "paste", "id": 2, "text": "ctlled 3\n" * 11 + "xx"}))
            a = await answer(ws, 2)
            assert a["type"] == "error" and a["reason"].startswith("paste refused: 101 keys")
            assert session.keys.qsize() == bound - 100
            # 100 do
            await ws.send_str(json.dumps({"type": "paste", "id": 3, "text": "z" * 100}))
            assert (await answer(ws, 3))["type"] == "answer"
            assert session.keys.qsize() == bound
            # a key with the queue full is refused too
            await ws.send_str(json.dumps({"type": "key", "id": 4, "data": "q"}))
            assert (await answer(ws, 4))["reason"].startswith("key refused")
            # and a paste longer than the whole queue is refused with its id
            while not session.keys.empty():
                session.keys.get_nowait()
            await ws.send_str(json.dumps({"type": "paste", "id": 5, "text": "h" * (bound + 1)}))
            a = await answer(ws, 5)
            assert a["type"] == "error" and "nothing of it was typed" in a["reason"]
            assert session.keys.empty()
            await ws.close()
        finally:
            session.running = False
            await stop(session, client)
    asyncio.run(body())


def test_pages_over_the_limit_get_a_clear_refusal(monkeypatch):
    monkeypatch.setattr(server, "CLIENTS_MAX", 2)

    async def body():
        session, client = await start()
        try:
            hdr = {"Origin": "http://" + here(client)}
            url = "/ws?token=" + TOKEN
            pages = [await client.ws_connect(url, headers=hdr) for _ in range(2)]
            for ws in pages:
                assert json.loads((await ws.receive()).data)[0]["type"] == "hello"
            extra = await client.ws_connect(url, headers=hdr)
            items = json.loads((await extra.receive()).data)
            assert items == [{"type": "refused",
                              "reason": "the bench serves 2 pages at once: close one and reload"}]
            closing = await extra.receive()
            assert closing.type == aiohttp.WSMsgType.CLOSE
            assert extra.close_code == aiohttp.WSCloseCode.TRY_AGAIN_LATER
            assert "2 pages" in closing.extra
            assert len(session.clients) == 2
            # a page that leaves makes room for the next
            await pages[0].close()
            while len(session.clients) > 1:
                await asyncio.sleep(0.01)
            again = await client.ws_connect(url, headers=hdr)
            assert json.loads((await again.receive()).data)[0]["type"] == "hello"
            for ws in (pages[1], again):
                await ws.close()
        finally:
            await stop(session, client)
    asyncio.run(body())


def test_one_message_size_limit():
    async def body():
        session, client = await start()
        try:
            hdr = {"Origin": "http://" + here(client)}
            ws = await client.ws_connect("/ws?token=" + TOKEN, headers=hdr, max_msg_size=0)
            hello = json.loads((await ws.receive()).data)[0]
            assert hello["limits"] == {"keys": benchcore.KEY_QUEUE_MAX,
                                       "message": benchcore.MSG_MAX, "pages": server.CLIENTS_MAX}
            # up to the limit a message is read and answered
            msg = json.dumps({"type": "launch", "id": 1, "pad": ""})
            msg = msg[:-2] + "x" * (benchcore.MSG_MAX - len(msg)) + '"}'
            assert len(msg.encode()) == benchcore.MSG_MAX
            await ws.send_str(msg)
            assert (await answer(ws, 1))["reason"].startswith("unknown message type")
            # one byte more ends the connection with the protocol's "message too big"
            await ws.send_str(msg[:-2] + 'x"}')
            closing = await ws.receive()
            assert closing.type == aiohttp.WSMsgType.CLOSE
            assert ws.close_code == aiohttp.WSCloseCode.MESSAGE_TOO_BIG
            assert session.stats["bad_messages"] == 2
        finally:
            await stop(session, client)
    asyncio.run(body())


# ---- the task lifecycle, on the real shell and simulator ---------------------------

class ShellArgs:
    board = False
    model = "KD3454"
    extra = []
    build = os.environ.get("QN_BUILD_DIR", os.path.join(REPO, "build"))
    root = REPO


def typed(session, text):
    assert server.queue_keys(session, benchcore.split_keys(text), False) is None


async def until(session, cond):
    while not cond():
        await session.output_event.wait()


def test_console_output_wakes_the_key_writer_without_tasks_or_polls():
    if not os.path.exists(os.path.join(ShellArgs.build, "qnsim")):
        pytest.skip("no simulator build in " + ShellArgs.build)

    async def body():
        session = server.Session(ShellArgs())
        loop = asyncio.get_running_loop()
        try:
            await session.start()
            assert await session.ready(60)
            text = lambda: "".join(session.scrollback)  # noqa: E731
            typed(session, "hubreset")
            await asyncio.wait_for(until(session, lambda: "\x1b[Khubreset\r" in text() and
                                         text().endswith("\x1b[?25h")), 60)
            # from Enter to the next prompt: the hub's reset pulse, 100 ms without a word
            # from the shell. Count what the event loop is asked to do meanwhile.
            tasks, timers = [], []
            loop.set_task_factory(lambda lp, coro, **kw: tasks.append(coro) or
                                  asyncio.Task(coro, loop=lp, **kw))
            call_at = loop.call_at
            loop.call_at = lambda when, cb, *a, **kw: timers.append(cb) or call_at(when, cb, *a, **kw)
            reads = session.pacer.reads
            prompts = text().count("quenta $: ")
            typed(session, "\r")
            try:
                await until(session, lambda: text().count("quenta $: ") > prompts and
                            session.keys.empty())
            finally:
                loop.set_task_factory(None)
                del loop.call_at
            assert session.pacer.reads > reads
            assert tasks == []  # no task per console read
            # one timer: the Enter's patience (a poll would add one per step)
            assert len(timers) <= 1, timers
        finally:
            await session.close()
        assert session.tasks == set()
        assert asyncio.all_tasks() == {asyncio.current_task()}
    asyncio.run(body())


def test_close_ends_every_task_of_the_session():
    if not os.path.exists(os.path.join(ShellArgs.build, "qnsim")):
        pytest.skip("no simulator build in " + ShellArgs.build)

    async def body():
        session = server.Session(ShellArgs())
        app = server.build_app(session, TOKEN)
        client = TestClient(TestServer(app))
        await client.start_server()
        await session.start()
        assert await session.ready(60)
        ws = await client.ws_connect("/ws?token=" + TOKEN,
                                     headers={"Origin": "http://" + here(client)})
        await ws.send_str(json.dumps({"type": "paste", "id": 1, "text": "xm 0x60\n"}))
        assert (await answer(ws, 1))["type"] == "answer"
        running = set(session.tasks)
        assert session.writer in running and session.events_task in running
        await ws.close()
        await client.close()
        # in the middle of the listing (a task left running would hang the close: the
        # guard turns that into a failure)
        await asyncio.wait_for(session.close(), 120)
        assert session.tasks == set()
        assert all(t.done() for t in running)
        assert asyncio.all_tasks() == {asyncio.current_task()}
    asyncio.run(body())


class FakeQemu:
    def __init__(self):
        self.stdout = asyncio.StreamReader()
        self.returncode = 0  # (ended: close() has nothing to stop)


def test_qemu_output_is_read_to_its_end(capsys):
    async def body():
        session = server.Session(Args())
        session.board = FakeQemu()
        session.running = True
        lines = ["QEMU 7.2.0 monitor - type 'help' for more information",
                 "(qemu) qemu-system-arm: warning: nic lan9118.0 has no peer",
                 "qemu-system-arm: terminating on signal 15 from pid 4242"]
        task = session.spawn(session.read_board_output())
        for ln in lines[:2]:
            session.board.stdout.feed_data(ln.encode() + b"\n")
        await asyncio.sleep(0)
        session.board.stdout.feed_data(lines[2].encode() + b"\n")
        session.board.stdout.feed_eof()
        await task
        assert list(session.board_output) == lines
        # QEMU ended while the bench ran: the shell on it has ended
        assert not session.running and session.exit_status == 255
        await session.close()
    asyncio.run(body())
    err = capsys.readouterr().err
    assert "bench: qemu: qemu-system-arm: terminating on signal 15" in err
    assert "the virtual board ended" in err
