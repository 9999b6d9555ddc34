#!/bin/sh
# install-deps.sh [demo]: installs the Debian packages that building and
# testing sorva needs, or with `demo` those that building the extension and
# running the example need, when run as root; otherwise says what to install
# and fails.
set -eu

BUILD_PACKAGES="g++ make pkg-config meson ninja-build python3-dev python3-rich"
PACKAGES="$BUILD_PACKAGES python3-pip python3-mesonpy
python3-pytest python3-hypothesis python3-dbg libgtest-dev libbenchmark-dev rapidjson-dev
clang-14 libclang-rt-14-dev libtsan2 clang-format-14 clang-tidy-14 valgrind mypy python3-venv unzip graphviz
python3-pandas python3-numpy python3-distributed fonts-dejavu-core
python3-starlette python3-uvicorn python3-jinja2"
# The browser tests of the report page and the web view are skipped where no browser can be had, and the
# tests of a history in PostgreSQL where the server or psycopg 3 is not installed.
OPTIONAL="chromium chromium-driver python3-selenium postgresql-15 python3-psycopg"
if [ "${1:-}" = demo ]; then
    PACKAGES=$BUILD_PACKAGES
    OPTIONAL=""
fi

installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

missing=""
for package in $PACKAGES; do
    installed "$package" || missing="$missing $package"
done
optional=""
for package in $OPTIONAL; do
    installed "$package" || optional="$optional $package"
done
[ -z "$missing$optional" ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    if [ -z "$missing" ]; then
        echo "optional, for the tests that need it: sudo apt-get install$optional" >&2
        exit 0
    fi
    echo "sorva needs these Debian packages:$missing" >&2
    echo "install them with: sudo apt-get install$missing" >&2
    exit 1
fi
echo "installing:$missing$optional"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
# shellcheck disable=SC2086
[ -z "$missing" ] || apt-get install -y -qq --no-install-recommends $missing
# shellcheck disable=SC2086
[ -z "$optional" ] || apt-get install -y -qq --no-install-recommends $optional \
    || echo "could not install$optional; the tests that need it will be skipped" >&2
