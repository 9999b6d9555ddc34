"""What one trivial job costs: a bare interpreter, the worker command, the fork and pool executors, a local Dask cluster.

The worker command is what outside engines start once per job, so its own
start-up is compared with `python3 -c pass`. The executors then run the same
trivial jobs two at a time, as `--jobs 2` would; a local Dask cluster of two
single-threaded worker processes doing the same calls is the yardstick for
what a long-lived process per core costs. Rounds alternate between the sides
so that drift in the machine's load touches all of them; each figure is the
best round.
"""

from __future__ import annotations

import os
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

from sorva._executors import Task
from sorva._executors.fork import ForkExecutor
from sorva._executors.pool import PoolExecutor
from sorva._executors.process import ProcessExecutor

ROUNDS = 5
STARTS = 20  # interpreter starts per round
JOBS = 200  # jobs per round for the executors
PARALLEL = 2
ASSET = "from sorva import asset\n\n\n@asset()\ndef trivial(n):\n    return {'n': n}\n"


def per_start(command: list[str], folder: Path) -> float:
    started = time.perf_counter()
    for _ in range(STARTS):
        subprocess.run(command, cwd=folder, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, check=True, timeout=60)
    return (time.perf_counter() - started) / STARTS


def tasks(folder: Path, side: str) -> list[Task]:
    made = []
    for n in range(JOBS):
        job = folder / "out" / side / str(n)
        job.mkdir(parents=True, exist_ok=True)
        made.append(Task("bench_assets", "trivial", job, b'{"n": %d}' % n))
    return made


def per_job(run: Callable[[Task], object], jobs: list[Task]) -> float:
    started = time.perf_counter()
    with ThreadPoolExecutor(PARALLEL) as pool:
        list(pool.map(run, jobs))
    return (time.perf_counter() - started) / len(jobs)


def materialize_on_worker(where: str, module: str, function: str, output: str, inputs: str) -> None:
    from sorva._sorva import materialize_asset

    if where not in sys.path:
        sys.path.insert(0, where)
    materialize_asset(module, function, output, inputs)


class DaskCluster:
    """A local cluster of two single-threaded worker processes doing the jobs' calls."""

    def __init__(self, folder: Path) -> None:
        from distributed import Client, LocalCluster

        self.folder = folder
        self.cluster = LocalCluster(n_workers=PARALLEL, threads_per_worker=1, processes=True, dashboard_address=":0")
        self.client = Client(self.cluster)

    def per_job(self, jobs: list[Task]) -> float:
        started = time.perf_counter()
        futures = [
            self.client.submit(materialize_on_worker, str(self.folder), job.module, job.function, str(job.folder),
                               (job.inputs or b"").decode(), pure=False)
            for job in jobs
        ]
        self.client.gather(futures)
        return (time.perf_counter() - started) / len(jobs)

    def close(self) -> None:
        self.client.close()
        self.cluster.close()


def main() -> None:
    with tempfile.TemporaryDirectory(prefix="sorva-bench-") as name:
        folder = Path(name).resolve()
        (folder / "bench_assets.py").write_text(ASSET, encoding="utf-8")
        bare = [sys.executable, "-c", "pass"]
        worker = [sys.executable, "-m", "sorva.worker", "bench_assets", "trivial", "out/cli", "--inputs", '{"n": 1}']
        starts: dict[str, list[float]] = {"python3 -c pass": [], "python -m sorva.worker": []}
        for _ in range(ROUNDS):
            starts["python3 -c pass"].append(per_start(bare, folder))
            starts["python -m sorva.worker"].append(per_start(worker, folder))
        print(f"one process per job, best of {ROUNDS} rounds of {STARTS}")
        for label, times in starts.items():
            print(f"  {label:28} {min(times) * 1e3:8.2f} ms")
        worker_extra = min(starts["python -m sorva.worker"]) - min(starts["python3 -c pass"])
        print(f"  {'the worker beyond a bare start':28} {worker_extra * 1e3:8.2f} ms")

        cwd = os.getcwd()
        os.chdir(folder)
        process, fork, pool = ProcessExecutor(), ForkExecutor(), PoolExecutor()
        for executor in (process, fork, pool):
            executor.start(["bench_assets"], PARALLEL)
        try:
            dask: DaskCluster | None = DaskCluster(folder)
        except ImportError:
            dask = None
        os.chdir(cwd)
        sides: dict[str, list[float]] = {"process": [], "fork": [], "pool": [], **({"dask": []} if dask else {})}
        jobs = {side: tasks(folder, side) for side in sides}
        try:
            for _ in range(ROUNDS):
                sides["process"].append(per_job(process.run, jobs["process"][: JOBS // 4]))
                sides["fork"].append(per_job(fork.run, jobs["fork"]))
                sides["pool"].append(per_job(pool.run, jobs["pool"]))
                if dask:
                    sides["dask"].append(dask.per_job(jobs["dask"]))
        finally:
            process.close()
            fork.close()
            pool.close()
            if dask:
                dask.close()
        print(f"trivial jobs {PARALLEL} at a time, wall time per job, best of {ROUNDS} rounds")
        labels = {"process": "process executor", "fork": "fork executor", "pool": "pool executor", "dask": "local Dask cluster, 2 processes"}
        for side, times in sides.items():
            print(f"  {labels[side]:32} {min(times) * 1e3:8.2f} ms")
        print(f"  the fork executor is {min(sides['process']) / min(sides['fork']):.1f} times as fast as the process executor")
        print(f"  the pool executor is {min(sides['fork']) / min(sides['pool']):.1f} times as fast as the fork executor")
        if dask:
            print(f"  the pool executor takes {min(sides['pool']) / min(sides['dask']):.2f} times Dask's time per job")
        if not dask:
            print("  (no Dask figure: python3-distributed is not installed)")


if __name__ == "__main__":
    main()
