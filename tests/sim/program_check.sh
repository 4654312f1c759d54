#!/bin/sh
# trovel-sim as people run it: the link, the device path, the log, a clean exit on signals,
# and refusals of bad options. Usage: program_check.sh PATH-TO-TROVEL-SIM
set -eu
sim=$1
dir=$(mktemp -d)
pid=
cleanup() {
    if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
    rm -rf "$dir"
}
trap cleanup EXIT
fail() {
    echo "FAILED: $1"
    [ -f "$dir/log" ] && { echo "--- output"; cat "$dir/log"; }
    exit 1
}

wait_for_link() {
    tries=0
    while [ ! -L "$1" ]; do
        tries=$((tries + 1))
        [ "$tries" -gt 200 ] && fail "no link at $1"
        sleep 0.05
    done
}

# Runs until the signal, then must have removed its link and exited with 0.
for signal in INT TERM; do
    link=$dir/line-$signal
    "$sim" --link "$link" --controllers 1-3 --turnaround 2 --fault extra:1@50% -v >"$dir/log" 2>&1 &
    pid=$!
    wait_for_link "$link"
    device=$(head -n 1 "$dir/log")
    case $device in /dev/pts/*) ;; *) fail "first line is not the device path: $device" ;; esac
    [ "$(readlink "$link")" = "$device" ] || fail "the link does not point at $device"

    # A request written into the line shows in the log, with its reply.
    printf '\001\003\000\144\000\002\205\324' >"$link"
    tries=0
    until grep -q "reply .*01 03 04 00 00 42 48" "$dir/log"; do
        tries=$((tries + 1))
        [ "$tries" -gt 100 ] && fail "no reply logged"
        sleep 0.05
    done
    grep -q "request 01 03 00 64 00 02 85 D4" "$dir/log" || fail "request not logged"
    [ "$(grep -c '^#[123] ' "$dir/log")" -ge 3 ] || fail "no status line for each controller"

    kill -"$signal" "$pid"
    status=0
    wait "$pid" || status=$?
    pid=
    [ "$status" -eq 0 ] || fail "exit status $status after SIG$signal"
    [ ! -e "$link" ] && [ ! -L "$link" ] || fail "the link outlived SIG$signal"
    grep -q "stopped by SIG$signal" "$dir/log" || fail "no farewell after SIG$signal"
done

# A stale link is replaced; a real file is left alone.
ln -s /nonexistent "$dir/stale"
"$sim" --link "$dir/stale" >"$dir/log" 2>&1 &
pid=$!
tries=0
until [ "$(readlink "$dir/stale")" != /nonexistent ]; do
    tries=$((tries + 1)); [ "$tries" -gt 200 ] && fail "stale link not replaced"; sleep 0.05
done
kill "$pid"; wait "$pid" || true; pid=

: >"$dir/file"
if "$sim" --link "$dir/file" >"$dir/log" 2>&1; then fail "a regular file was taken over"; fi
[ -f "$dir/file" ] && [ ! -L "$dir/file" ] || fail "the regular file was touched"

# Bad options are refused before anything starts.
for bad in "--controllers 0" "--controllers 1-17" "--fault bogus" "--fault late@2" "--turnaround -1"; do
    # shellcheck disable=SC2086
    if "$sim" $bad >"$dir/log" 2>&1; then fail "accepted $bad"; fi
done

"$sim" --help >"$dir/log" 2>&1 || fail "--help failed"
for option in --link --controllers --turnaround --fault --seed --verbose Example; do
    grep -q -- "$option" "$dir/log" || fail "--help does not mention $option"
done
echo "trovel-sim behaves"
