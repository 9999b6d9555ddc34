"""`DaskExecutor` (`--executor dask`): each job runs on a worker of a Dask cluster.

Nothing is shared with the workers but the scheduler's connections: a job's
inputs travel with its task, and the task returns the files the job left,
which the runner side writes into the job's folder. On the worker the job is
`python -m sorva.worker MODULE FUNCTION SCRATCH --inputs-file -`, a process
of its own started in the Dask worker's current folder, so a crashing asset
takes down only that process and the worker's own code is what gets
imported. `distributed` is imported only when an executor starts, so this
module imports without it (the workers import it to find the task function).
"""

from __future__ import annotations

import json
import logging
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import uuid
from collections.abc import Sequence
from concurrent.futures import CancelledError
from dataclasses import dataclass
from pathlib import Path
from typing import Any, BinaryIO

from sorva._cli import exception_text, write_whole
from sorva._executors import NOT_STARTED, Ended, Executor, ExecutorError, Settings, Task
from sorva._executors.groups import GRACE
from sorva._executors.process import Running
from sorva._jobfiles import records
from sorva._jobfiles.values import upstream_files

# Seconds allowed for reaching a scheduler and for it to have a worker.
CONNECT_TIMEOUT = 10.0
# Seconds that cancelling the run on the cluster, or closing it, may take.
STOP_TIMEOUT = 10.0
# Times the cluster tries a job again when the task itself raised on a Dask
# worker (it could not start the job's process there); a lost worker is
# the scheduler's business (its allowed-failures setting).
RETRIES = 2
# How often the runner looks whether stopped jobs have ended.
POLL = 0.1
# How often the runner looks whether the cluster has a worker left while jobs wait.
WATCH = 1.0
# Inputs larger than this many bytes go to a worker before their task does.
LARGE_INPUTS = 1_000_000
INSTALL_HINT = "install python3-distributed (Debian) or pip install 'sorva[dask]'"

# --- the worker's side: runs in the Dask worker processes --------------------

_jobs = Running()  # each job process with the run it belongs to
# Runs cancelled while this worker was up; one short id per cancelled run.
_cancelled: set[str] = set()

# util-linux's `setpriv` has the job's process die with the thread that
# started it before it becomes the worker command (the same process), so a
# Dask worker killed under a job does not leave the job running unseen.
_SETPRIV = shutil.which("setpriv") if sys.platform == "linux" else None


@dataclass(frozen=True)
class Finished:
    """What a job left on the worker, sent back to the runner."""

    status: int  # the job process's exit status
    reason: str  # why the worker ended the job itself, "" when it ended by itself
    folder: str  # the scratch folder the job wrote to, as the job's record names it
    files: dict[str, bytes]  # path in that folder (with "/") -> content, worker.log included


def run_job_here(
    run: str,
    module: str,
    function: str,
    inputs: bytes | None,
    timeout: float | None,
    upstream: tuple[str, ...] = (),
    stored: dict[str, bytes] | None = None,
) -> Finished:
    """Runs one job in a process of its own on this Dask worker; the task function.

    `stored` holds the upstream value files the job loads (path under the
    run's output folder -> content); they are laid out under a scratch root
    as they lie in the output folder, so the worker finds them there.
    """
    with tempfile.TemporaryDirectory(prefix="sorva-job-") as scratch:
        folder = os.path.join(scratch, "job")
        os.mkdir(folder)
        command = [sys.executable, "-m", "sorva.worker", module, function, folder]
        if inputs is not None:
            command += ["--inputs-file", "-"]
        if upstream:
            root = os.path.join(scratch, "root")
            for name, data in (stored or {}).items():
                path = os.path.join(root, *name.split("/"))
                os.makedirs(os.path.dirname(path), exist_ok=True)
                with open(path, "wb") as file:
                    file.write(data)
            os.makedirs(root, exist_ok=True)
            # As JSON: a parameter name may be any text, "-x" or "" too.
            command += ["--root", root, "--upstream-json", json.dumps(upstream)]
        if _SETPRIV is not None:
            command = [_SETPRIV, "--pdeathsig", "KILL", "--", *command]
        # The job reads its inputs from a file as its standard input: nothing
        # to feed while it runs.
        stdin_path = os.path.join(scratch, "inputs.json")
        with open(stdin_path, "wb") as stdin:
            stdin.write(inputs or b"")
        with open(stdin_path, "rb") as stdin, open(os.path.join(folder, "worker.log"), "wb") as log:
            ended = _run_process(run, command, stdin, log, timeout)
        if ended is None:
            return Finished(NOT_STARTED.status, NOT_STARTED.reason, folder, {})
        return Finished(*ended, folder, _collect(folder))


