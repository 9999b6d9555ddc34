"""Types of the native module: `@asset(...)` keeps the decorated function's parameters and result."""

from collections.abc import Callable, Sequence
from typing import Any, Generic, ParamSpec, TypeVar, final

_P = ParamSpec("_P")
_R = TypeVar("_R")

__all__ = ["AssetWrapper", "Partitions", "asset", "partitions", "inspect_modules", "materialize_asset"]

@final
class Partitions:
    """Marker type returned by `partitions([...])`. Stores the static values."""

@final
class AssetWrapper(Generic[_P, _R]):
    """The `@asset()` decorator wrapper. Stores the original function and metadata."""

    @property
    def __sorva_kind__(self) -> str: ...
    @property
    def __sorva_metadata__(self) -> dict[str, Any]: ...
    @property
    def __sorva_original__(self) -> Callable[_P, _R]: ...
    @property
    def __wrapped__(self) -> Callable[_P, _R]: ...
    @property
    def __name__(self) -> str: ...
    @property
    def __qualname__(self) -> str: ...
    def __call__(self, *args: _P.args, **kwargs: _P.kwargs) -> _R: ...
    # Never binds: through a class or an instance, the wrapper itself.
    def __get__(self, instance: object, owner: type | None = None) -> AssetWrapper[_P, _R]: ...

def asset(
    *,
    name: str | None = None,
    inputs: dict[str, AssetWrapper[..., Any] | str] | None = None,
    partitions: dict[str, Partitions] | None = None,
    serializer: str | None = None,
) -> Callable[[Callable[_P, _R]], AssetWrapper[_P, _R]]: ...
def partitions(values: list[Any]) -> Partitions: ...
def inspect_modules(modules: Sequence[str]) -> str: ...
def materialize_asset(
    module_name: str, function_name: str, output_dir: str, input_kwargs_json: str | None = None
) -> None: ...
