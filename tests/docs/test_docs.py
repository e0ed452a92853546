"""The documentation as a newcomer reads it: README.md fits one screen and maps docs/, every
link and every path it names is there, and the commands README.md and docs/*.md show run as
shown where this machine can run them (the host build; the fuzz, ARM and board builds when a
stage has made them), with the output they show."""
import os
import pathlib
import re
import shutil
import subprocess
import sys
import time

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
BUILD = pathlib.Path(os.environ.get("QN_BUILD_DIR", REPO / "build"))
README = REPO / "README.md"
sys.path.insert(0, str(REPO / "sim"))
from qnboard.link import snapshot  # noqa: E402
DOCS = sorted((REPO / "docs").glob("*.md"))
PAGES = [README] + DOCS

needs_build = pytest.mark.skipif(not (BUILD / "qnsim").exists() or not (BUILD / "qn_shell").exists(),
                                 reason="needs the host build (build/qnsim, build/qn_shell)")


def page_id(p):
    return str(p.relative_to(REPO))


def text(path):
    return path.read_text(encoding="utf-8")


def code_blocks(path, lang=None):
    """The fenced blocks of a page (of one language when given), as lists of lines."""
    blocks, cur, cur_lang = [], None, None
    for line in text(path).splitlines():
        if line.startswith("```"):
            if cur is None:
                cur, cur_lang = [], line[3:].strip()
            else:
                if lang is None or cur_lang == lang:
                    blocks.append(cur)
                cur = None
        elif cur is not None:
            cur.append(line)
    return blocks


def section(path, heading):
    """The text of one section, from its heading to the next heading of any level."""
    m = re.search(r"^#+ %s\n(.*?)(?=^#+ |\Z)" % re.escape(heading), text(path), re.S | re.M)
    assert m, "no section %r in %s" % (heading, path.name)
    return m.group(1)


def run(cmd, **kw):
    kw.setdefault("timeout", 120)  # a hang guard, not a measure
    kw.setdefault("stdin", subprocess.DEVNULL)
    return subprocess.run(cmd, cwd=kw.pop("cwd", REPO), capture_output=True, text=True, **kw)


# ---- the first screen and the map ---------------------------------------------------------


def test_readme_fits_one_screen():
    lines = text(README).splitlines()
    assert len(lines) < 150, len(lines)
    # the two commands first, then the key advice
    head = "\n".join(lines[:12])
    assert "scripts/run-sim.sh" in head and "scripts/test-all.sh" in head
    assert "**Backspace is Ctrl-H.**" in "\n".join(lines[:20])


def test_readme_maps_every_page_of_docs():
    linked = set(re.findall(r"\]\((docs/[^)#]+\.md)\)", section(README, "Where the rest is")))
    assert linked == {page_id(p) for p in DOCS}


# ---- links and paths ------------------------------------------------------------------------


def slugs(path):
    """The anchors a Markdown renderer gives the page's headings (GitHub's rule)."""
    seen, out = {}, set()
    in_code = False
    for line in text(path).splitlines():
        if line.startswith("```"):
            in_code = not in_code
            continue
        m = None if in_code else re.match(r"#+ (.*)", line)
        if not m:
            continue
        s = re.sub(r"[^\w\- ]", "", m.group(1).strip().lower()).replace(" ", "-")
        n = seen.get(s, 0)
        seen[s] = n + 1
        out.add(s if n == 0 else "%s-%d" % (s, n))
    return out


@pytest.mark.parametrize("page", PAGES, ids=page_id)
def test_every_link_resolves(page):
    links = re.findall(r"\]\(([^)\s]+)\)", text(page))
    bad = []
    for link in links:
        if re.match(r"[a-z]+:", link):
            continue  # (no page links outside the checkout)
        target, _, anchor = link.partition("#")
        dest = (page.parent / target).resolve() if target else page
        if not dest.exists():
            bad.append(link)
        elif anchor and anchor not in slugs(dest):
            bad.append(link)
    assert not bad, bad


TRACKED = set(subprocess.run(["git", "ls-files"], cwd=REPO, capture_output=True, text=True).stdout.split())
TOP = ("src", "sim", "tests", "lab", "bench", "fuzz", "cmake", "scripts", "docs")


def named_paths(page):
    """Paths of the checkout that a page names in code spans: `sim/web/boardlink.py`."""
    out = set()
    for span in re.findall(r"`([^`\s]+)`", text(page)):
        span = span.rstrip(".,:;")
        if span.split("/")[0] in TOP and "/" in span and not re.search(r"[*<>N]|\.\.\.|…", span):
            out.add(span.rstrip("/"))
    return out


