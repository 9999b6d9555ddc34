"""The module object, its registration, the two classes' type layout, and its use from many threads."""

import importlib
import json
import os
import subprocess
import sys
import sysconfig
import threading
import weakref
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest

import sorva._sorva as m

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


def test_module_identity_and_reimport():
    assert m.__all__ == ["AssetWrapper", "Partitions", "asset", "partitions", "inspect_modules", "materialize_asset"]
    first = sys.modules.pop("sorva._sorva")
    try:
        assert importlib.import_module("sorva._sorva") is first
        assert importlib.reload(first) is first and len(first.__all__) == 6
    finally:
        sys.modules["sorva._sorva"] = first


@pytest.mark.parametrize("cls, make", [(m.AssetWrapper, lambda: m.asset()(len)), (m.Partitions, lambda: m.partitions([1]))])
def test_class_record(cls, make):
    # No subclass, no attribute of one's own, no weak reference (and no constructor: test_binding).
    instance = make()
    for error, refused in [(TypeError, lambda: type("Sub", (cls,), {})), (AttributeError, lambda: setattr(instance, "x", 1)),
                           (TypeError, lambda: weakref.ref(instance))]:
        with pytest.raises(error):
            refused()


@pytest.mark.skipif(not os.environ.get("SORVA_BUILD"), reason="SORVA_BUILD names the build folder holding the embedding program")
def test_subinterpreter_import_is_refused():
    build = os.environ["SORVA_BUILD"]
    program = Path(build) / "tests" / "embed" / "subinterpreter"
    result = subprocess.run([str(program), str(Path(build) / "dev")], capture_output=True, text=True, timeout=60)
    refused = "sub: ImportError: sorva._sorva does not support sub-interpreters"
    assert (result.returncode, result.stdout) == (0, f"main: imported\n{refused}\n"), result.stderr


def test_threads_share_the_module(make_module, tmp_path):
    """8 threads at once declare, call, make partitions, inspect and materialise into their own folders."""
    name = make_module("from sorva._sorva import asset\n@asset()\ndef raw(): return [1, 2, 3]\n"
                       "@asset(inputs={'data': raw})\ndef doubled(data): return [x * 2 for x in data]\n")
    assert not (FREE_THREADED and sys._is_gil_enabled())  # importing the module left the GIL off
    module = importlib.import_module(name)
    # Shared by every thread, each of which also replaces entries while the others read them.
    keys, inputs = list(range(40)), {"data": module.raw, "other": "elsewhere:x"}
    raw_ref, inspected = f"{tmp_path.resolve() / name}.py:raw", m.inspect_modules([name])
    rounds = int(os.environ.get("SORVA_STRESS_ROUNDS", 100 if FREE_THREADED else 10))
    barrier = threading.Barrier(8)

    def work(thread):
        barrier.wait()
        for n in range(rounds):
            keys[thread], inputs["other"] = 10**20 + n, f"elsewhere:{n}"
            assert repr(spec := m.partitions(keys)) == "Partitions(40 values)"
            wrapper = m.asset(name=f"a{thread}", inputs=inputs, partitions={"k": spec})(lambda data, k: (data, k))
            assert wrapper(n, k=thread) == (n, thread) and module.doubled([n]) == [2 * n]
            meta = wrapper.__sorva_metadata__
            assert (meta["name"], meta["inputs"]["data"], meta["inputs"]["other"][:10]) == (f"a{thread}", raw_ref, "elsewhere:")
            assert len(json.loads(meta["partitions"]["k"]["values_json"])) == 40
            with pytest.raises(TypeError, match=r"^partitions\(\) missing 1 required positional argument: 'values'$"):
                m.partitions()
            assert m.inspect_modules([name]) == inspected
            out = tmp_path / f"{thread}-{n}"
            assert m.materialize_asset(name, "doubled", str(out), json.dumps({"data": [n, thread]})) is None
            assert json.loads((out / "value.json").read_text()) == [2 * n, 2 * thread]
            assert json.loads((out / "result.json").read_text())["ok"] is True

    with ThreadPoolExecutor(8) as pool:
        list(pool.map(work, range(8)))
