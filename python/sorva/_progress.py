"""What a run shows while it goes and when it ends, made from the scheduler's events only.

On a terminal a live display (done of total, running, failed, elapsed, time
left) with a line only for failures, or for every job with `--verbose`;
otherwise one line per job. Both end with the same summary.
"""

from __future__ import annotations

import signal
import sys
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import TextIO

from sorva._cli import drop_stdout
from sorva._plan import Job
from sorva._schedule import DONE, ENDED, FAILED, FRESH, INTERRUPTED, RUNNING, SKIPPED, Event

SHOWN = {DONE: "ok", FAILED: "failed", SKIPPED: "skipped", FRESH: "fresh", INTERRUPTED: "interrupted"}
# Seconds lines are held back at most: when thousands of jobs end each second, a write per line costs more than a job.
FLUSH_EVERY = 0.1


@dataclass(frozen=True)
class Summary:
    """A finished run, as the summary and the hooks after a run see it."""

    out: Path
    run_id: int | None
    jobs: tuple[Job, ...]
    counts: dict[str, int]  # by scheduler state
    failures: tuple[tuple[Job, str], ...]  # failed jobs and why, in plan order
    seconds: float
    signum: int | None  # the signal that stopped the run, if one did
    report: Path | None = None  # the run's report page, once written

    @property
    def outcome(self) -> str:
        if self.signum is not None:
            return "interrupted"
        return "failed" if self.counts[FAILED] or self.counts[SKIPPED] else "succeeded"


class Report:
    """Prints one line per job that ends, on any stream, written out at most every FLUSH_EVERY seconds (see `tick`)."""

    def __init__(self, jobs: Sequence[Job], stream: TextIO | None = None) -> None:
        self.total = len(jobs)
        self.width = max((len(job.describe()) for job in jobs), default=0)
        self.ended = 0
        self.stream = stream or sys.stdout
        self.held = False  # lines printed but not written out yet
        self.flushed = 0.0

    def event(self, event: Event) -> None:
        if event.state in ENDED or event.retrying:
            if not event.retrying:
                self.ended += 1
            self.show(self.line(event))

    def line(self, event: Event) -> str:
        outcome = event.outcome
        assert outcome is not None
        shown = "retry" if event.retrying else SHOWN[event.state]
        count = f"[{self.ended}/{self.total}]"
        seconds = f"{outcome.seconds:.2f}s" if event.state not in (SKIPPED, FRESH) else ""
        detail = outcome.detail
        if event.retrying:
            detail = f"attempt {outcome.attempt} failed: {detail}"
        line = f"{count} {shown:<7}  {event.job.describe():<{self.width}}  {seconds:>7}  {detail}"
        return line.rstrip()

    def show(self, line: str) -> None:
        self.held = True
        self._write(lambda: print(line, file=self.stream))
        self.tick()

    def tick(self) -> None:
        """Writes out the lines held back once they are due; the run calls it while it waits for jobs."""
        if self.held and time.monotonic() - self.flushed >= FLUSH_EVERY:
            self.held, self.flushed = False, time.monotonic()
            self._write(self.stream.flush)

    def _write(self, write: Callable[[], object]) -> None:
        try:
            write()
        except BrokenPipeError:
            # The reader left (`... | head`): the run goes on without its lines.
            if self.stream is sys.stdout:
                drop_stdout()

    def close(self) -> None:
        """Ends whatever the report keeps on screen or holds back, before the summary is printed."""
        self.flushed = 0.0
        self.tick()


class LiveReport(Report):
    """A live progress display on a terminal, with a line only for failures unless verbose."""

    def __init__(self, jobs: Sequence[Job], verbose: bool) -> None:
        super().__init__(jobs)
        from rich.console import Console
        from rich.progress import BarColumn, Progress, TextColumn, TimeElapsedColumn, TimeRemainingColumn

        self.verbose = verbose
        self.running = 0
        self.failed = 0
        self.progress = Progress(
            TextColumn("{task.completed}/{task.total} jobs"),
            BarColumn(),
            TextColumn("{task.fields[running]} running, {task.fields[failed]} failed,"),
            TimeElapsedColumn(),
            TextColumn("elapsed,"),
            TimeRemainingColumn(),
            TextColumn("left"),
            console=Console(file=sys.stdout, highlight=False),
            transient=True,
        )
        self.task = self.progress.add_task("run", total=self.total, running=0, failed=0)
        self.progress.start()

    def event(self, event: Event) -> None:
        if event.state == RUNNING and not event.retrying:
            self.running += 1
        elif event.state in ENDED:
            self.ended += 1
            if event.state in (DONE, FAILED, INTERRUPTED):
                self.running -= 1
            if event.state == FAILED:
                self.failed += 1
        if (event.state == FAILED or event.retrying or self.verbose) and (event.state in ENDED or event.retrying):
            self.show(self.line(event))
        self.progress.update(self.task, completed=self.ended, running=self.running, failed=self.failed)

    def show(self, line: str) -> None:
        self.progress.console.print(line, markup=False, highlight=False, soft_wrap=True)

    def close(self) -> None:
        self.progress.stop()


def make_report(jobs: Sequence[Job], verbose: bool) -> Report:
    """The live display on a terminal where rich is installed, lines otherwise."""
    if sys.stdout.isatty():
        try:
            return LiveReport(jobs, verbose)
        except ImportError:
            pass  # without rich, a terminal gets lines like any other stream
    return Report(jobs)


def summary_lines(summary: Summary) -> list[str]:
    counts = summary.counts
    line = (
        f"{len(summary.jobs)} jobs in {summary.seconds:.2f}s: {counts[DONE]} succeeded, {counts[FRESH]} fresh, "
        f"{counts[FAILED]} failed, {counts[SKIPPED]} skipped"
    )
    if summary.signum is not None:
        not_started = len(summary.jobs) - sum(counts[state] for state in ENDED)
        line += f", {counts[INTERRUPTED]} interrupted, {not_started} not started"
    line += f"; outputs in {summary.out}"
    if summary.report is not None:
        line += f"; report in {summary.report}"
    lines = [line]
    lines += [f"failed: {job.describe()}: {reason}" for job, reason in summary.failures]
    if summary.signum is not None:
        lines.append(f"stopped by {signal.Signals(summary.signum).name}")
    return lines
