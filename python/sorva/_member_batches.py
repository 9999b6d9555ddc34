"""A large module inspected in batches of its members, so that its inspection output is never held whole.

Every inspection record carries its module's whole source: a module of 2,000
assets in a 142 kB file makes an output of 300 MB. The native inspection stays
the only maker of records; what changes is the module it finds. It imports the
name, which hands it `sys.modules[name]`; reads the module's source through
the module's dunders (`__file__`, `__loader__`, `__spec__`, and `__dict__` for
the line cache); and walks `inspect.getmembers`, which lists what `dir` lists,
sorted by name, and reads each one with `getattr`. So it is given, in turn,
stand-ins: plain modules holding everything the module held when its
inspection began, whose `__dir__` lists one batch of its names. Taken in name
order, the batches give the records of one call on the whole module, byte for
byte, and a failing member fails its batch with the error one call meets
first. Where a stand-in could answer otherwise (a module type of its own, a
`__dir__` or `__getattr__` of the module's), the module is inspected in one
call.
"""

from __future__ import annotations

import sys
import types
from collections.abc import Iterator

# Characters of output held at a time, reckoned as members times the length of the module's source;
# but a batch holds at least BATCH_MEMBERS members: each batch reads and normalises the source again,
# which costs about as much as writing a few of its records, and that must stay a small share.
BATCH_CHARS = 1 << 24
BATCH_MEMBERS = 100


def inspected(name: str) -> Iterator[str]:
    """The inspection output of the module `name`: that of one call, or of each batch of its members in turn."""
    from sorva._sorva import inspect_modules

    plan = _batches(name)
    if plan is None:
        yield inspect_modules([name])
        return
    module, members, batches = plan
    for batch in batches:
        stand_in = types.ModuleType(name)
        held = vars(stand_in)
        held.clear()  # only what the module holds: one it lacks must stay missing
        held.update(members)
        held["__dir__"] = batch.copy
        sys.modules[name] = stand_in
        try:
            output = inspect_modules([name])
        finally:
            sys.modules[name] = module
        yield output


def _batches(name: str) -> tuple[types.ModuleType, dict[str, object], list[list[str]]] | None:
    """The module named `name`, what it holds, and its names in batches; None when one call must inspect it."""
    import importlib
    import inspect

    module = sys.modules.get(name)
    if type(module) is not types.ModuleType:
        return None  # not imported yet (the inspection imports it), or of a type that may list or look up otherwise
    members = dict(vars(module))
    if "__dir__" in members or "__getattr__" in members or any(type(key) is not str for key in members):
        return None
    try:
        # Already imported, so this runs no code: it is the module the inspection will be given.
        if importlib.import_module(name) is not module:
            return None
        source_chars = len(inspect.getsource(module))
    except Exception:
        return None  # one call meets the same failure and reports it
    size = max(BATCH_MEMBERS, BATCH_CHARS // max(1, source_chars))
    if len(members) <= size:
        return None
    names = sorted(members)
    return module, members, [names[start:start + size] for start in range(0, len(names), size)]
