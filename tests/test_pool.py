"""What only the pool executor has: workers that keep their modules' state from job to job until they are replaced."""

import json
import threading

import pytest

from cli_support import alive, wait_until, write_module
from sorva._executors import Ended, ExecutorError, Settings, Task
from sorva._executors.pool import PoolExecutor
from test_executors import JOBS, MODULES

MISSING = "No such file or directory"
EXTRA = '''
@asset()
def exits(): os._exit(3)
@asset()
def leaves(pid_file):
    import subprocess
    with open(pid_file, "w") as file: file.write(str(subprocess.Popen(["sleep", "300"]).pid))
'''


# One worker runs `counted` (which remembers the partitions it saw), the job twice, `counted` again. The worker
# ends what each job left running, prints a module's import output in each of its jobs' logs, and is replaced
# when it dies, overruns its time limit (ended with all it started) or has run its --pool-recycle jobs; only
# the job it was running fails.
@pytest.mark.parametrize("recycle, module, function, timeout, ended, seen", [
    (None, "jobs", "leaves", None, Ended(0), [1, 2]),
    (3, "jobs", "leaves", None, Ended(0), [2]),
    (None, "late", "late", None, Ended(0), [1, 2]),
    (None, "jobs", "crash", None, Ended(-9), [2]),
    (None, "jobs", "exits", None, Ended(3), [2]),
    (None, "jobs", "sleeper", 1.5, Ended(-15, "timed out after 1.5 s"), [2]),
])
def test_a_worker_keeps_its_state_until_it_dies_times_out_or_is_recycled(tmp_path, monkeypatch, recycle, module,
                                                                         function, timeout, ended, seen):
    for name, source in {**MODULES, "jobs": JOBS + EXTRA}.items():
        write_module(tmp_path, name, source)
    monkeypatch.chdir(tmp_path)
    folders = [tmp_path / name for name in ("one", "first", "second", "two")]
    for folder in folders:
        folder.mkdir()

    def job(folder):
        return Task(module, function, folder, json.dumps({"pid_file": str(folder / "pids")}).encode()
                    if function in ("leaves", "sleeper") else None, timeout)

    tasks = [Task("jobs", "counted", folders[0], b'{"n": 1}'), job(folders[1]), job(folders[2]),
             Task("jobs", "counted", folders[3], b'{"n": 2}'), Task("jobs", "chatty", tmp_path / "missing", None)]
    executor = PoolExecutor(Settings(recycle=recycle))
    executor.start(["jobs"], 1)
    try:
        ran = [executor.run(task) for task in tasks]
        pids = [int(pid) for path in tmp_path.glob("*/pids") for pid in path.read_text().split()]
        wait_until(lambda: not [pid for pid in pids if alive(pid)], "a job left a process running")
    finally:
        executor.close()
    logs = [(folder / "worker.log").read_bytes() for folder in folders[1:3]]
    assert (ran, logs[0] == logs[1], json.loads((folders[3] / "value.json").read_text())) == (
        [Ended(0), ended, ended, Ended(0), Ended(2, f"could not start the job: could not open worker.log: {MISSING}")],
        True, seen)


def test_a_worker_that_dies_while_importing_ends_the_start_with_the_reason(tmp_path, monkeypatch):
    write_module(tmp_path, "dies", "import os, signal\nos.kill(os.getpid(), signal.SIGKILL)\n")
    monkeypatch.chdir(tmp_path)
    executor = PoolExecutor()
    with pytest.raises(ExecutorError, match="^a pool worker was killed by SIGKILL while importing the modules$"):
        executor.start(["dies"], 2)
    executor.close()


# A stop runs in the main thread's signal handler: it may come while that thread starts or closes the executor
# under its own lock, and must not wait for itself.
def test_a_stop_while_the_main_thread_holds_the_executors_lock_returns():
    executor = PoolExecutor()
    stopping = threading.Thread(target=lambda: (executor._running.lock.acquire(), executor.interrupt()), daemon=True)
    stopping.start()
    stopping.join(10)
    assert not stopping.is_alive()
