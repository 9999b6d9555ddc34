"""What the fork server asks of Linux beyond the os module: a parent-death signal, and copy-on-write paid in advance.

A forked child shares every page with the server until it writes to one; its
first write to each page then costs a fault that copies the page. A trivial
job writes a few hundred pages, and on virtual machines those faults are most
of its cost. Touching the same pages in one `madvise(MADV_POPULATE_WRITE)` per
run of pages is several times cheaper than faulting them one by one, and jobs
of the same asset write much the same pages: so the first job of each asset
notes the pages it wrote (from /proc/self/pagemap), and later jobs of that
asset populate those pages first thing.
"""

from __future__ import annotations

import array
import os
import signal
from collections.abc import Callable

PAGE = os.sysconf("SC_PAGE_SIZE") if hasattr(os, "sysconf") else 4096
_SET_PARENT_DEATH_SIGNAL = 1
_POPULATE_WRITE = 23
_PRESENT = 1 << 63
_EXCLUSIVE = 1 << 56  # mapped by this process only: written since the fork, or new
_MERGE_GAP = 1  # pages: runs this close are populated as one
MAX_RUNS = 2048  # a profile fits one pipe's buffer: 2048 runs of two 8-byte numbers
# Larger mappings are left out: a job rarely writes much of one, and scanning
# them would cost more than it saves (a sanitizer's shadow memory spans terabytes).
MAX_MAPPING = 256 << 20


class Linux:
    """The calls, looked up once in the server so that a child does not pay for loading ctypes."""

    def __init__(self) -> None:
        self.arm_death_signal: Callable[[], None] = lambda: None
        self.populate: Callable[[array.array[int]], None] | None = None
        try:
            import ctypes

            libc = ctypes.CDLL(None, use_errno=True)
            prctl, madvise = libc.prctl, libc.madvise
        except (ImportError, OSError, AttributeError):
            return
        madvise.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int]

        def arm_death_signal() -> None:
            prctl(_SET_PARENT_DEATH_SIGNAL, signal.SIGKILL, 0, 0, 0)

        def populate(runs: array.array[int]) -> None:
            for index in range(0, len(runs), 2):
                madvise(runs[index], runs[index + 1], _POPULATE_WRITE)

        self.arm_death_signal = arm_death_signal
        self.mappings = _writable_mappings()
        if self.mappings and _can_populate(madvise):
            self.populate = populate

    def written(self) -> array.array[int]:
        """The runs of pages this child wrote, as (start, length) pairs, within the server's writable mappings."""
        runs = array.array("Q")
        try:
            pagemap = os.open("/proc/self/pagemap", os.O_RDONLY)
        except OSError:
            return runs
        try:
            for start, end in self.mappings:
                entries = memoryview(os.pread(pagemap, (end - start) // PAGE * 8, start // PAGE * 8)).cast("Q")
                for index, entry in enumerate(entries):
                    if entry & _PRESENT and entry & _EXCLUSIVE:
                        address = start + index * PAGE
                        if runs and address <= runs[-2] + runs[-1] + _MERGE_GAP * PAGE:
                            runs[-1] = address + PAGE - runs[-2]
                        else:
                            runs.extend((address, PAGE))
        except OSError:
            return array.array("Q")
        finally:
            os.close(pagemap)
        return runs[: 2 * MAX_RUNS]


def _writable_mappings() -> list[tuple[int, int]]:
    """The private writable mappings of this process: heap, anonymous memory and data segments."""
    mappings = []
    try:
        with open("/proc/self/maps", encoding="ascii", errors="replace") as maps:
            for line in maps:
                fields = line.split()
                if fields[1].startswith("rw") and fields[1].endswith("p") and not fields[-1].startswith("[s"):
                    start, end = (int(bound, 16) for bound in fields[0].split("-"))
                    if end - start <= MAX_MAPPING:
                        mappings.append((start, end))
    except (OSError, ValueError, IndexError):
        return []
    return mappings


def _can_populate(madvise: Callable[..., int]) -> bool:
    """Whether this kernel knows MADV_POPULATE_WRITE (Linux 5.14 and later)."""
    probe = array.array("Q", [0])
    address = probe.buffer_info()[0] // PAGE * PAGE
    return madvise(address, PAGE, _POPULATE_WRITE) == 0
