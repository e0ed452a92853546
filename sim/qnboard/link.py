"""The board link: one interface to either stand-in of the board.

SimLink talks to the LD_PRELOAD simulator's link socket (``qnsim --link
PATH``); VirtLink to the virtual board's two UART sockets (the control agent
on ttyAMA1 behind ``build-board/ctl.sock``, the event stream on ttyAMA2 behind
``build-board/events.sock``).  Both speak the same lines:

* a control line in, one answer out: ``ok`` or ``error: REASON``;
* ``@state``: the snapshot lines, then ``end``;
* events: every trace line (``T kind ...``), ``T pins BANK LL`` for each pin
  change, ``T dropped N`` after lines a slow reader lost.

The event streams give each line once parsed (an Event: the line, with
parse_event()'s fields); parse_state() (qnboard.parse) reads the snapshot.
Callers never parse raw lines themselves.  Standard library only (asyncio).
"""

import asyncio
import uuid

from .parse import Event

__all__ = [
    "BoardLink",
    "SimLink",
    "VirtLink",
    "LinkError",
]

LINE_MAX = 1 << 16


class LinkError(Exception):
    """The link broke: the socket closed or answered out of turn."""


class BoardLink:
    """Abstract board link (see SimLink and VirtLink)."""

    async def open(self):
        raise NotImplementedError

    async def close(self):
        raise NotImplementedError

    async def control(self, line):
        """Sends one control line; (True, '') for ok, (False, REASON) else."""
        raise NotImplementedError

    async def state(self):
        """The snapshot lines, without the closing 'end'."""
        raise NotImplementedError

    async def subscribe(self):
        """Connects to the event stream and returns an async iterator of its
        events (Event: the line, parsed): every event after this call returns
        is in it (or counted in a "T dropped N" line)."""
        raise NotImplementedError

    async def __aenter__(self):
        await self.open()
        return self

    async def __aexit__(self, *exc):
        await self.close()


def _check_line(line):
    if "\n" in line or "\r" in line:
        raise ValueError("a control line is one line")
    if not line.isascii():
        raise ValueError("a control line is ASCII")
    return line


def _answer(text):
    if text == "ok":
        return True, ""
    if text.startswith("error: "):
        return False, text[len("error: "):]
    if text.startswith("error"):
        return False, text[len("error"):].lstrip(": ")
    raise LinkError("unexpected answer %r" % text)


class _LineConn:
    """One stream connection carrying text lines."""

    def __init__(self, reader, writer):
        self.reader, self.writer = reader, writer

    async def send(self, line):
        self.writer.write(line.encode("ascii") + b"\n")
        await self.writer.drain()

    async def recv(self):
        try:
            raw = await self.reader.readline()
        except (asyncio.LimitOverrunError, ValueError) as e:
            raise LinkError("line too long") from e
        if not raw.endswith(b"\n"):
            raise LinkError("link closed")
        return raw[:-1].rstrip(b"\r").decode("ascii", "replace")

    async def close(self):
        self.writer.close()
        try:
            await self.writer.wait_closed()
        except (OSError, ConnectionError):
            pass


class _Requester(BoardLink):
    """Control lines and @state over one connection, one request at a time."""

    def __init__(self):
        self._conn = None
        self._lock = asyncio.Lock()

    async def _connect_ctl(self):
        raise NotImplementedError

    async def open(self):
        if self._conn is None:
            self._conn = await self._connect_ctl()

    async def close(self):
        if self._conn is not None:
            conn, self._conn = self._conn, None
            await conn.close()

    async def _request(self, line):
        if self._conn is None:
            await self.open()
        await self._conn.send(line)

    async def control(self, line):
        line = _check_line(line)
        if line.startswith("@"):
            return False, "not a control line"
        async with self._lock:
            await self._request(line)
            return _answer(await self._read_answer())

    async def _read_answer(self):
        return await self._conn.recv()

    async def state(self):
        async with self._lock:
            await self._request("@state")
            lines = []
            while True:
                line = await self._conn.recv()
                if line == "end":
                    return lines
                # the snapshot starts with its time line; a serial line may
                # carry leftovers (an echo, a banner) before it
                if line.startswith("time ") or lines:
                    lines.append(line)


