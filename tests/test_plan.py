"""Planning and scheduling without processes: partition mappings, job keys, a long chain, the scheduler's refusals.
The runs of python -m sorva.run show the scheduler's order, skips and stops."""

import json

import pytest

from sorva._outcomes import State
from sorva._runner.plan import PlanError, code_change, job_key, plan, read_assets
from sorva._runner.schedule import Outcome, Scheduler

FILE = "/srv/app/pipeline.py"


def record(name, inputs=None, partitions=None, source=None, module_source="MODULE"):
    """One inspection record of an asset in /srv/app/pipeline.py; inputs name upstream functions."""
    inputs = {parameter: f"{FILE}:{upstream}" for parameter, upstream in (inputs or {}).items()} or None
    partitions = {dim: {"kind": "inline", "values_json": json.dumps(keys)} for dim, keys in (partitions or {}).items()} or None
    return {"decorator_metadata": {"inputs": inputs, "kind": "asset", "name": None, "serializer": None, "partitions": partitions},
            "file_path": FILE, "function_name": name, "function_source": source or f"def {name}(): ...\n",
            "kind": "asset", "module_path": "pipeline", "module_source": module_source,
            "python_version": "3.11.2", "return_type": None}


def assets_of(description, **changes):
    """Assets from (name, inputs) or (name, inputs, partitions) tuples, in that discovery order."""
    return read_assets({"assets": [record(*entry, **changes.get(entry[0], {})) for entry in description]})


DAYS, COUNTRIES = [1, 2], ["pt", "no"]
# sales by (day, country) rolled up per day, per country and in all.
ROLLUP = [
    ("sales", {}, {"day": DAYS, "country": COUNTRIES}),
    ("per_day", {"rows": "sales"}, {"day": DAYS}),
    ("per_country", {"rows": "sales"}, {"country": COUNTRIES}),
    ("everything", {"rows": "sales"}, {}),
    ("same", {"rows": "sales"}, {"day": DAYS, "country": COUNTRIES}),
]


def feeds(job):
    return {feed.parameter: (feed.fan_in, [upstream.partition for upstream in feed.jobs]) for feed in job.feeds}


@pytest.mark.parametrize("label, partition, expected", [
    # Some of the upstream's dimensions: the upstream partitions that agree on them, in partition order.
    ("per_day", {"day": 2}, {"rows": (True, [{"country": "pt", "day": 2}, {"country": "no", "day": 2}])}),
    ("per_country", {"country": "no"}, {"rows": (True, [{"country": "no", "day": 1}, {"country": "no", "day": 2}])}),
    ("everything", {}, {"rows": (True, [{"country": c, "day": d} for c in COUNTRIES for d in DAYS])}),
    ("same", {"country": "pt", "day": 1}, {"rows": (False, [{"country": "pt", "day": 1}])}),
])
def test_a_downstream_receives_the_upstream_partitions_that_agree_with_it(label, partition, expected):
    (job,) = [job for job in plan(assets_of(ROLLUP)).jobs if job.asset.label == label and job.partition == partition]
    assert feeds(job) == expected


def test_a_partition_that_no_upstream_partition_agrees_with_is_refused():
    assets = assets_of([("sales", {}, {"day": [1, 2], "country": ["pt"]}), ("per_day", {"rows": "sales"}, {"day": [3]})])
    with pytest.raises(PlanError) as raised:
        plan(assets)
    assert raised.value.problems == ["asset 'per_day' partition day=3 has no matching partition of 'sales' (parameter 'rows')"]


BASE = [("raw", {}, {"day": [1, 2]}), ("total", {"every": "raw"}, {}), ("other", {}, {})]


def keys(description=BASE, digests=None, **changes):
    jobs = plan(assets_of(description, **changes)).jobs
    digests = digests or {job.index: f"digest-{job.index}" for job in jobs}
    return {job.describe(): job_key(job, digests) for job in jobs}


def differing(after):
    before = keys()
    return sorted(name for name in after if before.get(name) != after[name])


@pytest.mark.parametrize("after, changed", [
    (keys(), []),
    # The asset's own source or its module's source.
    (keys(raw={"source": "def raw(): return 2\n"}), ["raw day=1", "raw day=2"]),
    (keys(other={"module_source": "MODULE, changed"}), ["other"]),
    # The digest of any upstream value it receives, not that of values it does not receive.
    (keys(digests={0: "digest-0", 1: "changed", 2: "digest-2", 3: "digest-3"}), ["total"]),
    # Its partition keys; a downstream changes only if the values it receives do.
    (keys([("raw", {}, {"day": [1, 3]}), *BASE[1:]]), ["raw day=3"]),
])
def test_a_key_changes_with_the_source_the_partition_and_the_values_received(after, changed):
    assert differing(after) == changed


def test_a_job_folder_never_takes_the_name_of_a_runner_file_and_other_names_stay():
    records = [{**record("html"), "file_path": f"/srv/{module}.py", "module_path": module} for module in ("report", "other")]
    assert [str(job.folder) for job in plan(read_assets({"assets": records})).jobs] == ["report.html~c4f2a6fb", "other.html"]
    # A recipe in the history that is not what the runner writes, even one nested too deeply to read, is an earlier key.
    job = plan(read_assets({"assets": records})).jobs[0]
    assert code_change(job, "[" * 100_000) == "changed source (key of an earlier sorva)"


def drive(jobs, ends, fresh=()):
    """Runs the scheduler one job at a time; `ends` maps labels to end states (done when absent)."""
    scheduler = Scheduler(jobs, (), lambda job: Outcome(State.FRESH) if job.describe() in fresh else None)
    while (job := scheduler.take()) is not None:
        scheduler.finish(job, Outcome(ends.get(job.describe(), State.DONE)))
    return scheduler


def test_a_chain_of_5000_assets_plans_in_order_and_settles_without_recursion():
    chain = [("a0", {})] + [(f"a{i}", {"x": f"a{i - 1}"}) for i in range(1, 5000)]
    jobs = plan(assets_of(list(reversed(chain)))).jobs
    assert [job.describe() for job in jobs] == [name for name, _ in chain]
    everything_fresh = drive(jobs, {}, fresh={job.describe() for job in jobs})
    failing_root = drive(jobs, {"a0": State.FAILED})
    assert (everything_fresh.counts()["fresh"], failing_root.counts()["skipped"]) == (5000, 4999)


@pytest.mark.parametrize("step, message", [
    (lambda s, job: s.finish(job, Outcome(State.DONE)), "job raw is ready, not running"),
    (lambda s, job: (s.take(), s.finish(job, Outcome(State.FRESH))), "a running job cannot end as fresh"),
])
def test_a_transition_the_machine_does_not_have_is_refused(step, message):
    scheduler = Scheduler(plan(assets_of([("raw", {}), ("clean", {"data": "raw"})])).jobs)
    with pytest.raises(ValueError) as raised:
        step(scheduler, scheduler.jobs[0])
    assert str(raised.value) == message
