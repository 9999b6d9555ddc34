"""The run history of an output folder: one SQLite database, `DIR/sorva.db`, with a row per run and per job.

The runner writes it as it goes: a run's row when the run starts and ends,
and the rows of the jobs that ended, committed together as soon as the
runner has taken note of them (jobs found fresh at once are one commit, not
hundreds), so a runner that is killed leaves a history that is true as far
as it goes (its run stays
"running" until the next run finds it abandoned). Readers (`python -m
sorva.runs`, reports) open it with `open_history` and use the read methods.

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
folder, `attempt` counts from 1 for runs that retry, `recipe` is the part of
the key the job brings itself (its sources and partition, without inputs).
"""

from __future__ import annotations

import datetime
import fcntl
import os
import sqlite3
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path

FILE = "sorva.db"
LOCK = "sorva.lock"
VERSION = 1
RUN_COUNTS = ("jobs", "succeeded", "fresh", "failed", "skipped", "interrupted")

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


def now() -> str:
    return datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="milliseconds")


class History:
    """An open history database; use `open_history` or `History.create`."""

    def __init__(self, connection: sqlite3.Connection, folder: Path) -> None:
        self.connection = connection
        self.folder = folder

    @classmethod
    def create(cls, folder: Path) -> History:
        """Opens the history of `folder` for writing, making it on first use."""
        history = cls(_connect(folder / FILE), folder)
        if _version(history.connection, folder) == 0:
            # One transaction: a runner killed here leaves no half-made schema.
            history.connection.executescript(f"BEGIN; {_SCHEMA} PRAGMA user_version = {VERSION}; COMMIT;")
        return history

    def close(self) -> None:
        self.connection.close()

    # Reading.

    def runs(self, limit: int | None = None) -> list[Run]:
        """The runs, newest first."""
        rows = self.connection.execute(
            f"SELECT {_RUN_COLUMNS} FROM runs ORDER BY id DESC LIMIT ?", (-1 if limit is None else limit,)
        )
        return [Run(*row) for row in rows]

    def run(self, run_id: int) -> Run | None:
        row = self.connection.execute(f"SELECT {_RUN_COLUMNS} FROM runs WHERE id = ?", (run_id,)).fetchone()
        return Run(*row) if row else None

    def last_run(self) -> Run | None:
        runs = self.runs(1)
        return runs[0] if runs else None

    def jobs(self, run_id: int) -> list[JobRecord]:
        """The jobs of a run in the order they ended, every attempt of each."""
        rows = self.connection.execute(f"SELECT {_JOB_COLUMNS} FROM jobs WHERE run_id = ? ORDER BY id", (run_id,))
        return [JobRecord(*row) for row in rows]

    def latest(self) -> dict[tuple[str, str], JobRecord]:
        """The last record of every asset and partition, by (asset ref, partition JSON)."""
        rows = self.connection.execute(
            f"SELECT {_JOB_COLUMNS} FROM jobs WHERE id IN (SELECT MAX(id) FROM jobs GROUP BY asset, partition)"
        )
        return {(record.asset, record.partition): record for record in (JobRecord(*row) for row in rows)}

    def last_successes(self) -> dict[tuple[str, str], JobRecord]:
        """The last successful ("ok" or "fresh") record of every asset and partition."""
        rows = self.connection.execute(
            f"SELECT {_JOB_COLUMNS} FROM jobs WHERE id IN (SELECT MAX(id) FROM jobs "
            "WHERE outcome IN ('ok', 'fresh') GROUP BY asset, partition)"
        )
        return {(record.asset, record.partition): record for record in (JobRecord(*row) for row in rows)}

    # Writing, for the runner.

    def start_run(self, command: str, executor: str, jobs: int) -> int:
        """Records a new run; an earlier run still marked running had its runner killed."""
        with self.connection:
            self.connection.execute("UPDATE runs SET outcome = 'abandoned' WHERE outcome = 'running'")
            cursor = self.connection.execute(
                "INSERT INTO runs (started, command, executor, outcome, jobs) VALUES (?, ?, ?, 'running', ?)",
                (now(), command, executor, jobs),
            )
        assert cursor.lastrowid is not None
        return cursor.lastrowid

    def set_executor(self, run_id: int, executor: str) -> None:
        with self.connection:
            self.connection.execute("UPDATE runs SET executor = ? WHERE id = ?", (executor, run_id))

    def record_job(self, record: JobRecord) -> None:
        """Adds a job's row; it is saved by the next `commit`."""
        self.connection.execute(
            f"INSERT INTO jobs ({_JOB_COLUMNS}) VALUES ({', '.join('?' * len(_JOB_FIELDS))})",
            tuple(getattr(record, name) for name in _JOB_FIELDS),
        )

    def commit(self) -> None:
        self.connection.commit()

    def end_run(self, run_id: int, outcome: str, counts: dict[str, int]) -> None:
        with self.connection:
            self.connection.execute(
                f"UPDATE runs SET ended = ?, outcome = ?, {', '.join(f'{name} = ?' for name in RUN_COUNTS)} WHERE id = ?",
                (now(), outcome, *(counts.get(name, 0) for name in RUN_COUNTS), run_id),
            )


_RUN_FIELDS = tuple(Run.__dataclass_fields__)
_JOB_FIELDS = tuple(JobRecord.__dataclass_fields__)
_RUN_COLUMNS = ", ".join(_RUN_FIELDS)
_JOB_COLUMNS = ", ".join(_JOB_FIELDS)


def _connect(path: Path) -> sqlite3.Connection:
    # The default rollback journal: unlike write-ahead logging it lets readers
    # open the file read-only without leaving files of their own beside it.
    try:
        return sqlite3.connect(path, timeout=10)
    except sqlite3.Error as error:
        raise HistoryError(f"cannot open the run history {path}: {error}") from None


def _version(connection: sqlite3.Connection, folder: Path) -> int:
    try:
        version: int = connection.execute("PRAGMA user_version").fetchone()[0]
    except sqlite3.Error as error:
        raise HistoryError(f"cannot read the run history {folder / FILE}: {error}") from None
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
    _version(connection, Path(folder))
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
        try:
            fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            raise HistoryError(f"another runner is using the output folder '{folder}'") from None
        yield
    finally:
        os.close(descriptor)
