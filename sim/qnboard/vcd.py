"""Waveforms of the board's 72 GPIO pins.

vcd_text() writes a value change dump by the model's own rules (its VCD writer in
the simulator and the board driver): the same header, 1 us timescale, one-character
identifiers from '%' on, a time stamp only when time moves on. pulses() reads a VCD
with a real reader, sigrok-cli's VCD input and its timing decoder (Debian's
sigrok-cli), never with a parser of our own.
"""

import shutil
import subprocess

__all__ = ["vcd_text", "pulses", "reader"]

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


def pulses(path, pin):
    """The level segments of one pin ("gpio6_1") between its edges, as sigrok-cli's
    timing decoder measures them: [(start, end)] in µs from the file's first time
    stamp. The first segment begins at the pin's first edge; the levels alternate."""
    out = subprocess.run(
        [reader() or "sigrok-cli", "-I", "vcd", "-i", str(path), "-P", "timing:data=" + pin,
         "-A", "timing=time", "--protocol-decoder-samplenum"],
        check=True, capture_output=True, text=True).stdout
    segs = []
    for line in out.splitlines():
        span = line.split(" ", 1)[0]
        a, _, b = span.partition("-")
        if a.isdigit() and b.isdigit():
            segs.append((int(a), int(b)))
    return segs
