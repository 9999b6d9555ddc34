"""A job's state in a run: one vocabulary for the scheduler, the run history and what people read."""

from __future__ import annotations

import enum


class State(enum.StrEnum):
    """Where a job stands; the scheduler moves it waiting → ready → running → one of the ended states.

    `word` is how the history records an ended job and how people read it.
    """

    WAITING = "waiting"  # upstream jobs have not all succeeded yet
    READY = "ready"
    RUNNING = "running"
    DONE = "done"
    FAILED = "failed"
    SKIPPED = "skipped"
    FRESH = "fresh"
    INTERRUPTED = "interrupted"

    @property
    def word(self) -> str:
        return "ok" if self is State.DONE else self.value


ENDED = (State.DONE, State.FAILED, State.SKIPPED, State.FRESH, State.INTERRUPTED)
# The ended states, those that need attention first: an asset is shown by the first its jobs have.
BY_ATTENTION = (State.FAILED, State.INTERRUPTED, State.SKIPPED, State.DONE, State.FRESH)
