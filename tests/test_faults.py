"""Internal faults: pyo3_runtime.PanicException, its report, and a fault that comes back out of Python code."""

import pytest

import sorva._sorva as m
from faults import cause_fault, changing_inputs

CHANGED = "dictionary changed size during iteration"
RESUMED = "after fetching a PanicException from Python\nPython stack trace below:\nTraceback"


def reshuffle(inputs):
    # Same size afterwards, but the walk meets one entry more than it started with.
    del inputs["a"]
    inputs["z"] = "ref"


class Nested:
    __sorva_kind__ = property(lambda self: cause_fault())


@pytest.mark.parametrize("call, message, report", [
    (cause_fault, CHANGED, "internal fault"),
    (lambda: m.asset(inputs=changing_inputs(reshuffle)), "dictionary keys changed during iteration", "internal fault"),
    # A fault fetched back from Python code is resumed.
    (lambda: m.asset(inputs={"x": Nested()}), CHANGED, RESUMED),
    (m.asset()(cause_fault), CHANGED, RESUMED),
    (lambda: m.materialize_asset("faults", "cause_fault", "job"), CHANGED, RESUMED),
])
def test_an_internal_fault_is_a_panic_exception_with_its_report(call, message, report, capfd, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(BaseException) as info:
        call()
    kind = type(info.value)
    assert (kind.__module__, kind.__name__, kind.__bases__) == ("pyo3_runtime", "PanicException", (BaseException,))
    assert "native code" in kind.__doc__ and not hasattr(m, "PanicException")
    assert info.value.args == (message,) and info.value.__cause__ is None
    err = capfd.readouterr().err
    assert report in err and message in err
    assert not (tmp_path / "job" / "result.json").exists()  # a fault in an asset is not recorded as its failure
