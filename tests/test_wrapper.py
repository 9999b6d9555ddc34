"""AssetWrapper: calling through, the attribute protocol, the descriptor."""

import copy
import inspect
import pickle
import subprocess
import sys
import traceback

import pytest

import sorva._sorva as m


def f(a, b=2, *args, **kwargs):
    """f's own docstring."""
    return (a, b, args, kwargs)


W = m.asset()(f)


def test_attributes_are_read_through_every_wrapper_at_access_time_and_never_assigned():
    def g(a, b=2):
        pass

    outer = m.asset(name="outer")(w := m.asset()(g))
    assert (w.__sorva_original__, w.__wrapped__, outer.__wrapped__, inspect.unwrap(outer)) == (g, g, w, g)
    assert w.__sorva_kind__ == "asset" and str(inspect.signature(outer)) == "(a, b=2)" and outer(1) is None
    g.__name__, g.__qualname__, g.__doc__, g.__module__ = "renamed", "Q.renamed", "new doc", "elsewhere"
    assert (outer.__name__, outer.__qualname__, outer.__doc__, outer.__module__) == (
        "renamed", "Q.renamed", "new doc", "elsewhere")
    with pytest.raises(AttributeError):
        m.asset()(42).__name__
    for name in ["__name__", "__doc__", "__sorva_metadata__", "__wrapped__", "other"]:
        with pytest.raises(AttributeError):
            setattr(outer, name, "x")


def test_call_forwards_exactly_and_its_errors_are_the_functions_own():
    for args, kwargs in [((1,), {}), ((1, 2, 3, 4), {}), ((), {"a": 1, "z": 9}), ((1, 2, 3), {"k": "v"})]:
        assert W(*args, **kwargs) == f(*args, **kwargs)

    def boom(x):
        raise KeyError(x)

    with pytest.raises(KeyError) as info:
        m.asset()(boom)("k")
    assert "boom" in "".join(traceback.format_tb(info.value.__traceback__))
    with pytest.raises(TypeError, match="'int' object is not callable"):
        m.asset()(42)()


def test_descriptor_never_binds_and_metadata_is_fresh_each_access():
    class C:
        m_ = m.asset(inputs={"a": "x"})(lambda *a: a)

    assert C.m_ is C.m_ and C().m_ is C.m_ and C().m_(1) == (1,)
    first, second = C.m_.__sorva_metadata__, C.m_.__sorva_metadata__
    assert first is not second and first == second
    first["inputs"]["a"] = "changed"
    assert C.m_.__sorva_metadata__ == second


DEEP_CHAIN = """
import sorva._sorva as m

w = len
decorator = m.asset()
for _ in range(1_000_000):
    w = decorator(w)
for read in (lambda: w("abc"), lambda: w.__name__, lambda: w.__doc__):
    try:
        read()
    except RecursionError as error:  # the interpreter words the first half of the message its own way
        print(type(error).__name__, str(error).endswith(" while forwarding through an AssetWrapper"))
del w
print("freed")
"""


def test_chain_too_deep_for_the_stack_is_a_recursion_error():
    # In a process of its own: getting this wrong overflows the C stack.
    done = subprocess.run([sys.executable, "-c", DEEP_CHAIN], capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stdout) == (0, "RecursionError True\n" * 3 + "freed\n"), done.stderr


def test_pickled_and_copied_by_reference(make_module):
    module = __import__(make_module("from sorva import asset\n\n@asset()\ndef kept():\n    return 1\n"))
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(module.kept, protocol)) is module.kept
    assert copy.copy(module.kept) is module.kept and copy.deepcopy(module.kept) is module.kept
    # A function that cannot be found by name is refused the way the function itself is.
    local = lambda: 1  # noqa: E731
    with pytest.raises(Exception) as plain:
        pickle.dumps(local)
    with pytest.raises(Exception) as wrapped:
        pickle.dumps(m.asset()(local))
    assert type(wrapped.value) is type(plain.value)
