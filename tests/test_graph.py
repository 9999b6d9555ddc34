"""`python -m sorva.graph`: the asset graph as DOT text, as SVG laid out by Graphviz, and as a page."""

import re

import pytest

from cli_support import REPO, run, write_module
from svg_support import needs_dot, read_graph

SMALL = '''
from sorva import asset, partitions
@asset()
def raw(): return [1]
@asset(inputs={"data": raw, "lookup": "gone.py:table"}, partitions={"city": partitions(["oslo", "quito"])})
def scaled(data, lookup, city): return data
@asset(inputs={"each": scaled}, name='sum "up" <all>')
def summed(each): return 1
'''


MAPPINGS = '''
from sorva import asset, partitions
@asset(partitions={"city": partitions(["oslo", "quito"]), "year": partitions([2024, 2025])})
def cells(city, year): return 1
@asset(inputs={"cell": cells}, partitions={"city": partitions(["oslo", "quito"]), "year": partitions([2024, 2025])})
def same(city, year, cell): return cell
@asset(inputs={"years": cells}, partitions={"city": partitions(["oslo", "quito"])})
def per_city(city, years): return len(years)
@asset(inputs={"every": cells})
def overall(every): return len(every)
'''


@pytest.mark.parametrize("module, nodes, edges", [
    # Names are escaped for DOT's HTML labels; an input naming no discovered asset is drawn as a node of its own.
    ("small", [
        ("", ["raw", "unpartitioned"], "small.py:raw"), ("", ["scaled", "2 partitions by city"], "small.py:scaled"),
        ("", ["summed", "sum &quot;up&quot; &lt;all&gt;", "unpartitioned"], "small.py:summed"),
        (" missing", ["table\\nno asset has this ref"], "gone.py:table"),
    ], [
        ("one", "data", "scaled takes raw as data: one value"),
        ("one", "lookup", "scaled takes table as lookup: one value"),
        ("fan-in", "each", "summed takes scaled as each: a list of every partition"),
    ]),
    # Each partition mapping is drawn as what a job receives.
    ("mappings", None, [
        ("fan-in", "every", "overall takes cells as every: a list of every partition"),
        ("fan-in", "years\\nper city", "per_city takes cells as years: a list of the partitions with the same city"),
        ("one", "cell", "same takes cells as cell: one value"),
    ]),
])
def test_dot_text_needs_no_graphviz_and_draws_assets_inputs_and_mappings(tmp_path, module, nodes, edges):
    write_module(tmp_path, "small", SMALL)
    write_module(tmp_path, "mappings", MAPPINGS)
    done = run("sorva.graph", module, "--format", "dot", cwd=tmp_path, env={"PATH": "/nonexistent"})
    assert (done.returncode, done.stderr, done.stdout[:16]) == (0, "", "digraph sorva {\n")
    drawn = re.findall(r'class="asset( missing)?", .*?label=(<<.*?>>|"[^"]*"), tooltip="([^"]*)"', done.stdout)
    cells = [[re.sub(r"<[^>]+>", "", cell) for cell in re.findall(r"<TD[^>]*>(.*?)</TD>", label)] or [label.strip('"')]
             for _, label, _ in drawn]
    assert nodes is None or [(missing, texts, ref) for (missing, _, ref), texts in zip(drawn, cells)] == nodes
    assert re.findall(r'class="input ([\w-]+)", label="([^"]*)", tooltip="([^"]*)"', done.stdout) == edges


@needs_dot
def test_the_example_pipeline_as_svg(tmp_path):
    done = run("sorva.graph", "pipeline", cwd=REPO / "examples")
    assert (done.returncode, done.stderr) == (0, "")
    assert read_graph(done.stdout) == {
        "nodes": {
            "orders": ("node asset", ("orders", "3 partitions by city"), ()),
            "prices": ("node asset", ("prices", "unpartitioned"), ()),
            "takings": ("node asset", ("takings", "3 partitions by city"), ()),
            "total": ("node asset", ("total", "daily total", "unpartitioned"), ()),
        },
        # One value per job is one line; a list of partitions (fan-in) is a double line.
        "edges": {
            ("orders", "takings"): ("edge input one", ("city_orders",), 1),
            ("prices", "takings"): ("edge input one", ("price_list",), 1),
            ("takings", "total"): ("edge input fan-in", ("by_city",), 2),
        },
    }
    # The README's picture is this graph.
    assert read_graph((REPO / "docs/pipeline.svg").read_text(encoding="utf-8")) == read_graph(done.stdout)


@needs_dot
@pytest.mark.parametrize(
    "args, written, start",
    [
        (["-o", "g.html"], "g.html", "<!DOCTYPE html>"),
        # An explicit format wins over the suffix.
        (["-o", "g.svg", "--format", "dot"], "g.svg", "digraph sorva {"),
        (["--format", "html"], None, "<!DOCTYPE html>"),
        (["-o", "g.png"], "g.png", "\x89PNG\r\n\x1a\n"),
        (["-o", "g.PDF"], "g.PDF", "%PDF-"),
    ],
)
def test_the_format_follows_the_option_then_the_suffix(tmp_path, args, written, start):
    write_module(tmp_path, "small", SMALL)
    done = run("sorva.graph", "small", *args, cwd=tmp_path)
    text = (tmp_path / written).read_bytes().decode("latin-1") if written else done.stdout
    assert (done.returncode, done.stderr, text.startswith(start)) == (0, "", True)
    assert (done.stdout == "") == bool(written)
    assert sorted(path.name for path in tmp_path.iterdir() if path.suffix != ".py") == ([written] if written else [])


E = "python -m sorva.graph: error: "


@pytest.mark.parametrize(
    "args, env, status, stderr",
    [
        ([], {}, 2, [E + "the following arguments are required: MODULE"]),
        (["small", "--format", "jpg"], {}, 2,
         [E + "argument --format: invalid choice: 'jpg' (choose from 'svg', 'html', 'dot', 'png', 'pdf')"]),
        (["small", "-o", "g.jpg"], {}, 2, [E + "argument -o/--output: no format has the suffix '.jpg'; name one with --format"]),
        (["empty"], {}, 2, [E + "no assets found in empty"]),
        (["small", "sys"], {}, 2, [E + "cannot inspect module 'sys': TypeError: <module 'sys' (built-in)> is a built-in module"]),
        # A graph that silently left out a listed module would look like the graph of it.
        (["small", "broken"], {}, 2, [E + "cannot import module 'broken': RuntimeError: no database today"]),
        (["small", "-o", "no/such/folder.svg", "--format", "dot"], {}, 1,
         [E + "cannot write 'no/such/folder.svg': No such file or directory"]),
        (["small"], {"PATH": "/nonexistent"}, 1,
         [E + "Graphviz's dot was not found; install Debian's graphviz, or use --format dot"]),
    ],
)
def test_errors_are_one_line_and_write_nothing(tmp_path, args, env, status, stderr):
    write_module(tmp_path, "small", SMALL)
    write_module(tmp_path, "empty", "VALUE = 1\n")
    write_module(tmp_path, "broken", "raise RuntimeError('no database today')\n")
    done = run("sorva.graph", *args, cwd=tmp_path, env=env)
    assert (done.returncode, done.stdout, done.stderr) == (status, "", "".join(f"{line}\n" for line in stderr))
    assert sorted(path.name for path in tmp_path.iterdir() if path.suffix) == ["broken.py", "empty.py", "small.py"]
