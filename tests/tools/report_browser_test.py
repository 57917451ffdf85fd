#!/usr/bin/env python3
"""The example's report in a real headless Chromium, in one browser start.

kelcmd runs on the bundled hiring table with -json, -nbr and -perm, and
kel-report turns the run into a page. The browser is driven over the
DevTools protocol on a pipe (--remote-debugging-pipe: no port, no network)
with the standard library alone. It first loads two pages that must be
caught (a script error, and an inline script refused by a policy like the
report's), which proves that the error watch sees what it should; then it
loads the report and fails on any console error, uncaught exception or log
error, checks the charts and tables in the DOM, checks that print media
expands every tuple's neighbours, and writes a screenshot.

usage: report_browser_test.py KELCMD KEL_REPORT EXAMPLES_DIR WORK_DIR
Exits 77 (skipped) when chromium is not installed.
"""
import base64
import json
import os
import select
import shutil
import subprocess
import sys
import tempfile
import time

SKIP = 77
FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--remote-debugging-pipe", "about:blank"]


class Browser:
    """Chromium with the DevTools protocol on descriptors 3 (in) and 4 (out)."""

    def __init__(self, program, profile):
        to_browser_r, self.to_browser = os.pipe()
        self.from_browser, from_browser_w = os.pipe()

        def descriptors():
            # Through copies: a pipe end that already is 3 or 4 would keep
            # its close-on-exec flag under dup2 onto itself.
            a, b = os.dup(to_browser_r), os.dup(from_browser_w)
            os.dup2(a, 3)
            os.dup2(b, 4)

        self.log = open(os.path.join(profile, "..", "chromium.log"), "wb")
        self.process = subprocess.Popen([program, "--user-data-dir=" + profile] + FLAGS, stdin=subprocess.DEVNULL,
                                        stdout=self.log, stderr=subprocess.STDOUT, preexec_fn=descriptors,
                                        close_fds=False)
        os.close(to_browser_r)
        os.close(from_browser_w)
        self.buffer = b""
        self.next_id = 0
        self.events = []

    def close(self):
        try:
            self.send("Browser.close", timeout=10)
        except Exception:
            pass
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        os.close(self.to_browser)
        os.close(self.from_browser)
        self.log.close()

    def _read(self, deadline):
        while b"\0" not in self.buffer:
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError("no answer from chromium")
            ready, _, _ = select.select([self.from_browser], [], [], left)
            if ready:
                chunk = os.read(self.from_browser, 1 << 20)
                if not chunk:
                    raise RuntimeError("chromium closed the protocol pipe")
                self.buffer += chunk
        message, self.buffer = self.buffer.split(b"\0", 1)
        return json.loads(message)

    def send(self, method, params=None, session=None, timeout=60):
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        os.write(self.to_browser, json.dumps(message).encode() + b"\0")
        deadline = time.monotonic() + timeout
        while True:
            reply = self._read(deadline)
            if reply.get("id") == self.next_id:
                if "error" in reply:
                    raise RuntimeError(f"{method}: {reply['error']}")
                return reply.get("result", {})
            self.events.append(reply)

    def wait_for(self, method, timeout=60):
        deadline = time.monotonic() + timeout
        for i, e in enumerate(self.events):
            if e.get("method") == method:
                del self.events[i]
                return e
        while True:
            e = self._read(deadline)
            if e.get("method") == method:
                return e
            self.events.append(e)

    def settle(self, seconds):
        """Takes in what arrives for a while (late console messages)."""
        deadline = time.monotonic() + seconds
        try:
            while True:
                self.events.append(self._read(deadline))
        except TimeoutError:
            pass


