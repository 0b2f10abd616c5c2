#!/usr/bin/env bash
# Create (once) and enter a Debian sid root that carries CPython 3.14 and 3.15
# (release, debug and headers) and the test tools as Debian packages. The root
# lives in a cache folder outside the checkout so fresh clones reuse it: about
# 1.5 GB, made in a few minutes the first time.
#
#   scripts/sid-root.sh ensure          create it if missing; exit 3 if it can't be
#   scripts/sid-root.sh run CMD...      run CMD inside it with the checkout at /src
set -euo pipefail

ROOT=${KESTRUM_SID_ROOT:-${XDG_CACHE_HOME:-$HOME/.cache}/kestrum/sid}
PACKAGES=(python3.14 python3.14-dev python3.14-dbg python3.15 python3.15-dev python3.15-dbg python3-pytest python3-pytest-timeout python3-hypothesis
          python3-scikit-build-core python3-pip g++ cmake make ninja-build)
STAMP="$ROOT/.kestrum-ready"
WANT="packages: ${PACKAGES[*]}"

# Progress goes to standard error and, when the caller opened descriptor 3 for
# it (scripts/test.sh does), to the terminal there.
say() {
    echo "sid root: $*" >&2
    { echo "    $*" >&3; } 2>/dev/null || true
}

# The Debian mirror this machine already uses, read from its apt configuration.
debian_mirror() {
    local uri
    uri=$(grep -hsE '^(URIs:|deb )' /etc/apt/sources.list /etc/apt/sources.list.d/*.list \
              /etc/apt/sources.list.d/*.sources 2>/dev/null \
          | grep -oE 'https?://[^ ]+/debian/?' | grep -v security | head -n1)
    [ -n "$uri" ] || return 1
    echo "${uri%/}"
}

ensure() {
    if [ -f "$STAMP" ] && [ "$(cat "$STAMP")" = "$WANT" ]; then
        return 0
    fi
    local mirror
    mirror=$(debian_mirror) || { say "no Debian mirror in the apt configuration"; return 3; }
    if [ ! -x "$ROOT/usr/bin/apt-get" ]; then
        command -v debootstrap >/dev/null || { say "debootstrap is not installed (apt-get install debootstrap)"; return 3; }
        rm -rf "$ROOT"
        mkdir -p "$ROOT"
        say "debootstrap of Debian sid from $mirror into $ROOT (once; a few minutes)"
        # Sid's release key may be newer than this host's keyring; the packages
        # still come over the same mirror apt on this host trusts.
        if ! debootstrap --variant=minbase --no-check-gpg sid "$ROOT" "$mirror" \
                >"$ROOT.debootstrap.log" 2>&1; then
            say "debootstrap failed (see $ROOT.debootstrap.log)"
            rm -rf "$ROOT"
            return 3
        fi
    fi
    # The mirror may serve a frozen copy of sid whose Release file has expired.
    echo 'Acquire::Check-Valid-Until "false";' >"$ROOT/etc/apt/apt.conf.d/99kestrum"
    say "installing into it: ${PACKAGES[*]} (log: $ROOT.apt.log)"
    in_root_raw bash -c "export DEBIAN_FRONTEND=noninteractive;
        apt-get -q update && apt-get -q -y --no-install-recommends install ${PACKAGES[*]}" \
        >"$ROOT.apt.log" 2>&1 || {
        say "package install failed (see $ROOT.apt.log): $(tail -n1 "$ROOT.apt.log")"
        return 3
    }
    echo "$WANT" >"$STAMP"
    say "ready: $(du -sh "$ROOT" 2>/dev/null | cut -f1) in $ROOT"
}

# A private mount namespace: the binds vanish with the command.
in_root_raw() {
    unshare -m bash -c '
        root=$1; shift
        mount -t proc proc "$root/proc"
        mount --bind /dev "$root/dev"
        cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
        if [ -n "${SRC:-}" ]; then mkdir -p "$root/src" && mount --bind "$SRC" "$root/src"; fi
        exec chroot "$root" /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin HOME=/root \
            LANG=C.UTF-8 "$@"
    ' _ "$ROOT" "$@"
}

case "${1:-}" in
    ensure) ensure ;;
    run) shift; SRC=$(pwd) in_root_raw "$@" ;;
    *) echo "usage: $0 ensure | run CMD..." >&2; exit 2 ;;
esac
