"""The files an asset reads: recorded by the worker while the asset runs, compared by the runner's freshness check.

The worker installs one audit hook per process (a hook cannot be removed) and
switches it on only around the asset's call; it sees every open made from
Python, by the asset and by the libraries it calls. A file opened for
writing during the call is the asset's own output, not an input. After the
call, each file read is stored in `input_files.json` in the job folder with
its size, modification time and SHA-256, leaving out what is no input of the
asset's: the job folder and the run's output folder, the interpreter's own
files and installed packages, module sources (the key holds those), and
/proc, /dev and /sys. A path inside the current folder is stored relative to
it, so that a runner in the same folder on another machine (a Dask cluster
with the code deployed alike) judges the same file.
"""

from __future__ import annotations

import os
import sys

FILE = "input_files.json"
_WRITE_FLAGS = os.O_WRONLY | os.O_RDWR | os.O_CREAT
_WRITE_MODES = frozenset("wax+")
_SYSTEM = ("/proc", "/dev", "/sys")

# (path, written) for every open during the asset's call; None while no asset runs.
_opened: list[tuple[str, bool]] | None = None
# What the last call opened, until written, and the folder it started in.
_kept: list[tuple[str, bool]] | None = None
_cwd = ""
_installed = False


def _hook(event: str, args: tuple[object, ...]) -> None:
    if event != "open" or _opened is None:
        return
    opened, mode, flags = args
    if isinstance(opened, int):
        return  # a descriptor: its file was opened, and seen, before
    try:
        path = os.fsdecode(opened)  # type: ignore[arg-type]
        if not path.startswith("/"):
            path = os.path.join(os.getcwd(), path)  # an asset may change the folder later
    except Exception:
        return  # not a path that the open will accept either
    written = (isinstance(flags, int) and bool(flags & _WRITE_FLAGS)) or (
        isinstance(mode, str) and not _WRITE_MODES.isdisjoint(mode)
    )
    _opened.append((path, written))


def start() -> None:
    """Starts recording the files opened, installing the hook on first use."""
    global _opened, _installed, _kept, _cwd
    if not _installed:
        sys.addaudithook(_hook)
        _installed = True
    _opened, _kept, _cwd = [], None, os.path.join(os.getcwd(), "")


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
    import json

    written = {os.path.normpath(path) for path, was_written in opened if was_written}
    excluded = tuple(os.path.join(os.path.normpath(p), "") for p in (folder, *also_excluded, *_interpreter_folders()))
    sources = {os.path.normpath(os.path.abspath(file)) for file in _module_files()}
    cwd = _cwd  # the asset may have left another
    entries = []
    for path in dict.fromkeys(os.path.normpath(path) for path, was_written in opened if not was_written):
        if path in written or path in sources or path.startswith(excluded) or "__pycache__" in path:
            continue
        entry = _describe(path)
        if entry is not None:
            shown: dict[str, object] = {"path": path[len(cwd) :] if path.startswith(cwd) else path}
            entries.append({**shown, **entry})
    # Never through a link planted in its place; a file cut short reads as unreadable, which reruns the job.
    flags = os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_NOFOLLOW
    with open(os.open(os.path.join(folder, FILE), flags, 0o666), "wb") as file:
        file.write(json.dumps(entries).encode())


def _describe(path: str) -> dict[str, object] | None:
    """The size, time and SHA-256 of a regular file; None for anything else, or a file gone since.

    Through the descriptor, without a file object: for the many small files a
    job may read, the objects would cost more than the digest. Opened without
    blocking, so that a pipe the asset read does not hold the job.
    """
    import hashlib
    import stat

    try:
        descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError:
        return None
    try:
        status = os.fstat(descriptor)
        if not stat.S_ISREG(status.st_mode):
            return None
        digest = hashlib.sha256()
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
    return {"size": status.st_size, "mtime_ns": status.st_mtime_ns, "sha256": digest.hexdigest()}


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


def _module_files() -> list[str]:
    files = []
    for module in list(sys.modules.values()):
        file = getattr(module, "__file__", None)
        if isinstance(file, str):
            files.append(file)
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
    return now is None or now["sha256"] != sha256
