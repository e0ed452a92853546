#!/usr/bin/python3
"""Benchmark rows of the virtual bench (simulator): a model event to the page's DOM,
the hub reset's pulse width on the page, events per second the page takes during
`xm 0x60` with none dropped, the server's memory before and after 10 000 commands, and
the server's memory over a WebSocket fuzz of bad messages (tests/web/wsfuzz.py).
Measured, never asserted; prints Markdown table rows.

  bench/web_bench.py [--commands N] [--rounds N] [--samples N] [--fuzz N] [--only fuzz]
"""

import argparse
import asyncio
import json
import os
import statistics
import sys
import time
import urllib.request

import aiohttp

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(REPO, "tests", "web"))

import wsfuzz  # noqa: E402
from benchpage import PROMPT, Page, eventually  # noqa: E402
from conftest import Bench, chrome  # noqa: E402


def stats(bench):
    return json.loads(urllib.request.urlopen(bench.base + "/stats?token=" + bench.token).read())


async def control_client(bench):
    s = aiohttp.ClientSession()
    ws = await s.ws_connect("ws://%s/ws?token=%s" % (bench.host, bench.token),
                            headers={"Origin": bench.base}, max_msg_size=0)
    return s, ws


async def control(ws, line, mid):
    await ws.send_str(json.dumps({"type": "control", "id": mid, "line": line}))
    while True:
        msg = await ws.receive()
        for it in json.loads(msg.data):
            if it.get("type") == "answer" and it.get("id") == mid:
                return it


def latency(page, bench, samples):
    """Wall time from sending a pin change to the model until the page's panel shows it
    (an upper bound of event-to-DOM: it includes the control line's way in)."""
    page.js("""
        window.__seen = [];
        const el = document.querySelector('[data-part="input"][data-name="SD1_CARDIN"]');
        new MutationObserver(() => window.__seen.push(performance.timeOrigin + performance.now()))
            .observe(el, {attributes: true, attributeFilter: ['data-level']});""")

    async def run():
        s, ws = await control_client(bench)
        out = []
        try:
            for i in range(samples):
                n = page.js("return window.__seen.length")
                t0 = time.time() * 1000
                ans = await control(ws, "pin 5_6 %d" % ((i + 1) % 2), i + 1)
                assert ans["ok"], ans
                for _ in range(2000):
                    seen = page.js("return window.__seen.slice(arguments[0])", n)
                    if seen:
                        out.append(seen[0] - t0)
                        break
                    await asyncio.sleep(0.001)
                await asyncio.sleep(0.01)
        finally:
            await ws.close()
            await s.close()
        return out

    return asyncio.run(run())


def pulse(page):
    """The hub reset's pulse as the page's panel shows it (µs): at least the shell's
    100 ms pause; how much more is this machine's timing."""
    page.run("hubreset", "hub")
    el = page.part("reset", "hubreset")[0]
    return int(eventually(lambda: el.get_attribute("data-pulse-us"), what="the pulse"))


def xm_rate(page):
    """Events the page handles while `xm 0x60` runs: (events, seconds from Enter to the
    page's last event, the model's own span of those events, events dropped)."""
    dropped0 = page.js("return bench.dropped")
    page.keys("xm 0x60")
    eventually(lambda: page.input_line()[0][len(PROMPT):] == "xm 0x60", what="the echo")
    time.sleep(0.5)
    page.js("bench.events = 0; bench.firstT = null;")
    t_enter = page.js("return performance.now()")
    page.keys("\n")
    eventually(lambda: page.input_line()[0].rstrip() == PROMPT.rstrip() and
               page.js("return bench.events") > 1000, timeout=60, what="xm's end")
    time.sleep(1.0)
    n, last, t0, t1, dropped = page.js(
        "return [bench.events, bench.lastEventAt, bench.firstT, bench.lastT, bench.dropped]")
    return n, (last - t_enter) / 1000.0, (t1 - t0) / 1e6, dropped - dropped0


