"""`python -m sorva.run`: planning, partition fan-out and fan-in, ordering, failures and selection."""

import json
import re
import sys

import pytest

from cli_support import run, untimed, write_module, write_modules

# Every run of these tests is made with each executor.
pytestmark = pytest.mark.usefixtures("each_executor")

PIPELINE = '''
from sorva import asset, partitions
REGIONS, YEARS = partitions(["north", "south"]), partitions([2023, 2024])
@asset()
def rate(): return 10
@asset(partitions={"year": YEARS, "region": REGIONS})
def sales(region, year): return f"{region}-{year}"
@asset(inputs={"amount": sales, "factor": rate}, partitions={"region": REGIONS, "year": YEARS})
def scaled(region, year, amount, factor): return [amount, factor]
@asset(inputs={"every_sale": sales}, partitions={"copy": partitions(["a", "b"])}, name="the overview")
def overview(copy, every_sale): return every_sale
@asset(partitions={"k": partitions(["a/b", "a_b", 1, "1", "..", "", "\u00fc"])})
def keyed(k): return k
@asset(inputs={name: rate for name in ["", "a,b", "-x", "x y", "\\u00fc", "=", "\\0"]})  # any text, on every executor
def named(**received): return received
'''
KEYS = [(region, year) for region in ("north", "south") for year in (2023, 2024)]
EVERY_SALE = [{"partition": {"region": r, "year": y}, "value": f"{r}-{y}"} for r, y in KEYS]
EXPECTED = {
    "named": {"": 10, "a,b": 10, "-x": 10, "x y": 10, "\u00fc": 10, "=": 10, "\0": 10},
    "rate": 10, "overview/copy=a": EVERY_SALE, "overview/copy=b": EVERY_SALE,
    **{f"sales/region={r},year={y}": f"{r}-{y}" for r, y in KEYS},
    **{f"scaled/region={r},year={y}": [f"{r}-{y}", 10] for r, y in KEYS},
    # Every key gets a folder of its own, straight under the asset's; a digest tells apart names made alike.
    **{f"keyed/k={folder}": key for folder, key in [("a_b", "a_b"), ("a_b~3ec69c85", "a/b"), ("1~7da213e1", 1),
       ("1~3bd08eef", "1"), ("..~9d891e73", ".."), ("~da39a3ee", ""), ("_~94a759fd", "ü")]},
}


def values(out):
    return {str(path.parent.relative_to(out)): json.loads(path.read_text(encoding="utf-8")) for path in out.rglob("value.json")}


@pytest.mark.parametrize("options, ran", [
    (["--jobs", "4"], ["keyed", "named", "overview", "rate", "sales", "scaled"]),
    # By function name, declared name or ref, with everything upstream.
    (["--select", "rate", "--select", "the overview", "--select", "{folder}/edge.py:keyed"], ["keyed", "overview", "rate", "sales"]),
])
def test_partitions_fan_out_upstream_values_fan_in_and_select_takes_upstreams(tmp_path, options, ran):
    write_module(tmp_path, "edge", PIPELINE)
    done = run("sorva.run", "edge", *(option.format(folder=tmp_path.resolve()) for option in options), cwd=tmp_path)
    expected = {folder: value for folder, value in EXPECTED.items() if folder.split("/")[0] in ran}
    assert (done.returncode, done.stderr, values(tmp_path / "sorva-out")) == (0, "", expected)
    assert untimed(done.stdout).endswith(f" {len(expected)} succeeded, 0 fresh, 0 failed, 0 skipped; outputs in sorva-out; report in sorva-out/report.html\n")


FAILING = '''
import os, signal
from sorva import asset, partitions
CITIES = partitions(["lisbon", "oslo"])
@asset(partitions={"city": CITIES})
def readings(city): return {"lisbon": 1}[city]
@asset(inputs={"reading": readings}, partitions={"city": CITIES})
def cleaned(city, reading): return reading
@asset(inputs={"every_reading": readings})
def summary(every_reading): return len(every_reading)
@asset()
def crash(): os.kill(os.getpid(), signal.SIGKILL)
'''
E = "python -m sorva.run: error: "


def test_failures_skip_their_dependents_and_are_summarised_whatever_the_jobs(tmp_path):
    write_module(tmp_path, "failing", FAILING)
    # A record left by an earlier run must not pass for this run's.
    (tmp_path / "out1/crash").mkdir(parents=True)
    (tmp_path / "out1/crash/result.json").write_text('{"ok":true}', encoding="utf-8")
    (tmp_path / "out1/crash/value.json").write_text("1", encoding="utf-8")
    one, four = (run("sorva.run", "failing", "--out", f"out{n}", "--jobs", n, cwd=tmp_path) for n in "14")
    assert (one.returncode, one.stderr) == (1, "")
    assert untimed(one.stdout) == (
        "[1/6] failed   crash                   X.XXs  worker was killed by SIGKILL without writing result.json\n"
        "[2/6] ok       readings city=lisbon    X.XXs  1\n"
        "[3/6] failed   readings city=oslo      X.XXs  KeyError: 'oslo' (traceback in out1/readings/city=oslo/worker.log)\n"
        "[4/6] skipped  cleaned city=oslo              upstream readings city=oslo did not succeed\n"
        "[5/6] skipped  summary                        upstream readings city=oslo did not succeed\n"
        "[6/6] ok       cleaned city=lisbon     X.XXs  1\n"
        "6 jobs in X.XXs: 2 succeeded, 0 fresh, 2 failed, 2 skipped; outputs in out1; report in out1/report.html\n"
        "failed: crash: worker was killed by SIGKILL without writing result.json\n"
        "failed: readings city=oslo: KeyError: 'oslo' (traceback in out1/readings/city=oslo/worker.log)\n"
    )
    # Four at once may finish in another order, not otherwise; the stale value is gone from out1.
    lines = [sorted(re.sub(r"^\[\d/6\]|out\d", "", line) for line in untimed(done.stdout).splitlines()) for done in (one, four)]
    assert (four.returncode, lines[0], values(tmp_path / "out1")) == (1, lines[1], values(tmp_path / "out4"))


