"""AssetWrapper: calling through, the attribute protocol, the descriptor."""

import inspect
import subprocess
import sys
import traceback

import pytest

import sorva._sorva as m


def f(a, b=2, *args, **kwargs):
    """f's own docstring."""
    return (a, b, args, kwargs)


W = m.asset()(f)


def test_attributes_are_read_from_the_function_at_access_time():
    def g():
        pass

    w = m.asset()(g)
    assert w.__sorva_original__ is g and w.__wrapped__ is g and w.__sorva_kind__ == "asset"
    g.__name__, g.__qualname__, g.__doc__, g.__module__ = "renamed", "Q.renamed", "new doc", "elsewhere"
    assert (w.__name__, w.__qualname__, w.__doc__, w.__module__) == ("renamed", "Q.renamed", "new doc", "elsewhere")
    assert m.AssetWrapper.__doc__ == "The `@asset()` decorator wrapper. Stores the original function and metadata."
    with pytest.raises(AttributeError):
        m.asset()(42).__name__


@pytest.mark.parametrize("args, kwargs", [((1,), {}), ((1, 2, 3, 4), {}), ((), {"a": 1, "z": 9}), ((1, 2, 3), {"k": "v"})])
def test_call_forwards_exactly(args, kwargs):
    assert W(*args, **kwargs) == f(*args, **kwargs)


def test_call_errors_are_the_functions_own():
    def boom(x):
        raise KeyError(x)

    with pytest.raises(KeyError) as info:
        m.asset()(boom)("k")
    assert "boom" in "".join(traceback.format_tb(info.value.__traceback__))
    with pytest.raises(TypeError, match="'int' object is not callable"):
        m.asset()(42)()


def test_recursion_through_the_module_level_name(make_module):
    module = __import__(make_module(
        """
        from sorva._sorva import asset

        @asset()
        def fact(n):
            return 1 if n <= 1 else n * fact(n - 1)
        """
    ))
    assert type(module.fact) is m.AssetWrapper and module.fact(20) == 2432902008176640000


def test_descriptor_never_binds():
    class C:
        m_ = m.asset()(lambda *a: a)

    assert C.m_ is C.m_ and C().m_ is C.m_
    assert C().m_(1) == (1,)


def test_metadata_is_fresh_each_access():
    w = m.asset(inputs={"a": "x"})(f)
    first, second = w.__sorva_metadata__, w.__sorva_metadata__
    assert first is not second and first == second
    first["inputs"]["a"] = "changed"
    assert w.__sorva_metadata__ == second


def test_wrapper_of_a_wrapper_and_the_standard_tools():
    outer = m.asset(name="outer")(W)
    assert outer.__sorva_original__ is W and outer.__name__ == "f" and outer(5) == f(5)
    assert inspect.unwrap(outer) is f
    assert str(inspect.signature(outer)) == "(a, b=2, *args, **kwargs)"


DEEP_CHAIN = """
import sorva._sorva as m

w = len
decorator = m.asset()
for _ in range(1_000_000):
    w = decorator(w)
for read in (lambda: w("abc"), lambda: w.__name__, lambda: w.__doc__):
    try:
        read()
    except RecursionError as error:
        print(type(error).__name__, error)
del w
print("freed")
"""


def test_chain_too_deep_for_the_stack_is_a_recursion_error():
    # In a process of its own: getting this wrong overflows the C stack.
    done = subprocess.run([sys.executable, "-c", DEEP_CHAIN], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    message = "RecursionError maximum recursion depth exceeded while forwarding through an AssetWrapper"
    assert done.stdout.splitlines() == [message] * 3 + ["freed"]


@pytest.mark.parametrize("name", ["__name__", "__doc__", "__sorva_metadata__", "__wrapped__", "other"])
def test_assignment_is_refused(name):
    with pytest.raises(AttributeError):
        setattr(W, name, "x")
