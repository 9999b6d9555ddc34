"""`python -m sorva.run MODULE [MODULE ...]`: runs every asset of the modules on this machine.

The runner drives sorva exactly as an outside orchestrator would: it starts
`python -m sorva.inspect` once, plans the jobs from its output, then has an
executor run one worker per job and reads the job's result.json.
"""

from __future__ import annotations

import argparse
import json
import os
import signal
import subprocess
import sys
import tempfile
import threading
import time
from collections.abc import Sequence
from concurrent.futures import FIRST_COMPLETED, Future, ThreadPoolExecutor, wait
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from sorva._cli import FAILED, USAGE, exception_text, fail
from sorva._executor import Ended, Executor, ProcessExecutor, Task
from sorva._parser import ArgumentParser
from sorva._plan import Job, PlanError, check_graph, make_jobs, read_assets, select

PROG = "python -m sorva.run"
PREVIEW = 72
EXIT_STATUS = {signal.SIGINT: 130, signal.SIGTERM: 143}


@dataclass(frozen=True)
class Outcome:
    status: str  # "ok", "failed", "skipped" or "interrupted"
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
            "invocation, or a pipeline that cannot be planned), 130 or 143 when "
            "stopped by SIGINT or SIGTERM."
        ),
    )
    parser.add_argument("modules", nargs="*", metavar="MODULE", help="dotted module name (at least one)")
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
        action="append",
        metavar="NAME",
        help="run only this asset and everything upstream of it (repeatable); NAME is a function name, "
        "an asset ref or a declared name",
    )
    # Module names may come before, between and after options; after `--` all are module names.
    argv = list(sys.argv[1:] if argv is None else argv)
    names = argv[argv.index("--") + 1 :] if "--" in argv else []
    args = parser.parse_intermixed_args(argv[: len(argv) - len(names) - 1] if "--" in argv else argv)
    args.modules += names
    if not args.modules:
        parser.error("the following arguments are required: MODULE")
    return args


class Stopper:
    """Turns SIGINT and SIGTERM into a request to stop, acted on by whoever is running."""

    def __init__(self) -> None:
        self.signum: int | None = None
        self._actions: list[Any] = []
        self._lock = threading.Lock()

    def install(self) -> None:
        for signum in EXIT_STATUS:
            signal.signal(signum, self._handle)

    def _handle(self, signum: int, frame: object) -> None:
        if self.signum is not None:
            return
        self.signum = signum
        for action in list(self._actions):
            action()

    def on_stop(self, action: Any) -> None:
        self._actions.append(action)
        if self.signum is not None:
            action()

    def exit_if_stopped(self) -> None:
        if self.signum is not None:
            print(f"stopped by {signal.Signals(self.signum).name} before any job started", file=sys.stderr)
            raise SystemExit(EXIT_STATUS[signal.Signals(self.signum)])


def _inspect(modules: Sequence[str], stopper: Stopper) -> Any:
    """The inspection output of the modules, read from a file the inspection writes.

    User code runs during the inspection and may print, or end the process;
    a file of its own keeps its output apart. A module that fails to import
    is an error here: a run that silently leaves out a listed module looks
    like a run of it.
    """
    with tempfile.TemporaryDirectory(prefix="sorva-inspect-") as folder:
        output = os.path.join(folder, "inspection.json")
        command = [sys.executable, "-m", "sorva.inspect", "--strict", "--output", output, "--", *modules]
        process = subprocess.Popen(
            command, stdin=subprocess.DEVNULL, stderr=subprocess.PIPE, start_new_session=True
        )
        stopper.on_stop(lambda: _kill_group(process.pid))
        _, errors = process.communicate()
        stopper.exit_if_stopped()
        lines = errors.decode("utf-8", "replace").splitlines()
        prefix = "python -m sorva.inspect: error: "
        if process.returncode != 0 and lines and lines[-1].startswith(prefix):
            _pass_on(lines[:-1])
            fail(PROG, lines[-1][len(prefix) :], USAGE)
        _pass_on(lines)
        if process.returncode != 0:
            fail(PROG, f"inspecting the modules failed ({_how_it_ended(process.returncode)})", USAGE)
        try:
            with open(output, encoding="utf-8") as file:
                return json.load(file)
        except FileNotFoundError:
            fail(PROG, "the inspection ended without writing its output (a module may have ended the process)", USAGE)
        except ValueError as error:
            fail(PROG, f"the inspection output cannot be read: {error}", USAGE)


