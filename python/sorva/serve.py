"""`python -m sorva.serve`: a read-only web view of a run history, live while a run goes on."""

from __future__ import annotations

import os
import socket
from collections.abc import Callable, Sequence
from pathlib import Path

from sorva._cli import INTERRUPTED, USAGE, argument_parser, fail, import_from_cwd, whole_number
from sorva._history import History, HistoryError, open_history
from sorva._runner.discover import DiscoveryError, Inspection
from sorva._runner.plan import Asset, PlanError
from sorva._historydb import UrlError, check, shown
from sorva._runner.pyproject import default_history, default_out

PROG = "python -m sorva.serve"
LOOPBACK = ("127.0.0.1", "localhost", "::1")


def main(argv: Sequence[str] | None = None) -> None:
    parser = argument_parser(
        PROG,
        (
            "Serve a read-only web view of the run history of an output folder: the runs, each run "
            "with its asset graph, jobs and timeline (updated while it runs), each asset with its "
            "partitions, and each job's files. It starts nothing and changes nothing. Listening on "
            "an address other than this machine's own needs a token, given once as ?token=TOKEN."
        ),
    )
    parser.add_argument("modules", nargs="*", metavar="MODULE",
                        help="modules of the assets: the graph then has its inputs and each asset all its partitions")
    parser.add_argument("--out", metavar="DIR", help="the runner's output folder (default: out in pyproject.toml, or ./sorva-out)")
    parser.add_argument(
        "--history", metavar="URL",
        help="the run history: sqlite:///PATH or postgresql://... (default: SORVA_HISTORY, else history in "
        "pyproject.toml, else the output folder's sorva.db); without --out, a shared history's runs of every folder",
    )
    parser.add_argument("--host", default="127.0.0.1", help="the address to listen on (default: 127.0.0.1)")
    parser.add_argument("--port", type=whole_number(0), default=8765, help="the port to listen on; 0 picks a free one (default: 8765)")
    parser.add_argument("--token", help="the token every request must carry (default: SORVA_TOKEN); needed off 127.0.0.1")
    args = parser.parse_args(argv)
    if args.port > 65535:
        parser.error(f"argument --port: expected a port number up to 65535, got '{args.port}'")
    try:
        import uvicorn  # type: ignore[import]  # it ships no type information

        from sorva._reporting.web import make_app
    except ImportError as error:
        fail(PROG, f"needs {error.name}: install Debian's python3-starlette python3-uvicorn python3-jinja2 "
             "(or pip install 'sorva[serve]')", USAGE)
    token = args.token or os.environ.get("SORVA_TOKEN") or None
    if token is None and args.host not in LOOPBACK:
        fail(PROG, f"listening on {args.host} needs a token: give --token or set SORVA_TOKEN", USAGE)
    url = default_history(PROG, args.history)
    try:
        url and check(url)
    except UrlError as error:
        fail(PROG, f"argument --history: {error}", USAGE)
    out = Path(args.out or default_out(PROG))
    # A shared history without --out: every folder's runs, each served from the folder it records.
    opened = history_of(out if args.out or url is None or url.startswith("sqlite:") else None, url)
    try:
        opened().close()
    except HistoryError as error:
        fail(PROG, str(error), USAGE)
    try:
        assets = _assets(args.modules)
    except KeyboardInterrupt:
        fail(PROG, "interrupted", INTERRUPTED)
    listening = _listen(args.host, args.port)
    host, port = listening.getsockname()[:2]
    where = f"[{host}]" if ":" in host else host
    print(f"{PROG}: serving the history of {shown(url) if url else out} at http://{where}:{port}/", flush=True)
    config = uvicorn.Config(make_app(opened, out, assets, token), log_level="warning", access_log=False, lifespan="off")
    # uvicorn stops on Ctrl-C and SIGTERM: it answers the requests under way and closes the socket.
    uvicorn.Server(config).run(sockets=[listening])


def history_of(out: Path | None, url: str | None) -> Callable[[], History]:
    """What opens the served history read-only, once per request: the one place that says which it is.

    With a URL, the runs of `out` in that history, or every folder's for None.
    """

    def opened() -> History:
        history = open_history(out, url)
        if history is None:
            where = shown(url) if url else f"'{out}' (it is made by python -m sorva.run --out {out})"
            raise HistoryError(f"no run history in {where}")
        return history

    return opened


def _assets(modules: Sequence[str]) -> list[Asset]:
    if not modules:
        return []
    import_from_cwd()
    try:
        return Inspection(modules).assets()
    except DiscoveryError as error:
        fail(PROG, str(error), USAGE)
    except PlanError as error:
        fail(PROG, error.problems[0], USAGE)


def _listen(host: str, port: int) -> socket.socket:
    try:
        family = socket.getaddrinfo(host, port, type=socket.SOCK_STREAM)[0][0]
        listening = socket.socket(family, socket.SOCK_STREAM)
        listening.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listening.bind((host, port))
        listening.listen(128)
    except OSError as error:
        fail(PROG, f"cannot listen on {host} port {port}: {error.strerror or error}", USAGE)
    return listening


if __name__ == "__main__":
    main()
