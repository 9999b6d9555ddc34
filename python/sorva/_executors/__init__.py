"""The seam between the runner and whatever runs its jobs: one task in, how it ended out.

An executor runs a job so that the job's folder ends up holding exactly what
`python -m sorva.worker MODULE FUNCTION FOLDER --inputs-file -` would leave
there for the same inputs (`value.json`, `result.json`, any value file) plus
the job's standard output and error in `worker.log`. The runner reads those
files itself; the executor only reports how the job's process ended.

The executors are registered here by name and built from `Settings`, so the
runner, a test or an embedding program needs no command line to make one.
This module is imported by the fork server, whose every module each fork maps
again: it imports nothing the server would not hold anyway.
"""

from __future__ import annotations

import importlib
import signal
import sys
from abc import ABC, abstractmethod
from dataclasses import dataclass

from sorva._cli import exception_text

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Sequence
    from pathlib import Path
    from typing import ClassVar


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


def _on_stderr(line: str) -> None:
    print(line, file=sys.stderr, flush=True)


@dataclass(frozen=True)
class Settings:
    """What an executor is built from; each executor reads the fields that concern it."""

    # dask: the cluster's scheduler, tcp://HOST:PORT; None starts a local cluster for the run.
    scheduler: str | None = None
    # pool: each worker is replaced after this many jobs; None keeps it for the run.
    recycle: int | None = None
    # Tells the user a line while the run goes on (a cluster left without workers); the runner's names itself.
    say: Callable[[str], None] = _on_stderr


# The executor's name -> the module holding it and its class; a module is
# imported only when its executor is chosen, so an executor's dependencies
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


def create(name: str, settings: Settings) -> Executor:
    """The executor registered under `name`, built from `settings`, not yet started."""
    return executor_class(name)(settings)


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


# A job the run was stopped before: it ends as one stopped by SIGTERM would.
NOT_STARTED = Ended(-signal.SIGTERM, "interrupted before it started")


class Executor(ABC):
    """Runs tasks; `run` is called from up to `jobs` threads at once."""

    name: ClassVar[str]

    def __init__(self, settings: Settings = Settings()) -> None:  # noqa: B008 - frozen, shared safely
        self.settings = settings

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
