"""Run control: dry runs, choosing partitions, --failed, retries and time limits."""

import json
import os
import re
import subprocess
import sys

import pytest

from cli_support import command, run, untimed, write_module, write_modules

DAILY = '''
import os
from sorva import asset, partitions
@asset(partitions={"day": partitions([1, 2, "3"])})
def daily(day):
    if os.path.exists(f"fail-{day}"):
        raise ValueError(f"no data for day {day}")
    return day * 2 if os.path.exists("double") else day
@asset(inputs={"every": daily})
def total(every): return len(every)
'''


def snapshot(folder):
    return {str(path): (path.stat().st_mtime_ns, path.stat().st_size) for path in folder.rglob("*")}


def test_a_dry_run_says_what_would_run_and_why_and_writes_nothing_and_failed_reruns_the_failures(tmp_path):
    write_module(tmp_path, "days", DAILY)

    def dry(*options):
        before = snapshot(tmp_path)
        done = run("sorva.run", "days", "--dry-run", *options, cwd=tmp_path)
        assert (done.returncode, done.stderr, snapshot(tmp_path)) == (0, "", before)
        return done.stdout.splitlines()

    assert dry() == ["daily: 3 to run, 0 fresh (never run: 3)", "total: 1 to run, 0 fresh (never run: 1)",
                     "dry run: 4 jobs, 4 to run, 0 fresh; nothing was run or written"]
    (tmp_path / "fail-2").touch()
    assert run("sorva.run", "days", cwd=tmp_path).returncode == 1
    assert dry() == ["daily: 1 to run, 2 fresh (failed last time: 1)", "total: 1 to run, 0 fresh (never run: 1)",
                     "dry run: 4 jobs, 2 to run, 2 fresh; nothing was run or written"]
    # --failed runs what failed last time and what the failure skipped; then there is nothing left for it.
    (tmp_path / "fail-2").unlink()
    again = run("sorva.run", "days", "--failed", "--verbose", cwd=tmp_path)
    assert (again.returncode, untimed(again.stdout).splitlines()) == (0, [
        "[1/4] fresh    daily day=1           1", '[2/4] fresh    daily day=3           "3"',
        "[3/4] ok       daily day=2    X.XXs  2", "[4/4] ok       total          X.XXs  3",
        "4 jobs in X.XXs: 2 succeeded, 2 fresh, 0 failed, 0 skipped; outputs in sorva-out; report in sorva-out/report.html"])
    nothing = run("sorva.run", "days", "--failed", cwd=tmp_path)
    assert (nothing.returncode, nothing.stdout) == (
        0, "no job failed, was skipped or was interrupted in its last run in sorva-out; nothing to run\n")
    # A changed upstream value that the downstream has not seen yet. What an asset reads beyond its inputs is not
    # seen: it takes --force to rerun it.
    (tmp_path / "double").touch()
    assert run("sorva.run", "days", "--select", "daily", "--force", cwd=tmp_path).returncode == 0
    assert dry("--select", "total") == ["daily: 0 to run, 3 fresh", "total: 1 to run, 0 fresh (changed input: 1)",
                                        "dry run: 4 jobs, 1 to run, 3 fresh; nothing was run or written"]
    # The first reason that applies: the job's own source, then its value, then its upstream.
    assert run("sorva.run", "days", cwd=tmp_path).returncode == 0
    (tmp_path / "sorva-out/daily/day=1/value.json").write_text("7")
    assert dry("--select", "total")[:2] == ["daily: 1 to run, 2 fresh (value.json changed or missing: 1)",
                                            "total: 1 to run, 0 fresh (upstream runs: 1)"]
    write_module(tmp_path, "days", DAILY.replace("import asset, partitions", "import partitions, asset"))
    assert dry("--select", "total")[:2] == ["daily: 3 to run, 0 fresh (import `asset` and 1 more changed: 3)",
                                            "total: 1 to run, 0 fresh (import `asset` changed: 1)"]


CODE = '''
from sorva import asset
RATE = 2
def clean(rows): return [row * RATE for row in rows]
@asset()
def raw(): return [1, 2]
@asset(inputs={"rows": raw})
def scaled(rows): return clean(rows)
@asset(inputs={"rows": raw}, name="the copy")
def copy(rows): return rows
'''
WHOLE = "module changed (the whole module counts: {})"


