#!/bin/bash
# Builds velzar and the libssh2 floor for one CPython and runs the benchmark (bench/run.py); arguments go to run.py.
#
#   VELZAR_BENCH_PYTHON   the CPython to benchmark velzar under (default 3.9)
#   VELZAR_BUILD_ROOT     where the build folders go (default ./build)
#
#   sudo ./scripts/bench.sh              # full run, both servers (sshd needs root)
#   ./scripts/bench.sh --quick --repeat 1
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
version=${VELZAR_BENCH_PYTHON:-3.9}
build_root=${VELZAR_BUILD_ROOT:-$root/build}
build="$build_root/py$version"

# A failed set-up is not fatal: what is missing shows up below, in the build
# or as a server run.py skips with a note.
if ! sh "$root/scripts/setup.sh"; then
    echo "bench.sh: scripts/setup.sh failed; going on with what is installed" >&2
fi

# Only the module and the floor: the test suites are not needed for figures.
VELZAR_PYTHONS=$version VELZAR_REQUIRED_PYTHONS=$version VELZAR_CTEST_FILE=0 \
    VELZAR_TARGET=_velzar_wrapper VELZAR_BUILD_ROOT=$build_root bash "$root/scripts/build.sh"
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target velzar_floor

# The interpreter build.sh chose for this version, as CMake recorded it.
python=$(sed -n 's/^Python3_EXECUTABLE:[A-Z]*=//p' "$build/CMakeCache.txt")
if [ -z "$python" ]; then
    echo "bench.sh: no Python3_EXECUTABLE in $build/CMakeCache.txt" >&2
    exit 1
fi

exec /usr/bin/python3 "$root/bench/run.py" --python "$python" --pythonpath "$build" \
    --floor "$build/bench/velzar_floor" --plot "$build_root/bench/velzar-bench.png" "$@"
