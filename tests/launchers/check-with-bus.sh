#!/usr/bin/env bash
# Usage: check-with-bus.sh GPRS_SIM
# The launcher's promises: a private bus and a ready simulator for the command,
# the command's exit status passed on (a crash's too), an error rather than a
# hang when the simulator never gets ready, and nothing left running
# afterwards, also when the launcher itself is killed.
set -uo pipefail
sim=$1
wb=$(cd "$(dirname "$0")" && pwd)/with-bus
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
running() { # any of PID... still running, not a zombie waiting to be reaped
    local pid
    for pid in "$@"; do
        [ -e "/proc/$pid" ] && [ "$(awk '{print $3}' "/proc/$pid/stat" 2>/dev/null)" != Z ] && return 0
    done
    return 1
}

out=$("$wb" --sim "$sim" -- sh -c 'echo "$DBUS_SYSTEM_BUS_ADDRESS"; dbus-send --system --print-reply \
    --dest=com.orvel.quelm.GPRS /com/orvel/quelm/gprs com.orvel.quelm.GPRS.GetStatus') \
    || fail "GetStatus through the launcher failed"
address=$(head -n1 <<<"$out")
[[ $address == unix:path=* && $out == *'array ['* ]] || fail "no private bus or no GetStatus reply: $out"
socket=${address#unix:path=}
[ ! -e "$(dirname "${socket%%,*}")" ] || fail "bus directory left behind"

"$wb" --sim false -- true 2>/dev/null
[ $? -eq 2 ] || fail "missing ready not reported"

"$wb" --sim "$sim" -- bash -c 'pgrep -P $PPID >'"$work/crash-pids"'; kill -SEGV $$'
[ $? -eq 139 ] || fail "crash not reported as 139"
[ "$(wc -l <"$work/crash-pids")" -ge 4 ] || fail "expected bus, simulator, drain and command: $(cat "$work/crash-pids")"
! running $(cat "$work/crash-pids") || fail "a process survived the crash"

# The launcher killed outright (as a harness does on a timeout): its children
# follow it through the parent-death signal. (Its own temporary directory,
# which it cannot remove then, goes with ours.)
mkfifo "$work/started"
TMPDIR=$work "$wb" --sim "$sim" -- bash -c 'pgrep -P $PPID >'"$work/kill-pids"'; echo >'"$work/started"'; exec sleep 300' &
launcher=$!
read -r _ <"$work/started"
kill -KILL $launcher
wait $launcher 2>/dev/null
for _ in $(seq 1000); do running $(cat "$work/kill-pids") || break; sleep 0.02; done
! running $(cat "$work/kill-pids") || fail "a process outlived the killed launcher"
echo "with-bus: all checks passed"
