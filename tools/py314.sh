#!/usr/bin/env bash
# Run commands under CPython 3.14 from Debian unstable, inside a cached chroot,
# on a fresh copy of this repository.
#
#   tools/py314.sh setup              build the chroot cache if it is missing or stale
#   tools/py314.sh run CMD [ARGS...]  copy the repo to /build/korvane in the chroot, run CMD there
#   tools/py314.sh shell              interactive shell in the chroot (same copy step)
#
# Must run as root. Environment:
#   KORVANE_CHROOT_CACHE   where chroots are kept (default /var/cache/korvane)
#   KORVANE_DEBIAN_MIRROR  Debian archive URL (default: taken from this machine's apt sources)
set -euo pipefail
shopt -s nullglob

# Everything the chroot needs; changing this list rebuilds the cache.
PKGS=python3.14,python3.14-dev,python3.14-dbg,python3-numpy,python3-numpy-dev,python3-scipy
PKGS+=,python3-pytest,python3-hypothesis,python3-pip,python3-scikit-build-core,python3-mpmath
PKGS+=,python3-pandas,python3-xarray,python3-dask,python3-distributed
PKGS+=,g++,cmake,ninja-build,libgtest-dev

CACHE_ROOT=${KORVANE_CHROOT_CACHE:-/var/cache/korvane}
REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
WORKDIR=/build/korvane   # inside the chroot

die() { echo "py314.sh: $*" >&2; exit 1; }

# The main Debian archive this host already uses (the stanza or line carrying the
# host's own release codename, so security and third-party sources are skipped).
debian_mirror() {
    if [[ -n ${KORVANE_DEBIAN_MIRROR:-} ]]; then echo "$KORVANE_DEBIAN_MIRROR"; return; fi
    local codename url=""
    codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
    local f
    for f in /etc/apt/sources.list.d/*.sources; do
        url=$(awk -v want="$codename" '
            BEGIN { RS = ""; FS = "\n" }
            {
                uris = ""; ok = 0; off = 0
                for (i = 1; i <= NF; i++) {
                    if ($i ~ /^URIs:/)    { sub(/^URIs:[ \t]*/, "", $i); split($i, u, /[ \t]+/); uris = u[1] }
                    if ($i ~ /^Suites:/)  { n = split($i, s, /[ \t]+/); for (j = 2; j <= n; j++) if (s[j] == want) ok = 1 }
                    if ($i ~ /^Enabled:[ \t]*no/) off = 1
                }
                if (uris != "" && ok && !off) { print uris; exit }
            }' "$f")
        [[ -n $url ]] && break
    done
    if [[ -z $url && -f /etc/apt/sources.list ]]; then
        url=$(sed -E 's/\[[^]]*\]//' /etc/apt/sources.list |
              awk -v want="$codename" '$1 == "deb" && $3 == want { print $2; exit }')
    fi
    [[ -n $url ]] || die "no Debian archive for '$codename' in the apt sources; set KORVANE_DEBIAN_MIRROR"
    echo "${url%/}"
}

# Builds a complete chroot at $1. Its text is part of the cache key, so edits here
# rebuild the cache.
build_chroot() {
    local dir=$1 mirror
    mirror=$(debian_mirror)
    echo "py314.sh: debootstrap sid from $mirror into $dir" >&2
    chmod 755 "$dir"   # mktemp made it private; apt's _apt user must traverse it
    debootstrap --variant=minbase --include="$PKGS" sid "$dir" "$mirror"
    # sid's Release file may be past its Valid-Until on a pinned mirror; debootstrap
    # ignores that date, apt in the chroot needs telling.
    echo 'Acquire::Check-Valid-Until "false";' >"$dir/etc/apt/apt.conf.d/99no-valid-until"
    # python3.14d looks for the debug-tagged name of SciPy's generated config
    # module; the release one has the same content.
    local cfg found=""
    for cfg in "$dir"/usr/lib/python3/dist-packages/scipy/__config__cpython-314-*.py; do
        ln -sf "$(basename "$cfg")" "${cfg/cpython-314-/cpython-314d-}"
        found=1
    done
    [[ -n $found ]] || die "SciPy's __config__cpython-314-*.py not found"
    chroot "$dir" apt-get clean
    mkdir -p "$dir/build"
}

