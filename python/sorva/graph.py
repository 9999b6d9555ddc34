"""`python -m sorva.graph MODULE [MODULE ...]`: draws the asset graph of the modules as SVG, HTML, DOT, PNG or PDF."""

from __future__ import annotations

import os
import signal
import sys
from collections.abc import Sequence
from pathlib import Path
from types import FrameType
from typing import Any
from urllib.parse import quote

from sorva._cli import FAILED, INTERRUPTED, USAGE, argument_parser, fail, write_whole
from sorva._history import HistoryError, open_history
from sorva._reporting.dot import GraphvizError, dot_text, render, render_svg, svg_element
from sorva._reporting.graph import JobRow, build, with_outcomes
from sorva._reporting.page import RunInfo, report_page
from sorva._reporting.runpage import job_rows, run_info
from sorva._runner.discover import DiscoveryError, Inspection
from sorva._runner.plan import Asset, PlanError
from sorva._runner.pyproject import default_history, default_out

PROG = "python -m sorva.graph"
FORMATS = {
    ".svg": "svg", ".html": "html", ".htm": "html", ".dot": "dot", ".gv": "dot", ".png": "png", ".pdf": "pdf"
}
# What Graphviz's dot lays out itself.
RENDERED = ("svg", "png", "pdf")


def _parse(argv: Sequence[str] | None) -> Any:
    parser = argument_parser(
        PROG,
        (
            "Draw the asset graph of the modules: one node per asset with its partition "
            "dimensions, one edge per input labelled with its parameter; a fan-in edge (the "
            "input is a list of partitions) is drawn as a double line. Graphviz's dot lays out "
            "svg, html, png and pdf; dot text needs no Graphviz."
        ),
    )
    parser.add_argument("modules", nargs="+", metavar="MODULE", help="dotted module name")
    parser.add_argument(
        "--out",
        metavar="DIR",
        help="a runner's output folder: each asset shows the outcomes of its jobs in the folder's last run, "
        "and the html page lists them (default: out in pyproject.toml, or ./sorva-out, when it holds a run history)",
    )
    parser.add_argument(
        "--history",
        metavar="URL",
        help="the run history that holds the folder's runs: sqlite:///PATH or postgresql://... (default: "
        "SORVA_HISTORY, else history in pyproject.toml, else the output folder's sorva.db)",
    )
    parser.add_argument("-o", "--output", metavar="FILE", help="write to FILE instead of standard output")
    parser.add_argument(
        "--format",
        choices=("svg", "html", "dot", "png", "pdf"),
        help="what to write (default: from the suffix of FILE, otherwise svg)",
    )
    args = parser.parse_args(argv)
    suffix = Path(args.output or "").suffix
    if args.format is None and suffix and suffix.lower() not in FORMATS:
        parser.error(f"argument -o/--output: no format has the suffix '{suffix}'; name one with --format")
    return args


def _assets(modules: Sequence[str]) -> list[Asset]:
    # As for a run, a module that fails to import is an error: a graph that
    # silently leaves out a listed module looks like the graph of it.
    try:
        assets = Inspection(modules).assets()
    except DiscoveryError as error:
        fail(PROG, str(error), USAGE)
    except PlanError as error:
        fail(PROG, error.problems[0], USAGE)
    if not assets:
        fail(PROG, f"no assets found in {', '.join(modules)}", USAGE)
    return assets


def _last_run(out: str | None, url: str | None, assets: list[Asset]) -> tuple[RunInfo, list[JobRow]] | None:
    """The last run recorded in the output folder, if it has a history; None otherwise."""
    folder = Path(out or default_out(PROG))
    try:
        history = open_history(folder, default_history(PROG, url))
    except HistoryError as error:
        fail(PROG, str(error), USAGE)
    if history is None:
        if out is not None:
            fail(PROG, f"argument --out: no run history in '{out}'", USAGE)
        return None
    try:
        run = history.last_run()
        return (run_info(run), job_rows(history, run.id, folder, assets)) if run else None
    except HistoryError as error:
        fail(PROG, str(error), USAGE)
    finally:
        history.close()


def _link_base(out: str | None, output: str | None) -> str:
    """The way from the page to the output folder, as a URL path."""
    here = os.path.dirname(os.path.abspath(output)) if output else os.getcwd()
    return quote(Path(os.path.relpath(os.path.abspath(out or default_out(PROG)), here)).as_posix()) + "/"


def _write(content: str | bytes, output: str | None) -> None:
    if output is None:
        sys.stdout.buffer.write(content.encode("utf-8") if isinstance(content, str) else content)
        sys.stdout.flush()
        return
    try:
        write_whole(output, content.encode("utf-8") if isinstance(content, str) else content)
    except OSError as error:
        fail(PROG, f"cannot write '{output}': {error.strerror}", FAILED)


_stopped_by: list[int] = []  # the signal that stopped the command, once one has


def _stop(signum: int, frame: FrameType | None) -> None:
    _stopped_by.append(signum)
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
        last = _last_run(args.out, args.history, assets)
        graph = with_outcomes(build(assets), last[1]) if last else build(assets)
        content: str | bytes
        if kind == "dot":
            content = dot_text(graph)
        elif kind in RENDERED:
            content = render(dot_text(graph), kind)
        else:
            svg = svg_element(render_svg(dot_text(graph, links=True)))
            run, rows = last if last else (None, None)
            content = report_page(
                graph, rows, title=f"sorva: {' '.join(args.modules)}", svg=svg, run=run,
                link_base=_link_base(args.out, args.output),
            )
        _write(content, args.output)
    except GraphvizError as error:
        fail(PROG, str(error), FAILED)
    except KeyboardInterrupt:
        fail(PROG, "interrupted", 128 + _stopped_by[0] if _stopped_by else INTERRUPTED)


if __name__ == "__main__":
    main()
