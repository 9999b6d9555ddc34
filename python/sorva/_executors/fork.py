"""`--executor fork`: each job forked from one server process that imported the run's modules once.

A fresh interpreter per job costs far more than the job itself when assets are
small; forking a process that has already imported everything keeps each job
in a process of its own (a crash, a leak or a changed global stays there) at a
fraction of the price. The runner is threaded and must not fork itself, so it
starts `python -m sorva._executors.forkserver` and sends it the jobs over a socket.
"""

from __future__ import annotations

import json
import os
import signal
import socket
import subprocess
import sys
import threading
from collections.abc import Callable, Sequence

from sorva._cli import how_it_ended
from sorva._executors import NOT_STARTED, Ended, Executor, ExecutorError, Settings, Task, UseInstead
from sorva._executors.forkserver import PACKET
from sorva._executors.groups import GRACE

# How long a server that was asked to stop may take beyond the jobs' grace period.
STOP_WAIT = 5.0
LIVENESS = 1.0  # seconds between looks at whether the server of a waiting job is alive


def available() -> bool:
    """Whether this system has what the fork server uses: fork, process descriptors, memory files."""
    if not all(hasattr(os, name) for name in ("fork", "pidfd_open", "memfd_create")):
        return False
    try:
        os.close(os.pidfd_open(os.getpid()))
    except OSError:
        return False
    return True


class ForkUnsafeError(UseInstead):
    """Importing the modules left threads running: this run cannot fork and uses the process executor."""


def start_serving(
    module: str, modules: Sequence[str], kind: socket.SocketKind, what: str
) -> tuple[subprocess.Popen[bytes], socket.socket]:
    """`python -m MODULE FD MODULE...`, FD its end of a new socket pair; returns it and our end.

    A session of its own: the terminal's Ctrl-C reaches the runner only, and
    whatever the jobs leave behind can be found by it. Raises ExecutorError
    naming `what` when it cannot start.
    """
    ours, theirs = socket.socketpair(socket.AF_UNIX, kind)
    try:
        process = subprocess.Popen(
            [sys.executable, "-m", module, str(theirs.fileno()), *modules],
            pass_fds=(theirs.fileno(),),
            stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL,
            start_new_session=True,
        )
    except OSError as error:
        ours.close()
        raise ExecutorError(f"could not start {what}: {error.strerror}") from None
    finally:
        theirs.close()
    return process, ours


def read_answer(channel: socket.socket, alive: Callable[[], bool], last: tuple[bytes, ...]) -> list[bytes]:
    """The lines a server sends about a job, up to one that starts with one of `last`; fewer when the
    server ended first (`alive` says whether it runs, asked whenever the channel's timeout passes)."""
    data = b""
    while not data.endswith(b"\n") or data.splitlines()[-1][:1] not in last:
        try:
            chunk = channel.recv(4096)
        except TimeoutError:
            if alive():
                continue
            chunk = b""
        except OSError:
            chunk = b""
        if not chunk:
            break
        data += chunk
    return data.splitlines()