def dask_setup(worker: object) -> None:
    """Run by the workers of a local cluster as they start: Ctrl-C at the runner's terminal is the runner's."""
    # A handler, unlike SIG_IGN, is not passed on to the jobs the worker starts.
    signal.signal(signal.SIGINT, _ignore)


def _ignore(signum: int, frame: object) -> None:
    """Leaves SIGINT to the runner."""


def cancel_run_here(run: str) -> None:
    """Stops this worker's jobs of a cancelled run, and any it would start later."""
    with _jobs.lock:
        _cancelled.add(run)
        processes = [process for process, its_run in _jobs.processes.values() if its_run == run]
    for process in processes:
        _jobs.stop(process)


def _run_process(run: str, command: list[str], stdin: BinaryIO, log: BinaryIO, timeout: float | None) -> tuple[int, str] | None:
    """How the job's process ended (status, reason); None when its run was cancelled first."""
    with _jobs.lock:
        if run in _cancelled:
            return None
        # A session of its own, so that stopping the job stops what it started.
        process = subprocess.Popen(
            command, stdin=stdin, stdout=log, stderr=subprocess.STDOUT, start_new_session=True
        )
        _jobs.add(process, run)
    timed_out = _jobs.wait(process, timeout, lambda: None)
    return process.returncode, f"timed out after {timeout:g} s" if timed_out else ""


def _collect(folder: str) -> dict[str, bytes]:
    """Every regular file the job left; links are not followed out of the folder."""
    files: dict[str, bytes] = {}
    for parent, _, names in os.walk(folder):
        for name in names:
            path = os.path.join(parent, name)
            if os.path.isfile(path) and not os.path.islink(path):
                with open(path, "rb") as file:
                    files[os.path.relpath(path, folder).replace(os.sep, "/")] = file.read()
    return files


# --- the runner's side --------------------------------------------------------


