"""The asset graph as Graphviz DOT text, and as SVG laid out by Graphviz's `dot`."""

from __future__ import annotations

import html
import os
import re
import subprocess

from sorva._reporting.graph import OUTCOMES, Edge, Graph, Node, worst

# Fill and text colour of each outcome; the report page uses the same ones.
COLOURS = {
    "failed": ("#ffcdd2", "#b71c1c"),
    "interrupted": ("#ffe0b2", "#e65100"),
    "skipped": ("#e0e0e0", "#424242"),
    "ok": ("#c8e6c9", "#1b5e20"),
    "fresh": ("#bbdefb", "#0d47a1"),
}
OTHER = ("#f5f5f5", "#424242")
# Graphviz measures text with this font, so a page must draw it with the same one: Debian's
# fonts-dejavu-core has it, on the machine that lays the graph out and on most that show it.
FONT = "DejaVu Sans"
LINE = "#555555"
DOT_SECONDS = 120.0

# Graphviz parses HTML-like labels as XML, which refuses most control characters.
_CONTROL = re.compile(r"[\x00-\x08\x0b-\x1f\x7f]")


class GraphvizError(Exception):
    """Graphviz could not lay the graph out; the message is one line for the user."""


def _quoted(text: str) -> str:
    """A DOT string; backslashes are doubled so that none reads as one of DOT's escapes."""
    text = _CONTROL.sub("\ufffd", text).replace("\\", "\\\\").replace('"', '\\"')
    return '"' + text.replace("\n", "\\n").replace("\r", "") + '"'


def _markup(text: str) -> str:
    return html.escape(_CONTROL.sub("\ufffd", text).replace("\n", " "), quote=True)


def shown_ref(ref: str) -> str:
    """A ref with its file named relative to the current folder when it lies there, as people read it."""
    path, colon, function = ref.rpartition(":")
    if colon and os.path.isabs(path):
        relative = os.path.relpath(path)
        if not relative.startswith(".."):
            return f"{relative}:{function}"
    return ref


def counts_text(counts: dict[str, int]) -> list[tuple[str, int]]:
    """The outcomes of a node's jobs in display order: known outcomes first, then any other."""
    known = [(outcome, counts[outcome]) for outcome in OUTCOMES if counts.get(outcome)]
    return known + sorted((outcome, n) for outcome, n in counts.items() if outcome not in OUTCOMES and n)


def _dimensions_text(node: Node) -> str:
    plural = "" if node.partitions == 1 else "s"
    if not node.dimensions:
        return "unpartitioned"
    if len(node.dimensions) == 1:
        return f"{node.partitions} partition{plural} by {node.dimensions[0][0]}"
    shape = " \u00d7 ".join(f"{name} ({count})" for name, count in node.dimensions)
    return f"{node.partitions} partition{plural} by {shape}"


def _label(node: Node, counts: dict[str, int] | None) -> str:
    cells = counts_text(counts) if counts is not None else []
    span = f' COLSPAN="{max(len(cells), 1)}"'
    rows = [f"<TR><TD{span}><B>{_markup(node.label)}</B></TD></TR>"]
    if node.declared_name and node.declared_name != node.label:
        rows.append(f"<TR><TD{span}><I>{_markup(node.declared_name)}</I></TD></TR>")
    rows.append(f'<TR><TD{span}><FONT POINT-SIZE="10">{_markup(_dimensions_text(node))}</FONT></TD></TR>')
    if cells:
        rows.append(
            "<TR>"
            + "".join(
                f'<TD BGCOLOR="{COLOURS.get(outcome, OTHER)[0]}"><FONT POINT-SIZE="10" COLOR="{COLOURS.get(outcome, OTHER)[1]}">'
                f"{n} {_markup(outcome)}</FONT></TD>"
                for outcome, n in cells
            )
            + "</TR>"
        )
    elif counts is not None:
        rows.append(f'<TR><TD{span}><FONT POINT-SIZE="10" COLOR="#757575"><I>not in this run</I></FONT></TD></TR>')
    border = COLOURS.get(worst(counts or {}) or "", ("", LINE))[1]
    return (
        f'<<TABLE BORDER="1" CELLBORDER="0" CELLSPACING="0" CELLPADDING="4" COLOR="{border}" '
        f'BGCOLOR="white">{"".join(rows)}</TABLE>>'
    )


