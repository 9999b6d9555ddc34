"""The run history of an output folder: one SQLite database, `DIR/sorva.db`, with a row per run and per job.

The runner writes it as it goes: a run's row when the run starts and ends,
and the rows of the jobs that ended, committed together with the run's
counts in batches (every BATCH_SECONDS or BATCH_ROWS rows, and at the end),
so a runner that is killed leaves a history that is true as far as it goes
and lacks at most the last batch: the job folders tell what those jobs
left (see `_runner.freshness.Freshness`). While it runs the file is in write-ahead
logging mode, synced at each checkpoint rather than at each commit, which
keeps it consistent through a crash of the runner; the runner turns it back
into a single file when it closes it. Its run stays "running" in the file
until the next run marks it abandoned; readers show it abandoned as soon as
no runner holds the output folder. Readers (`python -m sorva.runs`,
reports) open it with `open_history` and use the read methods, which refuse
rows that are not what the runner writes (a history edited by hand or by
another program) with a HistoryError naming the row.

Schema, version 1 (`PRAGMA user_version`):

    runs(id INTEGER PRIMARY KEY, started TEXT, ended TEXT, command TEXT,
         executor TEXT, outcome TEXT, jobs INTEGER, succeeded INTEGER,
         fresh INTEGER, failed INTEGER, skipped INTEGER, interrupted INTEGER)
    jobs(id INTEGER PRIMARY KEY, run_id INTEGER, asset TEXT, label TEXT,
         partition TEXT, key TEXT, outcome TEXT, started TEXT, seconds REAL,
         error TEXT, digest TEXT, folder TEXT, attempt INTEGER, recipe TEXT)

Times are ISO 8601 in UTC. A run's `outcome` is "running", "succeeded",
"failed", "interrupted" or "abandoned" (its runner was killed); a job's is
"ok", "fresh", "failed", "skipped" or "interrupted". `partition` is the job's
partition as canonical JSON ("{}" for none), `digest` the SHA-256 of the
value.json the job left, `folder` the job folder relative to the output
folder, `attempt` counts from 1 for runs that retry, `recipe` the digests of
the code its key holds, by name, as JSON (which tells what changed since).
"""

from __future__ import annotations

import datetime
import fcntl
import json
import os
import sqlite3
import time
from collections.abc import Callable, Iterator, Mapping
from contextlib import contextmanager
from dataclasses import dataclass, replace
from pathlib import Path
from typing import Any, TypeVar

T = TypeVar("T")
R = TypeVar("R", "Run", "JobRecord")

FILE = "sorva.db"
LOCK = "sorva.lock"
VERSION = 1
RUN_COUNTS = ("jobs", "succeeded", "fresh", "failed", "skipped", "interrupted")
# The run count each job outcome adds to.
COUNTED = {"ok": "succeeded", "fresh": "fresh", "failed": "failed", "skipped": "skipped", "interrupted": "interrupted"}
# Seconds the runner waits for a history that another program holds locked, and each try of it.
LOCK_WAIT = 60.0
_LOCK_TRY = 1.0
# A batch of job rows is committed once its first row is this old, or this long.
BATCH_SECONDS = 0.2
BATCH_ROWS = 300

_SCHEMA = """
CREATE TABLE runs (
    id INTEGER PRIMARY KEY, started TEXT NOT NULL, ended TEXT, command TEXT NOT NULL, executor TEXT NOT NULL,
    outcome TEXT NOT NULL, jobs INTEGER NOT NULL DEFAULT 0, succeeded INTEGER NOT NULL DEFAULT 0,
    fresh INTEGER NOT NULL DEFAULT 0, failed INTEGER NOT NULL DEFAULT 0, skipped INTEGER NOT NULL DEFAULT 0,
    interrupted INTEGER NOT NULL DEFAULT 0
);
CREATE TABLE jobs (
    id INTEGER PRIMARY KEY, run_id INTEGER NOT NULL REFERENCES runs(id), asset TEXT NOT NULL, label TEXT NOT NULL,
    partition TEXT NOT NULL, key TEXT, outcome TEXT NOT NULL, started TEXT, seconds REAL, error TEXT,
    digest TEXT, folder TEXT NOT NULL, attempt INTEGER NOT NULL DEFAULT 1, recipe TEXT
);
CREATE INDEX jobs_of_run ON jobs(run_id);
CREATE INDEX jobs_of_partition ON jobs(asset, partition);
"""


