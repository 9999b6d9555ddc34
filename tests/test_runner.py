"""`python -m sorva.run`: planning, partition fan-out and fan-in, ordering, failures and selection."""

import json
import os
import signal

import pytest

from cli_support import run, untimed, write_module

CHAIN = '''
from sorva import asset


@asset()
def z_numbers():
    return [1, 2, 3]


@asset(inputs={"numbers": z_numbers})
def m_doubled(numbers):
    return [n * 2 for n in numbers]


@asset(inputs={"doubled": m_doubled, "numbers": z_numbers})
def a_report(doubled, numbers):
    return {"sum": sum(doubled) + sum(numbers)}
'''

PARTITIONED = '''
from sorva import asset, partitions

REGIONS = partitions(["north", "south"])
YEARS = partitions([2023, 2024])


@asset()
def rate():
    return 10


@asset(partitions={"year": YEARS, "region": REGIONS})
def sales(region, year):
    return f"{region}-{year}"


@asset(inputs={"amount": sales, "factor": rate}, partitions={"region": REGIONS, "year": YEARS})
def scaled(region, year, amount, factor):
    return {"key": [region, year], "amount": amount, "factor": factor}


@asset(inputs={"every_sale": sales}, partitions={"copy": partitions(["a", "b"])})
def overview(copy, every_sale):
    return every_sale
'''

FAILING = '''
import os
import signal

from sorva import asset, partitions

CITIES = partitions(["lisbon", "oslo"])


@asset(partitions={"city": CITIES})
def readings(city):
    if city == "oslo":
        raise ValueError("sensor offline in oslo")
    return 1


@asset(inputs={"reading": readings}, partitions={"city": CITIES})
def cleaned(city, reading):
    return reading


@asset(inputs={"every_reading": readings})
def summary(every_reading):
    return len(every_reading)


@asset()
def crash():
    os.kill(os.getpid(), signal.SIGKILL)


@asset(inputs={"x": crash})
def after_crash(x):
    return x


@asset()
def independent():
    return "fine"
'''


def values(out):
    return {
        str(path.parent.relative_to(out)): json.loads(path.read_text(encoding="utf-8"))
        for path in sorted(out.rglob("value.json"))
    }


def test_jobs_run_upstream_first_in_the_default_folder(tmp_path):
    write_module(tmp_path, "chain", CHAIN)
    done = run("sorva.run", "chain", "--jobs", "1", cwd=tmp_path)
    assert (done.returncode, done.stderr) == (0, "")
    assert untimed(done.stdout) == (
        "[1/3] ok       z_numbers    X.XXs  [1, 2, 3]\n"
        "[2/3] ok       m_doubled    X.XXs  [2, 4, 6]\n"
        "[3/3] ok       a_report     X.XXs  {\"sum\": 18}\n"
        "3 jobs in X.XXs: 3 succeeded, 0 failed, 0 skipped; outputs in sorva-out\n"
    )
    assert values(tmp_path / "sorva-out") == {"z_numbers": [1, 2, 3], "m_doubled": [2, 4, 6], "a_report": {"sum": 18}}


def test_partitions_fan_out_and_upstream_values_fan_in(tmp_path):
    write_module(tmp_path, "sales", PARTITIONED)
    done = run("sorva.run", "sales", "--out", "out", cwd=tmp_path)
    assert (done.returncode, done.stderr) == (0, "")
    every_sale = [
        {"partition": {"region": region, "year": year}, "value": f"{region}-{year}"}
        for region in ("north", "south")
        for year in (2023, 2024)
    ]
    expected = {"rate": 10, "overview/copy=a": every_sale, "overview/copy=b": every_sale}
    for region in ("north", "south"):
        for year in (2023, 2024):
            expected[f"sales/region={region},year={year}"] = f"{region}-{year}"
            expected[f"scaled/region={region},year={year}"] = {
                "key": [region, year], "amount": f"{region}-{year}", "factor": 10
            }
    assert values(tmp_path / "out") == expected
    assert done.stdout.splitlines()[-1].startswith("11 jobs in ")
    assert "[11/11] " in done.stdout


def test_one_job_or_four_at_once_give_the_same_results(tmp_path):
    write_module(tmp_path, "sales", PARTITIONED)
    write_module(tmp_path, "failing", FAILING)
    runs = [run("sorva.run", "sales", "failing", "--out", f"out{n}", "--jobs", str(n), cwd=tmp_path) for n in (1, 4)]
    assert [done.returncode for done in runs] == [1, 1]
    assert values(tmp_path / "out1") == values(tmp_path / "out4")
    # Jobs may finish in another order; which jobs finished, and how, may not differ.
    finished = [
        sorted(line.split("] ", 1)[1] for line in untimed(done.stdout).splitlines() if line.startswith("["))
        for done in runs
    ]
    assert len(finished[0]) == 19 and finished[0] == finished[1]
    failures = [[line for line in done.stdout.splitlines() if line.startswith("failed: ")] for done in runs]
    assert len(failures[0]) == 2 and failures[0] == failures[1]


