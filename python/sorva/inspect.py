"""`python -m sorva.inspect MODULE [MODULE ...]`: prints the assets found in the modules as JSON."""

from __future__ import annotations

import os
import sys
from collections.abc import Sequence

from sorva._cli import FAILED, ArgumentParser, exception_text, fail, import_from_cwd

PROG = "python -m sorva.inspect"


def _inspect_with_stdout_on_stderr(modules: Sequence[str]) -> str:
    """Runs the inspection while file descriptor 1 points at standard error.

    Importing the modules runs their top-level code, which may print;
    standard output must carry nothing but the JSON text.
    """
    from sorva._sorva import inspect_modules

    sys.stdout.flush()
    saved = os.dup(1)
    os.dup2(2, 1)
    try:
        return inspect_modules(modules)
    finally:
        sys.stdout.flush()
        os.dup2(saved, 1)
        os.close(saved)


def main(argv: Sequence[str] | None = None) -> None:
    parser = ArgumentParser(
        prog=PROG,
        description=(
            "Import the modules and print one JSON object describing every asset "
            "found in them. Modules that fail to import are skipped with a line "
            "on standard error."
        ),
    )
    parser.add_argument("modules", nargs="+", metavar="MODULE", help="dotted module name")
    args = parser.parse_args(argv)
    import_from_cwd()
    try:
        text = _inspect_with_stdout_on_stderr(args.modules)
    except Exception as error:
        fail(PROG, exception_text(error), FAILED)
    out = sys.stdout.buffer
    out.write(text.encode("utf-8") + b"\n")
    out.flush()


if __name__ == "__main__":
    main()
