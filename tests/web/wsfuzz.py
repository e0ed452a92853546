"""A WebSocket fuzz of the bench server: a fixed number of bad messages, drawn from a
seeded generator, sent to a running bench as a page would send them. Every one of them
must get its answer: an error (or, for a control line the board refuses, an answer that
says so), or for a message over the size limit the close code 1009, after which the fuzz
connects again. Used by tests/web/test_fuzz.py and by bench/web_bench.py (which measures
the server's memory over a longer run).

Nothing here is valid input that changes the shell: no key that could be typed, no
control line the board takes."""

import asyncio
import json
import random
import string

import aiohttp

# The server's limits (sim/web/benchcore.py), as the page learns them from its hello.
KINDS = ("json", "wrong-types", "unknown", "binary", "oversize", "flood", "paste-over",
         "control-refused", "deep", "huge-id", "restart")
WEIGHTS = (20, 25, 10, 10, 1, 2, 3, 10, 2, 3, 4)
FLOOD = 200  # messages of one flood, sent before any answer is read

# Fields of the right name and the wrong type (or value) for each kind of message.
WRONG = {
    "key": [("data", 7), ("data", None), ("data", ""), ("data", ["a"]), ("data", "x" * 11),
            ("data", "\u4e2d"), ("data", {"k": 1})],
    "paste": [("text", 5), ("text", None), ("text", ["ls"]), ("text", {"t": "x"}),
              ("text", True)],
    "control": [("line", 1), ("line", ""), ("line", "   "), ("line", ["reset"]),
                ("line", "pin 1_1 1\nreset"), ("line", "r\u00e9set"), ("line", "x" * 600)],
    "resize": [("cols", "80"), ("cols", 1.5), ("cols", True), ("cols", 10 ** 6),
               ("rows", -1), ("rows", None)],
}


def random_json(rng, depth=0):
    r = rng.random()
    if depth > 3 or r < 0.3:
        return rng.choice([None, True, False, rng.randint(-10 ** 12, 10 ** 12), rng.random(),
                           "".join(rng.choice(string.printable) for _ in range(rng.randint(0, 20)))])
    if r < 0.6:
        return [random_json(rng, depth + 1) for _ in range(rng.randint(0, 5))]
    return {"".join(rng.choice(string.ascii_letters) for _ in range(rng.randint(1, 8))):
            random_json(rng, depth + 1) for _ in range(rng.randint(0, 5))}


def bad_message(rng, kind, keys_max, msg_max):
    """One message of the kind: (frame, expected) with frame a str (text) or bytes
    (binary) and expected 'error', 'refused' (an answer with ok false) or 'close'."""
    if kind == "json":
        v = random_json(rng)
        if isinstance(v, dict):
            v["type"] = rng.choice([None, 5, [], {}, True])  # never a valid type
        text = json.dumps(v) if rng.random() < 0.8 else json.dumps(v)[:-1] + "\x00{"
        return text, "error"
    if kind == "wrong-types":
        t = rng.choice(sorted(WRONG))
        name, value = rng.choice(WRONG[t])
        msg = {"type": t, name: value, "id": rng.randint(1, 10 ** 6)}
        if t == "resize":
            msg.setdefault("cols", 80)
            msg.setdefault("rows", 24)
        return json.dumps(msg), "error"
    if kind == "unknown":
        t = "".join(rng.choice(string.ascii_lowercase + "-_") for _ in range(rng.randint(1, 30)))
        if t in ("key", "paste", "control", "resize", "restart", "state", "ping"):
            t += "!"
        return json.dumps({"type": t, "id": rng.randint(1, 100)}), "error"
    if kind == "binary":
        return bytes(rng.getrandbits(8) for _ in range(rng.randint(1, 2000))), "error"
    if kind == "oversize":
        return json.dumps({"type": "paste", "text": "x" * (msg_max + rng.randint(1, 4096))}), "close"
    if kind == "paste-over":
        return json.dumps({"type": "paste", "id": 1, "text": "h" * (keys_max + rng.randint(1, 500))}), "error"
    if kind == "control-refused":
        word = "".join(rng.choice(string.ascii_lowercase) for _ in range(rng.randint(3, 12)))
        return json.dumps({"type": "control", "id": 2, "line": "nosuch-" + word}), "refused"
    if kind == "deep":
        n = rng.randint(2000, 100000)
        return "[" * n + "]" * n, "error"
    if kind == "huge-id":
        return json.dumps({"type": "ping", "id": rng.choice([10 ** 400, 2 ** 64, -2 ** 60, 1.5])}), "error"
    if kind == "restart":  # the shell is running: refused
        return json.dumps({"type": "restart", "id": 3}), "error"
    raise ValueError(kind)


