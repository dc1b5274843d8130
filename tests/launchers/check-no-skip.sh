#!/usr/bin/env bash
# Usage: check-no-skip.sh BUILD_DIR
# Where namespaces cannot be made, in-netns and the demo skip (77), unless
# TARNEX_NO_SKIP is set, as CI sets it: then they fail. A failing unshare
# first on PATH stands in for a machine without them.
set -uo pipefail
build=$1
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
fake=$(mktemp -d)
trap 'rm -rf "$fake"' EXIT
printf '#!/bin/sh\nexit 1\n' >"$fake/unshare"
chmod +x "$fake/unshare"
fail() { echo "FAIL: $*" >&2; exit 1; }

expect() { # STATUS NO_SKIP COMMAND...
    local want=$1 no_skip=$2 got
    shift 2
    if [ -n "$no_skip" ]; then
        PATH="$fake:$PATH" TARNEX_NO_SKIP=1 "$@" >/dev/null 2>&1
    else
        env -u TARNEX_NO_SKIP PATH="$fake:$PATH" "$@" >/dev/null 2>&1
    fi
    got=$?
    [ "$got" = "$want" ] || fail "$* (TARNEX_NO_SKIP=${no_skip:-unset}) exited $got, not $want"
}

expect 77 "" "$here/in-netns" -- true
expect 1 1 "$here/in-netns" -- true
expect 77 "" "$top/scripts/demo" --build "$build" --skip-missing
expect 1 1 "$top/scripts/demo" --build "$build" --skip-missing
echo "no-skip: skipped without TARNEX_NO_SKIP, failed with it"
