"""Instruction counts from valgrind's callgrind: the stable figure behind a
benchmark's timed ratio, which a busy machine cannot move.

A benchmark script runs itself again under callgrind in a counting mode that
does its setup and then makes the measured call a given number of times; two
such runs with different numbers of calls give the instructions of one call
with the setup taken out.
"""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import sys
import tempfile
from collections.abc import Sequence

TIMEOUT = 1800


def available() -> bool:
    return shutil.which("valgrind") is not None


def total(command: Sequence[str]) -> int:
    """Instructions executed by the whole command under callgrind."""
    with tempfile.TemporaryDirectory(prefix="sorva-callgrind-") as folder:
        out = os.path.join(folder, "callgrind.out")
        subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", *command],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=TIMEOUT)
        with open(out, encoding="utf-8") as file:
            match = re.search(r"^totals:\s*(\d+)", file.read(), re.MULTILINE)
    if match is None:
        raise RuntimeError("callgrind wrote no totals")
    return int(match.group(1))


def per_call(script: str, arguments: Sequence[str], calls: tuple[int, int] = (1, 3)) -> float:
    """Instructions of one measured call: `script ... --count N` runs its
    setup and then N calls, for each N in `calls`."""
    low, high = (total([sys.executable, script, *arguments, "--count", str(n)]) for n in calls)
    if high <= low:
        # The calls are too cheap for the difference to rise above what
        # varies between runs: more calls are needed.
        raise RuntimeError(f"{script} {' '.join(arguments)}: {calls} calls counted {low} and {high} instructions")
    return (high - low) / (calls[1] - calls[0])


def median(values: Sequence[float]) -> float:
    ordered = sorted(values)
    middle = len(ordered) // 2
    return ordered[middle] if len(ordered) % 2 else (ordered[middle - 1] + ordered[middle]) / 2
