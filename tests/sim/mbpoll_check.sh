#!/bin/sh
# mbpoll, a Modbus master nobody here wrote, talks to trovel-sim over its pseudo-terminal
# and over its Modbus TCP port: the same reads, write and exception both ways.
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

fail() {
    echo "FAILED: $1"
    echo "--- trovel-sim log"
    cat "$dir/log"
    exit 1
}

# Options first, then the device or host, then any values to write.
check() {
    poll() { mbpoll $connect -0 -o 2 -1 "$@" "$target"; }
    write() { mbpoll $connect -0 -o 2 -1 "$@"; }

    # Registers 100-101 hold the motor speed, 50.0 from the factory, low half first.
    out=$(poll -a 1 -r 100 -c 1 -t 4:float) || fail "reading the motor speed"
    echo "$out"
    echo "$out" | grep -Eq '^\[100\]:[[:space:]]+50$' || fail "motor speed is not 50"

    out=$(poll -a 1 -r 100 -c 2 -t 4:hex) || fail "reading registers 100-101"
    echo "$out" | grep -Eq '^\[100\]:[[:space:]]+0x0000$' || fail "register 100 is not the low half"
    echo "$out" | grep -Eq '^\[101\]:[[:space:]]+0x4248$' || fail "register 101 is not the high half"

    # A write with function 16 reads back, on the second controller only.
    write -a 2 -r 100 -t 4:float "$target" "$1" >/dev/null || fail "writing the motor speed"
    out=$(poll -a 2 -r 100 -c 1 -t 4:float) || fail "reading back"
    echo "$out" | grep -Eq "^\[100\]:[[:space:]]+$1\$" || fail "the write did not read back"
    out=$(poll -a 1 -r 100 -c 1 -t 4:float) || fail "reading controller 1 again"
    echo "$out" | grep -Eq '^\[100\]:[[:space:]]+50$' || fail "controller 1 changed too"

    # A register outside the map is an exception, which mbpoll reports as such.
    if poll -a 1 -r 201 -c 1 >"$dir/out" 2>&1; then fail "register 201 was read"; fi
    grep -qi "illegal data address" "$dir/out" || fail "no illegal data address for register 201"
}

# The terminal and a Modbus TCP port on a free port, one set of controllers behind both.
"$sim" --link "$link" --listen-modbus-tcp 127.0.0.1:0 --controllers 1-2 -v >"$dir/log" 2>&1 &
pid=$!
tries=0
until [ -L "$link" ] && grep -q '^modbus+tcp://' "$dir/log"; do
    tries=$((tries + 1))
    if [ "$tries" -gt 200 ]; then echo "trovel-sim made no link or port"; cat "$dir/log"; exit 1; fi
    sleep 0.05
done
port=$(sed -n 's#^modbus+tcp://127\.0\.0\.1:\([0-9]*\)$#\1#p' "$dir/log")

connect="-m rtu -b 19200 -d 8 -s 1 -P none" target=$link
check 12.5
echo "mbpoll and trovel-sim agree over the terminal"

# Over Modbus TCP the frame must carry the transaction number back and lose the CRC, or
# mbpoll refuses it; what the terminal wrote is seen here, the controllers being the same.
connect="-m tcp -p $port" target=127.0.0.1
out=$(poll -a 2 -r 100 -c 1 -t 4:float) || fail "reading over TCP what was written over the terminal"
echo "$out" | grep -Eq '^\[100\]:[[:space:]]+12.5$' || fail "TCP does not reach the same controllers"
check 7.25
echo "mbpoll and trovel-sim agree over Modbus TCP"
