"""The scheduler: a plain state machine over the jobs of a plan, emitting an event at each change.

It never runs anything: the runner takes ready jobs from it, runs them, and
reports how each ended; the scheduler works out what becomes ready, what is
skipped, and what needs no run at all (fresh, decided by a callback as soon
as a job's upstreams are settled).
"""

from __future__ import annotations

import heapq
from collections import deque
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass

from sorva._outcomes import State
from sorva._runner.plan import Job

@dataclass(frozen=True)
class Outcome:
    """How a job ended.

    `detail` is the start of the value for done and fresh jobs and the reason
    otherwise; `key` and `digest` are the job's key and its value's digest
    where known; `attempt` counts from 1. `log` is the job's worker.log when
    it holds the traceback of a failure.
    """

    state: State
    seconds: float = 0.0
    detail: str = ""
    key: str | None = None
    digest: str | None = None
    started: str | None = None
    attempt: int = 1
    log: str = ""


@dataclass(frozen=True)
class Event:
    """A job entered `state`; `outcome` is set for the ended states and for a failed attempt to be retried."""

    job: Job
    state: State
    outcome: Outcome | None = None
    retrying: bool = False


class Scheduler:
    """Jobs move waiting → ready → running → done/failed/interrupted, or ready → fresh, or waiting → skipped.

    A job becomes ready when all its upstream jobs are done or fresh; at that
    moment `check_fresh(job)` may end it as fresh without a run. A failed job
    skips everything downstream of it. `stop()` lets no more jobs start; the
    jobs running then end as they end, and the rest stay waiting or ready.
    The jobs of an asset in a pool (`pool_of`, by asset ref) start only while
    fewer than the pool's size (`pools`) of its jobs run.
    """

    def __init__(
        self,
        jobs: Sequence[Job],
        listeners: Sequence[Callable[[Event], None]] = (),
        check_fresh: Callable[[Job], Outcome | None] = lambda job: None,
        pools: Mapping[str, int] | None = None,
        pool_of: Mapping[str, str] | None = None,
    ) -> None:
        self.jobs = list(jobs)
        self.listeners = list(listeners)
        self.check_fresh = check_fresh
        self.state = {job.index: State.WAITING for job in self.jobs}
        self.outcomes: dict[int, Outcome] = {}
        self.stopped = False
        self._missing = {job.index: len(job.upstream) for job in self.jobs}
        self._downstream: dict[int, list[Job]] = {job.index: [] for job in self.jobs}
        for job in self.jobs:
            for upstream in job.upstream:
                self._downstream[upstream.index].append(job)
        self._pools = dict(pools or {})
        self._pool_of = dict(pool_of or {})
        # The ready jobs in plan order, per pool ("" for none), and the jobs of each pool running.
        self._ready: dict[str, list[tuple[int, Job]]] = {"": [], **{pool: [] for pool in self._pools}}
        self._in_pool = dict.fromkeys(self._pools, 0)
        self._running = 0
        self._settle([job for job in self.jobs if self._missing[job.index] == 0])

    def take(self) -> Job | None:
        """The ready job that comes first in the plan, now running; None when none may start."""
        pool = self._next_pool()
        if pool is None:
            return None
        _, job = heapq.heappop(self._ready[pool])
        self._enter(job, State.RUNNING)
        self._running += 1
        if pool:
            self._in_pool[pool] += 1
        return job

    @property
    def can_take(self) -> bool:
        """`take` would return a job."""
        return self._next_pool() is not None

    def _next_pool(self) -> str | None:
        """The pool ("" for none) whose first ready job comes first in the plan, among the pools with room."""
        if self.stopped:
            return None
        heads = [
            (ready[0][0], pool)
            for pool, ready in self._ready.items()
            if ready and (not pool or self._in_pool[pool] < self._pools[pool])
        ]
        return min(heads)[1] if heads else None

    def retry(self, job: Job, outcome: Outcome) -> None:
        """Records a failed attempt of a running job that is run again."""
        self._expect(job, State.RUNNING)
        self._emit(Event(job, State.RUNNING, outcome, retrying=True))

    def finish(self, job: Job, outcome: Outcome) -> None:
        """Ends a running job as done, failed or interrupted."""
        self._expect(job, State.RUNNING)
        if outcome.state not in (State.DONE, State.FAILED, State.INTERRUPTED):
            raise ValueError(f"a running job cannot end as {outcome.state}")
        self._running -= 1
        pool = self._pool_of.get(job.asset.ref)
        if pool:
            self._in_pool[pool] -= 1
        self._end(job, outcome)
        if outcome.state == State.DONE:
            self._release(job)
        elif outcome.state == State.FAILED:
            self._skip_downstream(job)

    def stop(self) -> None:
        self.stopped = True

    @property
    def running(self) -> int:
        return self._running

    @property
    def finished(self) -> bool:
        """Nothing runs and nothing more will start."""
        return self._running == 0 and (self.stopped or not any(self._ready.values()))

    def counts(self) -> dict[State, int]:
        counts = {state: 0 for state in State}
        for state in self.state.values():
            counts[state] += 1
        return counts

    def _settle(self, jobs: list[Job]) -> None:
        """Makes these jobs ready, ending those found fresh and releasing what they feed, without recursion."""
        todo = deque(jobs)
        while todo:
            job = todo.popleft()
            self._enter(job, State.READY)
            fresh = self.check_fresh(job)
            if fresh is None:
                heapq.heappush(self._ready[self._pool_of.get(job.asset.ref, "")], (job.index, job))
                continue
            self._end(job, fresh)
            todo.extend(self._released(job))

    def _release(self, job: Job) -> None:
        self._settle(self._released(job))

    def _released(self, job: Job) -> list[Job]:
        released = []
        for later in self._downstream[job.index]:
            self._missing[later.index] -= 1
            if self._missing[later.index] == 0 and self.state[later.index] == State.WAITING:
                released.append(later)
        return released

    def _skip_downstream(self, failed: Job) -> None:
        todo = deque(self._downstream[failed.index])
        while todo:
            job = todo.popleft()
            if self.state[job.index] == State.WAITING:
                self._end(job, Outcome(State.SKIPPED, detail=f"upstream {failed.describe()} did not succeed"))
                todo.extend(self._downstream[job.index])

    def _end(self, job: Job, outcome: Outcome) -> None:
        self.outcomes[job.index] = outcome
        self.state[job.index] = outcome.state
        self._emit(Event(job, outcome.state, outcome))

    def _enter(self, job: Job, state: State) -> None:
        self.state[job.index] = state
        self._emit(Event(job, state))

    def _expect(self, job: Job, state: State) -> None:
        if self.state[job.index] != state:
            raise ValueError(f"job {job.describe()} is {self.state[job.index]}, not {state}")

    def _emit(self, event: Event) -> None:
        for listener in self.listeners:
            listener(event)
