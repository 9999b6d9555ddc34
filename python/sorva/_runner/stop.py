"""SIGINT and SIGTERM as a request to stop: the runner's parts register what stopping means for them."""

from __future__ import annotations

import signal
from collections.abc import Callable

# A runner stopped by a signal exits as a shell reports a process killed by it.
EXIT_STATUS = {signal.SIGINT: 130, signal.SIGTERM: 143}


class Stopper:
    """Catches SIGINT and SIGTERM once installed; the first one runs the registered actions.

    Actions run in the main thread, inside the signal handler, so they must
    only set flags or signal processes. Later signals are ignored: the stop
    is under way.
    """

    def __init__(self) -> None:
        self.signum: int | None = None
        self._actions: list[Callable[[], None]] = []

    def install(self) -> None:
        for signum in EXIT_STATUS:
            signal.signal(signum, self._handle)
        # Started with them held (the mask passes to a program as it starts), a stop that came meanwhile is taken now.
        signal.pthread_sigmask(signal.SIG_UNBLOCK, EXIT_STATUS)

    @property
    def name(self) -> str:
        return signal.Signals(self.signum).name if self.signum is not None else ""

    @property
    def exit_status(self) -> int:
        assert self.signum is not None
        return EXIT_STATUS[signal.Signals(self.signum)]

    def on_stop(self, action: Callable[[], None]) -> None:
        """Runs `action` on the stop, or at once if the stop came already."""
        self._actions.append(action)
        if self.signum is not None:
            action()

    def forget(self, action: Callable[[], None]) -> None:
        """Drops an action that no longer applies (what it would stop has ended)."""
        self._actions.remove(action)

    def final_status(self, status: object) -> object:
        """The status to exit with, `status` unless a stop came; from here on SIGINT and SIGTERM are held.

        A signal held from now on is dropped when the process exits: it
        cannot end the runner as the signal's default action would, once the
        interpreter has given its handlers back on the way out.
        """
        signal.pthread_sigmask(signal.SIG_BLOCK, EXIT_STATUS)
        # A stop caught just before, whose handler the interpreter has yet to run, has run by now.
        held = sorted(set(signal.sigpending()) & set(EXIT_STATUS))
        if self.signum is None and held:
            self.signum = held[0]
        return status if self.signum is None else self.exit_status

    def _handle(self, signum: int, frame: object) -> None:
        if self.signum is not None:
            return
        self.signum = signum
        for action in list(self._actions):
            action()