@pytest.mark.parametrize("page", PAGES, ids=page_id)
def test_every_named_path_is_in_the_checkout(page):
    missing = [p for p in sorted(named_paths(page))
               if p not in TRACKED and not any(t.startswith(p + "/") for t in TRACKED) and not ignored(p)]
    assert not missing, missing


def ignored(path):
    """A path git ignores: made by a build (sim/web/node_modules), not kept in the checkout."""
    return subprocess.run(["git", "check-ignore", "-q", path], cwd=REPO).returncode == 0


# ---- commands the pages show ----------------------------------------------------------------


def shown_help_commands():
    found = set()
    for page in PAGES:
        found |= set(re.findall(r"((?:scripts|bench)/[\w.-]+|build/qnsim) --help", text(page)))
    return sorted(found)


def test_shown_help_commands_are_ones_whose_usage_is_tested():
    """tests/scripts runs --help of every script (and qnsim's below): each command a page
    shows with --help is one of them."""
    tested = {"scripts/" + p.name for p in (REPO / "scripts").iterdir()} | {"bench/run.sh", "build/qnsim"}
    shown = shown_help_commands()
    assert shown and set(shown) <= tested, set(shown) - tested


@needs_build
def test_qnsim_help_lists_every_setting_of_the_table():
    r = run([str(BUILD / "qnsim"), "--help"])
    assert r.returncode == 0 and r.stdout.startswith("usage:"), r.stdout[:200]
    helptext = r.stdout
    table = text(REPO / "docs" / "simulator.md").split("| setting | meaning |")[1].split("\n\n")[0]
    settings = set(re.findall(r"`(QNSIM_\w+)`", table))
    assert len(settings) >= 10
    assert {s for s in settings if s not in helptext} == set()
    # and the commands of the control channel the page shows
    for word in ("panel", "pin", "reg", "i2c", "nvp", "clock", "sync", "fail", "reset"):
        assert re.search(r"^  %s\b" % word, helptext, re.M), word


class Sim:
    """build/qnsim on the simulated board, its input held open and untouched: the shell
    waits at its prompt while the control FIFO and the board link serve."""

    def __init__(self, tmp, args=(), env=None):
        self.tmp = tmp
        self.proc = subprocess.Popen([str(BUILD / "qnsim"), *args], stdin=subprocess.PIPE,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, cwd=REPO,
                                     env=dict(os.environ, TMPDIR=str(tmp), **(env or {})))
        self.err = b""

    def wait_stderr(self, what):
        while what.encode() not in self.err:
            data = os.read(self.proc.stderr.fileno(), 4096)
            assert data, "qnsim ended before %r: %r" % (what, self.err)
            self.err += data

    def end(self):
        self.proc.stdin.close()  # end of input: the shell leaves with status 0
        rc = self.proc.wait(30)
        self.proc.stderr.close()
        return rc


def wait_for_line(sim, path, pattern):
    """Waits until the trace file has a line matching pattern (the model's sync marker
    follows every control line written before it)."""
    guard = time.monotonic() + 120  # a hang guard, not a measure
    while True:
        assert sim.proc.poll() is None and time.monotonic() < guard, "no %r in the trace" % pattern
        if path.exists():
            for line in path.read_text().splitlines():
                if re.search(pattern, line):
                    return path.read_text()
        time.sleep(0.05)


@needs_build
def test_the_control_fifo_example(tmp_path):
    """docs/simulator.md: the second terminal's lines, each taken (no ctl-error), and a bad
    line leaves ctl-error LINE."""
    block = next(b for b in code_blocks(REPO / "docs" / "simulator.md", "sh") if "/tmp/qn.ctl" in "".join(b))
    start = block[0].split("#")[0].split()
    assert start[0] == "scripts/run-sim.sh"
    args = [a.replace("/tmp/", str(tmp_path) + "/") for a in start[1:]]
    sim = Sim(tmp_path, args)
    try:
        sim.wait_stderr("qnsim: control channel %s/qn.ctl" % tmp_path)
        echoes = [l.split("#")[0].strip() for l in block if l.startswith("echo ")]
        assert len(echoes) >= 6
        for line in echoes + ["echo 'bogus 1' > /tmp/qn.ctl", "echo sync > /tmp/qn.ctl"]:
            r = run(["bash", "-c", line.replace("/tmp/", str(tmp_path) + "/")])
            assert r.returncode == 0, r.stderr
        trace = wait_for_line(sim, tmp_path / "qn.trace", r"\bsync\b")
    finally:
        rc = sim.end()
    assert rc == 0
    errors = [l for l in trace.splitlines() if "ctl-error" in l]
    assert len(errors) == 1 and errors[0].endswith("ctl-error bogus 1"), errors
    assert (tmp_path / "qn.vcd").read_text().startswith("$date")


