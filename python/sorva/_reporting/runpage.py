"""The report of a run: its jobs read from the run history with the files each left, and DIR/report.html."""

from __future__ import annotations

import itertools
import os
from collections.abc import Sequence
from pathlib import Path

from sorva._cli import clipped, write_whole
from sorva._history import History, JobRecord, Run, canonical
from sorva._outcomes import State
from sorva._reporting.dot import GraphvizError, dot_text, render_svg, svg_element
from sorva._reporting.graph import Graph, JobRow, build, with_outcomes
from sorva._reporting.page import RunInfo, report_page, when

TYPE_CHECKING = False
if TYPE_CHECKING:
    from sorva._runner.plan import Asset

REPORT = "report.html"


def _plan_order(assets: Sequence[Asset]) -> dict[tuple[str, str], int]:
    """Each job's place: assets in plan order, then partitions in the order the runner makes them."""
    order: dict[tuple[str, str], int] = {}
    for asset in assets:
        for keys in itertools.product(*(d.keys for d in asset.dimensions)):
            partition = {d.name: key for d, key in zip(asset.dimensions, keys)}
            order[(asset.ref, canonical(partition))] = len(order)
    return order


def _files_of(folder: Path) -> tuple[str, ...]:
    """The job files the folder holds, as the page lists them: value.json,
    the file of a value another serializer stored, the record, the log."""
    try:
        with os.scandir(folder) as entries:
            present = {entry.name for entry in entries if entry.is_file()}
    except OSError:
        return ()
    value_files = sorted(name for name in present if name.startswith("value.") and name != "value.json")
    return tuple(name for name in ["value.json", *value_files, "result.json", "worker.log"] if name in present)


_TRACEBACK = "Traceback (most recent call last):"
# What the interpreter prints between the tracebacks of chained exceptions.
_CHAINED = (
    "During handling of the above exception, another exception occurred:",
    "The above exception was the direct cause of the following exception:",
)
# A traceback is longer than an error line: its frames come first.
TRACEBACK_KEPT = 20_000


def traceback_of(log: Path) -> str:
    """The last traceback that a worker.log holds, with those chained to it; the start of each long line."""
    try:
        # Never through a link planted in place of the log.
        with open(os.open(log, os.O_RDONLY | os.O_NOFOLLOW), encoding="utf-8", errors="replace") as file:
            lines = file.read().splitlines()
    except OSError:
        return ""
    heads = [index for index, line in enumerate(lines) if line.endswith(_TRACEBACK)]
    if not heads:
        return ""
    start = heads.pop()
    while heads and next((line for line in reversed(lines[:start]) if line.strip()), "") in _CHAINED:
        start = heads.pop()
    # Each line cut on its own keeps every frame of a traceback whose message is long.
    return clipped("\n".join(clipped(line, "worker.log") for line in lines[start:]), "worker.log", TRACEBACK_KEPT)


def job_rows(history: History, run_id: int, out: Path, assets: Sequence[Asset]) -> list[JobRow]:
    """The jobs of a run, the last attempt of each, in plan order; jobs of assets not planned come last.

    A job links only the files this run left or kept: a skipped job never
    ran, so whatever its folder holds is from an earlier run.
    """
    last = {(record.asset, record.partition): record for record in history.jobs(run_id)}
    return _rows(last, run_id, out, assets)


def folder_rows(history: History, run_id: int, out: Path, assets: Sequence[Asset]) -> list[JobRow]:
    """The folder's state after a run: its jobs, and the latest record of every other job, with the run it is from."""
    last = {(record.asset, record.partition): record for record in history.jobs(run_id)}
    return _rows({**history.latest(), **last}, run_id, out, assets)


def _rows(last: dict[tuple[str, str], JobRecord], run_id: int, out: Path, assets: Sequence[Asset]) -> list[JobRow]:
    order = _plan_order(assets)
    rows = []
    for _, record in sorted(last.items(), key=lambda item: order.get(item[0], len(order))):
        folder = out / record.folder
        files = () if record.outcome == State.SKIPPED.word else _files_of(folder)
        traced = record.outcome == State.FAILED.word and "worker.log" in files
        rows.append(
            JobRow(
                asset=record.asset,
                label=record.label,
                partition=record.partition_text,
                outcome=record.outcome,
                seconds=record.seconds,
                error=record.error or "",
                folder=record.folder,
                files=files,
                traceback=traceback_of(folder / "worker.log") if traced else "",
                started=record.started,
                from_run=record.run_id if record.run_id != run_id else None,
            )
        )
    return rows


def run_info(run: Run) -> RunInfo:
    started, ended = when(run.started), when(run.ended)
    details = [run.outcome]
    if started is not None:
        details.append(f"started {started.strftime('%Y-%m-%d %H:%M:%S')} UTC")
        if ended is not None:
            details.append(f"{(ended - started).total_seconds():.2f} s")
    details += [run.command, f"executor {run.executor}"]
    return RunInfo(f"run {run.id}", tuple(details))


def page(
    graph: Graph, rows: Sequence[JobRow] | None, *, title: str, run: RunInfo | None = None, link_base: str = ""
) -> str:
    """The report page; without Graphviz it says so where the graph would be, and keeps the table."""
    try:
        svg, note = svg_element(render_svg(dot_text(graph, links=True))), ""
    except GraphvizError as error:
        svg, note = None, f"No graph: {error}."
    return report_page(graph, rows, title=title, svg=svg, graph_note=note, run=run, link_base=link_base)


def write_report(out: Path, assets: Sequence[Asset], history: History, run_id: int, title: str) -> Path:
    """Writes DIR/report.html for a run that has ended and returns its path; raises OSError."""
    run = history.run(run_id)
    rows = folder_rows(history, run_id, out, assets)
    graph = with_outcomes(build(assets), rows)
    path = out / REPORT
    write_whole(path, page(graph, rows, title=title, run=run_info(run) if run else None).encode("utf-8"))
    return path
