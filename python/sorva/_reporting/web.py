"""The web view of a run history (`python -m sorva.serve`): runs, one run live, one asset, each job's files.

It only reads: the history is opened read-only for each request and job
files are read, never written. Pages reuse the report's pieces (the graph
with outcomes, the job table, the timeline), escaped as the report escapes
them; templates add the frame with Jinja2's autoescaping.
"""

from __future__ import annotations

import errno
import hmac
import itertools
import os
import socket
import sqlite3
import stat
from collections.abc import Callable, Iterator, Sequence
from pathlib import Path
from typing import Any
from urllib.parse import quote, unquote, urlencode

import jinja2
from markupsafe import Markup
from starlette.applications import Starlette
from starlette.requests import Request
from starlette.responses import (
    HTMLResponse, JSONResponse, PlainTextResponse, RedirectResponse, Response, StreamingResponse,
)
from starlette.routing import Route
from starlette.types import ASGIApp, Receive, Scope, Send

from sorva._history import History, HistoryError, JobRecord, Run, canonical, recorded_partition_text
from sorva._reporting.dot import GraphvizError, dot_text, render_svg, svg_element
from sorva._reporting.graph import Graph, JobRow, Node, build, with_outcomes
from sorva._reporting.page import _STYLE, _badge, _badges, _counts, _jobs_section, timeline_section, when
from sorva._reporting.runpage import job_rows, run_info

TYPE_CHECKING = False
if TYPE_CHECKING:
    from sorva._runner.plan import Asset

# A query string longer than this is refused: no page takes one.
MAX_QUERY = 4096
RUNS_SHOWN = 200
COOKIE = "sorva_token"
_POLICY = "default-src 'none'; script-src 'self'; connect-src 'self'; style-src 'unsafe-inline'; img-src data:"
_HEADERS = {"Content-Security-Policy": _POLICY, "X-Content-Type-Options": "nosniff", "Referrer-Policy": "no-referrer"}
_TEMPLATES = Path(__file__).with_name("templates")
# What a job file is sent as; any other is a download.
# (Starlette adds "; charset=utf-8" to a text type.)
_TYPES = {".json": "application/json", ".log": "text/plain", ".txt": "text/plain", ".csv": "text/plain"}


class Refused(Exception):
    def __init__(self, status: int, reason: str) -> None:
        super().__init__(reason)
        self.status = status


def _duration(run: Run) -> str:
    started, ended = when(run.started), when(run.ended)
    return f"{(ended - started).total_seconds():.2f} s" if started and ended else ""


