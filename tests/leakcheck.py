"""Runs each scenario many times under the debug interpreter and fails when
the total reference count or the number of allocated blocks keeps growing.

Usage: python3-dbg tests/leakcheck.py [SCENARIO ...]
"""

import gc
import sys

sys.path.insert(0, __import__("os").path.dirname(__file__))

from leak_scenarios import SCENARIOS  # noqa: E402

WARMUP, ROUNDS, PER_ROUND = 50, 5, 200


def measure():
    gc.collect()
    return sys.gettotalrefcount(), sys.getallocatedblocks()


def leaks(scenario):
    for _ in range(WARMUP):
        scenario()
    growth, before = [], measure()
    for _ in range(ROUNDS):
        for _ in range(PER_ROUND):
            scenario()
        after = measure()
        growth.append((after[0] - before[0], after[1] - before[1]))
        before = after
    # Every scenario call walks all of its paths, so a leak on any of them
    # grows by at least one per call in every round; caches and free lists
    # settle well below that.
    refs, blocks = (all(grown[i] >= PER_ROUND for grown in growth) for i in (0, 1))
    return refs or blocks, growth


def leaky_reference():
    import ctypes

    ctypes.pythonapi.Py_IncRef(ctypes.py_object(object()))


def main(names):
    if not hasattr(sys, "gettotalrefcount"):
        print("leakcheck needs a debug interpreter (python3-dbg)", file=sys.stderr)
        return 2
    if leaks(leaky_reference)[0] is not True:
        print("leakcheck cannot see a leaked reference", file=sys.stderr)
        return 2
    selected = [s for s in SCENARIOS if not names or s.__name__ in names]
    failed = 0
    for scenario in selected:
        leaked, growth = leaks(scenario)
        print(f"{'LEAK' if leaked else 'ok':4} {scenario.__name__}: {growth}")
        failed += leaked
    print(f"{len(selected) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