@pytest.mark.parametrize("planted, target, status, line", [
    ("out/up", "outside", 1, "failed: up: 'out/up' is a link; a job writes nothing through a link"),
    ("out/up/worker.log", "outside/worker.log", 1, "failed: up: 'out/up/worker.log' is a link; a job writes nothing through a link"),
    ("out/sorva.db", "outside/worker.log", 2, E + "argument --out: 'out/sorva.db' is a link; the runner writes nothing through a link"),
    # The folder above it was looked at for the partition before.
    ("out/part/p=2", "outside", 1, "failed: part p=2: 'out/part/p=2' is a link; a job writes nothing through a link"),
])
def test_nothing_is_written_through_a_link_planted_in_the_output_folder(tmp_path, planted, target, status, line):
    write_module(tmp_path, "linked", "from sorva import asset, partitions\n@asset()\ndef up(): return 1\n"
                 "@asset(partitions={'p': partitions([1, 2])})\ndef part(p): return p\n")
    (tmp_path / "outside").mkdir()
    (tmp_path / "outside/worker.log").write_text("kept")
    (tmp_path / planted).parent.mkdir(parents=True, exist_ok=True)
    (tmp_path / planted).symlink_to(tmp_path / target)
    done = run("sorva.run", "linked", "--out", "out", "--jobs", "1", cwd=tmp_path)
    assert (done.returncode, (done.stdout + done.stderr).splitlines()[-1]) == (status, line)
    assert [(path.name, path.read_text()) for path in (tmp_path / "outside").iterdir()] == [("worker.log", "kept")]


ALIAS = {
    "base": "from sorva import asset\n@asset()\ndef raw(): return [1, 2]\n",
    "alias": "from sorva import asset\nfrom base import raw as r\n@asset(inputs={'data': r})\ndef cooked(data): return data * 2\n",
    # Deeper than the interpreter's default limit: the job loads it itself, under the limit its module sets.
    "deep": "import sys\nfrom sorva import asset\nsys.setrecursionlimit(10_000)\n@asset()\ndef nested():\n"
            "    value = []\n    for _ in range(3000): value = [value]\n    return value\n"
            "@asset(inputs={'v': nested})\ndef flat(v): return 1\n",
    # The worker's own lines reach the job's log whatever the module left in sys.stdout and sys.stderr.
    "noisy": "import io, sys\nsys.stdout = sys.stderr = io.StringIO()\nfrom sorva import asset\n@asset()\n"
             "def loud(): return 1\n@asset(inputs={'v': loud})\ndef broken(v): raise ValueError('no')\n",
}


@pytest.mark.parametrize("modules, lines", [
    # An asset imported under another name is called through the module that defines it, listed or not.
    (["alias"], ["ok       raw", "ok       cooked    X.XXs  [1, 2, 1, 2]"]),
    (["alias", "base"], ["ok       raw", "ok       cooked    X.XXs  [1, 2, 1, 2]"]),
    pytest.param(["deep"], ["ok       nested", "ok       flat      X.XXs  1"],
                 marks=pytest.mark.skipif(sys.version_info >= (3, 12), reason="from 3.12 on, JSON nests only as deep "
                                          "as the C stack allows, whatever the recursion limit")),
    (["noisy"], ["ok       loud", "failed   broken"]),
])
def test_assets_imported_under_another_name_and_deep_values(tmp_path, modules, lines):
    write_modules(tmp_path, **ALIAS)
    done = run("sorva.run", *modules, "--jobs", "1", cwd=tmp_path)
    shown = [re.sub(r"^\[\d/\d\] ", "", line) for line in untimed(done.stdout).splitlines()[:2]]
    assert ([line[: len(want)] for line, want in zip(shown, lines)], done.stderr) == (lines, "")
    for name in [line.split()[1] for line in lines if line.startswith("failed")]:
        log = (tmp_path / "sorva-out" / name / "worker.log").read_text().splitlines()
        assert (log[-2], log[-1].startswith(f"python -m sorva.worker: asset '{name}' of")) == ("ValueError: no", True)


def test_a_long_chain_plans_without_recursion_and_select_leaves_the_rest_unplanned(tmp_path):
    chain = "".join(f"@asset(inputs={{'x': a{i - 1}}})\ndef a{i}(x): return x + 1\n" for i in range(1, 1200))
    broken = "@asset(inputs={'x': 'elsewhere.py:nothing'})\ndef broken(x): return x\n"
    write_module(tmp_path, "chain", "from sorva import asset\n@asset()\ndef a0(): return 0\n" + chain + broken)
    # Planned whole, the broken ref is refused (test_a_wrong_invocation_or_a_pipeline_that_cannot_be_planned_runs_nothing).
    selected = run("sorva.run", "--select", "a0", "chain", cwd=tmp_path)
    assert (selected.returncode, untimed(selected.stdout).splitlines()[0], selected.stderr) == (0, "[1/1] ok       a0    X.XXs  0", "")
