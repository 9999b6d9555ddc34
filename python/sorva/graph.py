"""`python -m sorva.graph MODULE [MODULE ...]`: draws the asset graph of the modules as SVG, HTML or DOT."""

from __future__ import annotations

import json
import os
import signal
import sqlite3
import subprocess
import sys
import tempfile
from collections.abc import Sequence
from pathlib import Path
from types import FrameType
from typing import Any
from urllib.parse import quote

from sorva._cli import FAILED, INTERRUPTED, USAGE, fail
from sorva._dot import GraphvizError, dot_text, render_svg, svg_element
from sorva._graph import JobRow, build, with_outcomes
from sorva._history import FILE, HistoryError, open_history
from sorva._parser import ArgumentParser
from sorva._plan import Asset, PlanError, read_assets
from sorva._report import RunInfo, report_page
from sorva._runreport import job_rows, run_info, write_file
from sorva._settings import default_out

PROG = "python -m sorva.graph"
FORMATS = {".svg": "svg", ".html": "html", ".htm": "html", ".dot": "dot", ".gv": "dot"}


def _parse(argv: Sequence[str] | None) -> Any:
    parser = ArgumentParser(
        prog=PROG,
        description=(
            "Draw the asset graph of the modules: one node per asset with its partition "
            "dimensions, one edge per input labelled with its parameter; a fan-in edge (the "
            "input is a list of partitions) is drawn as a double line. Graphviz's dot lays out "
            "svg and html; dot text needs no Graphviz."
        ),
    )
    parser.add_argument("modules", nargs="+", metavar="MODULE", help="dotted module name")
    parser.add_argument(
        "--out",
        metavar="DIR",
        help="a runner's output folder: each asset shows the outcomes of its jobs in the folder's last run, "
        "and the html page lists them (default: out in pyproject.toml, or ./sorva-out, when it holds a run history)",
    )
    parser.add_argument("-o", "--output", metavar="FILE", help="write to FILE instead of standard output")
    parser.add_argument(
        "--format",
        choices=("svg", "html", "dot"),
        help="what to write (default: from the suffix of FILE, otherwise svg)",
    )
    return parser.parse_args(argv)


def _inspect(modules: Sequence[str]) -> Any:
    """The inspection output, read from a file of its own so that nothing the modules print mixes in.

    As for a run, a module that fails to import is an error: a graph that
    silently leaves out a listed module looks like the graph of it.
    """
    with tempfile.TemporaryDirectory(prefix="sorva-graph-") as folder:
        output = os.path.join(folder, "inspection.json")
        command = [sys.executable, "-m", "sorva.inspect", "--strict", "--output", output, "--", *modules]
        # The inspection's own error line and the modules' output reach our stderr as they are.
        process = subprocess.Popen(command, stdin=subprocess.DEVNULL)
        try:
            status = process.wait()
        except BaseException:
            # Stopped: the inspection ends with us, and is gone before we are.
            process.kill()
            process.wait()
            raise
        if status != 0:
            fail(PROG, f"inspecting the modules failed (exit status {status})", USAGE)
        try:
            with open(output, encoding="utf-8") as file:
                return json.load(file)
        except (OSError, ValueError) as error:
            fail(PROG, f"the inspection output cannot be read: {error}", USAGE)


def _assets(modules: Sequence[str]) -> list[Asset]:
    roots = [str(Path(root or ".").resolve()) for root in (os.getcwd(), *sys.path)]
    try:
        assets = read_assets(_inspect(modules), roots)
    except PlanError as error:
        fail(PROG, error.problems[0], USAGE)
    if not assets:
        fail(PROG, f"no assets found in {', '.join(modules)}", USAGE)
    return assets


def _last_run(out: str | None, assets: list[Asset]) -> tuple[RunInfo, list[JobRow]] | None:
    """The last run recorded in the output folder, if it has a history; None otherwise."""
    folder = Path(out or default_out(PROG))
    try:
        history = open_history(folder)
    except HistoryError as error:
        fail(PROG, str(error), USAGE)
    if history is None:
        if out is not None:
            fail(PROG, f"argument --out: no run history in '{out}'", USAGE)
        return None
    try:
        run = history.last_run()
        return (run_info(run), job_rows(history, run.id, folder, assets)) if run else None
    except sqlite3.Error as error:
        fail(PROG, f"cannot read the run history {folder / FILE}: {error}", USAGE)
    except HistoryError as error:
        fail(PROG, str(error), USAGE)
    finally:
        history.close()


def _link_base(out: str | None, output: str | None) -> str:
    """The way from the page to the output folder, as a URL path."""
    here = os.path.dirname(os.path.abspath(output)) if output else os.getcwd()
    return quote(Path(os.path.relpath(os.path.abspath(out or default_out(PROG)), here)).as_posix()) + "/"


def _write(text: str, output: str | None) -> None:
    if output is None:
        sys.stdout.buffer.write(text.encode("utf-8"))
        sys.stdout.flush()
        return
    try:
        write_file(Path(output), text)
    except OSError as error:
        fail(PROG, f"cannot write '{output}': {error.strerror}", FAILED)


def _stop(signum: int, frame: FrameType | None) -> None:
    raise KeyboardInterrupt


def main(argv: Sequence[str] | None = None) -> None:
    args = _parse(argv)
    kind = args.format or FORMATS.get(Path(args.output or "").suffix.lower(), "svg")
    # SIGTERM unwinds like Ctrl-C, so that no temporary file is left behind; Ctrl-C does so even
    # where the command was started with SIGINT ignored, as the runner does.
    signal.signal(signal.SIGINT, _stop)
    signal.signal(signal.SIGTERM, _stop)
    try:
        assets = _assets(args.modules)
        last = _last_run(args.out, assets)
        graph = with_outcomes(build(assets), last[1]) if last else build(assets)
        if kind == "dot":
            text = dot_text(graph)
        elif kind == "svg":
            text = render_svg(dot_text(graph))
        else:
            svg = svg_element(render_svg(dot_text(graph, links=True)))
            run, rows = last if last else (None, None)
            text = report_page(
                graph, rows, title=f"sorva: {' '.join(args.modules)}", svg=svg, run=run,
                link_base=_link_base(args.out, args.output),
            )
        _write(text, args.output)
    except GraphvizError as error:
        fail(PROG, str(error), FAILED)
    except KeyboardInterrupt:
        fail(PROG, "interrupted", INTERRUPTED)


if __name__ == "__main__":
    main()
