"""The example pipeline, run the way `make demo` runs it."""

import json

from cli_support import REPO, run, untimed


def test_the_example_pipeline_runs_end_to_end(tmp_path):
    out = tmp_path / "sorva-out"
    done = run("sorva.run", "pipeline", "--out", str(out), "--jobs", "1", cwd=REPO / "examples")
    assert (done.returncode, done.stderr) == (0, "")
    assert untimed(done.stdout) == (
        '[1/8] ok       orders city=lisbon     X.XXs  {"tea": 12, "cake": 5}\n'
        '[2/8] ok       orders city=oslo       X.XXs  {"soup": 7, "tea": 3}\n'
        '[3/8] ok       orders city=quito      X.XXs  {"cake": 4, "soup": 2, "tea": 9}\n'
        '[4/8] ok       prices                 X.XXs  {"tea": 2.5, "cake": 4.0, "soup": 6.0}\n'
        "[5/8] ok       takings city=lisbon    X.XXs  50.0\n"
        "[6/8] ok       takings city=oslo      X.XXs  49.5\n"
        "[7/8] ok       takings city=quito     X.XXs  50.5\n"
        '[8/8] ok       total                  X.XXs  {"total": 150.0, "best": "quito"}\n'
        f"8 jobs in X.XXs: 8 succeeded, 0 failed, 0 skipped; outputs in {out}\n"
    )
    assert json.loads((out / "total/result.json").read_text(encoding="utf-8")) == {
        "artifact_format": "json",
        "function_name": "total",
        "module_path": "pipeline",
        "ok": True,
        "result_type": "dict",
        "signature": "(by_city: list[dict[str, typing.Any]]) -> dict[str, typing.Any]",
        "value_path": f"{out}/total/value.json",
    }
