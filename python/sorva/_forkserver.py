"""The fork server: imports a run's modules once, then forks one child per job that does what the worker does.

The runner starts it as `python -m sorva._forkserver FD MODULE ...` and talks to
it over the stream socket FD, in frames (see `frame`). The server's first frame
says how many threads the imports left running; after that it answers each job
frame with one frame holding the job's exit status. When the runner's end of
the socket closes, for whatever reason, the server kills every job it is
running, reports them and exits: nothing it started outlives the runner.
"""

from __future__ import annotations

import gc
import importlib
import json
import os
import select
import signal
import socket
import struct
import sys
import tempfile
import threading
import time
import traceback
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any, NoReturn

# Each frame: the lengths of its JSON header and of its raw payload, then both.
_LENGTHS = struct.Struct(">II")
WORKER = "python -m sorva.worker"
GRACE = 2.0  # seconds a job asked to end gets before it is killed, as with the process executor


def frame(header: dict[str, Any], payload: bytes = b"") -> bytes:
    text = json.dumps(header).encode("utf-8")
    return _LENGTHS.pack(len(text), len(payload)) + text + payload


class Frames:
    """Cuts a byte stream into (header, payload) frames as its bytes arrive."""

    def __init__(self) -> None:
        self._buffer = bytearray()

    def feed(self, data: bytes) -> list[tuple[dict[str, Any], bytes]]:
        self._buffer += data
        frames = []
        while len(self._buffer) >= _LENGTHS.size:
            head, size = _LENGTHS.unpack_from(self._buffer)
            end = _LENGTHS.size + head + size
            if len(self._buffer) < end:
                break
            header = json.loads(self._buffer[_LENGTHS.size : _LENGTHS.size + head])
            frames.append((header, bytes(self._buffer[_LENGTHS.size + head : end])))
            del self._buffer[:end]
        return frames


def thread_count() -> int:
    """How many threads this process runs, native ones included where the system lists them."""
    try:
        return len(os.listdir("/proc/self/task"))
    except OSError:
        return threading.active_count()


@dataclass
class ImportOutput:
    """What importing one module printed, kept to be replayed in each of its jobs' logs."""

    stdout: bytes
    stderr: bytes


def import_modules(modules: Sequence[str]) -> dict[str, ImportOutput]:
    """Imports the modules as the worker would, each one's output captured apart.

    A worker's log starts with what importing its module printed; the jobs
    forked from here skip that import, so they replay the captured text. A
    module that fails to import is left for each job to import again, which
    records the failure exactly as the worker does.
    """
    outputs: dict[str, ImportOutput] = {}
    saved = os.dup(1), os.dup(2)
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        os.dup2(out.fileno(), 1)
        os.dup2(err.fileno(), 2)
        try:
            for module in modules:
                marks = os.lseek(1, 0, os.SEEK_CUR), os.lseek(2, 0, os.SEEK_CUR)
                try:
                    importlib.import_module(module)
                    imported = True
                except BaseException:  # noqa: BLE001 - whatever it is, each job meets it again
                    imported = False
                sys.stdout.flush()
                sys.stderr.flush()
                if imported and module not in outputs:
                    outputs[module] = ImportOutput(_read_from(1, marks[0]), _read_from(2, marks[1]))
        finally:
            os.dup2(saved[0], 1)
            os.dup2(saved[1], 2)
            os.close(saved[0])
            os.close(saved[1])
    return outputs


def _read_from(fd: int, start: int) -> bytes:
    end = os.lseek(fd, 0, os.SEEK_CUR)
    return os.pread(fd, end - start, start)


def _die_with_parent() -> Callable[[], None]:
    """Returns what a child calls so that the kernel kills it when the server dies.

    Looked up once in the server: a child should not pay for loading ctypes.
    """
    try:
        import ctypes

        libc = ctypes.CDLL(None, use_errno=True)
        prctl = libc.prctl
    except (ImportError, OSError, AttributeError):
        return lambda: None
    set_parent_death_signal = 1

    def arm() -> None:
        prctl(set_parent_death_signal, signal.SIGKILL, 0, 0, 0)

    return arm