@needs_build
def test_the_board_link_example(tmp_path):
    """docs/simulator.md: the shell with --link in one terminal, the Python client in a
    second one, started as soon as the launcher names the link."""
    block = next(b for b in code_blocks(REPO / "docs" / "simulator.md", "sh") if "qnboard" in "".join(b))
    start = block[0].split("#")[0].split()
    sock = str(tmp_path / "qn.sock")
    assert start[:2] == ["scripts/run-sim.sh", "--link"]
    script = "\n".join(block[1:]).replace("/tmp/qn.sock", sock)
    cmd = re.search(r"^PYTHONPATH=sim /usr/bin/python3 -c '(.*)'$", script, re.S | re.M).group(1)
    sim = Sim(tmp_path, ["--link", sock])
    try:
        sim.wait_stderr("qnsim: board link %s\n" % sock)
        r = run(["/usr/bin/python3", "-c", cmd], timeout=60,
                env=dict(os.environ, PYTHONPATH=str(REPO / "sim")))
    finally:
        sim.end()
    assert r.returncode == 0, r.stderr
    first, part = r.stdout.splitlines()
    assert first == "(True, '')"
    assert "lamp" in part and "'RecLED'" in part  # KD3454's first part


@needs_build
def test_a_bad_setting_is_named_as_shown(tmp_path):
    shown = re.search(r"\(`(qnsim: QNSIM_FAIL: bad fault rule '(\w+)' \(ignored\))`\)",
                      text(REPO / "docs" / "simulator.md"))
    assert shown
    r = run([str(BUILD / "qnsim")], env=dict(os.environ, TMPDIR=str(tmp_path), QNSIM_FAIL=shown.group(2)))
    assert r.returncode == 0
    assert shown.group(1) + "\n" in r.stderr


@needs_build
@pytest.mark.parametrize("env,status", [({}, 0), ({"QNSIM_MISSING": "qn_KD300"}, 255),
                                        ({"QNSIM_DENY": "tw_286x"}, 255)], ids=["end-of-input", "missing", "denied"])
def test_the_exit_statuses_of_readme(tmp_path, env, status):
    """README: status 0 after exit/q or end of input, 255 when a board node cannot be opened."""
    assert "Exit status 0 after `exit`/`q` (or end of input),\n255 when a board node cannot be opened" in text(README)
    r = run([str(BUILD / "qnsim")], env=dict(os.environ, TMPDIR=str(tmp_path), **env))
    assert r.returncode == status, r.stderr
    # the launcher ends as the shell ended, and leaves nothing of its control channel
    assert "qnsim: control channel %s/qnsim." % tmp_path in r.stderr
    assert os.listdir(tmp_path) == []


def board_models_table():
    rows = re.findall(r"^\| (KD\d{4}) \| (0x[0-9A-F]{8}) \| ([^|]*) \|", section(README, "Board models"), re.M)
    assert len(rows) == 5
    return rows


def state_of(tmp_path, model):
    sock = str(tmp_path / ("%s.sock" % model))
    sim = Sim(tmp_path, ["--model", model, "--link", sock])
    try:
        sim.wait_stderr("qnsim: board link")
        return snapshot(sock)
    finally:
        sim.end()


@needs_build
@pytest.mark.parametrize("model,code,lamps", board_models_table(), ids=lambda v: v if str(v).startswith("KD") else "")
def test_the_board_models_table(tmp_path, model, code, lamps):
    """README's codes and lamp pins (Pb.n) against the model's wiring as the link reports it."""
    state = state_of(tmp_path, model)
    assert "identity %s %s gp_id=0 mb_version=1" % (model, code) in state
    wired = sorted(l.split()[3] for l in state if l.startswith("part lamp "))
    shown = sorted(p.replace(".", "_") for p in re.findall(r"P(\d\.\d)", lamps))
    assert shown == wired, (lamps, state)


def test_the_commands_table_names_every_command_of_the_shell():
    src = text(REPO / "src" / "add_func.cpp")
    commands = set(re.findall(r'^\s*\{"(\w+)", \w+, "', src, re.M))
    assert len(commands) >= 20
    table = section(README, "Commands")
    shown = set(re.findall(r"^\| `(\w+)", table, re.M)) | set(re.findall(r"(?:`|, `| / `)(\w+)(?: [^`]*)?`", table))
    builtins = {"help", "clear", "exit", "q"}
    assert commands - shown == set()
    assert {w for w in re.findall(r"^\| `(\w+)", table, re.M)} - commands - builtins == set()


