"""The bench PC stand-in (scripts/run-benchpc.sh, lab/benchpc/) as a user of its consoles and
outlets meets it: ser2net's RFC 2217 port, pdudaemon's HTTP listener. Starts the bench PC if
it is not running (and then stops it at the end); leaves every board off.
  /usr/bin/python3 -m pytest tests/benchpc"""
import os
import pathlib
import re
import socket
import subprocess
import time
import urllib.request

import pytest
import serial

REPO = pathlib.Path(__file__).resolve().parents[2]
STATE = REPO / "build-benchpc"
RUN = [str(REPO / "scripts" / "run-benchpc.sh")]
PROMPT = re.compile(rb"qnboard:[^ ]*# ")
BOOT_WAIT = 180          # seconds a board may take to its prompt on a loaded machine


def sh(*args, check=True):
    r = subprocess.run(RUN + list(args), capture_output=True, text=True, check=False)
    if check:
        assert r.returncode == 0, r.stdout + r.stderr
    return r


def table():
    out = subprocess.run(["/usr/bin/python3", str(REPO / "scripts" / "benchpc.py"), "table"],
                         capture_output=True, text=True, check=True).stdout
    return {w[0]: {"label": w[1], "image": w[2], "port": int(w[3]), "outlet": int(w[4])}
            for w in (l.split() for l in out.splitlines())}


def pdu():
    name, host, port, delay = subprocess.run(
        ["/usr/bin/python3", str(REPO / "scripts" / "benchpc.py"), "pdu"],
        capture_output=True, text=True, check=True).stdout.split()
    return name, host, int(port), int(delay)


def request(what, outlet, delay=None):
    """A request to pdudaemon's HTTP listener; its answer."""
    name, host, port, _ = pdu()
    url = f"http://{host}:{port}/power/control/{what}?hostname={name}&port={outlet}"
    if delay is not None:
        url += f"&delay={delay}"
    with urllib.request.urlopen(url, timeout=120) as r:
        return r.read().decode()


def qemu_pids(name):
    """PIDs of live QEMU processes booting this board's flash."""
    flash = f"-kernel {STATE / name / 'flash' / 'vmlinuz'} "
    pids = []
    for p in pathlib.Path("/proc").iterdir():
        if not p.name.isdigit():
            continue
        try:
            if (p / "stat").read_text().split()[2] == "Z":
                continue
            cmd = (p / "cmdline").read_bytes().replace(b"\0", b" ").decode()
        except OSError:
            continue
        if cmd.startswith("qemu-system-arm") and flash in cmd:
            pids.append(int(p.name))
    return pids


class Console:
    """A board's console through ser2net (RFC 2217), as labgrid opens it."""

    def __init__(self, port):
        # as labgrid opens it: ser2net does not answer the SET_CONTROL option
        self.port = serial.serial_for_url(f"rfc2217://127.0.0.1:{port}?ign_set_control",
                                          baudrate=115200, timeout=0.2)
        self.buf = b""

    def expect(self, pattern, timeout):
        pattern = re.compile(pattern) if isinstance(pattern, bytes) else pattern
        end = time.monotonic() + timeout
        while True:
            m = pattern.search(self.buf)
            if m:
                before, self.buf = self.buf[:m.start()], self.buf[m.end():]
                return before
            if time.monotonic() > end:
                raise AssertionError(f"no {pattern.pattern!r} on the console; it showed {self.buf[-300:]!r}")
            self.buf += self.port.read(4096)

    def drain(self):
        """Drops what came, once the console is quiet for a read's timeout."""
        while self.port.read(4096):
            pass
        self.buf = b""

    def run(self, cmd, timeout=30):
        """A command at the board prompt; its output (between two marks)."""
        self.drain()
        self.port.write(f"echo '<'BEGIN; {cmd}; echo '<'END\n".encode())
        self.expect(rb"<BEGIN\r?\n", timeout)
        return self.expect(rb"<END\r?\n", timeout).decode("latin-1").replace("\r\n", "\n")

    def close(self):
        self.port.close()


@pytest.fixture(scope="module")
def bench():
    started = "ser2net: running" not in sh("status").stdout
    sh("up")
    boards = table()
    yield boards
    for b in boards.values():
        request("off", b["outlet"])
    if started:
        sh("down")


def switch(console, what, outlet, delay=None):
    """A power request for the board on this console: what the console showed before
    (an old prompt) is dropped first."""
    console.drain()
    return request(what, outlet, delay)


def boot(console, timeout=BOOT_WAIT):
    """Waits for the prompt of a board just switched on; a command line answers."""
    console.expect(PROMPT, timeout)
    assert console.run("echo alive").strip() == "alive"


def test_the_boards_of_the_config_are_served(bench):
    assert {b["label"] for b in bench.values()} >= {"KD3151", "KD3555"}
    assert any(b["image"] != b["label"] for b in bench.values()), "a board with a wrong image"
    out = sh("status").stdout
    for name, b in bench.items():
        row = re.search(rf"^{name}\s+{b['label']}\s+\S+\s+{b['port']}\s+{b['outlet']}\s+(\S+)", out, re.M)
        assert row, out
    # each serves its ports (one that started while another bench PC held them would not)
    assert re.search(r"^ser2net: running \(pid \d+\)$", out, re.M), out
    assert re.search(r"^pdudaemon: running \(pid \d+\)$", out, re.M), out


