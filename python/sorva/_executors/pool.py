"""`--executor pool`: long-lived worker processes that import the run's modules once and run jobs in-process.

Neither a fresh interpreter nor a fork per job: each of `--jobs` workers
(`python -m sorva._executors.poolworker`) runs its jobs one after another, so a job
costs little more than the asset itself. The price is isolation: what a job
changes in its modules' state is there for the next job of the same worker.
A worker that dies fails the job it was running and is replaced; a job over
its time limit ends its worker, with everything the worker started, and so
does `--pool-recycle N` after N jobs. Each worker has a session and process
group of its own, listed with the watcher (`sorva._executors.watch`) that the process
executor uses too, so none outlives a runner that was killed.
"""

from __future__ import annotations

import json
import os
import socket
from collections.abc import Sequence

from sorva._cli import how_it_ended
from sorva._executors import NOT_STARTED, Ended, ExecutorError, Settings, Task, UseInstead
from sorva._executors.fork import LIVENESS, STOP_WAIT, read_answer, start_serving
from sorva._executors.process import ProcessExecutor


class _Worker:
    """One worker process and the stream socket its jobs go through; used by one thread at a time."""

    def __init__(self, modules: Sequence[str]) -> None:
        self.process, self.channel = start_serving(
            "sorva._executors.poolworker", modules, socket.SOCK_STREAM, "a pool worker"
        )
        self.channel.settimeout(LIVENESS)
        self.ready = False
        self.jobs = 0

    def wait_ready(self) -> bool:
        """Waits until the worker has imported the modules; False if it ended instead."""
        if not self.ready:
            self.ready = self._lines() == [b"R"]
        return self.ready

    def run(self, task: Task) -> Ended | None:
        """Runs the task; None when the worker ended before it answered."""
        # The upstream parameter names as JSON, which holds any text ("", "a,b") and no NUL.
        fields = [task.module, task.function, str(task.folder), "" if task.inputs is None else str(len(task.inputs)),
                  "" if task.root is None else str(task.root), json.dumps(task.upstream)]
        if any("\0" in field for field in fields):
            return Ended(2, "could not start the job: a name holds a NUL character")
        packet = b"\0".join(os.fsencode(field) for field in fields)
        try:
            # Opened here, as the process executor does, so that a job that started has its log whatever
            # becomes of the worker; never through a link planted in its place.
            log = os.open(task.folder / "worker.log", os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_NOFOLLOW, 0o666)
        except OSError as error:
            return Ended(2, f"could not start the job: could not open worker.log: {error.strerror}")
        try:
            socket.send_fds(self.channel, [len(packet).to_bytes(4, "little") + packet], [log])
            if task.inputs:
                self.channel.sendall(task.inputs)
        except OSError:
            return None  # it died; how is told by its exit status
        finally:
            os.close(log)
        lines = self._lines()
        if not lines or not lines[-1].startswith(b"S"):
            return None
        self.jobs += 1
        return Ended(int(lines[-1][1:]))

    def _lines(self) -> list[bytes]:
        """The lines of the worker's next answer, up to "R" or "S<status>"; fewer if it ended first.

        A job may have forked a process that holds the worker's socket, so the
        end of the stream is not awaited once the worker itself has ended.
        """
        pid = self.process.pid
        return read_answer(self.channel, lambda: os.waitid(os.P_PID, pid, os.WEXITED | os.WNOHANG | os.WNOWAIT) is None,
                           (b"R", b"S"))


class PoolExecutor(ProcessExecutor):
    """Runs each job in one of `jobs` long-lived workers; a worker that dies or times out is replaced.

    From the process executor it takes the watcher, the grace period and the
    stopping of process groups: every live worker is listed in `_running`
    until it is reaped, so a timeout and an interruption end it as they would
    end a worker process of that executor. `Settings.recycle` replaces each
    worker after that many jobs.
    """

    name = "pool"

    def __init__(self, settings: Settings = Settings()) -> None:  # noqa: B008 - frozen, shared safely
        super().__init__(settings)
        self._recycle = settings.recycle
        self._modules: tuple[str, ...] = ()
        self._idle: list[_Worker] = []

    def start(self, modules: Sequence[str], jobs: int) -> None:
        if not hasattr(os, "memfd_create"):
            raise UseInstead("the pool executor needs Linux; this run uses the process executor")
        self._modules = tuple(modules)
        super().start(modules, jobs)
        for _ in range(jobs):
            self._spawn()
        for worker in list(self._idle):
            if not worker.wait_ready():
                if self._stopping:
                    raise ExecutorError("interrupted while the pool workers imported the modules")
                how = how_it_ended(self._end(worker), verb=True)
                raise ExecutorError(f"a pool worker {how} while importing the modules")

    def run(self, task: Task) -> Ended:
        with self._running.lock:
            worker = self._idle.pop(0) if self._idle else None  # the longest idle, ready the soonest
        try:
            worker = worker or self._spawn(idle=False)
        except ExecutorError as error:
            return Ended(2, str(error))
        if worker is None:
            return NOT_STARTED
        if not worker.wait_ready():
            status = self._end(worker)
            if self._stopping:
                return NOT_STARTED
            self._replace()
            how = how_it_ended(status, verb=True)
            return Ended(2, f"could not start the job: a pool worker {how} while importing the modules")
        with self._running.lock:
            if self._stopping:
                self._idle.append(worker)
                return NOT_STARTED
        timer, timed_out = self._running.limit(worker.process, task.timeout)
        ended = worker.run(task)
        if timer is not None:
            timer.cancel()
        if ended is None or timed_out.is_set() or (self._recycle is not None and worker.jobs >= self._recycle):
            status = self._end(worker)
            self._replace()
            if ended is None:
                ended = Ended(status)
        else:
            with self._running.lock:
                self._idle.append(worker)
        if timed_out.is_set():
            return Ended(ended.status, f"timed out after {task.timeout:g} s")
        return ended

    def close(self) -> None:
        with self._running.lock:
            idle, self._idle = self._idle, []
        for worker in idle:
            worker.channel.close()  # each leaves once it reads the end of its jobs
        for worker in idle:
            self._end(worker)
        super().close()

    def _spawn(self, idle: bool = True) -> _Worker | None:
        """Starts a worker, which imports the modules meanwhile; listed as idle unless the caller uses it.

        None once the run is stopping: no worker starts then.
        """
        with self._running.lock:
            if self._stopping:
                return None
            worker = _Worker(self._modules)
            self._started(worker.process)
            if idle:
                self._idle.append(worker)
        return worker

    def _replace(self) -> None:
        """Starts the worker that takes the place of one that ended; if it cannot start, the next job says why."""
        try:
            self._spawn()
        except ExecutorError:
            pass

    def _end(self, worker: _Worker) -> int:
        """Tells the worker to leave, kills it after a while if it does not, ends its group and reaps it."""
        process = worker.process
        worker.channel.close()
        if process.returncode is not None:
            return process.returncode  # ended already: one that failed to start, met again by `close`
        killer = self._running.kill_after(process, STOP_WAIT)
        try:
            return self._running.clear(process)
        finally:
            killer.cancel()
