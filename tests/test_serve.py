"""`python -m sorva.serve`: the web view of a history, in a browser while a run goes on, and against hostile requests."""

import http.client
import os
import shutil
import signal
from urllib.parse import quote, urlsplit

import pytest

from cli_support import WAIT, run, start, wait_until, write_module
from page_support import browser, needs_dot

SLOW = '''
import time
from sorva import asset, partitions
DAYS = partitions([str(n) for n in range(12)])
@asset(partitions={"day": DAYS})
def readings(day):
    time.sleep(0.5)
    if day == "3":
        raise ValueError("<b>no reading</b>")
    return int(day)
@asset(inputs={"reading": readings}, partitions={"day": DAYS})
def cleaned(day, reading): return reading
'''


@pytest.fixture
def serve(tmp_path):
    """Starts servers on a free port, giving each one's address; SIGTERM stops each cleanly at the end."""
    for package in ("starlette", "uvicorn", "jinja2"):
        pytest.importorskip(package, reason="the web view needs Debian's python3-starlette python3-uvicorn python3-jinja2")
    servers = []

    def started(*args):
        servers.append(start("sorva.serve", "--port", "0", *args, cwd=tmp_path))
        line = servers[-1].stdout.readline()
        assert " at http://" in line, servers[-1].stderr.read()
        return line.rsplit(" at ", 1)[1].strip()

    yield started
    for server in servers:
        with server:  # killed if it did not stop
            server.send_signal(signal.SIGTERM)
            assert (server.wait(WAIT), server.stderr.read()) == (0, "")


def get(address, path, headers=None):
    connection = http.client.HTTPConnection(urlsplit(address).netloc, timeout=WAIT)
    connection.request("GET", path, headers=headers or {})
    answer = connection.getresponse()
    return (answer.status, answer.getheader("content-type"), answer.getheader("set-cookie"), answer.read(),
            answer.getheader("location"))


def test_hostile_requests_are_refused_and_nothing_is_served(tmp_path, serve):
    write_module(tmp_path, "slow", SLOW.replace("time.sleep(0.5)", ""))
    assert run("sorva.run", "slow", cwd=tmp_path).returncode == 1
    out = tmp_path / "sorva-out"
    (tmp_path / "elsewhere").mkdir()
    (tmp_path / "elsewhere/value.json").write_text("secret")
    shutil.rmtree(out / "readings/day=5")
    (out / "readings/day=5").symlink_to(tmp_path / "elsewhere")
    (out / "readings/day=6/value.json").unlink()
    (out / "readings/day=6/value.json").symlink_to(tmp_path / "elsewhere/value.json")
    (out / "readings/day=7/value.json").write_text("<script>alert(1)</script>")
    (out / "readings/day=7/value.html").write_text("<script>alert(1)</script>")
    os.mkfifo(out / "readings/day=8/value.pkl")
    address = serve("--host", "0.0.0.0", "--token", "s\u00e9same")
    status, _, cookie, _, location = get(address, "/runs/1?token=s%C3%A9same&x=%3C")
    token = {"Cookie": cookie.split(";")[0]}
    assert (status, location, cookie) == (303, "/runs/1?x=%3C", "sorva_token=s%C3%A9same; HttpOnly; Path=/; SameSite=strict")
    base, plain = "/runs/1/files/readings/day=", "text/plain; charset=utf-8"
    bearer = {"Authorization": "Bearer s\u00e9same".encode().decode("latin-1")}
    # A job's files are served with the type that keeps a browser from running them; nothing else is served.
    answers = {
        "/": (403, plain, {}), "/?token=wrong": (403, plain, {}), "/runs/1": (403, plain, {"Authorization": "Bearer wrong"}),
        f"/?asset={'x' * 5000}": (414, plain, token),
        f"{base}4/../day=1/value.json": (400, plain, token), f"{base}4/%2e%2e/%2E%2E/sorva.db": (400, plain, token),
        f"{base}5/value.json": (403, plain, token), f"{base}6/value.json": (403, plain, token),
        f"{base}4/nothing": (404, plain, token), f"{base}8/value.pkl": (404, plain, token),
        "/runs/1/files/elsewhere/value.json": (404, plain, token), "/runs/99": (404, plain, token),
        "/asset?ref=nope": (404, plain, token), f"{base}7/value.json": (200, "application/json", token),
        f"{base}7/value.html": (200, "application/octet-stream", token), f"{base}3/worker.log": (200, plain, bearer),
    }
    for path, (status, kind, headers) in answers.items():
        answer = get(address, path, headers)
        assert answer[:2] == (status, kind) and b"secret" not in answer[3], path
    assert b'href="/runs/1"' in get(address, "/?outcome=failed&asset=readings", token)[3]
    assert b'href="/runs/1"' not in get(address, "/?outcome=succeeded", token)[3]
    # Off 127.0.0.1 a token is needed; without the web packages the command says what to install.
    (tmp_path / "hidden").mkdir()
    (tmp_path / "hidden/uvicorn.py").write_text("raise ModuleNotFoundError(name='uvicorn')")
    for args, env, error in [
        (["--host", "0.0.0.0"], {"SORVA_TOKEN": ""}, "listening on 0.0.0.0 needs a token: give --token or set SORVA_TOKEN"),
        (["--port", "65536"], {}, "argument --port: expected a port number up to 65535, got '65536'"),
        ([], {"PYTHONPATH": f"{tmp_path / 'hidden'}:{os.environ['PYTHONPATH']}"},
         "needs uvicorn: install Debian's python3-starlette python3-uvicorn python3-jinja2 (or pip install 'sorva[serve]')"),
    ]:
        done = run("sorva.serve", *args, cwd=tmp_path, env=env)
        assert (done.returncode, done.stderr) == (2, f"python -m sorva.serve: error: {error}\n")


