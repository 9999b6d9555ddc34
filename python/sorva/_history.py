"""The run history of an output folder: by default one SQLite database, `DIR/sorva.db`, with a row per run and per job.

`--history URL` (or SORVA_HISTORY, or `history` in [tool.sorva]) names
another: a SQLite file or a PostgreSQL database (`_historydb`) that several
output folders, on several hosts, share. Each run records its host and
output folder; a runner and the readers of one folder see that folder's
runs in a shared history, and `python -m sorva.runs --history URL` lists
them all. On PostgreSQL one runner per folder is kept by an advisory lock
keyed by the folder's host and path, besides the folder's lock file.

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

Schema, version 2 (`PRAGMA user_version`; on PostgreSQL the table
sorva_schema), made on first use; a version 1 file (without the runs' host
and out) gains them when a runner opens it:

    runs(id INTEGER PRIMARY KEY, started TEXT, ended TEXT, command TEXT,
         executor TEXT, outcome TEXT, jobs INTEGER, succeeded INTEGER,
         fresh INTEGER, failed INTEGER, skipped INTEGER, interrupted INTEGER,
         host TEXT, out TEXT)
    jobs(id INTEGER PRIMARY KEY, run_id INTEGER, asset TEXT, label TEXT,
         partition TEXT, key TEXT, outcome TEXT, started TEXT, seconds REAL,
         error TEXT, digest TEXT, folder TEXT, attempt INTEGER, recipe TEXT)

Times are ISO 8601 in UTC. A run's `outcome` is "running", "succeeded",
"failed", "interrupted" or "abandoned" (its runner was killed); a job's is
"ok", "fresh", "failed", "skipped" or "interrupted". `partition` is the job's
partition as canonical JSON ("{}" for none), `digest` the SHA-256 of the
value.json the job left, `folder` the job folder relative to the output
folder, `attempt` counts from 1 for runs that retry, `recipe` the digests of
the code its key holds, by name, as JSON (which tells what changed since);
a run's `out` is its output folder's resolved path on `host`.
"""

from __future__ import annotations

import datetime
import fcntl
import json
import os
import socket
import sqlite3
import time
from collections.abc import Callable, Iterator, Mapping
from contextlib import contextmanager
from dataclasses import dataclass, replace
from pathlib import Path
from typing import Any, TypeVar

from sorva._historydb import Postgres, Sqlite, UrlError, check, folder_key, one_line, shown

T = TypeVar("T")
R = TypeVar("R", "Run", "JobRecord")