def test_a_board_boots_from_its_flash_and_is_cut_at_off(bench):
    """On: the board's own image boots to a root prompt with the drivers loaded and
    qn_shell on PATH, the model of its flash on the kernel command line; no second or
    third UART is wired. Off: its QEMU is gone at once."""
    name = "qn-board-05"
    b = bench[name]
    con = Console(b["port"])
    try:
        assert switch(con, "on", b["outlet"]).startswith("OK")
        assert len(qemu_pids(name)) == 1
        boot(con)
        assert "qn_board " in con.run("lsmod")
        assert con.run("command -v qn_shell").strip() == "/usr/bin/qn_shell"
        assert f"qn_board.model={b['image']}" in con.run("cat /proc/cmdline")
        cmd = pathlib.Path(f"/proc/{qemu_pids(name)[0]}/cmdline").read_bytes().split(b"\0")
        assert cmd.count(b"-serial") == 1, "the console alone: a board has no control UART"
        # on again: still one board
        request("on", b["outlet"])
        assert len(qemu_pids(name)) == 1
        assert request("off", b["outlet"]).startswith("OK")
        assert qemu_pids(name) == [], "off kills the board's QEMU before it answers"
        assert "off" in sh("status").stdout.split(name)[1].splitlines()[0]
    finally:
        con.close()


def test_the_adapter_outlives_the_board_and_drops_what_came_while_off(bench):
    """A console held open through a power cut sees the new boot; what was typed while
    the board had no power never reaches it; the adapter is the same pty throughout."""
    name = "qn-board-01"
    b = bench[name]
    adapter = os.readlink(STATE / name / "adapter")
    socat = (STATE / name / "socat.pid").read_text()
    con = Console(b["port"])
    try:
        switch(con, "on", b["outlet"])
        boot(con)
        con.run("echo up > /root/mark")
        request("off", b["outlet"])
        con.port.write(b"echo typed-while-off > /root/typed\n")
        time.sleep(0.5)
        switch(con, "on", b["outlet"])
        boot(con)
        assert con.run("ls /root").split() == [], "the cut ended the system; nothing typed came in"
        assert os.readlink(STATE / name / "adapter") == adapter
        assert (STATE / name / "socat.pid").read_text() == socat
    finally:
        request("off", b["outlet"])
        con.close()


def test_reboot_request_cuts_and_boots_again(bench):
    name = "qn-board-05"
    b = bench[name]
    con = Console(b["port"])
    try:
        switch(con, "on", b["outlet"])
        boot(con)
        first = qemu_pids(name)
        con.run("echo up > /root/mark")
        assert switch(con, "reboot", b["outlet"], delay=1).startswith("OK")
        boot(con)
        assert con.run("ls /root").split() == []
        assert qemu_pids(name) and qemu_pids(name) != first
    finally:
        request("off", b["outlet"])
        con.close()


def test_flash_puts_a_wrong_image_right(bench):
    """The board whose flash holds another model's image names that model; written again
    for its label, it names its label after the next power-on."""
    name, b = next((n, b) for n, b in bench.items() if b["image"] != b["label"])
    con = Console(b["port"])
    try:
        for model in (b["image"], b["label"]):
            sh("flash", name, model)
            switch(con, "reboot", b["outlet"], delay=1)
            boot(con)
            con.port.write(b"qn_shell\n")
            con.expect(rb"quenta \$: ", 30)
            for key in b"mbinfo\r":      # one key a write, as the shell reads them
                con.port.write(bytes([key]))
                time.sleep(0.1)
            out = con.expect(rb"quenta \$: ", 30).decode("latin-1")
            assert f"hardware={model}," in out
            for key in b"exit\r":
                con.port.write(bytes([key]))
                time.sleep(0.1)
            con.expect(PROMPT, 30)
    finally:
        sh("flash", name, b["image"])
        request("off", b["outlet"])
        con.close()


def test_an_outlet_without_a_board_switches_nothing(bench):
    spare = max(b["outlet"] for b in bench.values()) + 1
    before = {n: qemu_pids(n) for n in bench}
    assert request("on", spare).startswith("OK")
    assert {n: qemu_pids(n) for n in bench} == before


def test_a_new_client_takes_the_console_over(bench):
    """A technician's telnet takes a console that a hung job still holds: ser2net closes
    the old connection and serves the new one (its telnet options first)."""
    port = bench["qn-board-01"]["port"]
    old = socket.create_connection(("127.0.0.1", port), timeout=5)
    try:
        assert old.recv(64).startswith(b"\xff"), "telnet options from ser2net"
        new = socket.create_connection(("127.0.0.1", port), timeout=5)
        try:
            assert new.recv(64).startswith(b"\xff")
            old.settimeout(10)     # the old connection ends (a timeout fails the test)
            while old.recv(64):
                pass
        finally:
            new.close()
    finally:
        old.close()


def test_up_again_starts_nothing_twice(bench):
    """up on a running bench PC keeps its processes (a board's power too)."""
    def pids():
        found = {}
        for f in sorted(STATE.glob("*.pid")) + sorted(STATE.glob("*/socat.pid")):
            found[str(f.relative_to(STATE))] = f.read_text().strip()
        return found
    before = pids()
    assert len(before) == 2 + len(bench), before
    sh("up")
    assert pids() == before