class _Server:
    """One fork server process; each job talks to it over a socket of its own."""

    def __init__(self, modules: Sequence[str]) -> None:
        self.process, self.channel = start_serving(
            "sorva._executors.forkserver", modules, socket.SOCK_SEQPACKET, "the fork server"
        )
        self.send_lock = threading.Lock()
        self.ended = False  # it died, or was asked to stop; no job goes to it any more
        self.stopping = False
        self.ready = False  # the imports are done
        self.threads = 0
        # Kills a server that does not leave by itself once asked (stopped, or stuck).
        self.killer = threading.Timer(GRACE + STOP_WAIT, self.process.kill)
        self.killer.daemon = True
        self._death = ""
        self._death_lock = threading.Lock()

    def wait_ready(self) -> None:
        """Waits until the server has imported the modules; raises ExecutorError if it ended instead."""
        try:
            data = self.channel.recv(PACKET)
        except OSError:
            data = b""
        if not data:
            if self.stopping:
                raise ExecutorError("interrupted while the fork server imported the modules")
            how = how_it_ended(self._exit_status(), verb=True)
            raise ExecutorError(f"the fork server {how} while importing the modules")
        self.threads = int(json.loads(data)["threads"])
        self.ready = True

    def run(self, task: Task) -> Ended | None:
        """Runs a task; None when the server was found dead before it got the task, which is then for another."""
        # The upstream parameter names as JSON, which holds any text ("", "a,b") and no NUL.
        fields = ["" if task.timeout is None else repr(task.timeout), task.module, task.function, str(task.folder),
                  "" if task.inputs is None else str(len(task.inputs)),
                  "" if task.root is None else str(task.root), json.dumps(task.upstream)]
        if any("\0" in field for field in fields):
            return Ended(2, "could not start the job: a name holds a NUL character")
        packet = b"\0".join(os.fsencode(field) for field in fields)
        ours, theirs = socket.socketpair()
        with ours:
            try:
                with theirs:
                    with self.send_lock:
                        if self.stopping:
                            return NOT_STARTED
                        socket.send_fds(self.channel, [packet], [theirs.fileno()])
            except OSError:
                self.ended = True
                return None
            if task.inputs:
                try:
                    ours.sendall(task.inputs)
                except OSError:
                    pass  # the job ended without reading them; its answer says how
            lines = self._answer(ours)
        if not lines or not lines[-1].startswith(b"S"):
            return Ended(-signal.SIGKILL, self._died())
        if lines[0].startswith(b"E"):
            return Ended(2, f"could not start the job: {lines[0][1:].decode('utf-8', 'replace')}")
        status, timed_out = (int(field) for field in lines[-1][1:].split())
        if timed_out:
            return Ended(status, f"timed out after {task.timeout:g} s")
        return Ended(status)

    def stop_soon(self) -> None:
        """Asks the server to stop its jobs and leave, without waiting; safe in a signal handler."""
        self.stopping = True
        self.ended = True
        if not self.ready:
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
        # A sender may still hold the socket; closing it under their lock keeps its number from being reused under them.
        with self.send_lock:
            self.channel.close()

    def _answer(self, ours: socket.socket) -> list[bytes]:
        """The lines of a job's answer, up to its status ("S..."); fewer if the server died first.

        The job's process may have left something holding its socket, so the
        end of the stream is not awaited once the server is gone.
        """
        ours.settimeout(LIVENESS)
        return read_answer(ours, lambda: self.process.poll() is None, (b"S",))

    def _died(self) -> str:
        """Why a job's socket closed unanswered: the server died. Kills what its jobs left, once."""
        with self._death_lock:
            if not self._death:
                self.ended = True
                self._death = f"the fork server {how_it_ended(self._exit_status(), verb=True)}"
                # The server's death killed its children (each has
                # PR_SET_PDEATHSIG), but not what they started.
                _kill_session(self.process.pid)
            return self._death

    def _exit_status(self) -> int:
        """The server's exit status, once its socket has closed."""
        try:
            return self.process.wait(timeout=STOP_WAIT)
        except subprocess.TimeoutExpired:
            self.process.kill()
            return self.process.wait()




def _kill_session(session: int) -> None:
    """Kills every process left in a session, where the system lists them."""
    try:
        entries = os.listdir("/proc")
    except OSError:
        return
    for entry in entries:
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat", "rb") as file:
                fields = file.read().rsplit(b")", 1)[1].split()
            if int(fields[3]) == session:
                os.kill(int(entry), signal.SIGKILL)
        except (OSError, IndexError, ValueError):
            pass  # ended meanwhile


class ForkExecutor(Executor):
    """Forks every job from a server that imported the run's modules once; a server that dies is replaced."""

    name = "fork"

    def __init__(self, settings: Settings = Settings()) -> None:  # noqa: B008 - frozen, shared safely
        super().__init__(settings)
        self._lock = threading.Lock()  # one start of a server at a time
        self._modules: tuple[str, ...] = ()
        self._server: _Server | None = None
        self._interrupted = False
        self._broken = ""

    def start(self, modules: Sequence[str], jobs: int) -> None:
        if not available():
            raise UseInstead("the fork executor needs Linux 5.3 or later; this run uses the process executor")
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
