"""AssetWrapper: calling through, the attribute protocol, the descriptor."""

import functools
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


def test_attributes():
    assert W.__sorva_original__ is f and W.__wrapped__ is f
    assert W.__sorva_kind__ == "asset"
    assert (W.__name__, W.__qualname__, W.__module__, W.__doc__) == ("f", "f", __name__, "f's own docstring.")
    assert m.AssetWrapper.__doc__ == "The `@asset()` decorator wrapper. Stores the original function and metadata."


def test_attributes_are_read_at_access_time():
    def g():
        pass

    w = m.asset()(g)
    g.__name__, g.__qualname__, g.__doc__, g.__module__ = "renamed", "Q.renamed", "new doc", "elsewhere"
    assert (w.__name__, w.__qualname__, w.__doc__, w.__module__) == ("renamed", "Q.renamed", "new doc", "elsewhere")


@pytest.mark.parametrize(
    "args, kwargs",
    [((1,), {}), ((1,), {"b": 3}), ((1, 2, 3, 4), {}), ((), {"a": 1, "z": 9}), ((1, 2, 3), {"k": "v"})],
)
def test_call_forwards_exactly(args, kwargs):
    assert W(*args, **kwargs) == f(*args, **kwargs)


def test_call_errors_are_the_functions_own():
    def boom(x):
        raise KeyError(x)

    w = m.asset()(boom)
    with pytest.raises(KeyError) as info:
        w("k")
    assert info.value.args == ("k",)
    assert "boom" in "".join(traceback.format_tb(info.value.__traceback__))
    with pytest.raises(TypeError, match="boom\\(\\) missing 1 required positional argument: 'x'"):
        w()
    with pytest.raises(TypeError, match="'int' object is not callable"):
        m.asset()(42)()


def test_recursion_through_the_module_level_name(make_module):
    name = make_module(
        """
        from sorva._sorva import asset

        @asset()
        def fact(n):
            return 1 if n <= 1 else n * fact(n - 1)
        """
    )
    module = __import__(name)
    assert type(module.fact) is m.AssetWrapper
    assert module.fact(20) == 2432902008176640000


def test_deep_recursion_reaches_the_interpreter_limit():
    @m.asset()
    def down(n):
        return down(n + 1)

    with pytest.raises(RecursionError):
        down(0)


def test_descriptor_never_binds():
    class C:
        m_ = m.asset()(lambda *a: a)

    assert C.m_ is C.m_ and C().m_ is C.m_
    assert C().m_(1) == (1,)
    assert C.__dict__["m_"].__get__(None, C) is C.m_
    assert C.__dict__["m_"].__get__(C()) is C.m_


def test_metadata_is_fresh_each_access():
    w = m.asset(inputs={"a": "x"})(f)
    first, second = w.__sorva_metadata__, w.__sorva_metadata__
    assert first is not second and first == second
    first["inputs"]["a"] = "changed"
    first["kind"] = "other"
    assert w.__sorva_metadata__ == second


def test_wrapper_of_a_wrapper():
    outer = m.asset(name="outer")(W)
    assert outer.__sorva_original__ is W
    assert outer.__name__ == "f"
    assert outer(5) == f(5)
    assert inspect.unwrap(outer) is f


def test_chain_of_wrappers():
    w = f
    for _ in range(200):
        w = m.asset()(w)
    assert w(1) == f(1)
    assert w.__name__ == "f" and w.__doc__ == f.__doc__


DEEP_CHAIN = """
import sorva._sorva as m

w = len
decorator = m.asset()
for _ in range(1_000_000):
    w = decorator(w)
for read in (lambda: w("abc"), lambda: w.__name__, lambda: w.__doc__, lambda: w.__qualname__):
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
    assert done.stdout.splitlines() == [message] * 4 + ["freed"]


def test_signature_and_unwrap_reach_the_function():
    assert str(inspect.signature(W)) == "(a, b=2, *args, **kwargs)"
    assert inspect.unwrap(W) is f
    assert functools.wraps(W)(lambda: None).__wrapped__ is W


@pytest.mark.parametrize(
    "name",
    ["__name__", "__qualname__", "__module__", "__doc__", "__sorva_kind__", "__sorva_metadata__", "__sorva_original__", "__wrapped__", "other"],
)
def test_assignment_is_refused(name):
    with pytest.raises(AttributeError):
        setattr(W, name, "x")
    with pytest.raises(AttributeError):
        delattr(W, name)


def test_forwarded_reads_propagate_errors():
    class Odd:
        @property
        def __doc__(self):
            raise LookupError("doc")

        def __call__(self):
            return "called"

    w = m.asset()(Odd())
    with pytest.raises(LookupError):
        w.__doc__
    assert w() == "called"
    for name in ["__name__", "__qualname__"]:
        with pytest.raises(AttributeError):
            getattr(m.asset()(42), name)


def test_wrapper_keeps_the_function_alive():
    def temporary():
        return "alive"

    w = m.asset()(temporary)
    count = sys.getrefcount(temporary)
    del temporary
    assert w() == "alive"
    assert count >= 3
