#!/usr/bin/python3
# The app's web pages in Debian's headless Chromium, driven through its
# DevTools protocol: each page of the table must load with no HTTP error, no
# console error and no missing resource, show the app's name and its icons,
# and leave a screenshot; a printing default changed through the form must
# show in Get-Printer-Attributes.
#
#   web_pages.py BASE_URL PRINTER ARTEFACT_DIR ICON_DIR DEFAULTS_TEST
#
# BASE_URL is the app's http://ADDRESS:PORT; PRINTER a printer's name on it;
# ICON_DIR the app's icons (icon-sm.png, icon-md.png).
# Exits 0 when every check passed, 1 otherwise.
import base64
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.request

import websocket

APP_NAME = "quovel-printer-app"

# PAPPL 1.3.1's settings pages embed a map from OpenStreetMap for the
# geo-location, always, and the test's namespace has no way out: that frame,
# and only it, may fail to load there.
MAP = "https://www.openstreetmap.org/export/embed.html?"

# (screenshot name, path under the base URL, text the page must hold,
#  address prefix that may fail to load)
PAGES = [
    ("system-status", "/", "Printers", None),
    ("system-config", "/config", "Configuration", MAP),
    ("add-printer", "/addprinter", "Add Printer", None),
    ("printer-status", "/{p}/", "Status", None),
    ("printer-media", "/{p}/media", "Media", None),
    ("printer-defaults", "/{p}/printing", "Printing Defaults", None),
    ("printer-jobs", "/{p}/jobs", "Jobs", None),
    ("printer-supplies", "/{p}/supplies", "Black Toner", None),
    ("printer-config", "/{p}/config", "Configuration", MAP),
]

# What the form changes, as the page's inputs and as IPP reports it.
FORM_CHANGES = """
document.querySelector('input[name="sides"][value="two-sided-long-edge"]').click();
document.querySelector('select[name="printer-resolution"]').value = '300dpi';
document.querySelector('input[name="print-quality"][value="high"]').click();
document.querySelector('form input[type="submit"]').click();
"""
EXPECTED_DEFAULTS = {
    "sides-default": "two-sided-long-edge",
    "printer-resolution-default": "300dpi",
    "print-quality-default": "high",
}

passed = 0
failed = 0


def check(what, ok, detail=""):
    global passed, failed
    if ok:
        passed += 1
    else:
        failed += 1
        print(f"FAILED: {what}" + (f"\n  {detail}" if detail else ""), file=sys.stderr)


class Browser:
    """Headless Chromium with a private profile, one tab, one session."""

    def __init__(self, workdir):
        self.profile = tempfile.mkdtemp(prefix="chromium-")
        args = [
            shutil.which("chromium") or "chromium", "--headless=new", "--disable-gpu",
            "--no-first-run", "--no-default-browser-check", "--disable-extensions",
            "--disable-background-networking", "--disable-component-update", "--disable-sync",
            "--disable-default-apps", "--no-pings", "--metrics-recording-only",
            "--password-store=basic", "--use-mock-keychain",
            f"--user-data-dir={self.profile}", "--remote-debugging-address=127.0.0.1",
            "--remote-debugging-port=0", "--window-size=1024,768", "about:blank",
        ]
        if os.geteuid() == 0:
            args.insert(1, "--no-sandbox")  # Chromium refuses to run as root otherwise
        self.log = open(os.path.join(workdir, "chromium.log"), "wb")
        self.proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=self.log,
                                     stderr=subprocess.STDOUT)
        self.ws = websocket.create_connection(self._browser_ws(), timeout=30,
                                              suppress_origin=True)
        self.next_id = 0
        self.events = []
        target = self.call("Target.createTarget", {"url": "about:blank"})["targetId"]
        self.session = self.call("Target.attachToTarget",
                                 {"targetId": target, "flatten": True})["sessionId"]
        for domain in ("Page", "Network", "Runtime", "Log"):
            self.call(f"{domain}.enable", session=True)

    def _browser_ws(self):
        port_file = os.path.join(self.profile, "DevToolsActivePort")
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                raise RuntimeError(f"chromium exited with {self.proc.returncode}")
            try:
                with open(port_file, encoding="ascii") as f:
                    port, path = f.read().split()[:2]
                return f"ws://127.0.0.1:{port}{path}"
            except (OSError, ValueError):
                time.sleep(0.1)
        raise RuntimeError("chromium did not open its DevTools port")

    def call(self, method, params=None, session=False):
        self.next_id += 1
        msg = {"id": self.next_id, "method": method, "params": params or {}}
        if session:
            msg["sessionId"] = self.session
        self.ws.send(json.dumps(msg))
        while True:
            reply = json.loads(self.ws.recv())
            if reply.get("id") == self.next_id:
                if "error" in reply:
                    raise RuntimeError(f"{method}: {reply['error']}")
                return reply.get("result", {})
            if "method" in reply:
                self.events.append(reply)

    def wait_event(self, method, timeout=30):
        deadline = time.monotonic() + timeout
        while True:
            for e in self.events:
                if e["method"] == method:
                    return e
            if time.monotonic() > deadline:
                raise RuntimeError(f"no {method} within {timeout} s")
            self.ws.settimeout(max(0.1, deadline - time.monotonic()))
            self.events.append(json.loads(self.ws.recv()))

    def settle(self, quiet=0.5):
        """Collects events until none came for QUIET seconds."""
        self.ws.settimeout(quiet)
        try:
            while True:
                self.events.append(json.loads(self.ws.recv()))
        except websocket.WebSocketTimeoutException:
            pass

    def evaluate(self, expression):
        result = self.call("Runtime.evaluate",
                           {"expression": expression, "returnByValue": True}, session=True)
        if "exceptionDetails" in result:
            raise RuntimeError(f"{expression}: {result['exceptionDetails']}")
        return result.get("result", {}).get("value")

    def close(self):
        try:
            self.call("Browser.close")
        except (RuntimeError, OSError, websocket.WebSocketException):
            pass
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.log.close()
        shutil.rmtree(self.profile, ignore_errors=True)


