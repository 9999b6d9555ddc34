"""Progress on a terminal: a live display, a line only for failures unless --verbose, then the summary."""

import contextlib
import os
import re
import select
import subprocess

import pytest

from cli_support import command, untimed, write_module

# Every run of these tests is made with each executor.
pytestmark = pytest.mark.usefixtures("each_executor")

# Without rich, a terminal gets the lines any other stream gets.
pytest.importorskip("rich")


def run_on_terminal(*args, cwd):
    """Runs `python -m ARGS` with a pseudo-terminal as standard output; returns its status and text without escapes."""
    leader, follower = os.openpty()
    process = subprocess.Popen(command(*args), cwd=cwd, stdin=subprocess.DEVNULL, stdout=follower,
                               stderr=follower, env={**os.environ, "COLUMNS": "120", "TERM": "xterm"})
    os.close(follower)
    output = b""
    with contextlib.suppress(OSError):  # the terminal closed: the process ended
        while select.select([leader], [], [], 120)[0] and (chunk := os.read(leader, 65536)):
            output += chunk
    os.close(leader)
    process.wait(timeout=60)
    text = re.sub(r"\x1b\[[0-9;?]*[A-Za-z]", "", output.decode("utf-8", "replace")).replace("\r", "\n")
    return process.returncode, [untimed(line) for line in text.splitlines() if line.strip()]


@pytest.mark.parametrize("verbose", [False, True])
def test_a_terminal_gets_a_live_display_and_lines_for_failures(tmp_path, verbose):
    write_module(tmp_path, "counting", "import time\nfrom sorva import asset, partitions\n"
                 "@asset(partitions={'n': partitions(list(range(1, 11)))})\ndef counted(n):\n    if n == 2:\n"
                 "        raise ValueError('two')\n    if n == 10:\n        time.sleep(0.6)\n    return n\n")
    status, lines = run_on_terminal("sorva.run", "counting", "--jobs", "1", *(["--verbose"] if verbose else []), cwd=tmp_path)
    jobs = [line for line in lines if line.startswith("[")]
    failure = "ValueError: two (traceback in sorva-out/counted/n=2/worker.log)"
    expected = [f"[{n}/10] {'failed' if n == 2 else 'ok':<7}  {f'counted n={n}':<12}    X.XXs  {failure if n == 2 else n}"
                for n in range(1, 11) if verbose or n == 2]
    assert (status, jobs, lines[-2:]) == (1, expected, [
        "10 jobs in X.XXs: 9 succeeded, 0 fresh, 1 failed, 0 skipped; outputs in sorva-out; report in sorva-out/report.html",
        f"failed: counted n=2: {failure}"])
    # The display names the jobs running, and its columns keep their places as the counts widen.
    display = [line for line in lines if re.search(r"\d+/10 jobs .* running, +\d failed, \d:\d\d:\d\d elapsed, ", line)]
    assert "running: counted n=10" in lines
    assert len({(line.index("/10 jobs"), line.index("running,")) for line in display}) == 1