class HistoryError(Exception):
    """The history cannot be used; the message is one line for the user."""


@dataclass(frozen=True)
class Run:
    id: int
    started: str
    ended: str | None
    command: str
    executor: str
    outcome: str
    jobs: int
    succeeded: int
    fresh: int
    failed: int
    skipped: int
    interrupted: int


@dataclass(frozen=True)
class JobRecord:
    run_id: int
    asset: str  # the asset's ref
    label: str  # the asset as shown to people
    partition: str  # canonical JSON of the partition keys, "{}" for none
    key: str | None
    outcome: str
    started: str | None
    seconds: float | None
    error: str | None
    digest: str | None
    folder: str
    attempt: int = 1
    recipe: str | None = None

    @property
    def partition_text(self) -> str:
        """The partition as people read it; a text that is no JSON object shows as it stands."""
        return recorded_partition_text(self.partition)


def canonical(value: Any) -> str:
    """A text that is equal for equal JSON values (and tells 1 from true), as partitions are recorded."""
    return json.dumps(value, sort_keys=True, separators=(",", ":"))


def key_text(key: Any) -> str:
    """A partition key as people read it: a text as it stands, any other key as JSON."""
    return key if isinstance(key, str) else json.dumps(key)


def partition_text(partition: Mapping[str, Any]) -> str:
    """A partition as people read it: `city=oslo day=7`, empty for none."""
    return " ".join(f"{name}={key_text(key)}" for name, key in partition.items())


def recorded_partition_text(recorded: str) -> str:
    """A partition as recorded (canonical JSON) as people read it; a text that is no JSON object shows as it stands."""
    try:
        partition = json.loads(recorded)
    except ValueError:
        return recorded
    return partition_text(partition) if isinstance(partition, dict) else recorded


def now() -> str:
    return datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="milliseconds")


