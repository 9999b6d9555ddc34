"""Inspection benchmark: inspect_modules over a generated code base, set against
the same Python calls made from Python on the same objects.

Usage: PYTHONPATH=build/dev python3 bench/inspect_bench.py [--modules 200] [--assets 25]

The generated modules hold assets with inputs, partitions and return
annotations of every kind, plus helpers and constants that are not assets.
Timings are process CPU time, taken after a first call has imported the
modules, so every run sees the same warm caches; each figure is the best of
--repeat rounds. The module's own work is inspect_modules less the same calls
made from Python; those carry a little bytecode of their own around each call,
so the share shown leans low rather than high.
"""

import argparse
import gc
import importlib
import json
import pathlib
import sys
import tempfile
import textwrap
import time

import sorva._sorva as m

ANNOTATIONS = ["-> int", "-> Model", "-> list[int]", "-> None", '-> "Frame"', "", "-> dict[str, Model]"]


def asset_source(index):
    upstream = f"inputs={{'up': asset_{index - 1}, 'raw': 'elsewhere:raw'}}, " if index else ""
    partitions = "partitions={'region': partitions(['eu', 'us', 'ap']), 'day': partitions([1, 2])}" if index % 3 == 0 else ""
    return textwrap.dedent(
        f"""

        @asset({upstream}{partitions})
        def asset_{index}(up=None, region="eu", day=1) {ANNOTATIONS[index % len(ANNOTATIONS)]}:
            \"\"\"Asset number {index}: sums its upstream and tags the region.\"\"\"
            total = sum(up.values()) if isinstance(up, dict) else 0
            return {{"region": region, "day": day, "total": total + {index}, "label": "é{index}"}}


        def helper_{index}(value):
            return value * {index}
        """
    )


def module_source(assets):
    header = "from sorva import asset, partitions\n\nLIMIT = 10\n\n\nclass Model:\n    pass\n"
    return header + "".join(asset_source(i) for i in range(assets))


def write_code_base(folder, modules, assets):
    source = module_source(assets)
    names = []
    for i in range(modules):
        name = f"inspect_bench_mod_{i}"
        (folder / f"{name}.py").write_text(source, encoding="utf-8")
        names.append(name)
    return names


def prescribed_calls(names):
    """The interpreter calls inspect_modules makes, in its order, made from
    Python on the same objects; only the JSON work is left out."""
    import importlib
    import inspect
    import pathlib
    import sys
    import textwrap

    info = sys.version_info
    info.major, info.minor, info.micro
    for name in names:
        module = importlib.import_module(name)
        textwrap.dedent(inspect.getsource(module)).strip()
        for item in inspect.getmembers(module):
            value = item[1]
            try:
                kind = value.__sorva_kind__
            except BaseException:
                continue
            if not (isinstance(kind, str) and kind == "asset"):
                continue
            metadata = value.__sorva_metadata__
            __import__("json").dumps(metadata)
            try:
                original = value.__sorva_original__
            except BaseException:
                original = value
            textwrap.dedent(inspect.getsource(original)).strip()
            original.__name__
            str(pathlib.Path(inspect.getsourcefile(original)).resolve())
            annotation = inspect.signature(original).return_annotation
            if annotation is not inspect.Signature.empty:
                is_class = __import__("builtins").isinstance(annotation, type)
                annotation.__name__ if is_class else str(annotation)
            module.__name__


def best_of(repeat, *runs):
    """The best time of each (function, argument) pair over `repeat` rounds,
    the pairs taking turns so that a busy machine slows all of them alike."""
    best = [float("inf")] * len(runs)
    for _ in range(repeat):
        for i, (function, argument) in enumerate(runs):
            gc.collect()
            start = time.process_time()
            function(argument)
            best[i] = min(best[i], time.process_time() - start)
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--modules", type=int, default=200)
    parser.add_argument("--assets", type=int, default=25)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="sorva-inspect-bench-") as folder:
        names = write_code_base(pathlib.Path(folder), args.modules, args.assets)
        sys.path.insert(0, folder)
        importlib.invalidate_caches()

        start = time.process_time()
        text = m.inspect_modules(names)
        first = time.process_time() - start
        records = len(json.loads(text)["assets"])
        assert records == args.modules * args.assets, records
        print(f"code base: {args.modules} modules x {args.assets} assets = {records} records, "
              f"output {len(text.encode()) / 1e6:.1f} MB")
        print(f"first call, imports included: {first * 1e3:.0f} ms")

        del text
        total, calls = best_of(args.repeat, (m.inspect_modules, names), (prescribed_calls, names))
        own = total - calls
        print(f"inspect_modules:              {total * 1e3:8.1f} ms")
        print(f"prescribed calls from Python: {calls * 1e3:8.1f} ms")
        print(f"module's own work:            {own * 1e3:8.1f} ms ({own / total:.1%} of the total)")

        print("growth (inspect_modules, prescribed calls):")
        counts = (args.modules // 4, args.modules // 2, args.modules)
        runs = [(function, names[:count]) for count in counts for function in (m.inspect_modules, prescribed_calls)]
        times = best_of(args.repeat, *runs)
        for i, count in enumerate(counts):
            total, calls = times[2 * i], times[2 * i + 1]
            growth = f", x{total / times[2 * i - 2]:.2f} for x{count / counts[i - 1]:.0f} modules" if i else ""
            print(f"  {count:4} modules: {total * 1e3:7.1f} ms, {calls * 1e3:7.1f} ms; "
                  f"{total / count * 1e3:.2f} ms per module, own {(total - calls) / total:.1%}{growth}")


if __name__ == "__main__":
    main()