def test_failures_skip_their_dependents_and_are_summarised(tmp_path):
    write_module(tmp_path, "failing", FAILING)
    # A record left by an earlier run must not pass for this run's.
    (tmp_path / "out/crash").mkdir(parents=True)
    (tmp_path / "out/crash/result.json").write_text('{"ok":true}', encoding="utf-8")
    (tmp_path / "out/crash/value.json").write_text("1", encoding="utf-8")
    done = run("sorva.run", "failing", "--out", "out", "--jobs", "1", cwd=tmp_path)
    assert (done.returncode, done.stderr) == (1, "")
    assert untimed(done.stdout) == (
        "[1/8] failed   crash                   X.XXs  worker was killed by SIGKILL without writing result.json\n"
        "[2/8] skipped  after_crash                    upstream crash did not succeed\n"
        "[3/8] ok       independent             X.XXs  \"fine\"\n"
        "[4/8] ok       readings city=lisbon    X.XXs  1\n"
        "[5/8] failed   readings city=oslo      X.XXs  ValueError: sensor offline in oslo\n"
        "[6/8] skipped  cleaned city=oslo              upstream readings city=oslo did not succeed\n"
        "[7/8] skipped  summary                        upstream readings city=oslo did not succeed\n"
        "[8/8] ok       cleaned city=lisbon     X.XXs  1\n"
        "8 jobs in X.XXs: 3 succeeded, 2 failed, 3 skipped; outputs in out\n"
        "failed: crash: worker was killed by SIGKILL without writing result.json\n"
        "failed: readings city=oslo: ValueError: sensor offline in oslo\n"
    )
    assert not (tmp_path / "out/crash/value.json").exists()
    assert json.loads((tmp_path / "out/readings/city=oslo/result.json").read_text(encoding="utf-8"))["ok"] is False


def test_values_too_large_for_a_command_line_reach_the_downstream(tmp_path):
    write_module(tmp_path, "big", '''
        from sorva import asset


        @asset()
        def blob():
            return "x" * 300_000


        @asset(inputs={"text": blob})
        def size(text):
            return len(text)
    ''')
    done = run("sorva.run", "big", "--out", "out", cwd=tmp_path)
    assert (done.returncode, done.stderr) == (0, "")
    assert (tmp_path / "out/size/value.json").read_text(encoding="utf-8") == "300000"


def test_partition_folders_are_safe_and_distinct(tmp_path):
    write_module(tmp_path, "keys", '''
        from sorva import asset, partitions


        @asset(partitions={"k": partitions(["a/b", "a_b", 1, "1", "..", "", "ü"])})
        def keyed(k):
            return k
    ''')
    done = run("sorva.run", "keys", "--out", "out", cwd=tmp_path)
    assert (done.returncode, done.stderr) == (0, "")
    folders = sorted(path.name for path in (tmp_path / "out/keyed").iterdir())
    assert len(folders) == 7 and all(name.startswith("k=") for name in folders)
    assert "k=a_b" in folders
    stored = sorted((json.dumps(v) for v in values(tmp_path / "out").values()))
    assert stored == sorted(json.dumps(k) for k in ["a/b", "a_b", 1, "1", "..", "", "ü"])


SELECTABLE = '''
from sorva import asset


@asset()
def raw():
    return 1


@asset(inputs={"value": raw})
def cooked(value):
    return value + 1


@asset(inputs={"value": cooked})
def served(value):
    return value + 1


@asset(name="the other one")
def other():
    return 0
'''


@pytest.mark.parametrize(
    "names, ran",
    [
        (["cooked"], ["cooked", "raw"]),
        (["the other one"], ["other"]),
        (["{folder}/menu.py:served"], ["cooked", "raw", "served"]),
        (["raw", "other"], ["other", "raw"]),
    ],
    ids=["function-name", "declared-name", "ref", "two-names"],
)
def test_select_runs_the_named_assets_and_their_upstreams(tmp_path, names, ran):
    write_module(tmp_path, "menu", SELECTABLE)
    names = [name.format(folder=tmp_path.resolve()) for name in names]
    done = run("sorva.run", "menu", "--out", "out", "--select", *names, cwd=tmp_path)
    assert (done.returncode, done.stderr) == (0, "")
    assert sorted(values(tmp_path / "out")) == ran


