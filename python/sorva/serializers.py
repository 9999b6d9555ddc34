"""How asset values are stored in files: the serializers by name, built-in and registered.

`@asset(serializer=NAME)` picks one. "json" (the default) keeps the value in
value.json itself; every other serializer writes the value to `value<suffix>`
in the job's folder and value.json refers to that file. Register your own with
`register`, for example Parquet where pyarrow is installed::

    import pandas
    from sorva.serializers import register

    register("parquet", ".parquet", lambda frame, path: frame.to_parquet(path), pandas.read_parquet)

Call `register` in a module that the assets using it import, so that it runs
before they are stored or loaded.
"""

from __future__ import annotations

import importlib
import json
import re
import sys
from dataclasses import dataclass

# Workers import this module for every job; typing stays out of their way.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable
    from pathlib import Path
    from typing import Any

# Protocol 5 is the newest that every supported interpreter reads; pinning it
# keeps a value's bytes, and so its digest, the same across interpreters.
PICKLE_PROTOCOL = 5

_NAME = re.compile(r"[A-Za-z0-9][A-Za-z0-9._-]*")
_SUFFIX = re.compile(r"\.[A-Za-z0-9][A-Za-z0-9._-]*")


@dataclass(frozen=True)
class Serializer:
    """Stores one kind of value in the file `value<suffix>` of a job folder."""

    name: str
    suffix: str
    dump: Callable[[Any, Path], object]  # writes the value to the path
    load: Callable[[Path], Any]  # reads it back


def register(name: str, suffix: str, dump: Callable[[Any, Path], object], load: Callable[[Path], Any]) -> None:
    """Makes `@asset(serializer=name)` store values with `dump` and load them with `load`.

    `dump(value, path)` writes the value to a new file at `path` (its name ends
    with `suffix`, such as ".parquet"); `load(path)` returns the value read
    from such a file. A value that `dump` cannot store should raise an
    exception saying why; the job then fails with that message. Registering a
    name again replaces the earlier registration; the built-in names cannot be
    replaced.
    """
    for what, text in (("name", name), ("suffix", suffix)):
        if not isinstance(text, str):
            raise TypeError(f"serializer {what} must be a str, not '{type(text).__qualname__}'")
    for what, function in (("dump", dump), ("load", load)):
        if not callable(function):
            raise TypeError(f"serializer {what} must be callable, not '{type(function).__qualname__}'")
    if not _NAME.fullmatch(name):
        raise ValueError(
            f"serializer name {_shown(name)} must be letters, digits, '.', '_' or '-', starting with a letter or digit"
        )
    if name in _BUILT_IN:
        raise ValueError(f"serializer '{name}' is built in and cannot be replaced")
    if not _SUFFIX.fullmatch(suffix):
        raise ValueError(f"serializer suffix {_shown(suffix)} must be '.' followed by letters, digits, '.', '_' or '-'")
    if suffix == ".json":
        raise ValueError("serializer suffix '.json' is taken: value.json holds the reference to the value's file")
    _registered[name] = Serializer(name, suffix, dump, load)


def names() -> list[str]:
    """The known serializer names, sorted."""
    return sorted(_registered)


def find(name: str | None) -> Serializer | None:
    """The serializer of that name, None for an unknown name; no name means json."""
    return _registered.get("json" if name is None else name)


def lookup(name: str | None, asset: str) -> Serializer:
    """The serializer that `asset` declared; no name means json.

    Raises LookupError with one line naming the asset and the known names.
    """
    found = find(name)
    if found is None:
        raise LookupError(
            f"asset '{asset}' declares the unknown serializer {_shown(name)}; known serializers: {', '.join(names())}"
        )
    return found


def _shown(text: object) -> str:
    """A name quoted for a one-line message, escaped where it would break the line."""
    text = str(text)
    return f"'{text}'" if text.isprintable() else repr(text)


def _dump_json(value: Any, path: Path) -> None:
    path.write_text(json.dumps(value), "utf-8")


def _load_json(path: Path) -> Any:
    return json.loads(path.read_bytes())


def _dump_pickle(value: Any, path: Path) -> None:
    import pickle

    with open(path, "wb") as file:
        pickle.dump(value, file, protocol=PICKLE_PROTOCOL)


def _load_pickle(path: Path) -> Any:
    import pickle

    with open(path, "rb") as file:
        return pickle.load(file)


def _kind(value: Any, module: str, kind: str) -> Any:
    """The library module when `value` is an instance of its `kind`, else None.

    A value of a library's type exists only once the library was imported, so
    the test needs no import of its own and never pulls a library in.
    """
    library = sys.modules.get(module)
    return library if library is not None and isinstance(value, getattr(library, kind)) else None


def _dump_csv(value: Any, path: Path) -> None:
    if _kind(value, "pandas", "DataFrame") is None:
        raise TypeError(f"csv stores a pandas DataFrame, not '{type(value).__qualname__}'")
    value.to_csv(path, lineterminator="\n")


def _load_csv(path: Path) -> Any:
    return importlib.import_module("pandas").read_csv(path, index_col=0)


def _dump_npy(value: Any, path: Path) -> None:
    numpy = _kind(value, "numpy", "ndarray")
    if numpy is None:
        raise TypeError(f"npy stores a numpy array, not '{type(value).__qualname__}'")
    # An array of Python objects would be pickled inside the file; pickle says so openly.
    with open(path, "wb") as file:
        numpy.save(file, value, allow_pickle=False)


def _load_npy(path: Path) -> Any:
    return importlib.import_module("numpy").load(path, allow_pickle=False)


_registered: dict[str, Serializer] = {
    serializer.name: serializer
    for serializer in (
        Serializer("json", ".json", _dump_json, _load_json),
        Serializer("pickle", ".pkl", _dump_pickle, _load_pickle),
        Serializer("csv", ".csv", _dump_csv, _load_csv),
        Serializer("npy", ".npy", _dump_npy, _load_npy),
    )
}
_BUILT_IN = frozenset(_registered)
