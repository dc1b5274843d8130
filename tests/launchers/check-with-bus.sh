#!/usr/bin/env bash
# Usage: check-with-bus.sh GPRS_SIM
# The launcher's promises: a bus and a ready simulator for the command, the
# command's exit status passed on, and nothing left running afterwards, also
# when the command crashes or the launcher itself is killed.
set -uo pipefail
sim=$1
here=$(cd "$(dirname "$0")" && pwd)
wb=$here/with-bus
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

alive() { # running, not a zombie waiting to be reaped
    local state
    state=$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null) || return 1
    [ "$state" != Z ]
}
wait_gone() {
    local pid
    for pid in "$@"; do
        timeout 20 bash -c "while [ -e /proc/$pid ] && [ \"\$(awk '{print \$3}' /proc/$pid/stat 2>/dev/null)\" != Z ]; do sleep 0.02; done" \
            || fail "pid $pid still running: $(cat /proc/"$pid"/cmdline 2>/dev/null | tr '\0' ' ')"
    done
}

# The command runs on the private bus, with the simulator serving.
out=$("$wb" --sim "$sim" -- sh -c 'echo "$DBUS_SYSTEM_BUS_ADDRESS"; dbus-send --system --print-reply \
    --dest=com.orvel.quelm.GPRS /com/orvel/quelm/gprs com.orvel.quelm.GPRS.GetStatus') \
    || fail "GetStatus through the launcher failed"
address=$(echo "$out" | head -n1)
case $address in unix:path=*) ;; *) fail "bus address '$address'" ;; esac
echo "$out" | grep -q 'array \[' || fail "no GetStatus reply: $out"
socket=${address#unix:path=}
socket=${socket%%,*}
[ ! -e "$(dirname "$socket")" ] || fail "bus directory left behind"

# Exit status is the command's.
"$wb" sh -c 'exit 3'
[ $? -eq 3 ] || fail "exit status not passed on"

# A simulator that never says ready: an error, not a hang.
"$wb" --sim false -- true 2>/dev/null
[ $? -eq 2 ] || fail "missing ready not reported"
"$wb" --sim "$sim" 2>/dev/null
[ $? -eq 2 ] || fail "usage error not reported"

# A crashing command: everything the launcher started is stopped.
"$wb" --sim "$sim" -- bash -c 'pgrep -P $PPID >'"$work/crash-pids"'; kill -SEGV $$'
[ $? -eq 139 ] || fail "crash not reported as 139"
[ "$(wc -l <"$work/crash-pids")" -ge 4 ] || fail "expected bus, simulator, drain and command: $(cat "$work/crash-pids")"
for pid in $(cat "$work/crash-pids"); do
    alive "$pid" && fail "pid $pid survived the crash"
done

# The launcher killed outright (as a harness does on a timeout): its children
# follow it through the parent-death signal.
mkfifo "$work/started"
# (Its own temporary directory, which it cannot remove then, goes with ours.)
TMPDIR=$work "$wb" --sim "$sim" -- bash -c 'pgrep -P $PPID >'"$work/kill-pids"'; echo >'"$work/started"'; exec sleep 300' &
launcher=$!
read -r _ <"$work/started"
kill -KILL $launcher
wait $launcher 2>/dev/null
wait_gone $(cat "$work/kill-pids")
echo "with-bus: all checks passed"
