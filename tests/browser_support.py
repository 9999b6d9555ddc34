"""Opens pages in headless Chromium: the page's DOM once rendered."""

import os
import shutil
import subprocess

import pytest

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
needs_chromium = pytest.mark.skipif(
    CHROMIUM is None, reason="Chromium is not installed (tools/install-deps.sh installs Debian's chromium)"
)


def chromium(page, profile, *options):
    """Runs headless Chromium on a local page and returns its standard output."""
    done = subprocess.run(
        [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-extensions",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         f"--user-data-dir={profile}", *options, page.resolve().as_uri()],
        stdin=subprocess.DEVNULL, capture_output=True, encoding="utf-8", timeout=120, check=False,
        # The browser is no part of what is tested: the sanitizer run's preloaded runtime stays out of it.
        env={name: value for name, value in os.environ.items() if name != "LD_PRELOAD"},
    )
    assert done.returncode == 0, done.stderr
    return done.stdout
