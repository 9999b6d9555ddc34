"""The seam between the runner and whatever runs its jobs: one task in, how it ended out.

An executor runs a job so that the job's folder ends up holding exactly what
`python -m sorva.worker MODULE FUNCTION FOLDER --inputs-file -` would leave
there for the same inputs (`value.json`, `result.json`, any value file) plus
the job's standard output and error in `worker.log`. The runner reads those
files itself; the executor only reports how the job's process ended.
"""

from __future__ import annotations

import importlib
import json
import os
import signal
import subprocess
import sys
import threading
from abc import ABC, abstractmethod
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import ClassVar

from sorva._cli import exception_text

TYPE_CHECKING = False
if TYPE_CHECKING:
    import argparse


class ExecutorError(Exception):
    """The executor cannot run this run at all; the message is one line for the user."""


class UseInstead(ExecutorError):
    """The executor cannot run this run but the one named `executor` can; the message says why, in one line.

    Raised by `start`: the runner prints the message, closes this executor
    and runs the whole run with the other one.
    """

    def __init__(self, message: str, executor: str = "process") -> None:
        super().__init__(message)
        self.executor = executor


# `--executor NAME` -> the module holding the executor and its class; a module
# is imported only when its executor is chosen, so an executor's dependencies
# cost nothing to the runs of the others.
EXECUTORS = {
    "process": ("sorva._executors.process", "ProcessExecutor"),
    "fork": ("sorva._executors.fork", "ForkExecutor"),
    "pool": ("sorva._executors.pool", "PoolExecutor"),
    "dask": ("sorva._executors.dask", "DaskExecutor"),
}


def executor_class(name: str) -> type[Executor]:
    """The executor registered under `name`; ExecutorError when its module cannot be imported."""
    module_name, class_name = EXECUTORS[name]
    try:
        module = importlib.import_module(module_name)
    except ImportError as error:
        raise ExecutorError(f"the '{name}' executor is not available here: {exception_text(error)}") from None
    executor: type[Executor] = getattr(module, class_name)
    return executor


@dataclass(frozen=True)
class Task:
    """One job as an executor sees it."""

    module: str  # a module that defines the asset under its own name
    function: str  # the asset's member name in that module
    folder: Path  # absolute; exists; no value.json or result.json of an earlier run in it
    inputs: bytes | None  # the keyword arguments as a UTF-8 JSON object, None for none
    timeout: float | None = None  # seconds the job may run, None for no limit
    # Members of `inputs` that say where an upstream value lies instead of
    # holding it (`python -m sorva.worker ... --root ROOT --upstream-json ...`);
    # `sorva._jobfiles.values.upstream_files` lists the files under `root` they need.
    upstream: tuple[str, ...] = ()
    root: Path | None = None  # the run's output folder, which holds those upstream folders


@dataclass(frozen=True)
class Ended:
    """How a job's process ended.

    `status` reads as a subprocess return code: 0 the asset succeeded, 1 it
    failed, 2 the worker refused or could not record, and -N killed by signal
    N. `reason` is set when the executor knows why a job ended without a
    record (timed out, its server or cluster worker was lost, it could not be
    started); the runner then reports it instead of guessing from the status.
    """

    status: int
    reason: str = ""


class Executor(ABC):
    """Runs tasks; `run` is called from up to `jobs` threads at once."""

    name: ClassVar[str]

    @classmethod
    def from_arguments(cls, args: argparse.Namespace) -> Executor:
        """The executor for a run with these command-line options; override to read options of your own."""
        return cls()

    def start(self, modules: Sequence[str], jobs: int) -> None:  # noqa: B027 - optional hook
        """Prepares for a run of these modules; raises ExecutorError when it cannot."""

    @abstractmethod
    def run(self, task: Task) -> Ended:
        """Runs one task to its end and says how it ended."""

    @abstractmethod
    def interrupt(self) -> None:
        """Stops every running task and all it started; pending `run` calls return soon.

        Called once, from the main thread, when the run is cancelled.
        """

    def close(self) -> None:  # noqa: B027 - optional hook
        """Releases what `start` acquired; called once after the last task."""


class ProcessExecutor(Executor):
    """One `python -m sorva.worker` process per task, each in a process group of its own.

    The group lets the runner stop a job together with everything its asset
    started, and keeps a Ctrl-C at the terminal from reaching the workers
    directly: the runner decides what an interruption means for each job.
    A watcher process (`sorva._executors.watch`) kills the groups left running if the
    runner ends without clearing them, killed by a signal it cannot catch.
    """

    name = "process"
    GRACE = 2.0  # seconds a stopped job gets to end before it is killed
    WATCH_WAIT = 5.0  # seconds the watcher may take to leave once the run is over

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._running: dict[int, subprocess.Popen[bytes]] = {}
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
        with self._lock:
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
        with self._lock:
            if self._stopping:
                return Ended(-signal.SIGTERM, "interrupted before it started")
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
            self._running[process.pid] = process
            if self._watch is not None:
                _tell(self._watch, b"+%d\n" % process.pid)
        timer = None
        timed_out = threading.Event()
        if task.timeout is not None:
            timer = threading.Timer(task.timeout, self._time_out, (process, timed_out))
            timer.daemon = True
            timer.start()
        try:
            _feed(process, task.inputs)
            # Waiting without reaping keeps the group's id from being reused
            # while the group is cleared of anything the asset left running.
            os.waitid(os.P_PID, process.pid, os.WEXITED | os.WNOWAIT)
            _signal_group(process.pid, signal.SIGKILL)
        finally:
            if timer is not None:
                timer.cancel()
            with self._lock:
                del self._running[process.pid]
                if self._watch is not None:
                    _tell(self._watch, b"-%d\n" % process.pid)
            process.wait()
        if timed_out.is_set():
            return Ended(process.returncode, f"timed out after {task.timeout:g} s")
        return Ended(process.returncode)

    def _time_out(self, process: subprocess.Popen[bytes], timed_out: threading.Event) -> None:
        timed_out.set()
        self._stop(process)

    def _stop(self, process: subprocess.Popen[bytes]) -> None:
        """Asks the job's group to end, and kills it after the grace period."""
        self._signal(process, signal.SIGTERM)
        killer = threading.Timer(self.GRACE, self._signal, (process, signal.SIGKILL))
        killer.daemon = True
        killer.start()

    def _signal(self, process: subprocess.Popen[bytes], signum: int) -> None:
        # Only a job not yet reaped: a reaped leader's id may belong to another process by now.
        with self._lock:
            if self._running.get(process.pid) is process:
                _signal_group(process.pid, signum)

    def interrupt(self) -> None:
        with self._lock:
            self._stopping = True
            running = list(self._running.values())
        for process in running:
            self._stop(process)


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


def _signal_group(pid: int, signum: int) -> None:
    try:
        os.killpg(pid, signum)
    except (ProcessLookupError, PermissionError):
        pass  # the group has ended
