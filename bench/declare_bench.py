"""Declaration costs: calling a wrapper against calling the function directly
and through a functools.wraps wrapper, decorating, and reading metadata.

Ratios are medians of rounds that time the statements compared in turn;
none is a target, so none is checked.

Usage: python3 bench/declare_bench.py   (with sorva importable)
"""

import functools
import os
import sys
import tempfile
import textwrap
import timeit

import instructions
from sorva._sorva import asset, partitions

REPEAT = 7


def best(statement, number, namespace):
    timer = timeit.Timer(statement, globals=namespace)
    return min(timer.repeat(REPEAT, number)) / number


def interleaved(statements, number, namespace):
    """Per statement, the median time of REPEAT rounds, each round timing
    every statement in turn so that the machine's load touches all alike;
    and per round the times themselves, for ratios taken within a round."""
    timers = [timeit.Timer(statement, globals=namespace) for statement in statements]
    rounds = [[timer.timeit(number) / number for timer in timers] for _ in range(REPEAT)]
    return rounds


def median_ratio(rounds, a, b):
    return instructions.median([times[a] / times[b] for times in rounds])


def f(a, b=0, *args):
    return a


def python_wrapper(function):
    @functools.wraps(function)
    def wrapper(*args, **kwargs):
        return function(*args, **kwargs)

    return wrapper


def calls():
    namespace = {"f": f, "w": asset()(f), "p": python_wrapper(f)}
    print("call                      direct ns   wrapper ns   wraps ns   wrapper/direct   wraps/wrapper")
    for label, args in [("positional  f(1, 2)", "1, 2"), ("keywords    f(1, b=2)", "1, b=2"), ("*args       f(*t)", "*t")]:
        namespace["t"] = (1, 2, 3)
        rounds = interleaved([f"f({args})", f"w({args})", f"p({args})"], 500_000, namespace)
        direct, wrapped, wraps = (instructions.median([times[i] for times in rounds]) for i in range(3))
        print(f"{label:24} {direct * 1e9:9.1f} {wrapped * 1e9:12.1f} {wraps * 1e9:10.1f} "
              f"{median_ratio(rounds, 1, 0):16.2f} {median_ratio(rounds, 2, 1):15.2f}")


def decoration():
    folder = tempfile.mkdtemp()
    with open(os.path.join(folder, "bench_upstream.py"), "w") as source:
        source.write(textwrap.dedent("""
            from sorva._sorva import asset

            @asset()
            def raw():
                return 1
        """))
    sys.path.insert(0, folder)
    import bench_upstream
    import inspect
    import pathlib

    namespace = {"asset": asset, "f": f, "raw": bench_upstream.raw, "partitions": partitions,
                 "inspect": inspect, "pathlib": pathlib,
                 "parts": {"d": partitions(["a", "b", "c"])}}
    bare = best("asset()(f)", 200_000, namespace)
    rounds = interleaved(["asset(inputs={'x': raw})(f)",
                          "str(pathlib.Path(inspect.getsourcefile(raw.__sorva_original__)).resolve())"], 20_000, namespace)
    with_inputs, prescribed = (instructions.median([times[i] for times in rounds]) for i in range(2))
    with_parts = best("asset(partitions=parts)(f)", 200_000, namespace)
    w = asset(inputs={"x": "ref"}, partitions=namespace["parts"])(f)
    namespace["w"] = w
    metadata = best("w.__sorva_metadata__", 200_000, namespace)
    print()
    print(f"asset()(f)                        {bare * 1e9:9.1f} ns")
    print(f"asset(partitions=...)(f)          {with_parts * 1e9:9.1f} ns")
    print(f"asset(inputs={{'x': raw}})(f)       {with_inputs * 1e9:9.1f} ns")
    print(f"  the prescribed Python calls     {prescribed * 1e9:9.1f} ns   (ratio {median_ratio(rounds, 0, 1):.2f})")
    print(f"w.__sorva_metadata__              {metadata * 1e9:9.1f} ns")


if __name__ == "__main__":
    print(f"Python {sys.version.split()[0]}")
    calls()
    decoration()
