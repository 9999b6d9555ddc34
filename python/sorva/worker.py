"""`python -m sorva.worker MODULE FUNCTION OUTPUT_DIR`: materialises one asset into OUTPUT_DIR."""

from __future__ import annotations

import sys
from collections.abc import Sequence

from sorva._cli import USAGE, ArgumentParser, exception_text, fail, import_from_cwd

PROG = "python -m sorva.worker"


def _read_inputs_file(path: str) -> str:
    try:
        if path == "-":
            return sys.stdin.buffer.read().decode("utf-8")
        with open(path, encoding="utf-8") as file:
            return file.read()
    except OSError as error:
        fail(PROG, f"cannot read inputs file '{path}': {error.strerror}", USAGE)
    except UnicodeDecodeError as error:
        fail(PROG, f"inputs file '{path}' is not UTF-8 text: {error.reason}", USAGE)


def main(argv: Sequence[str] | None = None) -> None:
    parser = ArgumentParser(
        prog=PROG,
        description=(
            "Call one asset and write value.json and result.json into OUTPUT_DIR. "
            "Exit status 0 when the asset succeeded, 1 when it failed (result.json "
            "holds the error), 2 for a wrong invocation."
        ),
    )
    parser.add_argument("module", metavar="MODULE", help="dotted name of the module holding the asset")
    parser.add_argument("function", metavar="FUNCTION", help="name of the asset in that module")
    parser.add_argument("output_dir", metavar="OUTPUT_DIR", help="folder for the artefacts, created if missing")
    source = parser.add_mutually_exclusive_group()
    source.add_argument(
        "--inputs", metavar="JSON", help="JSON object whose members are passed as keyword arguments"
    )
    source.add_argument(
        "--inputs-file", metavar="PATH", help="read that JSON object from a file, or from standard input for '-'"
    )
    args = parser.parse_args(argv)
    inputs = args.inputs if args.inputs_file is None else _read_inputs_file(args.inputs_file)
    import_from_cwd()

    from sorva._sorva import materialize_asset

    # An asset failure leaves as SystemExit(1) after result.json was written;
    # it passes through untouched. Anything else means nothing was recorded.
    try:
        materialize_asset(args.module, args.function, args.output_dir, inputs)
    except Exception as error:
        fail(PROG, exception_text(error), USAGE)


if __name__ == "__main__":
    main()
