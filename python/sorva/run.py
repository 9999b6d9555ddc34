"""`python -m sorva.run MODULE [MODULE ...]`: runs the assets of the modules, only what changed since the last run.

The runner drives sorva exactly as an outside orchestrator would. It runs
`python -m sorva.inspect` once (`_discover`), plans the jobs (`_plan`), lets
the scheduler (`_schedule`) decide what runs when and what is fresh, has an
executor (`_executor`) run each job (`_execute`), keeps the job folders and
the run history (`_store`, `_history`) and shows progress (`_progress`). This
module only wires them together.
"""

from __future__ import annotations

import argparse
import os
import shlex
import sqlite3
import sys
import time
from collections import Counter
from collections.abc import Sequence
from dataclasses import replace
from pathlib import Path

from sorva._cli import FAILED, USAGE, drop_stdout, exception_text, fail
from sorva._discover import DiscoveryError, discover
from sorva._execute import Execution, Freshness, Options, dry_run
from sorva._executor import EXECUTORS, Executor, ExecutorError, UseInstead, executor_class
from sorva._history import History, HistoryError, exclusive, open_history
from sorva._parser import ArgumentParser, whole_number
from sorva._plan import Job, Plan, PlanError, matching_partitions, named, plan, restrict, select
from sorva._progress import Summary, make_report, summary_lines
from sorva._runreport import write_report
from sorva._schedule import FAILED as JOB_FAILED
from sorva._schedule import Scheduler
from sorva._stop import Stopper

PROG = "python -m sorva.run"


def _seconds(text: str) -> float:
    try:
        number = float(text)
    except ValueError:
        number = 0.0
    if not 0 < number < float("inf"):
        raise argparse.ArgumentTypeError(f"expected a number of seconds above 0, got '{text}'")
    return number


def _partition(text: str) -> tuple[str, str]:
    name, equals, key = text.partition("=")
    if not equals or not name:
        raise argparse.ArgumentTypeError(f"expected DIM=KEY, got '{text}'")
    return name, key


