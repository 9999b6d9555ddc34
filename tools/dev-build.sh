#!/bin/sh
# dev-build.sh PYTHON BUILD_DIR [MESON_OPTIONS...]
# Builds the extension for PYTHON in BUILD_DIR and stages it with the
# package sources in BUILD_DIR/dev, so that PYTHONPATH=BUILD_DIR/dev imports
# the development build without installing it.
set -eu
python=$1
build=$2
shift 2
root=$(cd "$(dirname "$0")/.." && pwd)

if [ ! -f "$build/build.ninja" ]; then
    rm -rf "$build"
    mkdir -p "$build"
    printf "[binaries]\npython = '%s'\npython3 = '%s'\n" "$python" "$python" > "$build/native.ini"
    if ! meson setup "$build" "$root" --native-file "$build/native.ini" "$@" > "$build/setup.log" 2>&1; then
        cat "$build/setup.log" >&2
        exit 1
    fi
elif [ $# -gt 0 ]; then
    meson configure "$build" "$@" > /dev/null
fi
ninja -C "$build"

stage="$build/dev/sorva"
mkdir -p "$stage"
# The staging folder mirrors the sources: links to modules moved or removed since go.
find "$stage" -maxdepth 1 -type l ! -exec test -e {} \; -exec rm {} +
for file in "$root"/python/sorva/*; do
    ln -sfn "$file" "$stage/$(basename "$file")"
done
extension=$(cd "$build" && ls _sorva*.so)
ln -sfn "$(cd "$build" && pwd)/$extension" "$stage/$extension"
