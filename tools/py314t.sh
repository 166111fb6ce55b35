#!/usr/bin/env bash
# Free-threaded CPython 3.14t built from a source tarball, cached, and virtual
# environments on it with NumPy, SciPy, the test tools and this project.
#
#   tools/py314t.sh build FLAVOUR      build the interpreter if its cache is missing;
#                                      prints its prefix
#   tools/py314t.sh venv FLAVOUR DIR   fresh venv at DIR with the dependencies and this
#                                      project installed; prints the venv's python
#
# FLAVOUR is `ft` (--disable-gil) or `tsan` (--disable-gil --with-thread-sanitizer;
# the project is then built with -fsanitize=thread).  Exit status 3 means there is
# no tarball: the caller skips its free-threaded stages and says so.
#
# Must run as root (build dependencies come from apt).  Environment:
#   KORVANE_CPYTHON_TARBALL  the CPython 3.14 source tarball (default
#                            ../shared/cpython/Python-3.14.7.tar.xz beside the repository,
#                            or beside the repository this clone was made from)
#   KORVANE_CPYTHON_CACHE    where built interpreters are kept (default /var/cache/korvane)
set -euo pipefail
shopt -s nullglob

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
CACHE_ROOT=${KORVANE_CPYTHON_CACHE:-/var/cache/korvane}
DEFAULT_TARBALL=../shared/cpython/Python-3.14.7.tar.xz
NO_TARBALL=3

# Debian packages the interpreter's build needs (CPython's own recipe, without Tk).
BUILD_DEPS=(build-essential libffi-dev libssl-dev zlib1g-dev libbz2-dev liblzma-dev
            libsqlite3-dev libreadline-dev uuid-dev libgdbm-dev libgdbm-compat-dev
            libzstd-dev libncurses-dev libexpat1-dev pkg-config)
# What every venv gets from PyPI before the project (cp314t wheels exist for both
# NumPy and SciPy); the build tools let the project install without isolation.
# The ft venv also gets the test extras of pyproject.toml.
VENV_DEPS=(numpy scipy pytest scikit-build-core cmake ninja)

die() { echo "py314t.sh: $*" >&2; exit 1; }

# The tarball: the variable if set, else the default beside this repository or
# beside the one it was cloned from.  Empty when there is none.
find_tarball() {
    if [[ -n ${KORVANE_CPYTHON_TARBALL:-} ]]; then
        [[ -f $KORVANE_CPYTHON_TARBALL ]] && realpath "$KORVANE_CPYTHON_TARBALL"
        return 0
    fi
    local origin base
    origin=$(git -c safe.directory="$REPO" -C "$REPO" remote get-url origin 2>/dev/null || true)
    for base in "$REPO" "$origin"; do
        [[ -n $base && -d $base ]] || continue
        if [[ -f $base/$DEFAULT_TARBALL ]]; then
            realpath "$base/$DEFAULT_TARBALL"
            return 0
        fi
    done
}

# CPython's own test suite is not installed: it is a third of the library and
# of the install time (bytecode for it is compiled at three levels).
configure_flags() {
    case $1 in
        ft)   echo "--disable-gil --disable-test-modules" ;;
        tsan) echo "--disable-gil --disable-test-modules --with-thread-sanitizer" ;;
        *)    die "unknown flavour '$1' (ft or tsan)" ;;
    esac
}

