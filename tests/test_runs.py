"""`python -m sorva.runs`: the run history as lines and as JSON, and its errors."""

import json
import re

import pytest

from cli_support import run, write_module

PIPELINE = '''
from sorva import asset, partitions
@asset(partitions={"day": partitions([1, "2"])})
def daily(day):
    if day == "2":
        raise ValueError("no data for day 2")
    return day
'''
E = "python -m sorva.runs: error: "


@pytest.fixture
def history(tmp_path):
    write_module(tmp_path, "days", PIPELINE)
    for _ in range(2):
        run("sorva.run", "days", "--jobs", "1", cwd=tmp_path)
    return tmp_path


def test_runs_are_listed_newest_first_and_a_run_shows_its_jobs(history):
    listed = run("sorva.runs", cwd=history)
    when = r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d"
    assert (listed.returncode, listed.stderr, re.sub(when, "WHEN", re.sub(r"\d+\.\d\ds", "X.XXs", listed.stdout))) == (0, "", (
        "   2  WHEN      X.XXs  failed       2 jobs: 0 succeeded, 1 fresh, 1 failed, 0 skipped, 0 interrupted  "
        "python -m sorva.run days --jobs 1\n"
        "   1  WHEN      X.XXs  failed       2 jobs: 1 succeeded, 0 fresh, 1 failed, 0 skipped, 0 interrupted  "
        "python -m sorva.run days --jobs 1\n"))
    one = run("sorva.runs", "1", cwd=history)
    assert re.sub(r"\d+\.\d\ds", "X.XXs", one.stdout).splitlines()[1:] == [
        "ok           daily day=1     X.XXs",
        "failed       daily day=2     X.XXs  ValueError: no data for day 2",
    ]
    second = json.loads(run("sorva.runs", "2", "--json", cwd=history).stdout)
    assert (second["run"]["outcome"], [(job["partition"], job["outcome"], job["error"]) for job in second["jobs"]]) == (
        "failed", [('{"day":1}', "fresh", None), ('{"day":"2"}', "failed", "ValueError: no data for day 2")])


@pytest.mark.parametrize("args, message", [
    (["7"], "no run 7 in the history of 'sorva-out'"),
    (["last"], "argument RUN_ID: expected a run number, got 'last'"),
])
def test_what_is_not_there_is_one_line_and_status_2(history, args, message):
    done = run("sorva.runs", *args, cwd=history)
    assert (done.returncode, done.stdout, done.stderr) == (2, "", f"{E}{message}\n")
