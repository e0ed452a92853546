"""Fixtures of the virtual bench's browser suite: the bench started by its launcher, and
Debian's headless chromium driven through chromedriver."""

import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import pytest

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
# the qnboard package (sim/qnboard) and the bench server's modules (sim/web)
sys.path[:0] = [os.path.join(REPO, "sim"), os.path.join(REPO, "sim", "web")]
SHOTS = os.path.join(REPO, "build", "web-shots")


def pytest_addoption(parser):
    parser.addoption("--bench-board", action="store_true",
                     help="run the browser suite against the virtual board")


SHOT_PREFIX = {"": ""}


@pytest.fixture(scope="session")
def on_board(request):
    board = request.config.getoption("--bench-board")
    SHOT_PREFIX[""] = "board-" if board else "sim-"
    return board


class Bench:
    """One run of scripts/run-bench.sh: its URL, its process, its stderr."""

    def __init__(self, args, timeout=120):
        self.errfile = tempfile.TemporaryFile()
        self.proc = subprocess.Popen([os.path.join(REPO, "scripts", "run-bench.sh")] + args,
                                     stdout=subprocess.PIPE, stderr=self.errfile, cwd=REPO,
                                     start_new_session=True)
        self.lines = []
        deadline = time.monotonic() + timeout
        buf = b""
        while time.monotonic() < deadline:
            r, _, _ = select.select([self.proc.stdout], [], [], 0.5)
            if r:
                chunk = os.read(self.proc.stdout.fileno(), 4096)
                if not chunk:
                    break
                buf += chunk
                if b"\n" in buf:
                    break
            elif self.proc.poll() is not None:
                break
        self.lines = buf.decode().splitlines()
        urls = [ln for ln in self.lines if ln.startswith("http://")]
        if not urls:
            self.stop()
            raise RuntimeError("the bench printed no URL: %r %s" % (self.lines, self.stderr()))
        self.url = urls[0]
        m = re.match(r"http://([^/]+)/\?token=(\S+)$", self.url)
        self.host, self.token = m.group(1), m.group(2)
        self.base = "http://" + self.host

    def stderr(self):
        self.errfile.seek(0)
        return self.errfile.read().decode(errors="replace")

    def stop(self, sig=signal.SIGINT):
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
            try:
                self.proc.wait(20)
            except subprocess.TimeoutExpired:
                os.killpg(self.proc.pid, signal.SIGKILL)
                self.proc.wait()
        return self.proc.returncode


def bench_args(on_board, model):
    args = ["--model", model]
    if on_board:
        args = ["--board"] + args
    return args


@pytest.fixture(scope="module")
def bench_factory(on_board):
    started = []

    def start(model="KD3454", extra=()):
        if on_board:  # one virtual board at a time
            for old in started:
                old.stop()
        b = Bench(bench_args(on_board, model) + list(extra), timeout=600 if on_board else 120)
        started.append(b)
        return b

    yield start
    for b in started:
        b.stop()


def chrome():
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    opts = webdriver.ChromeOptions()
    opts.binary_location = shutil.which("chromium") or "/usr/bin/chromium"
    profile = tempfile.mkdtemp(prefix="qnbench-chromium.")
    for a in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
              "--disable-background-networking", "--disable-component-update", "--disable-sync",
              "--disable-dev-shm-usage", "--window-size=1600,1300",
              # a name of someone else's that resolves to this machine, as a DNS
              # rebinding attack makes it: the bench must not answer to it
              "--host-resolver-rules=MAP rebind.test 127.0.0.1",
              "--user-data-dir=" + profile):
        opts.add_argument(a)
    opts.set_capability("goog:loggingPrefs", {"browser": "ALL", "performance": "ALL"})
    drv = webdriver.Chrome(service=Service(shutil.which("chromedriver") or "/usr/bin/chromedriver"),
                           options=opts)
    drv.set_page_load_timeout(30)
    drv._qn_profile = profile
    return drv


@pytest.fixture(scope="module")
def browser():
    drv = chrome()
    yield drv
    drv.quit()
    shutil.rmtree(drv._qn_profile, ignore_errors=True)


def shot(driver, name):
    os.makedirs(SHOTS, exist_ok=True)
    path = os.path.join(SHOTS, SHOT_PREFIX[""] + name + ".png")
    driver.save_screenshot(path)
    return path
