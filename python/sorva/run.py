"""`python -m sorva.run MODULE [MODULE ...]`: runs the assets of the modules, only what changed since the last run.

The runner drives sorva exactly as an outside orchestrator would. This
module reads the command line (`_runner.options`) and starts the inspection of
the modules (`_runner.discover`); the run itself (`_runner.run`) is loaded
meanwhile.
"""

from __future__ import annotations

from sorva._runner.stop import Stopper

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Sequence
    from typing import NoReturn


def main(argv: Sequence[str] | None = None) -> NoReturn:
    # SIGINT and SIGTERM are caught before the rest of the runner loads: whenever
    # one comes, the runner stops as it does once running, and exits 130 or 143.
    stopper = Stopper()
    stopper.install()
    try:
        from sorva._runner.discover import Inspection
        from sorva._runner.options import parse

        options = parse(argv)
        # The workers and the inspection run in process groups of their own; a
        # stop reaches them through the runner, which reports what it stopped.
        inspection = Inspection(options.modules, stopper)
        # Loaded while the modules are inspected in their own process: both take
        # about as long, and the run starts once both are done.
        from sorva._runner.run import run

        run(options, stopper, inspection)
    except SystemExit as end:
        raise SystemExit(stopper.final_status(end.code)) from None


if __name__ == "__main__":
    main()
