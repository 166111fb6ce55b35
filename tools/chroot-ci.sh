#!/usr/bin/env bash
# CI stages for the CPython 3.14 chroot; run from the repository copy there:
#
#   tools/py314.sh run tools/chroot-ci.sh [release] [debug] [ctest] [asan]
#
# With no stage given, all four run in that order.
set -euo pipefail

SRC=$PWD
SCRATCH=$(dirname "$SRC")   # venvs and build trees go beside the copy, not in it

header() { printf '\n==== %s ====\n' "$*"; }

# Fresh venv named $1 for interpreter $2 over Debian's packages (numpy, scipy,
# pytest, ...), with the project installed from $SRC; the remaining arguments go
# to pip. Debian's python3.14 has no ensurepip, so the venv uses the system pip.
install_in_venv() {
    local name=$1 python=$2; shift 2
    rm -rf "$SCRATCH/$name" "$SCRATCH/build-$name"
    "$python" -m venv --system-site-packages --without-pip "$SCRATCH/$name"
    "$SCRATCH/$name/bin/python" -m pip install --no-build-isolation --no-deps \
        -C build-dir="$SCRATCH/build-$name" "$@" "$SRC"
}

# -P keeps the working directory off sys.path: the installed package is the one tested.
# --capture=sys leaves file descriptor 2 alone, so what the sanitizers or a fatal
# error in the debug interpreter print before killing the process stays visible.
run_tests() { "$@" -P -m pytest -q -p no:cacheprovider --capture=sys; }

# Debian unstable's compiler rolls on: its warnings are shown, not fatal
# (the host's pinned compiler builds the release wheel with -Werror).
stage_release() {
    install_in_venv venv-release python3.14
    run_tests "$SCRATCH/venv-release/bin/python"
}

# The suite under the debug interpreter, which turns on its reference-leak
# checks.  The module is built for that interpreter so that its own reference
# counting shows in sys.gettotalrefcount (a release build's does not).  CMake
# includes the headers with -isystem, and gcc would then resolve the
# python3.14d include folder's links to the release pyconfig.h (no Py_DEBUG)
# without -fno-canonical-system-headers.
stage_debug() {
    install_in_venv venv-debug python3.14d \
        -C cmake.define.CMAKE_CXX_FLAGS=-fno-canonical-system-headers
    run_tests "$SCRATCH/venv-debug/bin/python"
}

stage_ctest() {
    local dir=$SCRATCH/ctest
    rm -rf "$dir"
    cmake -S "$SRC" -B "$dir" -G Ninja -DKORVANE_BUILD_TESTS=ON \
        -DKORVANE_BUILD_EXTENSION=OFF
    cmake --build "$dir"
    ctest --test-dir "$dir" --output-on-failure -j "$(nproc)"
}

stage_asan() {
    # The ASan runtime has to be loaded before everything else in the process.
    local asan
    asan=$(g++ -print-file-name=libasan.so)
    [[ -f $asan ]] || { echo "libasan.so not found (got '$asan')" >&2; return 1; }
    install_in_venv venv-asan python3.14 -C cmake.define.KORVANE_SANITIZE=address \
        -C install.strip=false
    # Leak detection is off: the interpreter keeps memory alive until exit by design.
    LD_PRELOAD=$asan \
    ASAN_OPTIONS=detect_leaks=0:halt_on_error=1 \
    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
        run_tests "$SCRATCH/venv-asan/bin/python"
}

stages=("$@")
[[ ${#stages[@]} -gt 0 ]] || stages=(release debug ctest asan)
for s in "${stages[@]}"; do
    declare -F "stage_$s" >/dev/null || { echo "unknown stage '$s'" >&2; exit 2; }
done
# Stages run unguarded so that set -e stops them at the first failing command.
current=""
trap 'rc=$?; [[ $rc -eq 0 || -z $current ]] || header "stage $current FAILED (exit $rc)"' EXIT
for current in "${stages[@]}"; do
    header "stage $current"
    start=$SECONDS
    "stage_$current"
    header "stage $current passed in $((SECONDS - start)) s"
done
current=""
