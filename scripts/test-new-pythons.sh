#!/usr/bin/env bash
# Runs the whole test suite on CPython versions newer than brevix knows the
# internal layouts of (3.14 and 3.15, Debian's packages): builds a Debian
# unstable (sid) amd64 chroot with debootstrap, installs python3.14 and
# python3.15 with their headers, g++ and cmake in it, builds brevix from this
# checkout for each with -Werror (public C API only: BREVIX_KNOWN_LAYOUT has
# no effect there) and runs pytest.
#
# The chroot is a tmpfs on a fresh directory under /tmp (BREVIX_SID_DIR
# overrides the parent), unmounted and removed at exit. If the stage cannot
# run (not root, debootstrap fails) it says so and exits non-zero. Extra
# arguments go to pytest; BREVIX_SID_MIRROR names another Debian mirror,
# BREVIX_NEW_PYTHONS the versions (default "3.14 3.15").
set -euo pipefail
cd "$(dirname "$0")/.."
checkout=$(pwd)
mirror=${BREVIX_SID_MIRROR:-http://deb.debian.org/debian}
versions=${BREVIX_NEW_PYTHONS:-3.14 3.15}
start=$SECONDS

die() { echo "new-pythons stage FAILED: $* (the suite on CPython $versions did NOT run)" >&2; exit 1; }

[ "$(id -u)" = 0 ] || die "needs root to build and enter a chroot"
if ! command -v debootstrap >/dev/null; then
    { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap; } \
        || die "could not install debootstrap"
fi

root=$(mktemp -d "${BREVIX_SID_DIR:-/tmp}/brevix-sid.XXXXXX")
mounted=()
cleanup() {
    local status=$? i
    set +e
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
        umount "${mounted[i]}" 2>/dev/null || umount -l "${mounted[i]}"
    done
    if awk -v r="$root" '$5 == r || index($5, r "/") == 1' /proc/self/mountinfo | grep -q .; then
        echo "new-pythons stage: mounts left under $root, not removing it" >&2
        exit 1
    fi
    rm -rf --one-file-system "$root"
    exit "$status"
}
trap cleanup EXIT

mount -t tmpfs -o size=6g,mode=755 tmpfs "$root" || die "cannot mount a tmpfs on $root"
mounted+=("$root")

packages=g++,make,cmake,locales,ca-certificates
for version in $versions; do packages+=",python$version,python$version-dev,python$version-venv"; done
echo "== debootstrap sid amd64 into $root ($packages)"
for attempt in 1 2; do
    debootstrap --variant=minbase --include="$packages" sid "$root" "$mirror" >"$root.log" 2>&1 && break
    tail -n 20 "$root.log" >&2
    [ "$attempt" = 2 ] && { rm -f "$root.log"; die "debootstrap of the sid chroot failed twice"; }
    { umount "$root" && mount -t tmpfs -o size=6g,mode=755 tmpfs "$root"; } || die "cannot reset $root"
done
rm -f "$root.log"
echo "   chroot ready after $((SECONDS - start)) s"

for spec in "proc proc /proc" "sysfs sysfs /sys" "bind /dev /dev" "devpts devpts /dev/pts"; do
    read -r kind source target <<<"$spec"
    mkdir -p "$root$target"
    if [ "$kind" = bind ]; then mount --bind "$source" "$root$target"; else mount -t "$kind" "$source" "$root$target"; fi
    mounted+=("$root$target")
done
cp -L /etc/resolv.conf "$root/etc/resolv.conf"
cp -L /etc/ssl/certs/ca-certificates.crt "$root/etc/ssl/host-ca.crt"

# A copy of the checkout as it stands, committed or not, without ignored files.
mkdir -p "$root/src/brevix"
git -C "$checkout" ls-files -z --cached --others --exclude-standard \
    | (cd "$checkout" && xargs -0 -r sh -c 'for f; do [ -e "$f" ] && printf "%s\0" "$f"; done' sh) \
    | tar -C "$checkout" --null -T - -cf - | tar -C "$root/src/brevix" -xf -

inner_env=(HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8
           PIP_CERT=/etc/ssl/host-ca.crt PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_DEFAULT_TIMEOUT=180
           BREVIX_WERROR=ON "VERSIONS=$versions")
for var in http_proxy https_proxy no_proxy HTTP_PROXY HTTPS_PROXY NO_PROXY OPENBLAS_CORETYPE OPENBLAS_L2_SIZE; do
    [ -n "${!var:-}" ] && inner_env+=("$var=${!var}")
done

env -i "${inner_env[@]}" chroot "$root" /bin/bash -s -- "$@" <<'INNER'
set -euo pipefail
localedef -i en_US -f UTF-8 en_US.UTF-8
cd /src/brevix
for version in $VERSIONS; do
    echo "== CPython $(python$version -c 'import platform; print(platform.python_version())')"
    python$version -m venv /opt/venv-$version
    /opt/venv-$version/bin/python -m pip install -q pytest hypothesis "regex==2026.5.9"
    /opt/venv-$version/bin/python -m pip install -q --config-settings=build-dir=/opt/build-$version .
    /opt/venv-$version/bin/python -c 'import brevix._internal as i
print("   built: known layout", i.known_layout(), "- exact traceback lines", i.exact_tracebacks())
assert not i.known_layout()'
    (cd tests && /opt/venv-$version/bin/python -m pytest -q -p no:cacheprovider . "$@")
done
INNER
echo "== new-pythons stage passed in $((SECONDS - start)) s"