@pytest.mark.parametrize("first, edit, reasons", [
    # A comment, blank lines, another asset's body: only what the asset's code uses counts.
    ("", ("return [1, 2]", "return [1, 2]  # two rows\n\n"), {}),
    ("", ("return rows\n", "return list(rows)\n"), {"copy": "its own source changed"}),
    # An upstream's code is not a downstream's: a new source with the same value leaves them fresh.
    ("", ("return [1, 2]", "return [1] + [2]"),
     {"raw": "its own source changed", "scaled": "upstream runs", "copy": "upstream runs"}),
    ("", ("row * RATE", "row * RATE + 1"), {"scaled": "helper `clean` changed"}),
    ("", ("RATE = 2", "RATE = 3"), {"scaled": "constant `RATE` changed"}),
    # With a star import the whole module counts: any edit reruns its assets; so for one using syntax too deep to read.
    ("from os.path import *\n", ("return rows\n", "return rows  # as they are\n"),
     dict.fromkeys(["raw", "copy", "scaled"], WHOLE.format("a star import"))),
    ("from os.path import *\n", ("from os.path import *\n", ""),
     dict.fromkeys(["raw", "copy", "scaled"], "module changed (its code is now read name by name)")),
    ("DEEP = " + "1 + " * 1000 + "1\n", ("return [1, 2]", "return [1, 2 + DEEP - DEEP]"),
     {"raw": WHOLE.format("the module nests too deeply to be read"), "copy": "upstream runs",
      "scaled": "upstream runs"}),
])
def test_a_job_reruns_when_the_code_its_asset_uses_changes(tmp_path, first, edit, reasons):
    # The code is read where it is defined, also when the assets are found in a module that imports them only.
    write_modules(tmp_path, user="from shop import raw, copy, scaled\n", shop=first + CODE)
    assert run("sorva.run", "user", cwd=tmp_path).returncode == 0
    write_module(tmp_path, "shop", (first + CODE).replace(*edit))
    assert run("sorva.run", "user", "-n", cwd=tmp_path).stdout.splitlines()[:-1] == [
        f"{name}: 1 to run, 0 fresh ({reasons[name]}: 1)" if name in reasons else f"{name}: 0 to run, 1 fresh"
        for name in ("raw", "copy", "scaled")]
    ran = sum(reason != "upstream runs" for reason in reasons.values())
    assert f" {ran} succeeded, {3 - ran} fresh," in run("sorva.run", "user", cwd=tmp_path).stdout


@pytest.mark.parametrize("selections, forced", [
    (["scaled"], {"raw": False, "scaled": True}),
    (["+scaled"], {"raw": False, "scaled": True}),
    (["raw+"], {"raw": True, "copy": True, "scaled": True}),
    (["+the copy+", "scaled"], {"raw": False, "copy": True, "scaled": True}),
])
def test_select_takes_what_is_upstream_or_downstream_and_force_forces_only_the_selection(tmp_path, selections, forced):
    write_module(tmp_path, "shop", CODE)
    assert run("sorva.run", "shop", cwd=tmp_path).returncode == 0
    options = [option for selection in selections for option in ("--select", selection)]
    assert run("sorva.run", "shop", "-n", "--force", *options, cwd=tmp_path).stdout.splitlines()[:-1] == [
        f"{name}: 1 to run, 0 fresh (forced: 1)" if force else f"{name}: 0 to run, 1 fresh"
        for name, force in forced.items()]


SALES = '''
from sorva import asset, partitions
DAYS = partitions([1, "1", 2])
@asset(partitions={"day": DAYS, "country": partitions(["pt", "no"])})
def sales(day, country): return [country, day]
@asset(inputs={"rows": sales}, partitions={"day": DAYS})
def per_day(day, rows): return [row["value"] for row in rows]
@asset(partitions={"region": partitions(["north", "south"])})
def regions(region): return region
@asset(inputs={"every": regions}, partitions={"day": DAYS})
def report(day, every): return len(every)
'''