def errors(events):
    """Console errors, uncaught exceptions and log errors, as readable lines."""
    found = []
    for e in events:
        m, p = e.get("method"), e.get("params", {})
        if m == "Runtime.exceptionThrown":
            d = p.get("exceptionDetails", {})
            found.append("exception: " + d.get("exception", {}).get("description", d.get("text", "")))
        elif m == "Runtime.consoleAPICalled" and p.get("type") in ("error", "assert"):
            found.append("console." + p["type"] + ": " + " ".join(str(a.get("value", a.get("description", "")))
                                                                  for a in p.get("args", [])))
        elif m == "Log.entryAdded" and p.get("entry", {}).get("level") == "error":
            found.append("log: " + p["entry"].get("text", ""))
    return found


class Page:
    def __init__(self, browser):
        self.b = browser
        target = browser.send("Target.createTarget", {"url": "about:blank"})["targetId"]
        self.session = browser.send("Target.attachToTarget", {"targetId": target, "flatten": True})["sessionId"]
        for domain in ("Page", "Runtime", "Log"):
            self.send(domain + ".enable")

    def send(self, method, params=None):
        return self.b.send(method, params, self.session)

    def load(self, path):
        self.b.events.clear()
        self.send("Page.navigate", {"url": "file://" + os.path.abspath(path)})
        self.b.wait_for("Page.loadEventFired")
        self.b.settle(0.5)
        own = [e for e in self.b.events if e.get("sessionId") == self.session]
        return errors(own)

    def evaluate(self, expression):
        r = self.send("Runtime.evaluate", {"expression": expression, "returnByValue": True})
        if "exceptionDetails" in r:
            raise RuntimeError("evaluation failed: " + json.dumps(r["exceptionDetails"]))
        return r["result"].get("value")


# What the report's DOM must hold, read in the page.
DOM_FACTS = r"""(() => {
  const q = s => document.querySelectorAll(s);
  const chart = document.getElementById('diff-chart');
  const levels = [...q('h1,h2,h3,h4,h5,h6')].map(h => +h.tagName[1]);
  return {
    title: document.title,
    diffChart: !!chart && chart.tagName.toLowerCase() === 'svg',
    diffBars: chart ? chart.querySelectorAll('rect.bar').length : 0,
    diffTitle: chart ? !!chart.querySelector('title') && !!chart.querySelector('desc') : false,
    thresholdMark: chart ? chart.querySelectorAll('line.mark').length : 0,
    placeboChart: !!document.getElementById('placebo-chart'),
    flaggedTuples: q('table.flagged > tbody').length,
    neighbourTables: q('table.flagged details table').length,
    highlighted: q('table.flagged details mark').length,
    tablesWithoutCaption: [...q('table')].filter(t => !t.caption).length,
    headersWithoutScope: [...q('th')].filter(th => !th.getAttribute('scope')).length,
    levels: levels,
    scripts: q('script').length,
    external: [...q('[src],[href]')].length,
    rest: (document.getElementById('flagged').textContent.match(/(\d+) more are not shown/) || [])[1] || null
  };
})()"""

# Whether the neighbours of a closed tuple are shown: not on screen, but
# under print media.
PRINT_EXPANDED = r"""(() => {
  const d = document.querySelector('table.flagged details');
  return !d.open && d.querySelector('table').checkVisibility();
})()"""


def run(args, cwd):
    r = subprocess.run(args, cwd=cwd, capture_output=True, text=True)
    if r.returncode != 0:
        sys.exit(f"{args[0]} failed with status {r.returncode}:\n{r.stdout}{r.stderr}")


