"""The virtual bench in a real browser (Debian's headless chromium), driven as a user
drives it: keys typed into the console, clicks on the board panel and the analyzer.
Runs against the simulator, or with --bench-board against the virtual board."""

import asyncio
import os
import re
import shutil
import tempfile
import urllib.error
import urllib.request

import aiohttp
import pytest
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys

from benchpage import PROMPT, Page, eventually
from conftest import shot
from qnboard.vcd import pulses


@pytest.fixture(scope="module")
def vcd_dir():
    d = tempfile.mkdtemp(prefix="qnbench-test.")
    yield d
    shutil.rmtree(d, ignore_errors=True)


@pytest.fixture(scope="module")
def bench(bench_factory, on_board, vcd_dir):
    extra = [] if on_board else ["--vcd", os.path.join(vcd_dir, "kd3454.vcd")]
    return bench_factory("KD3454", extra)


@pytest.fixture(scope="module")
def page(browser, bench):
    p = Page(browser, bench)
    yield p
    shot(browser, "kd3454-last")


def test_page_shows_model_prompt_and_loads_nothing_from_elsewhere(page, bench):
    ident = page.part("identity")[0]
    assert ident.get_attribute("data-name") == "KD3454"
    assert "KD3454" in ident.text
    assert page.console().rstrip().endswith(PROMPT.rstrip())
    urls = page.js("return performance.getEntriesByType('resource').map(e => e.name)")
    assert urls, "the page loaded no files?"
    assert all(u.startswith(bench.base + "/") or u.startswith("ws://" + bench.host + "/")
               for u in urls), urls
    assert any(u.endswith("/static/xterm.js") for u in urls)
    shot(page.d, "kd3454-start")


def test_mbinfo_and_ctlled_light_the_lamps(page):
    page.run("mbinfo", "hardware=KD3454")
    page.run("ctlled 0", "Light off DoorLED(P8.0) level=1")
    assert page.parts("lamp") == {"RecLED": "off", "DoorLED": "off"}
    page.run("ctlled 3", "Light on DoorLED(P8.0) level=0")
    page.wait_state("lamp", "RecLED", "on")
    page.wait_state("lamp", "DoorLED", "on")
    page.run("ctlled 2")
    page.wait_state("lamp", "RecLED", "off")
    assert page.parts("lamp")["DoorLED"] == "on"
    shot(page.d, "kd3454-ctlled")


def test_input_switch_then_status(page):
    sw = page.part("input", "SD1_CARDIN")[0]
    assert sw.get_attribute("data-pin") == "5_6"
    before = sw.get_attribute("data-level")
    text = page.run("status")
    assert re.search(r"SD1_CARDIN\(P56\)\s+val=%s" % before, text.split("status")[-1])
    sw.click()
    eventually(lambda: sw.get_attribute("data-level") != before, what="the switch's level")
    text = page.run("status")
    last = text[text.rindex("status"):]
    want = "1" if before == "0" else "0"
    assert re.search(r"SD1_CARDIN\(P56\)\s+val=%s" % want, last), last
    assert "状态" in last  # the GBK texts arrive as Chinese
    sw.click()
    eventually(lambda: sw.get_attribute("data-level") == before, what="the switch back")


def test_panel_keys_reach_revkey(page):
    page.run("revkey on", "read key from panel")
    page.d.find_element(By.CSS_SELECTOR, '#keypad [data-part="key"][data-name="0x21"]').click()
    eventually(lambda: "key=0x21, 33" in page.console(), what="the key line")
    # the other framing, with a code typed into the field
    page.d.find_element(By.CSS_SELECTOR, '#key-framing option[value="escaped"]').click()
    field = page.d.find_element(By.ID, "key-code")
    field.clear()
    field.send_keys("fc")
    page.d.find_element(By.ID, "key-send").click()
    eventually(lambda: "key=0xfc, 252" in page.console(), what="the FD FC key line")
    assert "panel-feed fd fc fc" in page.d.find_element(By.ID, "log").text
    page.run("revkey off")
    eventually(lambda: "quit from read panel" in page.console(), what="the monitor's end")


def paste(page, text):
    page.js("""
        const dt = new DataTransfer();
        dt.setData('text/plain', arguments[0]);
        document.querySelector('#terminal textarea').dispatchEvent(
            new ClipboardEvent('paste', {clipboardData: dt, bubbles: true, cancelable: true}));
        """, text)


def test_pasted_command_line_works(page):
    before = page.console().count("read : 0x00000022")
    paste(page, "hr 0x2011002C\n")
    eventually(lambda: page.console().count("read : 0x00000022") > before, what="hr's answer")
    eventually(lambda: page.input_line()[0].rstrip() == PROMPT.rstrip(), what="the prompt")
    # two lines in one paste
    paste(page, "ctlled 0\r\nctlled 1\n")
    eventually(lambda: page.parts("lamp") == {"RecLED": "on", "DoorLED": "off"},
               what="the lamps after the pasted lines")


