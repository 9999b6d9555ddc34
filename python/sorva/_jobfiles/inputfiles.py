"""The files an asset reads: recorded by the worker while the asset runs, compared by the runner's freshness check.

The worker installs one audit hook per process (a hook cannot be removed) and
switches it on only around the asset's call; it sees every open made from
Python, by the asset and by the libraries it calls. A file opened for
writing during the call is the asset's own output, not an input. Each file
read is stored in `input_files.json` in the job folder with its size,
modification time and SHA-256, leaving out what is no input of the asset's:
the job folder and the run's output folder, the interpreter's own files and
installed packages, module sources (the key holds those), and /proc, /dev
and /sys. A path inside the current folder is stored relative to it, so that
a runner in the same folder on another machine (a Dask cluster with the code
deployed alike) judges the same file.

A job may open thousands of files: the hook does little per open, and each
file read is hashed once, after the asset has returned, reading it again
(from the page cache, as a rule). Not on a thread while the asset runs: the
interpreter's lock lets such a thread in rarely while the asset runs Python,
and a run keeps every processor busy with jobs anyway.
"""

from __future__ import annotations

import os
import sys
from stat import S_ISREG

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

FILE = "input_files.json"
_WRITE_FLAGS = os.O_WRONLY | os.O_RDWR | os.O_CREAT
_WRITE_MODES = frozenset("wax+")
_SYSTEM = ("/proc", "/dev", "/sys")
_ENTRY = '{"path": %s, "size": %d, "mtime_ns": %d, "sha256": "%s"}'  # an entry as json.dumps writes it
_Entry = tuple[int, int, str]  # size, mtime_ns, sha256

# (path, written) for every open during the asset's call, the path absolute and
# normalised; None while no asset runs.
_opened: list[tuple[str, bool]] | None = None
# What the last call opened, until written.
_kept: list[tuple[str, bool]] | None = None
# The folder the call started in, and the current one as the hook knows it ("" after a change of folder).
_start_cwd = ""
_cwd = ""
_skipped: tuple[str, ...] = ()  # the interpreter's folders as the call found them: never inputs
_installed = False
_sha256: Any = None


def _hook(event: str, args: tuple[object, ...]) -> None:
    global _cwd
    if _opened is None:
        return
    if event != "open":
        if event == "os.chdir":
            _cwd = ""  # the hook runs before the change, which may fail: the next relative open asks
        return
    opened, mode, flags = args
    if opened.__class__ is not str:
        if isinstance(opened, int):
            return  # a descriptor: its file was opened, and seen, before
        try:
            opened = os.fsdecode(opened)  # type: ignore[arg-type]
        except Exception:
            return  # not a path that the open will accept either
    path: str = opened  # type: ignore[assignment]
    if not path.startswith("/"):
        if not _cwd:
            try:
                _cwd = os.path.join(os.getcwd(), "")
            except OSError:
                return  # the folder is gone: the open fails too
        path = _cwd + path
    if "/." in path or "//" in path or path.endswith("/"):
        path = os.path.normpath(path)
    if path.startswith(_skipped) or "__pycache__" in path:
        return
    written = (isinstance(flags, int) and bool(flags & _WRITE_FLAGS)) or (
        isinstance(mode, str) and not _WRITE_MODES.isdisjoint(mode)
    )
    _opened.append((path, written))


def start() -> None:
    """Starts recording the files opened, installing the hook on first use."""
    global _opened, _installed, _kept, _start_cwd, _cwd, _skipped
    if not _installed:
        sys.addaudithook(_hook)
        _installed = True
    _start_cwd = _cwd = os.path.join(os.getcwd(), "")
    _skipped = tuple(os.path.join(os.path.normpath(p), "") for p in _interpreter_folders())
    _opened, _kept = [], None


def stop() -> None:
    """Stops recording, keeping what was recorded for `write`."""
    global _opened, _kept
    if _opened is not None:
        _opened, _kept = None, _opened


def write(folder: str, also_excluded: tuple[str, ...] = ()) -> None:
    """Writes the files the last call read, with their size, time and digest, into `folder`'s input_files.json.

    Writes nothing when no asset was called (its module did not import, ...).
    """
    global _kept
    opened, _kept = _kept, None
    if opened is None:
        return
    from json.encoder import encode_basestring_ascii  # type: ignore[attr-defined]

    written = {path for path, was_written in opened if was_written}
    excluded = tuple(os.path.join(os.path.normpath(p), "") for p in (folder, *also_excluded, *_interpreter_folders()))
    sources = _module_files()
    cwd = _start_cwd  # the asset may have left another
    entries = []
    for path in dict.fromkeys(path for path, was_written in opened if not was_written):
        if path in written or path in sources or path.startswith(excluded):
            continue
        entry = _describe(path)
        if entry is not None:
            shown = path[len(cwd) :] if path.startswith(cwd) else path
            entries.append(_ENTRY % (encode_basestring_ascii(shown), *entry))
    # Never through a link planted in its place; a file cut short reads as unreadable, which reruns the job.
    flags = os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_NOFOLLOW
    with open(os.open(os.path.join(folder, FILE), flags, 0o666), "wb") as file:
        file.write(f"[{', '.join(entries)}]".encode())


