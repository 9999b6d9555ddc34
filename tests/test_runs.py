"""`python -m sorva.runs`: the run history as lines and as JSON, and its errors."""

import json
import re
import socket
import time

import pytest

from cli_support import history_db, run, start, untimed, wait_for, wait_until, write_module

PIPELINE = '''
from sorva import asset, partitions
@asset(partitions={"day": partitions([1, "2"])})
def daily(day):
    if day == "2":
        raise ValueError("no data for day 2")
    return day
'''
HELD = ("import os, time\nfrom sorva import asset\n@asset()\ndef first():\n    open('started', 'w').write('1')\n"
        "    while not os.path.exists('go'): time.sleep(0.05)\n@asset(inputs=dict(f=first))\ndef second(f): return f\n")
DONE = "2 jobs in X.XXs: {} succeeded, {} fresh, 0 failed, 0 skipped; outputs in {out}; report in {out}/report.html"


@pytest.fixture
def history(tmp_path):
    write_module(tmp_path, "days", PIPELINE)
    for _ in range(2):
        run("sorva.run", "days", "--jobs", "1", cwd=tmp_path)
    return tmp_path


def test_runs_are_listed_newest_first_and_a_run_shows_its_jobs(history):
    # As an older sorva left it: version 1, runs without host and folder.
    with history_db(history) as db:
        db.executescript("DROP INDEX runs_of_folder; ALTER TABLE runs DROP COLUMN host; "
                         "ALTER TABLE runs DROP COLUMN out; PRAGMA user_version = 1")
    listed = run("sorva.runs", cwd=history)
    assert (listed.returncode, listed.stderr, re.sub(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d", "WHEN", untimed(listed.stdout))) == (0, "", (
        "   2  WHEN      X.XXs  failed       2 jobs: 0 succeeded, 1 fresh, 1 failed, 0 skipped, 0 interrupted  "
        "python -m sorva.run days --jobs 1\n"
        "   1  WHEN      X.XXs  failed       2 jobs: 1 succeeded, 0 fresh, 1 failed, 0 skipped, 0 interrupted  "
        "python -m sorva.run days --jobs 1\n"))
    assert untimed(run("sorva.runs", "1", cwd=history).stdout).splitlines()[1:] == [
        "ok           daily day=1     X.XXs", "failed       daily day=2     X.XXs  ValueError: no data for day 2"]
    second = json.loads(run("sorva.runs", "2", "--json", cwd=history).stdout)
    assert (second["run"]["outcome"], [(job["partition"], job["outcome"], job["error"]) for job in second["jobs"]]) == (
        "failed", [('{"day":1}', "fresh", None), ('{"day":"2"}', "failed", "ValueError: no data for day 2")])
    run("sorva.run", "days", cwd=history)  # gains them
    assert [(one["host"], one["out"]) for one in json.loads(run("sorva.runs", "--json", cwd=history).stdout)] == [
        (socket.gethostname(), str(history / "sorva-out")), (None, None), (None, None)]


# A history edited by hand or by another program; a refused run is not recorded.
T = "the run history sorva-out/sorva.db holds a row that sorva did not write: "
GRAPH = ["sorva.graph", "days", "--out", "sorva-out", "--format", "dot"]


@pytest.mark.parametrize("args, tamper, message", [
    (["sorva.runs", "7"], "", "no run 7 in the history of 'sorva-out'"),
    (["sorva.runs", "last"], "", "argument RUN_ID: expected a run number, got 'last'"),
    (["sorva.runs"], "UPDATE runs SET ended = 'yesterday' WHERE id = 1", T + "runs row 1, column ended: 'yesterday' is not a time"),
    (["sorva.runs", "2"], "UPDATE jobs SET seconds = 'slow'", T + "jobs row 3, column seconds: 'slow' is not a number"),
    (GRAPH, "UPDATE jobs SET seconds = x'00'", T + "jobs row 3, column seconds: b'\\x00' is not a number"),
    (["sorva.runs", "2"], "UPDATE jobs SET partition = replace(hex(zeroblob(50000)), '00', '[')",
     T + "jobs row 3, column partition: '" + "[" * 36 + "... is not a JSON object"),
    (["sorva.run", "days"], "UPDATE jobs SET partition = '[]' WHERE id = 2", T + "jobs row 2, column partition: '[]' is not a JSON object"),
])
def test_what_is_not_there_or_not_sorvas_is_one_line_and_status_2(history, args, tamper, message):
    with history_db(history) as db, db:
        db.execute(tamper)
    done = run(*args, cwd=history)
    assert (done.returncode, done.stdout, done.stderr) == (2, "", f"python -m {args[0]}: error: {message}\n")
    with history_db(history) as db:
        assert db.execute("SELECT COUNT(*) FROM runs").fetchone() == (2,)


