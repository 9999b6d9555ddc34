"""sorva: declare Python functions as assets, discover them, materialise them."""

from sorva._sorva import AssetWrapper, Partitions, asset, partitions

__version__ = "0.1.0"
__all__ = ["AssetWrapper", "Partitions", "asset", "partitions", "__version__"]
