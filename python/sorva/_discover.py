"""The runner's view of the modules: `python -m sorva.inspect` run in a process of its own, read into assets."""

from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
import tempfile
from collections.abc import Sequence
from pathlib import Path
from typing import Any

from sorva._plan import Asset, read_assets
from sorva._stop import Stopper

INSPECT_ERROR = "python -m sorva.inspect: error: "


class DiscoveryError(Exception):
    """The modules cannot be inspected; the message is one line for the user."""


def discover(modules: Sequence[str], stopper: Stopper) -> list[Asset]:
    """The assets of the modules; raises DiscoveryError, or SystemExit when a signal stopped the inspection.

    User code runs during the inspection and may print, or end the process;
    the inspection writes its output to a file of its own so that nothing
    mixes with it. A module that fails to import is an error here: a run
    that silently leaves out a listed module looks like a run of it.
    """
    with tempfile.TemporaryDirectory(prefix="sorva-inspect-") as folder:
        output = os.path.join(folder, "inspection.json")
        command = [sys.executable, "-m", "sorva.inspect", "--strict", "--output", output, "--", *modules]
        process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stderr=subprocess.PIPE, start_new_session=True)
        def kill() -> None:
            _kill_group(process.pid)

        stopper.on_stop(kill)
        _, errors = process.communicate()
        stopper.forget(kill)
        if stopper.signum is not None:
            print(f"stopped by {stopper.name} before any job started", file=sys.stderr)
            raise SystemExit(stopper.exit_status)
        # What the modules printed passes on; an error of the inspection becomes the runner's own.
        lines = errors.decode("utf-8", "replace").splitlines()
        failure = lines.pop() if process.returncode != 0 and lines and lines[-1].startswith(INSPECT_ERROR) else None
        for line in lines:
            print(line, file=sys.stderr)
        if failure is not None:
            raise DiscoveryError(failure[len(INSPECT_ERROR) :])
        if process.returncode != 0:
            raise DiscoveryError(f"inspecting the modules failed ({how_it_ended(process.returncode)})")
        try:
            with open(output, encoding="utf-8") as file:
                inspection: Any = json.load(file)
        except FileNotFoundError:
            raise DiscoveryError(
                "the inspection ended without writing its output (a module may have ended the process)"
            ) from None
        except ValueError as error:
            raise DiscoveryError(f"the inspection output cannot be read: {error}") from None
    # The folders a worker imports modules from: its working folder first, as `python -m` has it.
    roots = [str(Path(root or ".").resolve()) for root in (os.getcwd(), *sys.path)]
    return read_assets(inspection, roots)


def how_it_ended(status: int) -> str:
    """A process's return code in words."""
    if status < 0:
        try:
            return f"killed by {signal.Signals(-status).name}"
        except ValueError:
            return f"killed by signal {-status}"
    return f"exit status {status}"


def _kill_group(pid: int) -> None:
    try:
        os.killpg(pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass  # already ended
