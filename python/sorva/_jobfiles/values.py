"""Stored values: a value's file in its job folder, the reference to it in value.json, and loading values back.

A json value is value.json itself. Any other serializer writes the value to
`value<suffix>` and value.json holds a reference to that file, one JSON
object: `{"format": "pickle", "file": "value.pkl", "size": 123, "sha256": "..."}`.
value.json thus stays JSON for any reader, and digesting it covers the file.

A downstream job does not receive its upstream values inline: it is told
where they lie, as the upstream job's folder relative to the run's output
folder (the root), and loads them itself. Only files inside the root are
read, so a pickle is never loaded from anywhere else.
"""

from __future__ import annotations

import hashlib
import importlib
import json
import os
import re
from dataclasses import dataclass
from pathlib import Path, PurePosixPath

from sorva._cli import write_whole
from sorva.serializers import Serializer, find, names

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Iterable, Sequence
    from typing import Any

VALUE = "value.json"
REFERENCE_KEYS = ("format", "file", "size", "sha256")
_FILE = re.compile(r"value\.[A-Za-z0-9][A-Za-z0-9._-]*")
_SHA256 = re.compile(r"[0-9a-f]{64}")
_CHUNK = 1 << 20


class LoadError(Exception):
    """A stored value cannot be loaded; the message is one line."""


@dataclass(frozen=True)
class Stored:
    """Where one upstream value lies: its job folder under the root and how it was stored.

    `module` is the upstream asset's module; it is imported when `serializer`
    is not registered yet, since that module is where a custom serializer is
    registered.
    """

    folder: PurePosixPath
    serializer: str | None = None
    module: str | None = None

    def entry(self) -> dict[str, Any]:
        """The JSON form of this upstream value in a job's inputs."""
        entry: dict[str, Any] = {"folder": self.folder.as_posix(), "serializer": self.serializer}
        if self.module is not None:
            entry["module"] = self.module
        return entry


@dataclass(frozen=True)
class FanIn:
    """Several upstream partitions for one parameter, received as `{"partition": ..., "value": ...}` entries."""

    parts: tuple[tuple[Any, Stored], ...]


Upstream = Stored | FanIn


def store(value: Any, folder: Path, serializer: Serializer) -> None:
    """Writes `value` into the job folder: value.json, or the value's file and value.json referring to it.

    The value's file appears whole or not at all. Raises whatever the
    serializer raises for a value it cannot store.
    """
    if serializer.name == "json":
        serializer.dump(value, folder / VALUE)
        return
    final = folder / f"value{serializer.suffix}"
    written: list[tuple[int, str]] = []

    def dump(partial: str) -> None:
        serializer.dump(value, Path(partial))
        if not os.path.isfile(partial):
            raise FileNotFoundError(f"serializer '{serializer.name}' wrote no file")
        written.append(_digest_file(Path(partial)))

    write_whole(final, dump)
    size, digest = written[0]
    reference = {"format": serializer.name, "file": final.name, "size": size, "sha256": digest}
    (folder / VALUE).write_text(json.dumps(reference), "utf-8")


def _digest_file(path: Path) -> tuple[int, str]:
    digest = hashlib.sha256()
    size = 0
    with open(path, "rb") as file:
        while chunk := file.read(_CHUNK):
            digest.update(chunk)
            size += len(chunk)
    return size, digest.hexdigest()


def read_reference(folder: Path, serializer: str) -> dict[str, Any]:
    """The reference in a job folder's value.json, checked for shape; raises LoadError."""
    path = folder / VALUE
    try:
        reference = json.loads(path.read_bytes())
    except OSError as error:
        raise LoadError(f"cannot read '{path}': {error.strerror}") from None
    except (ValueError, RecursionError):  # a value.json edited by hand may nest deeper than json reads
        reference = None
    if not (
        isinstance(reference, dict)
        and sorted(reference) == sorted(REFERENCE_KEYS)
        and reference["format"] == serializer
        and isinstance(reference["file"], str)
        and _FILE.fullmatch(reference["file"])
        and reference["file"] != VALUE
        and type(reference["size"]) is int
        and isinstance(reference["sha256"], str)
        and _SHA256.fullmatch(reference["sha256"])
    ):
        raise LoadError(f"'{path}' holds no reference to a value stored with '{serializer}'")
    return reference


def value_digest(folder: Path, serializer: str | None) -> str:
    """SHA-256 of a job folder's value.json, after checking the file it refers to; raises LoadError.

    A reference names its file's size and SHA-256, so this digest changes
    with the value's file as well.
    """
    if serializer is not None and serializer != "json":
        reference = read_reference(folder, serializer)
        _check_file(folder / reference["file"], reference)
    try:
        return _digest_file(folder / VALUE)[1]
    except OSError as error:
        raise LoadError(f"cannot read '{folder / VALUE}': {error.strerror}") from None


def _check_file(path: Path, reference: dict[str, Any]) -> None:
    try:
        size, digest = _digest_file(path)
    except OSError as error:
        raise LoadError(f"cannot read '{path}': {error.strerror}") from None
    if size != reference["size"]:
        raise LoadError(f"'{path}' has {size} bytes where its reference says {reference['size']}")
    if digest != reference["sha256"]:
        raise LoadError(f"'{path}' does not match the SHA-256 in its reference")