def _describe(path: str) -> _Entry | None:
    """The size, time and SHA-256 of a regular file; None for anything else, or a file gone since.

    Through the descriptor, without a file object: for the many small files a
    job may read, the objects would cost more than the digest. Opened without
    blocking, so that a pipe the asset read does not hold the job.
    """
    try:
        descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError:
        return None
    try:
        status = os.fstat(descriptor)
        if not S_ISREG(status.st_mode):
            return None
        digest = _new_sha256()
        # A regular file reads short only at its end: a small file takes one read.
        step = min(status.st_size + 1, 1 << 20)
        while True:
            chunk = os.read(descriptor, step)
            digest.update(chunk)
            if len(chunk) < step:
                break
            step = 1 << 20
    except OSError:
        return None
    finally:
        os.close(descriptor)
    return status.st_size, status.st_mtime_ns, digest.hexdigest()


def _new_sha256() -> Any:
    """A SHA-256 of OpenSSL's, imported without hashlib's table of every algorithm; hashlib's where it has none."""
    global _sha256
    if _sha256 is None:
        try:
            from _hashlib import openssl_sha256 as _sha256  # type: ignore[import]
        except ImportError:
            from hashlib import sha256 as _sha256
    return _sha256()


def _interpreter_folders() -> list[str]:
    """The standard library, installed packages and a virtual environment: the interpreter's own files."""
    prefixes = {sys.prefix, sys.base_prefix, sys.exec_prefix, sys.base_exec_prefix}
    folders = [os.path.dirname(os.__file__), *_SYSTEM]
    if sys.prefix != sys.base_prefix:
        folders.append(sys.prefix)
    for entry in sys.path:
        if entry and (
            os.path.basename(entry) in ("site-packages", "dist-packages")
            or any(entry.startswith(os.path.join(prefix, "lib")) for prefix in prefixes)
        ):
            folders.append(entry)
    return folders


def _module_files() -> set[str]:
    """The source of every module loaded, absolute and normalised."""
    files = set()
    for module in list(sys.modules.values()):
        file = getattr(module, "__file__", None)
        if isinstance(file, str):
            if not file.startswith("/") or "/." in file or "//" in file:
                file = os.path.normpath(os.path.abspath(file))
            files.add(file)
    return files


class Check:
    """Tells why the files a job read last time make it run again, for the jobs of one output folder.

    Unchanged size and time mean unchanged; otherwise the digest decides. A
    file gone counts as changed; one inside the output folder is not judged.
    Built once per run: a run may check ten thousand jobs.
    """

    def __init__(self, out: str | os.PathLike[str]) -> None:
        self.cwd = os.path.join(os.getcwd(), "")
        self.out = os.path.join(os.path.abspath(out), "")

    def __call__(self, folder: str | os.PathLike[str]) -> str | None:
        """Why the job in `folder` must run again; None when none of its files changed."""
        import json

        try:
            descriptor = os.open(os.path.join(folder, FILE), os.O_RDONLY | os.O_CLOEXEC)
        except FileNotFoundError:
            return f"{FILE} missing"
        except OSError:
            return f"{FILE} unreadable"
        try:
            entries = json.loads(read_all(descriptor).decode())
        except (OSError, ValueError):
            return f"{FILE} unreadable"
        finally:
            os.close(descriptor)
        try:
            for entry in entries:
                path = entry["path"]
                if (path if path.startswith("/") else self.cwd + path).startswith(self.out):
                    continue
                if _differs(path, entry["size"], entry["mtime_ns"], entry["sha256"]):
                    shown = path[len(self.cwd) :] if path.startswith(self.cwd) else path
                    return f"input file {shown} changed"
        except (TypeError, KeyError, AttributeError):
            return f"{FILE} unreadable"
        return None


def read_all(descriptor: int) -> bytes:
    """What is left to read from a file descriptor."""
    chunks = []
    while chunk := os.read(descriptor, 1 << 16):
        chunks.append(chunk)
    return b"".join(chunks)


def _differs(path: str, size: int, mtime_ns: int, sha256: str) -> bool:
    try:
        status = os.stat(path)
    except OSError:
        return True
    if status.st_size != size:
        return True
    if status.st_mtime_ns == mtime_ns:
        return False
    now = _describe(path)
    return now is None or now[2] != sha256
