"""Wall time of `python -m sorva.run` on a generated pipeline: a first run, an unchanged rerun, a rerun after one change.

The pipeline is 500 partitions of a cheap asset, a fan-in asset over them,
and a small configuration asset that only the fan-in reads. The unchanged
rerun should start no worker at all; the rerun after a change to the
configuration's source runs only the configuration and the fan-in. The
target is an unchanged rerun under 5% of the first run's wall time.

`--executor NAME` (repeatable) measures the same under other executors;
by default the process and fork executors, and then how many times as fast
as the process executor the fork executor makes a first run (target: 5).
Beside them it measures the floor of any executor that forks a process per
job on this machine: a loop that only forks, calls materialize_asset and
exits, two jobs at a time, with no runner, server or history around it.
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile
import time

PARTITIONS = 500
PIECES = '''
from sorva import asset, partitions


@asset(partitions={"part": partitions(list(range(%d)))})
def piece(part: int) -> int:
    return part * part
''' % PARTITIONS
SUMMARY = '''
from sorva import asset
from pieces import piece


@asset()
def config() -> dict:
    return {"scale": %s}


@asset(inputs={"every": piece, "settings": config})
def total(every: list, settings: dict) -> int:
    return settings["scale"] * sum(entry["value"] for entry in every)
'''
# Populates each child's pages as the fork server does, from what the first job wrote.
FLOOR = '''
import array, gc, os, sys, time
import inspect, json, pathlib
import pieces
from sorva._executors.forklinux import Linux
from sorva._sorva import materialize_asset

linux, profile = Linux(), None


def populate():
    if profile is not None and linux.populate is not None:
        linux.populate(profile)


os.register_at_fork(after_in_child=populate)
gc.collect()
gc.freeze()
jobs, slots = int(sys.argv[1]), 2
running, started = 0, time.perf_counter()
for part in range(jobs):
    if running == slots:
        os.wait()
        running -= 1
    folder = f"floor/{part}"
    os.makedirs(folder)
    learn = os.pipe() if part == 0 else None
    if os.fork() == 0:
        log = os.open(f"{folder}/worker.log", os.O_WRONLY | os.O_CREAT, 0o666)
        os.dup2(log, 1)
        os.dup2(log, 2)
        materialize_asset("pieces", "piece", folder, '{"part": %d}' % part)
        if learn:
            os.write(learn[1], linux.written().tobytes())
        os._exit(0)
    running += 1
    if learn:
        os.close(learn[1])
        os.wait()
        running -= 1
        profile = array.array("Q", b"".join(iter(lambda: os.read(learn[0], 1 << 16), b"")))
while running:
    os.wait()
    running -= 1
print(time.perf_counter() - started)
'''
TARGET = 0.05
FORK_TARGET = 5.0


def run(folder: str, executor: str) -> tuple[float, str]:
    started = time.monotonic()
    done = subprocess.run(
        [sys.executable, "-m", "sorva.run", "pieces", "summary", "--out", f"out-{executor}", "--executor", executor],
        cwd=folder, capture_output=True, encoding="utf-8", timeout=3600, check=False,
    )
    seconds = time.monotonic() - started
    if done.returncode != 0:
        sys.exit(f"the run failed with status {done.returncode}:\n{done.stderr}{done.stdout[-2000:]}")
    summary = done.stdout.splitlines()[-1]
    return seconds, re.sub(r"^\d+ jobs in [\d.]+s: |; outputs in .*$", "", summary)


def measure(folder: str, executor: str) -> tuple[bool, float]:
    """Whether the unchanged rerun met its target, and the first run's wall time."""
    with open(os.path.join(folder, "summary.py"), "w", encoding="utf-8") as file:
        file.write(SUMMARY % "1")
    first, first_jobs = run(folder, executor)
    unchanged, unchanged_jobs = run(folder, executor)
    with open(os.path.join(folder, "summary.py"), "w", encoding="utf-8") as file:
        file.write(SUMMARY % "2")
    changed, changed_jobs = run(folder, executor)
    ratio = unchanged / first
    print(f"--executor {executor}, {PARTITIONS + 2} jobs")
    print(f"  first run            {first:8.2f} s   {first_jobs}")
    print(f"  unchanged rerun      {unchanged:8.2f} s   {unchanged_jobs}   ratio {ratio:.3f} (target < {TARGET})")
    print(f"  after one change     {changed:8.2f} s   {changed_jobs}")
    return ratio < TARGET, first


def floor(folder: str) -> float:
    """Seconds the least fork-per-job loop takes for as many jobs as a first run has."""
    jobs = PARTITIONS + 2
    done = subprocess.run([sys.executable, "-c", FLOOR, str(jobs)], cwd=folder, capture_output=True,
                          encoding="utf-8", timeout=3600, check=False)
    if done.returncode != 0:
        sys.exit(f"the floor loop failed with status {done.returncode}:\n{done.stderr}")
    return float(done.stdout)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--executor", action="append", metavar="NAME", help="executor to measure (default: process and fork)"
    )
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="sorva-runner-bench-") as folder:
        with open(os.path.join(folder, "pieces.py"), "w", encoding="utf-8") as file:
            file.write(PIECES)
        results = {executor: measure(folder, executor) for executor in args.executor or ["process", "fork"]}
        least = floor(folder) if "process" in results and "fork" in results else None
    if least is not None:
        process, fork = results["process"][1], results["fork"][1]
        jobs = PARTITIONS + 2
        print(
            f"first run: fork {fork:.2f} s ({fork / jobs * 1e3:.1f} ms a job), process {process:.2f} s "
            f"({process / jobs * 1e3:.1f} ms a job): fork is {process / fork:.1f} times as fast (target {FORK_TARGET:g})"
        )
        print(
            f"floor of forking a process per job here: {least:.2f} s ({least / jobs * 1e3:.1f} ms a job), "
            f"at most {process / least:.1f} times as fast as the process executor"
        )
    sys.exit(0 if all(met for met, _ in results.values()) else 1)


if __name__ == "__main__":
    main()
