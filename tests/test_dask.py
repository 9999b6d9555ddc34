"""What only the Dask executor has: a scheduler at an address, workers that come and go, a cluster it starts itself."""

import json
import os
import re
import shutil
import subprocess
import sys
import threading
from concurrent.futures import ThreadPoolExecutor

import pytest

from cli_support import REPO, WAIT, alive, history_db, job_files, run, squeezed, start, untimed, wait_for, wait_until, write_module

distributed = pytest.importorskip("distributed", reason="the Dask executor needs 'distributed' (python3-distributed)")

from sorva._executors.dask import DaskExecutor  # noqa: E402 - only with distributed installed
from sorva._executors import Ended, ExecutorError, Settings, Task  # noqa: E402

NOWHERE = "tcp://127.0.0.1:1"  # a port nothing listens on
# Tornado, under the distributed version Debian ships, warns about its own event loop handling.
pytestmark = pytest.mark.filterwarnings("ignore:make_current is deprecated:DeprecationWarning")

SLOW = '''
import os, time
from sorva import asset, partitions
@asset(partitions={"n": partitions(list(range(24)))})
def slow(n, pids):
    open(os.path.join(pids, str(os.getpid())), "w").close()
    time.sleep(0.4)
    return n * n
'''


class Cluster:
    """`dask scheduler` and `dask worker` processes on 127.0.0.1, running in `folder / "code"`."""

    def __init__(self, folder):
        self.code, self.logs, self.processes, self.client = folder / "code", folder / "logs", [], None
        self.code.mkdir()
        self.logs.mkdir()
        address = folder / "scheduler.json"
        scheduler = self.spawn("scheduler", "distributed.cli.dask_scheduler", "--host", "127.0.0.1", "--port", "0",
                               "--no-dashboard", "--scheduler-file", str(address))
        wait_until(lambda: address.exists() and address.read_text() or scheduler.poll() is not None, "no scheduler")
        assert scheduler.poll() is None, (self.logs / "scheduler.log").read_text()
        self.address = json.loads(address.read_text())["address"]
        self.client = distributed.Client(self.address, timeout=WAIT, set_as_default=False)

    def spawn(self, name, *args, prefix=()):
        with open(self.logs / f"{name}.log", "wb") as log:
            self.processes.append(subprocess.Popen([*prefix, sys.executable, "-m", *args], cwd=self.code, stdout=log,
                                                   stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL))
        return self.processes[-1]

    def add_worker(self, name, hide=None):
        """A worker of two threads; with `hide`, one that sees an empty folder there (a mount namespace of its own)."""
        prefix = ("unshare", "-m", "sh", "-c", 'mount -t tmpfs tmpfs "$0" && exec "$@"', str(hide)) if hide else ()
        process = self.spawn(name, "distributed.cli.dask_worker", self.address, "--name", name, "--nthreads", "2",
                             "--no-nanny", "--no-dashboard", "--host", "127.0.0.1", prefix=prefix)
        wait_until(lambda: self.worker_address(name) or process.poll() is not None, f"worker {name} did not join")
        assert process.poll() is None, (self.logs / f"{name}.log").read_text()
        return process

    def worker_address(self, name):
        return next((a for a, info in self.client.scheduler_info()["workers"].items() if info["name"] == name), None)

    def stop(self):
        if self.client is not None:
            self.client.close(timeout=10)
        for process in reversed(self.processes):
            process.kill()
            process.wait(timeout=15)


@pytest.fixture(scope="session")
def cluster(tmp_path_factory):
    """A scheduler and two workers, shared by the tests of this file."""
    cluster = Cluster(tmp_path_factory.mktemp("dask"))
    try:
        shutil.copy(REPO / "examples" / "pipeline.py", cluster.code)
        write_module(cluster.code, "slow", SLOW)
        write_module(cluster.code, "failing", FAILING)
        for name in ("first", "second"):
            cluster.add_worker(name)
        yield cluster
    finally:
        cluster.stop()


@pytest.fixture(scope="session")
def remote(cluster):
    executor = DaskExecutor(Settings(cluster.address))
    executor.start(["pipeline", "slow"], 4)
    yield executor
    executor.close()


def test_a_folder_the_job_cannot_have_fails_it_with_the_reason(remote, tmp_path):
    # The worker command refuses a folder that is not UTF-8 before writing anything.
    assert remote.run(Task("pipeline", "prices", tmp_path / "bad\udcff", None)) == Ended(2, "the job folder's path is not UTF-8 text")
    (tmp_path / "job" / "value.json").mkdir(parents=True)
    ended = remote.run(Task("pipeline", "prices", tmp_path / "job", None))
    assert (ended.status, ended.reason.split(": ")[:2]) == (
        2, ["could not write what the job left into its folder", "[Errno 21] Is a directory"])
    # The output was written first; no partial file is left.
    assert sorted(path.name for path in (tmp_path / "job").iterdir()) == ["value.json", "worker.log"]


