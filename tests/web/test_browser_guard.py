"""The bench's defences as a browser meets them (Debian's headless chromium): the token
leaves the address bar and lives on in an HttpOnly cookie of the bench's port, two
benches on one host keep their own cookies, a page of a rebinding name is refused, and a
paste longer than the key queue is refused whole with a message in the page."""

import json
import urllib.request

import pytest
from selenium.webdriver.common.by import By

from benchpage import PROMPT, Page, eventually
from conftest import shot


@pytest.fixture(scope="module")
def bench(bench_factory):
    return bench_factory("KD3454")


@pytest.fixture(scope="module")
def page(browser, bench):
    return Page(browser, bench)


def connected(d):
    """Waits until a bench page loaded without a token in its address is connected and
    has the board's snapshot."""
    eventually(lambda: d.execute_script(
        "return !!(window.bench && bench.ws && bench.ws.readyState === 1 && bench.state)"),
        timeout=60, what="the page's connection")


def stats(bench):
    return json.loads(urllib.request.urlopen(bench.base + "/stats?token=" + bench.token).read())


def paste(page, text):
    page.js("""
        const dt = new DataTransfer();
        dt.setData('text/plain', arguments[0]);
        document.querySelector('#terminal textarea').dispatchEvent(
            new ClipboardEvent('paste', {clipboardData: dt, bubbles: true, cancelable: true}));
        """, text)


def test_the_token_leaves_the_address_bar_and_the_cookie_keeps_the_page(page, bench):
    d = page.d
    assert d.current_url == bench.base + "/"
    assert "token" not in d.current_url
    assert bench.token not in d.execute_script("return document.cookie")  # HttpOnly
    assert d.find_element(By.ID, "vcd-link").get_attribute("href") == bench.base + "/vcd"
    # a reload (and so the history entry) has no token; the cookie of this port opens it
    d.refresh()
    connected(d)
    assert d.current_url == bench.base + "/"
    page.__init__(d, bench)


def test_a_paste_over_the_bound_is_refused_whole_with_a_message(page, bench):
    limit = page.js("return bench.limits.keys")
    before = stats(bench)["keys"]
    note = page.d.find_element(By.ID, "paste-result")
    paste(page, "hr 0x2011002C\n" * (limit // 14 + 1))  # 14 keys a line: over the bound
    eventually(lambda: note.get_attribute("data-state") == "refused", what="the refusal")
    assert note.text.startswith("paste refused: %d keys" % ((limit // 14 + 1) * 14))
    assert "nothing of it was typed" in note.text
    assert page.input_line()[0].rstrip() == PROMPT.rstrip()
    assert stats(bench)["keys"] == before
    shot(page.d, "kd3454-paste-refused")
    # a paste too long for one message is refused by the page itself, also whole
    paste(page, "\u4e2d" * (page.js("return bench.limits.message") // 2))
    eventually(lambda: "bytes, and a message holds" in note.text, what="the page's refusal")
    # a paste that fits is typed, and the message goes
    paste(page, "mbinfo\n")
    eventually(lambda: note.get_attribute("data-state") == "ok", what="the paste taken")
    eventually(lambda: "hardware=KD3454" in page.tail(), what="mbinfo's answer")
    assert note.text == ""


def test_two_benches_on_one_host_keep_their_own_cookies(page, bench, bench_factory, on_board):
    if on_board:
        pytest.skip("one virtual board at a time")
    other = bench_factory("KD3555")
    Page(page.d, other)
    # each bench opens again without the token: each port has its own cookie
    for b, model in ((bench, "KD3454"), (other, "KD3555"), (bench, "KD3454")):
        page.d.get(b.base + "/")
        connected(page.d)
        assert page.js("return bench.state.identity.model") == model
    other.stop()
    page.__init__(page.d, bench)


def test_a_page_of_a_rebinding_name_is_refused(page, bench):
    port = bench.host.split(":")[1]
    # the name resolves to this machine, and the token is right: the bench still refuses
    page.d.get("http://rebind.test:%s/?token=%s" % (port, bench.token))
    body = page.d.find_element(By.TAG_NAME, "body").text
    assert "this bench answers to http://%s only" % bench.host in body
    script = """
        const done = arguments[arguments.length - 1];
        const w = new WebSocket(arguments[0]);
        w.onopen = () => { w.close(); done('open'); };
        w.onerror = () => done('refused');"""
    for url in ("ws://%s/ws?token=%s" % (bench.host, bench.token),
                "ws://rebind.test:%s/ws?token=%s" % (port, bench.token)):
        assert page.d.execute_async_script(script, url) == "refused", url
    # localhost is one of the bench's own names on loopback
    page.d.get("http://localhost:%s/?token=%s" % (port, bench.token))
    connected(page.d)
    page.__init__(page.d, bench)
