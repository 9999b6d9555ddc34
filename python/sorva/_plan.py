"""Turns the inspection output into jobs: one per asset and partition, with their upstream jobs."""

from __future__ import annotations

import hashlib
import heapq
import itertools
import json
import re
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field
from pathlib import PurePath
from typing import Any


class PlanError(Exception):
    """The pipeline cannot run as declared; `problems` holds one sentence per fault."""

    def __init__(self, problems: Sequence[str]) -> None:
        super().__init__("\n".join(problems))
        self.problems = list(problems)


@dataclass(frozen=True)
class Dimension:
    name: str
    keys: tuple[Any, ...]


@dataclass
class Asset:
    ref: str
    module: str
    function: str
    declared_name: str | None
    inputs: dict[str, str]
    dimensions: tuple[Dimension, ...]
    order: int
    label: str = ""
    problems: list[str] = field(default_factory=list)

    @property
    def dimension_names(self) -> frozenset[str]:
        return frozenset(d.name for d in self.dimensions)


@dataclass(frozen=True)
class Feed:
    """How one parameter of a job gets its value.

    With `fan_in` false the parameter takes the value of the single job in
    `jobs`; with it true, a list of `{"partition": ..., "value": ...}` entries,
    one per job, in partition order.
    """

    parameter: str
    jobs: tuple[Job, ...]
    fan_in: bool


@dataclass(eq=False)
class Job:
    asset: Asset
    partition: dict[str, Any]
    folder: PurePath
    index: int
    feeds: list[Feed] = field(default_factory=list)

    @property
    def upstream(self) -> list[Job]:
        seen: dict[int, Job] = {}
        for feed in self.feeds:
            for job in feed.jobs:
                seen.setdefault(job.index, job)
        return [seen[i] for i in sorted(seen)]

    def partition_text(self) -> str:
        return " ".join(f"{name}={key_text(key)}" for name, key in self.partition.items())

    def describe(self) -> str:
        """The asset and its partition keys, as shown to people."""
        keys = self.partition_text()
        return f"{self.asset.label} {keys}" if keys else self.asset.label


def key_text(key: Any) -> str:
    return key if isinstance(key, str) else json.dumps(key)


def canonical(value: Any) -> str:
    """A text that is equal for equal JSON values (and tells 1 from true)."""
    return json.dumps(value, sort_keys=True, separators=(",", ":"))


def read_assets(inspection: Any, roots: Sequence[str] = ()) -> list[Asset]:
    """The distinct assets of an inspection output, in the order they were found.

    An asset is identified by its ref, the text `inputs` stores for a
    decorated upstream; an asset found in several modules is kept once. A
    problem in an asset's declaration is kept with the asset and reported
    only if the asset is planned (`Asset.problems`).
    """
    records = inspection.get("assets") if isinstance(inspection, dict) else None
    if not isinstance(records, list):
        raise PlanError(['the inspection output has no "assets" list'])
    found_in: dict[str, list[str]] = {}
    first: dict[str, dict[str, Any]] = {}
    for record in records:
        ref = f"{record['file_path']}:{record['function_name']}"
        first.setdefault(ref, record)
        found_in.setdefault(ref, []).append(record["module_path"])
    assets: list[Asset] = []
    for ref, record in first.items():
        metadata = record["decorator_metadata"]
        if not isinstance(metadata, dict):
            metadata = {}
        asset = Asset(
            ref=ref,
            module=_home_module(record["file_path"], found_in[ref], roots),
            function=record["function_name"],
            declared_name=metadata.get("name"),
            inputs=dict(metadata.get("inputs") or {}),
            dimensions=(),
            order=len(assets),
        )
        asset.dimensions = _read_dimensions(asset, metadata.get("partitions") or {}, asset.problems)
        assets.append(asset)
    _give_labels(assets)
    return assets


def _home_module(file_path: str, found_in: list[str], roots: Sequence[str]) -> str:
    """A module that defines the asset under its own name, for the worker to call it through.

    A module that imports an asset under another name (`from base import raw
    as r`) has no member named after the function, so the asset is called
    through the module its file imports as: named from the file's place
    under an import root, preferring a name the inspection found it under.
    When the file lies under no root, the first module it was found in is
    the best guess left.
    """
    path = PurePath(file_path)
    names = []
    for root in roots:
        try:
            parts = list(path.relative_to(root).with_suffix("").parts)
        except ValueError:
            continue
        if path.suffix != ".py" or not parts:
            continue
        if parts[-1] == "__init__":
            parts.pop()
        if parts and all(part.isidentifier() for part in parts):
            names.append(".".join(parts))
    for name in found_in:
        if name in names:
            return name
    return min(names, key=len) if names else found_in[0]


