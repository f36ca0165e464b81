#!/usr/bin/python3
# A printer's supplies page in Debian's headless Chromium (driven as
# web_pages.py does): it must load without error and show each supply named
# with the level given.
#
#   supplies_page.py URL ARTEFACT_DIR NAME=LEVEL...
#
# LEVEL as the page's bar gives it ("75%"). Leaves printer-supplies-agent.png
# in ARTEFACT_DIR. Exits 0 when every check passed, 1 otherwise.
import os
import sys

import web_pages
from web_pages import Browser, check, load, problems, screenshot


def main():
    url, artefacts = sys.argv[1:3]
    expected = dict(arg.split("=", 1) for arg in sys.argv[3:])
    browser = Browser(artefacts)
    try:
        found = problems(load(browser, url))
        check("the supplies page loads without error", not found, "\n  ".join(found))
        # Each row: the supply's name, then its bar, whose title is the level.
        shown = browser.evaluate(
            "Object.fromEntries(Array.from(document.querySelectorAll('table.meter tr'))"
            ".filter(r => r.querySelector('th') && r.querySelector('span.bar'))"
            ".map(r => [r.querySelector('th').innerText, r.querySelector('span.bar').title]))") or {}
        for name, level in expected.items():
            check(f"the page shows {name} at {level}", shown.get(name) == level, f"shown: {shown}")
        screenshot(browser, os.path.join(artefacts, "printer-supplies-agent.png"))
    finally:
        browser.close()
    print(f"supplies page: {web_pages.passed} passed, {web_pages.failed} failed")
    return 0 if web_pages.failed == 0 and web_pages.passed > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