class History:
    """An open history database; use `open_history` or `History.create`."""

    def __init__(self, connection: sqlite3.Connection, folder: Path, say: Callable[[str], None] | None = None) -> None:
        self.connection = connection
        self.folder = folder
        self.path = folder / FILE
        # The runner's own run: what it tells the user, the row of its run, and
        # its job rows, written and still to write (kept to make the file again).
        self._say = say
        self._told: set[str] = set()
        self._run: dict[str, Any] = {}
        self._pending: list[JobRecord] = []
        self._written: list[JobRecord] = []
        self._batch_started = 0.0

    @classmethod
    def create(cls, folder: Path, say: Callable[[str], None]) -> History:
        """Opens the history of `folder` for the runner, making it on first use; `say` tells the user a line."""
        history = cls(_connect(folder / FILE, _LOCK_TRY), folder, say)
        try:
            history._write(lambda: _write_ahead(history.connection))
            version = history._write(lambda: _read_version(history.connection))
        except sqlite3.Error as error:
            history.close()
            raise HistoryError(f"cannot read the run history {history.path}: {error}") from None
        if _check_version(version, folder) == 0:
            history._write(history._make_schema)
        return history

    def close(self) -> None:
        if self._say is not None:
            try:
                # Readers open the file read-only: in write-ahead logging mode they would leave files beside it.
                self.connection.execute("PRAGMA journal_mode = DELETE")
            except sqlite3.Error:
                pass  # a reader holds it now: it stays as it is, which every reader reads as well
        self.connection.close()

    # Reading.

    def runs(self, limit: int | None = None) -> list[Run]:
        """The runs, newest first."""
        rows = self.connection.execute(
            f"SELECT {_RUN_COLUMNS} FROM runs ORDER BY id DESC LIMIT ?", (-1 if limit is None else limit,)
        )
        return self._as_now([self._checked(Run, "runs", row) for row in rows])

    def run(self, run_id: int) -> Run | None:
        row = self.connection.execute(f"SELECT {_RUN_COLUMNS} FROM runs WHERE id = ?", (run_id,)).fetchone()
        return self._as_now([self._checked(Run, "runs", row)])[0] if row else None

    def last_run(self) -> Run | None:
        runs = self.runs(1)
        return runs[0] if runs else None

    def jobs(self, run_id: int) -> list[JobRecord]:
        """The jobs of a run in the order they ended, every attempt of each."""
        return self._job_records("WHERE run_id = ? ORDER BY id", (run_id,))

    def latest(self) -> dict[tuple[str, str], JobRecord]:
        """The last record of every asset and partition, by (asset ref, partition JSON)."""
        records = self._job_records("WHERE id IN (SELECT MAX(id) FROM jobs GROUP BY asset, partition)")
        return {(record.asset, record.partition): record for record in records}

    def last_successes(self) -> dict[tuple[str, str], JobRecord]:
        """The last successful ("ok" or "fresh") record of every asset and partition."""
        records = self._job_records(
            "WHERE id IN (SELECT MAX(id) FROM jobs WHERE outcome IN ('ok', 'fresh') GROUP BY asset, partition)"
        )
        return {(record.asset, record.partition): record for record in records}

    def _job_records(self, where: str, parameters: tuple[Any, ...] = ()) -> list[JobRecord]:
        rows = self.connection.execute(f"SELECT id, {_JOB_COLUMNS} FROM jobs {where}", parameters)
        return [self._checked(JobRecord, "jobs", row[1:], row[0]) for row in rows]

    def _checked(self, kind: type[R], table: str, row: tuple[Any, ...], row_id: object = None) -> R:
        """The row as a record, or HistoryError naming the first column that is not what the runner writes."""
        for name, value in zip(kind.__dataclass_fields__, row):
            what = _COLUMN_KINDS[name]
            if not (value is None and name in _MAY_BE_NULL) and not _IS[what](value):
                shown = repr(value) if len(repr(value)) <= 40 else f"{repr(value)[:37]}..."
                raise HistoryError(
                    f"the run history {self.path} holds a row that sorva did not write: {table} row "
                    f"{row[0] if row_id is None else row_id}, column {name}: {shown} is not {what}"
                )
        return kind(*row)

    def _as_now(self, runs: list[Run]) -> list[Run]:
        """The runs as they stand: one still "running" whose runner is gone was abandoned.

        Read after the rows: a runner holds the folder from before its run's
        row is written until after it is closed.
        """
        if self._say is None and any(run.outcome == "running" for run in runs) and not _runner_holds(self.folder):
            return [replace(run, outcome="abandoned") if run.outcome == "running" else run for run in runs]
        return runs

    # Writing, for the runner.

    def start_run(self, command: str, executor: str, jobs: int) -> int:
        """Records a new run; an earlier run still marked running had its runner killed."""
        self._run = {"started": now(), "command": command, "executor": executor, "outcome": "running", "jobs": jobs}
        self._run.update(dict.fromkeys(RUN_COUNTS[1:], 0))

        def start() -> None:
            self.connection.execute("UPDATE runs SET outcome = 'abandoned' WHERE outcome = 'running'")
            self._run["id"] = self._insert("runs", self._run)

        self._write(start)
        return int(self._run["id"])

    def set_executor(self, run_id: int, executor: str) -> None:
        self._run["executor"] = executor
        self._write(lambda: self.connection.execute("UPDATE runs SET executor = ? WHERE id = ?", (executor, run_id)))

    def record_job(self, record: JobRecord, final: bool = True) -> None:
        """Adds a job's row, saved by the next `commit`; a final one (not an attempt to be retried) is counted."""
        if not self._pending:
            self._batch_started = time.monotonic()
        self._pending.append(record)
        if final:
            self._run[COUNTED[record.outcome]] += 1

    def due_in(self) -> float | None:
        """Seconds until the rows added since the last commit are due to be saved, None when there are none."""
        if not self._pending:
            return None
        if len(self._pending) >= BATCH_ROWS:
            return 0.0
        return max(0.0, self._batch_started + BATCH_SECONDS - time.monotonic())

    def commit_due(self) -> None:
        """Saves the rows added since the last commit if their batch is due."""
        if self.due_in() == 0.0:
            self.commit()

    def commit(self) -> None:
        """Saves the rows added since, with the run's counts."""
        self._write(self._save)
        self._written += self._pending
        self._pending = []

    def end_run(self, outcome: str) -> None:
        """Saves the rows not saved yet and the run's end."""
        self._run.update(ended=now(), outcome=outcome)
        self.commit()

    def _save(self) -> None:
        for record in self._pending:
            self._insert("jobs", record.__dict__)
        changed = ("ended", "outcome", "executor", *RUN_COUNTS)
        self.connection.execute(
            f"UPDATE runs SET {', '.join(f'{name} = ?' for name in changed)} WHERE id = ?",
            (*(self._run.get(name) for name in changed), self._run["id"]),
        )

    def _insert(self, table: str, values: dict[str, Any]) -> int:
        cursor = self.connection.execute(
            f"INSERT INTO {table} ({', '.join(values)}) VALUES ({', '.join('?' * len(values))})", tuple(values.values())
        )
        assert cursor.lastrowid is not None
        return cursor.lastrowid

    def _make_schema(self) -> None:
        # One transaction (statements that make tables begin none of their own):
        # a runner killed here leaves no half-made schema.
        self.connection.execute("BEGIN")
        for statement in _SCHEMA.split(";")[:-1]:
            self.connection.execute(statement)
        self.connection.execute(f"PRAGMA user_version = {VERSION}")

    def _write(self, action: Callable[[], T]) -> T:
        """Runs `action` as one transaction, through what other programs do to the file.

        A lock another program holds (a reader in a long transaction) is
        waited for, up to LOCK_WAIT seconds; a file removed under the runner
        is made again, with this run in it, so its jobs are not lost.
        """
        waited_since = None
        while True:
            if "id" in self._run and not os.path.lexists(self.path):
                self._remake()
            try:
                with self.connection:
                    return action()
            except sqlite3.OperationalError as error:
                if not _locked(error) or (waited_since is not None and time.monotonic() - waited_since > LOCK_WAIT):
                    if "id" in self._run and not os.path.lexists(self.path):
                        continue  # removed while it was written
                    raise
                if waited_since is None:
                    waited_since = time.monotonic()
                    self._tell(f"the run history {self.path} is locked by another program; waiting up to {LOCK_WAIT:.0f} s for it")

    def _remake(self) -> None:
        self._tell(f"the run history {self.path} was removed while the run went on; it is made again, with this run alone")
        self.connection.close()
        for log in (f"{self.path}-wal", f"{self.path}-shm"):
            # Left by the removed file, whose connection could not end its log: not to be read as the new file's.
            Path(log).unlink(missing_ok=True)
        self.connection = _connect(self.path, _LOCK_TRY)
        _write_ahead(self.connection)
        with self.connection:
            self._make_schema()
            self._insert("runs", self._run)
            for record in self._written:
                self._insert("jobs", record.__dict__)

    def _tell(self, line: str) -> None:
        """Tells the user once what the history went through."""
        if line not in self._told and self._say is not None:
            self._told.add(line)
            self._say(line)


