"""Argument binding and conversion messages of the four module functions.

Binding errors are raised before any body runs, so none of these calls
imports, writes or declares anything."""

import pytest

import sorva._sorva as m

BINDING_ERRORS = [
    (lambda: m.partitions(), "partitions() missing 1 required positional argument: 'values'"),
    (lambda: m.partitions([1], [2]), "partitions() takes 1 positional arguments but 2 were given"),
    (lambda: m.partitions([1], values=[2]), "partitions() got multiple values for argument 'values'"),
    (lambda: m.partitions(value=[1]), "partitions() got an unexpected keyword argument 'value'"),
    (lambda: m.asset(len), "asset() takes 0 positional arguments but 1 was given"),
    (lambda: m.asset(1, 2), "asset() takes 0 positional arguments but 2 were given"),
    (lambda: m.asset(name="x", nme="y"), "asset() got an unexpected keyword argument 'nme'"),
    (lambda: m.asset(**{"name": "x", "é": 1}), "asset() got an unexpected keyword argument 'é'"),
    (lambda: m.inspect_modules(), "inspect_modules() missing 1 required positional argument: 'modules'"),
    (lambda: m.inspect_modules([], []), "inspect_modules() takes 1 positional arguments but 2 were given"),
    (
        lambda: m.materialize_asset(),
        "materialize_asset() missing 3 required positional arguments: "
        "'module_name', 'function_name', and 'output_dir'",
    ),
    (
        lambda: m.materialize_asset("m"),
        "materialize_asset() missing 2 required positional arguments: 'function_name' and 'output_dir'",
    ),
    (
        lambda: m.materialize_asset("m", "f"),
        "materialize_asset() missing 1 required positional argument: 'output_dir'",
    ),
    (
        lambda: m.materialize_asset(output_dir="o", module_name="m"),
        "materialize_asset() missing 1 required positional argument: 'function_name'",
    ),
    (
        lambda: m.materialize_asset("m", "f", "o", None, 1),
        "materialize_asset() takes from 3 to 4 positional arguments but 5 were given",
    ),
    (
        lambda: m.materialize_asset("m", "f", "o", module_name="m"),
        "materialize_asset() got multiple values for argument 'module_name'",
    ),
    (
        lambda: m.materialize_asset("m", "f", "o", input_kwargs_json=None, input_kwargs_json_=1),
        "materialize_asset() got an unexpected keyword argument 'input_kwargs_json_'",
    ),
    # A binding error wins over any conversion error.
    (lambda: m.materialize_asset(1, 2, 3, 4, 5), "materialize_asset() takes from 3 to 4 positional arguments but 5 were given"),
    (lambda: m.partitions(5, values=6), "partitions() got multiple values for argument 'values'"),
    (lambda: m.asset(name=1, bogus=2), "asset() got an unexpected keyword argument 'bogus'"),
]


@pytest.mark.parametrize("call, message", BINDING_ERRORS)
def test_binding_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    assert info.value.args == (message,)
    assert info.value.__cause__ is None


def test_one_positional_given_says_was():
    with pytest.raises(TypeError, match=r"^partitions\(\) takes 1 positional arguments but 3 were given$"):
        m.partitions(1, 2, 3)


def test_repeated_keyword_through_kwargs_dict():
    with pytest.raises(TypeError) as info:
        m.asset(name="a", **{"serializer": "s", "inputs": None, "partitions": None, "name2": 1})
    assert info.value.args == ("asset() got an unexpected keyword argument 'name2'",)


class Text(str):
    pass


class Weird:
    pass


Weird.__qualname__ = "Outer.Weird"

