"""Typing into the shell: the key pacer.

The shell decodes the bytes of one read as one key, so a key goes in one write, and
the next key only after the shell has redrawn the line for it (it ends every redraw
with "show cursor"). After Enter typed by hand the next key goes once the command
answers (output that is no redraw, with no typed byte waiting), so a key typed while
a command runs reaches it (a listing stops on a key); after a pasted Enter, once the
next prompt is drawn. Page Up and Page Down draw nothing: the next key follows after
a short pause.

KeyPacer holds that rule and sees the console output (feed()); type_keys() drives it
for a blocking console, wait_async() for the bench server's event loop.
"""

import asyncio
import time

__all__ = ["KEY_MAX_BYTES", "REDRAW_END", "REDRAW_START", "SILENT_KEYS", "KeyPacer",
           "RedrawWatch", "split_keys", "type_keys", "wait_async"]

# The longest key the shell decodes is one read of up to 10 bytes.
KEY_MAX_BYTES = 10
# The shell ends every redraw (the line, the prompt, a completion) with "show cursor".
REDRAW_END = b"\x1b[?25h"
REDRAW_START = b"\x1b[?25l"
# Keys after which the shell draws nothing: Page Up and Page Down are swallowed.
SILENT_KEYS = (b"\x1b[5~", b"\x1b[6~")
ENTER = (b"\r", b"\n")
REDRAW_WAIT = 10.0  # seconds a key waits at most for its redraw
SILENT_WAIT = 0.2


def split_keys(text):
    """Splits text into keys as a terminal sends them: one escape sequence or one
    character each. CR LF and LF become the Enter key (CR). Characters the shell
    cannot take (non-ASCII, other control characters) are left out."""
    keys = []
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if c == "\x1b":
            j = i + 1
            if j < n and text[j] in "[O":
                j += 1
                while j < n and j - i < KEY_MAX_BYTES and not (0x40 <= ord(text[j]) <= 0x7E):
                    j += 1
                j = min(j + 1, n)
            keys.append(text[i:j].encode("ascii", "replace"))
            i = j
            continue
        if c == "\r":
            keys.append(b"\r")
            i += 2 if i + 1 < n and text[i + 1] == "\n" else 1
            continue
        if c == "\n":
            keys.append(b"\r")
        elif c in "\t\x08\x7f" or 32 <= ord(c) < 127:
            keys.append(c.encode("ascii"))
        i += 1
    return keys


class RedrawWatch:
    """Watches the console output for the start and the end of a redraw, across read
    boundaries."""

    def __init__(self):
        self._tail = b""
        self.count = 0  # redraws ended
        self.started = 0

    def feed(self, data):
        buf = self._tail + data
        self.count += buf.count(REDRAW_END)
        self.started += buf.count(REDRAW_START)
        self._tail = buf[-(len(REDRAW_END) - 1):]
        return self.count

    def drawing(self):
        """Whether a redraw has begun and not ended yet."""
        return self.started > self.count


class _Mark:
    __slots__ = ("key", "answer", "redraws", "reads")

    def __init__(self, key, answer, redraws, reads):
        self.key, self.answer, self.redraws, self.reads = key, answer, redraws, reads


class KeyPacer:
    """The rule: mark() before a key's write, then the next key may go once
    may_go(mark) holds, or after patience(mark) seconds."""

    def __init__(self):
        self.watch = RedrawWatch()
        self.reads = 0  # console reads seen

    def feed(self, data):
        """Console output, as it is read."""
        self.reads += 1
        self.watch.feed(data)

    def mark(self, key, paste=False):
        return _Mark(key, key in ENTER and not paste, self.watch.count, self.reads)

    def may_go(self, mark, unread=None):
        """Whether the key after the marked one may go; unread: typed bytes the shell
        has not read yet, where the caller can tell."""
        if self.watch.count > mark.redraws:
            return True
        return (mark.answer and self.reads > mark.reads and not self.watch.drawing()
                and not unread)

    @staticmethod
    def patience(mark):
        return SILENT_WAIT if mark.key in SILENT_KEYS else REDRAW_WAIT


def type_keys(pacer, keys, write, read, paste=False):
    """Types keys (bytes each) on a blocking console: write(bytes) writes, read(timeout)
    returns what came (b"" if nothing) and is fed to the pacer. False if a key other
    than a silent one got no redraw in time."""
    ok = True
    for key in keys:
        mark = pacer.mark(key, paste)
        write(key)
        deadline = time.monotonic() + pacer.patience(mark)
        while not pacer.may_go(mark):
            left = deadline - time.monotonic()
            if left <= 0:
                ok = ok and key in SILENT_KEYS
                break
            data = read(min(left, 0.5))
            if data:
                pacer.feed(data)
    return ok


async def wait_async(pacer, mark, output, still=lambda: True, unread=lambda: None):
    """Waits on the event loop until the key after the marked one may go, or for its
    patience: output() is the asyncio.Event the caller sets after the next feed() (and
    when the shell ends); still() false ends the wait (the shell ended); unread() as for
    may_go(). It looks again after each console read only: one timer, no task, no poll.
    (A shell that reads Enter answers with output, so the unread count is looked at
    then.)"""
    loop = asyncio.get_running_loop()
    try:
        async with asyncio.timeout_at(loop.time() + pacer.patience(mark)):
            while still() and not pacer.may_go(mark, unread()):
                await output().wait()
    except TimeoutError:
        return False
    return True
