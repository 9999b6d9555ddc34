"""Causing an internal fault from Python: a dict that changes while asset() walks it."""

import sorva._sorva as m


def changing_inputs(change):
    """Inputs that asset() changes with change(inputs) as it walks them."""
    inputs = {"a": "ref"}

    # A text ref is accepted, so the walk goes on to notice the change.
    class Changes(str):
        @property
        def __sorva_kind__(self):
            change(inputs)
            return "not an asset"

    inputs["b"] = Changes("ref")
    return inputs


def grow(inputs):
    inputs["late"] = "ref"


def cause_fault():
    m.asset(inputs=changing_inputs(grow))