def main():
    if len(sys.argv) != 5:
        sys.exit(__doc__)
    kelcmd, kel_report, examples, work = (os.path.abspath(a) for a in sys.argv[1:])
    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    if not chromium:
        print("chromium is not installed (tools/deps.sh report installs it): the browser test is skipped")
        return SKIP
    os.makedirs(work, exist_ok=True)
    ex = lambda name: os.path.join(examples, name)
    run([kelcmd, ex("hiring.meta"), ex("hiring.csv"), ex("hiring-women.sel"), "out.csv", "-knn", "8",
         "-nbr", "nbr.csv", "-json", "summary.json", "-perm", "20"], work)
    run([kel_report, "--summary", "summary.json", "--neighbours", "nbr.csv", "--out", "report.html",
         ex("hiring.meta"), ex("hiring.csv"), ex("hiring-women.sel")], work)

    with open(os.path.join(work, "script-error.html"), "w") as f:
        f.write("<!DOCTYPE html><title>broken</title><p>x</p><script>notDefinedAnywhere();</script>")
    with open(os.path.join(work, "refused.html"), "w") as f:
        f.write("<!DOCTYPE html><meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
                "style-src 'unsafe-inline'\"><title>refused</title><script>document.title = 'ran';</script>")

    failures = []
    profile = tempfile.mkdtemp(prefix="chromium-", dir=work)
    browser = Browser(chromium, profile)
    try:
        page = Page(browser)
        # The watch must see a script error and a refusal by the policy.
        for negative in ("script-error.html", "refused.html"):
            seen = page.load(os.path.join(work, negative))
            if not seen:
                failures.append(f"the error watch saw nothing on {negative}")
            else:
                print(f"{negative}: caught as expected: {seen[0]}")

        seen = page.load(os.path.join(work, "report.html"))
        failures += ["report: " + s for s in seen]
        facts = page.evaluate(DOM_FACTS)
        print("report DOM:", json.dumps(facts))
        expect = {"diffChart": True, "diffTitle": True, "thresholdMark": 1, "placeboChart": True,
                  "flaggedTuples": 200, "neighbourTables": 400, "tablesWithoutCaption": 0,
                  "headersWithoutScope": 0, "scripts": 0, "external": 0, "rest": "417"}
        for key, value in expect.items():
            if facts.get(key) != value:
                failures.append(f"report DOM: {key} is {facts.get(key)!r}, expected {value!r}")
        if facts.get("diffBars", 0) < 5:
            failures.append("report DOM: the histogram has too few bars")
        if facts.get("highlighted", 0) == 0:
            failures.append("report DOM: no differing value is highlighted")
        levels = facts.get("levels", [])
        if not levels or levels[0] != 1 or any(b - a > 1 for a, b in zip(levels, levels[1:])):
            failures.append(f"report DOM: headings skip a level: {levels}")

        # The screenshot: the page at a desktop width, the first tuple opened.
        page.send("Emulation.setDeviceMetricsOverride",
                  {"width": 1280, "height": 900, "deviceScaleFactor": 1, "mobile": False})
        bottom = page.evaluate("""(() => {
            const d = document.querySelector('table.flagged details'); d.open = true;
            const rows = document.querySelectorAll('table.flagged > tbody');
            return Math.ceil(rows[2].getBoundingClientRect().bottom + window.scrollY + 8);
        })()""")
        shot = page.send("Page.captureScreenshot", {"format": "png", "captureBeyondViewport": True,
                                                    "clip": {"x": 0, "y": 0, "width": 1280, "height": bottom,
                                                             "scale": 1}})
        png = base64.b64decode(shot["data"])
        if not png.startswith(b"\x89PNG"):
            failures.append("the screenshot is not a PNG")
        with open(os.path.join(work, "report.png"), "wb") as f:
            f.write(png)
        print(f"screenshot: {os.path.join(work, 'report.png')} ({len(png)} bytes)")

        page.evaluate("document.querySelector('table.flagged details').open = false")
        if page.evaluate(PRINT_EXPANDED) is not False:
            failures.append("a closed tuple shows its neighbours on screen")
        page.send("Emulation.setEmulatedMedia", {"media": "print"})
        if page.evaluate(PRINT_EXPANDED) is not True:
            failures.append("print media does not expand the neighbours of a closed tuple")
        browser.settle(0.2)
        failures += ["report, late: " + s for s in errors(browser.events)]
    finally:
        browser.close()
        shutil.rmtree(profile, ignore_errors=True)

    for f in failures:
        print("FAIL:", f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
