"""Running a plan: each attempt of a job through the executor, and the loop that feeds the scheduler."""

from __future__ import annotations

import json
import threading
import time
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass, field, replace
from pathlib import Path, PurePosixPath
from queue import Empty, SimpleQueue

from sorva._cli import exception_text
from sorva._executors import Executor, Task
from sorva._history import now
from sorva._jobfiles import folder as job_folder
from sorva._jobfiles.values import FanIn, Stored, Upstream, entries
from sorva._outcomes import State
from sorva._runner.freshness import Freshness
from sorva._runner.plan import Job, Plan, job_key
from sorva._runner.schedule import Event, Outcome, Scheduler
from sorva._runner.stop import Stopper


# Seconds the run waits for jobs at most before it looks again (a stop, rows or lines due).
TICK = 0.1


@dataclass(frozen=True)
class Limits:
    """How many jobs run at once, and how often and how long each may run."""

    parallel: int
    retries: int = 0  # further attempts of a job that fails
    timeout: float | None = None  # seconds a job may run
    # By asset ref, where an asset has its own: (retries, timeout), and the pool it runs in.
    by_asset: Mapping[str, tuple[int, float | None]] = field(default_factory=dict)
    pool_of: Mapping[str, str] = field(default_factory=dict)
    pools: Mapping[str, int] = field(default_factory=dict)  # pool -> jobs of it run at once

    def of(self, job: Job) -> tuple[int, float | None]:
        """The retries and the time limit of a job."""
        return self.by_asset.get(job.asset.ref, (self.retries, self.timeout))


def task_inputs(job: Job) -> tuple[bytes | None, tuple[str, ...]]:
    """The keyword arguments of a job as JSON, and its parameters that take upstream values.

    The runner never reads an upstream value: the worker is told the folder
    it lies in, under the output folder, and loads it itself.
    """
    upstream: dict[str, Upstream] = {}
    for feed in job.feeds:
        if feed.fan_in:
            upstream[feed.parameter] = FanIn(tuple((part.partition, _stored(part)) for part in feed.jobs))
        else:
            upstream[feed.parameter] = _stored(feed.jobs[0])
    members = {**job.partition, **entries(upstream.items())}
    return (json.dumps(members).encode() if members else None), tuple(upstream)


def _stored(job: Job) -> Stored:
    return Stored(PurePosixPath(job.folder.as_posix()), job.asset.serializer, job.asset.module)


