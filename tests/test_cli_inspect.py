"""`python -m sorva.inspect`: the inspection output on standard output, skip lines and errors on standard error."""

import json
import signal

import pytest

from cli_support import run, write_module, write_modules


# Modules that fail to import are skipped with a line. Whatever a module does to standard output while imported or
# at exit, the output stays apart: in the file with --output, alone on standard output otherwise. Output of many
# chunks, with characters of two to four bytes lying across the chunk boundaries, arrives whole, as UTF-8 whatever
# the locale. PYTHONSAFEPATH leaves the current folder off the path; the user's module is found there all the same.
NOISY = '''
import atexit, io, sys
from sorva import asset
print("at import")
atexit.register(print, "at exit")
sys.stdout = None if REPLACE else sys.stdout
@asset()
def dish() -> str: return "soup"
'''
FILLER = "".join(f"# {'é日😀' * 7} {n}\n" for n in range(8000))
SKIPPED = ("sorva: skipping module 'nowhere': ModuleNotFoundError: No module named 'nowhere'\n"
           "sorva: skipping module 'broken': RuntimeError: no database today\n")


@pytest.mark.parametrize("replace", [False, True])
@pytest.mark.parametrize("to_file", [False, True])
def test_the_output_is_whole_and_never_mixes_with_what_modules_print(tmp_path, replace, to_file):
    write_modules(tmp_path, noisy=f"{FILLER}REPLACE = {replace}\n" + NOISY, broken="raise RuntimeError('no database today')\n")
    done = run("sorva.inspect", "nowhere", "broken", "noisy", *(["--output", "found.json"] if to_file else []), cwd=tmp_path,
               env={"PYTHONSAFEPATH": "1", "PYTHONIOENCODING": "ascii"})
    output = (tmp_path / "found.json").read_text(encoding="utf-8") if to_file else done.stdout
    assert (done.returncode, done.stdout if to_file else "", done.stderr) == (
        0, "", SKIPPED + "at import\n" + ("" if replace else "at exit\n"))
    assert (output.endswith("}\n"), output.count("\n"), "é日😀" in output) == (not to_file, 0 if to_file else 1, True)
    [dish] = json.loads(output)["assets"]  # the record's text is checked in test_inspect
    assert (dish["file_path"], dish["module_source"].startswith(FILLER)) == (str((tmp_path / "noisy.py").resolve()), True)


# A module that ends the process itself, even with status 0, is an error: 0 means the whole output was written.
QUITS = "import os\nos._exit(0)\n"
UNJSON = "def zz(): pass\nzz.__sorva_kind__ = 'asset'\nzz.__sorva_metadata__ = {'x': float('nan')}\n"


@pytest.mark.parametrize("args, status, error", [
    (["plain"], 0, None),
    (["--strict", "--output", "found.json", "--", "plain"], 0, None),
    ([], 2, "the following arguments are required: MODULE"),
    (["plain", "--deep"], 2, "unrecognized arguments: --deep"),
    (["plain", "unjson"], 1, "cannot inspect module 'unjson': RuntimeError: JSON parse error: expected value at line 1 column 7"),
    (["plain", "quits", "--output", "found.json"], 1, "module 'quits' ended the process before the output was written (exit status 0)"),
    (["--strict", "plain", "nowhere"], 1, "cannot import module 'nowhere': ModuleNotFoundError: No module named 'nowhere'"),
    (["--strict", "plain", "exits"], 1, "cannot import module 'exits': SystemExit: 3"),
    (["--output", "missing/found.json", "plain"], 2, "cannot write 'missing/found.json': No such file or directory"),
])
def test_outcomes_without_assets_strict_imports_and_the_output_file(tmp_path, args, status, error):
    write_modules(tmp_path, plain="VALUE = 1\n", exits="raise SystemExit(3)\n", unjson=UNJSON, quits=QUITS)
    done = run("sorva.inspect", *args, cwd=tmp_path)
    written = status == 0 and "--output" in args  # the output goes to the file named, or else to standard output
    stderr = f"python -m sorva.inspect: error: {error}\n" if error else ""
    assert (done.returncode, done.stdout, done.stderr) == (status, '{"assets":[]}\n' if status == 0 and not written else "", stderr)
    assert sorted(path.name for path in tmp_path.iterdir() if path.suffix == ".json") == (["found.json"] if written else [])


# Ctrl-C or SIGTERM while the text is written: status 130 or 143, no traceback, and no partial file left behind.
@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM])
@pytest.mark.parametrize("to_file", [False, True])
def test_a_stop_while_writing_leaves_nothing_half_written(tmp_path, to_file, signum):
    write_module(tmp_path, "plain", "VALUE = 1\n")
    script = ("import os, sys, time, sorva.inspect as cli\n"
              f"def stopped(file, outputs):\n    file.write(b'{{')\n    os.kill(os.getpid(), {int(signum)})\n    time.sleep(30)\n"
              "cli._write_records = stopped\ncli.main(sys.argv[1:])\n")
    done = run("-c", script, "plain", *(["--output", "found.json"] if to_file else []), cwd=tmp_path)
    assert (done.returncode, done.stderr) == (128 + signum, "")
    assert sorted(path.name for path in tmp_path.iterdir() if path.suffix != ".py" and path.name != "__pycache__") == []


# A large module is inspected in batches of its members (here one member each): the output, or the error, is
# byte for byte that of one call on the whole module (the count of calls shows which way each run took).
BATCHED = """import sys, sorva._sorva as native, sorva._member_batches as batches, sorva.inspect as cli
def counted(modules, inspect=native.inspect_modules):
    open("calls", "a").write(".")
    return inspect(modules)
native.inspect_modules, batches.BATCH_CHARS, batches.BATCH_MEMBERS = counted, int(sys.argv[1]), int(sys.argv[1])
cli.main(sys.argv[2:])
"""
MENU = """from sorva import asset, partitions
from pantry import bread
def helper(): return 1
class Asset: __sorva_kind__ = "Asset"
@asset(inputs={"loaf": bread}, partitions={"day": partitions([1, 2])}, serializer="json")
def dish(loaf: str, day: int) -> list[str]: return [loaf]
again = dish
"""


# The error is the one the table above shows for a member that cannot be written as JSON.
@pytest.mark.parametrize("tail, to_file, status", [("", False, 0), ("", True, 0), (UNJSON, True, 1)])
def test_a_module_inspected_in_batches_gives_the_output_of_one_call(tmp_path, tail, to_file, status):
    write_module(tmp_path, "pantry", "from sorva import asset\n@asset(name='loaf')\ndef bread() -> str: return 'rye'\n")
    write_module(tmp_path, "menu", MENU + tail)
    outcomes, found, output = [], tmp_path / "found.json", ["--output", "found.json"] if to_file else []
    for batch_size in ("1", "1000000"):
        (tmp_path / "calls").write_text("")
        done = run("-c", BATCHED, batch_size, "--strict", "pantry", "menu", *output, cwd=tmp_path)
        outcomes.append((done.returncode, done.stderr, found.read_text() if found.exists() else done.stdout))
        outcomes.append(len((tmp_path / "calls").read_text()))
        found.unlink(missing_ok=True)
    batched, batched_calls, (returncode, stderr, written), calls = outcomes
    names = [asset["function_name"] for asset in json.loads(written)["assets"]] if written else []
    assert (batched, batched_calls > 2, calls, returncode, names, "JSON parse error" in stderr) == (
        (returncode, stderr, written), True, 2, status, [] if status else ["bread", "dish", "bread", "dish"], bool(status))
