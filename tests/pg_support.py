"""A throwaway PostgreSQL server for the tests: made with initdb in a temporary folder, reached on its Unix socket."""

import contextlib
import os
import shutil
import subprocess
import tempfile
import uuid
from pathlib import Path

BIN = Path("/usr/lib/postgresql/15/bin")


@contextlib.contextmanager
def server():
    """Yields a function that makes a new empty database and returns its URL; stops the server at the end."""
    folder = Path(tempfile.mkdtemp(prefix="sorva-pg-"))
    # The server refuses to run as root: it runs as postgres, which must own its folder.
    as_user = ["runuser", "-u", "postgres", "--"] if os.getuid() == 0 else []
    if as_user:
        shutil.chown(folder, "postgres")
    user = "postgres" if as_user else os.environ.get("USER", "postgres")
    data = folder / "data"
    # The sanitizer run preloads its runtime into the tests; the server is no program of ours, and hangs with it.
    env = {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}
    quiet = dict(check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env, timeout=120)
    subprocess.run([*as_user, BIN / "initdb", "-D", data, "-U", user, "--auth=trust"], **quiet)
    options = f"-k {folder} -c listen_addresses='' -c fsync=off"
    subprocess.run([*as_user, BIN / "pg_ctl", "-D", data, "-l", folder / "log", "-o", options, "-w", "start"], **quiet)

    def new_database():
        name = f"sorva_{uuid.uuid4().hex[:8]}"
        subprocess.run([BIN / "createdb", "-h", folder, "-U", user, name], **quiet)
        return f"postgresql://{user}@/{name}?host={folder}"

    try:
        yield new_database
    finally:
        subprocess.run([*as_user, BIN / "pg_ctl", "-D", data, "-m", "immediate", "stop"], **quiet)
        shutil.rmtree(folder, ignore_errors=True)