def test_backspace_delete_home_end_edit_the_line(page):
    page.keys("mbinfx")
    page.keys(Keys.BACKSPACE)
    eventually(lambda: page.input_line()[0].endswith(PROMPT + "mbinf"), what="Backspace")
    page.keys("o", Keys.HOME, "zz")
    eventually(lambda: page.input_line() == [PROMPT + "zzmbinfo", len(PROMPT) + 2], what="Home")
    page.keys(Keys.HOME, Keys.DELETE, Keys.DELETE)
    eventually(lambda: page.input_line() == [PROMPT + "mbinfo", len(PROMPT)], what="Delete")
    page.keys(Keys.END)
    eventually(lambda: page.input_line()[1] == len(PROMPT) + 6, what="End")
    before = page.console().count("hardware=KD3454")
    page.keys(Keys.ENTER)
    eventually(lambda: page.console().count("hardware=KD3454") > before, what="mbinfo's answer")


def test_a_key_typed_during_a_listing_stops_it(page):
    before = page.console().count("listing stopped by a key")
    page.keys("xm 0x60")
    eventually(lambda: page.input_line()[0][len(PROMPT):] == "xm 0x60", what="the echo")
    page.keys(Keys.ENTER)
    # the listing has begun: lines after the command line
    eventually(lambda: len(page.tail(60).split(PROMPT + "xm 0x60")[-1].strip().splitlines()) > 2,
               what="the listing", timeout=5)
    page.keys("q")
    eventually(lambda: page.console().count("listing stopped by a key") > before,
               what="the listing to stop", timeout=10)
    eventually(lambda: page.input_line()[0].rstrip() == PROMPT.rstrip(), what="the prompt")


def test_hubreset_pulse_width_in_the_analyzer(page, on_board, bench, vcd_dir):
    page.run("hubreset", "hub")
    # the reset line showed the pulse
    reset = page.part("reset", "hubreset")[0]
    eventually(lambda: "last pulse" in reset.text, what="the pulse on the panel")
    page.d.find_element(By.ID, "zoom-fit").click()
    t_mid, width_js = page.js("""
        const tr = bench.analyzer.traces.get('6_1');
        const a = tr[tr.length - 2][0], b = tr[tr.length - 1][0];
        return [(a + b) / 2, b - a];""")
    canvas = page.d.find_element(By.ID, "analyzer")
    pt = page.js("return bench.analyzer.pointOf('6_1', arguments[0])", t_mid)
    ActionChains(page.d).move_to_element_with_offset(
        canvas, int(pt["x"] - canvas.size["width"] / 2),
        int(pt["y"] - canvas.size["height"] / 2)).click().perform()
    reading = page.d.find_element(By.ID, "cursor-reading")
    eventually(lambda: reading.get_attribute("data-pin") == "6_1", what="the cursor on gpio6_1")
    width = int(reading.get_attribute("data-width-us"))
    assert width == width_js
    # at least the shell's 100 ms pause; how much longer is the machine's timing, which the
    # benchmark measures rather than a test
    assert width >= 100000, width
    # the panel's reset line shows the same width, from the server's state
    assert reset.get_attribute("data-pulse-us") == str(width)
    shot(page.d, "kd3454-hubreset")
    # the page's own waveform download and (on the simulator) the model's own VCD,
    # read by sigrok-cli: the last pulse (the last segment between edges) is the same
    path = os.path.join(vcd_dir, "download.vcd")
    with open(path, "wb") as f:
        f.write(urllib.request.urlopen(bench.base + "/vcd?token=" + bench.token).read())
    a, b = pulses(path, "gpio6_1")[-1]
    assert b - a == width
    if not on_board:
        vcd = os.path.join(vcd_dir, "kd3454.vcd")
        a, b = pulses(vcd, "gpio6_1")[-1]
        assert b - a == width