def parse_upstream(inputs: dict[str, Any], parameters: Sequence[str]) -> dict[str, Upstream]:
    """The members of a job's inputs that `parameters` name, read as stored upstream values.

    Each is `{"folder": ..., "serializer": ..., "module": ...}` or a list of
    such objects that also hold "partition". Raises ValueError with one line.
    """
    upstream: dict[str, Upstream] = {}
    for parameter in parameters:
        if parameter not in inputs:
            raise ValueError(f"the inputs have no member '{parameter}' to load an upstream value into")
        member = inputs[parameter]
        where = f"upstream member '{parameter}'"
        if isinstance(member, list):
            parts = []
            for index, part in enumerate(member):
                if not isinstance(part, dict) or "partition" not in part:
                    raise ValueError(f"{where} item {index}: expected an object with \"partition\" and \"folder\"")
                rest = {key: value for key, value in part.items() if key != "partition"}
                parts.append((part["partition"], _stored(rest, f"{where} item {index}")))
            upstream[parameter] = FanIn(tuple(parts))
        else:
            upstream[parameter] = _stored(member, where)
    return upstream


def _stored(entry: Any, where: str) -> Stored:
    if not isinstance(entry, dict) or not isinstance(entry.get("folder"), str):
        raise ValueError(f"{where}: expected an object with a \"folder\" text")
    unknown = sorted(set(entry) - {"folder", "serializer", "module"})
    if unknown:
        raise ValueError(f"{where}: unknown key '{unknown[0]}'")
    folder = PurePosixPath(entry["folder"])
    if folder.is_absolute() or ".." in folder.parts or "\0" in entry["folder"] or not folder.parts:
        raise ValueError(f"{where}: folder '{entry['folder']}' is not a relative path inside the run's output folder")
    for key in ("serializer", "module"):
        if entry.get(key) is not None and not isinstance(entry[key], str):
            raise ValueError(f"{where}: \"{key}\" must be a text or null")
    return Stored(folder, entry.get("serializer"), entry.get("module"))


def load_upstream(root: Path, upstream: dict[str, Upstream]) -> dict[str, Any]:
    """The upstream values loaded as keyword arguments; raises LoadError naming the parameter."""
    inside = _Root(root)
    loaded: dict[str, Any] = {}
    for parameter, source in upstream.items():
        try:
            if isinstance(source, FanIn):
                loaded[parameter] = [
                    {"partition": partition, "value": inside.load(stored)} for partition, stored in source.parts
                ]
            else:
                loaded[parameter] = inside.load(source)
        except LoadError as error:
            raise LoadError(f"parameter '{parameter}': {error}") from None
    return loaded


def needed_files(root: Path, upstream: dict[str, Upstream]) -> list[PurePosixPath]:
    """The files, relative to the root, that loading these upstream values reads.

    An executor that runs a job on another machine carries these along. A
    reference that cannot be read lists value.json alone; loading then fails
    there with the reason.
    """
    files: list[PurePosixPath] = []
    for source in upstream.values():
        for stored in [stored for _, stored in source.parts] if isinstance(source, FanIn) else [source]:
            files.append(stored.folder / VALUE)
            if stored.serializer is not None and stored.serializer != "json":
                try:
                    files.append(stored.folder / read_reference(root / stored.folder, stored.serializer)["file"])
                except LoadError:
                    pass
    return list(dict.fromkeys(files))


def upstream_files(root: Path, inputs: bytes | None, parameters: Sequence[str]) -> list[PurePosixPath]:
    """`needed_files` for a job's inputs as the worker receives them; raises ValueError for malformed inputs."""
    decoded = json.loads(inputs) if inputs is not None else {}
    if not isinstance(decoded, dict):
        raise ValueError("the inputs must be a JSON object of keyword arguments")
    return needed_files(root, parse_upstream(decoded, parameters))


class _Root:
    """The run's output folder; values are read only from inside it."""

    def __init__(self, root: Path) -> None:
        self.root = root
        self.resolved = root.resolve()

    def inside(self, path: Path) -> Path:
        # Resolving follows links, so a link out of the root is caught too.
        resolved = path.resolve()
        if not resolved.is_relative_to(self.resolved):
            raise LoadError(f"'{path}' lies outside the run's output folder '{self.root}'")
        return resolved

    def load(self, stored: Stored) -> Any:
        serializer = _serializer(stored)
        if serializer.name == "json":
            # Resolving the file's path checks every folder on the way to it.
            path = self.inside(self.root / stored.folder / VALUE)
        else:
            folder = self.inside(self.root / stored.folder)
            reference = read_reference(folder, serializer.name)
            path = self.inside(folder / reference["file"])
            _check_file(path, reference)
        try:
            return serializer.load(path)
        except Exception as error:
            raise LoadError(f"cannot load '{path}' with '{serializer.name}': {type(error).__qualname__}: {error}") from None


def _serializer(stored: Stored) -> Serializer:
    found = find(stored.serializer)
    if found is None and stored.module is not None:
        # An import that fails leaves the serializer unknown, which is the error to report.
        try:
            importlib.import_module(stored.module)
        except Exception:
            pass
        found = find(stored.serializer)
    if found is not None:
        return found
    raise LoadError(
        f"'{stored.folder}' was stored with the serializer '{stored.serializer}', which is not registered here; "
        f"known serializers: {', '.join(names())}"
    )


def entries(upstream: Iterable[tuple[str, Upstream]]) -> dict[str, Any]:
    """The JSON form of upstream values, as a job's inputs carry them."""
    return {
        parameter: [{"partition": partition, **stored.entry()} for partition, stored in source.parts]
        if isinstance(source, FanIn)
        else source.entry()
        for parameter, source in upstream
    }
