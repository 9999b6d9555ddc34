"""The runner's command line: what `python -m sorva.run` accepts, read into options.

Kept apart from the runner itself, which is loaded only once the modules'
inspection has started.
"""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Mapping, Sequence

from typing import Any

from sorva._cli import USAGE, fail
from sorva._executor import EXECUTORS
from sorva._parser import ArgumentParser, whole_number
from sorva._historydb import UrlError, check
from sorva._settings import SettingsError, find, history_url, load

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


def parse(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = ArgumentParser(
        prog=PROG,
        description=(
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
        args.settings = load(find(), EXECUTORS)
    except SettingsError as error:
        fail(PROG, str(error), USAGE)
    given_scheduler = args.scheduler is not None
    _fill_in(args, args.settings.run)
    source = "argument --history" if args.history else "SORVA_HISTORY" if os.environ.get("SORVA_HISTORY") else (
        f"{args.settings.path}: [tool.sorva] history")
    args.history = history_url(args.history, args.settings.run)
    try:
        args.history and check(args.history)
    except UrlError as error:
        fail(PROG, f"{source}: {error}", USAGE)
    if given_scheduler and args.executor != "dask":
        parser.error("argument --scheduler: only with --executor dask")
    if args.pool_recycle is not None and args.executor != "pool":
        parser.error("argument --pool-recycle: only with --executor pool")
    return args


def _fill_in(args: argparse.Namespace, file: Mapping[str, Any]) -> None:
    """The run defaults the command line left out, from the file or built in.

    `--retries` and `--timeout` stay None unless the command line gives them:
    given, they override every asset's own setting, which overrides the
    file's run default (see `_run._options`).
    """
    given_scheduler = args.scheduler is not None
    built_in = {"out": "sorva-out", "jobs": os.cpu_count() or 1, "executor": "fork" if hasattr(os, "fork") else "process"}
    for name in ("out", "jobs", "executor", "scheduler"):
        if getattr(args, name) is None:
            setattr(args, name, file.get(name, built_in.get(name)))
    if args.executor != "dask" and not given_scheduler:
        args.scheduler = None  # the file's scheduler is for the runs that use Dask