def _node_line(node: Node, graph: Graph, links: bool) -> str:
    if not node.found:
        attributes = {
            "id": _quoted(f"node-{node.key}"),
            "class": _quoted("asset missing"),
            "shape": "box",
            "style": _quoted("dashed,rounded"),
            "color": _quoted("#9e9e9e"),
            "fontcolor": _quoted("#616161"),
            "label": _quoted(f"{node.label}\nno asset has this ref"),
            "tooltip": _quoted(shown_ref(node.ref)),
        }
    else:
        counts = None if graph.outcomes is None else graph.outcomes.get(node.key, {})
        outcome = worst(counts or {})
        attributes = {
            "id": _quoted(f"node-{node.key}"),
            "class": _quoted(f"asset outcome-{outcome}" if outcome else "asset"),
            "shape": "plain",
            "label": _label(node, counts),
            "tooltip": _quoted(shown_ref(node.ref)),
        }
        if links:
            attributes["href"] = _quoted(f"#jobs-{node.key}")
    return f"  {node.key} [{', '.join(f'{name}={value}' for name, value in attributes.items())}];"


def _edge_line(index: int, edge: Edge, graph: Graph) -> str:
    names = {node.key: node.label for node in graph.nodes}
    if not edge.fan_in:
        how, label = "one value", edge.parameter
    elif edge.per:
        how, label = f"a list of the partitions with the same {', '.join(edge.per)}", f"{edge.parameter}\nper {', '.join(edge.per)}"
    else:
        how, label = "a list of every partition", edge.parameter
    attributes = {
        "id": _quoted(f"edge-{index}"),
        "class": _quoted("input fan-in" if edge.fan_in else "input one"),
        "label": _quoted(label),
        "tooltip": _quoted(f"{names[edge.target]} takes {names[edge.source]} as {edge.parameter}: {how}"),
        "color": _quoted(f"{LINE}:invis:{LINE}" if edge.fan_in else LINE),
    }
    return f"  {edge.source} -> {edge.target} [{', '.join(f'{name}={value}' for name, value in attributes.items())}];"


def dot_text(graph: Graph, *, links: bool = False) -> str:
    """The graph as DOT; with `links`, each asset links to `#jobs-<key>` on the page that holds it."""
    lines = [
        "digraph sorva {",
        f'  graph [rankdir=LR, nodesep=0.35, ranksep=0.7, fontname="{FONT}"];',
        f'  node [fontname="{FONT}", fontsize=13];',
        f'  edge [fontname="{FONT}", fontsize=10, fontcolor="#333333", arrowsize=0.8];',
    ]
    lines += [_node_line(node, graph, links) for node in graph.nodes]
    lines += [_edge_line(index, edge, graph) for index, edge in enumerate(graph.edges)]
    lines.append("}")
    return "\n".join(lines) + "\n"


def render(dot: str, kind: str) -> bytes:
    """What `dot -T<kind>` lays out for this DOT text: svg, png or pdf."""
    try:
        done = subprocess.run(
            ["dot", f"-T{kind}"], input=dot.encode("utf-8"), capture_output=True, timeout=DOT_SECONDS, check=False
        )
    except FileNotFoundError:
        raise GraphvizError("Graphviz's dot was not found; install Debian's graphviz, or use --format dot") from None
    except subprocess.TimeoutExpired:
        raise GraphvizError(f"Graphviz's dot did not finish within {DOT_SECONDS:g} seconds") from None
    except OSError as error:
        raise GraphvizError(f"could not start Graphviz's dot: {error.strerror}") from None
    if done.returncode != 0:
        lines = done.stderr.decode("utf-8", "replace").strip().splitlines()
        raise GraphvizError(f"Graphviz's dot failed: {lines[-1] if lines else f'exit status {done.returncode}'}")
    return done.stdout


def render_svg(dot: str) -> str:
    """The SVG document that `dot -Tsvg` lays out for this DOT text."""
    return render(dot, "svg").decode("utf-8")


def svg_element(svg: str) -> str:
    """The `<svg>` element of an SVG document, for a page to hold inline."""
    start = svg.find("<svg")
    return svg[start:].strip() if start >= 0 else ""