class SimLink(_Requester):
    """The simulator's link socket (QNSIM_LINK / qnsim --link)."""

    def __init__(self, socket_path):
        super().__init__()
        self.path = str(socket_path)

    async def _connect_ctl(self):
        r, w = await asyncio.open_unix_connection(self.path, limit=LINE_MAX)
        return _LineConn(r, w)

    async def subscribe(self):
        r, w = await asyncio.open_unix_connection(self.path, limit=LINE_MAX)
        conn = _LineConn(r, w)
        try:
            await conn.send("@events")
            ok, why = _answer(await conn.recv())
        except BaseException:
            await conn.close()
            raise
        if not ok:
            await conn.close()
            raise LinkError(why)
        return _Stream(conn)


def snapshot(socket_path):
    """The simulator's snapshot lines, asked once over its link socket (for scripts and
    tests that are not on an event loop)."""
    async def ask():
        async with SimLink(socket_path) as link:
            return await link.state()
    return asyncio.run(ask())


class _Stream:
    """Async iterator of a connection's events (Event), each line parsed once.  A cancelled step (a
    timeout around it) loses nothing: the next step goes on reading."""

    def __init__(self, conn):
        self._conn = conn

    def __aiter__(self):
        return self

    async def __anext__(self):
        if self._conn is None:
            raise StopAsyncIteration
        while True:
            try:
                line = await self._conn.recv()
            except (LinkError, ConnectionError, OSError):
                await self.aclose()
                raise StopAsyncIteration from None
            ev = Event.of(line)
            if ev is not None:  # a UART may carry a partial line at attach
                return ev

    async def aclose(self):
        if self._conn is not None:
            conn, self._conn = self._conn, None
            await conn.close()


class VirtLink(_Requester):
    """The virtual board: control agent on ttyAMA1 (ctl_sock), event stream on
    ttyAMA2 (events_sock), both QEMU chardev sockets."""

    def __init__(self, ctl_sock, events_sock):
        super().__init__()
        self.ctl_path, self.events_path = str(ctl_sock), str(events_sock)

    async def _connect_ctl(self):
        r, w = await asyncio.open_unix_connection(self.ctl_path, limit=LINE_MAX)
        conn = _LineConn(r, w)
        try:
            await self._sync(conn)
        except BaseException:
            await conn.close()
            raise
        return conn

    @staticmethod
    async def _sync(conn, wait=60.0):
        """Skips what an earlier client left unread: the agent's echo of a
        fresh token ends it (repeated: the agent may still be starting)."""
        token = uuid.uuid4().hex
        loop = asyncio.get_running_loop()
        deadline = loop.time() + wait
        await conn.send("@echo " + token)
        while True:
            try:
                if await asyncio.wait_for(conn.recv(), 2.0) == token:
                    return
            except asyncio.TimeoutError:
                if loop.time() > deadline:
                    raise LinkError("no answer from the control agent")
                await conn.send("@echo " + token)

    async def _read_answer(self):
        # A serial line may carry leftovers (an echo, a banner): the answer is
        # the first line that is one.
        while True:
            line = await self._conn.recv()
            if line == "ok" or line.startswith("error"):
                return line

    async def subscribe(self):
        """Connects to the events UART, then asks the agent to start the
        stream (it empties the driver's pipe first: what came before is not
        sent)."""
        r, w = await asyncio.open_unix_connection(self.events_path, limit=LINE_MAX)
        stream = _Stream(_LineConn(r, w))
        try:
            async with self._lock:
                await self._request("@events")
                ok, why = _answer(await self._read_answer())
        except BaseException:
            await stream.aclose()
            raise
        if not ok:
            await stream.aclose()
            raise LinkError(why)
        return stream
