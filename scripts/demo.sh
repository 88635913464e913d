#!/bin/sh
# The main job on a fresh Debian 12 machine: install what is missing, build
# velzar for one CPython (3.9 by default, VELZAR_DEMO_PYTHON=3.7 for the other
# delivered build), and run a router and a TL1 session against the bundled
# simulated devices.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
version=${VELZAR_DEMO_PYTHON:-3.9}
sh "$root/scripts/setup.sh"
VELZAR_PYTHONS=$version VELZAR_REQUIRED_PYTHONS=$version VELZAR_TARGET=_velzar_wrapper VELZAR_CTEST_FILE=0 \
    bash "$root/scripts/build.sh" > /dev/null
python=$(grep -m1 "^Python3_EXECUTABLE:" "$root/build/py$version/CMakeCache.txt" | cut -d= -f2)
PYTHONPATH="$root/build/py$version" exec "$python" "$root/examples/demo.py"
