#!/bin/sh
# Installs the Debian packages that building and testing sorva needs, when
# run as root; otherwise says what to install and fails.
set -eu

PACKAGES="g++ make pkg-config meson ninja-build python3-dev python3-pip python3-mesonpy
python3-pytest python3-hypothesis python3-dbg libgtest-dev libbenchmark-dev rapidjson-dev
clang-14 libclang-rt-14-dev clang-format-14 clang-tidy-14 valgrind mypy python3-venv unzip"

missing=""
for package in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $package"
    fi
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "sorva needs these Debian packages:$missing" >&2
    echo "install them with: sudo apt-get install$missing" >&2
    exit 1
fi
echo "installing:$missing"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
# shellcheck disable=SC2086
apt-get install -y -qq --no-install-recommends $missing
