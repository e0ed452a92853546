"""The board link on the virtual board: the snapshot through the control
agent (@state, the driver's state file) and the event stream on the third
UART (the driver's consuming events file), read with the qnboard package's link client."""

import asyncio

import pytest
from qnboard.console import control_socket, option_path
from qnboard.link import VirtLink
from qnboard.parse import parse_event, parse_state

pytestmark = pytest.mark.lg_feature("control")

D = "/sys/kernel/debug/qn_board"


@pytest.fixture
def link(env, ctl, board):
    """A VirtLink on the board's two UART sockets. QEMU serves one client per
    socket, so the suite's own control connection steps aside meanwhile."""
    board.ctl.close()
    lk = VirtLink(control_socket(env), option_path(env, "events_socket"))
    yield lk
    try:
        asyncio.run(asyncio.wait_for(_off(lk), 30))
    finally:
        board.ctl.connect()


async def _off(lk):
    lk = VirtLink(lk.ctl_path, lk.events_path)
    async with lk:
        await lk._request("@events off")
        assert await lk._read_answer() == "ok"


def run(coro, timeout=120):
    return asyncio.run(asyncio.wait_for(coro, timeout))


async def collect(it, until, limit=60.0):
    lines = []
    loop = asyncio.get_running_loop()
    deadline = loop.time() + limit
    while not until(lines):
        try:
            lines.append(await asyncio.wait_for(it.__anext__(), deadline - loop.time()))
        except asyncio.TimeoutError:
            raise AssertionError("events so far: %r" % lines[-30:]) from None
    return lines


def test_state_through_the_agent(qn, link):
    async def go():
        async with link:
            assert await link.control("pin 6_7 1") == (True, "")
            ok, why = await link.control("pin 6_8 1")
            assert not ok and "bit 0-7" in why
            await link._request("@bogus")
            assert await link._read_answer() == "error: unknown request @bogus"
            return await link.state()

    lines = run(go())
    st = parse_state(lines)
    assert st["identity"] == {"model": "KD3454", "code": 0x20D97004, "gp_id": 0, "mb_version": 1}
    parts = {(p["part"], p["name"]): (p["pin"], p["active"]) for p in st["parts"]}
    assert parts[("lamp", "DoorLED")] == ("8_0", 0)
    assert parts[("reset", "hubreset")] == ("6_1", 0)
    assert parts[("input", "HwVer1")] == ("6_7", 1)
    assert len(parts) == 12 and st["other"] == []
    assert st["pins"] == [0, 0, 0, 0, 0, 0, 0x80, 0, 0]
    assert st["ddr"]["mb"] == 256 and st["time_us"] > 0
    # the fault rules this driver accepts: its five requests, not the clocks
    assert st["faults"] == ["QN_REG_ACCESS", "QN_GET_MBINFO", "QN_BUZZER", "I2C_REG_READ", "I2C_REG_WRITE"]
    # the same bytes as the driver's state file at the prompt (time aside)
    out = qn.sh(f"cat {D}/state")
    assert out[1:] == lines[1:]


def test_events_on_the_third_uart(qn, link):
    async def go():
        loop = asyncio.get_running_loop()
        async with link:
            # a line of the driver's from before the subscription stays behind
            ok, _ = await link.control("pin 6_8 1")
            assert not ok
            it = await link.subscribe()
            assert await link.control("pin 4_1 1") == (True, "")
            first = await collect(it, lambda ls: ls and " pins 4 " in ls[-1])
            await loop.run_in_executor(None, qn.start)
            await loop.run_in_executor(None, qn.command, "hubreset")
            pulse = await collect(it, lambda ls: sum(" pins 6 " in l for l in ls) >= 3
                                  and sum(" ioctl QN_REG_ACCESS " in l for l in ls) >= 3)
            await loop.run_in_executor(None, qn.exit)
            await it.aclose()
            return first, pulse

    first, pulse = run(go())
    assert not [l for l in first + pulse if " ctl-error " in l]
    assert parse_event(first[-1])["levels"] == 0x02
    evs = [parse_event(l) for l in pulse]
    assert all(e["t_us"] >= 0 and e["kind"] for e in evs)
    pins = [e for e in evs if e["kind"] == "pins" and e["bank"] == 6]
    assert [e["levels"] for e in pins[:3]] == [0x02, 0x00, 0x02]
    # the reset level lasts the 100 ms the shell holds it, at least (how much
    # longer is a timing: bench/board_figures.py measures the pulse)
    width = pins[2]["t_us"] - pins[1]["t_us"]
    assert width >= 100000
    writes = [e for e in evs if e["kind"] == "ioctl" and e["name"] == "QN_REG_ACCESS"]
    assert len(writes) == 3
    # the trace file keeps no pins lines; its request lines are the same
    trace = qn.sh(f"cat {D}/trace")
    assert not any(" pins " in l for l in trace)
    for e in writes:
        assert e["text"] in trace


def test_truncating_open_empties_the_events_file(qn, ctl):
    """`: > events` empties the pipe as `: > trace` empties the trace: a line
    from before it is gone, and the next line read is the next event."""
    out = qn.sh(f"echo 'pin 6_8 1' 2>/dev/null > {D}/ctl; : > {D}/events; "
                f"echo sync > {D}/ctl; head -n 1 {D}/events")
    assert len(out) == 1 and out[0].endswith(" sync"), out


def test_events_file_counts_what_a_full_pipe_drops(qn, ctl, board):
    """A 1 KiB pipe and nobody reading: the lines that found it full come back
    as one count after a read, and none is lost uncounted."""
    board.reload(events_kb=1)
    try:
        qn.sh(f": > {D}/events")
        qn.sh(f"i=1; while [ $i -le 200 ]; do echo \"pin 4_0 $((i % 2))\" > {D}/ctl; i=$((i + 1)); done",
              timeout=120)
        out = qn.sh(f"dd if={D}/events bs=4096 count=1 2>/dev/null; echo; "
                    f"dd if={D}/events bs=4096 count=1 2>/dev/null")
        text = "\n".join(out)
        evs = [e for e in map(parse_event, text.splitlines()) if e]
        pins = [e for e in evs if e["kind"] == "pins"]
        drops = [e for e in evs if e["kind"] == "dropped"]
        assert len(drops) == 1 and drops[0]["count"] > 0
        assert len(pins) + drops[0]["count"] == 200
        assert [e["levels"] for e in pins] == [(i + 1) % 2 for i in range(len(pins))]
    finally:
        board.reload()
