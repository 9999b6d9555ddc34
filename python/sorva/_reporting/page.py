"""The report page: one self-contained HTML file with the asset graph and the jobs of a run."""

from __future__ import annotations

import datetime
import heapq
import html
from collections.abc import Sequence
from dataclasses import dataclass
from urllib.parse import quote

from sorva._reporting.dot import COLOURS, FONT, OTHER, counts_text
from sorva._reporting.graph import Graph, JobRow

# Groups of at most this many jobs in all are shown open; beyond it only the
# groups that hold a job that did not succeed are, so that a page of
# thousands of jobs opens on what needs attention.
OPEN_ALL_UP_TO = 200
# Failures sort first, then what they held up, then the rest.
_ATTENTION = {"failed": 0, "interrupted": 0, "skipped": 1}
_DOT = " \u00b7 "
_TABLE_HEAD = (
    '<table><colgroup><col class="partition"><col class="outcome"><col class="seconds"><col class="error">'
    '<col class="files"></colgroup><thead><tr><th>partition</th><th>outcome</th><th class="seconds">seconds</th>'
    "<th>error</th><th>files</th></tr></thead><tbody>"
)

# Nothing on the page may reach the network: styles are inline and nothing else loads.
_POLICY = "default-src 'none'; style-src 'unsafe-inline'; img-src data:"
_STYLE = """
body { font: 14px/1.45 system-ui, -apple-system, "Segoe UI", Helvetica, Arial, sans-serif; color: #212121;
       margin: 0 auto; padding: 1.5rem; max-width: 80rem; }
h1 { font-size: 1.4rem; margin: 0 0 .25rem; } h2 { font-size: 1.1rem; margin: 1.75rem 0 .5rem; }
.meta { color: #616161; margin: 0; }
/* A large graph keeps the size its text is read at; the box scrolls. */
.graph { border: 1px solid #e0e0e0; border-radius: 6px; padding: .75rem; overflow: auto; background: #fff;
         max-height: 80vh; }
.legend { color: #616161; font-size: 12px; margin: .5rem 0 0; }
.legend .line { display: inline-block; width: 2rem; vertical-align: middle; border-top: 2px solid #555; }
.legend .line.fan-in { border-top: 5px double #555; }
.badge { display: inline-block; padding: 0 .45em; border-radius: 3px; font-size: 12px; white-space: nowrap; }
details.asset { border: 1px solid #e0e0e0; border-radius: 6px; margin: .5rem 0; }
details.asset > summary { cursor: pointer; padding: .4rem .6rem; background: #fafafa; border-radius: 6px; }
details.asset > summary .name { font-weight: 600; margin-right: .5rem; }
details.asset > summary .ref { color: #9e9e9e; font-size: 12px; margin-right: .5rem; }
table { border-collapse: collapse; width: 100%; table-layout: fixed; }
col.partition { width: 22%; } col.outcome { width: 8rem; } col.seconds { width: 5.5rem; } col.files { width: 17rem; }
th, td { text-align: left; padding: .2rem .6rem; border-top: 1px solid #eeeeee; vertical-align: top; }
th { font-weight: 600; color: #616161; font-size: 12px; }
th.seconds, td.seconds { text-align: right; font-variant-numeric: tabular-nums; white-space: nowrap; }
td.error { font-family: ui-monospace, "DejaVu Sans Mono", monospace; font-size: 12px; white-space: pre-wrap;
           word-break: break-word; }
td.error summary { cursor: pointer; color: #616161; font-family: system-ui, sans-serif; }
td.files a { margin-right: .5rem; }
td { overflow-wrap: anywhere; }
.none { color: #9e9e9e; }
.run { color: #616161; font-size: 12px; }
.timeline { border: 1px solid #e0e0e0; border-radius: 6px; padding: .5rem; max-height: 60vh; overflow: auto; }
.lane { position: relative; height: 12px; margin: 2px 0; background: #fafafa; }
.lane span { position: absolute; top: 0; bottom: 0; min-width: 2px; border-radius: 2px; }
""" + f'.graph svg text {{ font-family: "{FONT}", sans-serif; }}\n'  # the font the graph was laid out with