def test_a_worker_killed_mid_run_loses_nothing(cluster, remote, tmp_path):
    worker = cluster.add_worker("doomed")
    address = cluster.worker_address("doomed")
    pids = tmp_path / "pids"
    pids.mkdir()
    tasks = [Task("slow", "slow", tmp_path / str(n), json.dumps({"n": n, "pids": str(pids)}).encode()) for n in range(24)]
    for task in tasks:
        task.folder.mkdir()
    with ThreadPoolExecutor(6) as pool:
        runs = [pool.submit(remote.run, task) for task in tasks]
        wait_until(lambda: cluster.client.processing(workers=[address])[address], "the doomed worker got no job")
        worker.kill()
        assert [run.result(timeout=WAIT) for run in runs] == [Ended(0)] * len(tasks)
    assert [(task.folder / "value.json").read_text() for task in tasks] == [str(n * n) for n in range(24)]
    # The killed worker's jobs died with it.
    wait_until(lambda: not [path for path in pids.iterdir() if alive(int(path.name))], "a job of the killed worker runs on")


FAN = '''
import os, pathlib, time
from sorva import asset, partitions
def hold(name):
    # While "hold" lies in the workers' folder, the job says it started and waits.
    if os.path.exists("hold"):
        pathlib.Path(name).write_text(str(os.getpid()))
        while os.path.exists("hold"): time.sleep(0.1)
@asset(serializer="pickle")
def blob(): return os.urandom(2_000_000)
@asset(inputs={"b": blob}, partitions={"n": partitions(list(range(8)))})
def part(n, b): return hold(f"part-{n}") or len(b) + n
@asset()
def lone(): hold("lone")
'''


def test_a_scheduler_without_workers_is_refused_and_workers_without_the_runners_disk_take_large_inputs(tmp_path, monkeypatch):
    # A value may be on its way to a worker as it dies: the scheduler gives up on it sooner.
    monkeypatch.setenv("DASK_DISTRIBUTED__COMM__TIMEOUTS__CONNECT", "5")
    monkeypatch.setattr("sorva._executors.dask.CONNECT_TIMEOUT", 1.0)
    cluster = Cluster(tmp_path)
    here, dask = tmp_path / "runner", ["fan", "--executor", "dask", "--scheduler", cluster.address]
    here.mkdir()
    try:
        with pytest.raises(ExecutorError) as raised:
            DaskExecutor(Settings(cluster.address)).start(["pipeline"], 1)
        assert str(raised.value) == f"the Dask scheduler at {cluster.address} has no workers (none joined within 1 s)"
        if subprocess.run(["unshare", "-m", "true"], capture_output=True, check=False).returncode:
            pytest.skip("workers that cannot see the runner's folder need `unshare -m` (root)")
        write_module(cluster.code, "fan", FAN)
        write_module(here, "fan", FAN)
        workers = [cluster.add_worker(name, hide=here) for name in ("first", "second")]
        # Each part gets the 2 MB value sent ahead of it, while others that got it end; every job succeeds.
        for jobs in "2323":
            done = run("sorva.run", *dask, "--select", "blob+", "--force", "--jobs", jobs, cwd=here)
            assert (done.returncode, done.stderr, ": 9 succeeded, 0 fresh, 0 failed," in done.stdout) == (0, "", True)
        # Every worker lost while the parts wait with the value: they fail with the reason, retried, and the run ends.
        (cluster.code / "hold").touch()
        runner = start("sorva.run", *dask, "--select", "blob+", "--force", "--jobs", "8", "--retries", "1", cwd=here)
        wait_until(lambda: len(list(cluster.code.glob("part-*"))) == 4, "four parts did not start")
        for worker in workers:
            worker.kill()
        stdout, stderr = runner.communicate(timeout=WAIT)
        lines = untimed(stdout).splitlines()
        assert (runner.returncode, "Traceback" in stderr) == (1, False)
        assert ": 1 succeeded, 0 fresh, 8 failed, 0 skipped;" in lines[-9]
        # The retries find no worker left, or one that is going as the value is sent to it.
        gone = f"no Dask worker took its inputs: the scheduler at {cluster.address} has none left"
        going = "could not send its inputs to a Dask worker: .*"
        assert all(re.fullmatch(rf"failed: part n=\d: ({re.escape(gone)}|{going})", line) for line in lines[-8:]), lines
        # At least the four that ran held their value on a worker that went.
        assert sum("attempt 1 failed: lost its Dask worker, which held the inputs sent ahead of it" in line for line in lines) >= 4
        # A job without inputs sent ahead waits for a worker, and the runner says so once.
        worker = cluster.add_worker("third", hide=here)
        runner = start("sorva.run", *dask, "--select", "lone", cwd=here)
        wait_for(cluster.code / "lone")
        worker.kill()
        said: list[str] = []
        threading.Thread(target=lambda: said.append(runner.stderr.readline()), daemon=True).start()
        wait_until(lambda: said, "the runner did not say that it waits")
        (cluster.code / "hold").unlink()
        cluster.add_worker("fourth", hide=here)
        waited = runner.communicate(timeout=WAIT)
    finally:
        cluster.stop()
    assert (runner.returncode, said, waited[1]) == (
        0, [f"python -m sorva.run: waiting for Dask workers: the scheduler at {cluster.address} has none\n"], ""
    )