def test_select_of_an_unknown_asset_is_a_usage_error(tmp_path):
    write_module(tmp_path, "menu", SELECTABLE)
    done = run("sorva.run", "menu", "--out", "out", "--select", "cooked", "dessert", cwd=tmp_path)
    assert (done.returncode, done.stdout) == (2, "")
    assert done.stderr == "python -m sorva.run: error: argument --select: no asset is named 'dessert'\n"
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize(
    "source, problems",
    [
        (
            '''
            from sorva import asset


            @asset(inputs={"data": "elsewhere.py:raw", "extra": "elsewhere.py:more"})
            def cooked(data, extra):
                return data
            ''',
            [
                "asset 'cooked' parameter 'data': no asset found with the ref 'elsewhere.py:raw'",
                "asset 'cooked' parameter 'extra': no asset found with the ref 'elsewhere.py:more'",
            ],
        ),
        (
            '''
            from pathlib import Path

            from sorva import asset

            HERE = str(Path(__file__).resolve())


            @asset(inputs={"b_value": HERE + ":b"})
            def a(b_value):
                return 1


            @asset(inputs={"a_value": HERE + ":a"})
            def b(a_value):
                return 2
            ''',
            ["dependency cycle: 'a' takes 'b' as 'b_value', 'b' takes 'a' as 'a_value'"],
        ),
        (
            '''
            from sorva import asset, partitions


            @asset(partitions={"region": partitions(["n"]), "year": partitions([1])})
            def up(region, year):
                return 1


            @asset(inputs={"x": up}, partitions={"region": partitions(["n"])})
            def down(region, x):
                return x
            ''',
            [
                "asset 'down' parameter 'x': upstream 'up' is partitioned by region, year but 'down' only "
                "shares region; a downstream must have all of its upstream's dimensions or none"
            ],
        ),
        (
            '''
            from sorva import asset, partitions


            @asset(partitions={"city": partitions(["a", "b"])})
            def up(city):
                return 1


            @asset(inputs={"x": up}, partitions={"city": partitions(["a", "c"])})
            def down(city, x):
                return x
            ''',
            ["asset 'down' partition city=c has no matching partition of 'up' (parameter 'x')"],
        ),
        (
            '''
            from sorva import asset, partitions


            @asset(partitions={"city": partitions(["a", "a"])})
            def up(city):
                return 1


            @asset(inputs={"city": up}, partitions={"city": partitions(["a"])})
            def down(city):
                return city
            ''',
            [
                "asset 'down': 'city' is both a partition dimension and an input parameter",
                "asset 'up' partition dimension 'city' lists the key " '"a" more than once',
            ],
        ),
    ],
    ids=["unknown-refs", "cycle", "partial-dimensions", "missing-partition", "duplicate-key-and-clash"],
)
def test_a_pipeline_that_cannot_be_planned_runs_nothing(tmp_path, source, problems):
    write_module(tmp_path, "bad", source)
    done = run("sorva.run", "bad", "--out", "out", cwd=tmp_path)
    assert (done.returncode, done.stdout) == (2, "")
    assert done.stderr == "".join(f"python -m sorva.run: error: {problem}\n" for problem in problems)
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize(
    "args, stderr",
    [
        ([], "python -m sorva.run: error: the following arguments are required: MODULE\n"),
        (["chain", "--jobs", "0"], "python -m sorva.run: error: argument --jobs: expected a whole number of at least 1, got '0'\n"),
        (["chain", "--jobs", "all"], "python -m sorva.run: error: argument --jobs: expected a whole number of at least 1, got 'all'\n"),
        (["chain", "--select"], "python -m sorva.run: error: argument --select: expected at least one argument\n"),
        (["plain"], "python -m sorva.run: error: no assets found in plain\n"),
        (
            ["sys"],
            "python -m sorva.inspect: error: TypeError: <module 'sys' (built-in)> is a built-in module\n"
            "python -m sorva.run: error: inspecting the modules failed (exit status 1)\n",
        ),
    ],
    ids=["no-module", "zero-jobs", "jobs-not-a-number", "select-without-name", "no-assets", "not-inspectable"],
)
def test_nothing_runs_after_a_wrong_invocation(tmp_path, args, stderr):
    write_module(tmp_path, "chain", CHAIN)
    write_module(tmp_path, "plain", "VALUE = 1\n")
    done = run("sorva.run", *args, cwd=tmp_path)
    assert (done.returncode, done.stdout, done.stderr) == (2, "", stderr)
    assert not (tmp_path / "sorva-out").exists()
