"""`python -m sorva.graph`: the asset graph as DOT text, as SVG laid out by Graphviz, and as a page."""

import re

import pytest

from cli_support import REPO, run, write_module, write_modules
from page_support import needs_dot

# Each partition mapping is drawn as what a job receives: one value, every partition, those with the same city.
SMALL = '''
from sorva import asset, partitions
CITY, YEAR = {"city": partitions(["oslo", "quito"])}, {"year": partitions([2024, 2025])}
@asset()
def raw(): return [1]
@asset(inputs={"data": raw, "lookup": "gone.py:table"}, partitions=CITY)
def scaled(data, lookup, city): return data
@asset(inputs={"each": scaled}, name='sum "up" <all>')
def summed(each): return 1
@asset(partitions=CITY | YEAR)
def cells(city, year): return 1
@asset(inputs={"cell": cells}, partitions=CITY | YEAR)
def same(city, year, cell): return cell
@asset(inputs={"years": cells}, partitions=CITY)
def per_city(city, years): return len(years)
@asset(inputs={"every": cells})
def overall(every): return len(every)
'''


def test_dot_text_needs_no_graphviz_and_draws_assets_inputs_and_mappings(tmp_path):
    write_module(tmp_path, "small", SMALL)
    done = run("sorva.graph", "small", "--format", "dot", cwd=tmp_path, env={"PATH": "/nonexistent"})
    assert (done.returncode, done.stderr, done.stdout[:16]) == (0, "", "digraph sorva {\n")
    drawn = re.findall(r'class="asset( missing)?", .*?label=(<<.*?>>|"[^"]*"), tooltip="(small\.py:(?:raw|scaled|summed)|gone.*?)"',
                       done.stdout)
    # Names are escaped for DOT's HTML labels; an input naming no discovered asset is drawn as a node of its own.
    assert [(missing, re.findall(r"<TD[^>]*>(?:<[^>]+>)*([^<]*)", label) or [label.strip('"')], ref)
            for missing, label, ref in drawn] == [
        ("", ["raw", "unpartitioned"], "small.py:raw"), ("", ["scaled", "2 partitions by city"], "small.py:scaled"),
        ("", ["summed", "sum &quot;up&quot; &lt;all&gt;", "unpartitioned"], "small.py:summed"),
        (" missing", ["table\\nno asset has this ref"], "gone.py:table")]
    assert sorted(re.findall(r'class="input ([\w-]+)", label="([^"]*)", tooltip="([^"]*)"', done.stdout)) == [
        ("fan-in", "each", "summed takes scaled as each: a list of every partition"),
        ("fan-in", "every", "overall takes cells as every: a list of every partition"),
        ("fan-in", "years\\nper city", "per_city takes cells as years: a list of the partitions with the same city"),
        ("one", "cell", "same takes cells as cell: one value"), ("one", "data", "scaled takes raw as data: one value"),
        ("one", "lookup", "scaled takes table as lookup: one value")]
    # One value per job is drawn as one line; a list of partitions as a double line.
    assert set(re.findall(r'class="input ([\w-]+)", .*color="([^"]*)"', done.stdout)) == {
        ("one", "#555555"), ("fan-in", "#555555:invis:#555555")}


def drawn(svg):
    """The classes, titles and texts of a Graphviz SVG's nodes and edges in order; not where Graphviz put them."""
    return re.findall(r'class="((?:node|edge)[^"]*)">\s*<title>([^<]*)</title>|<text[^>]*>([^<]*)</text>', svg)


@needs_dot
def test_the_readme_picture_is_the_example_pipeline_as_svg():
    done = run("sorva.graph", "pipeline", cwd=REPO / "examples")
    assert (done.returncode, done.stderr, drawn(done.stdout)) == (0, "", drawn((REPO / "docs/pipeline.svg").read_text("utf-8")))
    assert len(drawn(done.stdout)) == 19  # 4 assets and 3 inputs, each with its texts


# An explicit format wins over the suffix, whose case does not matter; binary formats go through Graphviz like SVG.
@needs_dot
@pytest.mark.parametrize("args, written, start", [
    (["-o", "g.html"], "g.html", "<!DOCTYPE html>"), (["-o", "g.svg", "--format", "dot"], "g.svg", "digraph sorva {"),
    (["--format", "html"], None, "<!DOCTYPE html>"), (["-o", "g.PDF"], "g.PDF", "%PDF-"),
])
def test_the_format_follows_the_option_then_the_suffix(tmp_path, args, written, start):
    write_module(tmp_path, "small", SMALL)
    done = run("sorva.graph", "small", *args, cwd=tmp_path)
    text = (tmp_path / written).read_bytes().decode("latin-1") if written else done.stdout
    assert (done.returncode, done.stderr, text.startswith(start), done.stdout == "") == (0, "", True, bool(written))
    assert sorted(path.name for path in tmp_path.iterdir() if path.suffix != ".py") == ([written] if written else [])


# A graph that silently left out a listed module would look like the graph of it.
@pytest.mark.parametrize("args, env, status, error", [
    ([], {}, 2, "the following arguments are required: MODULE"),
    (["small", "--format", "jpg"], {}, 2, "argument --format: invalid choice: 'jpg' (choose from 'svg', 'html', 'dot', 'png', 'pdf')"),
    (["small", "-o", "g.jpg"], {}, 2, "argument -o/--output: no format has the suffix '.jpg'; name one with --format"),
    (["empty"], {}, 2, "no assets found in empty"),
    (["small", "sys"], {}, 2, "cannot inspect module 'sys': TypeError: <module 'sys' (built-in)> is a built-in module"),
    (["small", "broken"], {}, 2, "cannot import module 'broken': RuntimeError: no database today"),
    (["small", "-o", "no/such/folder.svg", "--format", "dot"], {}, 1, "cannot write 'no/such/folder.svg': No such file or directory"),
    (["small"], {"PATH": "/nonexistent"}, 1, "Graphviz's dot was not found; install Debian's graphviz, or use --format dot"),
])
def test_errors_are_one_line_and_write_nothing(tmp_path, args, env, status, error):
    write_modules(tmp_path, small=SMALL, empty="VALUE = 1\n", broken="raise RuntimeError('no database today')\n")
    done = run("sorva.graph", *args, cwd=tmp_path, env=env)
    assert (done.returncode, done.stdout, done.stderr) == (status, "", f"python -m sorva.graph: error: {error}\n")
    assert sorted(path.name for path in tmp_path.iterdir() if path.suffix) == ["broken.py", "empty.py", "small.py"]
