"""What a run shows while it goes and when it ends, made from the scheduler's events only.

On a terminal a live display (done of total, running, failed, elapsed, time
left, the jobs running) with a line only for failures, or for every job with
`--verbose`; otherwise one line per job that ran and one for all the fresh
ones, or a line for every job with `--verbose`. Both end with the same summary.
"""

from __future__ import annotations

import signal
import sys
import time
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import TextIO

from sorva._cli import drop_stdout
from sorva._outcomes import ENDED, State

TYPE_CHECKING = False
if TYPE_CHECKING:
    from sorva._runner.plan import Job
    from sorva._runner.schedule import Event, Outcome

# Seconds lines are held back at most: when thousands of jobs end each second, a write per line costs more than a job.
FLUSH_EVERY = 0.1


@dataclass(frozen=True)
class Summary:
    """A finished run, as the summary and the hooks after a run see it."""

    out: Path
    run_id: int | None
    jobs: tuple[Job, ...]
    counts: dict[State, int]
    failures: tuple[tuple[Job, str], ...]  # failed jobs and why, in plan order
    seconds: float
    signum: int | None  # the signal that stopped the run, if one did
    report: Path | None = None  # the run's report page, once written

    @property
    def outcome(self) -> str:
        if self.signum is not None:
            return "interrupted"
        return "failed" if self.counts[State.FAILED] or self.counts[State.SKIPPED] else "succeeded"


def failure_text(outcome: Outcome) -> str:
    """Why a job failed, and where its traceback is when it has one."""
    return f"{outcome.detail} (traceback in {outcome.log})" if outcome.log else outcome.detail


class Report:
    """Prints a line per job that ends, on any stream, written out at most every FLUSH_EVERY
    seconds (see `tick`); the fresh ones, which are many in a run that has little to do, in
    one line at the end unless verbose."""

    def __init__(self, jobs: Sequence[Job], verbose: bool = False, stream: TextIO | None = None) -> None:
        self.total = len(jobs)
        self.width = max((len(job.describe()) for job in jobs), default=0)
        self.verbose = verbose
        self.ended = 0
        self.fresh = 0
        self.stream = stream or sys.stdout
        self.held = False  # lines printed but not written out yet
        self.flushed = 0.0

    def event(self, event: Event) -> None:
        if event.state in ENDED or event.retrying:
            if not event.retrying:
                self.ended += 1
            if event.state == State.FRESH and not self.verbose:
                self.fresh += 1
            else:
                self.show(self.line(event))

    def line(self, event: Event) -> str:
        outcome = event.outcome
        assert outcome is not None
        shown = "retry" if event.retrying else event.state.word
        count = f"[{self.ended}/{self.total}]"
        seconds = f"{outcome.seconds:.2f}s" if event.state not in (State.SKIPPED, State.FRESH) else ""
        detail = outcome.detail
        if event.retrying:
            detail = f"attempt {outcome.attempt} failed: {detail}"
        elif event.state == State.FAILED:
            detail = failure_text(outcome)
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
        if self.fresh:
            self.show(f"{self.fresh} fresh (--verbose shows each)")
        self.flushed = 0.0
        self.tick()


class LiveReport(Report):
    """A live progress display on a terminal, with a line only for failures unless verbose.

    Its counts take the width of the total from the start, so that no column moves as they grow.
    """

    def __init__(self, jobs: Sequence[Job], verbose: bool) -> None:
        super().__init__(jobs, verbose)
        from rich.console import Console, RenderableType
        from rich.progress import BarColumn, Progress, TextColumn, TimeElapsedColumn, TimeRemainingColumn
        from rich.text import Text

        self.running: dict[int, str] = {}  # the jobs running now, by index, as the display names them
        self.failed = 0
        running = self.running

        class Display(Progress):
            """The counts on a line, and below them the jobs running, cut to the terminal's width."""

            def get_renderables(self) -> Iterable[RenderableType]:
                yield from super().get_renderables()
                if running:
                    yield Text(f"running: {', '.join(running.values())}", no_wrap=True, overflow="ellipsis")

        digits = len(str(self.total))
        self.progress = Display(
            TextColumn(f"{{task.completed:>{digits}}}/{{task.total}} jobs"),
            BarColumn(),
            TextColumn(f"{{task.fields[running]:>{digits}}} running, {{task.fields[failed]:>{digits}}} failed,"),
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
        if event.state == State.RUNNING:
            self.running[event.job.index] = event.job.describe()
        elif event.state in ENDED:
            self.ended += 1
            self.running.pop(event.job.index, None)
            if event.state == State.FAILED:
                self.failed += 1
        if (event.state == State.FAILED or event.retrying or self.verbose) and (event.state in ENDED or event.retrying):
            self.show(self.line(event))
        self.progress.update(self.task, completed=self.ended, running=len(self.running), failed=self.failed)

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
    return Report(jobs, verbose)


def summary_lines(summary: Summary) -> list[str]:
    counts = summary.counts
    line = (
        f"{len(summary.jobs)} jobs in {summary.seconds:.2f}s: {counts[State.DONE]} succeeded, "
        f"{counts[State.FRESH]} fresh, {counts[State.FAILED]} failed, {counts[State.SKIPPED]} skipped"
    )
    if summary.signum is not None:
        not_started = len(summary.jobs) - sum(counts[state] for state in ENDED)
        line += f", {counts[State.INTERRUPTED]} interrupted, {not_started} not started"
    line += f"; outputs in {summary.out}"
    if summary.report is not None:
        line += f"; report in {summary.report}"
    lines = [line]
    lines += [f"failed: {job.describe()}: {reason}" for job, reason in summary.failures]
    if summary.signum is not None:
        lines.append(f"stopped by {signal.Signals(summary.signum).name}")
    return lines
