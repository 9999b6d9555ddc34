#!/bin/sh
# test-version.sh X.Y[t] [--tsan] [PYTEST ARGUMENTS]: builds the extension for
# Python X.Y (X.Yt: its free-threaded build) and runs the Python suite with it
# (or the tests the arguments name), using a copy of Debian's pure-Python test
# packages. The interpreter is the pyenv one found on machines of this kind,
# else one on the PATH, else one unpacked from an archive in ../shared/python
# beside the repository into a cache folder outside it. Skips when there is none.
# --tsan: builds with clang's ThreadSanitizer instead and runs the threaded
# stress test only, long, under it (tools/tsan.supp says what is ignored).
set -eu
version=$1
shift
tsan=
if [ "${1:-}" = "--tsan" ]; then
    tsan=1
    shift
fi
root=$(cd "$(dirname "$0")/.." && pwd)
[ $# -gt 0 ] || set -- "$root/tests"
cache=${XDG_CACHE_HOME:-$HOME/.cache}/sorva
case $version in
    *t) series=${version%t} archived=cpython-freethreaded- suffix=t ;;
    *) series=$version archived=cpython- suffix= ;;
esac

# Unpacks the archive once; concurrent runs race harmlessly, since the
# finished folder appears by one rename and a loser just drops its copy.
unpacked() {
    archive=$(ls "$root"/../shared/python/"$archived$series".*-*.tar.xz 2>/dev/null | tail -n 1 || true)
    [ -n "$archive" ] || return 0
    release=$(basename "$archive" | sed "s/^$archived\([0-9.]*\)-.*/\1/")$suffix
    target="$cache/python-$release"
    if [ ! -x "$target/bin/python3" ]; then
        mkdir -p "$cache"
        work="$cache/.unpack.$$"
        rm -rf "$work"
        mkdir "$work"
        echo "unpacking $(basename "$archive") into $target" >&2
        tar -xJf "$archive" -C "$work"
        mv -T "$work/cpython-$release" "$target" 2>/dev/null || true
        rm -rf "$work"
    fi
    echo "$target/bin/python3"
}

python=$(ls -d /root/.pyenv/versions/"$version".*/bin/python 2>/dev/null | tail -n 1 || true)
[ -n "$python" ] || python=$(command -v "python$version" 2>/dev/null || true)
case "$python" in */.pyenv/shims/*) python="" ;; esac
[ -n "$python" ] || python=$(unpacked)
if [ -z "$python" ]; then
    echo "no Python $version here: skipped"
    exit 0
fi
echo "Python $version: $python"
build="$root/build-$version${tsan:+-tsan}"

# Meson finds a 3.12+ interpreter only through setuptools' distutils shim.
if ! "$python" -c "import setuptools" 2>/dev/null; then
    wheel=$(ls /usr/share/python-wheels/setuptools-*.whl | tail -n 1)
    "$python" -m pip install --quiet --no-index "$wheel"
fi

if [ -n "$tsan" ]; then
    CXX=clang++-14 "$root/tools/dev-build.sh" "$python" "$build" \
        -Db_sanitize=thread -Db_lundef=false -Dbuildtype=debugoptimized
else
    "$root/tools/dev-build.sh" "$python" "$build"
fi

# The pure-Python packages: pytest and hypothesis, and rich (with what it
# imports) for the live progress display, which is tested where it is found.
pylib="$build/pylib"
if [ ! -d "$pylib/rich" ]; then
    mkdir -p "$pylib"
    for package in py.py pytest _pytest pluggy iniconfig packaging attr attrs hypothesis sortedcontainers \
                   _hypothesis_ftz_detector.py _hypothesis_pytestplugin.py \
                   rich pygments markdown_it mdurl typing_extensions.py; do
        [ -e "/usr/lib/python3/dist-packages/$package" ] || continue
        rm -rf "$pylib/$package"
        cp -r "/usr/lib/python3/dist-packages/$package" "$pylib/"
    done
fi
# Plain asserts: the assertion rewriter of this pytest predates 3.14.
if [ -z "$tsan" ]; then
    PYTHONPATH="$build/dev:$pylib" "$python" -m pytest -q -p no:cacheprovider --assert=plain "$@"
    exit 0
fi
# The runtime preloaded is GCC's: clang 14's shared one, as Debian ships it,
# crashes before main when preloaded (libstdc++, which it needs, starts first
# and calls one of its interceptors before it is set up). The interface the
# instrumented code calls is the same. Uncaptured (-s), so that a report is
# seen; the first one fails the run.
LD_PRELOAD="$(g++ -print-file-name=libtsan.so)" \
TSAN_OPTIONS="suppressions=$root/tools/tsan.supp halt_on_error=1" SORVA_STRESS_ROUNDS=300 \
PYTHONPATH="$build/dev:$pylib" "$python" -m pytest -q -s -p no:cacheprovider --assert=plain \
    "$root/tests/test_module.py::test_threads_share_the_module"
