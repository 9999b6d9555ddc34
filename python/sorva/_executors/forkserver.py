"""The fork server: imports a run's modules once, then forks one child per job that does what the worker does.

The runner starts it as `python -m sorva._executors.forkserver FD MODULE ...` in a
session of its own. FD is a packet socket: the server's first packet (JSON)
says how many threads the imports left running; after that each packet from
the runner is one job: its time limit, module, function, folder, the size
of its inputs, the run's output folder and the names of its upstream
parameters (a JSON array), separated by NUL bytes, with the job's own stream socket
attached. The server hands the job to a child it forked ahead of need (the
spare), which reads the inputs from that socket once the runner writes them.
The child writes "S<status> 0" there as soon as its output is out, and the
server writes "S<status> <timed out>" once it has reaped the child, which is
all the runner hears of a child that was killed; a job that cannot start
says "E<why>" first. Each answer so goes straight to the runner
thread waiting for it. When the runner's end of FD closes, for whatever
reason, the server stops every job it is running, answers for them and
exits: nothing it started outlives the runner.
"""

from __future__ import annotations

import array
import gc
import importlib
import json
import os
import select
import signal
import socket
import sys
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass

from sorva._cli import INTERRUPTED, USAGE, flush_streams, say
from sorva._executors.forklinux import MAX_RUNS, Linux
from sorva._executors.groups import GRACE, signal_group
from sorva._jobfiles.records import remove_left
from sorva._jobfiles.job import PROG as WORKER
from sorva._jobfiles.job import run_job

# Every module the server holds is more memory for each fork to map again:
# what only type checkers or a failing child need is not imported here.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from types import ModuleType
    from typing import Any, NoReturn

PACKET = 1 << 16  # the largest job packet; module, function and folder are far shorter
CONTROL = socket.CMSG_SPACE(4)  # room for the one descriptor a job packet carries


def thread_count() -> int:
    """How many threads this process runs, native ones included where the system lists them."""
    try:
        return len(os.listdir("/proc/self/task"))
    except OSError:
        # Without the system's list only Python's own threads can be counted,
        # and none runs unless a module imported threading to start it.
        threading = sys.modules.get("threading")
        return 1 if threading is None else int(threading.active_count())


class _Pending:
    """The pages the next child writes, populated by the first thing that runs in it.

    The interpreter runs the handlers registered with `os.register_at_fork`
    in a new child before `os.fork` returns there, in the order they were
    registered: threading's handler alone writes a hundred pages or so. So
    the server registers `populate_pending` before the run's modules are
    imported, and the child pays for those pages at the cheap rate too.
    """

    populate: Callable[[array.array[int]], None] | None = None
    profile: array.array[int] | None = None


def populate_pending() -> None:
    profile, _Pending.profile = _Pending.profile, None
    if profile is not None and _Pending.populate is not None:
        _Pending.populate(profile)


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
    # Files in memory rather than tempfile's, which would load `random` and
    # with it a reseeding in every child.
    for fd, name in ((1, "stdout"), (2, "stderr")):
        capture = os.memfd_create(name)
        os.dup2(capture, fd)
        os.close(capture)
    try:
        for module in modules:
            marks = os.lseek(1, 0, os.SEEK_CUR), os.lseek(2, 0, os.SEEK_CUR)
            try:
                importlib.import_module(module)
                imported = True
            except BaseException:  # noqa: BLE001 - whatever it is, each job meets it again
                imported = False
            flush_streams()  # the module may have replaced sys.stdout: what it printed before is flushed too
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


def run_worker(
    module: str,
    function: str,
    folder: str,
    inputs: bytes | None,
    replay: ImportOutput | None,
    root: str | None = None,
    upstream: tuple[str, ...] = (),
) -> int:
    """What `python -m sorva.worker MODULE FUNCTION FOLDER --inputs-file -` exits with, `inputs` on its stdin.

    The module is already imported; `replay` is what importing it printed,
    written out when the job imports it, as the worker's import would.
    """
    text = None
    if inputs is not None:
        try:
            text = inputs.decode("utf-8")
        except UnicodeDecodeError as error:
            remove_left(os.path.abspath(folder))
            say(f"{WORKER}: error: inputs file '-' is not UTF-8 text: {error.reason}")
            return USAGE
    if replay is not None:
        real, printed = importlib.import_module, replay

        def import_module(name: str, package: str | None = None) -> ModuleType:
            importlib.import_module = real
            if name == module:
                # Into the streams the interpreter started with, buffered as the worker's own import
                # would have left it, whatever the module left in sys.stdout.
                sys.__stdout__.buffer.write(printed.stdout)
                os.write(2, printed.stderr)
            return real(name, package)

        importlib.import_module = import_module
    try:
        return run_job(module, function, folder, text, root, upstream)
    except KeyboardInterrupt:
        return INTERRUPTED


