#!/usr/bin/env bash
# Takes docs/panel.png: the panel of a real station in headless Chromium, with simulated boards
# loaded, loading and failed, and a slot waiting. Needs `scripts/setup.sh browser` and a build
# (BUILD_DIR, default build).
set -euo pipefail
cd "$(dirname "$0")/.."
build="${BUILD_DIR:-build}"
cmake --build "$build" --target bootloader-cli-short-timing bootloader-sim -j2
/usr/bin/python3 tests/station_browser.py "$build/tests/short-timing/bootloader-cli" \
    "$build/sim/bootloader-sim" --chromium "$(command -v chromium)" \
    --chromedriver "$(command -v chromedriver)" --screenshot docs/panel.png
