"""`python -m sorva.worker MODULE FUNCTION OUTPUT_DIR`: materialises one asset into OUTPUT_DIR.

It reads the command line and runs the job (`sorva._jobfiles.job`). One
worker process runs per job, so this module is kept cheap to import: the
usual command lines are read by hand, and argparse is loaded only for
`--help`, unusual spellings and errors.
"""

from __future__ import annotations

import os
import sys

from sorva._cli import INTERRUPTED, USAGE, argument_parser, fail
from sorva._jobfiles import records
from sorva._jobfiles.job import PROG, Refused, run_job

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Sequence
    from typing import Any

VALUE_OPTIONS = ("--inputs", "--inputs-file", "--root", "--upstream-json")


def _read_inputs_file(path: str, output_dir: str) -> str:
    try:
        if path == "-":
            if sys.stdin is None:
                raise Refused("cannot read inputs file '-': standard input is closed")
            return sys.stdin.buffer.read().decode("utf-8")
        with open(path, encoding="utf-8") as file:
            return file.read()
    except OSError as error:
        problem = f"cannot read inputs file '{path}': {error.strerror}"
    except UnicodeDecodeError as error:
        problem = f"inputs file '{path}' is not UTF-8 text: {error.reason}"
    except Refused as refusal:
        problem = str(refusal)
    # The earlier run's record must not pass for this one's.
    records.remove_left(os.path.abspath(output_dir))
    fail(PROG, problem, USAGE)


def _json_names(text: str | None, output_dir: str) -> list[str]:
    """The parameter names in the text of `--upstream-json`."""
    if text is None:
        return []
    import json

    try:
        names = json.loads(text)
    except (ValueError, RecursionError):
        names = None
    if isinstance(names, list) and all(isinstance(name, str) for name in names):
        return names
    # The earlier run's record must not pass for this one's.
    records.remove_left(os.path.abspath(output_dir))
    fail(PROG, "argument --upstream-json: expected a JSON array of texts", USAGE)


def _quick_arguments(argv: Sequence[str]) -> tuple[tuple[str, str, str], dict[str, Any]] | None:
    """The positionals and options of a usual command line; None for any other."""
    if len(argv) < 3 or any(arg.startswith("-") for arg in argv[:3]):
        return None
    positional, rest = (argv[0], argv[1], argv[2]), list(argv[3:])
    if len(rest) == 1 and "=" in rest[0]:
        rest = rest[0].split("=", 1)
    options: dict[str, Any] = {}
    while rest:
        option = rest.pop(0)
        key = option[2:].replace("-", "_")
        if key in options:
            return None
        if option == "--upstream":
            names = []
            while rest and not rest[0].startswith("-"):
                names.append(rest.pop(0))
            if not names:
                return None
            options[key] = names
        elif option in VALUE_OPTIONS and rest and (rest[0] == "-" or not rest[0].startswith("-")):
            options[key] = rest.pop(0)
        else:
            return None
    if "inputs" in options and "inputs_file" in options:
        return None
    return positional, options


def _parsed_arguments(argv: Sequence[str]) -> tuple[tuple[str, str, str], dict[str, Any]]:
    parser = argument_parser(
        PROG,
        (
            "Call one asset and write value.json and result.json into OUTPUT_DIR. "
            "Exit status 0 when the asset succeeded, 1 when it failed (result.json "
            "holds the error and its traceback is printed), 2 for a wrong invocation "
            "(no record is left)."
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
    parser.add_argument(
        "--root",
        metavar="DIR",
        help="the run's output folder: upstream folders are relative to it, and values are loaded only from inside it",
    )
    parser.add_argument(
        "--upstream",
        nargs="+",
        action="extend",
        metavar="PARAM",
        help="members of the inputs that say where a stored upstream value lies; the value is loaded and passed instead",
    )
    parser.add_argument(
        "--upstream-json",
        metavar="JSON",
        help="the same as --upstream, as a JSON array of texts: for names that a command line cannot carry",
    )
    args = parser.parse_args(argv)
    options = {key: value for key, value in vars(args).items() if value is not None}
    return (args.module, args.function, args.output_dir), options


def main(argv: Sequence[str] | None = None) -> None:
    argv = sys.argv[1:] if argv is None else list(argv)
    try:
        (module, function, output_dir), options = _quick_arguments(argv) or _parsed_arguments(argv)
        inputs = options.get("inputs")
        if options.get("inputs_file") is not None:
            inputs = _read_inputs_file(options["inputs_file"], output_dir)
        upstream = [*options.get("upstream", ()), *_json_names(options.get("upstream_json"), output_dir)]
        status = run_job(module, function, output_dir, inputs, options.get("root"), upstream)
    except KeyboardInterrupt:
        status = INTERRUPTED
    raise SystemExit(status)


if __name__ == "__main__":
    main()
