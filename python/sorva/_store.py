"""The job folders of an output folder: preparing them, digesting and reading values, reading records."""

from __future__ import annotations

import json
from pathlib import Path, PurePosixPath

from sorva import _values
from sorva._cli import clipped
from sorva._discover import how_it_ended
from sorva._executor import Ended
from sorva._plan import Job
from sorva._runreport import write_file

PREVIEW = 72
# What the runner notes in a job folder once the job succeeded: its key and the digest of its value.
ENDED = "ended.json"
STALE = ("result.json", "value.json", "input_files.json", ENDED)
WRITTEN = (*STALE, "worker.log")  # the files of a job folder that are written in place


class Unsafe(Exception):
    """A job folder that a job must not write into; the message is one line naming the link."""


def prepare(out: Path, job: Job) -> Path:
    """The job's absolute folder, made, with no record or value of an earlier run in it.

    A link planted in the output folder, in place of a job folder, of a
    folder above it or of a file the job writes, would have the job write
    wherever it leads: raises Unsafe instead, before anything is written.
    """
    path = out
    for part in job.folder.parts:
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


def value_digest(folder: Path, job: Job) -> str | None:
    """The digest of a job's value, None when it cannot be read.

    It is the SHA-256 of value.json; a value stored in a file of its own is
    first checked against the reference that value.json holds, whose SHA-256
    of the file it then covers.
    """
    try:
        return _values.value_digest(folder, job.asset.serializer)
    except _values.LoadError:
        return None


def changed_file(folder: Path, job: Job, digest: str | None) -> str:
    """Which of a job's value files is no longer what its value of `digest` left: value.json,
    or the file of its own that value.json refers to."""
    serializer = job.asset.serializer
    if serializer is None or serializer == "json":
        return "value.json"
    try:
        reference = _values.read_reference(folder, serializer)
        unchanged = _values.value_digest(folder, None) == digest  # value.json alone
    except _values.LoadError:
        return "value.json"
    return str(reference["file"]) if unchanged else "value.json"


def write_ended(folder: Path, key: str, digest: str) -> None:
    """Notes in the folder of a job that succeeded what it ended with; raises OSError."""
    write_file(folder / ENDED, json.dumps({"key": key, "digest": digest}))


def ended_digest(folder: Path, job: Job, key: str) -> str | None:
    """The digest of the job's value when its folder says a job of this key left it, else None."""
    try:
        ended = json.loads((folder / ENDED).read_bytes())
    except (OSError, ValueError):
        return None
    if not isinstance(ended, dict) or ended.get("key") != key or ended.get("digest") is None:
        return None
    return ended["digest"] if value_digest(folder, job) == ended["digest"] else None


def _stored(job: Job) -> _values.Stored:
    return _values.Stored(PurePosixPath(job.folder.as_posix()), job.asset.serializer, job.asset.module)


def inputs(job: Job) -> tuple[bytes | None, tuple[str, ...]]:
    """The keyword arguments of a job as JSON, and its parameters that take upstream values.

    The runner never reads an upstream value: the worker is told the folder
    it lies in, under the output folder, and loads it itself.
    """
    upstream: dict[str, _values.Upstream] = {}
    for feed in job.feeds:
        if feed.fan_in:
            upstream[feed.parameter] = _values.FanIn(tuple((part.partition, _stored(part)) for part in feed.jobs))
        else:
            upstream[feed.parameter] = _stored(feed.jobs[0])
    members = {**job.partition, **_values.entries(upstream.items())}
    return (json.dumps(members).encode() if members else None), tuple(upstream)


def preview(folder: Path, job: Job) -> str:
    """The start of a value for a progress line; a missing file shows as nothing.

    A value stored in a file of its own shows as its format and size.
    """
    if job.asset.serializer not in (None, "json"):
        try:
            reference = json.loads((folder / "value.json").read_bytes())
            return f"<{reference['format']} {reference['file']}, {reference['size']} bytes>"
        except (OSError, ValueError, TypeError, KeyError):
            return ""
    try:
        with open(folder / "value.json", encoding="utf-8", errors="replace") as file:
            text = file.read(PREVIEW + 1)
    except OSError:
        return ""
    return text if len(text) <= PREVIEW else text[: PREVIEW - 3] + "..."


def read_record(folder: Path, job: Job, ended: Ended) -> tuple[bool, str, bool]:
    """Whether the job succeeded, by its record and how its worker ended, the value's start or the
    reason, and whether the worker printed the reason's traceback into worker.log.

    A long reason is cut to its start; result.json and worker.log keep it whole.
    """
    try:
        record = json.loads((folder / "result.json").read_text(encoding="utf-8"))
    except FileNotFoundError:
        return False, _ended_without_record(ended, folder / "worker.log"), False
    except (OSError, ValueError) as error:
        # A job stopped while writing its record: the executor knows why.
        return False, ended.reason or f"unreadable result.json (the worker was killed while writing it?): {error}", False
    if not isinstance(record, dict):
        return False, "unreadable result.json: not a JSON object", False
    if record.get("ok") is True and ended.status == 0:
        return True, preview(folder, job), False
    if ended.reason:
        return False, ended.reason, False
    if record.get("ok") is False:
        return False, clipped(str(record.get("error")), "result.json"), True
    return False, f"worker exited with status {ended.status} after recording success", False


def _ended_without_record(ended: Ended, log: Path) -> str:
    if ended.reason:
        return ended.reason
    try:
        lines = log.read_text(encoding="utf-8", errors="replace").splitlines()
    except OSError:
        lines = []
    last = clipped(next((line for line in reversed(lines) if line.strip()), ""), "worker.log")
    how = f"was {how_it_ended(ended.status)}" if ended.status < 0 else f"exited with status {ended.status}"
    return f"worker {how} without writing result.json" + (f": {last}" if last else "")