class Server:
    """The loop between forks.

    Every fork makes each page of this process copy-on-write again, so each
    page the loop touches between two forks costs a page fault: the loop
    does as little as it can, in few objects, and leaves the rest of a job's
    setting up to the child.
    """

    def __init__(self, channel: socket.socket, imported: dict[str, ImportOutput], ahead: bool = True) -> None:
        self.channel = channel
        self.imported = imported
        self.poller = select.poll()
        self.poller.register(channel.fileno(), select.POLLIN)
        # By pid: [answer fd, pidfd, deadline or None, timed out, kill time or None]
        self.children: dict[int, list[Any]] = {}
        self.exits: dict[int, int] = {}  # pidfd -> pid
        self.clocked: set[int] = set()  # children with a deadline or a kill time still to come
        self.linux = Linux()
        self.profiles: dict[bytes, array.array[int]] = {}  # asset -> the runs of pages its jobs write
        self.learning: dict[int, tuple[bytes, int]] = {}  # pid -> the asset it profiles, the pipe it tells
        self.learning_assets: set[bytes] = set()
        self.last_asset = b""  # the asset of the last job: the spare's pages are populated for it
        # The child that takes the next job: its pid, its end of the socket that hands it the job, and its pidfd.
        self.spare: tuple[int, socket.socket, int] | None = None
        self.pid = os.getpid()
        self.serving = True  # until the runner's end closes
        self.ahead = ahead  # whether a spare may be forked before a job asks for one
        self.processors = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1
        _Pending.populate = self.linux.populate

    def serve(self) -> None:
        """Runs jobs until the runner's end closes, then stops them all and returns once they have ended."""
        channel = self.channel.fileno()
        self._fork_ahead()
        while self.serving or self.children:
            for fd, _ in self.poller.poll(self._wait() if self.clocked else None):
                if fd == channel:
                    self.serving = self._receive()
                    if not self.serving:
                        self.poller.unregister(channel)
                        self._drop_spare()
                        for pid in self.children:
                            self._end(pid)
                else:
                    self._reap(self.exits.pop(fd), fd)
            if self.clocked:
                self._enforce()

    def _receive(self) -> bool:
        """Hands the job in the next packet to the spare; False once the runner's end has closed."""
        try:
            data, ancillary, _, _ = self.channel.recvmsg(PACKET, CONTROL)
        except OSError:
            return False
        if not ancillary:
            return bool(data)  # a packet without its socket cannot be answered
        answer = int.from_bytes(ancillary[0][2][:4], sys.byteorder)
        os.set_inheritable(answer, False)
        limit, _, job = data.partition(b"\0")
        asset = _asset(job)
        learn = None
        if self.linux.populate is not None and asset not in self.profiles and asset not in self.learning_assets:
            learn = os.pipe()
        try:
            pid, exit_fd = self._hand_over(job, answer, learn)
        except OSError as error:
            _answer(answer, f"Ecould not fork: {error.strerror}\nS{USAGE} 0\n".encode())
            return True
        finally:
            if learn:
                os.close(learn[1])
        if learn:
            self.learning[pid] = (asset, learn[0])
            self.learning_assets.add(asset)
        self.last_asset = asset
        deadline = None
        if limit:
            deadline = time.monotonic() + float(limit)
            self.clocked.add(pid)
        self.children[pid] = [answer, exit_fd, deadline, False, None]
        self._fork_ahead()
        return True

    def _fork_ahead(self) -> None:
        """Forks the next job's child now, if a processor is free for it, so that its start costs that job no time.

        With every processor busy the fork would only slow the jobs running,
        so it waits for the job then.
        """
        if self.ahead and self.serving and self.spare is None and len(self.children) < self.processors:
            try:
                self._fork_spare()
            except OSError:
                pass  # the next job forks its own, and says so if it cannot

    def _hand_over(self, job: bytes, answer: int, learn: tuple[int, int] | None) -> tuple[int, int]:
        """Gives the job to the spare, forked now if there is none; returns its pid and pidfd.

        Raises OSError if no child can be forked to take it.
        """
        for _ in range(2):
            if self.spare is None:
                self._fork_spare()
            assert self.spare is not None
            pid, control, exit_fd = self.spare
            self.spare = None
            try:
                with control:
                    socket.send_fds(control, [job], [answer] if learn is None else [answer, learn[1]])
                return pid, exit_fd
            except OSError:
                # It ended before it got the job; its pidfd reports that and it is reaped then.
                signal_group(pid, signal.SIGKILL)
        raise OSError(0, "the forked process ended before it got its job")

    def _fork_spare(self) -> None:
        """Forks the child that takes the next job, its pages populated for the last job's asset."""
        ours, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        populated = self.last_asset if self.last_asset in self.profiles else b""
        _Pending.profile = self.profiles.get(populated)
        try:
            pid = os.fork()
        except OSError:
            ours.close()
            theirs.close()
            raise
        finally:
            _Pending.profile = None
        if pid == 0:
            ours.close()
            self._child(theirs, populated)
        theirs.close()
        # Both sides set the group, so that a kill can never find the child still in ours.
        try:
            os.setpgid(pid, pid)
        except OSError:
            pass
        exit_fd = os.pidfd_open(pid)
        self.poller.register(exit_fd, select.POLLIN)
        self.exits[exit_fd] = pid
        self.spare = (pid, ours, exit_fd)

    def _drop_spare(self) -> None:
        """Ends the spare, which has no job to answer for."""
        if self.spare is not None:
            pid, control, exit_fd = self.spare
            self.spare = None
            control.close()
            signal_group(pid, signal.SIGKILL)
            del self.exits[exit_fd]
            self._reap(pid, exit_fd)

    def _wait(self) -> int:
        """Milliseconds until the next time limit or grace period runs out."""
        moments = []
        for pid in self.clocked:
            child = self.children[pid]
            moments.append(child[4] if child[4] is not None else child[2])
        return max(0, int((min(moments) - time.monotonic()) * 1000) + 1)

    def _child(self, control: socket.socket, populated: bytes) -> NoReturn:
        """Waits for its job (a spare), then runs it; leaves without one when the server lets it go."""
        status = 2
        answer = learn = None
        try:
            os.setpgid(0, 0)
            self.linux.arm_death_signal()
            if os.getppid() != self.pid:
                os._exit(status)
            os.close(self.channel.fileno())
            for child in self.children.values():
                os.close(child[0])
                os.close(child[1])
            for _, learning in self.learning.values():
                os.close(learning)
            job, fds, _, _ = socket.recv_fds(control, PACKET, 2)
            if not job or not fds:
                os._exit(0)
            control.close()
            answer, learn = fds[0], (fds[1] if len(fds) > 1 else None)
            asset = _asset(job)
            if asset != populated and asset in self.profiles and self.linux.populate is not None:
                self.linux.populate(self.profiles[asset])
            module, function, folder, size, root, names = (os.fsdecode(field) for field in job.split(b"\0"))
            upstream = tuple(json.loads(names))
            try:
                # Never through a link planted in its place.
                log = os.open(f"{folder}/worker.log", os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_NOFOLLOW, 0o666)
            except OSError as error:
                os.write(answer, f"Ecould not open worker.log: {error.strerror}\n".encode())
                os._exit(status)
            os.dup2(log, 1)
            os.dup2(log, 2)
            os.close(log)
            inputs = _read_exactly(answer, int(size)) if size else None
            sys.argv = [WORKER, module, function, folder, *(["--inputs-file", "-"] if inputs is not None else [])]
            if upstream:
                sys.argv += ["--root", root, "--upstream-json", names]
            status = run_worker(module, function, folder, inputs, self.imported.get(module), root or None, upstream)
        except BaseException:  # noqa: BLE001 - the child must never return into the server's loop
            import traceback

            traceback.print_exc()
        finally:
            for stream in (sys.stdout, sys.stderr, sys.__stdout__, sys.__stderr__):
                try:
                    stream.flush()
                except BaseException:  # noqa: BLE001 - a closed or broken stream loses its tail, as at exit
                    pass
            # The job is complete once its output is out: the runner need not
            # wait for this process to be torn down and reaped. The server
            # answers too, which is all the runner hears of a killed job.
            try:
                if answer is not None:
                    os.write(answer, b"S%d 0\n" % status)
                if learn is not None:
                    os.write(learn, self.linux.written().tobytes())
            finally:
                os._exit(status)

    def _end(self, pid: int) -> None:
        """Asks the job's group to end, as the process executor does; it is killed after the grace period."""
        child = self.children[pid]
        if child[4] is None:
            signal_group(pid, signal.SIGTERM)
            child[4] = time.monotonic() + GRACE
            self.clocked.add(pid)

    def _enforce(self) -> None:
        now = time.monotonic()
        for pid in list(self.clocked):
            child = self.children[pid]
            if child[4] is not None:
                if now >= child[4]:
                    signal_group(pid, signal.SIGKILL)
                    self.clocked.discard(pid)
            elif now >= child[2]:
                child[3] = True
                self._end(pid)

    def _reap(self, pid: int, exit_fd: int) -> None:
        """Collects an ended child and answers for it, killing what it left running in its group."""
        self.poller.unregister(exit_fd)
        os.close(exit_fd)
        # The group's leader is not yet reaped, so the group cannot have been reused.
        signal_group(pid, signal.SIGKILL)
        _, status = os.waitpid(pid, 0)
        if pid not in self.children:
            # A spare that ended before it got a job (it was let go, or killed).
            if self.spare is not None and self.spare[0] == pid:
                self.spare[1].close()
                self.spare = None
                self._fork_ahead()
            return
        self.clocked.discard(pid)
        answer, _, _, timed_out, _ = self.children.pop(pid)
        _answer(answer, b"S%d %d\n" % (os.waitstatus_to_exitcode(status), timed_out))
        if pid in self.learning:
            asset, learned = self.learning.pop(pid)
            self.learning_assets.discard(asset)
            data = _read_exactly(learned, MAX_RUNS * 16, short=True)
            runs = array.array("Q", data[: len(data) // 16 * 16])
            os.close(learned)
            if runs:
                self.profiles[asset] = runs
        self._fork_ahead()


def _asset(job: bytes) -> bytes:
    """The module and function of a job packet: what its pages are learned and populated by."""
    return job[: job.find(b"\0", job.find(b"\0") + 1)]


def _answer(answer: int, message: bytes) -> None:
    try:
        os.write(answer, message)
    except OSError:
        pass  # the runner is no longer waiting
    os.close(answer)


def _read_exactly(source: int, size: int, short: bool = False) -> bytes:
    """`size` bytes from `source`; fewer only if `short` allows it, when the writer stopped early."""
    chunks = []
    while size > 0:
        chunk = os.read(source, min(size, 1 << 20))
        if not chunk:
            if short:
                break
            raise EOFError("the runner closed the job's socket before sending its inputs")
        chunks.append(chunk)
        size -= len(chunk)
    return b"".join(chunks)


def main(argv: Sequence[str]) -> int:
    try:
        channel = socket.socket(fileno=int(argv[0]))
        if channel.type != socket.SOCK_SEQPACKET:
            raise ValueError(channel.type)
    except (IndexError, ValueError, OSError):
        sys.stderr.write("python -m sorva._executors.forkserver: error: the runner starts this with its socket (FD MODULE ...)\n")
        return 2
    os.register_at_fork(after_in_child=populate_pending)
    cwd = os.getcwd()
    if sys.path[:1] != [cwd]:
        sys.path.insert(0, cwd)
    # What materialize_asset imports on every call, imported once here
    # rather than in every child. The stored values bring hashlib, whose
    # OpenSSL start alone costs a child more than its fork.
    for name in ("inspect", "pathlib", "hashlib", "sorva._sorva", "sorva._jobfiles.materialize", "sorva._jobfiles.values"):
        importlib.import_module(name)
    imported = import_modules(argv[1:])
    try:
        threads = thread_count()
        channel.send(json.dumps({"threads": threads}).encode())
    except OSError:
        return 0  # the runner is gone: there is nobody to serve
    # The children leave the imported objects untouched by the collector, so
    # their pages stay shared with this process.
    gc.collect()
    gc.freeze()
    # A server left with threads running is stopped by the runner unused; it must fork nothing meanwhile.
    Server(channel, imported, ahead=threads == 1).serve()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
