"""Which jobs are fresh: a job whose key and value are those of its last success needs no run."""

from __future__ import annotations

from collections.abc import Mapping
from pathlib import Path

from sorva import serializers
from sorva._history import History, now
from sorva._jobfiles import folder as job_folder
from sorva._outcomes import State
from sorva._runner.plan import Job, Plan, job_key, job_recipe
from sorva._runner.schedule import Outcome


class Freshness:
    """Tells, from the history of an output folder, whether a job is fresh and, if not, why it must run."""

    def __init__(self, out: Path, history: History | None, force: bool) -> None:
        self.out = out
        self.force = force
        self.successes = history.last_successes() if history else {}
        self.latest = history.latest() if history else {}

    def judge(self, job: Job, digests: Mapping[int, str]) -> tuple[str, Outcome | None]:
        """("", the fresh outcome) or (why the job must run, None); `digests` holds every upstream's.

        Fresh: the key equals the key of the job's last success and its
        value.json is still what that success left.
        """
        if self.force:
            return "--force", None
        key = job_key(job, digests)
        where = (job.asset.ref, job.partition_json)
        last, latest = self.successes.get(where), self.latest.get(where)
        folder = self.out / job.folder
        serializer = job.asset.serializer
        if (
            last is not None
            and last.key == key
            and last.digest is not None
            and job_folder.value_digest(folder, serializer) == last.digest
        ):
            preview = job_folder.preview(folder, serializer)
            return "", Outcome(State.FRESH, detail=preview, key=key, digest=last.digest, started=now())
        if latest is not None and latest.outcome in (State.FAILED.word, State.INTERRUPTED.word):
            return f"{latest.outcome} last time", None
        if last is None:
            return "never run", None
        if last.key != key:
            return ("changed source" if last.recipe != job_recipe(job) else "changed input"), None
        stored = serializers.find(serializer)
        return f"value{stored.suffix if stored is not None else '.json'} changed or missing", None


def dry_run(plan: Plan, freshness: Freshness) -> list[tuple[Job, str]]:
    """Each job of the plan with why it would run, or "" when it is fresh; runs and writes nothing.

    A job downstream of one that would run would run too as far as anyone
    can tell before the run ("upstream runs"): its upstream's value may change.
    """
    digests: dict[int, str] = {}
    running: set[int] = set()
    verdicts = []
    for job in plan.jobs:
        if any(upstream.index in running for upstream in job.upstream):
            reason = "--force" if freshness.force else "upstream runs"
        else:
            reason, fresh = freshness.judge(job, digests)
            if fresh is not None and fresh.digest is not None:
                digests[job.index] = fresh.digest
        if reason:
            running.add(job.index)
        verdicts.append((job, reason))
    return verdicts
