"""The scheduler as a state machine, without processes: order, skips, fresh jobs, stops."""

import pytest

from plan_support import assets_of
from sorva._runner.plan import plan
from sorva._outcomes import State
from sorva._runner.schedule import Outcome, Scheduler

# raw -> clean -> (report, stats); side stands alone; report also takes side.
PIPELINE = [("raw", {}), ("clean", {"data": "raw"}), ("report", {"rows": "clean", "extra": "side"}),
            ("stats", {"rows": "clean"}), ("side", {})]


def drive(jobs, ends, fresh=(), stop_after=None):
    """Runs the scheduler one job at a time; `ends` maps labels to end states (done when absent)."""
    events = []
    scheduler = Scheduler(jobs, [lambda event: events.append((event.state, event.job.describe()))],
                          lambda job: Outcome(State.FRESH) if job.describe() in fresh else None)
    taken = 0
    while (job := scheduler.take()) is not None:
        taken += 1
        if stop_after is not None and taken > stop_after:
            scheduler.stop()
        scheduler.finish(job, Outcome(ends.get(job.describe(), State.DONE)))
    return scheduler, [event for event in events if event[0] != "ready"]


@pytest.mark.parametrize("ends, fresh, expected", [
    ({}, (), [("running", "raw"), ("done", "raw"), ("running", "clean"), ("done", "clean"), ("running", "stats"),
              ("done", "stats"), ("running", "side"), ("done", "side"), ("running", "report"), ("done", "report")]),
    # A failure skips everything downstream of it, and only that.
    ({"clean": State.FAILED}, (), [("running", "raw"), ("done", "raw"), ("running", "clean"), ("failed", "clean"),
                             ("skipped", "stats"), ("skipped", "report"), ("running", "side"), ("done", "side")]),
    # Fresh jobs end without running and release what they feed; a fresh job may feed one that runs.
    ({}, ("raw", "clean", "side"), [("fresh", "raw"), ("fresh", "side"), ("fresh", "clean"), ("running", "stats"),
                                    ("done", "stats"), ("running", "report"), ("done", "report")]),
])
def test_jobs_start_in_plan_order_once_their_upstreams_are_settled(ends, fresh, expected):
    scheduler, events = drive(plan(assets_of(PIPELINE)).jobs, ends, fresh)
    assert (events, scheduler.finished) == (expected, True)


def test_a_stop_starts_nothing_more_and_leaves_the_rest_waiting():
    scheduler, events = drive(plan(assets_of(PIPELINE)).jobs, {"clean": State.INTERRUPTED}, stop_after=1)
    assert events == [("running", "raw"), ("done", "raw"), ("running", "clean"), ("interrupted", "clean")]
    counts = scheduler.counts()
    assert ({state: counts[state] for state in ("waiting", "ready", "done", "interrupted", "skipped")},
            scheduler.finished) == ({"waiting": 2, "ready": 1, "done": 1, "interrupted": 1, "skipped": 0}, True)


def test_a_chain_of_5000_assets_plans_in_order_and_settles_without_recursion():
    chain = [("a0", {})] + [(f"a{i}", {"x": f"a{i - 1}"}) for i in range(1, 5000)]
    jobs = plan(assets_of(list(reversed(chain)))).jobs
    assert [job.describe() for job in jobs] == [name for name, _ in chain]
    everything_fresh, _ = drive(jobs, {}, fresh={job.describe() for job in jobs})
    failing_root, _ = drive(jobs, {"a0": State.FAILED})
    assert (everything_fresh.counts()["fresh"], failing_root.counts()["skipped"]) == (5000, 4999)


@pytest.mark.parametrize("step, message", [
    (lambda s, job: s.finish(job, Outcome(State.DONE)), "job raw is ready, not running"),
    (lambda s, job: (s.take(), s.finish(job, Outcome(State.FRESH))), "a running job cannot end as fresh"),
])
def test_a_transition_the_machine_does_not_have_is_refused(step, message):
    scheduler = Scheduler(plan(assets_of(PIPELINE)).jobs)
    with pytest.raises(ValueError) as raised:
        step(scheduler, scheduler.jobs[0])
    assert str(raised.value) == message
