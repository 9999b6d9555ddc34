"""Argument binding and conversion messages of the four module functions: binding errors come before any body runs."""

import pytest

import sorva._sorva as m


class Text(str):
    pass


def throw(error):
    raise error


class Unnamed(type):
    __getattribute__ = lambda cls, name: throw(RuntimeError(name)) if name == "__qualname__" else type.__getattribute__(cls, name)


MA = "materialize_asset()"
TYPE_ERRORS = [
    (lambda: m.partitions(), "partitions() missing 1 required positional argument: 'values'"),
    (lambda: m.partitions([1], [2]), "partitions() takes 1 positional arguments but 2 were given"),
    (lambda: m.partitions([1], values=[2]), "partitions() got multiple values for argument 'values'"),
    (lambda: m.asset(len), "asset() takes 0 positional arguments but 1 was given"),
    (lambda: m.asset(**{"é": 1}), "asset() got an unexpected keyword argument 'é'"),
    (lambda: m.materialize_asset(), f"{MA} missing 3 required positional arguments: 'module_name', 'function_name', and 'output_dir'"),
    (lambda: m.materialize_asset(output_dir="o", module_name="m"), f"{MA} missing 1 required positional argument: 'function_name'"),
    # A binding error wins over any conversion error.
    (lambda: m.materialize_asset(1, 2, 3, 4, 5), f"{MA} takes from 3 to 4 positional arguments but 5 were given"),
    (lambda: m.materialize_asset("m", "f", "o", module_name="m"), f"{MA} got multiple values for argument 'module_name'"),
    # Conversions, in declaration order.
    (lambda: m.asset(name=1, serializer=2), "argument 'name': 'int' object cannot be converted to 'PyString'"),
    (lambda: m.asset(name=Unnamed("U", (), {})()), "argument 'name': '<failed to extract type name>' object cannot be converted to 'PyString'"),
    (lambda: m.partitions(("a",)), "argument 'values': 'tuple' object cannot be converted to 'PyList'"),
    (lambda: m.inspect_modules(Text("pkg")), "argument 'modules': Can't extract `str` to `Vec`"),
    (lambda: m.inspect_modules(5), "argument 'modules': 'int' object cannot be converted to 'Sequence'"),
    (lambda: m.inspect_modules(["a", 1]), "argument 'modules': 'int' object cannot be converted to 'PyString'"),
    (lambda: m.materialize_asset("m", "f", 3.5), "argument 'output_dir': 'float' object cannot be converted to 'PyString'"),
    (lambda: m.materialize_asset("m", "f", "o", {}), "argument 'input_kwargs_json': 'dict' object cannot be converted to 'PyString'"),
    (lambda: m.AssetWrapper(1, x=2), "No constructor defined for AssetWrapper"),
    (lambda: m.Partitions(), "No constructor defined for Partitions"),
]


@pytest.mark.parametrize("call, message", TYPE_ERRORS)
def test_binding_and_conversion_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    assert info.value.args == (message,)
    assert info.value.__cause__ is None


def test_lone_surrogate_raises_the_interpreters_encode_error_and_str_subclasses_and_none_are_accepted():
    with pytest.raises(UnicodeEncodeError):
        m.asset(serializer="a\ud800")
    assert m.asset(name=Text("n"), serializer=None, inputs=None, partitions=None).__name__ == "asset_decorator"


class Names:
    """A sequence of no names whose iteration fails, or whose length fails or lies, on demand."""

    def __init__(self, error=None, length=0):
        self.error, self.length = error, length

    __len__ = lambda self: throw(self.length) if isinstance(self.length, BaseException) else self.length
    __getitem__ = lambda self, index: throw(IndexError(index))
    __iter__ = lambda self: throw(self.error) if self.error else iter([])


def test_iteration_errors_and_lengths_of_the_modules_sequence():
    # A TypeError is rewrapped with its cause, others pass unchanged, and the length is only a hint.
    cause, error = KeyError("root"), TypeError("cannot iterate")
    error.__cause__ = cause
    with pytest.raises(TypeError) as info:
        m.inspect_modules(Names(error=error))
    assert info.value is not error
    assert (info.value.args, info.value.__cause__) == (("argument 'modules': cannot iterate",), cause)
    for error in [ValueError("bad"), type("SubTypeError", (TypeError,), {})("sub"), KeyboardInterrupt()]:
        with pytest.raises(BaseException) as info:
            m.inspect_modules(Names(error=error))
        assert info.value is error
    for length in [RuntimeError("no length"), 2**62, 10**9]:
        assert m.inspect_modules(Names(length=length)) == '{"assets":[]}'
