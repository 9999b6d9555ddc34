"""The seam between the runner and whatever runs its jobs: one task in, how it ended out.

An executor runs a job so that the job's folder ends up holding exactly what
`python -m sorva.worker MODULE FUNCTION FOLDER --inputs-file -` would leave
there for the same inputs (`value.json`, `result.json`, any value file) plus
the job's standard output and error in `worker.log`. The runner reads those
files itself; the executor only reports how the job's process ended.
"""

from __future__ import annotations

from abc import ABC, abstractmethod
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import ClassVar


class ExecutorError(Exception):
    """The executor cannot run this run at all; the message is one line for the user."""


@dataclass(frozen=True)
class Task:
    """One job as an executor sees it."""

    module: str  # a module that defines the asset under its own name
    function: str  # the asset's member name in that module
    folder: Path  # absolute; exists; no value.json or result.json of an earlier run in it
    inputs: bytes | None  # the keyword arguments as a UTF-8 JSON object, None for none
    timeout: float | None = None  # seconds the job may run, None for no limit


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
