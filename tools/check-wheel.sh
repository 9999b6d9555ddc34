#!/bin/sh
# check-wheel.sh PYTHON: builds the wheel offline, installs it into a fresh
# virtual environment and imports the module from there.
set -eu
python=$1
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$python" -m pip wheel --quiet --no-build-isolation --no-deps -w "$work/dist" "$root"
wheel=$(ls "$work"/dist/sorva-*.whl)
unzip -l "$wheel" | grep -q "sorva/__init__.py"
unzip -l "$wheel" | grep -q "sorva/_sorva\..*\.so"
# Every module of the package, its subpackages' too, is in the wheel.
for module in $(cd "$root/python" && find sorva -name '*.py' -o -name '*.pyi'); do
    unzip -l "$wheel" | grep -q " $module\$" || { echo "not in the wheel: $module" >&2; exit 1; }
done
"$python" -m venv --without-pip "$work/venv"
"$python" -m pip --python "$work/venv/bin/python" install --quiet --no-index --no-deps "$wheel" 2>/dev/null \
    || "$python" -m pip install --quiet --no-index --no-deps --target "$work/site" "$wheel"
cd "$work"
PYTHONPATH="$work/site" "$work/venv/bin/python" -c '
import sorva, sorva._sorva
assert sorva._sorva.__file__.startswith("'"$work"'"), sorva._sorva.__file__
print("wheel ok:", sorva._sorva.__file__.rsplit("/", 1)[-1], sorva.__all__)
'
exported=$(nm -D --defined-only "$(PYTHONPATH="$work/site" "$work/venv/bin/python" -c 'import sorva._sorva as m; print(m.__file__)')" | awk '{print $3}')
[ "$exported" = "PyInit__sorva" ] || { echo "unexpected exported symbols: $exported" >&2; exit 1; }