FILE = "sorva.db"
LOCK = "sorva.lock"
VERSION = 2
RUN_COUNTS = ("jobs", "succeeded", "fresh", "failed", "skipped", "interrupted")
# The run count each job outcome adds to.
COUNTED = {"ok": "succeeded", "fresh": "fresh", "failed": "failed", "skipped": "skipped", "interrupted": "interrupted"}
# Seconds the runner waits for a history that another program holds locked, and each try of it.
LOCK_WAIT = 60.0
_LOCK_TRY = 1.0
# A batch of job rows is committed once its first row is this old, or this long.
BATCH_SECONDS = 0.2
BATCH_ROWS = 300

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
    host: str | None = None  # None in runs recorded before hosts were
    out: str | None = None


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
    """An open history database; use `open_history` or `History.create`.

    `scope` is the (host, output folder) whose runs it reads and writes in a
    shared history; None reads every run (the folder's own file, or a
    listing of a whole shared history).
    """

    def __init__(
        self,
        db: Sqlite | Postgres,
        folder: Path | None,
        version: int = VERSION,
        say: Callable[[str], None] | None = None,
        scope: tuple[str, str] | None = None,
    ) -> None:
        self.db = db
        self.folder = folder
        self.name = db.name
        self.scope = scope
        # A version 1 file read as it is has no host or folder for its runs.
        self._run_columns = _RUN_COLUMNS if version >= 2 else _RUN_COLUMNS.replace("host, out", "NULL, NULL")
        # The runner's own run: what it tells the user, the row of its run, and
        # its job rows, written and still to write (kept to make the file again).
        self._say = say
        self._told: set[str] = set()
        self._run: dict[str, Any] = {}
        self._pending: list[JobRecord] = []
        self._written: list[JobRecord] = []
        self._batch_started = 0.0

    @property
    def path(self) -> Path | None:
        """The SQLite file, None for a database on a server."""
        return self.db.path if isinstance(self.db, Sqlite) else None

    @classmethod
    def create(cls, folder: Path, say: Callable[[str], None], url: str | None = None) -> History:
        """Opens the history of `folder` for the runner, making it on first use; `say` tells the user a line.

        On PostgreSQL it also takes the folder's advisory lock: a runner of
        the same folder on the same host holds it through the history alone.
        """
        scope = (socket.gethostname(), str(folder.resolve()))
        db = _open(folder, url, writer=True)
        history = cls(db, folder, VERSION, say, scope if url else None)
        try:
            if isinstance(db, Sqlite):
                connection = db.connection
                history._write(lambda: _write_ahead(connection))
            version = history._write(db.version)
            _check_version(version, history.name)
            if version == 0 and isinstance(db, Postgres):
                db.make_schema(VERSION)
            elif version == 0:
                history._write(lambda: db.make_schema(VERSION))
            elif version == 1 and isinstance(db, Sqlite):
                migrate = db.migrate
                history._write(lambda: migrate(VERSION))
            if isinstance(db, Postgres) and not db.lock(folder_key(*scope)):
                raise HistoryError(
                    f"another runner is using the output folder '{folder}' (it holds it in the run history {db.name})"
                )
        except db.errors as error:
            history.close()
            raise HistoryError(f"cannot read the run history {history.name}: {one_line(error)}") from None
        except HistoryError:
            history.close()
            raise
        return history

    def close(self) -> None:
        if self._say is not None and isinstance(self.db, Sqlite):
            try:
                # Readers open the file read-only: in write-ahead logging mode they would leave files beside it.
                self.db.execute("PRAGMA journal_mode = DELETE")
            except sqlite3.Error:
                pass  # a reader holds it now: it stays as it is, which every reader reads as well
        try:
            self.db.close()
        except self.db.errors:
            pass  # a connection already lost is closed

    # Reading.

    def runs(self, limit: int | None = None) -> list[Run]:
        """The runs, newest first."""
        where, parameters = self._in_scope("WHERE")
        rows = self._read(
            f"SELECT {self._run_columns} FROM runs {where} ORDER BY id DESC LIMIT ?",
            (*parameters, 2**62 if limit is None else limit),
        )
        return self._as_now([self._checked(Run, "runs", row) for row in rows])

    def run(self, run_id: int) -> Run | None:
        rows = self._read(f"SELECT {self._run_columns} FROM runs WHERE id = ?", (run_id,))
        return self._as_now([self._checked(Run, "runs", rows[0])])[0] if rows else None

    def last_run(self) -> Run | None:
        runs = self.runs(1)
        return runs[0] if runs else None

    def jobs(self, run_id: int) -> list[JobRecord]:
        """The jobs of a run in the order they ended, every attempt of each."""
        return self._job_records("WHERE run_id = ? ORDER BY id", (run_id,))

    def latest(self) -> dict[tuple[str, str], JobRecord]:
        """The last record of every asset and partition, by (asset ref, partition JSON)."""
        where, parameters = self._in_scope("WHERE run_id IN (SELECT id FROM runs WHERE", ")")
        records = self._job_records(f"WHERE id IN (SELECT MAX(id) FROM jobs {where} GROUP BY asset, partition)", parameters)
        return {(record.asset, record.partition): record for record in records}

    def last_successes(self) -> dict[tuple[str, str], JobRecord]:
        """The last successful ("ok" or "fresh") record of every asset and partition."""
        where, parameters = self._in_scope("AND run_id IN (SELECT id FROM runs WHERE", ")")
        records = self._job_records(
            f"WHERE id IN (SELECT MAX(id) FROM jobs WHERE outcome IN ('ok', 'fresh') {where} GROUP BY asset, partition)",
            parameters,
        )
        return {(record.asset, record.partition): record for record in records}

    def _in_scope(self, before: str, after: str = "") -> tuple[str, tuple[str, ...]]:
        """The condition that keeps the rows of this history's folder, with its parameters; nothing unscoped."""
        return (f"{before} host = ? AND out = ?{after}", self.scope) if self.scope else ("", ())

    def _read(self, statement: str, parameters: tuple[Any, ...] = ()) -> list[tuple[Any, ...]]:
        try:
            return list(self.db.execute(statement, parameters).fetchall())
        except self.db.errors as error:
            raise HistoryError(f"cannot read the run history {self.name}: {one_line(error)}") from None

    def _job_records(self, where: str, parameters: tuple[Any, ...] = ()) -> list[JobRecord]:
        rows = self._read(f"SELECT id, {_JOB_COLUMNS} FROM jobs {where}", parameters)
        return [self._checked(JobRecord, "jobs", row[1:], row[0]) for row in rows]

    def _checked(self, kind: type[R], table: str, row: tuple[Any, ...], row_id: object = None) -> R:
        """The row as a record, or HistoryError naming the first column that is not what the runner writes."""
        for name, value in zip(kind.__dataclass_fields__, row):
            what = _COLUMN_KINDS[name]
            if not (value is None and name in _MAY_BE_NULL) and not _IS[what](value):
                shown = repr(value) if len(repr(value)) <= 40 else f"{repr(value)[:37]}..."
                raise HistoryError(
                    f"the run history {self.name} holds a row that sorva did not write: {table} row "
                    f"{row[0] if row_id is None else row_id}, column {name}: {shown} is not {what}"
                )
        return kind(*row)

    def _as_now(self, runs: list[Run]) -> list[Run]:
        """The runs as they stand: one still "running" whose runner is gone was abandoned.

        Read after the rows: a runner holds the folder from before its run's
        row is written until after it is closed.
        """
        if self._say is not None:
            return runs
        return [replace(run, outcome="abandoned") if run.outcome == "running" and not self._held(run) else run for run in runs]

    def _held(self, run: Run) -> bool:
        """Whether a runner holds the run's output folder now; True where that cannot be told from here."""
        if isinstance(self.db, Postgres) and run.host is not None and run.out is not None:
            try:
                return self.db.held(folder_key(run.host, run.out))
            except self.db.errors:
                return True
        if not self.db.shared and self.folder is not None and self.scope is None:
            return _runner_holds(self.folder)  # the folder's own file, wherever the folder went
        if run.host == socket.gethostname() and run.out is not None:
            return _runner_holds(Path(run.out))
        return True

    # Writing, for the runner.

    def start_run(self, command: str, executor: str, jobs: int) -> int:
        """Records a new run; an earlier run of this folder still marked running had its runner killed."""
        self._run = {"started": now(), "command": command, "executor": executor, "outcome": "running", "jobs": jobs}
        self._run.update(dict.fromkeys(RUN_COUNTS[1:], 0))
        assert self.folder is not None
        self._run.update(host=socket.gethostname(), out=str(self.folder.resolve()))

        def start() -> None:
            where, parameters = self._in_scope("AND")
            self.db.execute(f"UPDATE runs SET outcome = 'abandoned' WHERE outcome = 'running' {where}", parameters)
            self._run["id"] = self._insert_run()

        self._write(start)
        return int(self._run["id"])

    def set_executor(self, run_id: int, executor: str) -> None:
        self._run["executor"] = executor

        def update() -> None:
            self.db.execute("UPDATE runs SET executor = ? WHERE id = ?", (executor, run_id))

        self._write(update)

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
        self._insert_jobs(self._pending)
        changed = ("ended", "outcome", "executor", *RUN_COUNTS)
        self.db.execute(
            f"UPDATE runs SET {', '.join(f'{name} = ?' for name in changed)} WHERE id = ?",
            (*(self._run.get(name) for name in changed), self._run["id"]),
        )

    def _insert_run(self) -> int:
        values = {name: value for name, value in self._run.items() if name != "id" or isinstance(self.db, Sqlite)}
        row = self.db.execute(
            f"INSERT INTO runs ({', '.join(values)}) VALUES ({', '.join('?' * len(values))}) RETURNING id",
            tuple(values.values()),
        ).fetchone()
        return int(row[0])

    def _insert_jobs(self, records: list[JobRecord]) -> None:
        if records:
            self.db.insert_many("jobs", _JOB_COLUMNS, [tuple(getattr(record, name) for name in _JOB_FIELDS) for record in records])

    def _write(self, action: Callable[[], T]) -> T:
        """Runs `action` as one transaction, through what other programs do to the history.

        On SQLite a lock another program holds (a reader in a long
        transaction) is waited for, up to LOCK_WAIT seconds; a file removed
        under the runner is made again, with this run in it, so its jobs are
        not lost. A database on a server that cannot be reached ends the run.
        """
        waited_since = None
        path = self.path
        while True:
            if path is not None and "id" in self._run and not os.path.lexists(path):
                self._remake(path)
            try:
                with self.db.transaction():
                    return action()
            except sqlite3.OperationalError as error:
                if not _locked(error) or (waited_since is not None and time.monotonic() - waited_since > LOCK_WAIT):
                    if path is not None and "id" in self._run and not os.path.lexists(path):
                        continue  # removed while it was written
                    raise
                if waited_since is None:
                    waited_since = time.monotonic()
                    self._tell(f"the run history {self.name} is locked by another program; waiting up to {LOCK_WAIT:.0f} s for it")
            except self.db.errors as error:
                if isinstance(error, sqlite3.Error):
                    raise
                raise HistoryError(f"the run history {self.name} cannot be written: {one_line(error)}") from None

    def _remake(self, path: Path) -> None:
        self._tell(f"the run history {self.name} was removed while the run went on; it is made again, with this run alone")
        self.db.close()
        for log in (f"{path}-wal", f"{path}-shm"):
            # Left by the removed file, whose connection could not end its log: not to be read as the new file's.
            Path(log).unlink(missing_ok=True)
        self.db = _open_sqlite(path, writer=True)
        _write_ahead(self.db.connection)
        with self.db.transaction():
            self.db.make_schema(VERSION)
            self._insert_run()
            self._insert_jobs(self._written)

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
    **dict.fromkeys(("command", "executor", "outcome", "host", "out", "asset", "label", "key", "error", "digest", "folder", "recipe"), "text"),
    **dict.fromkeys(("started", "ended"), "a time"),
    "partition": "a JSON object",
    "seconds": "a number",
}
_MAY_BE_NULL = {"ended", "host", "out", "key", "started", "seconds", "error", "digest", "recipe"}


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


