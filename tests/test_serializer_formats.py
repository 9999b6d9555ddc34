"""The built-in serializers: what csv and npy write and read back, and what they refuse (pickle and json: test_values)."""

import pytest

from sorva import serializers

pandas = pytest.importorskip("pandas")
numpy = pytest.importorskip("numpy")


@pytest.mark.parametrize("name, value, same", [
    ("csv", pandas.DataFrame({"city": ["oslo", "qu\u00edto"], "sales": [1.5, 2.25], "count": [3, 4]},
                             index=pandas.Index([10, 20], name="store")),
     lambda a, b: a.equals(b) and a.index.name == b.index.name),
    ("npy", numpy.arange(12, dtype=numpy.float32).reshape(3, 4), lambda a, b: a.dtype == b.dtype and (a == b).all()),
])
def test_built_in_serializers_read_back_what_they_wrote(tmp_path, name, value, same):
    serializer = serializers.lookup(name, "report")
    path = tmp_path / f"value{serializer.suffix}"
    serializer.dump(value, path)
    assert same(value, serializer.load(path))


@pytest.mark.parametrize("name, value, error, message", [
    ("csv", pandas.Series([1, 2]), TypeError, "csv stores a pandas DataFrame, not 'Series'"),
    ("npy", [1, 2], TypeError, "npy stores a numpy array, not 'list'"),
    ("npy", numpy.int64(3), TypeError, "npy stores a numpy array, not 'int64'"),
    ("npy", numpy.array([object()]), ValueError, "Object arrays cannot be saved when allow_pickle=False"),
])
def test_a_value_of_the_wrong_kind_is_refused(tmp_path, name, value, error, message):
    with pytest.raises(error) as info:
        serializers.lookup(name, "report").dump(value, tmp_path / "value")
    assert str(info.value) == message

