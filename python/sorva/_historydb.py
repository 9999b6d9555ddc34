"""Where a run history lives, named by a URL, and what differs between the two kinds of database that hold one.

`sqlite:///PATH` is a SQLite file (`sqlite:////abs/path`, `sqlite:///rel/path`);
`postgresql://...` (or `postgres://`) a PostgreSQL database, reached
through psycopg 3. Without a URL the history is the output folder's own
`sorva.db`. The history code writes its statements once, with `?` for
parameters; a Database turns them into its own dialect.
"""

from __future__ import annotations

import hashlib
import re
import sqlite3
from collections.abc import Iterable, Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import Any

SQLITE = "sqlite:///"
POSTGRES = ("postgresql://", "postgres://")
# The form of the statements that make the schema; {id} and {real} are each database's own.
SCHEMA = """
CREATE TABLE runs (
    id {id}, started TEXT NOT NULL, ended TEXT, command TEXT NOT NULL, executor TEXT NOT NULL,
    outcome TEXT NOT NULL, jobs INTEGER NOT NULL DEFAULT 0, succeeded INTEGER NOT NULL DEFAULT 0,
    fresh INTEGER NOT NULL DEFAULT 0, failed INTEGER NOT NULL DEFAULT 0, skipped INTEGER NOT NULL DEFAULT 0,
    interrupted INTEGER NOT NULL DEFAULT 0, host TEXT, out TEXT
);
CREATE TABLE jobs (
    id {id}, run_id INTEGER NOT NULL REFERENCES runs(id), asset TEXT NOT NULL, label TEXT NOT NULL,
    partition TEXT NOT NULL, key TEXT, outcome TEXT NOT NULL, started TEXT, seconds {real}, error TEXT,
    digest TEXT, folder TEXT NOT NULL, attempt INTEGER NOT NULL DEFAULT 1, recipe TEXT
);
CREATE INDEX jobs_of_run ON jobs(run_id);
CREATE INDEX jobs_of_partition ON jobs(asset, partition);
CREATE INDEX runs_of_folder ON runs(host, out);
"""
# What version 1 (SQLite only) lacks.
MIGRATE_FROM_1 = (
    "ALTER TABLE runs ADD COLUMN host TEXT",
    "ALTER TABLE runs ADD COLUMN out TEXT",
    "CREATE INDEX runs_of_folder ON runs(host, out)",
)


class UrlError(ValueError):
    """The URL names no history this sorva can use; the message says why, in one line."""


def shown(url: str) -> str:
    """The URL as messages show it: without its password."""
    url = re.sub(r"(://[^/@:]*:)[^@/]*@", r"\1***@", url)
    return re.sub(r"(password=)[^&\s]*", r"\1***", url)


def check(url: str) -> str:
    """The URL if it names a kind of history this sorva can use; raises UrlError otherwise."""
    if url.startswith(SQLITE) and len(url) > len(SQLITE):
        return url
    if url.startswith(POSTGRES):
        try:
            import psycopg  # noqa: F401
        except ImportError:
            raise UrlError("a PostgreSQL history needs psycopg 3 (Debian: python3-psycopg)") from None
        return url
    raise UrlError(f"expected sqlite:///PATH or postgresql://..., got '{shown(url)}'")


def folder_key(host: str, out: str) -> int:
    """The advisory lock of an output folder on a host: a signed 64-bit number from a hash of both."""
    return int.from_bytes(hashlib.sha256(f"{host}\0{out}".encode()).digest()[:8], "big", signed=True)


class Sqlite:
    """A SQLite file: the runner's connection waits `timeout` seconds for a lock; readers open it read-only."""

    shared = False
    errors: tuple[type[Exception], ...] = (sqlite3.Error,)

    def __init__(self, path: Path, timeout: float, read_only: bool = False) -> None:
        self.path = path
        self.name = str(path)
        if read_only:
            self.connection = sqlite3.connect(f"file:{path}?mode=ro", uri=True, timeout=timeout)
        else:
            self.connection = sqlite3.connect(path, timeout=timeout)

    def execute(self, statement: str, parameters: Iterable[Any] = ()) -> Any:
        return self.connection.execute(statement, tuple(parameters))

    def insert_many(self, table: str, columns: str, rows: list[tuple[Any, ...]]) -> None:
        places = ", ".join("?" * len(rows[0]))
        self.connection.executemany(f"INSERT INTO {table} ({columns}) VALUES ({places})", rows)

    @contextmanager
    def transaction(self) -> Iterator[None]:
        with self.connection:
            yield

    def version(self) -> int:
        version: int = self.connection.execute("PRAGMA user_version").fetchone()[0]
        return version

    def make_schema(self, version: int) -> None:
        # One transaction (statements that make tables begin none of their own):
        # a runner killed here leaves no half-made schema.
        self.connection.execute("BEGIN")
        for statement in SCHEMA.format(id="INTEGER PRIMARY KEY", real="REAL").split(";")[:-1]:
            self.connection.execute(statement)
        self.connection.execute(f"PRAGMA user_version = {version}")

    def migrate(self, version: int) -> None:
        self.connection.execute("BEGIN")
        for statement in MIGRATE_FROM_1:
            self.connection.execute(statement)
        self.connection.execute(f"PRAGMA user_version = {version}")

    def close(self) -> None:
        self.connection.close()