_RUN_FIELDS = tuple(Run.__dataclass_fields__)
_JOB_FIELDS = tuple(JobRecord.__dataclass_fields__)
_RUN_COLUMNS = ", ".join(_RUN_FIELDS)
_JOB_COLUMNS = ", ".join(_JOB_FIELDS)


def _is_time(value: object) -> bool:
    try:
        return isinstance(value, str) and datetime.datetime.fromisoformat(value).tzinfo is not None
    except ValueError:
        return False


def _is_json_object(value: object) -> bool:
    try:
        return isinstance(value, str) and isinstance(json.loads(value), dict)
    except (ValueError, RecursionError):
        return False


# What each column holds, as the readers expect it.
_IS: dict[str, Callable[[object], bool]] = {
    "a whole number": lambda value: isinstance(value, int),
    "a number": lambda value: isinstance(value, (int, float)),
    "text": lambda value: isinstance(value, str),
    "a time": _is_time,
    "a JSON object": _is_json_object,
}
_COLUMN_KINDS = {
    **dict.fromkeys(("id", "run_id", "attempt", *RUN_COUNTS), "a whole number"),
    **dict.fromkeys(("command", "executor", "outcome", "asset", "label", "key", "error", "digest", "folder", "recipe"), "text"),
    **dict.fromkeys(("started", "ended"), "a time"),
    "partition": "a JSON object",
    "seconds": "a number",
}
_MAY_BE_NULL = {"ended", "key", "started", "seconds", "error", "digest", "recipe"}


