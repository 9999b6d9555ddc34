"""Reads a report page's job groups back, opens pages in Chromium, and marks the tests that need Graphviz."""

import os
import shutil
from html.parser import HTMLParser

import pytest

needs_dot = pytest.mark.skipif(shutil.which("dot") is None, reason="Graphviz's dot is not installed")


def browser(profile):
    """Headless Chromium driven through chromedriver, keeping what pages log to the console; it ends with its `with`."""
    if shutil.which("chromedriver") is None:
        pytest.skip("chromedriver is not installed (tools/install-deps.sh installs Debian's chromium-driver)")
    webdriver = pytest.importorskip("selenium.webdriver", reason="selenium is not installed (Debian's python3-selenium)")
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--no-first-run",
                 "--disable-extensions", "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--window-size=1280,1000", f"--user-data-dir={profile}"):
        options.add_argument(flag)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    # The browser is no part of what is tested: the sanitizer run's preloaded runtime stays out of it.
    env = {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}
    return webdriver.Chrome(options=options, service=Service(shutil.which("chromedriver"), env=env))


class Page(HTMLParser):
    """The job groups of a report page: (id, open, [[cell texts and link targets] per row])."""

    def __init__(self, text):
        super().__init__()
        self.groups, self.cell = [], None
        self.feed(text)

    def handle_starttag(self, tag, attributes):
        attributes = dict(attributes)
        if tag == "details" and "asset" in attributes.get("class", "").split():
            self.groups.append((attributes["id"], "open" in attributes, []))
        elif tag == "tr" and "job" in attributes.get("class", "").split():
            self.groups[-1][2].append([])
        elif tag == "td" and self.groups and self.groups[-1][2]:
            self.cell = ""
        elif tag == "a" and self.cell is not None:
            self.cell += f"[{attributes['href']}]"

    def handle_data(self, data):
        if self.cell is not None:
            self.cell += data

    def handle_endtag(self, tag):
        if tag == "td" and self.cell is not None:
            self.groups[-1][2][-1].append(self.cell.strip())
            self.cell = None
