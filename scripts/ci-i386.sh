#!/usr/bin/env bash
# Runs the whole test suite on 32-bit x86: builds a Debian 12 (bookworm)
# i386 chroot with debootstrap, installs Debian's CPython 3.11, g++, cmake and
# numpy in it, builds brevix from this checkout with -Werror and runs pytest.
#
# The chroot is a tmpfs mounted on a fresh directory under /tmp
# (BREVIX_I386_DIR overrides the parent): dpkg's many small synced writes and
# the final removal cost nothing there. It is unmounted and the directory
# removed at exit, after the mounts inside it are undone. If the
# stage cannot run (not root, no chroot, debootstrap fails) it says so and
# exits non-zero: a 32-bit run that did not happen must never look green.
# Extra arguments go to pytest; BREVIX_I386_MIRROR names another Debian mirror.
set -euo pipefail
cd "$(dirname "$0")/.."
checkout=$(pwd)
mirror=${BREVIX_I386_MIRROR:-http://deb.debian.org/debian}
start=$SECONDS

fail() { # exit-status line...
    local status=$1 line
    shift
    {
        echo
        echo "######################################################################"
        for line; do echo "## $line"; done
        echo "######################################################################"
    } >&2
    exit "$status"
}

# The stage could not run: never a silent skip.
die() { fail 1 "i386 stage FAILED: $*" "The 32-bit suite did NOT run."; }

[ "$(id -u)" = 0 ] || die "needs root to build and enter a chroot (running as uid $(id -u))"

if ! command -v debootstrap >/dev/null; then
    echo "== installing debootstrap on the host"
    { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap; } \
        || die "could not install debootstrap"
fi

root=$(mktemp -d "${BREVIX_I386_DIR:-/tmp}/brevix-i386.XXXXXX")
log=$root.debootstrap.log
mounted=()

mounts_below_root() {
    # Mount points at or under $root, deepest first.
    awk -v r="$root" '$5 == r || index($5, r "/") == 1 { print $5 }' /proc/self/mountinfo | sort -r
}

cleanup() {
    local status=$?
    set +e
    local i
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
        umount "${mounted[i]}" 2>/dev/null || umount -l "${mounted[i]}"
    done
    local left
    left=$(mounts_below_root)
    if [ -n "$left" ]; then
        # Never remove a tree with the host's /dev or /sys still mounted in it.
        echo "i386 stage: mounts left under $root, not removing it:" >&2
        echo "$left" >&2
        exit 1
    fi
    rm -rf --one-file-system "$root" "$log"
    exit "$status"
}
trap cleanup EXIT
trap 'fail 130 "i386 stage INTERRUPTED"' INT TERM

mount_in_root() { # type-or-bind source target
    local target="$root$3"
    mkdir -p "$target"
    if [ "$1" = bind ]; then
        mount --bind "$2" "$target"
    else
        mount -t "$1" "$2" "$target"
    fi
    mounted+=("$target")
}

# The chroot, its build and its virtual environment take about 1.2 GB.
mount -t tmpfs -o size=4g,mode=755 tmpfs "$root" || die "cannot mount a tmpfs on $root"
mounted+=("$root")

echo "== debootstrap bookworm i386 into $root"
# debootstrap does not resolve virtual packages: python3.11-venv needs
# python3.11-distutils, which python3-distutils provides.
packages=python3.11,python3.11-dev,python3.11-venv,python3-distutils,g++,make,cmake,python3-numpy,locales,ca-certificates
bootstrap() {
    debootstrap --arch=i386 --variant=minbase --include="$packages" \
        bookworm "$root" "$mirror" >"$log" 2>&1
}
# One retry on a fresh tmpfs: a download that fails once should not fail CI.
for attempt in 1 2; do
    bootstrap && break
    tail -n 30 "$log" >&2
    [ -f "$root/debootstrap/debootstrap.log" ] && tail -n 30 "$root/debootstrap/debootstrap.log" >&2
    [ "$attempt" = 2 ] && die "debootstrap of the i386 chroot failed twice"
    echo "== debootstrap failed; retrying once on an empty tmpfs" >&2
    { umount "$root" && mount -t tmpfs -o size=4g,mode=755 tmpfs "$root"; } \
        || die "cannot reset the tmpfs on $root"
done
rm -f "$log"
echo "   chroot ready after $((SECONDS - start)) s"

mount_in_root proc proc /proc
mount_in_root sysfs sysfs /sys
mount_in_root bind /dev /dev
mount_in_root devpts devpts /dev/pts

# Network for pip: the host's resolver and certificate bundle (which may hold
# a local authority the host's pip is configured to trust).
cp -L /etc/resolv.conf "$root/etc/resolv.conf"
cp -L /etc/ssl/certs/ca-certificates.crt "$root/etc/ssl/host-ca.crt"

# A copy of the checkout as it stands, committed or not, without ignored files.
mkdir -p "$root/src/brevix"
if git -C "$checkout" rev-parse --git-dir >/dev/null 2>&1; then
    git -C "$checkout" ls-files -z --cached --others --exclude-standard \
        | (cd "$checkout" && xargs -0 -r sh -c 'for f; do [ -e "$f" ] && printf "%s\0" "$f"; done' sh) \
        | tar -C "$checkout" --null -T - -cf - | tar -C "$root/src/brevix" -xf -
else
    tar -C "$checkout" --exclude=.git -cf - . | tar -C "$root/src/brevix" -xf -
fi

inner_env=(
    HOME=/root
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
    LANG=C.UTF-8
    PIP_CERT=/etc/ssl/host-ca.crt
    PIP_DISABLE_PIP_VERSION_CHECK=1
    PIP_NO_CACHE_DIR=1
    PIP_DEFAULT_TIMEOUT=180
    BREVIX_WERROR=ON
)
# Proxies, and the OpenBLAS processor settings some machines need.
for var in http_proxy https_proxy no_proxy HTTP_PROXY HTTPS_PROXY NO_PROXY \
        OPENBLAS_CORETYPE OPENBLAS_L2_SIZE; do
    [ -n "${!var:-}" ] && inner_env+=("$var=${!var}")
done

# setarch: uname, and so pip's platform tags and CMake, report i686 as on a
# 32-bit machine.
set +e
env -i "${inner_env[@]}" setarch i686 chroot "$root" /bin/bash -s -- "$@" <<'INNER'
set -euo pipefail
echo "== inside: uname -m $(uname -m); $(python3.11 -c 'import platform, sys; print("Python", platform.python_version(), "with", sys.maxsize.bit_length() + 1, "bit pointers")')"
localedef -i en_US -f UTF-8 en_US.UTF-8
python3.11 -m venv --system-site-packages /opt/venv
# Current setuptools and wheel (Debian's setuptools is too old for some
# packages' metadata): test dependencies without i686 wheels (psutil) build
# from source under --no-build-isolation.
/opt/venv/bin/python -m pip install -q --upgrade "scikit-build-core>=0.10" "pytest>=7" "hypothesis>=6" "mypy>=1.5" \
    setuptools wheel
echo "   build tools ready ($SECONDS s in the chroot)"
cd /src/brevix
/opt/venv/bin/python -m pip install -q --no-build-isolation --config-settings=build-dir=/opt/build ".[test]"
/opt/venv/bin/python -c 'import brevix.tokenizer, numpy; print("== brevix built; numpy", numpy.__version__)'
echo "   built ($SECONDS s in the chroot)"
/opt/venv/bin/python -m pytest -q -p no:cacheprovider tests "$@"
INNER
status=$?
set -e
echo "== i386 stage took $((SECONDS - start)) s"
[ "$status" = 0 ] || fail "$status" "i386 stage FAILED: the 32-bit build or test run failed (exit $status)"
df -h --output=used "$root" | tail -n 1 | xargs echo "   chroot size:"
echo "== i386 stage passed"