@needs_dot
def test_a_browser_watches_a_run_go_on_and_opens_its_failure_and_an_asset(tmp_path, serve):
    from selenium.webdriver.common.by import By

    write_module(tmp_path, "slow", SLOW)
    # Leaving the `with` ends the browser and the run, if it has not ended by itself.
    with browser(tmp_path / "profile") as driver, start("sorva.run", "slow", "--select", "readings", "--jobs", "1", cwd=tmp_path):
        wait_until(lambda: (tmp_path / "sorva-out/sorva.db").exists(), "the run started")
        address = serve("slow")
        driver.get(address)
        driver.find_element(By.LINK_TEXT, "run 1").click()
        driver.execute_script("window.notReloaded = true")
        seen = set()

        def ended():
            seen.add(driver.find_element(By.ID, "summary").text)
            return driver.find_element(By.ID, "run").get_attribute("data-outcome") != "running"

        wait_until(ended, "the page never showed the run's end")
        summary = driver.find_element(By.ID, "summary").text
        assert len(seen | {summary}) >= 3 and summary == "12 jobs: 1 failed 11 ok", seen
        assert driver.execute_script("return window.notReloaded") is True
        assert len(driver.find_elements(By.CSS_SELECTOR, "#timeline .lane span")) == 12
        graph = [node.get_attribute("class") for node in driver.find_elements(By.CSS_SELECTOR, "#graph g.node")]
        assert graph == ["node asset", "node asset outcome-failed"]  # cleaned, not in the run; readings
        failed = driver.find_element(By.CSS_SELECTOR, "tr.outcome-failed details")
        failed.find_element(By.TAG_NAME, "summary").click()
        assert failed.get_attribute("open") == "true" and "ValueError: <b>no reading</b>" in failed.text
        driver.find_element(By.LINK_TEXT, "readings").click()
        cells = driver.find_elements(By.CSS_SELECTOR, "#partitions .cell")
        assert [cell.get_attribute("class")[11:] for cell in cells] == ["ok"] * 3 + ["failed"] + ["ok"] * 8
        driver.get(f"{address}asset?ref={quote(str(tmp_path / 'slow.py') + ':cleaned', safe='')}")
        assert {cell.get_attribute("class") for cell in driver.find_elements(By.CSS_SELECTOR, "#partitions .cell")} == {
            "cell state-never-run"}
        assert driver.get_log("browser") == []
