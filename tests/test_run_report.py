"""A run's report: DIR/report.html after every run, and `python -m sorva.graph --out DIR` colouring the last run."""

import json
import re

from cli_support import run, untimed, write_module
from page_support import Page, needs_dot, read_graph

FAILING = '''
from sorva import asset, partitions
CITIES = partitions(["lisbon", "oslo", "quito"])
@asset(partitions={"city": CITIES})
def readings(city):
    if city == "oslo":
        raise ValueError("<no reading> " * 500_000)
    return {"lisbon": 1, "quito": 3}[city]
@asset(inputs={"reading": readings}, partitions={"city": CITIES})
def cleaned(city, reading): return reading
@asset(inputs={"every_reading": readings})
def summary(every_reading): return len(every_reading)
'''
RED, GREY, GREEN = "#ffcdd2", "#e0e0e0", "#c8e6c9"


# The page is written without Graphviz too, and a page that cannot be written costs a line.
@needs_dot
def test_a_failed_run_colours_the_graph_and_its_page_lists_failures_first(tmp_path):
    write_module(tmp_path, "failing", FAILING)
    done = run("sorva.run", "failing", "--jobs", "1", cwd=tmp_path, env={"PATH": "/nonexistent"})
    assert (done.returncode, done.stderr) == (1, "")
    # A long error is cut to its start wherever it is shown; result.json and worker.log hold it whole.
    error = "ValueError: " + "<no reading> " * 500_000
    clipped = f"{error[:1000]}... (6,499,012 more characters in result.json)"
    where = "(traceback in sorva-out/readings/city=oslo/worker.log)"
    lines = untimed(done.stdout).splitlines()
    assert (lines[1], lines[-2:]) == (f"[2/7] failed   readings city=oslo      X.XXs  {clipped} {where}", [
        "7 jobs in X.XXs: 4 succeeded, 0 fresh, 1 failed, 2 skipped; outputs in sorva-out; report in sorva-out/report.html",
        f"failed: readings city=oslo: {clipped} {where}"])
    jobs = json.loads(run("sorva.runs", "1", "--json", cwd=tmp_path).stdout)["jobs"]
    assert [job["error"] for job in jobs if job["outcome"] == "failed"] == [clipped]
    assert json.loads((tmp_path / "sorva-out/readings/city=oslo/result.json").read_bytes())["error"] == error
    # Without --out the graph shows the last run in ./sorva-out, as the runner's default.
    graph = run("sorva.graph", "failing", cwd=tmp_path)
    assert (graph.returncode, graph.stderr, read_graph(graph.stdout)) == (0, "", {
        "readings": ("node asset outcome-failed", ("readings", "3 partitions by city", "1 failed", "2 ok"), (RED, GREEN), 0),
        "cleaned": ("node asset outcome-skipped", ("cleaned", "3 partitions by city", "1 skipped", "2 ok"), (GREY, GREEN), 0),
        "summary": ("node asset outcome-skipped", ("summary", "unpartitioned", "1 skipped"), (GREY,), 0),
        "readings->cleaned": ("edge input one", ("reading",), ("#555555",), 1),
        "readings->summary": ("edge input fan-in", ("every_reading",), ("#555555",), 2),
    })
    text = (tmp_path / "sorva-out/report.html").read_text(encoding="utf-8")
    page = Page(text)
    assert "No graph: Graphviz&#x27;s dot was not found; install Debian&#x27;s graphviz, or use --format dot." in text
    assert "<svg" not in text
    # The page shows the traceback of a failure, folded.
    assert len(text) < 50_000 and "<details><summary>traceback</summary>Traceback (most recent call last):\n  File " in text
    assert page.groups[0][2][0][3].startswith(f"{clipped}traceback" + "Traceback (most recent call last):\n  File ")
    assert '    raise ValueError("<no reading> " * 500_000)\nValueError: <no reading> <no' in page.groups[0][2][0][3]
    assert [(group, [row[:2] for row in rows]) for group, _, rows in page.groups] == [
        ("jobs-a1", [["city=oslo", "failed"], ["city=lisbon", "ok"], ["city=quito", "ok"]]),
        ("jobs-a0", [["city=oslo", "skipped"], ["city=lisbon", "ok"], ["city=quito", "ok"]]),
        ("jobs-a2", [["\u2014", "skipped"]]),
    ]
    # Every link leads to a file of the job.
    targets = [target for _, _, rows in page.groups for row in rows for target in re.findall(r"\[([^]]+)\]", row[4])]
    assert len(targets) == 14 and all((tmp_path / "sorva-out" / target).is_file() for target in targets)
    # After a partial run the page shows the folder's state: each job's latest outcome and the run it is
    # from, and when this run's jobs ran, one lane per worker.
    assert run("sorva.run", "failing", "--select", "cleaned", "--jobs", "1", cwd=tmp_path).returncode == 1
    text = (tmp_path / "sorva-out/report.html").read_text(encoding="utf-8")
    assert [(group, [row[1] for row in rows]) for group, _, rows in Page(text).groups] == [
        ("jobs-a1", ["failed", "fresh", "fresh"]), ("jobs-a0", ["skipped", "fresh", "fresh"]), ("jobs-a2", ["skipped run 1"])]
    assert "<svg" in text and sorted(re.findall(r'title="(\w+ city=\w+): (\w+), [\d.]+ s from', text)) == [
        ("cleaned city=lisbon", "fresh"), ("cleaned city=quito", "fresh"), ("readings city=lisbon", "fresh"),
        ("readings city=oslo", "failed"), ("readings city=quito", "fresh")]
    (tmp_path / "sorva-out/report.html").unlink()
    (tmp_path / "sorva-out/report.html").mkdir()
    done = run("sorva.run", "failing", cwd=tmp_path)
    assert (done.returncode, done.stderr) == (1, "python -m sorva.run: the report page was not written: Is a directory\n")
    assert untimed(done.stdout).splitlines()[-2] == "7 jobs in X.XXs: 0 succeeded, 4 fresh, 1 failed, 2 skipped; outputs in sorva-out"
