"""The asset graph as plain data: one node per asset, one edge per input, and the outcomes of a run."""

from __future__ import annotations

import math
from collections.abc import Iterable, Sequence
from dataclasses import dataclass

from sorva._outcomes import BY_ATTENTION

TYPE_CHECKING = False
if TYPE_CHECKING:
    from sorva._runner.plan import Asset

# The words of the outcomes a job can have in a run, the ones that need attention first.
OUTCOMES = tuple(state.word for state in BY_ATTENTION)


@dataclass(frozen=True)
class Node:
    """One asset; `found` is false for an input ref that names no discovered asset."""

    key: str  # a short identifier, unique in the graph, usable in DOT, HTML and URLs
    ref: str
    label: str
    declared_name: str | None = None
    dimensions: tuple[tuple[str, int], ...] = ()  # each dimension's name and number of keys
    found: bool = True

    @property
    def partitions(self) -> int:
        return math.prod(count for _, count in self.dimensions)


@dataclass(frozen=True)
class Edge:
    """One input: `target` takes the value of `source` as `parameter`.

    With `fan_in` false each job of the target gets a single value; with it
    true, a list of upstream partitions: all of them, or, when `per` names
    the shared dimensions, those that agree with the job on them.
    """

    source: str  # node keys
    target: str
    parameter: str
    fan_in: bool
    per: tuple[str, ...] = ()


@dataclass(frozen=True)
class JobRow:
    """One job of a run, as the report shows it."""

    asset: str  # the asset's ref
    label: str  # the asset's label in that run
    partition: str  # "city=oslo year=2024", empty for an unpartitioned asset
    outcome: str  # one of OUTCOMES
    seconds: float | None = None
    error: str = ""  # why a job failed or was skipped
    folder: str | None = None  # the job folder relative to the output folder, "/"-separated
    files: tuple[str, ...] = ()  # the job files the folder holds, in the order the page lists them
    traceback: str = ""  # a failed job's traceback, from its worker.log
    started: str | None = None  # when it started, ISO 8601
    from_run: int | None = None  # the earlier run this latest outcome is from; None for the run shown


@dataclass(frozen=True)
class Graph:
    nodes: tuple[Node, ...]
    edges: tuple[Edge, ...]
    # Node key -> outcome -> number of jobs in the run shown; None when no run is shown.
    outcomes: dict[str, dict[str, int]] | None = None


def build(assets: Sequence[Asset]) -> Graph:
    """The graph of the planned assets, in their order; an input naming no asset gets a node of its own."""
    nodes: dict[str, Node] = {}
    for asset in assets:
        nodes[asset.ref] = Node(
            key=f"a{len(nodes)}",
            ref=asset.ref,
            label=asset.label,
            declared_name=asset.declared_name,
            dimensions=tuple((d.name, len(d.keys)) for d in asset.dimensions),
        )
    by_ref = {asset.ref: asset for asset in assets}
    edges = []
    for asset in assets:
        for parameter, ref in sorted(asset.inputs.items()):
            if ref not in nodes:
                nodes[ref] = Node(key=f"a{len(nodes)}", ref=ref, label=ref.rpartition(":")[2] or ref, found=False)
            upstream = by_ref.get(ref)
            wanted = upstream.dimension_names if upstream else frozenset()
            shared = wanted & asset.dimension_names
            edges.append(
                Edge(
                    source=nodes[ref].key,
                    target=nodes[asset.ref].key,
                    parameter=parameter,
                    fan_in=shared != wanted,
                    per=tuple(sorted(shared)) if shared != wanted else (),
                )
            )
    return Graph(tuple(nodes.values()), tuple(edges))


def with_outcomes(graph: Graph, rows: Iterable[JobRow]) -> Graph:
    """The graph with each node's count of jobs per outcome; rows of assets not in the graph are left out."""
    keys = {node.ref: node.key for node in graph.nodes}
    outcomes: dict[str, dict[str, int]] = {}
    for row in rows:
        if row.asset in keys:
            counts = outcomes.setdefault(keys[row.asset], {})
            counts[row.outcome] = counts.get(row.outcome, 0) + 1
    return Graph(graph.nodes, graph.edges, outcomes)


def worst(counts: dict[str, int]) -> str | None:
    """The outcome that most needs attention among these counts."""
    return next((outcome for outcome in OUTCOMES if counts.get(outcome)), None)
