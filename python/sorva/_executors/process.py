"""`--executor process`: one `python -m sorva.worker` process per job.

`Running` waits for a job's process, with its time limit and its stop; the
Dask workers run their jobs' processes with it too.
"""

from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
import threading
from collections.abc import Callable, Sequence

from sorva._executors import NOT_STARTED, Ended, Executor, ExecutorError, Settings, Task
from sorva._executors.groups import GRACE, signal_group


class Running:
    """The processes of running jobs, each the leader of a process group of its own, with the run each belongs to.

    A group is signalled only while its leader is not yet reaped: a reaped
    leader's id may belong to another process by now. `cleared` is called,
    under the lock, once a job's group has been cleared and before its leader
    is reaped.
    """

    def __init__(self, cleared: Callable[[int], None] = lambda pid: None) -> None:
        # Re-entrant: a stop runs in the main thread's signal handler, and may come while the main
        # thread holds it, starting or closing an executor; a plain lock would then wait for itself.
        self.lock = threading.RLock()
        self.processes: dict[int, tuple[subprocess.Popen[bytes], str]] = {}
        self.cleared = cleared

    def add(self, process: subprocess.Popen[bytes], run: str = "") -> None:
        """Takes in a job's process just started; the caller holds the lock."""
        self.processes[process.pid] = (process, run)

    def wait(self, process: subprocess.Popen[bytes], timeout: float | None, feed: Callable[[], None]) -> bool:
        """Feeds the job, waits for its end (stopping it after `timeout` seconds), clears its group and reaps it.

        Returns whether it timed out.
        """
        timer, timed_out = self.limit(process, timeout)
        try:
            feed()
        finally:
            self.clear(process)
            if timer is not None:
                timer.cancel()
        return timed_out.is_set()

    def limit(self, process: subprocess.Popen[bytes], timeout: float | None) -> tuple[threading.Timer | None, threading.Event]:
        """Stops the job after `timeout` seconds (never for None): the timer, to cancel once the job ended, and
        the event set when it fired."""
        timed_out = threading.Event()
        if timeout is None:
            return None, timed_out
        timer = threading.Timer(timeout, self._time_out, (process, timed_out))
        timer.daemon = True
        timer.start()
        return timer, timed_out

    def clear(self, process: subprocess.Popen[bytes]) -> int:
        """Waits for the job's process to end, clears its group, forgets it and reaps it; returns its status."""
        # Waiting without reaping keeps the group's id from being reused
        # while the group is cleared of anything the asset left running.
        os.waitid(os.P_PID, process.pid, os.WEXITED | os.WNOWAIT)
        signal_group(process.pid, signal.SIGKILL)
        with self.lock:
            del self.processes[process.pid]
            self.cleared(process.pid)
        return process.wait()

    def stop(self, process: subprocess.Popen[bytes]) -> None:
        """Asks the job's group to end, and kills it after the grace period."""
        self.signal(process, signal.SIGTERM)
        self.kill_after(process, GRACE)

    def kill_after(self, process: subprocess.Popen[bytes], seconds: float) -> threading.Timer:
        """Kills the job's group after `seconds`, unless the timer returned is cancelled first."""
        killer = threading.Timer(seconds, self.signal, (process, signal.SIGKILL))
        killer.daemon = True
        killer.start()
        return killer

    def _time_out(self, process: subprocess.Popen[bytes], timed_out: threading.Event) -> None:
        timed_out.set()
        self.stop(process)

    def signal(self, process: subprocess.Popen[bytes], signum: int) -> None:
        """Signals the job's group, while its leader is not reaped."""
        with self.lock:
            if self.processes.get(process.pid, (None, ""))[0] is process:
                signal_group(process.pid, signum)


class ProcessExecutor(Executor):
    """One `python -m sorva.worker` process per task, each in a process group of its own.

    The group lets the runner stop a job together with everything its asset
    started, and keeps a Ctrl-C at the terminal from reaching the workers
    directly: the runner decides what an interruption means for each job.
    A watcher process (`sorva._executors.watch`) kills the groups left running if the
    runner ends without clearing them, killed by a signal it cannot catch.
    """

    name = "process"
    WATCH_WAIT = 5.0  # seconds the watcher may take to leave once the run is over

    def __init__(self, settings: Settings = Settings()) -> None:  # noqa: B008 - frozen, shared safely
        super().__init__(settings)
        self._running = Running(self._cleared)
        self._stopping = False
        self._watch: subprocess.Popen[bytes] | None = None

    def start(self, modules: Sequence[str], jobs: int) -> None:
        try:
            self._watch = subprocess.Popen(
                [sys.executable, "-m", "sorva._executors.watch"], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                start_new_session=True,
            )
        except OSError as error:
            raise ExecutorError(f"could not start the worker watcher: {error.strerror}") from None

    def close(self) -> None:
        watch, self._watch = self._watch, None
        if watch is None:
            return
        with self._running.lock:
            _tell(watch, b"")  # closes its pipe: every group is cleared by now
        try:
            watch.wait(self.WATCH_WAIT)
        except subprocess.TimeoutExpired:
            watch.kill()
            watch.wait()

    def run(self, task: Task) -> Ended:
        command = [sys.executable, "-m", "sorva.worker", task.module, task.function, str(task.folder)]
        if task.inputs is not None:
            command += ["--inputs-file", "-"]
        if task.upstream:
            # As JSON: a parameter name may be any text, "-x" or "" too.
            command += ["--root", str(task.root), "--upstream-json", json.dumps(task.upstream)]
        with self._running.lock:
            if self._stopping:
                return NOT_STARTED
            try:
                # Never through a link planted in its place.
                flags = os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_NOFOLLOW
                with open(os.open(task.folder / "worker.log", flags, 0o666), "wb") as log:
                    process = subprocess.Popen(
                        command,
                        stdin=subprocess.DEVNULL if task.inputs is None else subprocess.PIPE,
                        stdout=log,
                        stderr=subprocess.STDOUT,
                        start_new_session=True,
                    )
            except OSError as error:
                return Ended(2, f"could not start the worker: {error}")
            self._started(process)
        if self._running.wait(process, task.timeout, lambda: _feed(process, task.inputs)):
            return Ended(process.returncode, f"timed out after {task.timeout:g} s")
        return Ended(process.returncode)

    def _started(self, process: subprocess.Popen[bytes]) -> None:
        """Lists a process just started in a group of its own, for the stops and the watcher; the caller holds the
        lock."""
        self._running.add(process)
        if self._watch is not None:
            _tell(self._watch, b"+%d\n" % process.pid)

    def _cleared(self, pid: int) -> None:
        if self._watch is not None:
            _tell(self._watch, b"-%d\n" % pid)

    def interrupt(self) -> None:
        with self._running.lock:
            self._stopping = True
            running = [process for process, _ in self._running.processes.values()]
        for process in running:
            self._running.stop(process)


def _tell(watch: subprocess.Popen[bytes], line: bytes) -> None:
    """Writes a line to the watcher; an empty one closes its pipe. A watcher that is gone is not missed."""
    assert watch.stdin is not None
    try:
        if line:
            watch.stdin.write(line)
            watch.stdin.flush()
        else:
            watch.stdin.close()
    except (OSError, ValueError):
        pass  # it ended, or its pipe is closed


def _feed(process: subprocess.Popen[bytes], inputs: bytes | None) -> None:
    if process.stdin is None:
        return
    try:
        if inputs:
            process.stdin.write(inputs)
        process.stdin.close()
    except OSError:
        pass  # the worker ended without reading its inputs; its status tells why
