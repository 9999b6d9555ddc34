"""A run of the runner, from the inspection's assets to its summary: `python -m sorva.run` once its options are read.

This is the composition root: it plans the jobs of the inspection's assets
(`plan`), judges what is fresh (`freshness`), builds the executor the options
name (`sorva._executors`), runs the jobs (`execution`, which feeds the
scheduler of `schedule`), and hangs the listeners on the scheduler: the run
history (`recorder`) and the progress display (`sorva._reporting`). It only
wires them together.
"""

from __future__ import annotations

import sqlite3
import sys
import time
from collections import Counter
from collections.abc import Sequence
from dataclasses import replace
from pathlib import Path

from sorva._cli import FAILED, USAGE, drop_stdout, exception_text, fail
from sorva._executors import Executor, ExecutorError, UseInstead, create
from sorva._history import History, HistoryError, exclusive, open_history
from sorva._outcomes import State
from sorva._reporting.progress import Summary, failure_text, make_report, summary_lines
from sorva._reporting.runpage import write_report
from sorva._runner.discover import DiscoveryError, Inspection
from sorva._runner.execution import Execution, Limits
from sorva._runner.freshness import Freshness, dry_run
from sorva._runner.options import PROG, RunOptions
from sorva._runner.plan import (
    RUNNER_FILES,
    Asset,
    Job,
    Plan,
    PlanError,
    matching_partitions,
    named,
    plan,
    restrict,
    select,
    selected,
)
from sorva._runner.pyproject import AssetSettings, SettingsError
from sorva._runner.recorder import Recorder
from sorva._runner.schedule import Scheduler
from sorva._runner.stop import Stopper

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import NoReturn


def run(options: RunOptions, stopper: Stopper, inspection: Inspection) -> NoReturn:
    """Runs what the options ask, from the inspection's assets to the summary, and exits."""
    the_plan, targets, per_asset, every_asset = _plan(options, inspection)
    forced = frozenset(targets if options.force else ())
    out = options.out
    if options.dry_run:
        try:
            _dry_run(the_plan, out, options.history, forced)
            sys.stdout.flush()
        except BrokenPipeError:
            drop_stdout()
            raise SystemExit(FAILED) from None
        raise SystemExit(0)
    if options.failed and not the_plan.jobs:
        print(f"no job failed, was skipped or was interrupted in its last run in {out}; nothing to run")
        raise SystemExit(0)
    _prepare_out(out)
    try:
        with exclusive(out):
            history = History.create(out, _say, options.history)
            try:
                started = time.monotonic()
                # Read first: a history that cannot be read refuses the run before it is recorded.
                freshness = Freshness(out, history, forced)
                recorder = Recorder(history, options.command, options.executor, len(the_plan.jobs))
                report = make_report(the_plan.jobs, options.verbose)

                def start() -> Executor:
                    executor = _start_executor(options)
                    recorder.executor_started(executor.name)
                    return executor

                execution = Execution(the_plan, out, start, freshness, _limits(options, per_asset))
                try:
                    try:
                        ticks = [recorder.tick, report.tick]
                        scheduler = execution.run([recorder.event, report.event], stopper, ticks)
                    except ExecutorError:
                        recorder.no_executor()
                        raise
                    finally:
                        report.close()
                    summary = _summary(scheduler, out, recorder.run_id, time.monotonic() - started, stopper)
                    recorder.end(summary.outcome)
                    title = f"sorva: {' '.join(options.modules)}"
                    summary = replace(summary, report=_write_report(out, every_asset, history, recorder.run_id, title))
                finally:
                    if execution.executor is not None:
                        execution.executor.close()
            finally:
                history.close()
    except (ExecutorError, HistoryError) as error:
        fail(PROG, str(error), USAGE)
    except sqlite3.Error as error:
        # Jobs may have run: their folders are as they left them, the history stops where it broke.
        fail(PROG, f"the run history {history.name} cannot be written: {exception_text(error)}", FAILED)
    try:
        for line in summary_lines(summary):
            print(line)
        sys.stdout.flush()
    except BrokenPipeError:
        drop_stdout()  # the run is over and recorded; only its summary is lost
    if summary.signum is not None:
        raise SystemExit(stopper.exit_status)
    raise SystemExit(FAILED if summary.outcome == "failed" else 0)


def _plan(
    options: RunOptions, inspection: Inspection
) -> tuple[Plan, set[str], dict[str, AssetSettings], list[Asset]]:
    """The jobs to run, the refs of the assets selected (every asset without --select), the
    settings pyproject.toml gives assets of their own, by asset ref, and every asset."""
    try:
        assets = inspection.assets()
    except (DiscoveryError, PlanError) as error:
        fail(PROG, str(error), USAGE)
    if not assets:
        fail(PROG, f"no assets found in {', '.join(options.modules)}", USAGE)
    try:
        per_asset = options.project.for_assets(lambda name: named(assets, [name]))
    except SettingsError as error:
        fail(PROG, str(error), USAGE)
    every_asset = assets
    targets = {asset.ref for asset in assets}
    if options.select:
        try:
            targets = selected(assets, options.select)
        except LookupError as error:
            fail(PROG, f"argument --select: no asset is named '{error.args[0]}'", USAGE)
        assets = select(assets, targets)
    try:
        whole = plan(assets)
        wanted = list(whole.jobs)
        if options.partitions:
            wanted = matching_partitions(wanted, targets, options.partitions)
        if options.failed:
            wanted = _failed_last_time(wanted, options.out, options.history)
        return (restrict(whole, wanted) if options.partitions or options.failed else whole), targets, per_asset, every_asset
    except PlanError as error:
        for problem in error.problems[:-1]:
            print(f"{PROG}: error: {problem}", file=sys.stderr)
        fail(PROG, error.problems[-1], USAGE)


