"""`python -m sorva.run` with serializers: DataFrames and arrays through the pipeline, fan-in of stored partitions."""

import pickle
import re

import pytest

from cli_support import REPO, job_files, outcomes, run, untimed, write_module

pandas = pytest.importorskip("pandas")

PIPELINE = '''
import pandas as pd
from sorva import asset, partitions
CITIES = partitions(["lisbon", "oslo"])
@asset(serializer="csv", partitions={"city": CITIES})
def sales(city): return pd.DataFrame({"city": [city, city], "amount": [1.5, 2.0] if city == "oslo" else [4.0, 0.5]})
@asset(inputs={"tables": sales}, serializer="pickle")
def combined(tables): return pd.concat([entry["value"] for entry in tables], ignore_index=True)
@asset(inputs={"table": combined})
def report(table): return {"kind": type(table).__name__, "rows": len(table), "total": float(table["amount"].sum())}
'''


def readme_example():
    """The pandas example of the README, as a user would copy it."""
    text = (REPO / "README.md").read_text("utf-8")
    section = text[text.index("### Values beyond JSON"):]
    return re.search(r"```python\n(.*?)```", section, re.S).group(1)


def test_the_readme_example_runs_and_digests_follow_the_value_file(tmp_path):
    write_module(tmp_path, "shop", readme_example())
    out = tmp_path / "sorva-out/by_city"

    def again():
        done = run("sorva.run", "shop", "--jobs", "1", "--verbose", cwd=tmp_path)
        assert done.stderr == ""
        with open(out / "value.pkl", "rb") as file:
            return done.returncode, outcomes(done), pickle.load(file).to_dict()

    assert again() == (0, {"sales": "ok", "by_city": "ok"}, {"lisbon": 12.5, "oslo": 10.5})
    assert again()[1] == {"sales": "fresh", "by_city": "fresh"}
    # An edit that stores the same DataFrame leaves the downstream fresh; another value reruns it.
    write_module(tmp_path, "shop", readme_example().replace("3.5]", "3.5 + 0]"))
    assert again()[1] == {"sales": "ok", "by_city": "fresh"}
    write_module(tmp_path, "shop", readme_example().replace("3.5]", "4.5]"))
    assert again() == (0, {"sales": "ok", "by_city": "ok"}, {"lisbon": 12.5, "oslo": 11.5})
    # A value file that no longer matches its reference is not fresh.
    for name in ("value.pkl", "value.json"):
        kept = (out / name).read_bytes()
        (out / name).write_bytes(kept[:-1])
        dry = run("sorva.run", "shop", "--dry-run", cwd=tmp_path)
        assert dry.stdout.splitlines()[1] == f"by_city: 1 to run, 0 fresh ({name} changed or missing: 1)"
        (out / name).write_bytes(kept)
    assert again()[1] == {"sales": "fresh", "by_city": "fresh"}


def test_dataframes_flow_through_csv_and_pickle_with_every_executor(tmp_path, each_executor):
    write_module(tmp_path, "frames", PIPELINE)
    reference = run("sorva.run", "frames", "--jobs", "2", "--out", "out", cwd=tmp_path)
    assert (reference.returncode, reference.stderr) == (0, "")
    out = tmp_path / "out"
    size = {name: (out / name).stat().st_size for name in ("sales/city=lisbon/value.csv", "combined/value.pkl")}
    # The count and the blanks before the seconds, which widen past 9.99 s, are left out.
    lines = sorted(re.sub(r"^\[\d/4\] | +(?=X)", " ", line) for line in untimed(reference.stdout).splitlines()[:4])
    assert lines == sorted(f" ok       {job} X.XXs  {preview}" for job, preview in [
        ("combined", f"<pickle value.pkl, {size['combined/value.pkl']} bytes>"),
        ("report", '{"kind": "DataFrame", "rows": 4, "total": 8.0}'),
        ("sales city=lisbon", f"<csv value.csv, {size['sales/city=lisbon/value.csv']} bytes>"),
        ("sales city=oslo", "<csv value.csv, 35 bytes>"),
    ])
    with open(out / "combined/value.pkl", "rb") as file:
        assert pickle.load(file).to_dict("list") == {"city": ["lisbon", "lisbon", "oslo", "oslo"],
                                                     "amount": [4.0, 0.5, 1.5, 2.0]}
    # The report page links the value's own file next to the reference to it.
    assert re.findall(r'href="(combined/[^"]+)"', (out / "report.html").read_text("utf-8")) == [
        "combined/value.json", "combined/value.pkl", "combined/result.json", "combined/worker.log"]
    stored = {"combined": ["value.pkl"], "report": [], "sales/city=lisbon": ["value.csv"], "sales/city=oslo": ["value.csv"]}
    assert sorted(job_files(out)) == sorted(f"{job}/{name}" for job, own in stored.items()
                                            for name in ["ended.json", "input_files.json", "result.json", "value.json", *own])
