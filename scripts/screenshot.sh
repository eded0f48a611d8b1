#!/usr/bin/env bash
# Takes docs/screenshot.png: the real Bootloader window, with its frame, on a virtual X display.
# Usage: scripts/screenshot.sh [PROGRAM]   (default build/app/bootloader; `make screenshot`)
set -euo pipefail
cd "$(dirname "$0")/.."

program=${1:-build/app/bootloader}
output=docs/screenshot.png
bash scripts/setup.sh screenshot

display=:$((90 + RANDOM % 100))
pids=()
cleanup() {
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
}
trap cleanup EXIT

Xvfb "$display" -screen 0 640x400x24 -nolisten tcp &
pids+=($!)
export DISPLAY=$display
for _ in $(seq 50); do
    xdpyinfo >/dev/null 2>&1 && break
    sleep 0.1
done
openbox &
pids+=($!)
sleep 1
"$program" &
pids+=($!)

window=""
for _ in $(seq 100); do
    window=$(xwininfo -name Bootloader 2>/dev/null | awk '/Window id:/ {print $4}') || true
    [ -n "$window" ] && break
    sleep 0.1
done
if [ -z "$window" ]; then
    echo "screenshot.sh: the Bootloader window did not appear" >&2
    exit 1
fi
sleep 1
mkdir -p docs
import -window "$window" -frame "$output"
echo "wrote $output ($(identify -format '%wx%h' "$output"))"
