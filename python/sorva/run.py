"""`python -m sorva.run MODULE [MODULE ...]`: runs the assets of the modules, only what changed since the last run.

The runner drives sorva exactly as an outside orchestrator would. This
module reads the command line (`_runargs`) and starts the inspection of the
modules (`_discover`); the run itself (`_run`) is loaded meanwhile.
"""

from __future__ import annotations

from sorva._stop import Stopper

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
        from sorva._discover import Inspection
        from sorva._runargs import parse

        args = parse(argv)
        # The workers and the inspection run in process groups of their own; a
        # stop reaches them through the runner, which reports what it stopped.
        inspection = Inspection(args.modules, stopper)
        # Loaded while the modules are inspected in their own process: both take
        # about as long, and the run starts once both are done.
        from sorva._run import run

        run(args, stopper, inspection, argv)
    except SystemExit as end:
        raise SystemExit(stopper.final_status(end.code)) from None


if __name__ == "__main__":
    main()
