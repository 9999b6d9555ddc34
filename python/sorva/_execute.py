"""Running a plan: which jobs are fresh, each attempt through the executor, and the loop that feeds the scheduler."""

from __future__ import annotations

import time
from collections.abc import Callable, Mapping, Sequence
from concurrent.futures import FIRST_COMPLETED, Future, ThreadPoolExecutor, wait
from dataclasses import dataclass, field, replace
from pathlib import Path

from sorva import _inputfiles, _store
from sorva._cli import exception_text
from sorva._executor import Executor, ExecutorError, Task
from sorva._history import History, JobRecord, now
from sorva._plan import Job, Plan, code_change, job_key, job_recipe
from sorva._schedule import DONE, ENDED, FAILED, FRESH, INTERRUPTED, SKIPPED, Event, Outcome, Scheduler
from sorva._stop import Stopper

# How the history names the scheduler's end states.
RECORDED = {DONE: "ok", FAILED: "failed", SKIPPED: "skipped", FRESH: "fresh", INTERRUPTED: "interrupted"}
# Seconds the run waits for jobs at most before it looks again (a stop, rows or lines due).
TICK = 0.1


@dataclass(frozen=True)
class Options:
    parallel: int
    forced: frozenset[str] = frozenset()  # refs of the assets whose jobs run, fresh or not
    retries: int = 0  # further attempts of a job that fails
    timeout: float | None = None  # seconds a job may run
    # By asset ref, where an asset has its own: (retries, timeout), and the pool it runs in.
    limits: Mapping[str, tuple[int, float | None]] = field(default_factory=dict)
    pool_of: Mapping[str, str] = field(default_factory=dict)
    pools: Mapping[str, int] = field(default_factory=dict)  # pool -> jobs of it run at once

    def limits_of(self, job: Job) -> tuple[int, float | None]:
        """The retries and the time limit of a job."""
        return self.limits.get(job.asset.ref, (self.retries, self.timeout))


class Freshness:
    """Tells, from the history of an output folder, whether a job is fresh and, if not, why it must run."""

    def __init__(self, out: Path, history: History | None, forced: frozenset[str]) -> None:
        self.out = out
        self.forced = forced
        self.input_files = _inputfiles.Check(out)
        self.successes = history.last_successes() if history else {}
        self.latest = history.latest() if history else {}

    def fresh(self, job: Job, digests: Mapping[int, str]) -> Outcome | None:
        """The fresh outcome of a job, or None when it must run; `digests` holds every upstream's.

        Fresh: the key equals the key of the job's last success (or, where the
        history lacks that success because its runner was killed before saving
        it, the key the job folder's ended.json notes), its value is still what
        that success left, and the files it read then are unchanged.
        """
        if job.asset.ref in self.forced:
            return None
        key, folder = job_key(job, digests), self.out / job.folder
        last = self.successes.get((job.asset.ref, job.partition_json))
        if last is not None and last.key == key and last.digest is not None and _store.value_digest(folder, job) == last.digest:
            digest: str | None = last.digest
        else:
            digest = _store.ended_digest(folder, job, key)
        if digest is None:
            return None
        if digest is None or self.input_files(folder) is not None:
            return None
        return Outcome(FRESH, detail=_store.preview(folder, job), key=key, digest=digest, started=now())

    def reason(self, job: Job, digests: Mapping[int, str]) -> str:
        """Why a job that is not fresh must run: the first that applies of its own record, its
        source, its value's files, the files it read, its upstream. `digests` holds those of the upstream values
        known to stay as they are: one missing means that upstream runs."""
        if job.asset.ref in self.forced:
            return "forced"
        where = (job.asset.ref, job.partition_json)
        last, latest = self.successes.get(where), self.latest.get(where)
        if latest is not None and latest.outcome in (FAILED, INTERRUPTED):
            return f"{latest.outcome} last time"
        if last is None:
            return "never run"
        change = code_change(job, last.recipe)
        if change:
            return change
        folder = self.out / job.folder
        if _store.value_digest(folder, job) != last.digest:
            return f"{_store.changed_file(folder, job, last.digest)} changed or missing"
        read = self.input_files(folder)
        if read is not None:
            return read
        return "changed input" if all(upstream.index in digests for upstream in job.upstream) else "upstream runs"


def dry_run(plan: Plan, freshness: Freshness) -> list[tuple[Job, str]]:
    """Each job of the plan with why it would run, or "" when it is fresh; runs and writes nothing.

    A job downstream of one that would run would run too as far as anyone
    can tell before the run ("upstream runs"): its upstream's value may change.
    """
    digests: dict[int, str] = {}
    verdicts = []
    for job in plan.jobs:
        known = all(upstream.index in digests for upstream in job.upstream)
        fresh = freshness.fresh(job, digests) if known else None
        if fresh is not None and fresh.digest is not None:
            digests[job.index] = fresh.digest
        verdicts.append((job, "" if fresh is not None else freshness.reason(job, digests)))
    return verdicts


