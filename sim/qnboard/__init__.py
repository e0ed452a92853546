"""The host side of the board's language, in one place.

  qnboard.link     the board link client for both stand-ins (SimLink, VirtLink)
  qnboard.parse    the link's snapshot and event lines, parsed once, and the board's
                   state kept from them (BoardState: one rule for a part's on/off)
  qnboard.control  the control lines the snapshot offers (fault rules, DDR choices,
                   front-panel keys)
  qnboard.keys     the key pacer: one key a write, the next after the redraw
  qnboard.console  the board suite's console helpers (labgrid, pexpect)
  qnboard.vcd      waveforms by the model's VCD rules, read back with sigrok-cli

Standard library only, but for qnboard.console. Callers put this package's folder
(sim/) on sys.path; nothing is installed.
"""

from .link import BoardLink, LinkError, SimLink, VirtLink  # noqa: F401
from .parse import BoardState, Event, parse_event, parse_state, part_on  # noqa: F401