def memory(page, bench, commands):
    """Server RSS before and after `commands` shell commands, pasted 250 at a time."""
    time.sleep(1)
    before = stats(bench)["rss_kb"]
    done = 0
    t0 = time.time()
    while done < commands:
        n = min(250, commands - done)
        page.js("bench.paste(arguments[0])", "hr 0x20150000\n" * n)
        target = done + n
        eventually(lambda: stats(bench)["keys"] >= base_keys + target * 14 and
                   page.input_line()[0].rstrip() == PROMPT.rstrip(), timeout=600,
                   what="the pasted commands")
        done = target
    took = time.time() - t0
    time.sleep(1)
    after = stats(bench)["rss_kb"]
    return before, after, took


def fuzz_memory(bench, messages, parts=8):
    """Server RSS before a WebSocket fuzz of `messages` bad messages and after each of
    `parts` equal parts of it; the answers checked as the fuzz test checks them. The
    server's histories (events, console) are bounded and fill during the first parts: the
    row gives the growth over the second half."""
    rss = [stats(bench)["rss_kb"]]
    answered, wrong, took = 0, 0, 0.0
    for i in range(parts):
        t0 = time.time()
        rep = wsfuzz.run(bench.host, bench.token, messages // parts, seed=100 + i)
        took += time.time() - t0
        answered += rep["answered"]
        wrong += len(rep["wrong"]) + (0 if rep["shell_answered"] else 1)
        rss.append(stats(bench)["rss_kb"])
    half = rss[parts // 2]
    print("| bench: server memory (RSS) over a WebSocket fuzz of %d bad messages (%d answered "
          "as they must be, %d not; %.0f messages/s): before, then after each eighth | "
          "%s KiB (second half %+.1f %%) | flat |"
          % (messages, answered, wrong, messages / took, " / ".join(str(r) for r in rss),
             100.0 * (rss[-1] - half) / half))


def main():
    global base_keys
    ap = argparse.ArgumentParser()
    ap.add_argument("--commands", type=int, default=10000)
    ap.add_argument("--samples", type=int, default=300)
    ap.add_argument("--rounds", type=int, default=2, help="rounds of --commands")
    ap.add_argument("--fuzz", type=int, default=400000, help="bad messages of the fuzz")
    ap.add_argument("--only", choices=["fuzz"], help="only these rows (no browser)")
    a = ap.parse_args()
    bench = Bench(["--model", "KD3454"])
    if a.only == "fuzz":
        try:
            fuzz_memory(bench, a.fuzz)
        finally:
            bench.stop()
        return
    drv = chrome()
    try:
        page = Page(drv, bench)
        lat = sorted(latency(page, bench, a.samples))
        med = statistics.median(lat)
        p99 = lat[min(len(lat) - 1, int(round(0.99 * (len(lat) - 1))))]
        print("| bench: pin change to the page's panel (%d samples), median | %.1f ms | ≤ 20 ms |"
              % (len(lat), med))
        print("| bench: pin change to the page's panel, p99 | %.1f ms | ≤ 100 ms |" % p99)
        print("| bench: hubreset pulse on the page's panel (the shell's pause is 100 ms) | %.3f ms "
              "| 100-150 ms |" % (pulse(page) / 1000.0))
        n, secs, model_secs, dropped = xm_rate(page)
        print("| bench: events the page took during `xm 0x60` (the model's span %.2f s; Enter to "
              "the page's last event) | %d in %.2f s = %.0f/s, %d dropped | none dropped |"
              % (model_secs, n, secs, n / secs, dropped))
        for r in range(a.rounds):
            base_keys = stats(bench)["keys"]
            before, after, took = memory(page, bench, a.commands)
            print("| bench: server memory (RSS) before / after %s%d pasted shell commands "
                  "(%.0f s) | %d KiB / %d KiB (%+.1f %%) | flat |"
                  % ("another " if r else "", a.commands, took, before, after,
                     100.0 * (after - before) / before))
        st = stats(bench)
        print("| bench: events the server handled, dropped for the page | %d, %d | - |"
              % (st["events"], st["dropped"]))
        fuzz_memory(bench, a.fuzz)
    finally:
        drv.quit()
        bench.stop()


base_keys = 0

if __name__ == "__main__":
    main()
