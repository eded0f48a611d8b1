#!/usr/bin/env bash
# Takes docs/panel.png: the station's panel in headless Chromium, served by paneldemo with a
# board loaded, one loading, one failed and one waiting. Needs `scripts/setup.sh browser` and a
# build (BUILD_DIR, default build) with paneldemo.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${BUILD_DIR:-build}"
cmake --build "$build" --target paneldemo -j2
/usr/bin/python3 tests/panel_browser.py "$build/panel/paneldemo" --chromium "$(command -v chromium)" \
    --chromedriver "$(command -v chromedriver)" --screenshot docs/panel.png