def test_refused_fault_rule_shows_the_reason_and_changes_nothing(page, on_board):
    at = page.d.find_element(By.ID, "fault-at")
    names = [o.get_attribute("value") for o in
             page.d.find_elements(By.CSS_SELECTOR, "#fault-name option")]
    # the rules the transport takes, as its snapshot names them: the kernel's has no
    # settimeofday
    assert "QN_BUZZER" in names and ("settimeofday" in names) == (not on_board)
    page.d.find_element(By.CSS_SELECTOR, '#fault-name option[value="QN_BUZZER"]').click()
    at.clear()
    at.send_keys("x")
    page.d.find_element(By.ID, "fault-set").click()
    result = page.d.find_element(By.ID, "control-result")
    eventually(lambda: result.get_attribute("data-state") == "error", what="the refusal")
    assert result.text.startswith("refused: ") and len(result.text) > len("refused: ")
    text = page.run("buzzer on", "Buzzer honking")
    assert "buzzer_ctrl error!" not in text.split("buzzer on")[-1]
    page.wait_state("sounder", "buzzer", "on")
    # a rule the model takes, then power off and on clears it
    at.clear()
    page.d.find_element(By.ID, "fault-set").click()
    eventually(lambda: result.get_attribute("data-state") == "ok", what="the rule taken")
    text = page.run("buzzer off")
    assert "buzzer_ctrl error!" in text.split("buzzer off")[-1]
    page.d.find_element(By.ID, "board-reset").click()
    eventually(lambda: result.text == "ok: reset", what="the reset")
    text = page.run("buzzer off")
    assert "buzzer_ctrl error!" not in text.split("buzzer off")[-1]
    shot(page.d, "kd3454-faults")


def test_page_and_websocket_refused_without_token_or_from_elsewhere(page, bench):
    for url in (bench.base + "/", bench.base + "/?token=wrong" + bench.token):
        with pytest.raises(urllib.error.HTTPError) as e:
            urllib.request.urlopen(url)
        assert e.value.code == 403

    async def ws(url, origin):
        async with aiohttp.ClientSession() as s:
            try:
                async with s.ws_connect(url, headers={"Origin": origin}):
                    return 101
            except aiohttp.WSServerHandshakeError as e:
                return e.status

    ws_url = "ws://%s/ws?token=%s" % (bench.host, bench.token)
    assert asyncio.run(ws(ws_url, bench.base)) == 101
    assert asyncio.run(ws(ws_url, "http://elsewhere.example")) == 403
    assert asyncio.run(ws("ws://%s/ws" % bench.host, bench.base)) == 403
    # a page of another origin in the browser cannot open the bench's WebSocket
    script = """
        const done = arguments[arguments.length - 1];
        const w = new WebSocket(arguments[0]);
        w.onopen = () => { w.close(); done('open'); };
        w.onerror = () => done('refused');"""
    # (a name that resolves here but is not the bench's own, as DNS rebinding makes it)
    other = "http://rebind.test:%s/nothing" % bench.host.split(":")[1]
    page.d.get(other)
    assert page.d.execute_async_script(script, ws_url) == "refused"
    page.d.get(bench.base + "/nothing")
    assert page.d.execute_async_script(script, ws_url) == "open"
    page.__init__(page.d, bench)  # back to the bench


def test_every_browser_shares_the_one_session(page, bench):
    page.run("mbinfo")
    first = page.d.current_window_handle
    page.d.switch_to.new_window("tab")
    try:
        other = Page(page.d, bench)
        assert "hardware=KD3454" in other.console()
        other.keys("ddrsiz")
        page.d.switch_to.window(first)
        eventually(lambda: page.input_line()[0].endswith(PROMPT + "ddrsiz"),
                   what="the other tab's keys here")
        page.keys("e", Keys.ENTER)
        eventually(lambda: "ddr_size:256MB 0x10000000" in page.console(), what="ddrsize")
    finally:
        page.d.switch_to.window(first)
        for h in page.d.window_handles:
            if h != first:
                page.d.switch_to.window(h)
                page.d.close()
        page.d.switch_to.window(first)


def test_ddr_choice_sets_the_geometry(page):
    sel = page.d.find_element(By.ID, "ddr")
    assert sel.get_attribute("data-state") == "256"
    page.d.find_element(By.CSS_SELECTOR, '#ddr option[value="512"]').click()
    eventually(lambda: sel.get_attribute("data-state") == "512", what="the DDR state")
    page.run("ddrsize", "ddr_size:512MB 0x20000000")


def test_event_log_filters_and_pauses(page):
    log = page.d.find_element(By.ID, "log")
    page.run("hr 0x20150000")
    assert page.d.find_elements(By.CSS_SELECTOR, '#log .ev[data-kind="request"]')
    box = page.d.find_element(By.CSS_SELECTOR, '.log-filter[value="request"]')
    box.click()
    assert not [e for e in page.d.find_elements(By.CSS_SELECTOR, '#log .ev[data-kind="request"]')
                if e.is_displayed()]
    box.click()
    pause = page.d.find_element(By.ID, "log-pause")
    pause.click()
    page.run("hr 0x20150004")
    # the page has the request's line (held back), and has drawn its log since
    eventually(lambda: page.js("return bench.logHeld.some(r => r[1].includes('0x20150004'))"),
               what="the held line")
    page.js("return new Promise(r => requestAnimationFrame(() => requestAnimationFrame(r)))")
    assert "0x20150004" not in log.text
    pause.click()
    eventually(lambda: "0x20150004" in log.text, what="the held lines")
    assert len(page.d.find_elements(By.CSS_SELECTOR, "#log .ev")) <= 5000