class Conn:
    def __init__(self, session, url, origin):
        self.session, self.url, self.origin = session, url, origin
        self.ws = None
        self.held = []
        self.limits = None
        self.console = ""

    async def open(self):
        self.ws = await self.session.ws_connect(self.url, headers={"Origin": self.origin},
                                                max_msg_size=0)
        hello = await self.next_item(lambda it: it.get("type") == "hello")
        self.limits = hello["limits"]

    async def next_item(self, pred):
        while True:
            while self.held:
                it = self.held.pop(0)
                if it.get("type") == "console":
                    self.console = (self.console + it["data"])[-20000:]
                if pred(it):
                    return it
            msg = await self.ws.receive()
            if msg.type in (aiohttp.WSMsgType.CLOSE, aiohttp.WSMsgType.CLOSED,
                            aiohttp.WSMsgType.CLOSING, aiohttp.WSMsgType.ERROR):
                return {"type": "closed", "code": self.ws.close_code}
            self.held.extend(json.loads(msg.data))

    async def send(self, frame):
        if isinstance(frame, bytes):
            await self.ws.send_bytes(frame)
        else:
            await self.ws.send_str(frame)

    async def answer(self):
        return await self.next_item(lambda it: it.get("type") in ("error", "answer", "closed"))


def check(expected, got):
    """Whether the answer is the one the bad message must get."""
    if expected == "close":
        return got["type"] == "closed" and got["code"] == 1009
    if expected == "refused":
        return got["type"] == "answer" and got["ok"] is False and got["reason"]
    return got["type"] == "error" and bool(got["reason"])


async def fuzz(host, token, count, seed=1, progress=None):
    """Sends count bad messages to the bench at host (ADDR:PORT); returns a report: the
    messages sent by kind, the ones answered as they must be, the ones that were not
    (with their answer), and the reconnections."""
    rng = random.Random(seed)
    url = "ws://%s/ws?token=%s" % (host, token)
    origin = "http://" + host
    report = {"sent": 0, "answered": 0, "wrong": [], "kinds": {}, "reconnects": 0}
    async with aiohttp.ClientSession() as s:
        conn = Conn(s, url, origin)
        await conn.open()
        keys_max, msg_max = conn.limits["keys"], conn.limits["message"]
        while report["sent"] < count:
            kind = rng.choices(KINDS, WEIGHTS)[0]
            burst = min(FLOOD, count - report["sent"]) if kind == "flood" else 1
            sub = [rng.choice(("json", "wrong-types", "unknown", "binary")) if kind == "flood"
                   else kind for _ in range(burst)]
            msgs = [bad_message(rng, k, keys_max, msg_max) for k in sub]
            for frame, _ in msgs:
                await conn.send(frame)
            for k, (frame, expected) in zip(sub, msgs):
                got = await conn.answer()
                report["sent"] += 1
                report["kinds"][k] = report["kinds"].get(k, 0) + 1
                if check(expected, got):
                    report["answered"] += 1
                else:
                    report["wrong"].append((k, expected, got, frame[:200]))
                if got["type"] == "closed":
                    await conn.ws.close()
                    conn = Conn(s, url, origin)
                    await conn.open()
                    report["reconnects"] += 1
            if progress:
                progress(report["sent"])
        # the shell still answers: a command typed through the same connection
        await conn.send(json.dumps({"type": "paste", "id": 9, "text": "mbinfo\n"}))
        report["after"] = await conn.answer()
        try:
            await asyncio.wait_for(conn.next_item(lambda it: it.get("type") == "closed" or
                                                  "hardware=" in conn.console), 60)
        except asyncio.TimeoutError:
            pass
        report["shell_answered"] = "hardware=" in conn.console
        await conn.ws.close()
    return report


def run(host, token, count, seed=1, progress=None):
    return asyncio.run(fuzz(host, token, count, seed, progress))
