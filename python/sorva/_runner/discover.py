"""The runner's view of the modules: `python -m sorva.inspect` run in a process of its own, read into assets."""

from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
import tempfile
from collections.abc import Iterator, Sequence
from pathlib import Path
from typing import Any, TextIO

from sorva._cli import how_it_ended
from sorva._executors.groups import signal_group
from sorva._runner.stop import Stopper

TYPE_CHECKING = False
if TYPE_CHECKING:
    from sorva._runner.plan import Asset

INSPECT_ERROR = "python -m sorva.inspect: error: "


class DiscoveryError(Exception):
    """The modules cannot be inspected; the message is one line for the user."""


class Inspection:
    """`python -m sorva.inspect --strict` started on the modules, in a process of its own; `assets` reads its finding.

    User code runs during the inspection and may print, or end the process;
    the inspection writes its output to a file of its own so that nothing
    mixes with it. A module that fails to import is an error here: a run
    that silently leaves out a listed module looks like a run of it.
    """

    def __init__(self, modules: Sequence[str], stopper: Stopper | None = None) -> None:
        self.stopper = stopper
        self.folder = tempfile.TemporaryDirectory(prefix="sorva-inspect-")
        self.output = os.path.join(self.folder.name, "inspection.json")
        command = [sys.executable, "-m", "sorva.inspect", "--strict", "--output", self.output, "--", *modules]
        try:
            self.process = subprocess.Popen(
                command, stdin=subprocess.DEVNULL, stderr=subprocess.PIPE, start_new_session=True
            )
        except BaseException:
            self.folder.cleanup()
            raise
        if stopper is not None:
            stopper.on_stop(self._kill)

    def assets(self) -> list[Asset]:
        """The assets of the modules, once the inspection has ended; raises DiscoveryError or PlanError,
        or SystemExit when a signal caught by the stopper stopped the inspection."""
        with self.folder:
            try:
                _, errors = self.process.communicate()
            except BaseException:
                # Stopped by an exception (a Ctrl-C without a stopper): the inspection ends with us.
                self._kill()
                self.process.wait()
                raise
            if self.stopper is not None:
                self.stopper.forget(self._kill)
                if self.stopper.signum is not None:
                    print(f"stopped by {self.stopper.name} before any job started", file=sys.stderr)
                    raise SystemExit(self.stopper.exit_status)
            inspection = self._read(errors)
        # Only what reads the finding needs the planner, which a runner loads while the inspection runs.
        from sorva._runner.plan import read_assets

        # The folders a worker imports modules from: its working folder first, as `python -m` has it.
        roots = [str(Path(root or ".").resolve()) for root in (os.getcwd(), *sys.path)]
        return read_assets(inspection, roots)

    def _read(self, errors: bytes) -> Any:
        # What the modules printed passes on; an error of the inspection becomes the runner's own.
        lines = errors.decode("utf-8", "replace").splitlines()
        failure = lines.pop() if self.process.returncode != 0 and lines and lines[-1].startswith(INSPECT_ERROR) else None
        for line in lines:
            print(line, file=sys.stderr)
        if failure is not None:
            raise DiscoveryError(failure[len(INSPECT_ERROR) :])
        if self.process.returncode != 0:
            raise DiscoveryError(f"inspecting the modules failed ({how_it_ended(self.process.returncode)})")
        try:
            with open(self.output, encoding="utf-8") as file:
                return {"assets": list(_condensed(_records(file)))}
        except (OSError, ValueError) as error:
            raise DiscoveryError(f"the inspection output cannot be read: {error}") from None

    def _kill(self) -> None:
        signal_group(self.process.pid, signal.SIGKILL)


# Characters read at a time: a record holds its module's source, so the
# output of a module of thousands of assets is hundreds of megabytes, of
# which only a record or so is held at once.
_CHUNK = 1 << 20
_OPEN = '{"assets":['
_decoder = json.JSONDecoder()


def _records(file: TextIO) -> Iterator[Any]:
    """The records of the inspection output, `{"assets":[...]}` as the inspect command writes it, one at a time.

    Raises ValueError where the text is not that.
    """
    text, at, ended = "", 0, False

    def more(ahead: int) -> None:
        # Reading as much as is held at least: a record longer than a chunk is parsed again only a few times.
        nonlocal text, at, ended
        while not ended and len(text) - at < ahead:
            chunk = file.read(max(_CHUNK, len(text) - at))
            text, at, ended = text[at:] + chunk, 0, not chunk

    more(len(_OPEN))
    if not text.startswith(_OPEN):
        raise ValueError(f"it does not start with {_OPEN}")
    at += len(_OPEN)
    while True:
        more(1)
        if text.startswith("]", at):
            more(len(text) + 1)  # all that is left, which must be the end
            if text[at:] != "]}":
                raise ValueError("it does not end with ]}")
            return
        try:
            record, at = _decoder.raw_decode(text, at)
        except json.JSONDecodeError:
            if ended:
                raise
            more(len(text) - at + 1)
            continue
        yield record
        more(1)
        if text.startswith(",", at):
            at += 1
        elif not text.startswith("]", at):
            raise ValueError(f"a record is followed by {text[at:at + 10]!r}")


def _condensed(records: Iterator[Any]) -> Iterator[Any]:
    """The records with each module's source held once, however many of its assets carry a copy."""
    sources: dict[str, str] = {}
    for record in records:
        if isinstance(record, dict) and isinstance(record.get("module_source"), str):
            record["module_source"] = sources.setdefault(record["module_source"], record["module_source"])
        yield record
