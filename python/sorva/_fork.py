"""`--executor fork`: each job forked from one server process that imported the run's modules once.

A fresh interpreter per job costs far more than the job itself when assets are
small; forking a process that has already imported everything keeps each job
in a process of its own (a crash, a leak or a changed global stays there) at a
fraction of the price. The runner is threaded and must not fork itself, so it
starts `python -m sorva._forkserver` and sends it the jobs over a socket.
"""

from __future__ import annotations

import itertools
import os
import signal
import socket
import subprocess
import sys
import threading
from collections.abc import Sequence
from typing import Any

from sorva._executor import Ended, Executor, ExecutorError, Task
from sorva._forkserver import GRACE, Frames, frame

# How long a server that was asked to stop may take beyond the jobs' grace period.
STOP_WAIT = 5.0
NOT_STARTED = Ended(-signal.SIGTERM, "interrupted before it started")


class ForkUnsafeError(ExecutorError):
    """Importing the modules left threads running: this run cannot fork and should use the process executor."""


def _how(returncode: int) -> str:
    if returncode < 0:
        try:
            return f"was killed by {signal.Signals(-returncode).name}"
        except ValueError:
            return f"was killed by signal {-returncode}"
    return f"exited with status {returncode}"


class _Waiting:
    """One job sent to the server, until its answer comes."""

    def __init__(self, timeout: float | None) -> None:
        self.timeout = timeout
        self.done = threading.Event()
        self.ended: Ended | None = NOT_STARTED
        self.group = 0  # the job's process group, once the server has forked it

    def finish(self, ended: Ended | None) -> None:
        self.ended = ended
        self.done.set()


class _Server:
    """One fork server process, the jobs it is running, and the thread that reads its answers."""

    def __init__(self, modules: Sequence[str]) -> None:
        ours, theirs = socket.socketpair()
        try:
            self.process = subprocess.Popen(
                [sys.executable, "-m", "sorva._forkserver", str(theirs.fileno()), *modules],
                pass_fds=(theirs.fileno(),),
                stdin=subprocess.DEVNULL,
                stdout=subprocess.DEVNULL,
            )
        except OSError as error:
            ours.close()
            raise ExecutorError(f"could not start the fork server: {error.strerror}") from None
        finally:
            theirs.close()
        self.channel = ours
        self.frames = Frames()
        self.lock = threading.Lock()  # guards pending and ended
        self.send_lock = threading.Lock()
        self.pending: dict[int, _Waiting] = {}
        self.ended = False
        self.stopping = False
        self.ids = itertools.count()
        self.threads = 0
        self.reader = threading.Thread(target=self._read, name="sorva-fork-reader", daemon=True)
        # Kills a server that does not leave by itself once asked (stopped, or stuck).
        self.killer = threading.Timer(GRACE + STOP_WAIT, self.process.kill)
        self.killer.daemon = True

    def wait_ready(self) -> None:
        """Waits until the server has imported the modules; raises ExecutorError if it ended instead."""
        while True:
            try:
                data = self.channel.recv(1 << 16)
            except OSError:
                data = b""
            if not data:
                if self.stopping:
                    raise ExecutorError("interrupted while the fork server imported the modules")
                raise ExecutorError(f"the fork server {_how(self._exit_status())} while importing the modules")
            frames = self.frames.feed(data)
            if frames:
                self.threads = int(frames[0][0]["threads"])
                self.reader.start()
                return

    def run(self, task: Task) -> Ended | None:
        """Runs a task; None when the server ended before it forked the task, which is then for another server."""
        waiting = _Waiting(task.timeout)
        with self.lock:
            if self.ended:
                return None
            job = next(self.ids)
            self.pending[job] = waiting
        header: dict[str, Any] = {
            "job": job,
            "module": task.module,
            "function": task.function,
            "folder": str(task.folder),
            "inputs": task.inputs is not None,
            "timeout": task.timeout,
        }
        try:
            with self.send_lock:
                self.channel.sendall(frame(header, task.inputs or b""))
        except OSError:
            # The server is gone; the reader meets the end of its stream and answers every pending job.
            pass
        waiting.done.wait()
        return waiting.ended

    def stop_soon(self) -> None:
        """Asks the server to stop its jobs and leave, without waiting; safe in a signal handler."""
        self.stopping = True
        if not self.reader.is_alive():
            # Still importing: it has forked nothing yet, so nothing is lost by killing it.
            self.process.kill()
        try:
            self.channel.shutdown(socket.SHUT_WR)
        except OSError:
            pass
        if not self.killer.is_alive() and not self.killer.finished.is_set():
            self.killer.start()

    def stop(self) -> None:
        """Asks the server to stop its jobs and leave, and waits until it has."""
        self.stop_soon()
        self.process.wait()
        self.killer.cancel()
        if self.reader.is_alive():
            self.reader.join()
        self._orphan(NOT_STARTED)
        # A sender may still hold the socket; closing it under their lock keeps its number from being reused under them.
        with self.send_lock:
            self.channel.close()

    def _read(self) -> None:
        while True:
            try:
                data = self.channel.recv(1 << 16)
            except OSError:
                data = b""
            if not data:
                break
            for header, _ in self.frames.feed(data):
                self._answer(header)
        self._orphan(NOT_STARTED if self.stopping else Ended(-signal.SIGKILL, f"the fork server {_how(self._exit_status())}"))

    def _orphan(self, ended: Ended) -> None:
        """Answers the jobs the server left unanswered.

        The server's death killed its children (each has PR_SET_PDEATHSIG),
        but not what they started in their groups. A job it had not forked
        yet never ran, and goes to the next server unless the run is stopping.
        """
        with self.lock:
            self.ended = True
            orphans = list(self.pending.values())
            self.pending.clear()
        for waiting in orphans:
            if not waiting.group:
                waiting.finish(NOT_STARTED if self.stopping else None)
                continue
            try:
                os.killpg(waiting.group, signal.SIGKILL)
            except OSError:
                pass
            waiting.finish(ended)

    def _answer(self, header: dict[str, Any]) -> None:
        with self.lock:
            if "group" in header:
                waiting = self.pending.get(header["job"])
                if waiting is not None:
                    waiting.group = header["group"]
                return
            waiting = self.pending.pop(header["job"], None)
        if waiting is None:
            return
        if "error" in header:
            waiting.finish(Ended(2, f"could not start the job: {header['error']}"))
        elif header["timed_out"]:
            waiting.finish(Ended(header["status"], f"timed out after {waiting.timeout:g} s"))
        else:
            waiting.finish(Ended(header["status"]))

    def _exit_status(self) -> int:
        """The server's exit status, once its stream has ended."""
        try:
            return self.process.wait(timeout=STOP_WAIT)
        except subprocess.TimeoutExpired:
            self.process.kill()
            return self.process.wait()