CONVERSION_ERRORS = [
    (lambda: m.asset(name=1), "argument 'name': 'int' object cannot be converted to 'PyString'"),
    (lambda: m.asset(serializer=b"x"), "argument 'serializer': 'bytes' object cannot be converted to 'PyString'"),
    (lambda: m.asset(name=Weird()), "argument 'name': 'Outer.Weird' object cannot be converted to 'PyString'"),
    (lambda: m.partitions(("a", "b")), "argument 'values': 'tuple' object cannot be converted to 'PyList'"),
    (lambda: m.partitions("abc"), "argument 'values': 'str' object cannot be converted to 'PyList'"),
    (lambda: m.partitions(values={1}), "argument 'values': 'set' object cannot be converted to 'PyList'"),
    (lambda: m.inspect_modules("pkg.mod"), "argument 'modules': Can't extract `str` to `Vec`"),
    (lambda: m.inspect_modules(Text("pkg")), "argument 'modules': Can't extract `str` to `Vec`"),
    (lambda: m.inspect_modules(5), "argument 'modules': 'int' object cannot be converted to 'Sequence'"),
    (lambda: m.inspect_modules({"a": 1}), "argument 'modules': 'dict' object cannot be converted to 'Sequence'"),
    (lambda: m.inspect_modules({"a"}), "argument 'modules': 'set' object cannot be converted to 'Sequence'"),
    (lambda: m.inspect_modules(x for x in "a"), "argument 'modules': 'generator' object cannot be converted to 'Sequence'"),
    (lambda: m.inspect_modules(["a", 1]), "argument 'modules': 'int' object cannot be converted to 'PyString'"),
    (lambda: m.materialize_asset(1, "f", "out"), "argument 'module_name': 'int' object cannot be converted to 'PyString'"),
    (lambda: m.materialize_asset("m", None, "out"), "argument 'function_name': 'NoneType' object cannot be converted to 'PyString'"),
    (lambda: m.materialize_asset("m", "f", 3.5), "argument 'output_dir': 'float' object cannot be converted to 'PyString'"),
    (lambda: m.materialize_asset("m", "f", "o", {}), "argument 'input_kwargs_json': 'dict' object cannot be converted to 'PyString'"),
    # Parameters convert in declaration order.
    (lambda: m.materialize_asset(1, 2, 3), "argument 'module_name': 'int' object cannot be converted to 'PyString'"),
    (lambda: m.asset(name=1, serializer=2, inputs=3), "argument 'name': 'int' object cannot be converted to 'PyString'"),
]


@pytest.mark.parametrize("call, message", CONVERSION_ERRORS)
def test_conversion_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    assert info.value.args == (message,)
    assert info.value.__cause__ is None


def test_unreadable_type_name():
    class Meta(type):
        def __getattribute__(cls, name):
            if name == "__qualname__":
                raise RuntimeError("no name")
            return super().__getattribute__(name)

    odd = Meta("Odd", (), {})()
    with pytest.raises(TypeError) as info:
        m.asset(name=odd)
    assert info.value.args == ("argument 'name': '<failed to extract type name>' object cannot be converted to 'PyString'",)


@pytest.mark.parametrize("parameter", ["name", "serializer"])
def test_lone_surrogate_raises_the_interpreters_encode_error(parameter):
    with pytest.raises(UnicodeEncodeError) as info:
        m.asset(**{parameter: "a\ud800"})
    assert info.value.reason == "surrogates not allowed"


def test_str_subclasses_and_none_are_accepted():
    decorator = m.asset(name=Text("n"), serializer=None, inputs=None, partitions=None)
    assert decorator.__name__ == "asset_decorator"
    assert m.partitions(values=[]).__repr__() == "Partitions(0 values)"


class Names:
    """A sequence whose iteration is the thing under test."""

    def __init__(self, items, error=None, length_error=None):
        self.items, self.error, self.length_error = items, error, length_error

    def __len__(self):
        if self.length_error:
            raise self.length_error
        return len(self.items)

    def __getitem__(self, index):
        return self.items[index]

    def __iter__(self):
        if self.error:
            raise self.error
        return iter(self.items)


def test_modules_iteration_type_error_is_rewrapped_with_its_cause():
    cause = KeyError("root")
    error = TypeError("cannot iterate")
    error.__cause__ = cause
    with pytest.raises(TypeError) as info:
        m.inspect_modules(Names([], error=error))
    assert info.value is not error
    assert info.value.args == ("argument 'modules': cannot iterate",)
    assert info.value.__cause__ is cause


class IterationFailure(TypeError):
    pass


@pytest.mark.parametrize("error", [ValueError("bad"), IterationFailure("sub"), KeyboardInterrupt()])
def test_modules_iteration_other_errors_pass_unchanged(error):
    with pytest.raises(BaseException) as info:
        m.inspect_modules(Names([], error=error))
    assert info.value is error


def test_modules_length_failure_is_ignored():
    names = Names([], length_error=RuntimeError("no length"))
    assert m.inspect_modules(names) == '{"assets":[]}'