@dataclass(frozen=True)
class RunInfo:
    """What the page says about the run it shows."""

    title: str  # names the run, e.g. "run 3"
    details: tuple[str, ...] = ()  # short facts: when it started, how long it took, its command


def _e(text: object) -> str:
    return html.escape(str(text), quote=True)


def _badge(outcome: str, text: str) -> str:
    fill, ink = COLOURS.get(outcome, OTHER)
    return f'<span class="badge outcome-{_e(outcome)}" style="background:{fill};color:{ink}">{_e(text)}</span>'


def _badges(counts: dict[str, int]) -> str:
    return " ".join(_badge(outcome, f"{n} {outcome}") for outcome, n in counts_text(counts))


def _counts(rows: Sequence[JobRow]) -> dict[str, int]:
    counts: dict[str, int] = {}
    for row in rows:
        counts[row.outcome] = counts.get(row.outcome, 0) + 1
    return counts


def _files(row: JobRow, link_base: str) -> str:
    if row.folder is None or not row.files:
        return '<span class="none">\u2014</span>'
    return " ".join(
        f'<a href="{_e(link_base + quote(f"{row.folder}/{name}", safe="/=,"))}">{_e(name)}</a>'
        for name in row.files
    )


def _row(row: JobRow, link_base: str) -> str:
    seconds = f"{row.seconds:.2f}" if row.seconds is not None else ""
    partition = _e(row.partition) if row.partition else '<span class="none">\u2014</span>'
    traceback = f"<details><summary>traceback</summary>{_e(row.traceback)}</details>" if row.traceback else ""
    earlier = f' <span class="run">run {row.from_run}</span>' if row.from_run is not None else ""
    return (
        f'<tr class="job outcome-{_e(row.outcome)}"><td>{partition}</td><td>{_badge(row.outcome, row.outcome)}{earlier}</td>'
        f'<td class="seconds">{seconds}</td><td class="error">{_e(row.error)}{traceback}</td>'
        f'<td class="files">{_files(row, link_base)}</td></tr>'
    )


def _groups(graph: Graph, rows: Sequence[JobRow]) -> list[tuple[str, str, str, list[JobRow]]]:
    """(anchor, label, ref, rows) per asset: those with failures first, otherwise in graph order."""
    keys = {node.ref: (node.key, node.label) for node in graph.nodes}
    grouped: dict[str, list[JobRow]] = {}
    for row in rows:
        grouped.setdefault(row.asset, []).append(row)
    order = {node.ref: index for index, node in enumerate(graph.nodes)}
    groups: list[tuple[str, str, str, list[JobRow]]] = []
    for ref, members in grouped.items():
        # Assets a run held that the graph no longer has are kept, after the others.
        key, label = keys.get(ref, (f"x{len(groups)}", members[0].label))
        members.sort(key=lambda row: _ATTENTION.get(row.outcome, 2))
        groups.append((key, label, ref, members))
    groups.sort(key=lambda group: (_ATTENTION.get(group[3][0].outcome, 2), order.get(group[2], len(order))))
    return groups


def _jobs_section(graph: Graph, rows: Sequence[JobRow], link_base: str) -> list[str]:
    parts = ['<section id="jobs"><h2>Jobs</h2>']
    if not rows:
        parts.append('<p class="none">No job ran.</p>')
    open_all = len(rows) <= OPEN_ALL_UP_TO
    for key, label, ref, members in _groups(graph, rows):
        opened = " open" if open_all or members[0].outcome in _ATTENTION else ""
        parts.append(
            f'<details class="asset" id="jobs-{_e(key)}"{opened}><summary><span class="name">{_e(label)}</span>'
            f'<span class="ref">{_e(ref)}</span>{_badges(_counts(members))}</summary>'
            + _TABLE_HEAD
        )
        parts.extend(_row(row, link_base) for row in members)
        parts.append("</tbody></table></details>")
    parts.append("</section>")
    return parts


def when(text: str | None) -> datetime.datetime | None:
    """A time the history holds (ISO 8601), None for none or one that is not a time."""
    try:
        return datetime.datetime.fromisoformat(text) if text else None
    except ValueError:
        return None


# Start times are kept to the millisecond: a job that starts within one of another's end follows it.
_TICK = 0.001


