"""Causing an internal fault from Python: a dict that grows while asset()
walks it."""

import sorva._sorva as m


def growing_inputs():
    inputs = {"a": "ref"}

    # A text ref is accepted, so the walk goes on to notice the change.
    class Grows(str):
        @property
        def __sorva_kind__(self):
            inputs["late"] = "ref"
            return "not an asset"

    inputs["b"] = Grows("ref")
    return inputs


def cause_fault():
    m.asset(inputs=growing_inputs())
