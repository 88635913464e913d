#!/bin/sh
# The whole test run on a fresh Debian 12 machine: install what is missing,
# build for every CPython, run every suite through CTest.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
sh "$root/scripts/setup.sh"
bash "$root/scripts/build.sh"
cd "$root/build"
exec ctest --output-on-failure --timeout 900