def slots(rows: Sequence[JobRow]) -> list[tuple[int, float, float, JobRow]]:
    """(slot, start, end, row) of each job that ran, in seconds since the first started.

    The slot is the worker a job ran on as far as the times tell: each job
    takes the lowest slot that is free when it starts (greedy interval assignment).
    """
    timed = sorted(
        ((begun.timestamp(), begun.timestamp() + (row.seconds or 0.0), row) for row in rows if (begun := when(row.started))),
        key=lambda item: item[:2],
    )
    if not timed:
        return []
    first = timed[0][0]
    free: list[int] = []
    busy: list[tuple[float, int]] = []  # (end, slot) of the jobs running
    placed = []
    for start, end, row in timed:
        while busy and busy[0][0] <= start + _TICK:
            heapq.heappush(free, heapq.heappop(busy)[1])
        slot = heapq.heappop(free) if free else len(busy)
        heapq.heappush(busy, (end, slot))
        placed.append((slot, start - first, end - first, row))
    return placed


def timeline_section(rows: Sequence[JobRow]) -> str:
    """Which job ran when, one lane per worker slot."""
    placed = slots(rows)
    if not placed:
        return '<section id="timeline"><h2>Timeline</h2><p class="none">No job ran.</p></section>'
    span = max(end for _, _, end, _ in placed) or 1.0
    lanes: dict[int, list[str]] = {}
    for slot, start, end, row in placed:
        fill, _ = COLOURS.get(row.outcome, OTHER)
        name = f"{row.label} {row.partition}".strip()
        lanes.setdefault(slot, []).append(
            f'<span class="outcome-{_e(row.outcome)}" title="{_e(name)}: {_e(row.outcome)}, {end - start:.2f} s '
            f'from {start:.2f} s" style="left:{start / span * 100:.3f}%;width:{(end - start) / span * 100:.3f}%;'
            f'background:{fill}"></span>'
        )
    return (
        f'<section id="timeline"><h2>Timeline</h2><p class="meta">{len(lanes)} worker slot'
        f'{"" if len(lanes) == 1 else "s"}, {span:.2f} s</p><div class="timeline">'
        + "".join(f'<div class="lane">{"".join(bars)}</div>' for _, bars in sorted(lanes.items()))
        + "</div></section>"
    )


def report_page(
    graph: Graph,
    rows: Sequence[JobRow] | None,
    *,
    title: str,
    svg: str | None,
    graph_note: str = "",
    run: RunInfo | None = None,
    link_base: str = "",
) -> str:
    """The page: a heading, the graph (`svg`, an inline `<svg>` element, or `graph_note` saying why
    there is none) and, when `rows` is not None, the jobs of the run grouped per asset.

    `link_base` leads from the page to the output folder, in which each row's folder lies.
    """
    parts = [
        "<!DOCTYPE html>",
        '<html lang="en"><head><meta charset="utf-8">',
        f'<meta http-equiv="Content-Security-Policy" content="{_POLICY}">',
        '<meta name="viewport" content="width=device-width, initial-scale=1">',
        f"<title>{_e(title)}</title><style>{_STYLE}</style></head><body>",
        f"<header><h1>{_e(title)}</h1>",
    ]
    if run is not None:
        parts.append(f'<p class="meta">{_e(_DOT.join((run.title, *run.details)))}</p>')
    if rows is not None:
        parts.append(f'<p class="summary">{len(rows)} job{"" if len(rows) == 1 else "s"}: {_badges(_counts(rows))}</p>')
    parts.append('</header><section id="graph"><h2>Assets</h2>')
    if svg:
        parts.append(f'<div class="graph">{svg}</div>')
        parts.append(
            '<p class="legend"><span class="line"></span> one value per job &nbsp; '
            '<span class="line fan-in"></span> a list of partitions per job (fan-in)'
            + (" &nbsp; " + " ".join(_badge(o, o) for o in COLOURS) if rows is not None else "")
            + "</p>"
        )
    else:
        parts.append(f'<p class="none">{_e(graph_note)}</p>')
    parts.append("</section>")
    if rows is not None:
        parts.extend(_jobs_section(graph, rows, link_base))
        if run is not None:
            parts.append(timeline_section([row for row in rows if row.from_run is None]))
    parts.append("</body></html>")
    return "\n".join(parts) + "\n"