class Execution:
    """One run of a plan into an output folder.

    The executor is started by `start` when the first job must run, and not
    at all when every job is fresh: starting one may cost seconds (a whole
    local Dask cluster). `executor` is then the started one, which the
    caller closes. `scheduler` is the run's, once `run` has begun.
    """

    def __init__(
        self,
        plan: Plan,
        out: Path,
        start: Callable[[], Executor],
        freshness: Freshness,
        limits: Limits,
    ) -> None:
        self.plan = plan
        self.out = out
        self.start = start
        self.executor: Executor | None = None
        self.scheduler: Scheduler | None = None
        self.freshness = freshness
        self.limits = limits
        self.folders = job_folder.Folders(out)
        self.digests: dict[int, str] = {}
        self.keys: dict[int, str] = {}

    def check_fresh(self, job: Job) -> Outcome | None:
        """Ends a job as fresh when the history says it is; called once its upstream digests are known."""
        key = self.keys[job.index] = job_key(job, self.digests)
        fresh = self.freshness.fresh(job, self.digests, key)
        if fresh is not None and fresh.digest is not None:
            self.digests[job.index] = fresh.digest
        return fresh

    def attempt(self, job: Job, number: int) -> Outcome:
        """Runs a job once and reads what it left; runs on a pool thread."""
        started, clock = now(), time.monotonic()
        key = self.keys[job.index]

        def failed(reason: str, log: str = "") -> Outcome:
            return Outcome(
                State.FAILED, time.monotonic() - clock, reason, key, started=started, attempt=number, log=log
            )

        try:
            folder = self.folders.prepare(job.folder)
        except OSError as error:
            return failed(exception_text(error))
        except job_folder.Unsafe as error:
            return failed(str(error))
        inputs, upstream = task_inputs(job)
        timeout = self.limits.of(job)[1]
        task = Task(job.asset.module, job.asset.function, folder, inputs, timeout, upstream, self.folders.root)
        assert self.executor is not None
        ended = self.executor.run(task)
        ok, detail, traced = job_folder.read_record(folder, ended.status, ended.reason)
        if not ok:
            return failed(detail, str(self.out / job.folder / "worker.log") if traced else "")
        digest, detail = job_folder.read_value(folder, job.asset.serializer)
        if digest is None:
            return failed("value.json cannot be read after the job succeeded")
        try:
            job_folder.write_ended(folder, key, digest)
        except OSError as error:
            return failed(f"{job_folder.ENDED} cannot be written: {exception_text(error)}")
        return Outcome(State.DONE, time.monotonic() - clock, detail, key, digest, started, number)

    def run(
        self,
        listeners: Sequence[Callable[[Event], None]],
        stopper: Stopper,
        ticks: Sequence[Callable[[], float | None]] = (),
    ) -> Scheduler:
        """Runs the plan to its end, or until a stop; returns the scheduler with every job's state.

        `ticks` are called at least every TICK seconds while jobs run; each
        says in how many seconds it wants to be called again (None: no sooner).
        What they do costs the jobs no time.
        """
        limits = self.limits
        scheduler = self.scheduler = Scheduler(self.plan.jobs, listeners, self.check_fresh, limits.pools, limits.pool_of)

        def stop() -> None:
            scheduler.stop()
            if self.executor is not None:
                self.executor.interrupt()

        stopper.on_stop(stop)
        workers = _Workers(self.attempt)
        try:
            running: dict[int, Job] = {}  # by index
            try:
                while True:
                    while len(running) < limits.parallel:
                        if self.executor is None and scheduler.can_take:
                            # In the main thread, which alone may set signal handlers while it starts;
                            # a stop during the start leaves the scheduler stopped, so nothing is taken.
                            self.executor = self.start()
                        job = scheduler.take()
                        if job is None:
                            break
                        running[job.index] = job
                        workers.submit(job, 1, len(running))
                    if not running:
                        break
                    # A timeout, so that a stop is seen even while every job runs on, and the ticks come when due.
                    due = [TICK, *(seconds for tick in ticks if (seconds := tick()) is not None)]
                    for job, result in workers.ended(min(due)):
                        del running[job.index]
                        if isinstance(result, BaseException):
                            raise result
                        outcome = result
                        if stopper.signum is not None and outcome.state == State.FAILED:
                            # A job cut short by the stop did not fail on its own.
                            stopped = f"stopped by {stopper.name}"
                            outcome = replace(outcome, state=State.INTERRUPTED, detail=stopped, log="")
                        if outcome.state == State.FAILED and outcome.attempt <= limits.of(job)[0]:
                            scheduler.retry(job, outcome)
                            running[job.index] = job
                            workers.submit(job, outcome.attempt + 1, len(running))
                            continue
                        if outcome.digest is not None:
                            self.digests[job.index] = outcome.digest
                        scheduler.finish(job, outcome)
            finally:
                workers.close()
        finally:
            # Once no job runs, a stop has nothing to interrupt. Closing the executor may hold the lock
            # that interrupting takes, in this very thread: a stop then must not wait for it.
            stopper.forget(stop)
        return scheduler


class _Workers:
    """The threads that run the attempts of jobs, one per job running at once, started as they are needed."""

    def __init__(self, attempt: Callable[[Job, int], Outcome]) -> None:
        self._attempt = attempt
        self._todo: SimpleQueue[tuple[Job, int] | None] = SimpleQueue()
        self._done: SimpleQueue[tuple[Job, Outcome | BaseException]] = SimpleQueue()
        self._threads: list[threading.Thread] = []

    def submit(self, job: Job, number: int, running: int) -> None:
        """Has attempt `number` of the job run; `running` counts the attempts submitted and not yet ended."""
        if len(self._threads) < running:
            thread = threading.Thread(target=self._work, name=f"sorva-job-{len(self._threads) + 1}")
            thread.start()
            self._threads.append(thread)
        self._todo.put((job, number))

    def ended(self, timeout: float) -> list[tuple[Job, Outcome | BaseException]]:
        """The attempts that ended, with their outcomes (or what they raised), in plan order; waits for the
        first at most `timeout` seconds."""
        try:
            ended = [self._done.get(timeout=timeout)]
        except Empty:
            return []
        while not self._done.empty():
            ended.append(self._done.get())
        return sorted(ended, key=lambda item: item[0].index)

    def close(self) -> None:
        """Lets the threads go once the attempts running have ended, and waits for them."""
        for _ in self._threads:
            self._todo.put(None)
        for thread in self._threads:
            thread.join()

    def _work(self) -> None:
        while (item := self._todo.get()) is not None:
            job, number = item
            result: Outcome | BaseException
            try:
                result = self._attempt(job, number)
            except BaseException as error:  # noqa: BLE001 - raised in the run's own thread
                result = error
            self._done.put((job, result))