def exit_status(code: object) -> int:
    """The status a process exits with when SystemExit(code) leaves the interpreter."""
    if code is None:
        return 0
    if isinstance(code, int):
        return code & 0xFF
    sys.stderr.write(f"{code}\n")
    return 1


def decode_inputs(inputs: bytes) -> str | None:
    """The inputs as the worker reads them from standard input; None, said on stderr, when they are not UTF-8."""
    try:
        return inputs.decode("utf-8")
    except UnicodeDecodeError as error:
        sys.stderr.write(f"{WORKER}: error: inputs file '-' is not UTF-8 text: {error.reason}\n")
        return None


def run_job(module: str, function: str, folder: str, inputs: str | None) -> int:
    """Does what `python -m sorva.worker MODULE FUNCTION FOLDER` does once it has its inputs; returns its status."""
    from sorva._sorva import materialize_asset

    try:
        materialize_asset(module, function, folder, inputs)
    except SystemExit as leaving:
        return exit_status(leaving.code)
    except Exception as error:
        sys.stderr.write(f"{WORKER}: error: {type(error).__qualname__}: {error}\n")
        return 2
    except BaseException:
        traceback.print_exc()
        return 1
    return 0


@dataclass
class Child:
    job: int
    deadline: float | None  # when the job's time is up
    timed_out: bool = False
    kill_at: float | None = None  # once asked to end: when it is killed if it has not
    killed: bool = False


