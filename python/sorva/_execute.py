"""Running a plan: which jobs are fresh, each attempt through the executor, and the loop that feeds the scheduler."""

from __future__ import annotations

import time
from collections.abc import Callable, Sequence
from concurrent.futures import FIRST_COMPLETED, Future, ThreadPoolExecutor, wait
from dataclasses import dataclass, replace
from pathlib import Path

from sorva import _store
from sorva._cli import exception_text
from sorva._executor import Executor, Task
from sorva._history import History, JobRecord, now
from sorva._plan import Job, Plan, job_key, job_recipe
from sorva._schedule import DONE, ENDED, FAILED, FRESH, INTERRUPTED, SKIPPED, Event, Outcome, Scheduler
from sorva._stop import Stopper

# How the history names the scheduler's end states.
RECORDED = {DONE: "ok", FAILED: "failed", SKIPPED: "skipped", FRESH: "fresh", INTERRUPTED: "interrupted"}


@dataclass(frozen=True)
class Options:
    parallel: int
    force: bool = False  # run every job, fresh or not


class Execution:
    """One run of a plan into an output folder."""

    def __init__(
        self, plan: Plan, out: Path, executor: Executor, history: History, run_id: int, options: Options
    ) -> None:
        self.plan = plan
        self.out = out
        self.executor = executor
        self.history = history
        self.run_id = run_id
        self.options = options
        self.successes = history.last_successes()
        self.digests: dict[int, str] = {}
        self.keys: dict[int, str] = {}

    def check_fresh(self, job: Job) -> Outcome | None:
        """Ends a job as fresh when its key and its value are those of its last success.

        Called when its upstream jobs are settled, so their digests are known.
        """
        key = job_key(job, self.digests)
        self.keys[job.index] = key
        if self.options.force:
            return None
        last = self.successes.get((job.asset.ref, job.partition_json))
        if last is None or last.key != key or last.digest is None:
            return None
        folder = self.out / job.folder
        if _store.value_digest(folder, job) != last.digest:
            return None
        self.digests[job.index] = last.digest
        return Outcome(FRESH, detail=_store.preview(folder, job), key=key, digest=last.digest, started=now())

    def attempt(self, job: Job) -> Outcome:
        """Runs a job once and reads what it left; runs on a pool thread."""
        started, clock = now(), time.monotonic()
        key = self.keys[job.index]
        try:
            folder = _store.prepare(self.out, job)
        except OSError as error:
            return Outcome(FAILED, time.monotonic() - clock, exception_text(error), key, started=started)
        inputs, upstream = _store.inputs(job)
        task = Task(job.asset.module, job.asset.function, folder, inputs, upstream=upstream, root=self.out.absolute())
        ended = self.executor.run(task)
        ok, detail = _store.read_record(folder, job, ended)
        seconds = time.monotonic() - clock
        digest = _store.value_digest(folder, job) if ok else None
        if ok and digest is None:
            return Outcome(FAILED, seconds, "value.json cannot be read after the job succeeded", key, started=started)
        return Outcome(DONE if ok else FAILED, seconds, detail, key, digest, started)

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
            )
        )

    def run(self, listeners: Sequence[Callable[[Event], None]], stopper: Stopper) -> Scheduler:
        """Runs the plan to its end, or until a stop; returns the scheduler with every job's state."""
        scheduler = Scheduler(self.plan.jobs, [self.record, *listeners], self.check_fresh)
        self.history.commit()

        def stop() -> None:
            scheduler.stop()
            self.executor.interrupt()

        stopper.on_stop(stop)
        running: dict[Future[Outcome], Job] = {}
        with ThreadPoolExecutor(max_workers=self.options.parallel) as pool:
            while True:
                while len(running) < self.options.parallel:
                    job = scheduler.take()
                    if job is None:
                        break
                    running[pool.submit(self.attempt, job)] = job
                if not running:
                    break
                # A timeout, so that a stop is seen even while every job runs on.
                done, _ = wait(running, timeout=0.5, return_when=FIRST_COMPLETED)
                for future in sorted(done, key=lambda f: running[f].index):
                    job = running.pop(future)
                    outcome = future.result()
                    if stopper.signum is not None and outcome.state == FAILED:
                        # A job cut short by the stop did not fail on its own.
                        outcome = replace(outcome, state=INTERRUPTED, detail=f"stopped by {stopper.name}")
                    if outcome.digest is not None:
                        self.digests[job.index] = outcome.digest
                    scheduler.finish(job, outcome)
                self.history.commit()
        return scheduler