def _open_sqlite(path: Path, writer: bool) -> Sqlite:
    try:
        return Sqlite(path, _LOCK_TRY if writer else 10, read_only=not writer)
    except sqlite3.Error as error:
        raise HistoryError(f"cannot open the run history {path}: {error}") from None


def _open(folder: Path | None, url: str | None, writer: bool) -> Sqlite | Postgres:
    """The database `url` names, or the folder's own file."""
    if url is None:
        assert folder is not None
        return _open_sqlite(folder / FILE, writer)
    try:
        url = check(url)
    except UrlError as error:
        raise HistoryError(f"argument --history: {error}") from None
    if url.startswith("sqlite:///"):
        return _open_sqlite(Path(url[len("sqlite:///") :]), writer)
    try:
        return Postgres(url, read_only=not writer)
    except ConnectionError as error:
        raise HistoryError(f"cannot open the run history {shown(url)}: {error}") from None


def _check_version(version: int, name: str) -> int:
    if version not in (0, 1, VERSION):
        raise HistoryError(
            f"the run history {name} has schema version {version}, and this sorva reads only "
            f"versions up to {VERSION}; use a newer sorva, or another history"
        )
    return version


def open_history(folder: Path | str | None, url: str | None = None) -> History | None:
    """The history of an output folder for reading, or None when it has none.

    With `url`, the history it names: only `folder`'s runs of it, or all of
    them for no folder. Raises HistoryError when the database is there but
    cannot be read.
    """
    folder = None if folder is None else Path(folder)
    if url is None or url.startswith("sqlite:///"):
        path = folder / FILE if url is None and folder is not None else Path((url or "")[len("sqlite:///") :])
        if not path.is_file():
            return None
    db = _open(folder, url, writer=False)
    try:
        version = db.version()
    except db.errors as error:
        db.close()
        raise HistoryError(f"cannot read the run history {db.name}: {one_line(error)}") from None
    if version == 0 and db.shared:
        db.close()
        return None
    _check_version(version, db.name)
    scope = (socket.gethostname(), str(folder.resolve())) if url is not None and folder is not None else None
    return History(db, folder, version, scope=scope)


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
