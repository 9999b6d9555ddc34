"""The report page, from plain data and as DIR/report.html after every run, and the graph colouring the last run."""

import json
import re

from cli_support import run, untimed, write_module
from page_support import Page, browser, needs_dot
from sorva._reporting.dot import dot_text
from sorva._reporting.graph import Edge, Graph, JobRow, Node
from sorva._reporting.page import RunInfo, report_page, slots

GRAPH = Graph(nodes=(Node("a0", "/app/p.py:orders", "orders", dimensions=(("city", 3),)),
                     Node("a1", "/app/p.py:takings", "takings", dimensions=(("city", 3),)),
                     Node("a2", "/app/p.py:total", "total", declared_name="daily total")),
              edges=(Edge("a0", "a1", "city_orders", fan_in=False), Edge("a1", "a2", "by_city", fan_in=True)))
FILES = ("value.json", "result.json", "worker.log")
ROWS = [
    JobRow("/app/p.py:orders", "orders", "city=oslo", "fresh", None, "", "orders/city=oslo", FILES),
    JobRow("/app/p.py:orders", "orders", "city=s\u00e3o paulo", "ok", 0.5, "", "orders/city=s_o_paulo~1f", FILES),
    JobRow("/app/p.py:takings", "takings", "city=lisbon", "ok", 1.0, "", "takings/city=lisbon", FILES),
    JobRow("/app/p.py:takings", "takings", "city=oslo", "failed", 2.125, "ValueError: <script>x</script>", "takings/city=oslo",
           FILES[1:]),
    JobRow("/app/p.py:total", "total", "", "skipped", None, "upstream takings city=oslo did not succeed"),
    # An asset the run held that the graph no longer has.
    JobRow("/app/old.py:gone", "gone", "", "ok", 0.1, "", "gone", FILES[:1]),
]


def links(folder, names=FILES):
    return " ".join(f"[out/{folder}/{name}]{name}" for name in names)


def test_jobs_are_grouped_per_asset_failures_first_with_links_to_their_files_and_large_runs_fold(tmp_path):
    page = report_page(GRAPH, ROWS, title="sorva: p", svg="<svg></svg>", run=RunInfo("run 2", ("0.50 s",)), link_base="out/")
    assert Page(page).groups == [
        ("jobs-a1", True, [
            ["city=oslo", "failed", "2.12", "ValueError: <script>x</script>", links("takings/city=oslo", FILES[1:])],
            ["city=lisbon", "ok", "1.00", "", links("takings/city=lisbon")]]),
        ("jobs-a2", True, [["\u2014", "skipped", "", "upstream takings city=oslo did not succeed", "\u2014"]]),
        ("jobs-a0", True, [["city=oslo", "fresh", "", "", links("orders/city=oslo")],
                           ["city=s\u00e3o paulo", "ok", "0.50", "", links("orders/city=s_o_paulo~1f")]]),
        ("jobs-x3", True, [["\u2014", "ok", "0.10", "", links("gone", FILES[:1])]]),
    ]
    # The page loads nothing: no script, style sheet, image or font from anywhere.
    assert re.findall(r"<(?:script|link|img|iframe|object)\b|\ssrc=|url\(|@import|@font-face", page) == []
    assert "<title>sorva: p</title>" in page and "run 2 \u00b7 0.50 s" in page
    assert re.sub(r"<[^>]+>", "", re.search(r'<p class="summary">.*?</p>', page)[0]) == "6 jobs: 1 failed 1 skipped 3 ok 1 fresh"
    # The graph's text is drawn in the font Graphviz measured it with; no rule shrinks a large graph to fit.
    style = re.search(r"<style>(.*)</style>", page, re.S)[1]
    graph = " ".join(rule for selector, rule in re.findall(r"([^{}]+)\{([^}]*)\}", style) if ".graph svg" in selector)
    assert (re.findall(r'font-family: "([^"]+)"', graph), "width" in graph) == (
        re.findall(r'fontname="([^"]+)"', dot_text(GRAPH))[:1], False)
    # Small runs show every job (above); large ones open only the groups that need attention. A browser shows a page
    # of two thousand jobs with no complaint in its console.
    many = [JobRow("/app/p.py:orders", "orders", f"day={n}", "ok", 0.01, "", f"orders/day={n}", FILES) for n in range(1994)]
    page = tmp_path / "report.html"
    page.write_text(report_page(GRAPH, ROWS + many, title="t", svg=None, graph_note="no graph"), encoding="utf-8")
    assert {group for group, is_open, _ in Page(page.read_text(encoding="utf-8")).groups if is_open} == {"jobs-a1", "jobs-a2"}
    with browser(tmp_path / "profile") as driver:
        driver.get(page.as_uri())
        assert driver.execute_script("return document.querySelectorAll('tr.job').length") == 2000
        assert driver.get_log("browser") == []


def test_the_timeline_puts_each_job_on_the_lowest_worker_slot_free_when_it_started():
    times = {"a": (":00", 2.0), "b": (":01", 2.0), "c": (":02.0005", 1.0), "d": (":02.5", 1.0), "never": (None, None)}
    rows = [JobRow("r", "r", name, "ok", seconds, started=start and f"2026-01-01T00:00{start}+00:00")
            for name, (start, seconds) in times.items()]
    assert [(slot, row.partition) for slot, _, _, row in slots(rows)] == [(0, "a"), (1, "b"), (0, "c"), (2, "d")]


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
    assert (lines[1], lines[-1]) == (f"[2/7] failed   readings city=oslo      X.XXs  {clipped} {where}",
                                     f"failed: readings city=oslo: {clipped} {where}")
    jobs = json.loads(run("sorva.runs", "1", "--json", cwd=tmp_path).stdout)["jobs"]
    assert [job["error"] for job in jobs if job["outcome"] == "failed"] == [clipped]
    assert json.loads((tmp_path / "sorva-out/readings/city=oslo/result.json").read_bytes())["error"] == error
    # Without --out the graph shows the last run in ./sorva-out, as the runner's default: each asset's outcomes.
    graph = run("sorva.graph", "failing", "--format", "dot", cwd=tmp_path)
    nodes = [(name, outcome, re.findall(r'<TD BGCOLOR="#\w+"><FONT [^>]*>([^<]+)<', cells))
             for outcome, name, cells in re.findall(r'class="asset ([\w-]+)", .*?<B>(\w+)</B>(.*?)</TABLE>', graph.stdout)]
    assert (graph.returncode, graph.stderr, nodes) == (0, "", [
        ("cleaned", "outcome-skipped", ["1 skipped", "2 ok"]), ("readings", "outcome-failed", ["1 failed", "2 ok"]),
        ("summary", "outcome-skipped", ["1 skipped"])])
    text = (tmp_path / "sorva-out/report.html").read_text(encoding="utf-8")
    page = Page(text)
    assert "<svg" not in text and "No graph: Graphviz&#x27;s dot was not found; install Debian&#x27;s graphviz" in text
    # The page shows the traceback of a failure, folded.
    assert len(text) < 50_000 and "<details><summary>traceback</summary>Traceback (most recent call last):\n  File " in text
    assert page.groups[0][2][0][3].startswith(f"{clipped}traceback" + "Traceback (most recent call last):\n  File ")
    assert '    raise ValueError("<no reading> " * 500_000)\nValueError: <no reading> <no' in page.groups[0][2][0][3]
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