# The matching partitions of the selected assets run, with what they need upstream: the matching upstream
# partitions, or all of an upstream's partitions where the mapping fans in.
@pytest.mark.parametrize("options, ran, per_day", [
    (["--partition", "day=1"], ["sales country=pt day=1", "sales country=no day=1", "per_day day=1",
                                "regions region=north", "regions region=south", "report day=1"], [["pt", 1], ["no", 1]]),
    (["--partition", 'day="1"', "--select", "per_day"], ["sales country=pt day=1", "sales country=no day=1", "per_day day=1"],
     [["pt", "1"], ["no", "1"]]),
    # Choices of several dimensions must all hold.
    (["--select", "sales", "--partition", "day=2", "--partition", "country=no"], ["sales country=no day=2"], None),
])
def test_partitions_chosen_by_key_run_with_what_they_need(tmp_path, options, ran, per_day):
    write_module(tmp_path, "sales", SALES)
    done = run("sorva.run", "sales", "--jobs", "1", *options, cwd=tmp_path)
    lines = untimed(done.stdout).splitlines()
    assert (done.returncode, done.stderr, sorted(re.split(r"  +", line)[1] for line in lines[:-1])) == (0, "", sorted(ran))
    if per_day is not None:
        (folder,) = (tmp_path / "sorva-out/per_day").iterdir()
        assert json.loads((folder / "value.json").read_text(encoding="utf-8")) == per_day


BAD = "from pathlib import Path\nfrom sorva import asset, partitions\nHERE = str(Path(__file__).resolve())\n"


