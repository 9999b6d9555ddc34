"""`python -m sorva.run MODULE [MODULE ...]`: runs every asset of the modules on this machine.

The runner drives sorva exactly as an outside orchestrator would: it starts
`python -m sorva.inspect` once, plans the jobs from its output, then starts
one `python -m sorva.worker` per job and reads the job's result.json.
"""

from __future__ import annotations

import argparse
import json
import os
import signal
import subprocess
import sys
import time
from collections.abc import Sequence
from concurrent.futures import FIRST_COMPLETED, Future, ThreadPoolExecutor, wait
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from sorva._cli import FAILED, USAGE, ArgumentParser, exception_text, fail
from sorva._plan import Job, PlanError, check_graph, make_jobs, read_assets, select

PROG = "python -m sorva.run"
PREVIEW = 72


@dataclass(frozen=True)
class Outcome:
    status: str  # "ok", "failed" or "skipped"
    seconds: float = 0.0
    detail: str = ""


def _positive(text: str) -> int:
    try:
        number = int(text)
    except ValueError:
        number = 0
    if number < 1:
        raise argparse.ArgumentTypeError(f"expected a whole number of at least 1, got '{text}'")
    return number


def _parse(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = ArgumentParser(
        prog=PROG,
        description=(
            "Find the assets of the modules and materialise them all, upstream first, "
            "one worker process per asset and partition. Exit status 0 when every job "
            "succeeded, 1 when a job failed, 2 when nothing could run (a wrong "
            "invocation, or a pipeline that cannot be planned)."
        ),
    )
    parser.add_argument("modules", nargs="+", metavar="MODULE", help="dotted module name")
    parser.add_argument(
        "--out", default="sorva-out", metavar="DIR", help="folder for the job folders (default: ./sorva-out)"
    )
    parser.add_argument(
        "--jobs",
        type=_positive,
        default=os.cpu_count() or 1,
        metavar="N",
        help="jobs run at once (default: the number of processors)",
    )
    parser.add_argument(
        "--select",
        nargs="+",
        action="extend",
        metavar="NAME",
        help="run only these assets and everything upstream of them; NAME is a function name, "
        "an asset ref or a declared name",
    )
    return parser.parse_args(argv)


def _inspect(modules: Sequence[str]) -> Any:
    # Skip lines and anything the modules print go straight to our stderr.
    done = subprocess.run(
        [sys.executable, "-m", "sorva.inspect", *modules], stdout=subprocess.PIPE, check=False
    )
    if done.returncode != 0:
        fail(PROG, f"inspecting the modules failed (exit status {done.returncode})", USAGE)
    return json.loads(done.stdout)


def _read_value(job: Job, out: Path) -> Any:
    with open(out / job.folder / "value.json", encoding="utf-8") as file:
        return json.load(file)


def _inputs(job: Job, out: Path) -> dict[str, Any]:
    """The keyword arguments of a job: its partition keys, then its upstream values."""
    kwargs: dict[str, Any] = dict(job.partition)
    for feed in job.feeds:
        if feed.fan_in:
            kwargs[feed.parameter] = [
                {"partition": upstream.partition, "value": _read_value(upstream, out)} for upstream in feed.jobs
            ]
        else:
            kwargs[feed.parameter] = _read_value(feed.jobs[0], out)
    return kwargs


def _ended_without_record(returncode: int, log: Path) -> str:
    if returncode < 0:
        try:
            how = f"was killed by {signal.Signals(-returncode).name}"
        except ValueError:
            how = f"was killed by signal {-returncode}"
    else:
        how = f"exited with status {returncode}"
    lines = log.read_text(encoding="utf-8", errors="replace").splitlines()
    last = next((line for line in reversed(lines) if line.strip()), "")
    return f"worker {how} without writing result.json" + (f": {last}" if last else "")


def _run_job(job: Job, out: Path) -> Outcome:
    """Runs one worker and reads what it left; runs on a pool thread."""
    started = time.monotonic()
    folder = out / job.folder
    try:
        folder.mkdir(parents=True, exist_ok=True)
        # A record or value left by an earlier run must not pass for this one's.
        for stale in ("result.json", "value.json"):
            (folder / stale).unlink(missing_ok=True)
        kwargs = _inputs(job, out)
    except (OSError, ValueError) as error:
        return Outcome("failed", time.monotonic() - started, exception_text(error))
    command = [sys.executable, "-m", "sorva.worker", job.asset.module, job.asset.function, str(folder)]
    if kwargs:
        command += ["--inputs-file", "-"]
    log = folder / "worker.log"
    try:
        with open(log, "wb") as output:
            done = subprocess.run(
                command,
                input=json.dumps(kwargs).encode("ascii") if kwargs else None,
                stdin=None if kwargs else subprocess.DEVNULL,
                stdout=output,
                stderr=subprocess.STDOUT,
                check=False,
            )
    except OSError as error:
        return Outcome("failed", time.monotonic() - started, f"could not start the worker: {error}")
    seconds = time.monotonic() - started
    try:
        record = json.loads((folder / "result.json").read_text(encoding="utf-8"))
    except FileNotFoundError:
        return Outcome("failed", seconds, _ended_without_record(done.returncode, log))
    except (OSError, ValueError) as error:
        return Outcome("failed", seconds, f"unreadable result.json: {error}")
    if not isinstance(record, dict):
        return Outcome("failed", seconds, "unreadable result.json: not a JSON object")
    if record.get("ok") is True and done.returncode == 0:
        return Outcome("ok", seconds, _preview(folder / "value.json"))
    if record.get("ok") is False:
        return Outcome("failed", seconds, str(record.get("error")))
    return Outcome("failed", seconds, f"worker exited with status {done.returncode} after recording success")


def _preview(path: Path) -> str:
    """The start of a value for the progress line; a missing file shows as nothing."""
    try:
        with open(path, encoding="utf-8", errors="replace") as file:
            text = file.read(PREVIEW + 1)
    except OSError:
        return ""
    return text if len(text) <= PREVIEW else text[: PREVIEW - 3] + "..."


class Report:
    """Prints one line per finished job and the summary."""

    def __init__(self, jobs: list[Job]) -> None:
        self.total = len(jobs)
        self.width = max((len(job.describe()) for job in jobs), default=0)
        self.outcomes: dict[int, Outcome] = {}

    def finished(self, job: Job, outcome: Outcome) -> None:
        self.outcomes[job.index] = outcome
        count = f"[{len(self.outcomes)}/{self.total}]"
        seconds = f"{outcome.seconds:.2f}s" if outcome.status != "skipped" else ""
        line = f"{count} {outcome.status:<7}  {job.describe():<{self.width}}  {seconds:>7}  {outcome.detail}"
        print(line.rstrip(), flush=True)

    def summary(self, jobs: list[Job], out: Path, seconds: float) -> int:
        counts = {status: 0 for status in ("ok", "failed", "skipped")}
        for outcome in self.outcomes.values():
            counts[outcome.status] += 1
        print(
            f"{self.total} jobs in {seconds:.2f}s: {counts['ok']} succeeded, "
            f"{counts['failed']} failed, {counts['skipped']} skipped; outputs in {out}"
        )
        for job in jobs:
            outcome = self.outcomes[job.index]
            if outcome.status == "failed":
                print(f"failed: {job.describe()}: {outcome.detail}")
        sys.stdout.flush()
        return 0 if counts["ok"] == self.total else FAILED


def execute(jobs: list[Job], out: Path, parallel: int) -> int:
    """Runs the jobs, each once all its upstream jobs succeeded; returns the exit status."""
    report = Report(jobs)
    started = time.monotonic()
    waiting = {job.index: len(job.upstream) for job in jobs}
    downstream: dict[int, list[Job]] = {job.index: [] for job in jobs}
    for job in jobs:
        for upstream in job.upstream:
            downstream[upstream.index].append(job)
    ready = [job for job in jobs if waiting[job.index] == 0]
    running: dict[Future[Outcome], Job] = {}

    def skip_downstream(failed: Job) -> None:
        todo = list(downstream[failed.index])
        while todo:
            job = todo.pop(0)
            if job.index not in report.outcomes:
                report.finished(job, Outcome("skipped", detail=f"upstream {failed.describe()} did not succeed"))
                todo.extend(downstream[job.index])

    with ThreadPoolExecutor(max_workers=parallel) as pool:
        while ready or running:
            while ready and len(running) < parallel:
                job = ready.pop(0)
                running[pool.submit(_run_job, job, out)] = job
            done, _ = wait(running, return_when=FIRST_COMPLETED)
            for future in sorted(done, key=lambda f: running[f].index):
                job = running.pop(future)
                outcome = future.result()
                report.finished(job, outcome)
                if outcome.status != "ok":
                    skip_downstream(job)
                    continue
                for later in downstream[job.index]:
                    waiting[later.index] -= 1
                    if waiting[later.index] == 0 and later.index not in report.outcomes:
                        ready.append(later)
            ready.sort(key=lambda j: j.index)
    return report.summary(jobs, out, time.monotonic() - started)


def main(argv: Sequence[str] | None = None) -> None:
    args = _parse(argv)
    try:
        assets = read_assets(_inspect(args.modules))
        if not assets:
            fail(PROG, f"no assets found in {', '.join(args.modules)}", USAGE)
        check_graph(assets)
        jobs = make_jobs(assets)
    except PlanError as error:
        for problem in error.problems[:-1]:
            print(f"{PROG}: error: {problem}", file=sys.stderr)
        fail(PROG, error.problems[-1], USAGE)
    if args.select:
        try:
            chosen = {asset.ref for asset in select(assets, args.select)}
        except LookupError as error:
            fail(PROG, f"argument --select: no asset is named '{error.args[0]}'", USAGE)
        jobs = [job for job in jobs if job.asset.ref in chosen]
    raise SystemExit(execute(jobs, Path(args.out), args.jobs))


if __name__ == "__main__":
    main()
