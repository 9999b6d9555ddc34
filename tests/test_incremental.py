"""Incremental runs end to end: fresh jobs, what reruns after an edit, resuming, the history and its guards."""

import contextlib
import json
import os
import signal

import pytest

from cli_support import SLOW_PIPELINE, history_db, outcomes, run, start, untimed, wait_for, wait_until, write_module, write_modules

# Every run of these tests is made with each executor.
pytestmark = pytest.mark.usefixtures("each_executor")

UPSTREAM = """
import json
from sorva import asset
@asset()
def base():
    import colorsys, downstream  # imported while the asset runs: module sources, not input files
    return {value} + json.load(open("data/extra.json"))
"""
DOWNSTREAM = '''
import os
from sorva import asset, partitions
from upstream import base
@asset(inputs={"b": base}, partitions={"n": partitions([1, 2])})
def scaled(b, n):
    if os.path.exists(f"break{n}"):
        raise RuntimeError(f"broken {n}")
    return b * n
@asset(inputs={"every": scaled})
def total(every): return sum(entry["value"] for entry in every)
'''


def test_a_rerun_does_only_what_changed(tmp_path):
    write_modules(tmp_path, upstream=UPSTREAM.format(value=1), downstream=DOWNSTREAM)
    (tmp_path / "data").mkdir()
    (extra := tmp_path / "data/extra.json").write_text("0", encoding="utf-8")
    every = ["base", "scaled n=1", "scaled n=2", "total"]

    def again():
        done = run("sorva.run", "upstream", "downstream", "--jobs", "1", "--verbose", cwd=tmp_path)
        assert done.stderr == ""
        return done.returncode, outcomes(done)

    assert again() == (0, dict.fromkeys(every, "ok"))
    # Without --verbose the fresh jobs, many in a run that has little to do, take one line.
    quiet = run("sorva.run", "upstream", "downstream", cwd=tmp_path)
    assert untimed(quiet.stdout).splitlines()[:2] == ["4 fresh (--verbose shows each)", "4 jobs in X.XXs: 0 succeeded, "
                                                      "4 fresh, 0 failed, 0 skipped; outputs in sorva-out; report in sorva-out/report.html"]
    # A file the asset read: a new time alone leaves it fresh; new content, or the file gone, reruns it.
    os.utime(extra, (1, 1))
    assert again() == (0, dict.fromkeys(every, "fresh"))
    extra.write_text("0 ", encoding="utf-8")
    assert run("sorva.run", "upstream", "downstream", "-n", cwd=tmp_path).stdout.splitlines()[0] == (
        "base: 1 to run, 0 fresh (input file data/extra.json changed: 1)")
    assert again() == (0, {"base": "ok", "scaled n=1": "fresh", "scaled n=2": "fresh", "total": "fresh"})
    extra.rename(tmp_path / "gone")
    assert "input file data/extra.json changed" in run("sorva.run", "upstream", "-n", cwd=tmp_path).stdout
    (tmp_path / "gone").rename(extra)
    # A changed value reruns what receives it; a failure skips its downstream, and the next run resumes there.
    write_module(tmp_path, "upstream", UPSTREAM.format(value=10))
    (tmp_path / "break2").touch()
    assert again() == (1, {"base": "ok", "scaled n=1": "ok", "scaled n=2": "failed", "total": "skipped"})
    (tmp_path / "break2").unlink()
    assert again() == (0, {"base": "fresh", "scaled n=1": "fresh", "scaled n=2": "ok", "total": "ok"})
    assert json.loads((tmp_path / "sorva-out/total/value.json").read_text(encoding="utf-8")) == 30
    runs = json.loads(run("sorva.runs", "--json", cwd=tmp_path).stdout)
    assert [(r["id"], r["outcome"], r["succeeded"], r["fresh"], r["failed"], r["skipped"]) for r in runs] == [
        (6, "succeeded", 2, 2, 0, 0), (5, "failed", 2, 0, 1, 1), (4, "succeeded", 1, 3, 0, 0),
        (3, "succeeded", 0, 4, 0, 0), (2, "succeeded", 0, 4, 0, 0), (1, "succeeded", 4, 0, 0, 0)]


def in_history(folder, statement):
    with history_db(folder) as db, db:
        return db.execute(statement).fetchall()


@pytest.fixture
def held(tmp_path):
    """A runner whose `slow` job waits while the file "hold" exists; yields it and the job's pids once the job waits."""
    write_module(tmp_path, "sleepy", SLOW_PIPELINE)
    (tmp_path / "hold").touch()
    with start("sorva.run", "sleepy", "--jobs", "1", cwd=tmp_path) as runner:
        try:
            yield runner, [int(pid) for pid in wait_for(tmp_path / "pids").split()]
        finally:
            (tmp_path / "hold").unlink(missing_ok=True)


