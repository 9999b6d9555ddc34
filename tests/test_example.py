"""The example pipeline, run the way `make demo` runs it."""

import pytest

from cli_support import REPO, run, untimed

# Every run of these tests is made with each executor.
pytestmark = pytest.mark.usefixtures("each_executor")


def test_the_example_pipeline_runs_end_to_end(tmp_path):
    out = tmp_path / "sorva-out"
    done = run("sorva.run", "pipeline", "--out", str(out), "--jobs", "1", cwd=REPO / "examples")
    assert (done.returncode, done.stderr) == (0, "")
    assert untimed(done.stdout).endswith(
        '[8/8] ok       total                  X.XXs  {"total": 150.0, "best": "quito"}\n'
        f"8 jobs in X.XXs: 8 succeeded, 0 fresh, 0 failed, 0 skipped; outputs in {out}; report in {out}/report.html\n"
    )
    assert (out / "total/result.json").read_text(encoding="utf-8") == (
        '{"artifact_format":"json","function_name":"total","module_path":"pipeline","ok":true,"result_type":"dict",'
        f'"signature":"(by_city: list[dict[str, typing.Any]]) -> dict[str, typing.Any]","value_path":"{out}/total/value.json"}}'
    )
