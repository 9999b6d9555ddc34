"""The commands' argument parser: errors as one line on standard error and status 2."""

from __future__ import annotations

import argparse
from collections.abc import Callable
from typing import NoReturn

from sorva._cli import USAGE, fail


class ArgumentParser(argparse.ArgumentParser):
    """An argument parser whose errors are one line on standard error and status 2.

    Orchestrators read standard error line by line, so the usage block that
    argparse would print first is left out; `--help` still shows it.
    """

    def error(self, message: str) -> NoReturn:
        fail(self.prog, message, USAGE)


def whole_number(least: int) -> Callable[[str], int]:
    """An option type for whole numbers of at least `least`, with a one-line error otherwise."""

    def parse(text: str) -> int:
        try:
            number = int(text)
        except ValueError:
            number = least - 1
        if number < least:
            raise argparse.ArgumentTypeError(f"expected a whole number of at least {least}, got '{text}'")
        return number

    return parse