class ForkExecutor(Executor):
    """Forks every job from a server that imported the run's modules once; a server that dies is replaced."""

    name = "fork"

    def __init__(self) -> None:
        self._lock = threading.Lock()  # one start of a server at a time
        self._modules: tuple[str, ...] = ()
        self._server: _Server | None = None
        self._interrupted = False
        self._broken = ""

    def start(self, modules: Sequence[str], jobs: int) -> None:
        self._modules = tuple(modules)
        with self._lock:
            self._launch()

    def run(self, task: Task) -> Ended:
        while True:
            with self._lock:
                if self._interrupted:
                    return NOT_STARTED
                if self._broken:
                    return Ended(2, self._broken)
                if self._server is None or self._server.ended:
                    if self._server is not None:
                        self._server.stop()
                    try:
                        self._launch()
                    except ExecutorError as error:
                        self._broken = f"could not start a new fork server: {error}"
                        return Ended(2, self._broken)
                server = self._server
            assert server is not None
            ended = server.run(task)
            if ended is not None:
                return ended

    def interrupt(self) -> None:
        self._interrupted = True
        server = self._server
        if server is not None:
            server.stop_soon()

    def close(self) -> None:
        server, self._server = self._server, None
        if server is not None:
            server.stop()

    def _launch(self) -> None:
        """Starts a server and waits for its imports; the caller holds the lock."""
        server = _Server(self._modules)
        # Published before the imports finish, so that an interrupt can stop it.
        self._server = server
        try:
            server.wait_ready()
        except BaseException:
            server.stop()
            raise
        if server.threads > 1:
            server.stop()
            raise ForkUnsafeError(
                f"importing the modules left {server.threads} threads running and forking them is unsafe; "
                "this run uses the process executor"
            )
