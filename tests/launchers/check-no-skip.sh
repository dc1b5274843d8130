#!/usr/bin/env bash
# Usage: check-no-skip.sh BUILD_DIR
# Where namespaces cannot be made (a failing unshare first on PATH stands in
# for such a machine), in-netns and the demo skip (77), unless TARNEX_NO_SKIP
# is set, as CI sets it: then they fail.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
fake=$(mktemp -d)
trap 'rm -rf "$fake"' EXIT
printf '#!/bin/sh\nexit 1\n' >"$fake/unshare"
chmod +x "$fake/unshare"
for cmd in "$here/in-netns -- true" "$here/../../scripts/demo --build $1 --skip-missing"; do
    env -u TARNEX_NO_SKIP PATH="$fake:$PATH" $cmd >/dev/null 2>&1
    skipped=$?
    TARNEX_NO_SKIP=1 PATH="$fake:$PATH" $cmd >/dev/null 2>&1
    failed=$?
    [ $skipped = 77 ] && [ $failed = 1 ] || { echo "FAIL: $cmd exited $skipped, $failed with TARNEX_NO_SKIP" >&2; exit 1; }
done
echo "no-skip: skipped without TARNEX_NO_SKIP, failed with it"
