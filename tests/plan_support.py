"""Helpers for the planning and scheduling tests: assets from a short description, without any module."""

import json

from sorva._runner.plan import read_assets

FILE = "/srv/app/pipeline.py"


def record(name, inputs=None, partitions=None, source=None, module_source="MODULE"):
    """One inspection record of an asset in /srv/app/pipeline.py; inputs name upstream functions."""
    return {
        "decorator_metadata": {
            "inputs": {parameter: f"{FILE}:{upstream}" for parameter, upstream in (inputs or {}).items()} or None,
            "kind": "asset", "name": None, "serializer": None,
            "partitions": {dim: {"kind": "inline", "values_json": json.dumps(keys)}
                           for dim, keys in (partitions or {}).items()} or None,
        },
        "file_path": FILE, "function_name": name, "function_source": source or f"def {name}(): ...\n",
        "kind": "asset", "module_path": "pipeline", "module_source": module_source,
        "python_version": "3.11.2", "return_type": None,
    }


def assets_of(description, **changes):
    """Assets from (name, inputs) or (name, inputs, partitions) tuples, in that discovery order."""
    return read_assets({"assets": [record(*entry, **changes.get(entry[0], {})) for entry in description]})
