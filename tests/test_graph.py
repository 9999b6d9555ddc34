"""`python -m sorva.graph`: the asset graph as DOT text, as SVG laid out by Graphviz, and as a page."""

import os
import re
import shutil
import signal
import subprocess
import sys
import time

import pytest

from cli_support import REPO, run, write_module
from svg_support import read_graph

needs_dot = pytest.mark.skipif(shutil.which("dot") is None, reason="Graphviz's dot is not installed")

SMALL = '''
from sorva import asset, partitions
@asset()
def raw(): return [1]
@asset(inputs={"data": raw, "lookup": "gone.py:table"}, partitions={"city": partitions(["oslo", "quito"])})
def scaled(data, lookup, city): return data
@asset(inputs={"each": scaled}, name='sum "up" <all>')
def summed(each): return 1
'''


def test_dot_text_of_a_small_graph_needs_no_graphviz(tmp_path):
    write_module(tmp_path, "small", SMALL)
    # Without Graphviz on the path the DOT text is written all the same.
    done = run("sorva.graph", "small", "--format", "dot", cwd=tmp_path, env={"PATH": "/nonexistent"})
    ref = "small.py:"  # the file as seen from where the command runs
    table = '<TABLE BORDER="1" CELLBORDER="0" CELLSPACING="0" CELLPADDING="4" COLOR="#555555" BGCOLOR="white">'
    small = '<TR><TD COLSPAN="1"><FONT POINT-SIZE="10">'
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout == (
        "digraph sorva {\n"
        '  graph [rankdir=LR, nodesep=0.35, ranksep=0.7, fontname="Helvetica,Arial,sans-serif"];\n'
        '  node [fontname="Helvetica,Arial,sans-serif", fontsize=13];\n'
        '  edge [fontname="Helvetica,Arial,sans-serif", fontsize=10, fontcolor="#333333", arrowsize=0.8];\n'
        f'  a0 [id="node-a0", class="asset", shape=plain, label=<{table}<TR><TD COLSPAN="1"><B>raw</B></TD></TR>'
        f'{small}unpartitioned</FONT></TD></TR></TABLE>>, tooltip="{ref}raw"];\n'
        f'  a1 [id="node-a1", class="asset", shape=plain, label=<{table}<TR><TD COLSPAN="1"><B>scaled</B></TD></TR>'
        f'{small}2 partitions by city</FONT></TD></TR></TABLE>>, tooltip="{ref}scaled"];\n'
        f'  a2 [id="node-a2", class="asset", shape=plain, label=<{table}<TR><TD COLSPAN="1"><B>summed</B></TD></TR>'
        '<TR><TD COLSPAN="1"><I>sum &quot;up&quot; &lt;all&gt;</I></TD></TR>'
        f'{small}unpartitioned</FONT></TD></TR></TABLE>>, tooltip="{ref}summed"];\n'
        # An input naming no discovered asset is drawn as a node of its own.
        '  a3 [id="node-a3", class="asset missing", shape=box, style="dashed,rounded", color="#9e9e9e", '
        'fontcolor="#616161", label="table\\nno asset has this ref", tooltip="gone.py:table"];\n'
        '  a0 -> a1 [id="edge-0", class="input one", label="data", '
        'tooltip="scaled takes raw as data: one value", color="#555555"];\n'
        '  a3 -> a1 [id="edge-1", class="input one", label="lookup", '
        'tooltip="scaled takes table as lookup: one value", color="#555555"];\n'
        '  a1 -> a2 [id="edge-2", class="input fan-in", label="each", '
        'tooltip="summed takes scaled as each: a list of every partition", color="#555555:invis:#555555"];\n'
        "}\n"
    )


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


def test_each_partition_mapping_is_drawn_as_what_a_job_receives(tmp_path):
    write_module(tmp_path, "mappings", MAPPINGS)
    done = run("sorva.graph", "mappings", "--format", "dot", cwd=tmp_path)
    edges = re.findall(r'class="input ([\w-]+)", label="([^"]*)", tooltip="([^"]*)"', done.stdout)
    assert (done.returncode, done.stderr, sorted(edges)) == (0, "", [
        ("fan-in", "every", "overall takes cells as every: a list of every partition"),
        ("fan-in", "years\\nper city", "per_city takes cells as years: a list of the partitions with the same city"),
        ("one", "cell", "same takes cells as cell: one value"),
    ])
    assert "4 partitions by city (2) \u00d7 year (2)" in done.stdout


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
        (["-o", "g.svg"], "g.svg", "<?xml"),
        (["-o", "g.html"], "g.html", "<!DOCTYPE html>"),
        (["-o", "g.gv"], "g.gv", "digraph sorva {"),
        # An explicit format wins over the suffix.
        (["-o", "g.svg", "--format", "dot"], "g.svg", "digraph sorva {"),
        (["--format", "html"], None, "<!DOCTYPE html>"),
    ],
)
def test_the_format_follows_the_option_then_the_suffix(tmp_path, args, written, start):
    write_module(tmp_path, "small", SMALL)
    done = run("sorva.graph", "small", *args, cwd=tmp_path)
    text = (tmp_path / written).read_text(encoding="utf-8") if written else done.stdout
    assert (done.returncode, done.stderr, text.startswith(start)) == (0, "", True)
    assert (done.stdout == "") == bool(written)
    assert sorted(path.name for path in tmp_path.iterdir() if path.suffix != ".py") == ([written] if written else [])


E = "python -m sorva.graph: error: "


@pytest.mark.parametrize(
    "args, env, status, stderr",
    [
        ([], {}, 2, [E + "the following arguments are required: MODULE"]),
        (["small", "--format", "png"], {}, 2,
         [E + "argument --format: invalid choice: 'png' (choose from 'svg', 'html', 'dot')"]),
        (["empty"], {}, 2, [E + "no assets found in empty"]),
        (["sys"], {}, 2, ["python -m sorva.inspect: error: TypeError: <module 'sys' (built-in)> is a built-in module",
                          E + "inspecting the modules failed (exit status 1)"]),
        # A graph that silently left out a listed module would look like the graph of it.
        (["small", "broken"], {}, 2, ["python -m sorva.inspect: error: cannot import module 'broken': "
                                      "RuntimeError: no database today", E + "inspecting the modules failed (exit status 1)"]),
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


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM])
def test_a_signal_stops_the_command_and_what_it_started(tmp_path, signum):
    # The module announces its import, then hangs there: the inspection it runs in is still going.
    write_module(tmp_path, "slow", "import os, pathlib, time\npathlib.Path('started').write_text(str(os.getpid()))\n"
                 "time.sleep(60)\n")
    command = subprocess.Popen([sys.executable, "-m", "sorva.graph", "slow", "-o", "g.svg"], cwd=tmp_path,
                               stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    for _ in range(600):
        if (tmp_path / "started").exists() and (tmp_path / "started").read_text():
            break
        time.sleep(0.05)
    command.send_signal(signum)
    stdout, stderr = command.communicate(timeout=60)
    inspection = int((tmp_path / "started").read_text())
    assert (command.returncode, stdout, stderr) == (130, "", "python -m sorva.graph: error: interrupted\n")
    with pytest.raises(ProcessLookupError):
        os.kill(inspection, 0)
    assert sorted(path.name for path in tmp_path.iterdir() if path.suffix) == ["slow.py"]