class Server:
    def __init__(self, channel: socket.socket, imported: dict[str, ImportOutput]) -> None:
        self.channel = channel
        self.imported = imported
        self.children: dict[int, Child] = {}
        self.frames = Frames()
        self.wake_read, self.wake_write = os.pipe()
        os.set_blocking(self.wake_read, False)
        os.set_blocking(self.wake_write, False)
        self.arm_death_signal = _die_with_parent()
        self.pid = os.getpid()

    def serve(self) -> None:
        """Runs jobs until the runner's end closes, then stops them all and returns once they have ended."""
        # A child's exit wakes the loop through the wakeup pipe; the handler
        # itself has nothing to do.
        signal.set_wakeup_fd(self.wake_write)
        signal.signal(signal.SIGCHLD, lambda signum, frame: None)
        serving = True
        while serving or self.children:
            watched = [self.wake_read, self.channel] if serving else [self.wake_read]
            readable, _, _ = select.select(watched, [], [], self._wait())
            if self.wake_read in readable:
                while _drain(self.wake_read):
                    pass
            if serving and self.channel in readable:
                try:
                    data = self.channel.recv(1 << 16)
                except OSError:
                    data = b""
                if data:
                    for header, payload in self.frames.feed(data):
                        self._start(header, payload)
                else:
                    serving = False
                    for pid, child in self.children.items():
                        self._end(pid, child)
            self._enforce()
            self._reap()

    def _wait(self) -> float | None:
        """Seconds until the next time limit or grace period runs out; None for none."""
        times = [
            child.kill_at if child.kill_at is not None else child.deadline
            for child in self.children.values()
            if not child.killed
        ]
        moments = [moment for moment in times if moment is not None]
        return max(0.0, min(moments) - time.monotonic()) if moments else None

    def _start(self, header: dict[str, Any], payload: bytes) -> None:
        job = header["job"]
        try:
            log = os.open(
                os.path.join(header["folder"], "worker.log"), os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_CLOEXEC, 0o666
            )
        except OSError as error:
            self._send({"job": job, "error": f"could not open worker.log: {error.strerror}"})
            return
        try:
            pid = os.fork()
        except OSError as error:
            os.close(log)
            self._send({"job": job, "error": f"could not fork: {error.strerror}"})
            return
        if pid == 0:
            self._child(header, payload if header["inputs"] else None, log)
        os.close(log)
        # Both sides set the group, so that a kill can never find the child still in ours.
        try:
            os.setpgid(pid, pid)
        except OSError:
            pass
        timeout = header["timeout"]
        self.children[pid] = Child(job, None if timeout is None else time.monotonic() + timeout)
        # Should this server die, the runner kills what the job left in its group.
        self._send({"job": job, "group": pid})

    def _child(self, header: dict[str, Any], inputs: bytes | None, log: int) -> NoReturn:
        status = 2
        try:
            os.setpgid(0, 0)
            self.arm_death_signal()
            if os.getppid() != self.pid:
                os._exit(status)
            signal.set_wakeup_fd(-1)
            signal.signal(signal.SIGCHLD, signal.SIG_DFL)
            signal.signal(signal.SIGINT, signal.default_int_handler)
            self.channel.close()
            os.close(self.wake_read)
            os.close(self.wake_write)
            os.dup2(log, 1)
            os.dup2(log, 2)
            os.close(log)
            module, function, folder = header["module"], header["function"], header["folder"]
            sys.argv = [WORKER, module, function, folder, *(["--inputs-file", "-"] if inputs is not None else [])]
            text = None if inputs is None else decode_inputs(inputs)
            if inputs is None or text is not None:
                replay = self.imported.get(module)
                if replay:
                    sys.stdout.buffer.write(replay.stdout)
                    os.write(2, replay.stderr)
                status = run_job(module, function, folder, text)
        except BaseException:  # noqa: BLE001 - the child must never return into the server's loop
            traceback.print_exc()
        finally:
            for stream in (sys.stdout, sys.stderr):
                try:
                    stream.flush()
                except BaseException:  # noqa: BLE001 - a closed or broken stream loses its tail, as at exit
                    pass
            os._exit(status)

    def _end(self, pid: int, child: Child) -> None:
        """Asks the job's group to end, as the process executor does; it is killed after the grace period."""
        if child.kill_at is None:
            _signal_group(pid, signal.SIGTERM)
            child.kill_at = time.monotonic() + GRACE

    def _enforce(self) -> None:
        now = time.monotonic()
        for pid, child in self.children.items():
            if child.killed:
                continue
            if child.kill_at is not None:
                if now >= child.kill_at:
                    _signal_group(pid, signal.SIGKILL)
                    child.killed = True
            elif child.deadline is not None and now >= child.deadline:
                child.timed_out = True
                self._end(pid, child)

    def _reap(self) -> None:
        """Collects ended children and reports them, killing what each one left running in its group."""
        while self.children:
            try:
                ended = os.waitid(os.P_ALL, 0, os.WEXITED | os.WNOWAIT | os.WNOHANG)
            except ChildProcessError:
                return
            if ended is None:
                return
            pid = ended.si_pid
            # The group's leader is not yet reaped, so the group cannot have been reused.
            _signal_group(pid, signal.SIGKILL)
            _, status = os.waitpid(pid, 0)
            child = self.children.pop(pid, None)
            if child is not None:
                self._send({"job": child.job, "status": os.waitstatus_to_exitcode(status), "timed_out": child.timed_out})

    def _send(self, header: dict[str, Any]) -> None:
        try:
            self.channel.sendall(frame(header))
        except OSError:
            # The runner is gone; the loop sees the end of its stream next and stops.
            pass


def _drain(fd: int) -> bool:
    try:
        return bool(os.read(fd, 4096))
    except BlockingIOError:
        return False


def _signal_group(pid: int, signum: int) -> None:
    try:
        os.killpg(pid, signum)
    except OSError:
        pass  # the group has ended


def main(argv: Sequence[str]) -> int:
    try:
        channel = socket.socket(fileno=int(argv[0]))
    except (IndexError, ValueError, OSError):
        sys.stderr.write("python -m sorva._forkserver: error: the runner starts this with its socket (FD MODULE ...)\n")
        return 2
    # The runner handles Ctrl-C and tells the server to stop; a terminal's
    # interrupt must not kill the server behind the runner's back.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    cwd = os.getcwd()
    if sys.path[:1] != [cwd]:
        sys.path.insert(0, cwd)
    # What materialize_asset imports on every call, imported once here
    # rather than in every child.
    for name in ("inspect", "pathlib", "sorva._sorva"):
        importlib.import_module(name)
    imported = import_modules(argv[1:])
    try:
        channel.sendall(frame({"threads": thread_count()}))
    except OSError:
        return 0  # the runner is gone: there is nobody to serve
    # The children leave the imported objects untouched by the collector, so
    # their pages stay shared with this process.
    gc.collect()
    gc.freeze()
    Server(channel, imported).serve()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
