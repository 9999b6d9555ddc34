#!/bin/sh
# clone-check.sh PYTHON: clones the committed state of the repository into a
# fresh temporary folder, where nothing sits beside it, and runs the C++ unit
# tests and the Python suite there from a build of its own. Fails when the
# build or the tests need a file that is not committed or lies outside the
# repository.
set -eu
python=$1
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

git clone --quiet --no-hardlinks "$root" "$work/sorva"
echo "clone-check: $(git -C "$work/sorva" log -1 --format='%h %s') in $work/sorva"
make -C "$work/sorva" --no-print-directory PYTHON="$python" unit pytest
