"""The outcome records of result.json, written byte for byte as the native module writes them.

The worker writes a record itself when it runs an asset that the native
module cannot (a value stored through a serializer, upstream values loaded
from files); readers must not be able to tell which of the two wrote it.
"""

from __future__ import annotations

import json


def exception_text(error: BaseException) -> str:
    """The exception's type and message, as the native module forms it for a record."""
    try:
        message = str(error)
    except Exception:
        message = "<exception str() failed>"
    # A lone surrogate cannot be written as UTF-8; each comes out as three U+FFFD.
    message = message.encode("utf-8", "surrogatepass").decode("utf-8", "replace")
    return f"{type(error).__qualname__}: {message}"


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
