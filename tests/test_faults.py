"""Internal faults: pyo3_runtime.PanicException, its report, and a fault
that comes back out of Python code."""

import pytest

import sorva._sorva as m
from faults import growing_inputs


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


def test_panic_type():
    panic = panic_from(lambda: m.asset(inputs=growing_inputs()))
    kind = type(panic)
    assert (kind.__module__, kind.__name__, kind.__qualname__) == ("pyo3_runtime", "PanicException", "PanicException")
    assert kind.__bases__ == (BaseException,)
    assert not isinstance(panic, Exception)
    assert "native code" in kind.__doc__ and "BaseException" in kind.__doc__
    assert not hasattr(m, "PanicException")
    assert type(panic_from(lambda: m.asset(inputs=growing_inputs()))) is kind


@pytest.mark.parametrize(
    "make, message",
    [
        (growing_inputs, "dictionary changed size during iteration"),
        (reshuffled_inputs, "dictionary keys changed during iteration"),
    ],
)
def test_dict_changed_during_walk_is_a_fault(make, message, capfd):
    panic = panic_from(lambda: m.asset(inputs=make()))
    assert panic.args == (message,)
    assert panic.__cause__ is None
    err = capfd.readouterr().err
    assert "internal fault" in err and message in err


def test_panic_fetched_from_python_is_resumed(capfd):
    class Nested:
        @property
        def __sorva_kind__(self):
            m.asset(inputs=growing_inputs())
            return "asset"

    panic = panic_from(lambda: m.asset(inputs={"x": Nested()}))
    assert type(panic).__name__ == "PanicException"
    assert panic.args == ("dictionary changed size during iteration",)
    err = capfd.readouterr().err
    assert "after fetching a PanicException from Python" in err
    assert "Python stack trace below:" in err
    assert "Traceback (most recent call last):" in err


def test_panic_raised_by_a_wrapped_function_is_resumed(capfd):
    panic_type = type(panic_from(lambda: m.asset(inputs=growing_inputs())))
    capfd.readouterr()

    def raises():
        raise panic_type("from user code")

    wrapper = m.asset()(raises)
    panic = panic_from(wrapper)
    assert type(panic) is panic_type and panic.args == ("from user code",)
    assert "Python stack trace below:" in capfd.readouterr().err
