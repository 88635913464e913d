#!/bin/bash
# Builds velzar._velzar_wrapper once per CPython, into build/py<major.minor>/,
# and writes build/CTestTestfile.cmake so that one ctest run covers them all.
#
#   VELZAR_PYTHONS           the versions to build (default "3.7 3.9 3.11 3.13")
#   VELZAR_REQUIRED_PYTHONS  those whose absence is an error (default "3.7 3.9")
#   VELZAR_BUILD_ROOT        where the build folders go (default ./build)
#   VELZAR_TARGET            build only this target (default: everything)
#   VELZAR_CTEST_FILE        0: leave build/CTestTestfile.cmake alone
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build_root=${VELZAR_BUILD_ROOT:-$root/build}
versions=${VELZAR_PYTHONS:-"3.7 3.9 3.11 3.13"}
required=${VELZAR_REQUIRED_PYTHONS:-"3.7 3.9"}
jobs=$(nproc 2>/dev/null || echo 2)
target=${VELZAR_TARGET:+--target $VELZAR_TARGET}

# The newest pyenv CPython of one major.minor, else pythonX.Y on PATH.
find_python() {
    local version=$1 pyenv_root candidate
    pyenv_root=$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")
    candidate=$(ls -d "$pyenv_root"/versions/"$version".* 2>/dev/null |
                grep -E "/$version\.[0-9]+$" | sort -V | tail -n 1 || true)
    if [ -n "$candidate" ] && [ -x "$candidate/bin/python$version" ]; then
        echo "$candidate/bin/python$version"
        return
    fi
    command -v "python$version" || true
}

mkdir -p "$build_root"
testfile="$build_root/CTestTestfile.cmake"
if [ "${VELZAR_CTEST_FILE:-1}" = 0 ]; then
    testfile=/dev/null
fi
echo "# Written by scripts/build.sh: one subdirectory per interpreter." > "$testfile"

core_tests=ON
failed=0
for version in $versions; do
    python=$(find_python "$version")
    if [ -z "$python" ]; then
        if [[ " $required " == *" $version "* ]]; then
            echo "velzar: CPython $version is required but was not found" >&2
            failed=1
        else
            echo "velzar: CPython $version not found: its build and tests are skipped" >&2
        fi
        # Shows in CTest's summary as a skipped test, never as a silent pass.
        {
            echo "add_test(py$version.interpreter \"sh\" \"-c\" \"echo CPython $version not found; exit 77\")"
            echo "set_tests_properties(py$version.interpreter PROPERTIES SKIP_RETURN_CODE 77)"
        } >> "$testfile"
        continue
    fi
    echo "velzar: building for $("$python" -c 'import sys; print(sys.version.split()[0])') ($python)"
    cmake -S "$root" -B "$build_root/py$version" -DPython3_EXECUTABLE="$python" \
        -DVELZAR_TEST_PREFIX="py$version." -DVELZAR_BUILD_CORE_TESTS=$core_tests > /dev/null
    cmake --build "$build_root/py$version" -j "$jobs" $target
    echo "subdirs(\"py$version\")" >> "$testfile"
    core_tests=OFF
done
exit $failed
