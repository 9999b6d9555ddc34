"""Process groups: every job, and every inspection, runs as the leader of a group of its own.

Signalling the group reaches whatever the asset started too. The fork server
imports this module, so it imports nothing beyond what a bare interpreter has.
"""

from __future__ import annotations

import os

GRACE = 2.0  # seconds a job asked to end gets before it is killed, whichever executor runs it


def signal_group(pid: int, signum: int) -> None:
    """Sends `signum` to the group that `pid` leads; a group that has ended is not missed."""
    try:
        os.killpg(pid, signum)
    except OSError:
        pass  # the group has ended
