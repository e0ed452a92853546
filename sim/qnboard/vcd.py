"""Waveforms of the board's 72 GPIO pins.

vcd_text() writes a value change dump by the model's own rules (its VCD writer in
the simulator and the board driver): the same header, 1 us timescale, one-character
identifiers from '%' on, a time stamp only when time moves on. pulses() reads a VCD
with a real reader, sigrok-cli's VCD input and its timing decoder (Debian's
sigrok-cli), never with a parser of our own.
"""

import os
import shutil
import subprocess
import tempfile

__all__ = ["vcd_text", "moves", "pulses", "reader", "text_file"]

PINS = 72


def _id(pin):
    return chr(ord("%") + pin)


def _header(date, start_us, levels):
    out = ["$date %s $end" % date, "$version qnsim $end", "$timescale 1us $end",
           "$scope module gpio $end"]
    out += ["$var wire 1 %s gpio%d_%d $end" % (_id(p), p >> 3, p & 7) for p in range(PINS)]
    out += ["$upscope $end", "$enddefinitions $end", "#%d" % start_us, "$dumpvars"]
    out += ["%d%s" % ((levels[p >> 3] >> (p & 7)) & 1, _id(p)) for p in range(PINS)]
    out.append("$end")
    return out


def vcd_text(start_us, start_levels, changes, end_us=None, date="virtual bench"):
    """A value change dump of the 72 pins from their levels at start_us (9 bank bytes)
    and a list of (t_us, bank, levels) pin events; end_us closes it with a last time
    stamp."""
    levels = list(start_levels)
    out = _header(date, start_us, levels)
    last = start_us
    for t, bank, lv in changes:
        if not 0 <= bank < 9 or not levels[bank] ^ lv:
            continue
        if t > last:
            out.append("#%d" % t)
            last = t
        diff = levels[bank] ^ lv
        out += ["%d%s" % ((lv >> b) & 1, _id(bank * 8 + b)) for b in range(8) if diff >> b & 1]
        levels[bank] = lv
    if end_us is not None and end_us > last:
        out.append("#%d" % end_us)
    return "\n".join(out) + "\n"


def reader():
    """The path of sigrok-cli, or None."""
    return shutil.which("sigrok-cli")


def _sigrok(args):
    return subprocess.run([reader() or "sigrok-cli"] + args, check=True, capture_output=True,
                          text=True).stdout


def _closed(path, out):
    """A copy of a VCD with one more time stamp after its last: a reader takes a
    value change as a sample once time moves on after it, and a VCD written live
    ends at its last change."""
    with open(path) as f:
        text = f.read()
    stamps = [line for line in text.splitlines() if line.startswith("#")]
    last = int(stamps[-1][1:]) if stamps else 0
    with open(out, "w") as f:
        f.write(text.rstrip("\n") + "\n#%d\n" % (last + 1))


def pulses(path, pin):
    """The level segments of one pin ("gpio6_1") between its edges, as sigrok-cli's
    timing decoder measures them: [(start, end)] in µs from the file's first time
    stamp. The first segment begins at the pin's first edge; the levels alternate."""
    with tempfile.TemporaryDirectory(prefix="qnvcd.") as tmp:
        closed = os.path.join(tmp, "closed.vcd")
        _closed(path, closed)
        out = _sigrok(["-I", "vcd", "-i", closed, "-P", "timing:data=" + pin,
                       "-A", "timing=time", "--protocol-decoder-samplenum"])
    segs = []
    for line in out.splitlines():
        span = line.split(" ", 1)[0]
        a, _, b = span.partition("-")
        if a.isdigit() and b.isdigit():
            segs.append((int(a), int(b)))
    return segs


def moves(path):
    """Every pin's changes in time order, as sigrok-cli's VCD input gives the levels
    at each time stamp (idle time compressed away): [(step, "gpioB_b", level)],
    step the place of the time stamp (0: the first change)."""
    with tempfile.TemporaryDirectory(prefix="qnvcd.") as tmp:
        closed = os.path.join(tmp, "closed.vcd")
        _closed(path, closed)
        out = _sigrok(["-I", "vcd:compress=1", "-i", closed, "-O", "csv:label=channel"])
    rows = [line.split(",") for line in out.splitlines() if line and line[0] not in ";M"]
    names, rows = rows[0], [[int(x) for x in r] for r in rows[1:]]
    got = []
    for step, (a, b) in enumerate(zip(rows, rows[1:])):
        got += [(step, names[i], b[i]) for i in range(len(names)) if a[i] != b[i]]
    return got


class text_file:
    """A VCD's text in a temporary file for the readers: `with text_file(t) as path`."""

    def __init__(self, text):
        self.text = text

    def __enter__(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="qnvcd.")
        path = os.path.join(self.tmp.name, "wave.vcd")
        with open(path, "w") as f:
            f.write(self.text)
        return path

    def __exit__(self, *exc):
        self.tmp.cleanup()
