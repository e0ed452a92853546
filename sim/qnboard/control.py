"""Control lines for what the snapshot offers: a fault rule of its `faults` line, a
DDR size of its `ddrchoice` lines, a front-panel key in one of its `key` framings.
Each checks the choice against the snapshot (parse_state()'s dict) and gives the
control lines, or raises ValueError with the reason."""

__all__ = ["ddr_lines", "fault_line", "input_line", "panel_line", "DDR_REG2C", "DDR_REG1C"]

# The DDR controller's geometry registers (columns/rows, bus width).
DDR_REG2C = 0x2011002C
DDR_REG1C = 0x2011001C


def fault_line(st, name, at=None):
    """`fail NAME[@N]`: a rule of the transport's list, from its Nth call on."""
    if name not in st.get("faults", []):
        raise ValueError("this board takes no fault rule %r" % name)
    if at is None:
        return "fail " + name
    if not isinstance(at, int) or isinstance(at, bool) or at < 1:
        raise ValueError("a fault's first call is a number from 1 on")
    return "fail %s@%d" % (name, at)


def ddr_lines(st, mb):
    """The two register writes that set the controller to one of its DDR sizes."""
    for c in st.get("ddr", {}).get("choices", []):
        if c["mb"] == mb:
            return ["reg 0x%08X 0x%02X" % (DDR_REG2C, c["reg2c"]),
                    "reg 0x%08X 0x%02X" % (DDR_REG1C, c["reg1c"])]
    raise ValueError("the DDR controller has no %r MB setting" % (mb,))


def panel_line(st, framing, code):
    """`panel BYTES`: a key code (0-255) in one of the snapshot's framings (KK is the
    code's place)."""
    if not isinstance(code, int) or isinstance(code, bool) or not 0 <= code <= 0xFF:
        raise ValueError("a key code is a byte")
    for k in st.get("keys", []):
        if k["framing"] == framing:
            return "panel " + " ".join("%02x" % code if b == "KK" else b for b in k["bytes"])
    raise ValueError("no key framing %r" % (framing,))


def input_line(st, part_id, level):
    """`pin B_b L`: an input part of the snapshot (by its id) set to a level."""
    parts = st.get("parts", [])
    if not isinstance(part_id, int) or not 0 <= part_id < len(parts) or \
            parts[part_id]["part"] != "input":
        raise ValueError("no such input")
    if level not in (0, 1):
        raise ValueError("a level is 0 or 1")
    return "pin %s %d" % (parts[part_id]["pin"], level)