# `bad` is the source of bad.py, or the text of a pyproject.toml, which is checked as the command line is.
@pytest.mark.parametrize("bad, args, message", [
    ('@asset(inputs={"data": "elsewhere.py:raw"})\ndef cooked(data): return data', ["bad"],
     "asset 'cooked' parameter 'data': no asset found with the ref 'elsewhere.py:raw'"),
    ('@asset(inputs={"b_value": HERE + ":b"})\ndef a(b_value): return 1\n@asset(inputs={"a_value": HERE + ":a"})\n'
     "def b(a_value): return 2", ["bad"], "dependency cycle: 'a' takes 'b' as 'b_value', 'b' takes 'a' as 'a_value'"),
    ('@asset(partitions={"c": partitions(["a", "a"])})\ndef up(c): return 1\n'
     '@asset(inputs={"c": up}, partitions={"c": partitions(["a"])})\ndef down(c): return c', ["bad"],
     "asset 'down': 'c' is both a partition dimension and an input parameter\n"
     "asset 'up' partition dimension 'c' lists the key \"a\" more than once"),
    ("", ["bad"], "no assets found in bad"),
    ("import os\nos._exit(0)", ["bad"], "module 'bad' ended the process before the output was written (exit status 0)"),
    ("", ["sales", "--select", "sales", "--select", "+pie+"], "argument --select: no asset is named 'pie'"),
    ("", ["sales", "--jobs", "0"], "argument --jobs: expected a whole number of at least 1, got '0'"),
    ("", ["sales", "--executor", "nope"], "argument --executor: invalid choice: 'nope' (choose from 'dask', 'fork', 'pool', 'process')"),
    ("", ["sales", "--executor", "fork", "--pool-recycle", "2"], "argument --pool-recycle: only with --executor pool"),
    ("", ["sales", "--scheduler", "tcp://127.0.0.1:1"], "argument --scheduler: only with --executor dask"),
    ("", ["sales", "sys"], "cannot inspect module 'sys': TypeError: <module 'sys' (built-in)> is a built-in module"),
    # A listed module must import; whatever follows `--` is a module name.
    ("", ["sales", "nowhere"], "cannot import module 'nowhere': ModuleNotFoundError: No module named 'nowhere'"),
    ("", ["--", "--bad"], "cannot import module '--bad': ModuleNotFoundError: No module named '--bad'"),
    ("", ["sales", "--out", "sales.py"], "argument --out: 'sales.py' is not a folder"),
    ("", ["sales", "--partition", "day=7"], "argument --partition: dimension 'day' has no key 7 (its keys: 1, \"1\", 2)"),
    ("", ["sales", "--partition", "day=" + "[" * 5000],
     f"argument --partition: dimension 'day' has no key {'[' * 5000} (its keys: 1, \"1\", 2)"),
    ("", ["sales", "--partition", "region=east", "--partition", "day=1"],
     "argument --partition: dimension 'region' has no key east (its keys: \"north\", \"south\")"),
    ("", ["sales", "--select", "per_day", "--partition", "country=pt"],
     "argument --partition: no selected asset has the dimension 'country' (dimensions: day)"),
    ("", ["sales", "--partition", "day"], "argument --partition: expected DIM=KEY, got 'day'"),
    ("", ["sales", "--retries", "many"], "argument --retries: expected a whole number of at least 0, got 'many'"),
    ("", ["sales", "--timeout", "-1"], "argument --timeout: expected a number of seconds above 0, got '-1'"),
    ("", ["sales", "--history", "mysql://ana:secret@db/sorva"],
     "argument --history: expected sqlite:///PATH or postgresql://..., got 'mysql://ana:***@db/sorva'"),
    ("[tool.sorva]\nhistory = 'runs.db'", ["sales"],
     "pyproject.toml: [tool.sorva] history: expected sqlite:///PATH or postgresql://..., got 'runs.db'"),
    ("[tool.sorva]\njbos = 2", ["sales"], "pyproject.toml: [tool.sorva]: unknown key 'jbos' (known: out, history, jobs, "
     "executor, scheduler, retries, timeout)"),
    ("[tool.sorva]\njobs = '2'", ["sales"], "pyproject.toml: [tool.sorva] jobs: expected a whole number of at least 1, got \"2\""),
    ("[tool.sorva.assets.nope]\nretries = 1", ["sales"], "pyproject.toml: [tool.sorva.assets.\"nope\"]: no asset is named 'nope'"),
    ("[tool.sorva.assets.per_day]\npool = 'api'", ["sales"],
     "pyproject.toml: [tool.sorva.assets.\"per_day\"] pool: no pool 'api' in [tool.sorva.pools]"),
])
def test_a_wrong_invocation_or_a_pipeline_that_cannot_be_planned_runs_nothing(tmp_path, bad, args, message):
    write_module(tmp_path, "sales", SALES)
    if bad.startswith("[tool."):
        (tmp_path / "pyproject.toml").write_text(bad, encoding="utf-8")
    else:
        write_module(tmp_path, "bad", BAD + bad)
    done = run("sorva.run", *args, cwd=tmp_path)
    expected = "".join(f"python -m sorva.run: error: {line}\n" for line in message.split("\n"))
    assert (done.returncode, done.stdout, done.stderr, (tmp_path / "sorva-out").exists()) == (2, "", expected, False)


POOLED = ("import time\nfrom sorva import asset, partitions\n@asset(partitions={'n': partitions([1, 2, 3])})\n"
          "def calls(n): return [time.time(), time.sleep(0.3) or time.time()]\n")


def test_pyproject_toml_found_upward_sets_the_run_defaults_and_pools_limit_their_jobs(tmp_path):
    (tmp_path / "pyproject.toml").write_text(
        "[tool.sorva]\nout = 'built'\njobs = 3\n[tool.sorva.pools]\napi = 1\n[tool.sorva.assets.calls]\npool = 'api'\n",
        encoding="utf-8")
    (code := tmp_path / "code").mkdir()
    write_module(code, "pooled", POOLED)
    assert run("sorva.run", "pooled", cwd=code).returncode == 0
    spans = sorted(json.loads((tmp_path / f"built/calls/n={n}/value.json").read_bytes()) for n in (1, 2, 3))
    assert [later[0] >= earlier[1] for earlier, later in zip(spans, spans[1:])] == [True, True]
    assert run("sorva.runs", "--json", cwd=code).stdout.count('"outcome": "succeeded"') == 1


FLAKY = '''
import os, pathlib, time
from sorva import asset
@asset()
def flaky():
    if not os.path.exists("tried"):
        pathlib.Path("tried").touch()
        raise RuntimeError("first attempts fail")
    return "at last"
@asset()
def sleepy(): time.sleep(60)
'''