install_build_deps() {
    local missing=() p
    for p in "${BUILD_DEPS[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
    done
    [[ ${#missing[@]} -eq 0 ]] && return 0
    echo "py314t.sh: apt-get install ${missing[*]}" >&2
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# Configures, builds and installs the tree unpacked in $1 into prefix $2.  Its
# text is part of the cache key, so edits here rebuild the cache.
build_python() {
    local src=$1 prefix=$2 flavour=$3
    # shellcheck disable=SC2046
    (cd "$src" && ./configure --prefix="$prefix" $(configure_flags "$flavour") >configure.log 2>&1) ||
        { tail -40 "$src/configure.log" >&2; return 1; }
    make -C "$src" -j"$(nproc)" >"$src/make.log" 2>&1 || { tail -60 "$src/make.log" >&2; return 1; }
    make -C "$src" install >"$src/install.log" 2>&1 || { tail -40 "$src/install.log" >&2; return 1; }
    "$prefix/bin/python3.14t" -c 'import sys, sysconfig
assert sysconfig.get_config_var("Py_GIL_DISABLED") == 1, "not a free-threaded build"
assert not sys._is_gil_enabled()
print("py314t.sh: built", sys.version)' >&2
}

# Prefix of the cached interpreter for $1 and tarball $2.
prefix_for() {
    local key
    key=$({ sha256sum <"$2"; echo "$1"; configure_flags "$1"; declare -f build_python; } |
          sha256sum | cut -c1-12)
    echo "$CACHE_ROOT/py314t-$1-$key"
}

# Prints the prefix of a complete build of $1, building it first if needed.
# Runs in a subshell ($(...)), which holds the flavour's lock until it ends.
ensure_python() {
    local flavour=$1 tarball prefix tmp old start=$SECONDS lock
    exec {lock}>"$CACHE_ROOT/.lock-py314t-$flavour"
    flock "$lock"
    tarball=$(find_tarball)
    if [[ -z $tarball ]]; then
        echo "py314t.sh: no CPython tarball (KORVANE_CPYTHON_TARBALL or $DEFAULT_TARBALL)" >&2
        exit $NO_TARBALL
    fi
    prefix=$(prefix_for "$flavour" "$tarball")
    [[ -f $prefix/.complete ]] && { echo "$prefix"; return 0; }
    install_build_deps
    # Stale builds of this flavour go first: each is several hundred MB.
    for old in "$CACHE_ROOT"/py314t-"$flavour"-*; do rm -rf --one-file-system "$old"; done
    tmp=$(mktemp -d "$CACHE_ROOT/build-py314t-$flavour.XXXXXX")
    echo "py314t.sh: building $flavour from $tarball" >&2
    tar -C "$tmp" -xJf "$tarball"
    local src=("$tmp"/Python-*)
    [[ ${#src[@]} -eq 1 ]] || die "expected one Python-* folder in $tarball"
    # The marker goes last: a prefix left by a killed build is never taken.
    build_python "${src[0]}" "$prefix" "$flavour" || { rm -rf "$tmp" "$prefix"; die "build of $flavour failed"; }
    touch "$prefix/.complete"
    rm -rf "$tmp"
    echo "py314t.sh: $flavour ready in $((SECONDS - start)) s: $prefix" >&2
    echo "$prefix"
}

# The venv's packages are installed by pip running on the plain build, which
# shares the ABI (cp314t) and the library layout with the ThreadSanitizer one:
# pip itself under ThreadSanitizer would take minutes.
make_venv() {
    local flavour=$1 dir=$2 prefix installer site
    prefix=$(ensure_python "$flavour")
    installer=$(ensure_python ft)/bin/python3.14t
    rm -rf "$dir"
    "$prefix/bin/python3.14t" -m venv --without-pip "$dir"
    site=$("$dir/bin/python" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')
    local pip=(env PIP_ROOT_USER_ACTION=ignore "$installer" -m pip --disable-pip-version-check -q)
    local deps=("${VENV_DEPS[@]}")
    if [[ $flavour == ft ]]; then
        mapfile -t -O "${#deps[@]}" deps < <("$installer" -c 'import sys, tomllib
print(*tomllib.load(open(sys.argv[1], "rb"))["project"]["optional-dependencies"]["test"], sep="\n")' \
            "$REPO/pyproject.toml")
    fi
    "${pip[@]}" install --prefix "$dir" "${deps[@]}" >&2
    local cmake_args=(-C cmake.define.KORVANE_WERROR=ON)
    # Unstripped, so that reports name our functions and lines.
    [[ $flavour == tsan ]] && cmake_args+=(-C cmake.define.KORVANE_SANITIZE=thread -C install.strip=false)
    PYTHONPATH=$site "${pip[@]}" install --prefix "$dir" --no-build-isolation --no-deps \
        -C build-dir="$dir/.build" "${cmake_args[@]}" "$REPO" >&2
    echo "$dir/bin/python"
}

[[ $EUID -eq 0 ]] || die "must run as root"
[[ $# -ge 2 ]] || die "usage: $0 build FLAVOUR | venv FLAVOUR DIR"
mkdir -p "$CACHE_ROOT"
cmd=$1; shift
case $cmd in
    build) configure_flags "$1" >/dev/null
           prefix=$(ensure_python "$1")
           echo "$prefix" ;;
    venv)  [[ $# -eq 2 ]] || die "venv needs FLAVOUR and DIR"
           configure_flags "$1" >/dev/null
           make_venv "$1" "$2" ;;
    *)     die "unknown command '$cmd'" ;;
esac
