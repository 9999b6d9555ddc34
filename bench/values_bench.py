"""Cost of handing a 20 MB upstream value to a downstream job: json against pickle, through the local runner.

Each case runs a two-job pipeline (`big` makes the value, `size` receives it)
with `python -m sorva.run --executor process --jobs 1`, and reports the wall
time of the run, each job's seconds, and the peak memory of the runner
process alone (not of its workers). For scale, the same value is dumped and
loaded once in this process with each format.
"""

import json
import os
import pickle
import re
import subprocess
import sys
import tempfile
import time
from pathlib import Path

PIPELINE = """
from sorva import asset

SERIALIZER = {serializer!r}


@asset(serializer=SERIALIZER)
def big():
    return [{{"id": i, "name": "item-%07d" % i, "score": i / 7, "tags": ["a", "b"]}} for i in range({rows})]


@asset(inputs={{"rows": big}})
def size(rows) -> int:
    return len(rows)
"""

ROWS = 232_000  # about 20 MB of JSON text

# Runs the runner in this interpreter and reports its own peak resident memory on exit. VmHWM
# counts this program's memory only; getrusage would also count the bench process it was forked from.
RUNNER = (
    "import atexit, runpy, sys\n"
    "def peak():\n"
    "    status = open('/proc/self/status').read()\n"
    "    sys.stderr.write('peak %s\\n' % status.split('VmHWM:')[1].split()[0])\n"
    "atexit.register(peak)\n"
    "sys.argv = ['sorva.run', *sys.argv[1:]]\n"
    "runpy.run_module('sorva.run', run_name='__main__', alter_sys=True)\n"
)


def run_case(folder: Path, serializer: str) -> tuple[float, float, float, int]:
    (folder / f"pipe_{serializer}.py").write_text(PIPELINE.format(serializer=serializer, rows=ROWS), encoding="utf-8")
    out = folder / f"out-{serializer}"
    started = time.perf_counter()
    done = subprocess.run(
        [sys.executable, "-c", RUNNER, f"pipe_{serializer}", "--out", str(out), "--jobs", "1", *EXTRA],
        cwd=folder, capture_output=True, text=True, timeout=600, check=False,
    )
    wall = time.perf_counter() - started
    if done.returncode != 0:
        raise SystemExit(f"the {serializer} run failed:\n{done.stdout}{done.stderr}")
    seconds = {name: float(s) for name, s in re.findall(r"ok\s+(big|size)\s+([0-9.]+)s", done.stdout)}
    peak = int(re.search(r"peak (\d+)", done.stderr).group(1))
    return wall, seconds["big"], seconds["size"], peak


def plain(serializer: str) -> float:
    value = [{"id": i, "name": "item-%07d" % i, "score": i / 7, "tags": ["a", "b"]} for i in range(ROWS)]
    started = time.perf_counter()
    if serializer == "json":
        json.loads(json.dumps(value))
    else:
        pickle.loads(pickle.dumps(value, protocol=5))
    return time.perf_counter() - started


# Executor options, where the runner has them; an older runner ran one process per job anyway.
EXTRA = [arg for arg in os.environ.get("SORVA_BENCH_RUN_OPTIONS", "--executor process --force").split() if arg]


def main() -> None:
    size = len(json.dumps([{"id": i, "name": "item-%07d" % i, "score": i / 7, "tags": ["a", "b"]} for i in range(ROWS)]))
    print(f"value: {ROWS} rows, {size / 1e6:.1f} MB as JSON")
    print(f"{'serializer':<10} {'run s':>7} {'big s':>7} {'size s':>7} {'runner peak MB':>15} {'dump+load s':>12}")
    with tempfile.TemporaryDirectory() as temporary:
        for serializer in ("json", "pickle"):
            wall, big, downstream, peak = run_case(Path(temporary), serializer)
            print(f"{serializer:<10} {wall:>7.2f} {big:>7.2f} {downstream:>7.2f} {peak / 1024:>15.1f} {plain(serializer):>12.2f}")


if __name__ == "__main__":
    main()
