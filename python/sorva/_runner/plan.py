"""Turns the inspection output into jobs: one per asset and partition, with their upstream jobs."""

from __future__ import annotations

import hashlib
import heapq
import itertools
import json
import re
import tokenize
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass
from functools import cached_property
from pathlib import PurePath
from typing import Any

from sorva._history import canonical, key_text, partition_text
from sorva._runner.codekey import WHOLE_MODULE, Code, ModuleCode, code_of


class PlanError(Exception):
    """The pipeline cannot run as declared; `problems` holds one sentence per fault."""

    def __init__(self, problems: Sequence[str]) -> None:
        super().__init__("\n".join(problems))
        self.problems = list(problems)


@dataclass(frozen=True)
class Dimension:
    name: str
    keys: tuple[Any, ...]


@dataclass(frozen=True)
class Asset:
    ref: str
    module: str  # a module that defines the asset under its own name
    function: str
    declared_name: str | None
    inputs: dict[str, str]  # parameter -> upstream ref
    dimensions: tuple[Dimension, ...]
    order: int  # place in discovery order
    label: str  # as shown to people: the function name, qualified where two share it
    code: Code  # what of its module's code its key holds
    problems: tuple[str, ...] = ()  # declaration faults, reported only if the asset is planned
    serializer: str | None = None  # as declared; None stores the value as JSON

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


@dataclass(frozen=True, eq=False)
class Job:
    """One run of an asset for one partition; `index` is its place in the plan, upstream jobs first."""

    asset: Asset
    partition: dict[str, Any]
    folder: PurePath  # relative to the output folder
    index: int
    feeds: tuple[Feed, ...] = ()
    upstream: tuple[Job, ...] = ()  # distinct, in plan order

    @cached_property
    def partition_json(self) -> str:
        return canonical(self.partition)

    def describe(self) -> str:
        """The asset and its partition keys, as shown to people."""
        keys = partition_text(self.partition)
        return f"{self.asset.label} {keys}" if keys else self.asset.label


@dataclass(frozen=True)
class Plan:
    assets: tuple[Asset, ...]
    jobs: tuple[Job, ...]


def job_key(job: Job, digests: Mapping[int, str]) -> str:
    """The job's key: what its value depends on, as far as the runner can tell.

    A SHA-256 over canonical JSON of the asset's ref, the digests of its code
    (`Asset.code`), the partition keys, and for each parameter the digests
    of the upstream values it receives (`digests` by job index), a list in
    partition order where it receives several. Digests of values rather than
    keys of upstream jobs, so that an upstream that changed but gave the same
    value leaves this key as it was.
    """
    received = {
        feed.parameter: [digests[j.index] for j in feed.jobs] if feed.fan_in else digests[feed.jobs[0].index]
        for feed in job.feeds
    }
    return _sha256({**_own_part(job), "inputs": received})


def job_recipe(job: Job) -> str:
    """What of the key the job brings itself, for the history: its code's digests by name, as canonical JSON.

    With the ref and the partition, which the history keeps beside it, it
    tells a changed source from a changed input, and names what changed.
    """
    return canonical(job.asset.code.digests)


def code_change(job: Job, recipe: str | None) -> str:
    """What changed in the job's code since the recipe of its last success, in a few words; "" when nothing did."""
    code = job.asset.code
    try:
        before = json.loads(recipe) if recipe else None
    except (ValueError, RecursionError):
        before = None
    if not isinstance(before, dict):
        return "changed source (key of an earlier sorva)"
    if before == code.digests:
        return ""
    if WHOLE_MODULE in code.digests:
        return f"module changed (the whole module counts: {code.why})"
    if WHOLE_MODULE in before:
        return "module changed (its code is now read name by name)"
    if before.get(job.asset.function) != code.digests[job.asset.function]:
        return "its own source changed"
    changed = [name for name in code.digests if before.get(name) != code.digests[name]]
    if not changed:  # it uses fewer names than before, which its own source would show
        return "its own source changed"
    more = f" and {len(changed) - 1} more" if len(changed) > 1 else ""
    return f"{code.kinds[changed[0]]} `{changed[0]}`{more} changed"


def _own_part(job: Job) -> dict[str, Any]:
    return {"code": job.asset.code.digests, "partition": job.partition, "ref": job.asset.ref}


def _sha256(value: Any) -> str:
    return hashlib.sha256(canonical(value).encode("utf-8", "surrogatepass")).hexdigest()