# A second runner is refused and leaves no run behind; the first, killed, leaves a history true as far as it went.
def test_a_second_runner_is_refused_and_a_killed_runner_leaves_a_history_true_as_far_as_it_goes(tmp_path, held):
    runner, pids = held
    assert runner.stdout.readline().startswith("[1/3] ok       quick")  # lines held back are written out while jobs run
    second = run("sorva.run", "sleepy", cwd=tmp_path)
    assert (second.returncode, second.stdout, second.stderr) == (
        2, "", "python -m sorva.run: error: another runner is using the output folder 'sorva-out'\n")
    assert run("sorva.runs", cwd=tmp_path).stdout.split()[4] == "running"  # its runner holds the folder
    wait_until(lambda: in_history(tmp_path, "SELECT * FROM jobs"), "the row of quick saved")  # rows go in batches
    os.killpg(runner.pid, signal.SIGKILL)
    runner.wait(timeout=60)
    # A worker process and its child outlive a runner killed this way (a forked job is stopped by its server).
    for pid in pids:
        with contextlib.suppress(ProcessLookupError):
            os.kill(pid, signal.SIGKILL)
    (tmp_path / "hold").unlink()
    # Its runner gone, the run shows as abandoned at once, with the jobs that ended counted.
    first = json.loads(run("sorva.runs", "1", "--json", cwd=tmp_path).stdout)
    assert (first["run"]["outcome"], first["run"]["ended"], [(j["label"], j["outcome"]) for j in first["jobs"]]) == (
        "abandoned", None, [("quick", "ok")])
    assert " ".join(run("sorva.runs", cwd=tmp_path).stdout.split()[4:17]) == (
        "abandoned 3 jobs: 1 succeeded, 0 fresh, 0 failed, 0 skipped, 0 interrupted")
    in_history(tmp_path, "DELETE FROM jobs")  # as a runner killed before saving its last batch leaves it
    rerun = run("sorva.run", "sleepy", "--verbose", cwd=tmp_path)
    assert (rerun.returncode, outcomes(rerun)) == (0, {"quick": "fresh", "slow": "ok", "later": "ok"})
    listed = run("sorva.runs", cwd=tmp_path).stdout.splitlines()
    assert [line.split()[4] for line in listed] == ["succeeded", "abandoned"]


def test_failed_after_a_stop_runs_the_interrupted_job_and_the_jobs_it_kept_from_starting(tmp_path, held):
    os.kill(held[0].pid, signal.SIGINT)
    assert held[0].wait(timeout=60) == 130
    (tmp_path / "hold").unlink()
    rerun = run("sorva.run", "sleepy", "--failed", "--verbose", cwd=tmp_path)
    assert (rerun.returncode, outcomes(rerun)) == (0, {"quick": "fresh", "slow": "ok", "later": "ok"})


SCHEMA = ("the run history sorva-out/sorva.db has schema version 99, and this sorva reads only versions up to 2; "
          "use a newer sorva, or another history")


@pytest.mark.parametrize("command, args, message, left", [
    ("sorva.run", ["one"], SCHEMA, ["sorva.db", "sorva.lock"]),
    ("sorva.runs", [], SCHEMA, ["sorva.db"]),
    ("sorva.graph", ["one", "--format", "dot"], SCHEMA, ["sorva.db"]),
    ("sorva.graph", ["one", "--format", "dot", "--out", "elsewhere"], "argument --out: no run history in 'elsewhere'",
     ["sorva.db"]),
    ("sorva.runs", ["--out", "elsewhere"], "no run history in 'elsewhere' (it is made by python -m sorva.run --out elsewhere)",
     ["sorva.db"]),
])
def test_a_missing_history_or_one_of_an_unknown_schema_version_is_refused(tmp_path, command, args, message, left):
    write_module(tmp_path, "one", "from sorva import asset\n@asset()\ndef one(): return 1\n")
    (tmp_path / "sorva-out").mkdir()
    in_history(tmp_path, "PRAGMA user_version = 99")
    done = run(command, *args, cwd=tmp_path)
    assert (done.returncode, done.stdout, done.stderr) == (2, "", f"python -m {command}: error: {message}\n")
    assert sorted(path.name for path in (tmp_path / "sorva-out").iterdir()) == left


VANDAL = "import os\nfrom sorva import asset\n@asset()\ndef first(): return 1\n@asset(inputs=dict(f=first))\ndef vandal(f):\n    os.remove('sorva-out/sorva.db')\n"


def test_a_history_removed_during_a_run_is_made_again_with_that_run(tmp_path):
    write_module(tmp_path, "vandal", VANDAL)
    done = run("sorva.run", "vandal", "--jobs", "1", cwd=tmp_path)
    assert (done.returncode, done.stderr) == (0, "python -m sorva.run: the run history sorva-out/sorva.db was removed "
                                                 "while the run went on; it is made again, with this run alone\n")
    kept = json.loads(run("sorva.runs", "1", "--json", cwd=tmp_path).stdout)
    assert (kept["run"]["outcome"], kept["run"]["succeeded"], [j["outcome"] for j in kept["jobs"]]) == ("succeeded", 2, ["ok", "ok"])
    assert outcomes(run("sorva.run", "vandal", "--verbose", cwd=tmp_path)) == {"first": "fresh", "vandal": "fresh"}