cache_dir() {
    local key
    key=$({ echo "$PKGS"; declare -f build_chroot; } | sha256sum | cut -c1-12)
    echo "$CACHE_ROOT/sid-py314-$key"
}

# Unmount everything below $1, deepest first; lazily if something still holds it
# (e.g. a process left over from a killed run).
unmount_below() {
    local mp
    [[ $1 == /?* ]] || return 0
    findmnt -rn -o TARGET | awk -v p="$1/" 'index($0 "/", p) == 1' | sort -r |
    while IFS= read -r mp; do
        umount "$mp" 2>/dev/null || umount -l "$mp"
    done
}

ensure_chroot() {
    local dir tmp old
    dir=$(cache_dir)
    mkdir -p "$CACHE_ROOT"
    unmount_below "$CACHE_ROOT"   # leftovers from a killed run; we hold the lock
    [[ -d $dir ]] && return 0
    command -v debootstrap >/dev/null || {
        apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap
    }
    # Remove stale caches and half-built ones before building (they are large).
    for old in "$CACHE_ROOT"/sid-py314-*; do rm -rf --one-file-system "$old"; done
    tmp=$(mktemp -d "$CACHE_ROOT/sid-py314-tmp.XXXXXX")
    local start=$SECONDS
    build_chroot "$tmp"
    mv "$tmp" "$dir"
    echo "py314.sh: chroot ready in $((SECONDS - start)) s: $dir" >&2
}

# Fresh copy of the tracked and untracked-but-not-ignored files (as they are on disk).
copy_repo() {
    local root=$1
    rm -rf --one-file-system "$root/build"
    mkdir -p "$root$WORKDIR"
    git -c safe.directory="$REPO" -C "$REPO" ls-files -z -co --exclude-standard |
        while IFS= read -r -d '' f; do [[ -e $REPO/$f || -L $REPO/$f ]] && printf '%s\0' "$f"; done |
        tar -C "$REPO" --null -T - -cf - | tar -C "$root$WORKDIR" -xf -
}

run_in_chroot() {
    ROOT=$(cache_dir)   # global: the EXIT trap runs after this function has returned
    copy_repo "$ROOT"
    trap 'unmount_below "$ROOT"' EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
    mount -t proc proc "$ROOT/proc"
    # debootstrap made the basic device nodes when it could; else borrow the host's.
    [[ -c $ROOT/dev/null ]] || mount --bind /dev "$ROOT/dev"
    # POSIX semaphores and shared memory (multiprocessing) need a tmpfs here.
    mount -t tmpfs -o mode=1777 shm "$ROOT/dev/shm"
    # A clean environment; pip never needs the network here (no build isolation).
    local vars=(HOME=/root LANG=C.UTF-8 TERM="${TERM:-dumb}"
                PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
                PIP_NO_INDEX=1 PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore)
    [[ -n ${CI:-} ]] && vars+=(CI="$CI")
    local rc=0
    # 9>&-: a process left behind in the chroot must not keep holding the lock.
    env -i "${vars[@]}" chroot "$ROOT" /bin/sh -c 'cd "$0" && exec "$@"' "$WORKDIR" "$@" 9>&- || rc=$?
    return "$rc"
}

[[ $EUID -eq 0 ]] || die "must run as root"
[[ $# -ge 1 ]] || die "usage: $0 setup | run CMD [ARGS...] | shell"

# One run at a time: runs share the chroot and its /build.
mkdir -p "$CACHE_ROOT"
exec 9>"$CACHE_ROOT/.lock"
flock 9

cmd=$1; shift
case $cmd in
    setup) ensure_chroot ;;
    run)   [[ $# -ge 1 ]] || die "run needs a command"; ensure_chroot; run_in_chroot "$@" ;;
    shell) ensure_chroot; run_in_chroot /bin/bash ;;
    *)     die "unknown command '$cmd'" ;;
esac
