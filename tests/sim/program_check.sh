#!/bin/sh
# trovel-sim as people run it: the link, the device path, the log, a clean exit on signals,
# link refusal and takeover, commands while running. Usage: program_check.sh PATH-TO-TROVEL-SIM
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

# A second simulator keeps its hands off the first one's link; once the first is gone for
# good (killed, so the link stays behind), the stale link is taken over.
first=$dir/first
"$sim" --link "$first" >"$dir/log" 2>&1 &
pid=$!
wait_for_link "$first"
device=$(readlink "$first")
status=0
"$sim" --link "$first" >"$dir/second.log" 2>&1 || status=$?
[ "$status" -eq 2 ] || fail "a second simulator on a live link exited with $status"
grep -q "running simulator" "$dir/second.log" || fail "no reason given for refusing the link"
[ "$(readlink "$first")" = "$device" ] || fail "the live link was taken over"
kill -KILL "$pid"; wait "$pid" 2>/dev/null || true
"$sim" --link "$first" >"$dir/log" 2>&1 &
pid=$!
tries=0
# The new terminal may well get the old number, so the link must lead to a live one.
until [ -e "$first" ] && [ "$(readlink "$first")" = "$(head -n 1 "$dir/log")" ]; do
    tries=$((tries + 1)); [ "$tries" -gt 200 ] && fail "stale link not replaced"; sleep 0.05
done
kill "$pid"; wait "$pid" || true; pid=

: >"$dir/file"
if "$sim" --link "$dir/file" >"$dir/log" 2>&1; then fail "a regular file was taken over"; fi
[ -f "$dir/file" ] && [ ! -L "$dir/file" ] || fail "the regular file was touched"

# Commands while it runs: a fault comes and goes, the terminal is pulled and put back.
link=$dir/controlled
"$sim" --link "$link" --control "$dir/ctl" -v >"$dir/log" 2>&1 &
pid=$!
wait_for_link "$link"
command() { # command, acknowledgement expected
    echo "$1" >"$dir/ctl"
    tries=0
    until grep -q "^control: $2" "$dir/log"; do
        tries=$((tries + 1)); [ "$tries" -gt 100 ] && fail "'$1' not acknowledged with '$2'"; sleep 0.05
    done
}
request() { # what the log must show for the speed read
    printf '\001\003\000\144\000\002\205\324' >"$link"
    tries=0
    until [ "$(grep -c "$1" "$dir/log")" -gt "${2:-0}" ]; do
        tries=$((tries + 1)); [ "$tries" -gt 100 ] && fail "no '$1' in the log"; sleep 0.05
    done
}
command "fault no-answer" "ok fault no-answer added"
request "request .*(fault: no-answer)"
command "fault none" "ok faults cleared"
request "reply .*01 03 04 00 00 42 48"
old=$(readlink "$link")
command unplug "ok unplugged $old"
[ ! -e "$link" ] && [ ! -L "$link" ] || fail "the link outlived the unplug"
command replug "ok replugged /dev/pts/"
request "reply .*01 03 04 00 00 42 48" 1
command bogus "error unknown command 'bogus'"
kill "$pid"; wait "$pid" || fail "exit status $? after commands"; pid=
[ ! -e "$dir/ctl" ] || fail "the FIFO it made outlived it"

"$sim" --help >"$dir/log" 2>&1 || fail "--help failed"
for option in --link --listen-rtu --listen-modbus-tcp --controllers --turnaround --fault --control --seed --verbose Example; do
    grep -q -- "$option" "$dir/log" || fail "--help does not mention $option"
done
echo "trovel-sim behaves"
