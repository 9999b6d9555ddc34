"""`python -m sorva.graph MODULE [MODULE ...]`: draws the asset graph of the modules as SVG, HTML or DOT."""

from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
import tempfile
from collections.abc import Sequence
from pathlib import Path
from types import FrameType
from typing import Any

from sorva._cli import FAILED, INTERRUPTED, USAGE, fail
from sorva._dot import GraphvizError, dot_text, render_svg, svg_element
from sorva._graph import Graph, build
from sorva._parser import ArgumentParser
from sorva._plan import PlanError, read_assets
from sorva._report import report_page

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
        "-o", "--output", metavar="FILE", help="write to FILE instead of standard output"
    )
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
        done = subprocess.run(command, stdin=subprocess.DEVNULL, check=False)
        if done.returncode != 0:
            fail(PROG, f"inspecting the modules failed (exit status {done.returncode})", USAGE)
        try:
            with open(output, encoding="utf-8") as file:
                return json.load(file)
        except (OSError, ValueError) as error:
            fail(PROG, f"the inspection output cannot be read: {error}", USAGE)


def _graph(modules: Sequence[str]) -> Graph:
    roots = [str(Path(root or ".").resolve()) for root in (os.getcwd(), *sys.path)]
    try:
        assets = read_assets(_inspect(modules), roots)
    except PlanError as error:
        fail(PROG, error.problems[0], USAGE)
    if not assets:
        fail(PROG, f"no assets found in {', '.join(modules)}", USAGE)
    return build(assets)


def _write(text: str, output: str | None) -> None:
    """Writes to standard output, or replaces FILE whole: a reader never sees half a file."""
    if output is None:
        sys.stdout.buffer.write(text.encode("utf-8"))
        sys.stdout.flush()
        return
    path = Path(output)
    temporary = path.with_name(f".{path.name}.{os.getpid()}.tmp")
    try:
        try:
            temporary.write_text(text, encoding="utf-8")
            os.replace(temporary, path)
        finally:
            temporary.unlink(missing_ok=True)
    except OSError as error:
        fail(PROG, f"cannot write '{output}': {error.strerror}", FAILED)


def _stop(signum: int, frame: FrameType | None) -> None:
    raise KeyboardInterrupt


def main(argv: Sequence[str] | None = None) -> None:
    args = _parse(argv)
    kind = args.format or FORMATS.get(Path(args.output or "").suffix.lower(), "svg")
    # SIGTERM unwinds like Ctrl-C, so that no temporary file is left behind.
    signal.signal(signal.SIGTERM, _stop)
    try:
        graph = _graph(args.modules)
        if kind == "dot":
            text = dot_text(graph)
        else:
            svg = render_svg(dot_text(graph, links=kind == "html"))
            if kind == "html":
                title = f"sorva: {' '.join(args.modules)}"
                text = report_page(graph, None, title=title, svg=svg_element(svg))
            else:
                text = svg
        _write(text, args.output)
    except GraphvizError as error:
        fail(PROG, str(error), FAILED)
    except KeyboardInterrupt:
        fail(PROG, "interrupted", INTERRUPTED)


if __name__ == "__main__":
    main()