class View:
    """The pages over one history; `open_history` opens it for one request."""

    def __init__(self, open_history: Callable[[], History], out: Path, assets: Sequence[Asset]) -> None:
        self.open_history = open_history
        self.out = out
        self.assets = list(assets)
        self.environment = jinja2.Environment(loader=jinja2.FileSystemLoader(_TEMPLATES), autoescape=True)
        self.environment.globals.update(badge=lambda o, t=None: Markup(_badge(o, t or o)), quote=quote)

    def page(self, name: str, **values: Any) -> HTMLResponse:
        text = self.environment.get_template(name).render(style=Markup(_STYLE), **values)
        return HTMLResponse(text, headers=_HEADERS)

    def history(self) -> History:
        try:
            return self.open_history()
        except HistoryError as error:
            raise Refused(503, str(error)) from None

    # Pages.

    def runs(self, request: Request) -> Response:
        outcome, asset = request.query_params.get("outcome", ""), request.query_params.get("asset", "")
        history = self.history()
        try:
            runs = [run for run in history.runs(RUNS_SHOWN) if not outcome or run.outcome == outcome]
            if asset:
                runs = [run for run in runs if any(asset in (j.asset, j.label) for j in history.jobs(run.id))]
        finally:
            history.close()
        shown = [(run, Markup(_badges(_run_counts(run))), _duration(run)) for run in runs]
        outcomes = ("running", "succeeded", "failed", "interrupted", "abandoned")
        return self.page("runs.html", runs=shown, outcome=outcome, asset=asset, outcomes=outcomes)

    def run(self, request: Request) -> Response:
        run, _, pieces = self._run_pieces(request.path_params["run_id"])
        return self.page("run.html", run=run, seen=_state(run), **pieces)

    def live(self, request: Request) -> Response:
        """The run's pieces as JSON, for a page that polls: only its state when that is the `seen` one."""
        history = self.history()
        try:
            run = self._run(history, request.path_params["run_id"])
        finally:
            history.close()
        state = _state(run)
        if request.query_params.get("seen") == state:
            return JSONResponse({"outcome": run.outcome, "seen": state}, headers=_HEADERS)
        run, _, pieces = self._run_pieces(run.id)
        return JSONResponse({"outcome": run.outcome, "seen": _state(run), **pieces}, headers=_HEADERS)

    def asset(self, request: Request) -> Response:
        ref = request.query_params.get("ref", "")
        history = self.history()
        try:
            runs = history.runs(RUNS_SHOWN)
            made = [(record, run) for run in runs for record in history.jobs(run.id) if record.asset == ref]
            latest = {partition: record for (asset, partition), record in history.latest().items() if asset == ref}
        finally:
            history.close()
        declared = next((asset for asset in self.assets if asset.ref == ref), None)
        if declared is None and not made and not latest:
            raise Refused(404, f"no asset {ref} in the history")
        label = declared.label if declared else next(iter([*(job for job, _ in made), *latest.values()])).label
        return self.page("asset.html", ref=ref, label=label, made=made, grid=_grid(declared, latest), text=recorded_partition_text)

    def file(self, request: Request) -> Response:
        path = request.path_params["path"]
        parts = path.split("/")
        if any(part in ("", ".", "..") or "\0" in part for part in parts):
            raise Refused(400, "not a file of a job")
        folder, name = "/".join(parts[:-1]), parts[-1]
        history = self.history()
        try:
            run = self._run(history, request.path_params["run_id"])
            if not any(record.folder == folder for record in history.jobs(run.id)):
                raise Refused(404, "no such job in this run")
        finally:
            history.close()
        if run.host is not None and run.host != socket.gethostname():
            raise Refused(404, f"the files of this run are on {run.host}")
        return _job_file(self._out(run), folder, name)

    # Pieces.

    def _out(self, run: Run) -> Path:
        """The output folder a run wrote, as far as this machine can tell."""
        return Path(run.out) if run.out and run.host in (None, socket.gethostname()) else self.out

    def _run(self, history: History, run_id: int) -> Run:
        run = history.run(run_id)
        if run is None:
            raise Refused(404, f"no run {run_id}")
        return run

    def _run_pieces(self, run_id: int) -> tuple[Run, list[JobRow], dict[str, str]]:
        history = self.history()
        try:
            run = self._run(history, run_id)
            rows = job_rows(history, run.id, self._out(run), self.assets)
        finally:
            history.close()
        graph = with_outcomes(_graph(self.assets, rows), rows)
        try:
            svg = f'<div class="graph" id="graph-box">{svg_element(render_svg(dot_text(graph, links=True)))}</div>'
        except GraphvizError as error:
            svg = f'<p class="none" id="graph-box">No graph: {Markup.escape(str(error))}.</p>'
        pieces = {
            "info": Markup.escape(" \u00b7 ".join(run_info(run).details)),
            "summary": f'{len(rows)} job{"" if len(rows) == 1 else "s"}: {_badges(_counts(rows))}',
            "graph": svg,
            # Every asset the graph shows, those whose first job has not ended yet included.
            "assets": '<p class="assets" id="assets">' + " ".join(
                f'<a href="/asset?ref={quote(node.ref, safe="")}" title="{Markup.escape(node.ref)}">'
                f"{Markup.escape(node.label)}</a>" for node in graph.nodes
            ) + "</p>",
            "jobs": "\n".join(_jobs_section(graph, rows, f"/runs/{run.id}/files/")),
            "timeline": timeline_section(rows),
        }
        return run, rows, {name: Markup(piece) for name, piece in pieces.items()}


def _state(run: Run) -> str:
    """What a page showing the run has seen of it: the jobs ended and the run's outcome."""
    return f"{run.succeeded + run.fresh + run.failed + run.skipped + run.interrupted} {run.outcome}"


def _run_counts(run: Run) -> dict[str, int]:
    return {"ok": run.succeeded, "fresh": run.fresh, "failed": run.failed, "skipped": run.skipped,
            "interrupted": run.interrupted}


def _graph(assets: Sequence[Asset], rows: Sequence[JobRow]) -> Graph:
    """The graph of the modules served; without them, the run's assets alone."""
    if assets:
        return build(assets)
    refs = {row.asset: row.label for row in rows}
    return Graph(tuple(Node(key=f"a{n}", ref=ref, label=label) for n, (ref, label) in enumerate(refs.items())), ())


def _grid(asset: Asset | None, latest: dict[str, JobRecord]) -> list[tuple[str, str]]:
    """(partition, state) of each partition: the declared ones in order, then any other the history holds."""
    partitions: list[str] = []
    if asset is not None and asset.dimensions:
        partitions = [
            canonical({d.name: key for d, key in zip(asset.dimensions, keys)})
            for keys in itertools.product(*(d.keys for d in asset.dimensions))
        ]
    partitions += [partition for partition in latest if partition not in partitions]
    return [(partition, latest[partition].outcome if partition in latest else "never run") for partition in partitions]


