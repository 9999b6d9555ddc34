"""A run of the runner, from the inspection's assets to its summary: `python -m sorva.run` once its options are read.

It runs `python -m sorva.inspect` once (`_discover`), plans the jobs
(`_plan`), lets the scheduler (`_schedule`) decide what runs when and what
is fresh, has an executor (`_executor`) run each job (`_execute`), keeps the
job folders and the run history (`_store`, `_history`) and shows progress
(`_progress`). This module only wires them together.
"""

from __future__ import annotations

import argparse
import shlex
import sqlite3
import sys
import time
from collections import Counter
from collections.abc import Sequence
from dataclasses import replace
from pathlib import Path

from sorva._cli import FAILED, USAGE, drop_stdout, exception_text, fail
from sorva._discover import DiscoveryError, Inspection
from sorva._execute import Execution, Freshness, Options, dry_run
from sorva._executor import Executor, ExecutorError, UseInstead, executor_class
from sorva._historydb import shown
from sorva._history import History, HistoryError, exclusive, open_history
from sorva._plan import RUNNER_FILES, Job, Plan, PlanError, matching_partitions, named, plan, restrict, select, selected
from sorva._progress import Summary, failure_text, make_report, summary_lines
from sorva._runargs import PROG
from sorva._runreport import write_report
from sorva._settings import SettingsError
from sorva._schedule import FAILED as JOB_FAILED
from sorva._schedule import Scheduler
from sorva._stop import Stopper

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import NoReturn


def run(args: argparse.Namespace, stopper: Stopper, inspection: Inspection, argv: Sequence[str] | None) -> NoReturn:
    """Runs what the command line asks, from the inspection's assets to the summary, and exits."""
    the_plan, targets = _plan(args, inspection)
    forced = frozenset(targets if args.force else ())
    out = Path(args.out)
    if args.dry_run:
        try:
            _dry_run(the_plan, out, args.history, forced)
            sys.stdout.flush()
        except BrokenPipeError:
            drop_stdout()
            raise SystemExit(FAILED) from None
        raise SystemExit(0)
    if args.failed and not the_plan.jobs:
        print(f"no job failed, was skipped or was interrupted in its last run in {out}; nothing to run")
        raise SystemExit(0)
    _prepare_out(out)
    try:
        with exclusive(out):
            history = History.create(
                out, lambda line: print(f"{PROG}: {line}", file=sys.stderr, flush=True), args.history
            )
            try:
                started = time.monotonic()
                # Kept in a history others read: a password in an argument (--history's URL) is left out.
                command = shlex.join([*PROG.split(), *map(shown, sys.argv[1:] if argv is None else argv)])
                execution = Execution(
                    the_plan, out, lambda: _start_executor(args), history, command, args.executor,
                    _options(args, forced),
                )
                run_id = execution.run_id
                report = make_report(the_plan.jobs, args.verbose)
                try:
                    try:
                        scheduler = execution.run([report.event], stopper, report.tick)
                    finally:
                        report.close()
                    summary = _summary(scheduler, args, run_id, time.monotonic() - started, stopper)
                    history.end_run(summary.outcome)
                    summary = replace(summary, report=_write_report(out, the_plan, history, run_id, args.modules))
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


def _plan(args: argparse.Namespace, inspection: Inspection) -> tuple[Plan, set[str]]:
    """The jobs to run, and the refs of the assets selected (every asset without --select)."""
    try:
        assets = inspection.assets()
    except (DiscoveryError, PlanError) as error:
        fail(PROG, str(error), USAGE)
    if not assets:
        fail(PROG, f"no assets found in {', '.join(args.modules)}", USAGE)
    try:
        args.per_asset = args.settings.for_assets(lambda name: named(assets, [name]))
    except SettingsError as error:
        fail(PROG, str(error), USAGE)
    targets = {asset.ref for asset in assets}
    if args.select:
        try:
            targets = selected(assets, args.select)
        except LookupError as error:
            fail(PROG, f"argument --select: no asset is named '{error.args[0]}'", USAGE)
        assets = select(assets, targets)
    try:
        whole = plan(assets)
        wanted = list(whole.jobs)
        if args.partition:
            wanted = matching_partitions(wanted, targets, args.partition)
        if args.failed:
            wanted = _failed_last_time(wanted, Path(args.out), args.history)
        return (restrict(whole, wanted) if args.partition or args.failed else whole), targets
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
    wanted: set[int] = set()
    for job in jobs:  # upstream jobs come first
        record = latest.get((job.asset.ref, job.partition_json))
        if (record and record.outcome in ("failed", "skipped", "interrupted")) or any(
            upstream.index in wanted for upstream in job.upstream
        ):
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


def _summary(scheduler: Scheduler, args: argparse.Namespace, run_id: int, seconds: float, stopper: Stopper) -> Summary:
    failures = tuple(
        (job, failure_text(scheduler.outcomes[job.index]))
        for job in scheduler.jobs
        if scheduler.state[job.index] == JOB_FAILED
    )
    return Summary(
        Path(args.out), run_id, tuple(scheduler.jobs), scheduler.counts(), failures, seconds, stopper.signum
    )


def _write_report(out: Path, the_plan: Plan, history: History, run_id: int, modules: Sequence[str]) -> Path | None:
    """The run's report page; one that cannot be written costs a line on standard error, not the run."""
    try:
        return write_report(out, the_plan.assets, history, run_id, f"sorva: {' '.join(modules)}")
    except OSError as error:
        print(f"{PROG}: the report page was not written: {error.strerror}", file=sys.stderr)
    except HistoryError as error:
        print(f"{PROG}: the report page was not written: {error}", file=sys.stderr)
    return None


def _options(args: argparse.Namespace, forced: frozenset[str]) -> Options:
    """The run's options: the command line's, over each asset's settings in pyproject.toml, over the file's run defaults."""
    settings = args.settings
    retries = args.retries if args.retries is not None else settings.run.get("retries", 0)
    timeout = args.timeout if args.timeout is not None else settings.run.get("timeout")
    limits = {
        ref: (
            retries if args.retries is not None or own.retries is None else own.retries,
            timeout if args.timeout is not None or own.timeout is None else own.timeout,
        )
        for ref, own in args.per_asset.items()
    }
    pool_of = {ref: own.pool for ref, own in args.per_asset.items() if own.pool is not None}
    return Options(args.jobs, forced, retries, timeout, limits, pool_of, settings.pools)


def _start_executor(args: argparse.Namespace) -> Executor:
    """The started executor of the run: the one asked for, or the one it says to use instead."""
    name = args.executor
    executor = executor_class(name).from_arguments(args)
    try:
        executor.start(args.modules, args.jobs)
    except UseInstead as instead:
        executor.close()
        print(f"{PROG}: {instead}", file=sys.stderr)
        name = instead.executor
        executor = executor_class(name).from_arguments(args)
        try:
            executor.start(args.modules, args.jobs)
        except ExecutorError:
            executor.close()
            raise
    except ExecutorError:
        executor.close()
        raise
    return executor