def _parse(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = ArgumentParser(
        prog=PROG,
        description=(
            "Find the assets of the modules and materialise them, upstream first, one job per "
            "asset and partition; a job whose source, partition and inputs are those of its last "
            "success is fresh and not run again. Exit status 0 when every job succeeded or was "
            "fresh, 1 when a job failed or was skipped, 2 when nothing could run (a wrong "
            "invocation, or a pipeline that cannot be planned), 130 or 143 when stopped by SIGINT "
            "or SIGTERM."
        ),
    )
    parser.add_argument("modules", nargs="*", metavar="MODULE", help="dotted module name (at least one)")
    parser.add_argument(
        "--out", default="sorva-out", metavar="DIR", help="folder for the job folders and the run history "
        "(default: ./sorva-out)"
    )
    parser.add_argument(
        "--jobs",
        type=whole_number(1),
        default=os.cpu_count() or 1,
        metavar="N",
        help="jobs run at once (default: the number of processors)",
    )
    parser.add_argument(
        "--select",
        action="append",
        metavar="NAME",
        help="run only this asset and everything upstream of it (repeatable); NAME is a function name, "
        "an asset ref or a declared name",
    )
    parser.add_argument("--force", action="store_true", help="run every selected job, fresh or not")
    parser.add_argument(
        "--executor",
        choices=sorted(EXECUTORS),
        default="fork" if hasattr(os, "fork") else "process",
        help="how jobs run: 'fork' forks each job from a process that imported the modules once, "
        "'process' starts one worker process per job, 'dask' sends each job to a Dask cluster "
        "(default: fork where the system can fork, else process)",
    )
    parser.add_argument(
        "--scheduler",
        metavar="ADDRESS",
        help="with --executor dask: the cluster's scheduler, tcp://HOST:PORT (default: a cluster of local "
        "worker processes started for the run)",
    )
    parser.add_argument(
        "--verbose", action="store_true", help="on a terminal, print a line for every job, not only for failures"
    )
    parser.add_argument(
        "-n",
        "--dry-run",
        action="store_true",
        help="print, per asset, how many jobs would run, which are fresh and why the others would run; "
        "run nothing and write nothing",
    )
    parser.add_argument(
        "--partition",
        action="append",
        type=_partition,
        metavar="DIM=KEY",
        help="run only the partitions of the selected assets with this key (repeatable; keys of one "
        "dimension are alternatives), and what they need upstream; KEY is read as JSON where the "
        "dimension holds such a key (day=7 the integer 7, 'day=\"7\"' the text)",
    )
    parser.add_argument(
        "--failed",
        action="store_true",
        help="run only the jobs whose last run failed or was interrupted, and what they need that is not fresh",
    )
    parser.add_argument(
        "--retries", type=whole_number(0), default=0, metavar="N", help="run a job that fails up to N more times (default: 0)"
    )
    parser.add_argument(
        "--timeout",
        type=_seconds,
        metavar="SECONDS",
        help="stop a job, and all it started, that runs longer than this; it fails as timed out",
    )
    # Module names may come before, between and after options; after `--` all are module names.
    argv = list(sys.argv[1:] if argv is None else argv)
    names = argv[argv.index("--") + 1 :] if "--" in argv else []
    args = parser.parse_intermixed_args(argv[: len(argv) - len(names) - 1] if "--" in argv else argv)
    args.modules += names
    if not args.modules:
        parser.error("the following arguments are required: MODULE")
    if args.scheduler is not None and args.executor != "dask":
        parser.error("argument --scheduler: only with --executor dask")
    return args


def _plan(args: argparse.Namespace, stopper: Stopper) -> Plan:
    try:
        assets = discover(args.modules, stopper)
    except (DiscoveryError, PlanError) as error:
        fail(PROG, str(error), USAGE)
    if not assets:
        fail(PROG, f"no assets found in {', '.join(args.modules)}", USAGE)
    targets = {asset.ref for asset in assets}
    if args.select:
        try:
            targets = named(assets, args.select)
            assets = select(assets, args.select)
        except LookupError as error:
            fail(PROG, f"argument --select: no asset is named '{error.args[0]}'", USAGE)
    try:
        whole = plan(assets)
        wanted = list(whole.jobs)
        if args.partition:
            wanted = matching_partitions(wanted, targets, args.partition)
        if args.failed:
            wanted = _failed_last_time(wanted, Path(args.out))
        return restrict(whole, wanted) if args.partition or args.failed else whole
    except PlanError as error:
        for problem in error.problems[:-1]:
            print(f"{PROG}: error: {problem}", file=sys.stderr)
        fail(PROG, error.problems[-1], USAGE)


def _failed_last_time(jobs: list[Job], out: Path) -> list[Job]:
    try:
        history = open_history(out)
        latest = history.latest() if history else {}
    except (HistoryError, sqlite3.Error) as error:
        fail(PROG, str(error), USAGE)
    return [
        job
        for job in jobs
        if (record := latest.get((job.asset.ref, job.partition_json))) and record.outcome in ("failed", "interrupted")
    ]


def _dry_run(the_plan: Plan, out: Path, force: bool) -> None:
    """Prints what a run would do, per asset in plan order, then the totals; writes nothing."""
    try:
        history = open_history(out) if out.is_dir() else None
        verdicts = dry_run(the_plan, Freshness(out, history, force))
    except (HistoryError, sqlite3.Error) as error:
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


def _summary(scheduler: Scheduler, args: argparse.Namespace, run_id: int, seconds: float, stopper: Stopper) -> Summary:
    failures = tuple(
        (job, scheduler.outcomes[job.index].detail)
        for job in scheduler.jobs
        if scheduler.state[job.index] == JOB_FAILED
    )
    return Summary(
        Path(args.out), run_id, tuple(scheduler.jobs), scheduler.counts(), failures, seconds, stopper.signum
    )


def main(argv: Sequence[str] | None = None) -> None:
    args = _parse(argv)
    stopper = Stopper()
    stopper.install()
    # The workers and the inspection run in process groups of their own; a
    # stop reaches them through the runner, which reports what it stopped.
    the_plan = _plan(args, stopper)
    out = Path(args.out)
    if args.dry_run:
        try:
            _dry_run(the_plan, out, args.force)
            sys.stdout.flush()
        except BrokenPipeError:
            drop_stdout()
            raise SystemExit(FAILED) from None
        raise SystemExit(0)
    if args.failed and not the_plan.jobs:
        print(f"no job failed or was interrupted in its last run in {out}; nothing to run")
        raise SystemExit(0)
    _prepare_out(out)
    try:
        with exclusive(out):
            history = History.create(out)
            try:
                started = time.monotonic()
                command = shlex.join([*PROG.split(), *(sys.argv[1:] if argv is None else argv)])
                run_id = history.start_run(command, args.executor, len(the_plan.jobs))
                report = make_report(the_plan.jobs, args.verbose)
                execution = Execution(the_plan, out, lambda: _start_executor(args), history, run_id, _options(args))
                try:
                    try:
                        scheduler = execution.run([report.event], stopper)
                    finally:
                        report.close()
                    summary = _summary(scheduler, args, run_id, time.monotonic() - started, stopper)
                    history.end_run(run_id, summary.outcome, _run_counts(summary))
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
        fail(PROG, f"the run history {out / 'sorva.db'} cannot be written: {exception_text(error)}", FAILED)
    try:
        for line in summary_lines(summary):
            print(line)
        sys.stdout.flush()
    except BrokenPipeError:
        drop_stdout()  # the run is over and recorded; only its summary is lost
    if summary.signum is not None:
        raise SystemExit(stopper.exit_status)
    raise SystemExit(FAILED if summary.outcome == "failed" else 0)


def _write_report(out: Path, the_plan: Plan, history: History, run_id: int, modules: Sequence[str]) -> Path | None:
    """The run's report page; one that cannot be written costs a line on standard error, not the run."""
    try:
        return write_report(out, the_plan.assets, history, run_id, f"sorva: {' '.join(modules)}")
    except OSError as error:
        print(f"{PROG}: the report page was not written: {error.strerror}", file=sys.stderr)
    except sqlite3.Error as error:
        print(f"{PROG}: the report page was not written: {error}", file=sys.stderr)
    return None


def _options(args: argparse.Namespace) -> Options:
    return Options(args.jobs, args.force, args.retries, args.timeout)


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


def _run_counts(summary: Summary) -> dict[str, int]:
    counts = summary.counts
    return {
        "jobs": len(summary.jobs),
        "succeeded": counts["done"],
        "fresh": counts["fresh"],
        "failed": counts["failed"],
        "skipped": counts["skipped"],
        "interrupted": counts["interrupted"],
    }


if __name__ == "__main__":
    main()