def _job_file(out: Path, folder: str, name: str) -> Response:
    """A file of a job, read only from inside its folder: no link is followed, in the folder's path or as the file."""
    root = os.path.realpath(out)
    job = os.path.join(root, *folder.split("/"))
    if os.path.realpath(job) != job:
        raise Refused(403, "the job folder leads elsewhere")
    try:
        directory = os.open(job, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW)
    except OSError:
        raise Refused(404, "no such job folder") from None
    try:
        # Never blocking: a pipe planted in the folder is refused below like any other file that is not a file.
        descriptor = os.open(name, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK, dir_fd=directory)
    except OSError as error:
        raise Refused(403 if error.errno == errno.ELOOP else 404, "not a file of this job") from None
    finally:
        os.close(directory)
    file = os.fdopen(descriptor, "rb")
    if not stat.S_ISREG(os.fstat(descriptor).st_mode):
        file.close()
        raise Refused(404, "not a file of this job")
    kind = _TYPES.get(os.path.splitext(name)[1].lower())
    headers = dict(_HEADERS)
    if kind is None:
        kind = "application/octet-stream"
        headers["Content-Disposition"] = f"attachment; filename*=UTF-8''{quote(name)}"

    def chunks() -> Iterator[bytes]:
        with file:
            while chunk := file.read(1 << 16):
                yield chunk

    return StreamingResponse(chunks(), media_type=kind, headers=headers)


class Gate:
    """Refuses what no page takes, and every request without the token when one is set.

    The token comes as `?token=` once (which sets a cookie), as a cookie,
    or as `Authorization: Bearer TOKEN`; it is compared in constant time.
    An address with the token leads to the same address without it.
    """

    def __init__(self, app: ASGIApp, token: str | None) -> None:
        self.app, self.token = app, token

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        if len(scope.get("query_string", b"")) > MAX_QUERY:
            await _refusal(414, "the query string is too long")(scope, receive, send)
            return
        if self.token is None:
            await self.app(scope, receive, send)
            return
        request = Request(scope)
        if not hmac.compare_digest(_token_of(request), self.token.encode("utf-8")):
            await _refusal(403, "a token is needed: open the address with ?token=TOKEN")(scope, receive, send)
            return
        if "token" not in request.query_params:
            await self.app(scope, receive, send)
            return
        # The token leaves the address at once, so that it stays out of the browser's history.
        kept = urlencode([(name, value) for name, value in request.query_params.multi_items() if name != "token"])
        answer = RedirectResponse(request.url.path + (f"?{kept}" if kept else ""), status_code=303, headers=_HEADERS)
        answer.set_cookie(COOKIE, quote(self.token), path="/", httponly=True, samesite="strict")
        await answer(scope, receive, send)


def _token_of(request: Request) -> bytes:
    """The token a request carries, as UTF-8; a header comes as bytes (read as Latin-1 by Starlette)."""
    if "token" in request.query_params:
        return request.query_params["token"].encode("utf-8", "replace")
    if COOKIE in request.cookies:
        return unquote(request.cookies[COOKIE]).encode("utf-8", "replace")
    return request.headers.get("authorization", "").removeprefix("Bearer ").encode("latin-1", "replace")


def _refusal(status: int, reason: str) -> Response:
    return PlainTextResponse(f"{status}: {reason}\n", status_code=status, headers=_HEADERS)


def _refusing(endpoint: Callable[[Request], Response]) -> Callable[[Request], Response]:
    def answer(request: Request) -> Response:
        try:
            return endpoint(request)
        except Refused as refused:
            return _refusal(refused.status, str(refused))
        except (HistoryError, sqlite3.Error) as error:
            return _refusal(503, f"cannot read the run history: {error}")

    return answer


def _script(request: Request) -> Response:
    return Response((_TEMPLATES / "live.js").read_bytes(), media_type="text/javascript", headers=_HEADERS)


def make_app(open_history: Callable[[], History], out: Path, assets: Sequence[Asset] = (), token: str | None = None) -> ASGIApp:
    """The web application; `open_history` opens the history read-only, once per request."""
    view = View(open_history, out, assets)
    routes = [
        Route("/", _refusing(view.runs)),
        Route("/runs/{run_id:int}", _refusing(view.run)),
        Route("/runs/{run_id:int}/live.json", _refusing(view.live)),
        Route("/runs/{run_id:int}/files/{path:path}", _refusing(view.file)),
        Route("/asset", _refusing(view.asset)),
        Route("/live.js", _script),
    ]
    return Gate(Starlette(routes=routes), token)

