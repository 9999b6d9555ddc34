"""The job folders of an output folder: preparing them, digesting and reading values, reading records."""

from __future__ import annotations

import hashlib
import json
from pathlib import Path

from sorva._cli import exception_text
from sorva._discover import how_it_ended
from sorva._executor import Ended
from sorva._plan import Job

PREVIEW = 72
STALE = ("result.json", "value.json")


class UnreadableValue(Exception):
    """An upstream value cannot be passed on; the message is the job's one-line reason."""


def prepare(out: Path, job: Job) -> Path:
    """The job's absolute folder, made, with no record or value of an earlier run in it."""
    folder = (out / job.folder).absolute()
    folder.mkdir(parents=True, exist_ok=True)
    for name in STALE:
        (folder / name).unlink(missing_ok=True)
    return folder


def digest(path: Path) -> str | None:
    """The SHA-256 of a file's bytes, None when it cannot be read."""
    try:
        with open(path, "rb") as file:
            return hashlib.file_digest(file, "sha256").hexdigest()
    except OSError:
        return None


def value_text(out: Path, job: Job) -> str:
    """The JSON text of a job's value, checked to be readable JSON."""
    try:
        text = (out / job.folder / "value.json").read_text(encoding="utf-8")
        json.loads(text)
    except RecursionError:
        raise UnreadableValue(f"the value of upstream {job.describe()} is nested too deeply to read") from None
    except (OSError, ValueError, MemoryError) as error:
        raise UnreadableValue(
            f"the value of upstream {job.describe()} cannot be read: {exception_text(error)}"
        ) from None
    return text


def inputs(out: Path, job: Job) -> bytes | None:
    """The keyword arguments of a job as JSON: its partition keys, then its upstream values.

    Values are passed on as the text their workers wrote, so a value the
    runner could read is never re-encoded into something deeper or different.
    """
    members = [f"{json.dumps(name)}:{json.dumps(key)}" for name, key in job.partition.items()]
    for feed in job.feeds:
        if feed.fan_in:
            entries = (
                f'{{"partition":{json.dumps(upstream.partition)},"value":{value_text(out, upstream)}}}'
                for upstream in feed.jobs
            )
            members.append(f"{json.dumps(feed.parameter)}:[{','.join(entries)}]")
        else:
            members.append(f"{json.dumps(feed.parameter)}:{value_text(out, feed.jobs[0])}")
    return f"{{{','.join(members)}}}".encode() if members else None


def preview(path: Path) -> str:
    """The start of a value for a progress line; a missing file shows as nothing."""
    try:
        with open(path, encoding="utf-8", errors="replace") as file:
            text = file.read(PREVIEW + 1)
    except OSError:
        return ""
    return text if len(text) <= PREVIEW else text[: PREVIEW - 3] + "..."


def read_record(folder: Path, ended: Ended) -> tuple[bool, str]:
    """Whether the job succeeded, by its record and how its worker ended, and the value's start or the reason."""
    try:
        record = json.loads((folder / "result.json").read_text(encoding="utf-8"))
    except FileNotFoundError:
        return False, _ended_without_record(ended, folder / "worker.log")
    except (OSError, ValueError) as error:
        # A job stopped while writing its record: the executor knows why.
        return False, ended.reason or f"unreadable result.json (the worker was killed while writing it?): {error}"
    if not isinstance(record, dict):
        return False, "unreadable result.json: not a JSON object"
    if record.get("ok") is True and ended.status == 0:
        return True, preview(folder / "value.json")
    if ended.reason:
        return False, ended.reason
    if record.get("ok") is False:
        return False, str(record.get("error"))
    return False, f"worker exited with status {ended.status} after recording success"


def _ended_without_record(ended: Ended, log: Path) -> str:
    if ended.reason:
        return ended.reason
    try:
        lines = log.read_text(encoding="utf-8", errors="replace").splitlines()
    except OSError:
        lines = []
    last = next((line for line in reversed(lines) if line.strip()), "")
    how = f"was {how_it_ended(ended.status)}" if ended.status < 0 else f"exited with status {ended.status}"
    return f"worker {how} without writing result.json" + (f": {last}" if last else "")