FAILS = ["[1/1] failed   flaky    X.XXs  RuntimeError: first attempts fail (traceback in sorva-out/flaky/worker.log)"]
RETRIED = ["[0/1] retry    flaky    X.XXs  attempt 1 failed: RuntimeError: first attempts fail",
           "[1/1] ok       flaky    X.XXs  \"at last\""]
TIMED_OUT = ["[0/1] retry    sleepy    X.XXs  attempt 1 failed: timed out after 1 s",
             "[1/1] failed   sleepy    X.XXs  timed out after 1 s"]


# The asset's own setting in pyproject.toml over the file's run default; the command line over both. A job over its
# time limit is stopped (with all it started: test_a_timeout_ends_the_job_and_everything_it_started).
@pytest.mark.parametrize("asset, options, settings, status, lines", [
    ("flaky", ["--retries", "1"], "", 0, RETRIED),
    ("flaky", [], "[tool.sorva]\nretries = 0\n[tool.sorva.assets.flaky]\nretries = 1", 0, RETRIED),
    ("flaky", ["--retries", "0"], "[tool.sorva.assets.flaky]\nretries = 1", 1, FAILS),
    ("sleepy", ["--timeout", "1", "--retries", "1"], "", 1, TIMED_OUT),
    ("sleepy", [], "[tool.sorva.assets.sleepy]\ntimeout = 1\nretries = 1", 1, TIMED_OUT),
])
def test_retries_and_time_limits_each_attempt_recorded(tmp_path, each_executor, asset, options, settings, status, lines):
    write_module(tmp_path, "flakes", FLAKY)
    (tmp_path / "pyproject.toml").write_text(settings, encoding="utf-8")
    done = run("sorva.run", "flakes", "--select", asset, *options, cwd=tmp_path)
    shown = untimed(done.stdout).splitlines()
    assert (done.returncode, shown[:len(lines)], shown[len(lines)][:10]) == (status, lines, "1 jobs in ")
    jobs = json.loads(run("sorva.runs", "1", "--json", cwd=tmp_path).stdout)["jobs"]
    assert [(job["attempt"], job["outcome"]) for job in jobs] == [
        (n, "ok" if " ok " in line else "failed") for n, line in enumerate(lines, 1)]


@pytest.mark.parametrize("options, status", [((), 0), (("--dry-run",), 1)])
def test_a_reader_that_leaves_early_costs_the_output_only(tmp_path, options, status):
    write_module(tmp_path, "days", DAILY)
    runner = subprocess.Popen(command("sorva.run", "days", *options), cwd=tmp_path, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, encoding="utf-8")
    runner.stdout.close()  # as `| head -0` would, before the first line
    assert (runner.wait(timeout=120), runner.stderr.read()) == (status, "")
    if not options:
        listed = json.loads(run("sorva.runs", "--json", cwd=tmp_path).stdout)
        assert [(entry["outcome"], entry["succeeded"]) for entry in listed] == [("succeeded", 4)]


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="the sanitizer's runtime holds freed memory back")
def test_the_runner_holds_a_module_source_once_however_many_assets_carry_it(tmp_path):
    # The inspection record of every asset carries its module's source: here 300 copies of 200 kB.
    assets = "".join(f"@asset()\ndef a{i}(): return {i}\n" for i in range(300))
    write_module(tmp_path, "many", f"{'#' * 200_000}\nfrom sorva import asset\n{assets}")
    # The peak of this process's own memory (ru_maxrss would also count the test's, copied before exec).
    peak = "import runpy, sys\ntry: runpy.run_module('sorva.run', run_name='__main__')\nfinally: " \
           "print(next(line.split()[1] for line in open('/proc/self/status') if line.startswith('VmHWM')), file=sys.stderr)"
    done = subprocess.run([sys.executable, "-c", peak, "many", "--dry-run"], cwd=tmp_path, capture_output=True, text=True)
    assert (done.returncode, done.stdout.splitlines()[-1]) == (0, "dry run: 300 jobs, 300 to run, 0 fresh; nothing was run or written")
    assert int(done.stderr) < 60_000  # kB: less than the inspection's text, which holds the source 300 times