class Execution:
    """One run of a plan into an output folder, recorded in its history from the start.

    The executor is started by `start` when the first job must run, and not
    at all when every job is fresh: starting one may cost seconds (a whole
    local Dask cluster). `executor` is then the started one, which the
    caller closes.
    """

    def __init__(
        self,
        plan: Plan,
        out: Path,
        start: Callable[[], Executor],
        history: History,
        command: str,
        executor: str,
        options: Options,
    ) -> None:
        self.plan = plan
        self.out = out
        self.start = start
        self.executor: Executor | None = None
        self.history = history
        self.options = options
        # Read first: a history that cannot be read refuses the run before it is recorded.
        self.freshness = Freshness(out, history, options.forced)
        self.run_id = history.start_run(command, executor, len(plan.jobs))
        self.digests: dict[int, str] = {}
        self.keys: dict[int, str] = {}

    def check_fresh(self, job: Job) -> Outcome | None:
        """Ends a job as fresh when the history says it is; called once its upstream digests are known."""
        self.keys[job.index] = job_key(job, self.digests)
        fresh = self.freshness.fresh(job, self.digests)
        if fresh is not None and fresh.digest is not None:
            self.digests[job.index] = fresh.digest
        return fresh

    def attempt(self, job: Job, number: int) -> Outcome:
        """Runs a job once and reads what it left; runs on a pool thread."""
        started, clock = now(), time.monotonic()
        key = self.keys[job.index]

        def failed(reason: str, log: str = "") -> Outcome:
            return Outcome(FAILED, time.monotonic() - clock, reason, key, started=started, attempt=number, log=log)

        try:
            folder = _store.prepare(self.out, job)
        except OSError as error:
            return failed(exception_text(error))
        except _store.Unsafe as error:
            return failed(str(error))
        inputs, upstream = _store.inputs(job)
        task = Task(
            job.asset.module, job.asset.function, folder, inputs, self.options.limits_of(job)[1], upstream,
            self.out.absolute(),
        )
        assert self.executor is not None
        ok, detail, traced = _store.read_record(folder, job, self.executor.run(task))
        if not ok:
            return failed(detail, str(self.out / job.folder / "worker.log") if traced else "")
        digest = _store.value_digest(folder, job)
        if digest is None:
            return failed("value.json cannot be read after the job succeeded")
        try:
            _store.write_ended(folder, key, digest)
        except OSError as error:
            return failed(f"{_store.ENDED} cannot be written: {exception_text(error)}")
        return Outcome(DONE, time.monotonic() - clock, detail, key, digest, started, number)

    def _start_executor(self) -> None:
        try:
            self.executor = self.start()
        except ExecutorError:
            # The run ends here, with the fresh jobs it found recorded.
            self.history.end_run("failed")
            raise
        # The run was recorded under the executor asked for; it may have fallen back to another.
        self.history.set_executor(self.run_id, self.executor.name)

    def record(self, event: Event) -> None:
        """Adds a row for each job that ends (and each failed attempt); `run` commits them as they come."""
        if event.outcome is None or not (event.state in ENDED or event.retrying):
            return
        outcome, job = event.outcome, event.job
        self.history.record_job(
            JobRecord(
                run_id=self.run_id,
                asset=job.asset.ref,
                label=job.asset.label,
                partition=job.partition_json,
                key=outcome.key,
                outcome=RECORDED[FAILED if event.retrying else event.state],
                started=outcome.started,
                seconds=None if event.state in (SKIPPED, FRESH) else round(outcome.seconds, 6),
                error=outcome.detail if event.state in (FAILED, SKIPPED, INTERRUPTED) or event.retrying else None,
                digest=outcome.digest,
                folder=job.folder.as_posix(),
                attempt=outcome.attempt,
                recipe=job_recipe(job),
            ),
            final=not event.retrying,
        )

    def run(self, listeners: Sequence[Callable[[Event], None]], stopper: Stopper, tick: Callable[[], None]) -> Scheduler:
        """Runs the plan to its end, or until a stop; returns the scheduler with every job's state.

        `tick` is called at least every TICK seconds while jobs run.
        """
        scheduler = Scheduler(
            self.plan.jobs, [self.record, *listeners], self.check_fresh, self.options.pools, self.options.pool_of
        )

        def stop() -> None:
            scheduler.stop()
            if self.executor is not None:
                self.executor.interrupt()

        stopper.on_stop(stop)
        running: dict[Future[Outcome], Job] = {}
        with ThreadPoolExecutor(max_workers=self.options.parallel) as pool:
            while True:
                while len(running) < self.options.parallel:
                    if self.executor is None and scheduler.can_take:
                        # In the main thread, which alone may set signal handlers while it starts;
                        # a stop during the start leaves the scheduler stopped, so nothing is taken.
                        self._start_executor()
                    job = scheduler.take()
                    if job is None:
                        break
                    running[pool.submit(self.attempt, job, 1)] = job
                # The rows of the jobs that ended are saved in batches, while the jobs just started run.
                self.history.commit_due()
                if not running:
                    break
                # A timeout, so that a stop is seen even while every job runs on, and a batch is saved when due.
                tick()
                due = self.history.due_in()
                done, _ = wait(running, timeout=TICK if due is None else min(due, TICK), return_when=FIRST_COMPLETED)
                for future in sorted(done, key=lambda f: running[f].index):
                    job = running.pop(future)
                    outcome = future.result()
                    if stopper.signum is not None and outcome.state == FAILED:
                        # A job cut short by the stop did not fail on its own.
                        outcome = replace(outcome, state=INTERRUPTED, detail=f"stopped by {stopper.name}", log="")
                    if outcome.state == FAILED and outcome.attempt <= self.options.limits_of(job)[0]:
                        scheduler.retry(job, outcome)
                        running[pool.submit(self.attempt, job, outcome.attempt + 1)] = job
                        continue
                    if outcome.digest is not None:
                        self.digests[job.index] = outcome.digest
                    scheduler.finish(job, outcome)
        return scheduler
