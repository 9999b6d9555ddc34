"""The run history of a run as it goes: a listener on the scheduler's events that writes the rows."""

from __future__ import annotations

from sorva._history import History, JobRecord
from sorva._outcomes import ENDED, State
from sorva._runner.plan import Job, job_recipe
from sorva._runner.schedule import Event


class Recorder:
    """Records a run in the history: its row, a row per job that ends and per failed attempt, and its end.

    Rows are added as the scheduler's events come and saved in batches by
    `tick`, which the run calls while its jobs run, so that jobs found fresh
    at once are one commit and the disk's wait delays no job.
    """

    def __init__(self, history: History, command: str, executor: str, jobs: int) -> None:
        self.history = history
        self.run_id = history.start_run(command, executor, jobs)
        self._recipes: dict[str, str] = {}  # by asset ref: every job of an asset has its recipe

    def event(self, event: Event) -> None:
        if event.outcome is None or not (event.state in ENDED or event.retrying):
            return
        outcome, job = event.outcome, event.job
        state = State.FAILED if event.retrying else event.state
        self.history.record_job(
            JobRecord(
                run_id=self.run_id,
                asset=job.asset.ref,
                label=job.asset.label,
                partition=job.partition_json,
                key=outcome.key,
                outcome=state.word,
                started=outcome.started,
                seconds=None if state in (State.SKIPPED, State.FRESH) else round(outcome.seconds, 6),
                error=outcome.detail if state in (State.FAILED, State.SKIPPED, State.INTERRUPTED) else None,
                digest=outcome.digest,
                folder=job.folder.as_posix(),
                attempt=outcome.attempt,
                recipe=self._recipe(job),
            ),
            final=not event.retrying,
        )

    def _recipe(self, job: Job) -> str:
        recipe = self._recipes.get(job.asset.ref)
        if recipe is None:
            recipe = self._recipes[job.asset.ref] = job_recipe(job)
        return recipe

    def tick(self) -> float | None:
        """Saves the rows added since the last commit if their batch is due; seconds until the next batch is."""
        self.history.commit_due()
        return self.history.due_in()

    def executor_started(self, name: str) -> None:
        """The run was recorded under the executor asked for; it may have fallen back to another."""
        self.history.set_executor(self.run_id, name)

    def no_executor(self) -> None:
        """Ends the run whose executor could not start, with the fresh jobs it found recorded."""
        self.history.end_run("failed")

    def end(self, outcome: str) -> None:
        """Saves the rows not saved yet and the run's end; the history counts the jobs by their rows."""
        self.history.end_run(outcome)
