#!/bin/sh
# test-version.sh X.Y: builds the extension for the pyenv interpreter X.Y
# found on machines of this kind and runs the Python suite with it, using a
# copy of Debian's pure-Python test packages. Skips when the interpreter is
# not there.
set -eu
version=$1
root=$(cd "$(dirname "$0")/.." && pwd)
python=$(ls -d /root/.pyenv/versions/"$version".*/bin/python 2>/dev/null | tail -n 1 || true)
if [ -z "$python" ]; then
    echo "no Python $version here: skipped"
    exit 0
fi
build="$root/build-$version"

# Meson finds a 3.12+ interpreter only through setuptools' distutils shim.
if ! "$python" -c "import setuptools" 2>/dev/null; then
    wheel=$(ls /usr/share/python-wheels/setuptools-*.whl | tail -n 1)
    "$python" -m pip install --quiet --no-index "$wheel"
fi

"$root/tools/dev-build.sh" "$python" "$build"

pylib="$build/pylib"
if [ ! -d "$pylib" ]; then
    mkdir -p "$pylib"
    for package in py.py pytest _pytest pluggy iniconfig packaging attr attrs hypothesis sortedcontainers \
                   _hypothesis_ftz_detector.py _hypothesis_pytestplugin.py; do
        cp -r "/usr/lib/python3/dist-packages/$package" "$pylib/"
    done
fi
# Plain asserts: the assertion rewriter of this pytest predates 3.14.
PYTHONPATH="$build/dev:$pylib" "$python" -m pytest -q -p no:cacheprovider --assert=plain "$root/tests"
