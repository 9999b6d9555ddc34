"""Internal faults: pyo3_runtime.PanicException, its report, and a fault
that comes back out of Python code."""

import pytest

import sorva._sorva as m
from faults import cause_fault, growing_inputs


def reshuffled_inputs():
    # Same size afterwards, but the walk meets one entry more than it started with.
    inputs = {"a": "ref"}

    class Reshuffles(str):
        @property
        def __sorva_kind__(self):
            del inputs["a"]
            inputs["z"] = "ref"
            return "not an asset"

    inputs["x"] = Reshuffles("ref")
    return inputs


def panic_from(call):
    with pytest.raises(BaseException) as info:
        call()
    return info.value


@pytest.mark.parametrize(
    "make, message",
    [(growing_inputs, "dictionary changed size during iteration"), (reshuffled_inputs, "dictionary keys changed during iteration")],
)
def test_dict_changed_during_walk_is_a_fault(make, message, capfd):
    panic = panic_from(lambda: m.asset(inputs=make()))
    kind = type(panic)
    assert (kind.__module__, kind.__name__, kind.__bases__) == ("pyo3_runtime", "PanicException", (BaseException,))
    assert "native code" in kind.__doc__ and not hasattr(m, "PanicException")
    assert panic.args == (message,) and panic.__cause__ is None
    err = capfd.readouterr().err
    assert "internal fault" in err and message in err


@pytest.mark.parametrize("through", ["attribute read", "wrapper call"])
def test_panic_fetched_from_python_is_resumed(through, capfd):
    class Nested:
        @property
        def __sorva_kind__(self):
            cause_fault()

    call = (lambda: m.asset(inputs={"x": Nested()})) if through == "attribute read" else m.asset()(cause_fault)
    panic = panic_from(call)
    assert type(panic).__name__ == "PanicException"
    assert panic.args == ("dictionary changed size during iteration",)
    err = capfd.readouterr().err
    assert "after fetching a PanicException from Python\nPython stack trace below:\nTraceback" in err