def read_assets(inspection: Any, roots: Sequence[str] = ()) -> list[Asset]:
    """The distinct assets of an inspection output, in the order they were found.

    An asset is identified by its ref, the text `inputs` stores for a
    decorated upstream; an asset found in several modules is kept once. A
    problem in an asset's declaration is kept with the asset and reported
    only if the asset is planned (`Asset.problems`). `roots` are the folders
    modules are imported from, for `_home_module`.
    """
    records = inspection.get("assets") if isinstance(inspection, dict) else None
    if not isinstance(records, list):
        raise PlanError(['the inspection output has no "assets" list'])
    found_in: dict[str, list[str]] = {}
    first: dict[str, dict[str, Any]] = {}
    sources: dict[tuple[str, str], str] = {}  # (ref, module) -> the source of a module it was found in
    for record in records:
        ref = f"{record['file_path']}:{record['function_name']}"
        first.setdefault(ref, record)
        found_in.setdefault(ref, []).append(record["module_path"])
        sources.setdefault((ref, record["module_path"]), record["module_source"])
    labels = _labels([(record["function_name"], found_in[ref][0], ref) for ref, record in first.items()])
    modules: dict[str, ModuleCode] = {}
    files: dict[str, str] = {}  # the text of a file that defines assets, "" when it cannot be read
    assets = []
    for order, (ref, record) in enumerate(first.items()):
        metadata = record["decorator_metadata"]
        if not isinstance(metadata, dict):
            metadata = {}
        inputs = dict(metadata.get("inputs") or {})
        problems: list[str] = []
        dimensions = _read_dimensions(record["function_name"], inputs, metadata.get("partitions") or {}, problems)
        module = _home_module(record["file_path"], found_in[ref], roots)
        # The code it uses is read in the module that defines it, not in one that imports it,
        # from its file when no listed module is that one.
        source = sources.get((ref, module))
        if source is None:
            path = record["file_path"]
            if path not in files:
                files[path] = _file_text(path)
            source = files[path] or record["module_source"]
        assets.append(
            Asset(
                ref=ref,
                module=module,
                function=record["function_name"],
                declared_name=metadata.get("name"),
                inputs=inputs,
                dimensions=dimensions,
                order=order,
                label=labels[ref],
                code=code_of(modules, source, record["function_name"], record["function_source"]),
                problems=tuple(problems),
                serializer=metadata.get("serializer") if isinstance(metadata.get("serializer"), str) else None,
            )
        )
    return assets


def _file_text(path: str) -> str:
    """The text of a module's file, decoded as the interpreter decodes it; "" when it cannot be read."""
    try:
        with tokenize.open(path) as file:
            return file.read()
    except (OSError, SyntaxError, ValueError):
        return ""


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


def _read_dimensions(
    function: str, inputs: dict[str, str], declared: dict[str, Any], problems: list[str]
) -> tuple[Dimension, ...]:
    dimensions = []
    for name in sorted(declared):
        spec = declared[name]
        where = f"asset '{function}' partition dimension '{name}'"
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
        if name in inputs:
            problems.append(f"asset '{function}': '{name}' is both a partition dimension and an input parameter")
        dimensions.append(Dimension(name, tuple(keys)))
    return tuple(dimensions)


def _labels(assets: list[tuple[str, str, str]]) -> dict[str, str]:
    """Names assets (function, module, ref) by function name, adding the module only where two share one."""
    by_function: dict[str, int] = {}
    for function, _, _ in assets:
        by_function[function] = by_function.get(function, 0) + 1
    labels = {
        ref: function if by_function[function] == 1 else f"{module}.{function}" for function, module, ref in assets
    }
    uses: dict[str, int] = {}
    for label in labels.values():
        uses[label] = uses.get(label, 0) + 1
    return {ref: label if uses[label] == 1 else f"{label}~{_digest(ref)}" for ref, label in labels.items()}


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


def named(assets: Iterable[Asset], names: Iterable[str]) -> set[str]:
    """The refs of the assets matching any of `names`: a function name, an asset ref or a declared name.

    Raises LookupError naming the first name that matches nothing.
    """
    assets = list(assets)
    wanted: set[str] = set()
    for name in names:
        matches = [a.ref for a in assets if name in (a.function, a.ref, a.declared_name)]
        if not matches:
            raise LookupError(name)
        wanted.update(matches)
    return wanted


def selected(assets: list[Asset], selections: Iterable[str]) -> set[str]:
    """The refs of the assets `selections` choose: `NAME` or `+NAME`, and everything downstream for `NAME+`, `+NAME+`.

    NAME is as `named` takes it. A selection that names an asset as it
    stands is that name, so that a name with a `+` of its own keeps it.
    Raises LookupError naming the first name that matches nothing.
    """
    downstream: dict[str, list[str]] = {}
    for asset in assets:
        for ref in asset.inputs.values():
            downstream.setdefault(ref, []).append(asset.ref)
    wanted: set[str] = set()
    for selection in selections:
        try:
            wanted |= named(assets, [selection])
            continue
        except LookupError:
            pass
        found = named(assets, [selection.lstrip("+").removesuffix("+")])
        wanted |= _reach(found, downstream) if selection.endswith("+") else found
    return wanted


def select(assets: list[Asset], refs: set[str]) -> list[Asset]:
    """The assets of `refs`, with everything upstream of them."""
    upstream = {asset.ref: list(asset.inputs.values()) for asset in assets}
    wanted = _reach(refs, upstream)
    return [asset for asset in assets if asset.ref in wanted]


