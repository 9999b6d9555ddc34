"""The report page from plain data: the jobs grouped per asset with failures first, links to their files, thousands of them."""

import re

from page_support import Page, browser
from sorva._reporting.dot import dot_text
from sorva._reporting.graph import Edge, Graph, JobRow, Node
from sorva._reporting.page import RunInfo, report_page, slots

GRAPH = Graph(
    nodes=(
        Node("a0", "/app/p.py:orders", "orders", dimensions=(("city", 3),)),
        Node("a1", "/app/p.py:takings", "takings", dimensions=(("city", 3),)),
        Node("a2", "/app/p.py:total", "total", declared_name="daily total"),
    ),
    edges=(Edge("a0", "a1", "city_orders", fan_in=False), Edge("a1", "a2", "by_city", fan_in=True)),
)
FILES = ("value.json", "result.json", "worker.log")
ROWS = [
    JobRow("/app/p.py:orders", "orders", "city=lisbon", "ok", 0.25, "", "orders/city=lisbon", FILES),
    JobRow("/app/p.py:orders", "orders", "city=oslo", "fresh", None, "", "orders/city=oslo", FILES),
    JobRow("/app/p.py:orders", "orders", "city=s\u00e3o paulo", "ok", 0.5, "", "orders/city=s_o_paulo~1f", FILES),
    JobRow("/app/p.py:takings", "takings", "city=lisbon", "ok", 1.0, "", "takings/city=lisbon", FILES),
    JobRow("/app/p.py:takings", "takings", "city=oslo", "failed", 2.125, "ValueError: <script>x</script>",
           "takings/city=oslo", ("result.json", "worker.log")),
    JobRow("/app/p.py:takings", "takings", "city=s\u00e3o paulo", "ok", 1.0, "", "takings/city=s_o_paulo~2e", FILES),
    JobRow("/app/p.py:total", "total", "", "skipped", None, "upstream takings city=oslo did not succeed"),
    # An asset the run held that the graph no longer has.
    JobRow("/app/old.py:gone", "gone", "", "ok", 0.1, "", "gone", ("value.json",)),
]


def links(folder, names=("value.json", "result.json", "worker.log"), base="out/"):
    return " ".join(f"[{base}{folder}/{name}]{name}" for name in names)


def test_jobs_are_grouped_per_asset_failures_first_with_links_to_their_files_and_large_runs_fold():
    page = report_page(GRAPH, ROWS, title="sorva: p", svg="<svg></svg>", run=RunInfo("run 2", ("0.50 s",)),
                       link_base="out/")
    parsed = Page(page)
    assert parsed.groups == [
        ("jobs-a1", True, [
            ["city=oslo", "failed", "2.12", "ValueError: <script>x</script>",
             links("takings/city=oslo", ("result.json", "worker.log"))],
            ["city=lisbon", "ok", "1.00", "", links("takings/city=lisbon")],
            ["city=s\u00e3o paulo", "ok", "1.00", "", links("takings/city=s_o_paulo~2e")],
        ]),
        ("jobs-a2", True, [["\u2014", "skipped", "", "upstream takings city=oslo did not succeed", "\u2014"]]),
        ("jobs-a0", True, [
            ["city=lisbon", "ok", "0.25", "", links("orders/city=lisbon")],
            ["city=oslo", "fresh", "", "", links("orders/city=oslo")],
            ["city=s\u00e3o paulo", "ok", "0.50", "", links("orders/city=s_o_paulo~1f")],
        ]),
        ("jobs-x3", True, [["\u2014", "ok", "0.10", "", links("gone", ("value.json",))]]),
    ]
    # The page loads nothing: no script, style sheet, image or font from anywhere.
    assert (parsed.external, re.findall(r"url\(|@import|@font-face", page)) == ([], [])
    assert "<title>sorva: p</title>" in page and "run 2 \u00b7 0.50 s" in page
    summary = re.sub(r"<[^>]+>", "", re.search(r'<p class="summary">.*?</p>', page)[0])
    assert summary == "8 jobs: 1 failed 1 skipped 5 ok 1 fresh"
    # The graph's text is drawn in the font Graphviz measured it with; no rule shrinks a large graph to fit.
    style = re.search(r"<style>(.*)</style>", page, re.S)[1]
    graph = " ".join(rule for selector, rule in re.findall(r"([^{}]+)\{([^}]*)\}", style) if ".graph svg" in selector)
    assert (re.findall(r'font-family: "([^"]+)"', graph), "width" in graph) == (
        re.findall(r'fontname="([^"]+)"', dot_text(GRAPH))[:1], False)
    # Small runs show every job (above); large ones open only the groups that need attention.
    parsed = Page(report_page(GRAPH, ROWS + many_rows(300, 10**6)[1:], title="t", svg=None, graph_note="no graph"))
    assert {group for group, is_open, _ in parsed.groups if is_open} == {"jobs-a1", "jobs-a2"}


def many_rows(count, failed_every):
    return [JobRow("/app/p.py:orders", "orders", f"day={n}", "failed" if n % failed_every == 0 else "ok", 0.01,
                   "RuntimeError: no data" if n % failed_every == 0 else "", f"orders/day={n}", FILES) for n in range(count)]


def test_a_page_of_two_thousand_jobs_renders_in_a_browser(tmp_path):
    page = tmp_path / "report.html"
    page.write_text(report_page(GRAPH, many_rows(2000, 97), title="big", svg=None, graph_note="no graph"), encoding="utf-8")
    with browser(tmp_path / "profile") as driver:
        driver.get(page.as_uri())
        outcomes = driver.execute_script("return [...document.querySelectorAll('tr.job')].map(row => row.className)")
        assert driver.get_log("browser") == []
    assert (len(outcomes), outcomes[:21].count("job outcome-failed"), outcomes[21]) == (2000, 21, "job outcome-ok")


def test_the_timeline_puts_each_job_on_the_lowest_worker_slot_free_when_it_started():
    times = {"a": (":00", 2.0), "b": (":01", 2.0), "c": (":02.0005", 1.0), "d": (":02.5", 1.0), "never": (None, None)}
    rows = [JobRow("r", "r", name, "ok", seconds, started=start and f"2026-01-01T00:00{start}+00:00")
            for name, (start, seconds) in times.items()]
    assert [(slot, row.partition) for slot, _, _, row in slots(rows)] == [(0, "a"), (1, "b"), (0, "c"), (2, "d")]
