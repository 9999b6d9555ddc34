"""`python -m sorva.run` stopped by SIGINT or SIGTERM: a summary, no traceback, no process left behind."""

import os
import signal
import subprocess
import time
from pathlib import Path

import pytest

from cli_support import SLOW_PIPELINE, command, untimed, write_module

# Every run of these tests is made with each executor.
pytestmark = pytest.mark.usefixtures("each_executor")

PIPELINE = SLOW_PIPELINE


def alive(pid: int) -> bool:
    """Whether the process exists and has not ended (a zombie has ended)."""
    try:
        state = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0]
    except (FileNotFoundError, ProcessLookupError):
        return False
    return state not in ("Z", "X")


def wait_for(path: Path) -> str:
    deadline = time.monotonic() + 60
    while not (path.exists() and path.read_text()):
        assert time.monotonic() < deadline, f"{path} never appeared"
        time.sleep(0.05)
    return path.read_text()


# A terminal's Ctrl-C reaches the whole foreground process group; a service manager sends SIGTERM to the runner.
@pytest.mark.parametrize("signum, to_group, status", [
    (signal.SIGINT, True, 130), (signal.SIGTERM, False, 143), (signal.SIGINT, False, 130),
])
def test_a_stopped_run_reports_what_finished_and_what_was_interrupted(tmp_path, signum, to_group, status):
    write_module(tmp_path, "sleepy", PIPELINE)
    runner = subprocess.Popen(command("sorva.run", "sleepy", "--jobs", "1"), cwd=tmp_path,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, encoding="utf-8", start_new_session=True)
    try:
        pids = [int(pid) for pid in wait_for(tmp_path / "pids").split()]
        (os.killpg if to_group else os.kill)(runner.pid, signum)
        stdout, stderr = runner.communicate(timeout=60)
    finally:
        runner.kill()
    name = signal.Signals(signum).name
    assert (runner.returncode, untimed(stdout), stderr) == (status, (
        "[1/3] ok       quick    X.XXs  1\n"
        f"[2/3] interrupted  slow     X.XXs  stopped by {name}\n"
        "3 jobs in X.XXs: 1 succeeded, 0 fresh, 0 failed, 0 skipped, 1 interrupted, 1 not started; outputs in sorva-out; report in sorva-out/report.html\n"
        f"stopped by {name}\n"
    ), "")
    assert [pid for pid in pids if alive(pid)] == []
