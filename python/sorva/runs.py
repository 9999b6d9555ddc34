"""`python -m sorva.runs [RUN_ID]`: the run history of an output folder, as lines or as JSON."""

from __future__ import annotations

import dataclasses
import json
import sys
from collections.abc import Sequence

from sorva._cli import FAILED, USAGE, argument_parser, drop_stdout, fail, whole_number
from sorva._history import History, HistoryError, JobRecord, Run, open_history
from sorva._historydb import shown
from sorva._runner.pyproject import default_history, default_out

PROG = "python -m sorva.runs"


def _run_line(run: Run, where: bool = False) -> str:
    seconds = _seconds(run.started, run.ended)
    counts = (
        f"{run.jobs} jobs: {run.succeeded} succeeded, {run.fresh} fresh, {run.failed} failed, "
        f"{run.skipped} skipped, {run.interrupted} interrupted"
    )
    when = run.started[:19].replace("T", " ")
    folder = f"{run.host or '?'}:{run.out or '?'}  " if where else ""
    return f"{run.id:>4}  {when}  {seconds:>9}  {run.outcome:<11}  {counts}  {folder}{run.command}"


def _seconds(started: str, ended: str | None) -> str:
    import datetime

    if ended is None:
        return "-"
    delta = datetime.datetime.fromisoformat(ended) - datetime.datetime.fromisoformat(started)
    return f"{delta.total_seconds():.2f}s"


def _job_name(job: JobRecord) -> str:
    partition = job.partition_text
    return f"{job.label} {partition}" if partition else job.label


def _job_line(job: JobRecord, width: int) -> str:
    name = _job_name(job)
    seconds = f"{job.seconds:.2f}s" if job.seconds is not None else ""
    attempt = f" (attempt {job.attempt})" if job.attempt > 1 else ""
    line = f"{job.outcome:<11}  {name:<{width}}  {seconds:>8}  {job.error or ''}{attempt}"
    return line.rstrip()


def _show_runs(history: History, as_json: bool, limit: int) -> None:
    runs = history.runs(limit)
    if as_json:
        print(json.dumps([dataclasses.asdict(run) for run in runs], indent=1))
        return
    for run in runs:
        print(_run_line(run, history.db.shared or history.folder is None))


def _show_jobs(history: History, run_id: int, as_json: bool) -> None:
    run = history.run(run_id)
    if run is None:
        where = f"the history of '{history.folder}'" if history.folder is not None else f"the run history {history.name}"
        fail(PROG, f"no run {run_id} in {where}", USAGE)
    jobs = history.jobs(run_id)
    if as_json:
        print(json.dumps({"run": dataclasses.asdict(run), "jobs": [dataclasses.asdict(job) for job in jobs]}, indent=1))
        return
    print(_run_line(run, history.db.shared or history.folder is None))
    width = max((len(_job_name(job)) for job in jobs), default=0)
    for job in jobs:
        print(_job_line(job, width))


def _run_id(text: str) -> int:
    try:
        return int(text)
    except ValueError:
        fail(PROG, f"argument RUN_ID: expected a run number, got '{text}'", USAGE)


def main(argv: Sequence[str] | None = None) -> None:
    parser = argument_parser(
        PROG,
        (
            "List the recent runs of an output folder, newest first, one line each; with RUN_ID, "
            "the jobs of that run with their outcome, seconds and error. With --history and no --out, "
            "the runs of every folder in that history, each with its host and folder. Exit status 0, "
            "or 2 when there is no run history or no such run."
        ),
    )
    parser.add_argument("run_id", nargs="?", metavar="RUN_ID", help="a run's number, from the list of runs")
    parser.add_argument(
        "--out", metavar="DIR", help="the runner's output folder (default: out in pyproject.toml, or ./sorva-out)"
    )
    parser.add_argument(
        "--history",
        metavar="URL",
        help="the run history: sqlite:///PATH or postgresql://... (default: SORVA_HISTORY, else history in "
        "pyproject.toml, else the output folder's sorva.db)",
    )
    parser.add_argument("--json", action="store_true", help="print JSON for scripts instead of lines")
    parser.add_argument("--last", type=whole_number(1), default=20, metavar="N", help="how many runs to list (default: 20)")
    args = parser.parse_args(argv)
    args.history = default_history(PROG, args.history)
    if args.history is None:
        args.out = args.out or default_out(PROG)
    try:
        history = open_history(args.out, args.history)
    except HistoryError as error:
        fail(PROG, str(error), USAGE)
    if history is None and args.history is not None:
        fail(PROG, f"no run history in {shown(args.history)} (it is made by python -m sorva.run --history URL)", USAGE)
    if history is None:
        fail(PROG, f"no run history in '{args.out}' (it is made by python -m sorva.run --out {args.out})", USAGE)
    try:
        if args.run_id is None:
            _show_runs(history, args.json, args.last)
        else:
            _show_jobs(history, _run_id(args.run_id), args.json)
    except HistoryError as error:
        fail(PROG, str(error), USAGE)
    except BrokenPipeError:
        # The reader went away (`| head`); nothing more to say to it.
        drop_stdout()
        raise SystemExit(FAILED) from None
    finally:
        history.close()
    sys.stdout.flush()


if __name__ == "__main__":
    main()
