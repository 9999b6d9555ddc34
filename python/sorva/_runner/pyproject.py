"""The runner's settings in `pyproject.toml`: run defaults, per-asset retries, time limits and pools.

The file is the first `pyproject.toml` found from the current folder upward,
as other Python tools find theirs; a file without `[tool.sorva]` sets
nothing. Every key is checked before anything runs: an unknown key or a
value of the wrong type is a SettingsError naming it. Which assets the
`[tool.sorva.assets."NAME"]` tables name is checked once the assets are
known (`for_assets`).
"""

from __future__ import annotations

import math
import os
from collections.abc import Callable, Iterable, Mapping
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

FILE = "pyproject.toml"


class SettingsError(Exception):
    """The settings cannot be used; the message is one line naming the file and the key."""


@dataclass(frozen=True)
class AssetSettings:
    retries: int | None = None
    timeout: float | None = None
    pool: str | None = None


@dataclass(frozen=True)
class ProjectSettings:
    path: Path | None = None  # the file read, None when there is none
    run: Mapping[str, Any] = field(default_factory=dict)  # run defaults, as the command line's options
    assets: Mapping[str, AssetSettings] = field(default_factory=dict)  # by the name the file gives
    pools: Mapping[str, int] = field(default_factory=dict)

    def for_assets(self, match: Callable[[str], Iterable[str]]) -> dict[str, AssetSettings]:
        """The per-asset settings by asset ref; `match(name)` gives the refs a name stands for (LookupError for none)."""
        by_ref: dict[str, AssetSettings] = {}
        for name, settings in self.assets.items():
            try:
                refs = match(name)
            except LookupError:
                raise SettingsError(f'{self.path}: [tool.sorva.assets."{name}"]: no asset is named \'{name}\'') from None
            for ref in refs:
                by_ref[ref] = settings
        return by_ref


def _whole(least: int) -> Callable[[object], int]:
    def check(value: object) -> int:
        if isinstance(value, bool) or not isinstance(value, int) or value < least:
            raise ValueError(f"expected a whole number of at least {least}")
        return value

    return check


def _seconds(value: object) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not 0 < value < math.inf:
        raise ValueError("expected a number of seconds above 0")
    return float(value)


def _text(value: object) -> str:
    if not isinstance(value, str):
        raise ValueError("expected a string")
    return value


_RUN: dict[str, Callable[[object], Any]] = {
    "out": _text,
    "history": _text,
    "jobs": _whole(1),
    "executor": _text,
    "scheduler": _text,
    "retries": _whole(0),
    "timeout": _seconds,
}
_ASSET: dict[str, Callable[[object], Any]] = {"retries": _whole(0), "timeout": _seconds, "pool": _text}


def find(start: Path | None = None) -> Path | None:
    """The first pyproject.toml in `start` (the current folder) or a folder above it."""
    folder = (start or Path.cwd()).absolute()
    for candidate in (folder, *folder.parents):
        if (candidate / FILE).is_file():
            # Named as the user would name it from here.
            return Path(FILE) if candidate == folder else candidate / FILE
    return None


def default_out(prog: str) -> str:
    """The output folder the runner uses without --out: pyproject.toml's `out`, or ./sorva-out.

    For the commands that read what the runner wrote; a file they cannot
    use ends them as it ends the runner.
    """
    return str(_file_run(prog).get("out", "sorva-out"))


def history_url(given: str | None, file: Mapping[str, Any]) -> str | None:
    """The run history's URL: --history, else SORVA_HISTORY, else the file's `history`; None for the folder's own."""
    return given or os.environ.get("SORVA_HISTORY") or file.get("history")


def default_history(prog: str, given: str | None) -> str | None:
    """`history_url` for the commands that read what the runner wrote."""
    return history_url(given, {} if given or os.environ.get("SORVA_HISTORY") else _file_run(prog))


def _file_run(prog: str) -> Mapping[str, Any]:
    from sorva._cli import USAGE, fail

    try:
        return load(find()).run
    except SettingsError as error:
        fail(prog, str(error), USAGE)


def load(path: Path | None, executors: Iterable[str] | None = None) -> ProjectSettings:
    """The settings in the file at `path` (none for None); raises SettingsError.

    The executor is checked against `executors` where they are given.
    """
    if path is None:
        return ProjectSettings()
    import tomllib

    try:
        with open(path, "rb") as file:
            document = tomllib.load(file)
    except OSError as error:
        raise SettingsError(f"cannot read {path}: {error.strerror}") from None
    except (tomllib.TOMLDecodeError, UnicodeDecodeError) as error:
        raise SettingsError(f"{path} is not valid TOML: {error}") from None
    tool = document.get("tool")
    section = tool.get("sorva") if isinstance(tool, dict) else None
    if section is None:
        return ProjectSettings(path)

    def table(value: object, where: str) -> dict[str, Any]:
        if not isinstance(value, dict):
            raise SettingsError(f"{path}: {where} must be a table, got {_shown(value)}")
        return value

    def checked(where: str, key: str, check: Callable[[object], Any], value: object) -> Any:
        try:
            return check(value)
        except ValueError as error:
            raise SettingsError(f"{path}: {where} {key}: {error}, got {_shown(value)}") from None

    def keyed(values: object, where: str, kinds: Mapping[str, Callable[[object], Any]]) -> dict[str, Any]:
        read = {}
        for key, value in table(values, where).items():
            if key not in kinds:
                raise SettingsError(f"{path}: {where}: unknown key '{key}' (known: {', '.join(kinds)})")
            read[key] = checked(where, key, kinds[key], value)
        return read

    section = dict(table(section, "[tool.sorva]"))
    assets_table = table(section.pop("assets", {}), "[tool.sorva.assets]")
    pools_table = table(section.pop("pools", {}), "[tool.sorva.pools]")
    run = keyed(section, "[tool.sorva]", _RUN)
    if "executor" in run and executors is not None and run["executor"] not in executors:
        raise SettingsError(
            f"{path}: [tool.sorva] executor: expected one of {', '.join(sorted(executors))}, got {_shown(run['executor'])}"
        )
    if "out" in run:
        run["out"] = str(path.parent / run["out"])  # relative to the file's folder, wherever the run starts
    if run.get("history", "").startswith("sqlite:///") and not run["history"].startswith("sqlite:////"):
        run["history"] = f"sqlite:///{path.parent / run['history'][len('sqlite:///'):]}"  # so is a SQLite file
    pools = {name: checked("[tool.sorva.pools]", name, _whole(1), size) for name, size in pools_table.items()}
    assets = {}
    for name, values in assets_table.items():
        where = f'[tool.sorva.assets."{name}"]'
        read = keyed(values, where, _ASSET)
        if "pool" in read and read["pool"] not in pools:
            raise SettingsError(f"{path}: {where} pool: no pool '{read['pool']}' in [tool.sorva.pools]")
        assets[name] = AssetSettings(**read)
    return ProjectSettings(path, run, assets, pools)


def _shown(value: object) -> str:
    import json

    try:
        return json.dumps(value)
    except (TypeError, ValueError):
        return str(value)  # a TOML date or time
