"""What recording the files an asset reads costs a job that reads 1,000 files, and the runner's check of them.

The same `python -m sorva.worker` job runs with the recording and with it
switched off (the worker's hook calls replaced by no-ops in the same command
line), rounds alternating so that drift in the machine's load touches both
sides; each figure is the best round, in time passed and in the processor
time the job used (its own and its threads'), which a loaded machine moves
less. Then the runner's freshness check is timed for that job's 1,000
files, unchanged.
"""

from __future__ import annotations

import os
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from sorva._jobfiles import inputfiles as _inputfiles

ROUNDS = 15
FILES = 1_000
SIZE = 4096
ASSET = f"""
from sorva import asset
@asset()
def reads():
    total = 0
    for n in range({FILES}):
        with open(f"data/{{n}}.txt", "rb") as file:
            total += len(file.read())
    return total
"""
OFF = (
    "import sorva._jobfiles.inputfiles as f; f.start = f.stop = lambda: None; f.write = lambda *a, **k: None; "
    "import sys; from sorva.worker import main; sys.argv[0] = 'sorva.worker'; main()"
)


def job(folder: Path, recording: bool) -> tuple[float, float]:
    """The time the job took, and the processor time it used."""
    start = [sys.executable, "-m", "sorva.worker"] if recording else [sys.executable, "-c", OFF]
    before, started = resource.getrusage(resource.RUSAGE_CHILDREN), time.perf_counter()
    # No timeout: with one, the wait polls at doubling intervals, and every job ending between 32 and 64 ms took 64.
    subprocess.run([*start, "bench_reads", "reads", "out/job"], cwd=folder, check=True)
    after, took = resource.getrusage(resource.RUSAGE_CHILDREN), time.perf_counter() - started
    return took, after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime


def main() -> None:
    with tempfile.TemporaryDirectory() as scratch:
        folder = Path(scratch)
        (folder / "bench_reads.py").write_text(ASSET, encoding="utf-8")
        (folder / "data").mkdir()
        for n in range(FILES):
            (folder / "data" / f"{n}.txt").write_bytes(bytes(n % 256 for n in range(SIZE)))
        on, off = [], []
        for _ in range(ROUNDS):
            off.append(job(folder, False))
            on.append(job(folder, True))
        recorded = len(_inputfiles_entries(folder / "out/job"))
        os.chdir(folder)  # the paths are stored relative to the job's folder
        started = time.perf_counter()
        verdict = _inputfiles.Check("out")("out/job")
        checked = time.perf_counter() - started
        os.chdir("/")
        assert verdict is None, verdict
    print(f"a job reading {FILES} files of {SIZE} bytes ({recorded} recorded), best of {ROUNDS}:")
    for name, index in (("time", 0), ("processor time", 1)):
        without, with_ = min(t[index] for t in off), min(t[index] for t in on)
        print(f"  {name}: without recording {without * 1000:.1f} ms, with {with_ * 1000:.1f} ms", end=" ")
        print(f"(+{(with_ / without - 1) * 100:.1f}%)")
    print(f"  the runner's check of those {recorded} unchanged files: {checked * 1000:.1f} ms")


def _inputfiles_entries(folder: Path) -> list[object]:
    import json

    return json.loads((folder / _inputfiles.FILE).read_bytes())


if __name__ == "__main__":
    main()