def _read_dimensions(asset: Asset, declared: dict[str, Any], problems: list[str]) -> tuple[Dimension, ...]:
    dimensions = []
    for name in sorted(declared):
        spec = declared[name]
        where = f"asset '{asset.function}' partition dimension '{name}'"
        if not isinstance(spec, dict) or spec.get("kind") != "inline":
            problems.append(f"{where}: unsupported declaration {json.dumps(spec)}")
            continue
        try:
            keys = json.loads(spec["values_json"])
        except (KeyError, TypeError, ValueError):
            problems.append(f"{where}: unreadable values_json {json.dumps(spec.get('values_json'))}")
            continue
        seen: set[str] = set()
        for key in keys:
            if canonical(key) in seen:
                problems.append(f"{where} lists the key {canonical(key)} more than once")
            seen.add(canonical(key))
        if name in asset.inputs:
            problems.append(f"asset '{asset.function}': '{name}' is both a partition dimension and an input parameter")
        dimensions.append(Dimension(name, tuple(keys)))
    return tuple(dimensions)


def _give_labels(assets: list[Asset]) -> None:
    """Names assets by function name, adding the module only where two share one."""
    by_function: dict[str, int] = {}
    for asset in assets:
        by_function[asset.function] = by_function.get(asset.function, 0) + 1
    labels: dict[str, int] = {}
    for asset in assets:
        label = asset.function if by_function[asset.function] == 1 else f"{asset.module}.{asset.function}"
        labels[label] = labels.get(label, 0) + 1
        asset.label = label
    for asset in assets:
        if labels[asset.label] > 1:
            asset.label = f"{asset.label}~{_digest(asset.ref)}"


def check_graph(assets: list[Asset]) -> None:
    """Refuses declaration problems, inputs that name no discovered asset, and dependency cycles.

    The walk keeps its own stack: a chain of thousands of assets is an
    ordinary pipeline, not a reason to run out of interpreter stack.
    """
    by_ref = {asset.ref: asset for asset in assets}
    problems = [problem for asset in assets for problem in asset.problems]
    problems += [
        f"asset '{asset.label}' parameter '{parameter}': no asset found with the ref '{ref}'"
        for asset in assets
        for parameter, ref in sorted(asset.inputs.items())
        if ref not in by_ref
    ]
    if problems:
        raise PlanError(sorted(set(problems)))
    state: dict[str, str] = {}
    for root in assets:
        if root.ref in state:
            continue
        state[root.ref] = "open"
        path: list[tuple[Asset, str]] = []
        stack = [(root, iter(sorted(root.inputs.items())))]
        while stack:
            asset, pending = stack[-1]
            step = next(pending, None)
            if step is None:
                state[asset.ref] = "done"
                stack.pop()
                if path:
                    path.pop()
                continue
            parameter, ref = step
            if state.get(ref) == "done":
                continue
            path.append((asset, parameter))
            if state.get(ref) == "open":
                start = next(i for i, (a, _) in enumerate(path) if a.ref == ref)
                steps = ", ".join(
                    f"'{a.label}' takes '{by_ref[a.inputs[p]].label}' as '{p}'" for a, p in path[start:]
                )
                raise PlanError([f"dependency cycle: {steps}"])
            state[ref] = "open"
            stack.append((by_ref[ref], iter(sorted(by_ref[ref].inputs.items()))))


def select(assets: list[Asset], names: Iterable[str]) -> list[Asset]:
    """The assets matching any of `names`, with everything upstream of them.

    A name matches an asset's function name, its ref or its declared name.
    Raises LookupError naming the first name that matches nothing.
    """
    by_ref = {asset.ref: asset for asset in assets}
    wanted: set[str] = set()
    for name in names:
        matches = [a.ref for a in assets if name in (a.function, a.ref, a.declared_name)]
        if not matches:
            raise LookupError(name)
        wanted.update(matches)
    todo = list(wanted)
    while todo:
        for ref in by_ref[todo.pop()].inputs.values():
            if ref in by_ref and ref not in wanted:
                wanted.add(ref)
                todo.append(ref)
    return [asset for asset in assets if asset.ref in wanted]