class DaskExecutor(Executor):
    """Sends each job to a Dask cluster: the one at `scheduler`, or a local one it starts."""

    name = "dask"

    def __init__(self, settings: Settings = Settings()) -> None:  # noqa: B008 - frozen, shared safely
        super().__init__(settings)
        self.scheduler = settings.scheduler
        self._run = uuid.uuid4().hex
        self._lock = threading.Lock()
        self._futures: set[Any] = set()
        self._interrupted = False
        self._client: Any = None
        self._cluster: Any = None
        self._stopper: threading.Thread | None = None
        self._silent: set[str] = set()  # running when the run was stopped, and never reported back
        self._closed = threading.Event()
        self._watcher: threading.Thread | None = None

    def start(self, modules: Sequence[str], jobs: int) -> None:
        distributed = _import_distributed()
        if self.scheduler is None:
            self._start_local_cluster(distributed, jobs)
        else:
            self._connect(distributed, self.scheduler)
        # The client's batched sending leaves a timed-out wait unretrieved now and
        # then as it closes, which asyncio would print on the runner's terminal.
        self._client.loop.asyncio_loop.set_exception_handler(_unless_timed_out_wait)
        self._watcher = threading.Thread(target=self._watch_workers, daemon=True)
        self._watcher.start()

    def _start_local_cluster(self, distributed: Any, jobs: int) -> None:
        import dask.config

        # Worker threads only wait for their job's process, so the cluster
        # gets one worker per processor and threads enough for every job.
        workers = max(1, min(jobs, os.cpu_count() or 1))
        # The worker processes write their logs to the runner's terminal; only
        # the runner speaks there.
        environ = dask.config.get("distributed.nanny.pre-spawn-environ")
        quiet = {"distributed.nanny.pre-spawn-environ": {**environ, "DASK_LOGGING__DISTRIBUTED": "critical"}}
        # They share its terminal too, where a Ctrl-C would kill them under
        # their jobs: the runner stops the run itself. They are started
        # ignoring SIGINT until `dask_setup` (which also serves the ones
        # restarted later) takes over; a Ctrl-C pressed while they start is lost.
        handler = signal.signal(signal.SIGINT, signal.SIG_IGN)
        try:
            with dask.config.set(quiet):
                self._cluster = distributed.LocalCluster(
                    n_workers=workers,
                    threads_per_worker=-(-jobs // workers),
                    processes=True,
                    host="127.0.0.1",
                    # No dashboard; the scheduler's own HTTP endpoint on a free loopback port.
                    dashboard_address=None,
                    scheduler_kwargs={"dashboard_address": "127.0.0.1:0"},
                    silence_logs=logging.CRITICAL,
                    preload=[__name__],
                )
        except (OSError, RuntimeError, TimeoutError) as error:
            self.close()
            raise ExecutorError(f"could not start a local Dask cluster: {exception_text(error)}") from None
        finally:
            signal.signal(signal.SIGINT, handler)
        self._client = distributed.Client(self._cluster, set_as_default=False)

    def _connect(self, distributed: Any, address: str) -> None:
        _check_listening(distributed, address)
        try:
            self._client = distributed.Client(address, timeout=CONNECT_TIMEOUT, set_as_default=False)
        except (OSError, TimeoutError, ValueError) as error:
            raise ExecutorError(f"no Dask scheduler answered at {address}: {error}") from None
        try:
            self._client.wait_for_workers(1, timeout=CONNECT_TIMEOUT)
        except (OSError, TimeoutError):
            self.close()
            raise ExecutorError(
                f"the Dask scheduler at {address} has no workers (none joined within {CONNECT_TIMEOUT:g} s)"
            ) from None

    def run(self, task: Task) -> Ended:
        try:
            str(task.folder).encode("utf-8")
        except UnicodeEncodeError:
            # The worker command refuses such a folder before writing anything.
            return Ended(2, "the job folder's path is not UTF-8 text")
        stored: dict[str, bytes] | None = None
        if task.upstream and task.root is not None:
            # No shared file system: the upstream value files travel with the job.
            try:
                names = upstream_files(task.root, task.inputs, task.upstream)
                stored = {name.as_posix(): (task.root / name).read_bytes() for name in names}
            except (OSError, ValueError) as error:
                return Ended(2, f"could not read the upstream values to send: {error}")
        sent: list[Any] = []  # what went to a worker ahead of the task
        try:
            inputs = self._send(task.inputs, sent)
            files = self._send(stored, sent)
            future = self._client.submit(
                run_job_here,
                self._run,
                task.module,
                task.function,
                inputs,
                task.timeout,
                task.upstream,
                files,
                key=f"{task.function}-{uuid.uuid4().hex}",
                pure=False,
                retries=RETRIES,
            )
        except TimeoutError:
            # The scheduler waits a while for a worker to take what is sent, then gives up.
            return Ended(2, f"no Dask worker took its inputs: the scheduler {self._address()} has none left")
        except Exception as error:  # noqa: BLE001 - whatever the cluster raised, the job's failure
            # Such as a worker lost while its inputs were on their way to it.
            return Ended(2, f"could not send its inputs to a Dask worker: {exception_text(error)}")
        with self._lock:
            if self._interrupted:
                future.cancel()
                return NOT_STARTED
            self._futures.add(future)
        try:
            finished: Finished = future.result()
        except CancelledError:
            if future.key in self._silent:
                return Ended(-signal.SIGTERM, "stopped; its Dask worker did not say how it ended")
            if self._interrupted:
                return NOT_STARTED
            if self._client.status == "running" and any(part.status in ("lost", "cancelled") for part in sent):
                # What was sent ahead had no other copy than on the worker lost:
                # the scheduler dropped the task that needed it.
                return Ended(2, "lost its Dask worker, which held the inputs sent ahead of it")
            return Ended(2, f"the connection to the Dask scheduler {self._address()} was lost")
        except Exception as error:  # noqa: BLE001 - any error of the task, as the cluster reports it
            return Ended(2, _task_error(error))
        finally:
            with self._lock:
                self._futures.discard(future)
        try:
            _store(task.folder, finished)
        except OSError as error:
            return Ended(2, f"could not write what the job left into its folder: {error}")
        return Ended(finished.status, finished.reason)

    def _send(self, data: Any, sent: list[Any]) -> Any:
        """`data` itself, or when it is large a future of it on a worker, so that the scheduler never holds it."""
        if data is None or (len(data) if isinstance(data, bytes) else sum(map(len, data.values()))) <= LARGE_INPUTS:
            return data
        # A key of this job's own (a list's items get one each): a dict would go
        # under its keys, the value files' paths, which every job loading the same
        # value shares, and one job's release would drop another's copy.
        [future] = self._client.scatter([data], hash=False)
        sent.append(future)
        return future

    def _watch_workers(self) -> None:
        """Says once, on the runner's standard error, when jobs wait for a cluster left without workers."""
        waiting = False
        while not self._closed.wait(WATCH):
            with self._lock:
                if not self._futures:
                    continue
            # What the client last heard from the scheduler, refreshed every few seconds.
            none = not self._client.scheduler_info().get("workers")
            if none and not waiting:
                self.settings.say(f"waiting for Dask workers: the scheduler {self._address()} has none")
            waiting = none

    def interrupt(self) -> None:
        # Called from the runner's signal handler: it only starts the stopping.
        self._interrupted = True
        if self._client is not None and self._stopper is None:
            self._stopper = threading.Thread(target=self._stop_on_cluster, daemon=True)
            self._stopper.start()

    def _stop_on_cluster(self) -> None:
        """Drops the jobs not yet started and stops the running ones, which then report how they ended."""
        with self._lock:
            futures = list(self._futures)
        try:
            started = {key for keys in self._client.processing().values() for key in keys}
            running = [future for future in futures if future.key in started]
            self._client.cancel([future for future in futures if future.key not in started], force=True)
            self._client.run(cancel_run_here, self._run, on_error="ignore")
            # A worker that does not answer must not keep the runner waiting.
            deadline = time.monotonic() + GRACE + STOP_TIMEOUT
            while not all(future.done() for future in running) and time.monotonic() < deadline:
                time.sleep(POLL)
            silent = [future for future in running if not future.done()]
            self._silent.update(future.key for future in silent)
            self._client.cancel(silent, force=True)
        except Exception:  # noqa: BLE001 - a cluster gone already has nothing left to stop
            self._client.cancel(futures, force=True)

    def close(self) -> None:
        self._closed.set()
        if self._watcher is not None:
            self._watcher.join()
        if self._stopper is not None:
            self._stopper.join(GRACE + 2 * STOP_TIMEOUT)
        for resource in (self._client, self._cluster):
            if resource is not None:
                try:
                    resource.close(timeout=STOP_TIMEOUT)
                except (OSError, RuntimeError, TimeoutError):
                    pass
        self._client = self._cluster = None

    def _address(self) -> str:
        return f"at {self.scheduler}" if self.scheduler else "of the local cluster"


def _import_distributed() -> Any:
    try:
        import distributed
    except ModuleNotFoundError:
        raise ExecutorError(f"the dask executor needs the 'distributed' package: {INSTALL_HINT}") from None
    except ImportError as error:
        raise ExecutorError(f"cannot import the 'distributed' package: {exception_text(error)}") from None
    return distributed


def _check_listening(distributed: Any, address: str) -> None:
    """Fails at once, in one line, when nothing listens at a TCP scheduler address."""
    try:
        scheme, location = distributed.comm.parse_address(address)
        if scheme != "tcp":
            return
        host, port = distributed.comm.parse_host_port(location)
    except (ValueError, TypeError):
        raise ExecutorError(f"argument --scheduler: '{address}' is not a scheduler address (tcp://HOST:PORT)") from None
    try:
        socket.create_connection((host, port), timeout=CONNECT_TIMEOUT).close()
    except OSError as error:
        why = "timed out" if isinstance(error, TimeoutError) else (error.strerror or str(error))
        raise ExecutorError(f"no Dask scheduler at {address}: {why}") from None


def _unless_timed_out_wait(loop: Any, context: dict[str, Any]) -> None:
    """asyncio's report of an error nobody waited for, but a timeout: those are Dask's own waits."""
    if not isinstance(context.get("exception"), TimeoutError):
        loop.default_exception_handler(context)


def _task_error(error: Exception) -> str:
    from distributed.scheduler import KilledWorker

    if isinstance(error, KilledWorker):
        return (
            f"the Dask worker running it was lost {error.allowed_failures + 1} times "
            f"(the last one at {error.last_worker.address}); the scheduler gave up on it"
        )
    return f"the Dask worker could not run it: {exception_text(error)}"


def _store(folder: Path, finished: Finished) -> None:
    """Writes the job's files into its folder, each whole or not at all: its output first, then the files
    it read, its record last."""
    names = sorted(
        finished.files, key=lambda name: (name == "result.json", name == "input_files.json", name != "worker.log")
    )
    for name in names:
        data = finished.files[name]
        if name == "result.json":
            data = records.relocated(data, finished.folder, folder)
        elif name == "worker.log":
            # The worker command names its record's path; the scratch folder is gone by now.
            data = data.replace(os.fsencode(finished.folder), os.fsencode(folder))
        target = folder / name
        target.parent.mkdir(parents=True, exist_ok=True)
        write_whole(target, data)
