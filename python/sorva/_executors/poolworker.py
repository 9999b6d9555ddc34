"""A pool worker: imports a run's modules once, then runs its jobs in this process, one after another.

The runner starts it as `python -m sorva._executors.poolworker FD MODULE ...` in a
session of its own. FD is a stream socket: the worker writes "R\\n" once the
imports are done; after that each job comes as a 4-byte length, with the
job's `worker.log` attached (opened by the runner), a packet holding the
module, function, folder, the size of the inputs, the run's output folder
and the upstream parameter names (a JSON array), separated by NUL bytes, and
then the inputs. The worker runs the job with its standard output and error
sent to that log, so that the folder holds what
`python -m sorva.worker` leaves, and answers "S<status>\\n". It leaves when
the runner's end closes. Whatever a job started and left running is killed
when the job ends: this process adopts the orphans of its descendants, so
none escapes by losing its parent.
"""

from __future__ import annotations

import importlib
import json
import os
import signal
import socket
import sys

from sorva._cli import flush_streams
from sorva._executors.forkserver import ImportOutput, _read_exactly, import_modules, run_worker
from sorva._jobfiles.job import PROG as WORKER

_SET_CHILD_SUBREAPER = 36


def _adopt_orphans() -> None:
    """Makes the orphans of this process's descendants its own children, where Linux allows."""
    try:
        import ctypes

        ctypes.CDLL(None, use_errno=True).prctl(_SET_CHILD_SUBREAPER, 1, 0, 0, 0)
    except (ImportError, OSError, AttributeError):
        pass  # without it an orphan that left the job's group is not found; its group is still ended with the worker


def _children() -> list[int]:
    pids = []
    for task in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{task}/children", encoding="ascii") as file:
                pids += [int(pid) for pid in file.read().split()]
        except OSError:
            pass  # the thread ended
    return pids


def _end_leftovers(kept: set[int]) -> None:
    """Kills and reaps every process the job left, and the orphans each one leaves in turn; `kept` are the imports'."""
    try:
        children = [pid for pid in _children() if pid not in kept]
        while children:
            for pid in children:
                os.kill(pid, signal.SIGKILL)
            for pid in children:
                try:
                    os.waitpid(pid, 0)
                except ChildProcessError:
                    pass  # reaped by the job's own code meanwhile
            children = [pid for pid in _children() if pid not in kept]
    except OSError:
        pass  # no /proc: what the job left runs on until the worker's group is ended


class Worker:
    """What stays from job to job: the imports' output, the working directory, the imports' own children."""

    def __init__(self, imported: dict[str, ImportOutput]) -> None:
        self.imported = imported
        self.cwd = os.getcwd()
        try:
            self.kept = set(_children())
        except OSError:
            self.kept = set()


def run_one(packet: bytes, log: int, channel: socket.socket, worker: Worker) -> int:
    """Runs one job with fds 1 and 2 on its worker.log, `log`; returns its status."""
    module, function, folder, size, root, names = (os.fsdecode(field) for field in packet.split(b"\0"))
    upstream = tuple(json.loads(names))
    inputs = _read_exactly(channel.fileno(), int(size)) if size else None
    if module not in worker.imported and module not in sys.modules:
        # A module no earlier job imported: imported here with its output kept, so that
        # each of its jobs prints that output, as the worker's own import would.
        worker.imported.update(import_modules([module]))
    saved = os.dup(1), os.dup(2)
    real_import = importlib.import_module
    status = 2
    try:
        os.dup2(log, 1)
        os.dup2(log, 2)
        os.close(log)
        sys.argv = [WORKER, module, function, folder, *(["--inputs-file", "-"] if inputs is not None else [])]
        if upstream:
            sys.argv += ["--root", root, "--upstream-json", names]
        try:
            status = run_worker(module, function, folder, inputs, worker.imported.get(module), root or None, upstream)
        except BaseException:  # noqa: BLE001 - one job's failure must not end the worker's loop
            import traceback

            traceback.print_exc()
    finally:
        flush_streams()
        _end_leftovers(worker.kept)
        # What a job changed of the process beyond its modules' own state is put back for the next.
        importlib.import_module = real_import
        os.dup2(saved[0], 1)
        os.dup2(saved[1], 2)
        os.close(saved[0])
        os.close(saved[1])
        try:
            os.chdir(worker.cwd)
        except OSError:
            pass
    return status


def serve(channel: socket.socket, worker: Worker) -> None:
    pid = os.getpid()
    while True:
        # The job's log comes with the first bytes of its packet.
        header, fds, _, _ = socket.recv_fds(channel, 4, 1)
        if not header or not fds:
            return
        header += _read_exactly(channel.fileno(), 4 - len(header))
        packet = _read_exactly(channel.fileno(), int.from_bytes(header, "little"))
        status = run_one(packet, fds[0], channel, worker)
        if os.getpid() != pid:
            os._exit(status)  # a process the asset forked, back from the asset: the job is the worker's to answer
        channel.sendall(b"S%d\n" % status)


def main(argv: list[str]) -> int:
    try:
        channel = socket.socket(fileno=int(argv[0]))
        if channel.type != socket.SOCK_STREAM:
            raise ValueError(channel.type)
    except (IndexError, ValueError, OSError):
        sys.stderr.write("python -m sorva._executors.poolworker: error: the runner starts this with its socket (FD MODULE ...)\n")
        return 2
    os.set_inheritable(channel.fileno(), False)
    _adopt_orphans()
    cwd = os.getcwd()
    if sys.path[:1] != [cwd]:
        sys.path.insert(0, cwd)
    imported = import_modules(argv[1:])
    try:
        channel.sendall(b"R\n")
        serve(channel, Worker(imported))
    except (OSError, EOFError):
        pass  # the runner is gone
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