def make_jobs(assets: list[Asset]) -> list[Job]:
    """One job per asset and combination of partition keys, upstream jobs first.

    Expects `check_graph` to have passed. Among jobs whose upstreams are
    equally ready, the order is that of discovery, then partition order.
    """
    by_ref = {asset.ref: asset for asset in assets}
    jobs_of: dict[str, list[Job]] = {}
    jobs: list[Job] = []
    problems: list[str] = []
    for asset in _dependency_order(assets, by_ref):
        jobs_of[asset.ref] = []
        partitions = [
            {d.name: key for d, key in zip(asset.dimensions, keys)}
            for keys in itertools.product(*(d.keys for d in asset.dimensions))
        ]
        for partition, folder in zip(partitions, _job_folders(asset, partitions)):
            job = Job(asset, partition, folder, len(jobs))
            for parameter, ref in sorted(asset.inputs.items()):
                feed = _feed(job, parameter, by_ref[ref], jobs_of[ref], problems)
                if feed is not None:
                    job.feeds.append(feed)
            jobs_of[asset.ref].append(job)
            jobs.append(job)
    if problems:
        raise PlanError(list(dict.fromkeys(problems)))
    return jobs


def _dependency_order(assets: list[Asset], by_ref: dict[str, Asset]) -> list[Asset]:
    missing = {asset.ref: len(set(asset.inputs.values())) for asset in assets}
    downstream: dict[str, list[Asset]] = {asset.ref: [] for asset in assets}
    for asset in assets:
        for ref in set(asset.inputs.values()):
            downstream[ref].append(asset)
    ready = [(asset.order, asset.ref) for asset in assets if missing[asset.ref] == 0]
    heapq.heapify(ready)
    ordered = []
    while ready:
        _, ref = heapq.heappop(ready)
        ordered.append(by_ref[ref])
        for later in downstream[ref]:
            missing[later.ref] -= 1
            if missing[later.ref] == 0:
                heapq.heappush(ready, (later.order, later.ref))
    return ordered


def _feed(job: Job, parameter: str, upstream: Asset, upstream_jobs: list[Job], problems: list[str]) -> Feed | None:
    asset = job.asset
    shared = upstream.dimension_names & asset.dimension_names
    if shared == upstream.dimension_names:
        wanted = canonical({name: job.partition[name] for name in sorted(shared)})
        for candidate in upstream_jobs:
            if canonical(dict(sorted(candidate.partition.items()))) == wanted:
                return Feed(parameter, (candidate,), fan_in=False)
        problems.append(
            f"asset '{asset.label}' partition {job.partition_text()} "
            f"has no matching partition of '{upstream.label}' (parameter '{parameter}')"
        )
        return None
    if not shared:
        return Feed(parameter, tuple(upstream_jobs), fan_in=True)
    problems.append(
        f"asset '{asset.label}' parameter '{parameter}': upstream '{upstream.label}' is partitioned by "
        f"{', '.join(sorted(upstream.dimension_names))} but '{asset.label}' only shares "
        f"{', '.join(sorted(shared))}; a downstream must have all of its upstream's dimensions or none"
    )
    return None


_UNSAFE = re.compile(r"[^A-Za-z0-9._-]")


def _digest(text: str) -> str:
    return hashlib.sha1(text.encode("utf-8", "surrogatepass")).hexdigest()[:8]


def safe_name(text: str) -> str:
    """A file name that shows `text` where it can.

    Characters other than letters, digits, ".", "_" and "-" become "_"; when
    that changed anything, or the text is long or reserved, "~" and a digest of
    the text follow, so distinct texts keep distinct names.
    """
    name = _UNSAFE.sub("_", text)[:60]
    if name != text or name in ("", ".", ".."):
        name = f"{name}~{_digest(text)}"
    return name


def _job_folders(asset: Asset, partitions: list[dict[str, Any]]) -> list[PurePath]:
    """`<asset>` or `<asset>/<dimension>=<key>,...` per partition, relative to the output folder.

    A key that is not a string is shown as its JSON text; should that clash
    with a string key (1 and "1"), both get a digest of the whole partition.
    Names made by `safe_name` without a digest never hold a "~", so the
    digests cannot clash with a plain name.
    """
    base = PurePath(safe_name(asset.label))
    if not asset.dimensions:
        return [base]
    names = [
        ",".join(f"{safe_name(name)}={safe_name(key_text(key))}" for name, key in partition.items())
        for partition in partitions
    ]
    counts: dict[str, int] = {}
    for name in names:
        counts[name] = counts.get(name, 0) + 1
    return [
        base / (name if counts[name] == 1 else f"{name}~{_digest(canonical(partition))}")
        for name, partition in zip(names, partitions)
    ]
