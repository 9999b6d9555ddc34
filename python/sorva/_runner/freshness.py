"""Which jobs are fresh: a job whose key and value are those of its last success needs no run."""

from __future__ import annotations

from collections.abc import Mapping
from pathlib import Path

from sorva._history import History, now
from sorva._jobfiles import folder as job_folder
from sorva._jobfiles import inputfiles
from sorva._outcomes import State
from sorva._runner.plan import Job, Plan, code_change, job_key
from sorva._runner.schedule import Outcome


class Freshness:
    """Tells, from the history of an output folder, whether a job is fresh and, if not, why it must run."""

    def __init__(self, out: Path, history: History | None, forced: frozenset[str]) -> None:
        self.out = out
        self.forced = forced  # refs of the assets whose jobs run, fresh or not
        self.input_files = inputfiles.Check(out)
        self.successes = history.last_successes() if history else {}
        self.latest = history.latest() if history else {}

    def fresh(self, job: Job, digests: Mapping[int, str], key: str | None = None) -> Outcome | None:
        """The fresh outcome of a job, or None when it must run; `digests` holds every upstream's, `key`
        is the job's key where the caller has it.

        Fresh: the key equals the key of the job's last success (or, where the
        history lacks that success because its runner was killed before saving
        it, the key the job folder's ended.json notes), its value is still what
        that success left, and the files it read then are unchanged.
        """
        if job.asset.ref in self.forced:
            return None
        if key is None:
            key = job_key(job, digests)
        folder = self.out / job.folder
        digest, preview = job_folder.read_value(folder, job.asset.serializer)
        if digest is None:
            return None
        last = self.successes.get((job.asset.ref, job.partition_json))
        if last is None or last.key != key or last.digest != digest:
            digest = job_folder.ended_digest(folder, key, digest)
        if digest is None or self.input_files(folder) is not None:
            return None
        return Outcome(State.FRESH, detail=preview, key=key, digest=digest, started=now())

    def reason(self, job: Job, digests: Mapping[int, str]) -> str:
        """Why a job that is not fresh must run: the first that applies of its own record, its
        source, its value's files, the files it read, its upstream. `digests` holds those of the
        upstream values known to stay as they are: one missing means that upstream runs."""
        if job.asset.ref in self.forced:
            return "forced"
        where = (job.asset.ref, job.partition_json)
        last, latest = self.successes.get(where), self.latest.get(where)
        if latest is not None and latest.outcome in (State.FAILED.word, State.INTERRUPTED.word):
            return f"{latest.outcome} last time"
        if last is None:
            return "never run"
        change = code_change(job, last.recipe)
        if change:
            return change
        folder, serializer = self.out / job.folder, job.asset.serializer
        if job_folder.value_digest(folder, serializer) != last.digest:
            return f"{job_folder.changed_file(folder, serializer, last.digest)} changed or missing"
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
