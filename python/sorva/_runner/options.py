"""The runner's command line: what `python -m sorva.run` accepts, read once into a frozen `RunOptions`.

This is the only module of the runner that sees argparse: everything below
the command takes `RunOptions`, so the runner can be driven without a
command line. Kept apart from the runner itself, which is loaded only once
the modules' inspection has started.
"""

from __future__ import annotations

import argparse
import os
import shlex
import sys
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from sorva._cli import USAGE, argument_parser, fail, whole_number
from sorva._executors import EXECUTORS, Settings
from sorva._historydb import UrlError, check, shown
from sorva._runner.pyproject import ProjectSettings, SettingsError, find, history_url, load

PROG = "python -m sorva.run"


@dataclass(frozen=True)
class RunOptions:
    """What a run is asked to do."""

    modules: tuple[str, ...]  # dotted module names, at least one
    out: Path = Path("sorva-out")  # the folder for the job folders and the run history
    jobs: int = 1  # jobs run at once
    select: tuple[str, ...] = ()  # as --select takes them (NAME, +NAME, NAME+, +NAME+); () for every asset
    partitions: tuple[tuple[str, str], ...] = ()  # (dimension, key text): run only the partitions with these keys
    failed: bool = False  # run only the jobs whose last run failed or was interrupted
    force: bool = False  # run the jobs of the selected assets (every job without a selection), fresh or not
    dry_run: bool = False  # say what would run; run and write nothing
    # Further attempts of a job that fails, and the seconds a job may run, over
    # every asset's own; None leaves them to pyproject.toml (or none).
    retries: int | None = None
    timeout: float | None = None
    executor: str = "process"  # the name of a registered executor
    executor_settings: Settings = field(default_factory=Settings)  # what the executor is built from
    verbose: bool = False  # on a terminal, a line for every job
    command: str = PROG  # the command line as the history records it, without a password
    history: str | None = None  # the history's URL; None for the output folder's sorva.db
    # [tool.sorva] in pyproject.toml: run defaults (already in the fields above), and each asset's
    # retries, time limit and pool.
    project: ProjectSettings = field(default_factory=ProjectSettings)


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


def parse(argv: Sequence[str] | None) -> RunOptions:
    """The options of a command line (`sys.argv[1:]` when None); a wrong one ends the command with status 2."""
    parser = argument_parser(
        PROG,
        (
            "Find the assets of the modules and materialise them, upstream first, one job per "
            "asset and partition; a job whose source, partition and inputs are those of its last "
            "success is fresh and not run again. Exit status 0 when every job succeeded or was "
            "fresh, 1 when a job failed or was skipped, 2 when nothing could run (a wrong "
            "invocation, or a pipeline that cannot be planned), 130 or 143 when stopped by SIGINT "
            "or SIGTERM. Defaults for the options, and per-asset retries, time limits and pools, "
            "come from [tool.sorva] in pyproject.toml; the command line overrides them."
        ),
    )
    parser.add_argument("modules", nargs="*", metavar="MODULE", help="dotted module name (at least one)")
    parser.add_argument(
        "--out", metavar="DIR", help="folder for the job folders and the run history (default: ./sorva-out)"
    )
    parser.add_argument(
        "--history",
        metavar="URL",
        help="the run history: sqlite:///PATH, or postgresql://... for one that runners of many folders and hosts "
        "share (default: SORVA_HISTORY, else history in pyproject.toml, else the output folder's sorva.db)",
    )
    parser.add_argument(
        "--jobs",
        type=whole_number(1),
        metavar="N",
        help="jobs run at once (default: the number of processors)",
    )
    parser.add_argument(
        "--select",
        action="append",
        metavar="NAME",
        help="run only this asset and everything upstream of it (NAME or +NAME), or that and everything "
        "downstream of it too (NAME+, +NAME+); repeatable. NAME is a function name, an asset ref or a declared name",
    )
    parser.add_argument(
        "--force",
        action="store_true",
        help="run the jobs of the assets --select names (and downstream for NAME+; every job without --select), "
        "fresh or not",
    )
    parser.add_argument(
        "--executor",
        choices=sorted(EXECUTORS),
        help="how jobs run: 'fork' forks each job from a process that imported the modules once, "
        "'process' starts one worker process per job, 'pool' runs the jobs one after another in --jobs "
        "long-lived worker processes (module state persists between their jobs), 'dask' sends each job to a Dask cluster "
        "(default: fork where the system can fork, else process)",
    )
    parser.add_argument(
        "--scheduler",
        metavar="ADDRESS",
        help="with --executor dask: the cluster's scheduler, tcp://HOST:PORT (default: a cluster of local "
        "worker processes started for the run)",
    )
    parser.add_argument(
        "--pool-recycle",
        type=whole_number(1),
        metavar="N",
        help="with --executor pool: replace each worker after N jobs (default: never)",
    )
    parser.add_argument(
        "--verbose", action="store_true", help="print a line for every job: on a terminal, not only for failures; "
        "otherwise, for each fresh job too rather than one line for them all"
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
        help="run only the jobs whose last run failed, was skipped or was interrupted, the jobs after them, and what they need that is not fresh",
    )
    parser.add_argument(
        "--retries", type=whole_number(0), metavar="N", help="run a job that fails up to N more times (default: 0)"
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
    try:
        project = load(find(), EXECUTORS)
    except SettingsError as error:
        fail(PROG, str(error), USAGE)
    given_scheduler = args.scheduler is not None
    _fill_in(args, project.run)
    source = "argument --history" if args.history else "SORVA_HISTORY" if os.environ.get("SORVA_HISTORY") else (
        f"{project.path}: [tool.sorva] history")
    args.history = history_url(args.history, project.run)
    try:
        args.history and check(args.history)
    except UrlError as error:
        fail(PROG, f"{source}: {error}", USAGE)
    if given_scheduler and args.executor != "dask":
        parser.error("argument --scheduler: only with --executor dask")
    if args.pool_recycle is not None and args.executor != "pool":
        parser.error("argument --pool-recycle: only with --executor pool")
    return RunOptions(
        modules=tuple(args.modules),
        out=Path(args.out),
        jobs=args.jobs,
        select=tuple(args.select or ()),
        partitions=tuple(args.partition or ()),
        failed=args.failed,
        force=args.force,
        dry_run=args.dry_run,
        retries=args.retries,
        timeout=args.timeout,
        executor=args.executor,
        executor_settings=Settings(scheduler=args.scheduler, recycle=args.pool_recycle),
        verbose=args.verbose,
        # Kept in a history others read: a password in an argument (--history's URL) is left out.
        command=shlex.join([*PROG.split(), *map(shown, argv)]),
        history=args.history,
        project=project,
    )


def _fill_in(args: argparse.Namespace, file: Mapping[str, Any]) -> None:
    """The run defaults the command line left out, from the file or built in.

    `--retries` and `--timeout` stay None unless the command line gives them:
    given, they override every asset's own setting, which overrides the
    file's run default (see `_runner.run._limits`).
    """
    given_scheduler = args.scheduler is not None
    built_in = {"out": "sorva-out", "jobs": os.cpu_count() or 1, "executor": "fork" if hasattr(os, "fork") else "process"}
    for name in ("out", "jobs", "executor", "scheduler"):
        if getattr(args, name) is None:
            setattr(args, name, file.get(name, built_in.get(name)))
    if args.executor != "dask" and not given_scheduler:
        args.scheduler = None  # the file's scheduler is for the runs that use Dask
