"""Driving the bench page as a user does: keys into the console, clicks on the panel."""

import time

from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys

PROMPT = "quenta $: "


def eventually(cond, timeout=15.0, what="condition"):
    deadline = time.monotonic() + timeout
    last = None
    while time.monotonic() < deadline:
        last = cond()
        if last:
            return last
        time.sleep(0.05)
    raise AssertionError("timed out waiting for %s (last: %r)" % (what, last))


class Page:
    def __init__(self, driver, bench):
        self.d = driver
        self.bench = bench
        driver.get(bench.url)
        eventually(lambda: self.js("return window.bench && bench.ws && bench.ws.readyState === 1"),
                   what="the page's connection")
        eventually(lambda: self.js("return !!(bench.state && bench.state.parts)"), timeout=60,
                   what="the board's snapshot")
        eventually(lambda: self.console().rstrip().endswith(PROMPT.rstrip()), timeout=60,
                   what="the shell's prompt")

    def js(self, script, *args):
        return self.d.execute_script(script, *args)

    def console(self):
        return self.js("""
            const b = bench.term.buffer.active, out = [];
            for (let i = 0; i < b.length; i++) out.push(b.getLine(i).translateToString(true));
            return out.join('\\n');""")

    def tail(self, n=40):
        """The last n rows of the console (cheaper than the whole buffer)."""
        return self.js("""
            const b = bench.term.buffer.active, out = [], end = b.baseY + b.cursorY + 1;
            for (let i = Math.max(0, end - arguments[0]); i < end; i++)
                out.push(b.getLine(i).translateToString(true));
            return out.join('\\n');""", n)

    def input_line(self):
        """The text after the last prompt, and the cursor's column in it."""
        return self.js("""
            const b = bench.term.buffer.active;
            const y = b.baseY + b.cursorY;
            return [b.getLine(y).translateToString(true), b.cursorX];""")

    def focus(self):
        ta = self.d.find_element(By.CSS_SELECTOR, "#terminal textarea")
        self.d.execute_script("arguments[0].focus()", ta)
        return ta

    def keys(self, *keys):
        """Real key presses in the console (each arrives at the shell in one write)."""
        self.focus()
        ActionChains(self.d).send_keys(*keys).perform()

    def run(self, line, expect=None, timeout=15.0):
        """Types a command line and Enter; waits for the next prompt (and for expect)."""
        before = self.console().count(PROMPT)
        self.keys(line)
        # the line is drawn after the prompt's column (on a fresh row when the key monitor
        # printed into the prompt's row)
        eventually(lambda: self.input_line()[0][len(PROMPT):] == line, what="the echo of " + line)
        self.keys(Keys.ENTER)
        # the next prompt (a key monitor may print after it: its row is then a fresh one)
        eventually(lambda: self.console().count(PROMPT) > before and
                   self.input_line()[0].rstrip() in (PROMPT.rstrip(), ""), timeout=timeout,
                   what="the prompt after " + line)
        text = self.console()
        if expect:
            assert expect in text, (expect, text[-2000:])
        return text

    def part(self, kind, name=None):
        sel = '[data-part="%s"]' % kind
        if name:
            sel += '[data-name="%s"]' % name
        return self.d.find_elements(By.CSS_SELECTOR, sel)

    def parts(self, kind):
        return {e.get_attribute("data-name"): e.get_attribute("data-state")
                for e in self.part(kind)}

    def wait_state(self, kind, name, state, timeout=10.0):
        return eventually(
            lambda: [e for e in self.part(kind, name) if e.get_attribute("data-state") == state],
            timeout=timeout, what="%s %s %s" % (kind, name, state))

    def control(self, line):
        return self.d.execute_async_script(
            "const done = arguments[arguments.length - 1];"
            "bench.control(arguments[0]).then(done);", line)
