"""Declaration costs: calling a wrapper against calling the function directly
and through a functools.wraps wrapper, decorating, and reading metadata.

Usage: python3 bench/declare_bench.py   (with sorva importable)
"""

import functools
import os
import sys
import tempfile
import textwrap
import timeit

from sorva._sorva import asset, partitions

REPEAT = 7


def best(statement, number, namespace):
    timer = timeit.Timer(statement, globals=namespace)
    return min(timer.repeat(REPEAT, number)) / number


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
        direct = best(f"f({args})", 500_000, namespace)
        wrapped = best(f"w({args})", 500_000, namespace)
        wraps = best(f"p({args})", 500_000, namespace)
        print(f"{label:24} {direct * 1e9:9.1f} {wrapped * 1e9:12.1f} {wraps * 1e9:10.1f} {wrapped / direct:16.2f} {wraps / wrapped:15.2f}")


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
    with_inputs = best("asset(inputs={'x': raw})(f)", 20_000, namespace)
    prescribed = best("str(pathlib.Path(inspect.getsourcefile(raw.__sorva_original__)).resolve())", 20_000, namespace)
    with_parts = best("asset(partitions=parts)(f)", 200_000, namespace)
    w = asset(inputs={"x": "ref"}, partitions=namespace["parts"])(f)
    namespace["w"] = w
    metadata = best("w.__sorva_metadata__", 200_000, namespace)
    print()
    print(f"asset()(f)                        {bare * 1e9:9.1f} ns")
    print(f"asset(partitions=...)(f)          {with_parts * 1e9:9.1f} ns")
    print(f"asset(inputs={{'x': raw}})(f)       {with_inputs * 1e9:9.1f} ns")
    print(f"  the prescribed Python calls     {prescribed * 1e9:9.1f} ns   (ratio {with_inputs / prescribed:.2f})")
    print(f"w.__sorva_metadata__              {metadata * 1e9:9.1f} ns")


if __name__ == "__main__":
    print(f"Python {sys.version.split()[0]}")
    calls()
    decoration()