def _locked(error: sqlite3.OperationalError) -> bool:
    """Whether the statement failed because another connection holds the database (SQLITE_BUSY, SQLITE_LOCKED)."""
    return getattr(error, "sqlite_errorcode", 0) & 0xFF in (5, 6)


def _runner_holds(folder: Path) -> bool:
    """Whether a runner holds the output folder now (its lock cannot be taken)."""
    try:
        descriptor = os.open(folder / LOCK, os.O_RDONLY)
    except FileNotFoundError:
        return False
    except OSError:
        return True  # cannot tell: the history is shown as it is
    try:
        fcntl.flock(descriptor, fcntl.LOCK_SH | fcntl.LOCK_NB)
    except BlockingIOError:
        return True
    finally:
        os.close(descriptor)
    return False


def _write_ahead(connection: sqlite3.Connection) -> None:
    """Puts the runner's connection in write-ahead logging mode: a commit appends to the log and waits for no disk."""
    connection.execute("PRAGMA journal_mode = WAL")
    connection.execute("PRAGMA synchronous = NORMAL")


def _connect(path: Path, timeout: float) -> sqlite3.Connection:
    try:
        return sqlite3.connect(path, timeout=timeout)
    except sqlite3.Error as error:
        raise HistoryError(f"cannot open the run history {path}: {error}") from None


def _read_version(connection: sqlite3.Connection) -> int:
    version: int = connection.execute("PRAGMA user_version").fetchone()[0]
    return version


def _check_version(version: int, folder: Path) -> int:
    if version not in (0, VERSION):
        raise HistoryError(
            f"the run history {folder / FILE} has schema version {version}, and this sorva reads only "
            f"version {VERSION}; use a newer sorva, or another --out folder"
        )
    return version


def open_history(folder: Path | str) -> History | None:
    """The history of an output folder for reading, or None when it has none.

    Raises HistoryError when the database is there but cannot be read.
    """
    path = Path(folder) / FILE
    if not path.is_file():
        return None
    try:
        connection = sqlite3.connect(f"file:{path}?mode=ro", uri=True, timeout=10)
    except sqlite3.Error as error:
        raise HistoryError(f"cannot open the run history {path}: {error}") from None
    try:
        version = _read_version(connection)
    except sqlite3.Error as error:
        connection.close()
        raise HistoryError(f"cannot read the run history {path}: {error}") from None
    _check_version(version, Path(folder))
    return History(connection, Path(folder))


@contextmanager
def exclusive(folder: Path) -> Iterator[None]:
    """Holds the output folder for one runner; a second one is refused at once.

    The lock is an advisory lock on `DIR/sorva.lock`, released by the system
    when the runner ends however it ends, so a killed runner leaves no stale lock.
    """
    path = folder / LOCK
    try:
        descriptor = os.open(path, os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW, 0o644)
    except OSError as error:
        raise HistoryError(f"cannot lock the output folder '{folder}': {error.strerror}") from None
    try:
        # A reader asking whether a runner is there holds the lock for a moment; a runner holds it for its run.
        for _ in range(20):
            try:
                fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
                break
            except BlockingIOError:
                time.sleep(0.01)
        else:
            raise HistoryError(f"another runner is using the output folder '{folder}'")
        yield
    finally:
        os.close(descriptor)
