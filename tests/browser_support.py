"""Opens pages in headless Chromium: a screenshot, and the page's DOM once rendered."""

import os
import shutil
import struct
import subprocess
import zlib

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


def png_colours(path):
    """The number of distinct colours in an 8-bit RGB or RGBA PNG, as Chromium writes them."""
    data = path.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    chunks, at = {}, 8
    while at < len(data):
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        chunks[kind] = chunks.get(kind, b"") + data[at + 8:at + 8 + length]
        at += 12 + length
    width, height, depth, colour = struct.unpack(">IIBB", chunks[b"IHDR"][:10])
    assert (depth, colour) in ((8, 2), (8, 6))
    size = 3 if colour == 2 else 4
    raw, stride, rows, previous = zlib.decompress(chunks[b"IDAT"]), width * size, [], bytearray(width * size)
    for y in range(height):
        kind, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for x in range(stride):
            left = line[x - size] if x >= size else 0
            up, corner = previous[x], previous[x - size] if x >= size else 0
            if kind == 1:
                line[x] = (line[x] + left) & 255
            elif kind == 2:
                line[x] = (line[x] + up) & 255
            elif kind == 3:
                line[x] = (line[x] + (left + up) // 2) & 255
            elif kind == 4:
                guess = left + up - corner
                pick = min((abs(guess - left), 0, left), (abs(guess - up), 1, up), (abs(guess - corner), 2, corner))
                line[x] = (line[x] + pick[2]) & 255
        rows.append(bytes(line))
        previous = line
    return len({row[x:x + size] for row in rows for x in range(0, stride, size)})
