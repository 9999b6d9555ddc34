"""`python -m sorva.run` stopped by SIGINT or SIGTERM: a summary, no traceback, no process left behind."""

import os
import signal
import time

import pytest

from cli_support import SLOW_PIPELINE, STOPPED, alive, squeezed, start, wait_for, wait_until, write_module

# Every run of these tests is made with each executor.
pytestmark = pytest.mark.usefixtures("each_executor")


# A terminal's Ctrl-C reaches the whole foreground process group; a service manager sends SIGTERM to the runner.
@pytest.mark.parametrize("signum, to_group, status", [
    (signal.SIGINT, True, 130), (signal.SIGTERM, False, 143), (signal.SIGINT, False, 130),
])
def test_a_stopped_run_reports_what_finished_and_what_was_interrupted(tmp_path, signum, to_group, status):
    write_module(tmp_path, "sleepy", SLOW_PIPELINE)
    runner = start("sorva.run", "sleepy", "--jobs", "1", cwd=tmp_path)
    try:
        pids = [int(pid) for pid in wait_for(tmp_path / "pids").split()]
        (os.killpg if to_group else os.kill)(runner.pid, signum)
        stdout, stderr = runner.communicate(timeout=60)
    finally:
        runner.kill()
    assert (runner.returncode, squeezed(stdout), stderr) == (status, STOPPED.format(name=signal.Signals(signum).name), "")
    assert [pid for pid in pids if alive(pid)] == []


# The inspection runs while the runner loads the rest of itself; a stop then ends it and runs nothing.
@pytest.mark.parametrize("signum, status", [(signal.SIGINT, 130), (signal.SIGTERM, 143)])
def test_a_run_stopped_while_the_modules_are_inspected_runs_nothing(tmp_path, signum, status):
    write_module(tmp_path, "importing", '''
        import os, pathlib, time
        pathlib.Path("inspecting").write_text(str(os.getpid()))
        time.sleep(120)
        ''')
    runner = start("sorva.run", "importing", cwd=tmp_path)
    try:
        inspection = int(wait_for(tmp_path / "inspecting"))
        os.kill(runner.pid, signum)
        stdout, stderr = runner.communicate(timeout=60)
    finally:
        runner.kill()
    name = signal.Signals(signum).name
    assert (runner.returncode, stdout, stderr) == (status, "", f"stopped by {name} before any job started\n")
    assert not alive(inspection) and not (tmp_path / "sorva-out").exists()


# A stop is a stop whenever it comes: held from the start (as a signal that comes while the interpreter starts
# is held until the runner can catch it), while the runner starts, inspects or ends. The exit status says so, and
# every process that imported the module has ended.
@pytest.mark.parametrize("signum, status", [(signal.SIGINT, 130), (signal.SIGTERM, 143)])
def test_a_signal_at_any_time_is_a_stop(tmp_path, signum, status):
    write_module(tmp_path, "quick", '''
        import os, pathlib
        pathlib.Path(f"pid-{os.getpid()}").touch()
        from sorva import asset
        @asset()
        def one(): return 1
        ''')
    for delay in (0, 0.2, 0.5):
        signal.pthread_sigmask(signal.SIG_BLOCK, {signum})
        try:
            runner = start("sorva.run", "quick", cwd=tmp_path)
        finally:
            signal.pthread_sigmask(signal.SIG_UNBLOCK, {signum})
        try:
            time.sleep(delay)
            os.kill(runner.pid, signum)
            stdout, _ = runner.communicate(timeout=60)
        finally:
            runner.kill()
        # Only a run that had ended whole when the signal came may say so.
        assert runner.returncode == status or (runner.returncode, "1 succeeded" in stdout) == (0, delay > 0), delay
    for pid in tmp_path.glob("pid-*"):
        wait_until(lambda: not alive(int(pid.name[4:])), f"{pid.name} outlived the runner")
