"""`python -m sorva.run` stopped by SIGINT or SIGTERM: a summary, no traceback, no process left behind."""

import os
import signal
import time

import pytest

from cli_support import SLOW_PIPELINE, STOPPED, alive, squeezed, start, wait_for, wait_until, write_module


def group_alive(group):
    try:
        os.killpg(group, 0)
    except ProcessLookupError:
        return False
    return True


# A terminal's Ctrl-C reaches the whole foreground process group, a local Dask cluster's workers included;
# a service manager sends SIGTERM to the runner.
@pytest.mark.parametrize("executor", ["process", "fork", "dask"])
@pytest.mark.parametrize("signum, to_group, status", [
    (signal.SIGINT, True, 130), (signal.SIGTERM, False, 143), (signal.SIGINT, False, 130),
])
def test_a_stopped_run_reports_what_finished_and_what_was_interrupted(tmp_path, executor, signum, to_group, status):
    if executor == "dask":
        pytest.importorskip("distributed", reason="the Dask executor needs 'distributed' (python3-distributed)")
    write_module(tmp_path, "sleepy", SLOW_PIPELINE)
    (tmp_path / "hold").touch()
    with start("sorva.run", "sleepy", "--jobs", "1", "--executor", executor, cwd=tmp_path) as runner:
        pids = [int(pid) for pid in wait_for(tmp_path / "pids").split()]
        (os.killpg if to_group else os.kill)(runner.pid, signum)
        stdout, stderr = runner.communicate(timeout=60)
    assert (runner.returncode, squeezed(stdout), stderr) == (status, STOPPED.format(name=signal.Signals(signum).name), "")
    wait_until(lambda: not [pid for pid in pids if alive(pid)] and not group_alive(runner.pid), "a job or worker runs on")


# The inspection runs while the command loads the rest of itself; a stop then ends it, and nothing runs or is written.
@pytest.mark.parametrize("signum, status", [(signal.SIGINT, 130), (signal.SIGTERM, 143)])
@pytest.mark.parametrize("args, stderr", [
    (["sorva.run", "importing"], "stopped by {name} before any job started\n"),
    (["sorva.graph", "importing", "-o", "g.svg"], "python -m sorva.graph: error: interrupted\n"),
])
def test_a_command_stopped_while_the_modules_are_inspected_runs_nothing(tmp_path, each_executor, args, stderr, signum, status):
    write_module(tmp_path, "importing", "import os, pathlib, time\npathlib.Path('inspecting').write_text(str(os.getpid()))\n"
                 "time.sleep(120)\n")
    with start(*args, cwd=tmp_path) as command:
        inspection = int(wait_for(tmp_path / "inspecting"))
        os.kill(command.pid, signum)
        stdout, stderr_text = command.communicate(timeout=60)
    assert (command.returncode, stdout, stderr_text) == (status, "", stderr.format(name=signal.Signals(signum).name))
    wait_until(lambda: not alive(inspection), "the inspection runs on")
    assert [path.name for path in tmp_path.iterdir() if path.suffix != ".py" and path.name != "__pycache__"] == ["inspecting"]


# A stop is a stop whenever it comes: held from the start (as a signal that comes while the interpreter starts
# is held until the runner can catch it), while the runner starts, inspects or ends. The exit status says so, and
# every process that imported the module has ended.
@pytest.mark.parametrize("signum, status", [(signal.SIGINT, 130), (signal.SIGTERM, 143)])
def test_a_signal_at_any_time_is_a_stop(tmp_path, each_executor, signum, status):
    write_module(tmp_path, "quick", "import os, pathlib\npathlib.Path(f'pid-{os.getpid()}').touch()\n"
                 "from sorva import asset\n@asset()\ndef one(): return 1\n")
    for delay in (0, 0.2, 0.5):
        signal.pthread_sigmask(signal.SIG_BLOCK, {signum})
        try:
            runner = start("sorva.run", "quick", cwd=tmp_path)
        finally:
            signal.pthread_sigmask(signal.SIG_UNBLOCK, {signum})
        with runner:
            time.sleep(delay)
            os.kill(runner.pid, signum)
            stdout, _ = runner.communicate(timeout=60)
        # Only a run that had ended whole when the signal came may say so (its job done, or fresh from a run before).
        ended_whole = "1 succeeded" in stdout or "1 fresh" in stdout
        assert runner.returncode == status or (runner.returncode, ended_whole) == (0, delay > 0), delay
    for pid in tmp_path.glob("pid-*"):
        wait_until(lambda: not alive(int(pid.name[4:])), f"{pid.name} outlived the runner")
