"""Wall time of a whole run: `python -m sorva.run --jobs 2` with the pool and fork executors against a local Dask cluster.

The pipeline is one `seed` asset, N partitions of a cheap asset that reads it
and one fan-in over the partitions: N + 2 jobs. Each side is the whole
command, from the interpreter's start to its exit, in a fresh output folder:
the runner with `--executor pool` and with `--executor fork`, and a script
that starts a Dask cluster of two single-threaded worker processes, submits
the same graph (every task writes its value to a JSON file), waits for it
and closes the cluster. The rounds alternate between the sides so that drift
in the machine's load touches all of them; each figure is the best round.
Beside each wall time, the CPU time of the whole command with all its
processes (user and system, from the rusage of the reaped children), which a
busy machine moves much less.
Beside them, the unchanged rerun of the fork side's output folder, which
should start no job. Targets (informational, wall time moves with the load):
pool at most 0.5 times Dask's time, fork at most 1.5 times, the unchanged
rerun under 0.5 s.

The file system weighs on every side, most on the runner's, which leaves
six files and folders a job where the Dask side writes one file. So each
command starts once what the one before wrote is on disk, and not its
writeback. Run this when nothing has deleted many files in the last five
minutes (this benchmark's own cleanup included): ext4 without a journal
passes over the inodes freed in that time, one by one, each time it makes
a file, and a run then takes up to twice as long, mostly in system time.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

PIPELINE = '''
from sorva import asset, partitions


@asset()
def seed() -> int:
    return 7


@asset(inputs={"base": seed}, partitions={"part": partitions(list(range(%d)))})
def piece(part: int, base: int) -> int:
    return base * part


@asset(inputs={"every": piece})
def total(every: list) -> int:
    return sum(entry["value"] for entry in every)
'''
# The same work as Dask tasks, imported by the workers as the runner's workers import the pipeline.
DASK_TASKS = '''
import json
import os


def keep(folder: str, name: str, value: int) -> int:
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name + ".json"), "w", encoding="utf-8") as file:
        json.dump(value, file)
    return value


def seed(out: str) -> int:
    return keep(os.path.join(out, "seed"), "value", 7)


def piece(part: int, base: int, out: str) -> int:
    return keep(os.path.join(out, "piece"), str(part), base * part)


def total(every: list, out: str) -> int:
    return keep(os.path.join(out, "total"), "value", sum(every))
'''
DASK_RUN = '''
import sys
from distributed import Client, LocalCluster
import dask_tasks

if __name__ == "__main__":
    parts, out = int(sys.argv[1]), sys.argv[2]
    cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0")
    client = Client(cluster)
    seed = client.submit(dask_tasks.seed, out, pure=False)
    pieces = client.map(dask_tasks.piece, range(parts), base=seed, out=out, pure=False)
    print(client.submit(dask_tasks.total, pieces, out, pure=False).result())
    client.close()
    cluster.close()
'''
POOL_TARGET, FORK_TARGET, RERUN_TARGET = 0.5, 1.5, 0.5
SETTLE = 1.0  # seconds the machine rests between commands, after the sync


def cpu_of_children() -> float:
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def timed(command: list[str], folder: Path) -> tuple[tuple[float, float], str]:
    """Wall and CPU seconds of the command, and its standard output; a failure ends the benchmark."""
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [str(folder), os.environ.get("PYTHONPATH")])))
    os.sync()
    time.sleep(SETTLE)
    cpu, started = cpu_of_children(), time.perf_counter()
    done = subprocess.run(command, cwd=folder, env=environment, stdin=subprocess.DEVNULL, capture_output=True,
                          encoding="utf-8", timeout=7200, check=False)
    seconds = time.perf_counter() - started, cpu_of_children() - cpu
    if done.returncode != 0:
        sys.exit(f"{' '.join(command[:4])} failed with status {done.returncode}:\n{done.stderr[-3000:]}{done.stdout[-2000:]}")
    return seconds, done.stdout


def sorva_run(folder: Path, out: str, executor: str | None, jobs: int) -> tuple[float, float]:
    command = [sys.executable, "-m", "sorva.run", "pipeline", "--jobs", "2", "--out", out]
    seconds, output = timed(command + (["--executor", executor] if executor else []), folder)
    summary = output.splitlines()[-1]
    ran = re.match(r"(\d+) jobs", summary)
    if executor and (ran is None or int(ran.group(1)) != jobs):
        sys.exit(f"--executor {executor}: expected {jobs} jobs to run, the summary says: {summary}")
    return seconds


def dask_run(folder: Path, out: str, parts: int, expected: int) -> tuple[float, float]:
    seconds, output = timed([sys.executable, "-c", DASK_RUN, str(parts), out], folder)
    if int(output.split()[-1]) != expected:
        sys.exit(f"the Dask run computed {output.split()[-1]}, not {expected}")
    return seconds


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--partitions", type=int, default=2000, metavar="N", help="partitions of the cheap asset (default: 2000)")
    parser.add_argument("--rounds", type=int, default=3, metavar="N", help="interleaved rounds, the best counts (default: 3)")
    args = parser.parse_args()
    parts, jobs = args.partitions, args.partitions + 2
    try:
        import distributed  # noqa: F401  (only whether it is there)

        dask = True
    except ImportError:
        dask = False
    times: dict[str, list[tuple[float, float]]] = {"pool": [], "fork": [], **({"dask": []} if dask else {}), "rerun": []}
    with tempfile.TemporaryDirectory(prefix="sorva-whole-run-bench-") as name:
        folder = Path(name).resolve()
        (folder / "pipeline.py").write_text(PIPELINE % parts, encoding="utf-8")
        (folder / "dask_tasks.py").write_text(DASK_TASKS, encoding="utf-8")
        for round_ in range(args.rounds):
            times["pool"].append(sorva_run(folder, f"out-pool-{round_}", "pool", jobs))
            times["fork"].append(sorva_run(folder, f"out-fork-{round_}", "fork", jobs))
            if dask:
                times["dask"].append(dask_run(folder, f"out-dask-{round_}", parts, 7 * parts * (parts - 1) // 2))
            times["rerun"].append(sorva_run(folder, f"out-fork-{round_}", None, jobs))
    best = {side: min(wall for wall, _ in values) for side, values in times.items()}
    cpu = {side: min(used for _, used in values) for side, values in times.items()}
    print(f"whole run of {jobs} jobs (seed, {parts} partitions, a fan-in), --jobs 2, best of {args.rounds} interleaved rounds")
    labels = {"pool": "sorva.run --executor pool", "fork": "sorva.run --executor fork", "dask": "Dask LocalCluster, 2 x 1 thread"}
    targets = {"pool": POOL_TARGET, "fork": FORK_TARGET}
    for side, label in labels.items():
        if side not in best:
            continue
        line = f"  {label:34} {best[side] * 1e3:9.0f} ms  {best[side] / jobs * 1e3:6.2f} ms a job"
        if dask and side in targets:
            line += f"  {best[side] / best['dask']:5.2f}x Dask (target <= {targets[side]:g}x)"
        line += f"   CPU {cpu[side] * 1e3:7.0f} ms, {cpu[side] / jobs * 1e3:5.2f} ms a job"
        if dask and side in targets:
            line += f", {cpu[side] / cpu['dask']:4.2f}x Dask's"
        print(line)
    print(f"  {'unchanged rerun':34} {best['rerun'] * 1e3:9.0f} ms  (target < {RERUN_TARGET * 1e3:.0f} ms)"
          f"   CPU {cpu['rerun'] * 1e3:7.0f} ms")
    if not dask:
        print("  (no Dask figure: python3-distributed is not installed)")
    print("  rounds, wall and CPU seconds: "
          + json.dumps({side: [[round(wall, 3), round(used, 3)] for wall, used in values] for side, values in times.items()}))


if __name__ == "__main__":
    main()
