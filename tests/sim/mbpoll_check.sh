#!/bin/sh
# mbpoll, a Modbus master nobody here wrote, talks to trovel-sim over its pseudo-terminal.
# Usage: mbpoll_check.sh PATH-TO-TROVEL-SIM. Exits 77 (skipped) when mbpoll is missing.
set -eu
sim=$1

if ! command -v mbpoll >/dev/null 2>&1; then
    echo "mbpoll is not installed (Debian package mbpoll): skipped"
    exit 77
fi

dir=$(mktemp -d)
link=$dir/line
pid=
cleanup() {
    if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
    rm -rf "$dir"
}
trap cleanup EXIT

"$sim" --link "$link" --controllers 1-2 -v >"$dir/log" 2>&1 &
pid=$!
tries=0
while [ ! -L "$link" ]; do
    tries=$((tries + 1))
    if [ "$tries" -gt 200 ]; then echo "trovel-sim made no link"; cat "$dir/log"; exit 1; fi
    sleep 0.05
done

# Options first, then the device, then any values to write.
mbpoll_line() {
    mbpoll -m rtu -b 19200 -d 8 -s 1 -P none -0 -o 2 -1 "$@"
}
poll() {
    mbpoll_line "$@" "$link"
}
fail() {
    echo "FAILED: $1"
    echo "--- trovel-sim log"
    cat "$dir/log"
    exit 1
}

# Registers 100-101 hold the motor speed, 50.0 from the factory, low half first.
out=$(poll -a 1 -r 100 -c 1 -t 4:float) || fail "reading the motor speed"
echo "$out"
echo "$out" | grep -Eq '^\[100\]:[[:space:]]+50$' || fail "motor speed is not 50"

out=$(poll -a 1 -r 100 -c 2 -t 4:hex) || fail "reading registers 100-101"
echo "$out" | grep -Eq '^\[100\]:[[:space:]]+0x0000$' || fail "register 100 is not the low half"
echo "$out" | grep -Eq '^\[101\]:[[:space:]]+0x4248$' || fail "register 101 is not the high half"

# A write with function 16 reads back, on the second controller only.
mbpoll_line -a 2 -r 100 -t 4:float "$link" 12.5 >/dev/null || fail "writing the motor speed"
out=$(poll -a 2 -r 100 -c 1 -t 4:float) || fail "reading back"
echo "$out" | grep -Eq '^\[100\]:[[:space:]]+12.5$' || fail "the write did not read back"
out=$(poll -a 1 -r 100 -c 1 -t 4:float) || fail "reading controller 1 again"
echo "$out" | grep -Eq '^\[100\]:[[:space:]]+50$' || fail "controller 1 changed too"

# A register outside the map is an exception, which mbpoll reports as such.
if poll -a 1 -r 201 -c 1 >"$dir/out" 2>&1; then fail "register 201 was read"; fi
grep -qi "illegal data address" "$dir/out" || fail "no illegal data address for register 201"

echo "mbpoll and trovel-sim agree"
