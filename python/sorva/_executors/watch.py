"""`python -m sorva._executors.watch`: ends the process groups of a runner's jobs when the runner itself ends without doing so.

The process executor starts it once per run, in a session of its own, with a
pipe on its standard input. The executor writes "+PGID" when a job's
process group starts and "-PGID" once it has cleared that group, before it
reaps the group's leader, so a group id is never reused while it is listed
here. When the pipe closes, because the run ended or its runner was killed
(even with SIGKILL, which it cannot catch), the groups still listed are
killed and this ends.
"""

from __future__ import annotations

import signal
import sys

from sorva._executors.groups import signal_group


def main() -> int:
    groups: set[int] = set()
    for line in sys.stdin.buffer:
        try:
            sign, group = line[:1], int(line[1:])
        except ValueError:
            continue
        if sign == b"+":
            groups.add(group)
        elif sign == b"-":
            groups.discard(group)
    for group in groups:
        signal_group(group, signal.SIGKILL)
    return 0


if __name__ == "__main__":
    sys.exit(main())
