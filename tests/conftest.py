"""Shared fixtures: importable user modules written to a temporary folder."""

import importlib
import sys
import textwrap
import uuid

import pytest


@pytest.fixture
def make_module(tmp_path, monkeypatch):
    """Writes source to a fresh module in tmp_path and returns its name.

    The folder is put on sys.path for the test; the module is not imported.
    """
    monkeypatch.syspath_prepend(str(tmp_path))
    created = []

    def make(source, name=None):
        name = name or f"mod_{uuid.uuid4().hex[:12]}"
        path = tmp_path / f"{name}.py"
        path.write_text(textwrap.dedent(source), encoding="utf-8")
        created.append(name)
        importlib.invalidate_caches()
        return name

    yield make
    for name in created:
        sys.modules.pop(name, None)


@pytest.fixture
def registry(monkeypatch):
    """Starts the test from the built-in serializers only."""
    from sorva import serializers

    monkeypatch.setattr(serializers, "_registered", dict(serializers._registered))


@pytest.fixture(params=["fork", "process", "pool"])
def each_executor(request, monkeypatch):
    """Runs the test's `python -m sorva.run` commands with each executor in turn."""
    monkeypatch.setenv("SORVA_TEST_EXECUTOR", request.param)
    return request.param


@pytest.fixture(scope="session")
def postgres():
    """Makes a new database on a PostgreSQL server started for the session, and returns its URL."""
    import pg_support

    if not (pg_support.BIN / "initdb").exists():
        pytest.skip("PostgreSQL 15 is not installed (tools/install-deps.sh installs it)")
    pytest.importorskip("psycopg", reason="psycopg 3 is not installed (tools/install-deps.sh installs it)")
    with pg_support.server() as new_database:
        yield new_database