def _pass_on(lines: list[str]) -> None:
    for line in lines:
        print(line, file=sys.stderr)


def _kill_group(pid: int) -> None:
    try:
        os.killpg(pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass  # already ended


def _how_it_ended(status: int) -> str:
    if status < 0:
        try:
            return f"killed by {signal.Signals(-status).name}"
        except ValueError:
            return f"killed by signal {-status}"
    return f"exit status {status}"


def _value_text(job: Job, out: Path) -> str:
    """The JSON text of an upstream job's value, checked to be readable JSON."""
    try:
        text = (out / job.folder / "value.json").read_text(encoding="utf-8")
        json.loads(text)
    except RecursionError:
        raise ValueError(f"the value of upstream {job.describe()} is nested too deeply to read") from None
    except (OSError, ValueError, MemoryError) as error:
        raise ValueError(f"the value of upstream {job.describe()} cannot be read: {exception_text(error)}") from None
    return text


def _inputs(job: Job, out: Path) -> bytes | None:
    """The keyword arguments of a job as JSON: its partition keys, then its upstream values.

    Values are passed on as the text their workers wrote, so a value the
    runner could read is never re-encoded into something deeper or different.
    """
    members = [f"{json.dumps(name)}:{json.dumps(key)}" for name, key in job.partition.items()]
    for feed in job.feeds:
        if feed.fan_in:
            entries = (
                f'{{"partition":{json.dumps(upstream.partition)},"value":{_value_text(upstream, out)}}}'
                for upstream in feed.jobs
            )
            members.append(f"{json.dumps(feed.parameter)}:[{','.join(entries)}]")
        else:
            members.append(f"{json.dumps(feed.parameter)}:{_value_text(feed.jobs[0], out)}")
    return f"{{{','.join(members)}}}".encode() if members else None


def _ended_without_record(ended: Ended, log: Path) -> str:
    if ended.reason:
        return ended.reason
    try:
        lines = log.read_text(encoding="utf-8", errors="replace").splitlines()
    except OSError:
        lines = []
    last = next((line for line in reversed(lines) if line.strip()), "")
    how = "was " + _how_it_ended(ended.status) if ended.status < 0 else f"exited with status {ended.status}"
    return f"worker {how} without writing result.json" + (f": {last}" if last else "")


def _run_job(job: Job, out: Path, executor: Executor) -> Outcome:
    """Runs one job through the executor and reads what it left; runs on a pool thread."""
    started = time.monotonic()
    folder = (out / job.folder).absolute()
    try:
        folder.mkdir(parents=True, exist_ok=True)
        # A record or value left by an earlier run must not pass for this one's.
        for stale in ("result.json", "value.json"):
            (folder / stale).unlink(missing_ok=True)
        inputs = _inputs(job, out)
    except OSError as error:
        return Outcome("failed", time.monotonic() - started, exception_text(error))
    except ValueError as error:
        return Outcome("failed", time.monotonic() - started, str(error))
    ended = executor.run(Task(job.asset.module, job.asset.function, folder, inputs))
    seconds = time.monotonic() - started
    try:
        record = json.loads((folder / "result.json").read_text(encoding="utf-8"))
    except FileNotFoundError:
        return Outcome("failed", seconds, _ended_without_record(ended, folder / "worker.log"))
    except (OSError, ValueError) as error:
        return Outcome("failed", seconds, f"unreadable result.json (the worker was killed while writing it?): {error}")
    if not isinstance(record, dict):
        return Outcome("failed", seconds, "unreadable result.json: not a JSON object")
    if record.get("ok") is True and ended.status == 0:
        return Outcome("ok", seconds, _preview(folder / "value.json"))
    if record.get("ok") is False:
        return Outcome("failed", seconds, str(record.get("error")))
    return Outcome("failed", seconds, f"worker exited with status {ended.status} after recording success")


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

    def summary(self, jobs: list[Job], out: Path, seconds: float, signum: int | None) -> int:
        counts = {status: 0 for status in ("ok", "failed", "skipped", "interrupted")}
        for outcome in self.outcomes.values():
            counts[outcome.status] += 1
        line = (
            f"{self.total} jobs in {seconds:.2f}s: {counts['ok']} succeeded, "
            f"{counts['failed']} failed, {counts['skipped']} skipped"
        )
        if signum is not None:
            line += f", {counts['interrupted']} interrupted, {self.total - len(self.outcomes)} not started"
        print(f"{line}; outputs in {out}")
        for job in jobs:
            ended = self.outcomes.get(job.index)
            if ended is not None and ended.status == "failed":
                print(f"failed: {job.describe()}: {ended.detail}")
        if signum is not None:
            print(f"stopped by {signal.Signals(signum).name}")
            sys.stdout.flush()
            return EXIT_STATUS[signal.Signals(signum)]
        sys.stdout.flush()
        return 0 if counts["ok"] == self.total else FAILED


def execute(jobs: list[Job], out: Path, parallel: int, executor: Executor, stopper: Stopper) -> int:
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
    stopper.on_stop(executor.interrupt)

    def skip_downstream(failed: Job) -> None:
        todo = list(downstream[failed.index])
        while todo:
            job = todo.pop(0)
            if job.index not in report.outcomes:
                report.finished(job, Outcome("skipped", detail=f"upstream {failed.describe()} did not succeed"))
                todo.extend(downstream[job.index])

    with ThreadPoolExecutor(max_workers=parallel) as pool:
        while running or (ready and stopper.signum is None):
            while ready and len(running) < parallel and stopper.signum is None:
                job = ready.pop(0)
                running[pool.submit(_run_job, job, out, executor)] = job
            done, _ = wait(running, timeout=0.5, return_when=FIRST_COMPLETED)
            for future in sorted(done, key=lambda f: running[f].index):
                job = running.pop(future)
                outcome = future.result()
                if stopper.signum is not None and outcome.status == "failed":
                    # A job cut short by the stop did not fail on its own.
                    signame = signal.Signals(stopper.signum).name
                    outcome = Outcome("interrupted", outcome.seconds, f"stopped by {signame}")
                report.finished(job, outcome)
                if outcome.status == "interrupted":
                    continue
                if outcome.status != "ok":
                    skip_downstream(job)
                    continue
                for later in downstream[job.index]:
                    waiting[later.index] -= 1
                    if waiting[later.index] == 0 and later.index not in report.outcomes:
                        ready.append(later)
            ready.sort(key=lambda j: j.index)
    return report.summary(jobs, out, time.monotonic() - started, stopper.signum)


def _prepare_out(out: Path) -> None:
    if out.exists() and not out.is_dir():
        fail(PROG, f"argument --out: '{out}' is not a folder", USAGE)
    try:
        out.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        fail(PROG, f"argument --out: cannot create '{out}': {error.strerror}", USAGE)


def main(argv: Sequence[str] | None = None) -> None:
    args = _parse(argv)
    stopper = Stopper()
    stopper.install()
    # Our workers and the inspection run in process groups of their own; a
    # stop request reaches them through the executor, never behind its back.
    roots = [str(Path(root or ".").resolve()) for root in (os.getcwd(), *sys.path)]
    try:
        assets = read_assets(_inspect(args.modules, stopper), roots)
    except PlanError as error:
        fail(PROG, error.problems[0], USAGE)
    if not assets:
        fail(PROG, f"no assets found in {', '.join(args.modules)}", USAGE)
    if args.select:
        try:
            assets = select(assets, args.select)
        except LookupError as error:
            fail(PROG, f"argument --select: no asset is named '{error.args[0]}'", USAGE)
    try:
        check_graph(assets)
        jobs = make_jobs(assets)
    except PlanError as error:
        for problem in error.problems[:-1]:
            print(f"{PROG}: error: {problem}", file=sys.stderr)
        fail(PROG, error.problems[-1], USAGE)
    out = Path(args.out)
    _prepare_out(out)
    executor = ProcessExecutor()
    try:
        status = execute(jobs, out, args.jobs, executor, stopper)
    finally:
        executor.close()
    raise SystemExit(status)


if __name__ == "__main__":
    main()