def test_a_history_held_locked_by_another_program_is_waited_for_and_loses_no_row(tmp_path):
    write_module(tmp_path, "held", HELD)
    with start("sorva.run", "held", "--jobs", "1", cwd=tmp_path) as runner:
        wait_for(tmp_path / "started")
        with history_db(tmp_path, isolation_level=None) as db:
            db.execute("BEGIN EXCLUSIVE")
            (tmp_path / "go").touch()
            time.sleep(12)  # longer than any one wait of the database itself
        stdout, stderr = runner.communicate(timeout=60)
    assert (runner.returncode, stderr, untimed(stdout).splitlines()[-1]) == (
        0, "python -m sorva.run: the run history sorva-out/sorva.db is locked by another program; waiting up to 60 s for it\n",
        DONE.format(2, 0, out="sorva-out"))
    recorded = json.loads(run("sorva.runs", "1", "--json", cwd=tmp_path).stdout)
    assert (recorded["run"]["outcome"], [job["outcome"] for job in recorded["jobs"]]) == ("succeeded", ["ok", "ok"])


def test_runners_of_two_folders_share_a_postgresql_history_and_one_folder_keeps_one_runner(tmp_path, postgres):
    url = postgres()
    write_module(tmp_path, "held", HELD)
    listed = lambda *args: run("sorva.runs", "--history", url, *args, cwd=tmp_path)  # noqa: E731
    assert listed().stderr == f"python -m sorva.runs: error: no run history in {url} (it is made by python -m sorva.run --history URL)\n"
    held = ["sorva.run", "held", "--history", url, "--out"]
    with start(*held, "a", cwd=tmp_path) as in_a, start(*held, "b", cwd=tmp_path) as in_b:
        wait_until(lambda: listed().stdout.count(" running ") == 2, "both runs never ran at once")
        # With the folder's lock file gone, the history still holds the folder for its runner.
        (tmp_path / "a/sorva.lock").unlink()
        refused = run("sorva.run", "held", "--out", "a", cwd=tmp_path, env={"SORVA_HISTORY": url})
        (tmp_path / "go").touch()
        ended = [untimed(runner.communicate(timeout=60)[0]).splitlines()[-1] for runner in (in_a, in_b)]
    assert (refused.returncode, refused.stderr) == (
        2, f"python -m sorva.run: error: another runner is using the output folder 'a' (it holds it in the run history {url})\n")
    assert ended == [DONE.format(2, 0, out="a"), DONE.format(2, 0, out="b")]
    again = run("sorva.run", "held", "--history", url, "--out", "a", cwd=tmp_path)
    assert untimed(again.stdout).splitlines()[-1] == DONE.format(0, 2, out="a")
    folders = [f"{socket.gethostname()}:{tmp_path / out}" for out in "aab"]
    assert sorted(re.findall(r"succeeded +2 jobs.* (\S+)  python -m sorva.run held", listed().stdout)) == folders
    assert [run["out"] for run in json.loads(listed("--out", "a", "--json").stdout)] == [str(tmp_path / "a")] * 2
    unreachable = run("sorva.runs", "--history", "postgresql://ana:secret@/sorva?host=/nowhere", cwd=tmp_path)
    assert (unreachable.returncode, unreachable.stderr.count("\n"), unreachable.stderr.split(": connection")[0]) == (
        2, 1, "python -m sorva.runs: error: cannot open the run history postgresql://ana:***@/sorva?host=/nowhere")