# ---- commands of the other builds, where a stage has made them ----------------------------


def test_the_fuzz_commands_leave_the_checkout_and_the_corpus_alone(tmp_path):
    fuzz = REPO / "build-fuzz" / "fuzz"
    if not (fuzz / "fuzz_editor").exists() or not (fuzz / "fuzz_interp").exists():
        pytest.skip("needs the fuzz build (scripts/test-all.sh fuzz)")
    block = next(b for b in code_blocks(REPO / "docs" / "tests.md", "sh") if "fuzz_editor" in "".join(b))
    steps = [l for l in block if not l.startswith(("cmake ", "      -D"))]
    script = "\n".join(steps).replace("-max_total_time=3600", "-max_total_time=2")
    before = run(["git", "status", "--porcelain", "--ignored"]).stdout
    r = run(["bash", "-euc", script], env=dict(os.environ, TMPDIR=str(tmp_path)), timeout=300)
    assert r.returncode == 0, r.stderr[-2000:]
    assert run(["git", "status", "--porcelain", "--ignored"]).stdout == before
    assert os.listdir(tmp_path) == []


def test_the_board_builds_under_emulation():
    """docs/building.md: the static binary reports the missing board node, status 255; the
    armel build runs on the ARM simulator."""
    musl, armel = REPO / "build-musl" / "qn_shell", REPO / "build-armel" / "qn_shell"
    if not shutil.which("qemu-arm") or not musl.exists():
        pytest.skip("needs qemu-arm and the static build (scripts/test-all.sh arm)")
    block = "\n".join(code_blocks(REPO / "docs" / "building.md", "sh")[1]).replace("\\\n", "")
    lines = [l.split("#")[0].strip() for l in block.splitlines() if l.strip()]
    r = run(["bash", "-c", lines[0]])
    assert r.returncode == 255
    assert "qn_KD300 open error" in r.stderr + r.stdout
    if armel.exists() and (REPO / "build-armel" / "sim" / "libqnsim.so").exists():
        r = run(["bash", "-c", lines[1]])
        assert r.returncode == 0, r.stderr


def test_the_modules_parameters_as_modinfo_shows_them():
    """docs/virtual-board.md: the module's parameters, read with the command the page gives."""
    vb = text(REPO / "docs" / "virtual-board.md")
    m = re.search(r"`(modinfo (build-board/\S+\.ko))`", vb)
    assert m, "the page names modinfo's command"
    if not (REPO / m.group(2)).exists() or not shutil.which("modinfo"):
        pytest.skip("needs the board image (sim/board/build.sh) and modinfo")
    out = run(m.group(1).split()).stdout
    parms = set(re.findall(r"^parm:\s+(\w+):", out, re.M))
    para = vb[m.end():vb.index("(`module_param_array`)")]
    named = set(re.findall(r"`(\w+)` \(", para))
    assert named and named == parms, (named, parms)


def test_the_board_session_shows_the_launchers_own_lines():
    """docs/virtual-board.md's session: the launcher's lines as scripts/run-board.sh prints them."""
    block = next(b for b in code_blocks(REPO / "docs" / "virtual-board.md") if b and b[0].startswith("Virtual board:"))
    launcher = text(REPO / "scripts" / "run-board.sh")
    notes = launcher[launcher.index("cat <<EOM"):launcher.index("\nEOM")]
    keys = re.search(r'keys="(press Ctrl-H[^"]*)"', launcher).group(1)
    leave = re.search(r'leave="(Ctrl-A then X[^"]*)"', launcher).group(1)
    notes = notes.replace("$keys", keys).replace("$leave", leave).replace("${terminal:+$terminal\n}", "")
    for line in block[1:]:
        if line.startswith("BusyBox"):
            break
        assert line in notes.splitlines(), line
    assert re.fullmatch(r"Virtual board: Debian [\d.]+-\d+-armmp on vexpress-a9 \(Cortex-A9\), board model KD3555\.",
                        block[0])


def test_the_benchmark_table_says_when_it_was_taken():
    bm = text(REPO / "docs" / "benchmark.md")
    first_table = bm.index("| measure |")
    assert re.search(r"Taken \d{4}-\d{2}-\d{2}", bm[:first_table]), "the run's date before the table"
