"""A job's folder as the runner sees it: made ready for a job, its value digested and previewed, its record read."""

from __future__ import annotations

import hashlib
import json
import os
from pathlib import Path, PurePath

from sorva._cli import clipped, how_it_ended, write_whole
from sorva._jobfiles import records
from sorva._jobfiles import values as _values
from sorva._jobfiles.inputfiles import read_all

PREVIEW = 72
_WHOLE = 1 << 20  # the largest value.json read at once for its digest and its start
# What the runner notes in a job folder once the job succeeded: its key and the digest of its value.
ENDED = "ended.json"
STALE = (*records.LEFT, ENDED)  # what an earlier run left that must not pass for this one's
WRITTEN = (*STALE, "worker.log")  # the files of a job folder that are written in place


class Unsafe(Exception):
    """A job folder that a job must not write into; the message is one line naming the link."""


class Folders:
    """The job folders of one run under an output folder.

    A job's folder is made new for it where it is missing: a folder just made
    holds nothing an earlier run left and no link. The folders above the job
    folders are shared by many jobs: each is looked at once per run.
    """

    def __init__(self, out: Path) -> None:
        self.out = out
        self.root = out.absolute()
        self._checked: set[PurePath] = set()  # the folders above job folders found to be no links, made

    def prepare(self, relative: PurePath) -> Path:
        """The job folder `relative` to the output folder, absolute and made, with no record or value of an earlier run in it.

        A link planted in the output folder, in place of a job folder, of a
        folder above it or of a file the job writes, would have the job write
        wherever it leads: raises Unsafe instead, before anything is written.
        """
        above = relative.parent
        if above in self._checked:
            try:
                os.mkdir(self.root / relative)
                return self.root / relative
            except OSError:
                pass  # there already, or the folders above it changed: looked at whole
        folder = prepare(self.out, relative)
        self._checked.add(above)
        return folder


def prepare(out: Path, relative: PurePath) -> Path:
    """The job folder `relative` to `out`, as `Folders.prepare`, every folder looked at."""
    path = out
    for part in relative.parts:
        path = path / part
        _refuse_link(path)
    path.mkdir(parents=True, exist_ok=True)
    for name in WRITTEN:
        _refuse_link(path / name)
    folder = path.absolute()
    for name in STALE:
        (folder / name).unlink(missing_ok=True)
    return folder


def _refuse_link(path: Path) -> None:
    if path.is_symlink():
        raise Unsafe(f"'{path}' is a link; a job writes nothing through a link")


def value_digest(folder: Path, serializer: str | None) -> str | None:
    """The digest of a job's value, None when it cannot be read.

    It is the SHA-256 of value.json; a value stored in a file of its own is
    first checked against the reference that value.json holds, whose SHA-256
    of the file it then covers.
    """
    try:
        return _values.value_digest(folder, serializer)
    except _values.LoadError:
        return None


def changed_file(folder: Path, serializer: str | None, digest: str | None) -> str:
    """Which of a job's value files is no longer what its value of `digest` left: value.json,
    or the file of its own that value.json refers to."""
    if serializer is None or serializer == "json":
        return records.VALUE
    try:
        reference = _values.read_reference(folder, serializer)
        unchanged = _values.value_digest(folder, None) == digest  # value.json alone
    except _values.LoadError:
        return records.VALUE
    return str(reference["file"]) if unchanged else records.VALUE


def write_ended(folder: Path, key: str, digest: str) -> None:
    """Notes in the folder of a job that succeeded what it ended with; raises OSError."""
    write_whole(folder / ENDED, json.dumps({"key": key, "digest": digest}).encode())


def ended_digest(folder: Path, key: str, digest: str | None) -> str | None:
    """`digest`, the digest of the job's value as it is now, when its folder says a job of this key left it; else None."""
    try:
        ended = json.loads((folder / ENDED).read_bytes())
    except (OSError, ValueError):
        return None
    if not isinstance(ended, dict) or ended.get("key") != key or ended.get("digest") is None:
        return None
    return digest if digest == ended["digest"] else None


def read_value(folder: Path, serializer: str | None) -> tuple[str | None, str]:
    """The digest of a job's value (None when it cannot be read) and its start for a progress line.

    A value held in value.json itself is read once for both, when it is small.
    """
    if serializer not in (None, "json"):
        return value_digest(folder, serializer), preview(folder, serializer)
    try:
        descriptor = os.open(folder / records.VALUE, os.O_RDONLY | os.O_CLOEXEC)
    except OSError:
        return None, ""
    try:
        if os.fstat(descriptor).st_size > _WHOLE:
            data = None
        else:
            data = read_all(descriptor)
    except OSError:
        return None, ""
    finally:
        os.close(descriptor)
    if data is None:
        return value_digest(folder, serializer), preview(folder, serializer)
    # As a text file reads it: undecodable bytes replaced, line ends made "\n". Each of the first
    # PREVIEW + 1 characters comes from at most four bytes, and a "\r" from the byte after it too.
    start = data[: (PREVIEW + 1) * 4 + 1].decode("utf-8", "replace").replace("\r\n", "\n").replace("\r", "\n")
    return hashlib.sha256(data).hexdigest(), _shown(start[: PREVIEW + 1])


def preview(folder: Path, serializer: str | None) -> str:
    """The start of a value for a progress line; a missing file shows as nothing.

    A value stored in a file of its own shows as its format and size.
    """
    if serializer not in (None, "json"):
        try:
            reference = json.loads((folder / records.VALUE).read_bytes())
            return f"<{reference['format']} {reference['file']}, {reference['size']} bytes>"
        except (OSError, ValueError, TypeError, KeyError):
            return ""
    try:
        with open(folder / records.VALUE, encoding="utf-8", errors="replace") as file:
            text = file.read(PREVIEW + 1)
    except OSError:
        return ""
    return _shown(text)


def _shown(text: str) -> str:
    return text if len(text) <= PREVIEW else text[: PREVIEW - 3] + "..."


def read_record(folder: Path, status: int, reason: str) -> tuple[bool, str, bool]:
    """Whether the job succeeded, by its record and how its process ended, the reason it failed ("" when it
    succeeded: `read_value` reads the value), and whether the worker printed the reason's traceback into worker.log.

    `status` and `reason` are how the executor saw the job's process end. A
    long reason is cut to its start; result.json and worker.log keep it whole.
    """
    try:
        record = records.read(folder)
    except FileNotFoundError:
        return False, _ended_without_record(status, reason, folder / "worker.log"), False
    except (OSError, ValueError) as error:
        # A job stopped while writing its record: the executor knows why.
        return False, reason or f"unreadable result.json (the worker was killed while writing it?): {error}", False
    if not isinstance(record, dict):
        return False, "unreadable result.json: not a JSON object", False
    if record.get("ok") is True and status == 0:
        return True, "", False
    if reason:
        return False, reason, False
    if record.get("ok") is False:
        return False, clipped(str(record.get("error")), records.RECORD), True
    return False, f"worker exited with status {status} after recording success", False


def _ended_without_record(status: int, reason: str, log: Path) -> str:
    if reason:
        return reason
    try:
        lines = log.read_text(encoding="utf-8", errors="replace").splitlines()
    except OSError:
        lines = []
    last = clipped(next((line for line in reversed(lines) if line.strip()), ""), "worker.log")
    return f"worker {how_it_ended(status, verb=True)} without writing result.json" + (f": {last}" if last else "")
