#!/usr/bin/env bash
# `make demo`: uploads the sample image to bootloader-sim with bootloader-cli, then checks that
# the image the simulated device saved is exactly the records of the sample.
#
#   scripts/demo.sh [BUILD_DIR [IMAGE]]
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
image="${2:-$root/examples/blink.bin}"
sim="$build/sim/bootloader-sim"
cli="$build/cli/bootloader-cli"

work="$(mktemp -d)"
sim_pid=""
stop_sim() {
    if [ -n "$sim_pid" ]; then
        kill -TERM "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" || true
        sim_pid=""
    fi
}
cleanup() {
    stop_sim
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

echo "== Starting the simulated device (its line paced at 115200 baud both ways)"
"$sim" --baud 115200 --save "$work/received.bin" >"$work/port" 2>"$work/sim.log" &
sim_pid=$!

# The port path is the simulator's first line on stdout.
port=""
for _ in $(seq 100); do
    if [ -s "$work/port" ]; then
        port="$(head -n 1 "$work/port")"
        break
    fi
    if ! kill -0 "$sim_pid" 2>/dev/null; then
        break
    fi
    sleep 0.05
done
if [ -z "$port" ]; then
    echo "demo: bootloader-sim did not print its port" >&2
    cat "$work/sim.log" >&2
    exit 1
fi
echo "   bootloader-sim is on $port"

echo "== bootloader-cli upload $port ${image#"$root"/}"
status=0
"$cli" upload "$port" "$image" || status=$?

echo "== Stopping the simulated device"
stop_sim
cat "$work/sim.log"
if [ "$status" -ne 0 ]; then
    echo "demo: bootloader-cli exited with $status" >&2
    exit 1
fi

# The records are the bytes from each '{' up to and including the next '}'; nothing else is sent.
perl -0777 -ne 'binmode STDOUT; print $1 while /(\{[^}]*\})/g' "$image" >"$work/expected.bin"
if ! cmp -s "$work/expected.bin" "$work/received.bin"; then
    echo "demo: the image the device saved differs from the records of ${image#"$root"/}" >&2
    cmp "$work/expected.bin" "$work/received.bin" >&2 || true
    exit 1
fi
echo "== The device saved exactly the $(tr -cd "}" <"$work/expected.bin" | wc -c) records sent"
