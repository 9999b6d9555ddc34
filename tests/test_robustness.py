"""Whatever object reaches an entry point, the answer is a result or an ordinary exception: never a crash or a fault."""

import json

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import sorva._sorva as m


def throw(error):
    raise error


class Hostile:
    """Every attribute the module might read raises or answers oddly."""

    __getattr__ = lambda self, name: throw((RuntimeError if name.startswith("__sorva") else AttributeError)(name))
    __str__ = lambda self: throw(ValueError("no text"))
    __len__ = lambda self: throw(OverflowError("no length"))
    __iter__ = lambda self: throw(TypeError("no iteration"))


class OddKind:
    __sorva_kind__ = "asset"
    __sorva_original__ = property(lambda self: 1 / 0)
    __sorva_metadata__ = {"k": float("nan")}


plain_texts = st.text(alphabet=st.characters(blacklist_categories=["Cs"]), max_size=8)
texts = plain_texts | st.sampled_from(["\ud800", "a\udfff", "", "json", "os.path", ".", "..rel", "__main__"])
scalars = st.none() | st.booleans() | st.integers() | st.floats() | texts | st.binary(max_size=4)
odd = st.sampled_from([Hostile(), OddKind(), type("StrWithKind", (str,), {"__sorva_kind__": "asset"})("x"), m.Partitions,
                       m.AssetWrapper, object(), len, 42])
leaves = scalars | odd | st.builds(m.partitions, st.lists(st.integers() | plain_texts, max_size=3))
objects = st.recursive(leaves, lambda inner: st.lists(inner, max_size=4) | st.tuples(inner, inner)
                       | st.dictionaries(texts | st.integers(), inner, max_size=4), max_leaves=12)

SETTINGS = settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])


def outcome(call):
    try:
        return call()
    except Exception:
        return None


@SETTINGS
@given(name=objects, inputs=objects, partitions=objects, serializer=objects, target=objects)
def test_asset_and_its_wrapper(name, inputs, partitions, serializer, target):
    decorator = outcome(lambda: m.asset(name=name, inputs=inputs, partitions=partitions, serializer=serializer))
    if decorator is None:
        return
    wrapper = decorator(target)
    metadata = wrapper.__sorva_metadata__
    assert metadata["kind"] == "asset"
    json.dumps(metadata)
    for attribute in ["__name__", "__qualname__", "__module__", "__doc__"]:
        outcome(lambda: getattr(wrapper, attribute))
    outcome(wrapper)


@SETTINGS
@given(modules=objects)
def test_partitions_and_inspect_modules(modules):
    outcome(lambda: m.partitions(modules))
    if isinstance(modules, (list, tuple)) and any(isinstance(n, str) and n.strip(".") for n in modules):
        return  # importing arbitrary names would run arbitrary installed modules
    result = outcome(lambda: m.inspect_modules(modules))
    assert result is None or result == '{"assets":[]}'