class Postgres:
    """A PostgreSQL database, shared by runners on many hosts; each transaction is explicit."""

    shared = True

    def __init__(self, url: str, read_only: bool = False) -> None:
        import psycopg

        self.errors = (psycopg.Error,)
        self.name = shown(url)
        try:
            # A server that does not answer is given up on; None leaves the URL's own time.
            self.connection = psycopg.connect(url, autocommit=True, connect_timeout=None if "connect_timeout" in url else 10)
        except psycopg.Error as error:
            raise ConnectionError(one_line(error)) from None
        if not read_only:
            # As the runner's SQLite file, synced at checkpoints: a commit does not wait for the disk, and a
            # server that crashes loses at most its last commits, never its consistency.
            self.connection.execute("SET synchronous_commit = off")

    def execute(self, statement: str, parameters: Iterable[Any] = ()) -> Any:
        return self.connection.execute(statement.replace("?", "%s"), tuple(parameters))

    def insert_many(self, table: str, columns: str, rows: list[tuple[Any, ...]]) -> None:
        # COPY sends the rows in one stream: an INSERT each would wait for the server once per row.
        with self.connection.cursor() as cursor, cursor.copy(f"COPY {table} ({columns}) FROM STDIN") as copy:
            for row in rows:
                copy.write_row(row)

    @contextmanager
    def transaction(self) -> Iterator[None]:
        with self.connection.transaction():
            yield

    def version(self) -> int:
        """0 where the database holds no history yet."""
        if self.connection.execute("SELECT to_regclass('sorva_schema')").fetchone()[0] is None:  # type: ignore[index]
            return 0
        row = self.connection.execute("SELECT version FROM sorva_schema").fetchone()
        return int(row[0]) if row else 0

    def make_schema(self, version: int) -> None:
        """Makes the schema, in a transaction of its own, unless another runner just did.

        The first runners to come wait for each other on a lock taken before
        the transaction begins: one begun before would not see the tables
        another made meanwhile.
        """
        key = folder_key("", "schema")
        self.connection.execute("SELECT pg_advisory_lock(%s)", (key,))
        try:
            with self.connection.transaction():
                if self.version():
                    return
                for statement in SCHEMA.format(id="BIGSERIAL PRIMARY KEY", real="DOUBLE PRECISION").split(";")[:-1]:
                    self.connection.execute(statement)
                self.connection.execute("CREATE TABLE sorva_schema (version INTEGER NOT NULL)")
                self.connection.execute("INSERT INTO sorva_schema VALUES (%s)", (version,))
        finally:
            self.connection.execute("SELECT pg_advisory_unlock(%s)", (key,))

    def lock(self, key: int) -> bool:
        """Takes the folder's advisory lock for this session; False when another session holds it."""
        return bool(self.connection.execute("SELECT pg_try_advisory_lock(%s)", (key,)).fetchone()[0])  # type: ignore[index]

    def held(self, key: int) -> bool:
        """Whether a session holds the folder's advisory lock now."""
        row = self.connection.execute(
            "SELECT 1 FROM pg_locks WHERE locktype = 'advisory' AND granted AND objsubid = 1 AND classid = %s::oid "
            "AND objid = %s::oid AND database = (SELECT oid FROM pg_database WHERE datname = current_database())",
            ((key >> 32) & 0xFFFFFFFF, key & 0xFFFFFFFF),
        ).fetchone()
        return row is not None

    def close(self) -> None:
        self.connection.close()


def one_line(error: BaseException) -> str:
    """A database's error as one line: libpq's messages span several."""
    return " ".join(str(error).split()) or type(error).__name__
