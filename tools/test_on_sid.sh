#!/usr/bin/env bash
# Runs the whole test suite on CPython 3.14 (`make test-3.14`).
#
# The host's glibc is too old for a 3.14 interpreter, so the tests run in a
# Debian unstable root made with debootstrap. The root is kept between runs
# on one machine (TAVIK_SID_ROOT, /var/cache/tavik/sid by default), so the
# second run only copies the checkout in, rebuilds what changed and tests;
# a machine without it builds it first (about a minute and a half).
#
# All mounts live in a private mount namespace of their own and are also
# unmounted by a trap, so nothing stays mounted after the run, whether it
# passed, failed or was interrupted.
#
# Environment: TAVIK_SID_ROOT (where the root is kept), TAVIK_SID_MIRROR
# (the Debian mirror), TAVIK_SID_REFRESH=1 (build the root anew),
# PYTEST_ARGS (passed to pytest instead of "tests").
set -euo pipefail

CHECKOUT=$(cd "$(dirname "$0")/.." && pwd)
ROOT=${TAVIK_SID_ROOT:-/var/cache/tavik/sid}
MIRROR=${TAVIK_SID_MIRROR:-http://deb.debian.org/debian}
# The interpreter and its build tools, then what the suite needs at run time:
# Xvfb and Mesa's software OpenGL (the same set as the Makefile's).
PACKAGES="python3.14 python3.14-venv python3.14-dev g++ cmake ca-certificates
xvfb xauth xdotool libx11-6 libxext6 libgl1 libegl1 libgl1-mesa-dri bubblewrap"
PACKAGES=$(echo $PACKAGES)
# pip inside the root goes through the same TLS interception as the host's,
# so it needs the host's CA bundle.
HOST_CA=${PIP_CERT:-${SSL_CERT_FILE:-/etc/ssl/certs/ca-certificates.crt}}

say() { echo "test-3.14: $*"; }

if [ "$(id -u)" != 0 ]; then
    echo "test-3.14 needs root (debootstrap, mount, chroot)" >&2
    exit 1
fi

if [ "${1:-}" != "--inside-namespace" ]; then
    if ! command -v debootstrap >/dev/null; then
        apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null
    fi
    mkdir -p "$(dirname "$ROOT")"
    # One run at a time per root: two runs would unmount each other's /proc.
    exec flock "$ROOT.lock" unshare --mount --propagation private bash "$0" --inside-namespace
fi

build_root() {
    say "building a Debian unstable root in $ROOT"
    rm -rf "$ROOT.new"
    debootstrap --variant=minbase sid "$ROOT.new" "$MIRROR" > "$ROOT.debootstrap.log" 2>&1 || {
        tail -20 "$ROOT.debootstrap.log" >&2
        return 1
    }
    # The mirror serves a dated snapshot whose Release file has expired.
    cat > "$ROOT.new/etc/apt/apt.conf.d/99tavik" <<'EOF'
Acquire::Check-Valid-Until "false";
APT::Install-Recommends "false";
EOF
    rm -rf "$ROOT"
    mv "$ROOT.new" "$ROOT"
}

mounted=()
unmount_all() {
    local index
    for ((index = ${#mounted[@]} - 1; index >= 0; index--)); do
        umount "${mounted[index]}" 2>/dev/null || umount -l "${mounted[index]}" 2>/dev/null || true
    done
    mounted=()
}
trap unmount_all EXIT
mount_in_root() {  # TYPE SOURCE TARGET
    mount -t "$1" "$2" "$ROOT/$3"
    mounted+=("$ROOT/$3")
}

in_root() {
    chroot "$ROOT" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        PIP_CERT=/etc/tavik-host-ca.crt SSL_CERT_FILE=/etc/tavik-host-ca.crt \
        PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_DEFAULT_TIMEOUT=180 \
        DEBIAN_FRONTEND=noninteractive "$@"
}

if [ "${TAVIK_SID_REFRESH:-}" = 1 ] || [ ! -x "$ROOT/usr/bin/apt-get" ]; then
    build_root
fi

mount_in_root proc proc proc
mount_in_root sysfs sysfs sys
mount_in_root tmpfs tmpfs dev/shm
cp /etc/resolv.conf "$ROOT/etc/resolv.conf"
cp "$HOST_CA" "$ROOT/etc/tavik-host-ca.crt"

if [ "$(cat "$ROOT/etc/tavik-packages" 2>/dev/null)" != "$PACKAGES" ]; then
    say "installing $PACKAGES"
    in_root apt-get update -qq
    # shellcheck disable=SC2086
    in_root apt-get install -y -qq $PACKAGES > "$ROOT.apt.log" 2>&1 || { tail -20 "$ROOT.apt.log" >&2; exit 1; }
    echo "$PACKAGES" > "$ROOT/etc/tavik-packages"
fi

# A copy of the checkout as git sees it (tracked and new, unignored files),
# with its mtimes, so the kept build folder only recompiles what changed.
mkdir -p "$ROOT/work/tavik"
find "$ROOT/work/tavik" -mindepth 1 -maxdepth 1 ! -name build -exec rm -rf {} +
if git -C "$CHECKOUT" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    (cd "$CHECKOUT" && git ls-files -z --cached --others --exclude-standard \
        | xargs -0 sh -c 'for f; do [ -e "$f" ] && printf "%s\0" "$f"; done' sh \
        | tar --null -T - -cf -) | tar -xf - -C "$ROOT/work/tavik"
else
    tar -C "$CHECKOUT" --exclude=./.venv --exclude=./build --exclude=./dist -cf - . | tar -xf - -C "$ROOT/work/tavik"
fi

in_root python3.14 --version
[ -x "$ROOT/work/venv/bin/python" ] || in_root python3.14 -m venv /work/venv
say "pip install \".[test]\""
in_root sh -c 'cd /work/tavik && /work/venv/bin/python -m pip install --quiet ".[test]"'
say "running the suite"
# shellcheck disable=SC2086
in_root sh -c "cd /work/tavik && exec /work/venv/bin/python -m pytest ${PYTEST_ARGS:-tests} -q -p no:cacheprovider"