def _failed_last_time(jobs: list[Job], out: Path, url: str | None) -> list[Job]:
    """The jobs whose last run failed, was skipped or was interrupted, and the jobs downstream of them.

    A run stopped early leaves the jobs after an interrupted one unstarted,
    with no row of that run: they are the downstream ones. Those whose
    inputs come out the same are found fresh and not run.
    """
    try:
        history = open_history(out, url)
        latest = history.latest() if history else {}
    except HistoryError as error:
        fail(PROG, str(error), USAGE)
    again = (State.FAILED.word, State.SKIPPED.word, State.INTERRUPTED.word)
    wanted: set[int] = set()
    for job in jobs:  # upstream jobs come first
        record = latest.get((job.asset.ref, job.partition_json))
        if (record and record.outcome in again) or any(upstream.index in wanted for upstream in job.upstream):
            wanted.add(job.index)
    return [job for job in jobs if job.index in wanted]


def _dry_run(the_plan: Plan, out: Path, url: str | None, forced: frozenset[str]) -> None:
    """Prints what a run would do, per asset in plan order, then the totals; writes nothing."""
    try:
        history = open_history(out, url) if out.is_dir() or url else None
        verdicts = dry_run(the_plan, Freshness(out, history, forced))
    except HistoryError as error:
        fail(PROG, str(error), USAGE)
    per_asset: dict[str, list[str]] = {}
    for job, reason in verdicts:
        per_asset.setdefault(job.asset.label, []).append(reason)
    for label, reasons in per_asset.items():
        why = Counter(reason for reason in reasons if reason)
        explained = ", ".join(f"{reason}: {count}" for reason, count in why.items())
        line = f"{label}: {sum(why.values())} to run, {len(reasons) - sum(why.values())} fresh"
        print(f"{line} ({explained})" if explained else line)
    to_run = sum(1 for _, reason in verdicts if reason)
    print(f"dry run: {len(verdicts)} jobs, {to_run} to run, {len(verdicts) - to_run} fresh; nothing was run or written")


def _prepare_out(out: Path) -> None:
    if out.exists() and not out.is_dir():
        fail(PROG, f"argument --out: '{out}' is not a folder", USAGE)
    try:
        out.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        fail(PROG, f"argument --out: cannot create '{out}': {error.strerror}", USAGE)
    for name in sorted(RUNNER_FILES):
        if (out / name).is_symlink():
            fail(PROG, f"argument --out: '{out / name}' is a link; the runner writes nothing through a link", USAGE)


def _summary(scheduler: Scheduler, out: Path, run_id: int, seconds: float, stopper: Stopper) -> Summary:
    failures = tuple(
        (job, failure_text(scheduler.outcomes[job.index]))
        for job in scheduler.jobs
        if scheduler.state[job.index] == State.FAILED
    )
    return Summary(out, run_id, tuple(scheduler.jobs), scheduler.counts(), failures, seconds, stopper.signum)


def _write_report(out: Path, assets: Sequence[Asset], history: History, run_id: int, title: str) -> Path | None:
    """The run's report page; one that cannot be written costs a line on standard error, not the run."""
    try:
        return write_report(out, assets, history, run_id, title)
    except OSError as error:
        print(f"{PROG}: the report page was not written: {error.strerror}", file=sys.stderr)
    except HistoryError as error:
        print(f"{PROG}: the report page was not written: {error}", file=sys.stderr)
    return None


def _limits(options: RunOptions, per_asset: dict[str, AssetSettings]) -> Limits:
    """The command line's retries and time limit, over each asset's settings in pyproject.toml, over the file's
    run defaults."""
    project = options.project
    retries = options.retries if options.retries is not None else project.run.get("retries", 0)
    timeout = options.timeout if options.timeout is not None else project.run.get("timeout")
    by_asset = {
        ref: (
            retries if options.retries is not None or own.retries is None else own.retries,
            timeout if options.timeout is not None or own.timeout is None else own.timeout,
        )
        for ref, own in per_asset.items()
    }
    pool_of = {ref: own.pool for ref, own in per_asset.items() if own.pool is not None}
    return Limits(options.jobs, retries, timeout, by_asset, pool_of, project.pools)


def _say(line: str) -> None:
    """Tells the user a line of the runner's own while the run goes on."""
    print(f"{PROG}: {line}", file=sys.stderr, flush=True)


def _start_executor(options: RunOptions) -> Executor:
    """The started executor of the run: the one asked for, or the one it says to use instead."""
    settings = replace(options.executor_settings, say=_say)
    executor = create(options.executor, settings)
    try:
        executor.start(options.modules, options.jobs)
    except UseInstead as instead:
        executor.close()
        _say(str(instead))
        executor = create(instead.executor, settings)
        try:
            executor.start(options.modules, options.jobs)
        except ExecutorError:
            executor.close()
            raise
    except ExecutorError:
        executor.close()
        raise
    return executor
