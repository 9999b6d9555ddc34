"""The outcome records of result.json, written byte for byte as the native module writes them.

The worker writes a record itself when it runs an asset that the native
module cannot (a value stored through a serializer, upstream values loaded
from files); readers must not be able to tell which of the two wrote it.
"""

from __future__ import annotations

import json
import os

from sorva._jobfiles.inputfiles import FILE as INPUT_FILES
from sorva._jobfiles.inputfiles import read_all

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

RECORD = "result.json"  # the outcome record of a job
VALUE = "value.json"  # its value, or the reference to the file that holds it
# What a job leaves that says how it went: a job that records nothing must not leave an earlier one's.
LEFT = (RECORD, VALUE, INPUT_FILES)


def remove_left(folder: str | os.PathLike[str]) -> None:
    """Removes the record and value an earlier job left in the folder; one that cannot be removed is left."""
    for name in LEFT:
        try:
            os.unlink(os.path.join(folder, name))
        except OSError:
            pass  # absent, or beyond repair


def read(folder: str | os.PathLike[str]) -> Any:
    """The JSON value in a job folder's record file; raises OSError, or ValueError when it is not JSON."""
    path = os.path.join(folder, RECORD)
    descriptor = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
    try:
        data = read_all(descriptor)
    except OSError as error:  # a folder in its place: named as opening a file names it
        raise type(error)(error.errno, error.strerror, path) from None
    finally:
        os.close(descriptor)
    return json.loads(data)


def _text(record: dict[str, object]) -> str:
    # Sorted keys, no blanks, raw UTF-8, and the native writer's escapes:
    # json.dumps escapes exactly the quote, the backslash and control characters.
    return json.dumps(record, sort_keys=True, separators=(",", ":"), ensure_ascii=False)


def success(module: str, function: str, value_path: str, result_type: str, signature: str) -> str:
    """The success record; raises UnicodeEncodeError for a text holding a lone surrogate, as the module does."""
    for text in (value_path, signature, result_type):
        text.encode("utf-8")
    return _text(
        {
            "artifact_format": "json",
            "function_name": function,
            "module_path": module,
            "ok": True,
            "result_type": result_type,
            "signature": signature,
            "value_path": value_path,
        }
    )


def failure(error: str, error_type: str) -> str:
    """The failure record of an error text and its type's name."""
    return _text({"error": error, "error_type": error_type, "ok": False})


def relocated(record: bytes, old: str, new: str | os.PathLike[str]) -> bytes:
    """A record as its job would have written it straight into the folder `new` rather than `old`.

    A success record names where its value was written; only that member
    changes, the rest stays the job's own bytes.
    """
    try:
        path = json.loads(record).get("value_path")
    except (ValueError, AttributeError):
        return record
    if not isinstance(path, str) or not path.startswith(old + "/"):
        return record
    moved = os.path.join(new, path[len(old) + 1 :])
    return record.replace(_member("value_path", path), _member("value_path", moved), 1)


def _member(name: str, text: str) -> bytes:
    return f'"{name}":{json.dumps(text, ensure_ascii=False)}'.encode()