# A job that fails and one it keeps from running; a value stored by pickle, sent to the worker of the job taking it.
# (How each job's failure is left is the executors' contract: test_a_job_leaves_what_the_worker_leaves.)
FAILING = '''
from sorva import asset, partitions
@asset(partitions={"city": partitions(["lisbon", "oslo"])})
def readings(city): return {"lisbon": 1}[city]
@asset(inputs={"every": readings})
def summary(every): return len(every)
@asset(serializer="pickle")
def pickled(): return {1: b"x"}
@asset(inputs={"value": pickled})
def unpickled(value): return sorted(value)
'''


@pytest.mark.parametrize("module, status", [("pipeline", 0), ("failing", 1)])
def test_a_run_through_a_scheduler_leaves_and_reports_what_a_process_run_does(cluster, tmp_path, module, status):
    seen = []
    for executor in (["process"], ["dask", "--scheduler", cluster.address]):
        out = tmp_path / executor[0]
        done = run("sorva.run", module, "--out", str(out), "--jobs", "1", "--executor", *executor, cwd=cluster.code)
        seen.append((done.returncode, done.stderr, squeezed(done.stdout).replace(str(out), "OUT"), job_files(out)))
    assert (seen[0], seen[0][0]) == (seen[1], status)
    # Nothing listens at NOWHERE: an unchanged rerun never contacts a scheduler, as it starts no cluster.
    again = run("sorva.run", module, "--out", str(out), "--select", "pickled" if status else "prices", "--executor",
                "dask", "--scheduler", NOWHERE, cwd=cluster.code)
    assert (again.returncode, again.stderr, untimed(again.stdout).splitlines()[-1]) == (0, "", (
        f"1 jobs in X.XXs: 0 succeeded, 1 fresh, 0 failed, 0 skipped; outputs in {out}; report in {out}/report.html"))


# An executor that cannot start ends the run it was started for as failed; so does the Dask executor on an
# interpreter where `import distributed` finds nothing (no address).
@pytest.mark.parametrize("address, message", [
    (NOWHERE, f"no Dask scheduler at {NOWHERE}: Connection refused"),
    ("tcp://127.0.0.1", "argument --scheduler: 'tcp://127.0.0.1' is not a scheduler address (tcp://HOST:PORT)"),
    ("127.0.0.1:port", "argument --scheduler: '127.0.0.1:port' is not a scheduler address (tcp://HOST:PORT)"),
    (None, "the dask executor needs the 'distributed' package: install python3-distributed (Debian) or pip install "
           "'sorva[dask]'"),
])
def test_no_scheduler_at_the_address_or_no_distributed_is_one_line_and_nothing_runs(tmp_path, address, message):
    write_module(tmp_path, "slow", SLOW)
    shadow = tmp_path / "shadow" / "distributed"
    shadow.mkdir(parents=True)
    (shadow / "__init__.py").write_text("raise ModuleNotFoundError(\"No module named 'distributed'\", name='distributed')\n")
    options = ["--scheduler", address] if address else []
    env = {} if address else {"PYTHONPATH": os.pathsep.join([str(shadow.parent), os.environ.get("PYTHONPATH", "")])}
    done = run("sorva.run", "slow", "--executor", "dask", *options, cwd=tmp_path, env=env)
    assert (done.returncode, done.stdout, done.stderr) == (2, "", f"python -m sorva.run: error: {message}\n")
    assert not list((tmp_path / "sorva-out").rglob("result.json"))
    with history_db(tmp_path) as db:
        assert db.execute("SELECT outcome, executor FROM runs").fetchall() == [("failed", "dask")]