def test_shell_exit_shows_status_and_restarts(page):
    page.keys("exit", Keys.ENTER)
    st = page.d.find_element(By.ID, "shell-status")
    eventually(lambda: st.get_attribute("data-state") == "exited", what="the exit")
    assert st.get_attribute("data-status") == "0"
    assert "status 0" in st.text
    shot(page.d, "kd3454-exited")
    btn = page.d.find_element(By.ID, "restart")
    assert btn.is_enabled()
    btn.click()
    eventually(lambda: st.get_attribute("data-state") == "running", what="the restart")
    eventually(lambda: page.input_line()[0].rstrip() == PROMPT.rstrip(), timeout=60,
               what="the prompt of the new shell")
    page.run("mbinfo", "hardware=KD3454")


def test_kd3555_lamps_and_alarm_output(bench_factory, browser, on_board):
    b = bench_factory("KD3555")
    page = Page(browser, b)
    assert page.part("identity")[0].get_attribute("data-name") == "KD3555"
    page.run("mbinfo", "hardware=KD3555")
    page.run("ctlled 0")
    eventually(lambda: page.parts("lamp") == {"RecLED": "off", "AlarmLED": "off"}, what="lamps off")
    page.run("ctlled 3", "Light on AlarmLED(P2.5) level=0")
    eventually(lambda: page.parts("lamp") == {"RecLED": "on", "AlarmLED": "on"}, what="lamps on")
    page.run("ctlled 5")
    eventually(lambda: page.parts("lamp") == {"RecLED": "on", "AlarmLED": "off"}, what="ctlled 5")
    page.run("alarm on", "alarm trigger")
    page.wait_state("output", "alarm", "on")
    page.run("alarm off")
    page.wait_state("output", "alarm", "off")
    inputs = page.parts("input")
    assert "WIFI_EXIST" in inputs and "PowerSupply" in inputs
    shot(browser, "kd3555")


def log_rows(page, skip=0):
    """The event log's rows from the skip-th on: [(group, text)]."""
    return page.js("""return [...document.querySelectorAll('#log .ev')].slice(arguments[0])
                          .map(r => [r.dataset.kind, r.textContent]);""", skip)


def trace_lines(path):
    with open(path) as f:
        return f.read().splitlines()


@pytest.fixture(scope="module")
def kd3353(bench_factory, browser, on_board, vcd_dir):
    trace, vcd = os.path.join(vcd_dir, "kd3353.trace"), os.path.join(vcd_dir, "kd3353.vcd")
    b = bench_factory("KD3353", [] if on_board else ["--trace", trace, "--vcd", vcd])
    return Page(browser, b), trace, vcd


def test_kd3353_hubreset_shows_its_pulse(kd3353, on_board):
    page, _, vcd = kd3353
    page.run("hubreset", "hub")
    reset = page.part("reset", "hubreset")[0]
    assert reset.get_attribute("data-pin") == "0_3"
    width = int(eventually(lambda: reset.get_attribute("data-pulse-us"), what="the pulse"))
    assert width >= 100000 and "last pulse" in reset.text
    shot(page.d, "kd3353-hubreset")
    if not on_board:  # the model's own waveform, read by sigrok-cli
        a, b = pulses(vcd, "gpio0_3")[-1]
        assert b - a == width


def test_the_event_log_is_the_trace_line_for_line(kd3353, on_board):
    if on_board:
        pytest.skip("the trace file is the simulator's")
    page, trace, _ = kd3353
    page.run("mbinfo", "hardware=KD3353")
    page.run("rtcset 2030 01 02 03 04 05")
    page.run("time")
    before = len(log_rows(page))
    page.run("xm 0x60", timeout=60)
    lines = trace_lines(trace)
    # every line the trace has reached the page (the last one last)
    eventually(lambda: log_rows(page)[-1][1] == trace_lines(trace)[-1], timeout=30,
               what="the trace's last line in the log")
    rows = [r for r in log_rows(page) if r[0] != "control"]
    texts = [t for _, t in rows]
    lines = trace_lines(trace)
    # from the page's first line on (the shell's start precedes the board link) the
    # log and the trace file hold the same lines
    first = lines.index(texts[0])
    assert texts == lines[first:]
    kinds = {t.split()[1] for t in texts}
    assert {"ioctl", "usleep", "open", "close", "system", "settimeofday"} <= kinds, kinds
    # xm 0x60: 1290 requests and their 1290 pauses
    xm = log_rows(page, before)
    assert len([r for r in xm if r[0] == "request" and " ioctl " in r[1]]) == 1290
    assert len([r for r in xm if r[0] == "pause"]) == 1290
    shot(page.d, "kd3353-log")
