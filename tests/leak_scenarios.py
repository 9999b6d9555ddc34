"""Scenarios for the leak check: each one exercises an entry point, error
paths included, and must leave no reference or memory block behind."""

import sorva._sorva as m

SCENARIOS = []


def scenario(function):
    SCENARIOS.append(function)
    return function


def raises(call, *types):
    try:
        call()
    except types or BaseException:
        return
    raise AssertionError(f"{call} did not raise")


def upstream():
    return [1, 2, 3]


UPSTREAM = m.asset()(upstream)


@scenario
def binding_errors():
    raises(lambda: m.partitions(), TypeError)
    raises(lambda: m.partitions([1], values=[2]), TypeError)
    raises(lambda: m.asset(len), TypeError)
    raises(lambda: m.asset(bogus=1), TypeError)
    raises(lambda: m.materialize_asset("m", "f", "o", None, 1), TypeError)
    raises(lambda: m.materialize_asset(), TypeError)


@scenario
def conversion_errors():
    raises(lambda: m.asset(name=1), TypeError)
    raises(lambda: m.asset(serializer="\ud800"), UnicodeEncodeError)
    raises(lambda: m.partitions((1,)), TypeError)
    raises(lambda: m.inspect_modules("x"), TypeError)
    raises(lambda: m.inspect_modules(["a", 2]), TypeError)
    raises(lambda: m.materialize_asset(1, "f", "o"), TypeError)

    def fails():
        error = TypeError("x")
        error.__cause__ = KeyError("k")
        raise error

    class Names:
        def __len__(self):
            return 0

        def __getitem__(self, i):
            raise IndexError

        def __iter__(self):
            fails()

    raises(lambda: m.inspect_modules(Names()), TypeError)


@scenario
def construction_refused():
    raises(m.Partitions, TypeError)
    raises(m.AssetWrapper, TypeError)


@scenario
def partitions_values():
    p = m.partitions(["a", 1, 2.5, None, True, {"b": [1, {"c": "d"}]}, (1, 2), 2**70, -(2**70)])
    repr(p)
    raises(lambda: m.partitions([float("nan")]), ValueError)
    raises(lambda: m.partitions([object()]), TypeError)
    raises(lambda: m.partitions(["ok", "\ud800"]), ValueError)


@scenario
def declare_and_wrap():
    parts = {"d": m.partitions(["x", "y"]), "e": m.partitions([1])}
    decorator = m.asset(name="n", serializer="s", inputs={"data": UPSTREAM, "other": "ref"}, partitions=parts)
    wrapper = decorator(upstream)
    wrapper.__sorva_metadata__
    wrapper.__sorva_kind__, wrapper.__sorva_original__, wrapper.__wrapped__
    wrapper.__name__, wrapper.__qualname__, wrapper.__module__, wrapper.__doc__
    wrapper()
    wrapper.__get__(None, object)
    raises(lambda: decorator(), TypeError)
    raises(lambda: decorator(1, 2), TypeError)
    decorator(42, extra=1)


@scenario
def declare_errors():
    raises(lambda: m.asset(inputs=[1]), TypeError)
    raises(lambda: m.asset(inputs={1: "x"}), TypeError)
    raises(lambda: m.asset(inputs={"x": 42}), TypeError)
    raises(lambda: m.asset(inputs={"x": m.asset()(len)}), TypeError)
    raises(lambda: m.asset(partitions={"d": ["a"]}), TypeError)
    raises(lambda: m.asset(partitions=5), TypeError)

    class Raises:
        @property
        def __sorva_kind__(self):
            raise RuntimeError("no kind")

    raises(lambda: m.asset(inputs={"x": Raises()}), TypeError)


@scenario
def wrapper_call_errors():
    def boom(*args, **kwargs):
        raise ValueError(args, kwargs)

    w = m.asset()(boom)
    raises(lambda: w(1, b=2), ValueError)
    raises(lambda: m.asset()(42)(), TypeError)
    raises(lambda: m.asset()(42).__name__, AttributeError)

    def assign():
        w.__name__ = "x"

    raises(assign, AttributeError)