def problems(events, may_fail=None):
    """HTTP errors, failed loads and console errors among EVENTS, but for a
    load of an address beginning with MAY_FAIL."""
    found = []
    urls = {e["params"]["requestId"]: e["params"]["request"]["url"] for e in events
            if e["method"] == "Network.requestWillBeSent"}
    for e in events:
        m, p = e["method"], e.get("params", {})
        if m == "Network.responseReceived" and p["response"]["status"] >= 400:
            found.append(f"HTTP {p['response']['status']} for {p['response']['url']}")
        elif m == "Network.loadingFailed" and not p.get("canceled"):
            url = urls.get(p.get("requestId"), "request " + str(p.get("requestId")))
            if may_fail and url.startswith(may_fail):
                continue
            found.append(f"failed to load ({p.get('errorText')}) {url}")
        elif m == "Runtime.exceptionThrown":
            found.append(f"exception: {p['exceptionDetails'].get('text')}")
        elif m == "Runtime.consoleAPICalled" and p.get("type") in ("error", "assert"):
            found.append(f"console {p['type']}: {p.get('args')}")
        elif m == "Log.entryAdded" and p["entry"].get("level") == "error":
            found.append(f"console error: {p['entry'].get('text')} {p['entry'].get('url', '')}")
    return found


def load(browser, url, action=None):
    """Opens URL (or runs ACTION, a script that navigates); the events it raised."""
    browser.events.clear()
    if action is None:
        browser.call("Page.navigate", {"url": url}, session=True)
    else:
        browser.evaluate(action)
    browser.wait_event("Page.loadEventFired")
    browser.settle()
    events = list(browser.events)
    browser.events.clear()
    return events


def screenshot(browser, path):
    data = browser.call("Page.captureScreenshot", {"format": "png"}, session=True)["data"]
    with open(path, "wb") as f:
        f.write(base64.b64decode(data))


def ipp_defaults(base, printer, test_file):
    uri = base.replace("http://", "ipp://", 1) + f"/ipp/print/{printer}"
    out = subprocess.run(["ipptool", "-t", uri, test_file], capture_output=True, text=True,
                         check=False).stdout
    values = {}
    for line in out.splitlines():
        name, sep, value = line.strip().partition(" = ")
        if sep:
            values[name.split(" ")[0]] = value
    return values


def main():
    base, printer, artefacts, icons, defaults_test = sys.argv[1:6]
    os.makedirs(artefacts, exist_ok=True)

    # The app's own icons in place of PAPPL's.
    for path, icon in (("/navicon.png", "icon-sm.png"), ("/favicon.png", "icon-md.png"),
                       (f"/{printer}/icon-md.png", "icon-md.png")):
        with urllib.request.urlopen(base + path, timeout=10) as r, \
                open(os.path.join(icons, icon), "rb") as f:
            check(f"{path} is the app's {icon}", r.read() == f.read())

    browser = Browser(artefacts)
    try:
        for name, path, text, may_fail in PAGES:
            url = base + path.format(p=printer)
            events = load(browser, url)
            found = problems(events, may_fail)
            check(f"{name}: no HTTP error, console error or missing resource", not found,
                  "\n  ".join(found))
            statuses = [e["params"]["response"]["status"] for e in events
                        if e["method"] == "Network.responseReceived"
                        and e["params"]["response"]["url"] == url]
            check(f"{name}: the page answered 200", statuses[:1] == [200], f"got {statuses}")
            title = browser.evaluate("document.title") or ""
            check(f"{name}: the title names the app", APP_NAME in title, f"title: {title!r}")
            body = browser.evaluate("document.body.innerText") or ""
            check(f"{name}: the page shows '{text}'", text in body)
            broken = browser.evaluate(
                "Array.from(document.images).filter(i => !(i.complete && i.naturalWidth > 0))"
                ".map(i => i.src)")
            check(f"{name}: every image is shown", broken == [], f"not shown: {broken}")
            screenshot(browser, os.path.join(artefacts, f"{name}.png"))

        # A default changed through the form, as a user does.
        before = ipp_defaults(base, printer, defaults_test)
        check("the defaults differ before the form is sent",
              all(before.get(k) != v for k, v in EXPECTED_DEFAULTS.items()), f"{before}")
        load(browser, f"{base}/{printer}/printing")
        events = load(browser, None, FORM_CHANGES)
        found = problems(events)
        check("the defaults form: no HTTP error or console error", not found, "\n  ".join(found))
        body = browser.evaluate("document.body.innerText") or ""
        check("the defaults form: the page confirms the change", "Changes saved." in body,
              body[:300])
        screenshot(browser, os.path.join(artefacts, "printer-defaults-saved.png"))
        after = ipp_defaults(base, printer, defaults_test)
        for k, v in EXPECTED_DEFAULTS.items():
            check(f"Get-Printer-Attributes reports {k} {v}", after.get(k) == v,
                  f"got {after.get(k)!r}")
    finally:
        browser.close()

    print(f"web pages: {passed} passed, {failed} failed")
    return 0 if failed == 0 and passed > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
