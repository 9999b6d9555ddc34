"""`python -m sorva.run MODULE [MODULE ...]`: runs the assets of the modules, only what changed since the last run.

The runner drives sorva exactly as an outside orchestrator would. This
module reads the command line (`_runner.options`) and starts the inspection of the
modules (`_runner.discover`); the run itself (`_runner.run`) is loaded meanwhile.
"""

from __future__ import annotations

from collections.abc import Sequence

from sorva._runner.discover import Inspection
from sorva._runner.options import parse
from sorva._runner.stop import Stopper


def main(argv: Sequence[str] | None = None) -> None:
    options = parse(argv)
    stopper = Stopper()
    stopper.install()
    # The workers and the inspection run in process groups of their own; a
    # stop reaches them through the runner, which reports what it stopped.
    inspection = Inspection(options.modules, stopper)
    # Loaded while the modules are inspected in their own process: both take
    # about as long, and the run starts once both are done.
    from sorva._runner.run import run

    run(options, stopper, inspection)


if __name__ == "__main__":
    main()