def _reach(refs: set[str], edges: Mapping[str, list[str]]) -> set[str]:
    """`refs` and every ref that `edges` lead to from them."""
    reached = set(refs)
    todo = list(refs)
    while todo:
        for ref in edges.get(todo.pop(), ()):
            if ref not in reached:
                reached.add(ref)
                todo.append(ref)
    return reached


def plan(assets: list[Asset]) -> Plan:
    """The jobs of these assets; raises PlanError listing every problem found."""
    check_graph(assets)
    return Plan(tuple(assets), tuple(make_jobs(assets)))


def restrict(whole: Plan, wanted: Iterable[Job]) -> Plan:
    """The plan cut down to these jobs and everything they need upstream."""
    keep: dict[int, Job] = {}
    todo = list(wanted)
    while todo:
        job = todo.pop()
        if job.index not in keep:
            keep[job.index] = job
            todo.extend(job.upstream)
    return Plan(whole.assets, tuple(job for job in whole.jobs if job.index in keep))


def matching_partitions(jobs: Iterable[Job], targets: set[str], choices: Sequence[tuple[str, str]]) -> list[Job]:
    """The jobs of the target assets whose partitions match the `DIM=KEY` choices on the dimensions they have.

    Choices of one dimension are alternatives; choices of several must all
    hold. A key is read as JSON where that gives a key the dimension holds
    (`day=7` the integer 7), and as plain text otherwise (`city=oslo`); a
    target with none of the chosen dimensions has no matching job. Raises
    PlanError for a dimension no target has or a key no target's dimension
    holds.
    """
    jobs = [job for job in jobs if job.asset.ref in targets]
    held: dict[str, dict[str, Any]] = {}
    for job in jobs:
        for dimension in job.asset.dimensions:
            for key in dimension.keys:
                held.setdefault(dimension.name, {}).setdefault(canonical(key), key)
    wanted: dict[str, set[str]] = {}
    for name, text in choices:
        if name not in held:
            known = ", ".join(sorted(held)) or "none"
            raise PlanError([f"argument --partition: no selected asset has the dimension '{name}' (dimensions: {known})"])
        candidates = [text]
        try:
            candidates.insert(0, json.loads(text))
        except (ValueError, RecursionError):
            pass  # plain text
        found = next((canonical(c) for c in candidates if canonical(c) in held[name]), None)
        if found is None:
            keys = list(held[name])
            few = ", ".join(keys[:5]) + (", ..." if len(keys) > 5 else "")
            raise PlanError([f"argument --partition: dimension '{name}' has no key {text} (its keys: {few})"])
        wanted.setdefault(name, set()).add(found)
    return [
        job
        for job in jobs
        if wanted.keys() & job.partition.keys()
        and all(canonical(job.partition[name]) in keys for name, keys in wanted.items() if name in job.partition)
    ]


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
            feeds = []
            for parameter, ref in sorted(asset.inputs.items()):
                feed = _feed(asset, partition, parameter, by_ref[ref], jobs_of[ref], problems)
                if feed is not None:
                    feeds.append(feed)
            upstream = {job.index: job for feed in feeds for job in feed.jobs}
            job = Job(asset, partition, folder, len(jobs), tuple(feeds), tuple(upstream[i] for i in sorted(upstream)))
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


def _feed(
    asset: Asset,
    partition: dict[str, Any],
    parameter: str,
    upstream: Asset,
    upstream_jobs: list[Job],
    problems: list[str],
) -> Feed | None:
    """Which upstream partitions one partition of `asset` receives as `parameter`.

    With all of the upstream's dimensions, the one partition that agrees on
    them, as a single value; with none of them, every partition as a list;
    with some, as a list, the partitions that agree on the shared ones.
    """
    shared = sorted(upstream.dimension_names & asset.dimension_names)
    wanted = canonical({name: partition[name] for name in shared})
    matching = tuple(
        job for job in upstream_jobs if canonical({name: job.partition[name] for name in shared}) == wanted
    )
    if shared and not matching:
        keys = partition_text(partition)
        problems.append(
            f"asset '{asset.label}' partition {keys} has no matching partition of '{upstream.label}' "
            f"(parameter '{parameter}')"
        )
        return None
    if len(shared) == len(upstream.dimensions):
        return Feed(parameter, matching, fan_in=False)
    return Feed(parameter, matching, fan_in=True)


_UNSAFE = re.compile(r"[^A-Za-z0-9._-]")


def _digest(text: str) -> str:
    return hashlib.sha1(text.encode("utf-8", "surrogatepass")).hexdigest()[:8]


# What the runner itself keeps in the output folder (the history and its
# journals, the lock, the report page): a job folder never takes one of these
# names, and the runner refuses a link in place of one.
RUNNER_FILES = frozenset(
    ["report.html", "sorva.db", "sorva.db-journal", "sorva.db-wal", "sorva.db-shm", "sorva.lock"]
)


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
    digests cannot clash with a plain name. An asset whose name is one of the
    runner's own files gets a digest too.
    """
    base = PurePath(safe_name(asset.label))
    if base.name in RUNNER_FILES:
        base = PurePath(f"{base.name}~{_digest(asset.label)}")
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
