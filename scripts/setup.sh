#!/usr/bin/env bash
# Installs the Debian packages needed to build and test Bootloader, but only those missing.
set -euo pipefail

packages=(cmake make g++ qtbase5-dev qtbase5-dev-tools libqt5serialport5-dev)
# The station's panel serves over HTTP with libmicrohttpd (found with pkg-config).
packages+=(libmicrohttpd-dev pkg-config)
# `forward` and the plant report reach PostgreSQL through Qt SQL and its PostgreSQL driver.
packages+=(libqt5sql5 libqt5sql5-psql)
# The release checks of the suite: the MinGW resource compiler for the Windows resource script,
# desktop-file-validate for the desktop entry, and dpkg-dev for the package's dependencies.
packages+=(binutils-mingw-w64-x86-64 desktop-file-utils dpkg-dev)

# Optional groups, named as arguments, for checks the plain build and suite do not need:
#   browser   headless Chromium, its WebDriver and Selenium for the panel's browser test, and
#             promtool (package prometheus) for its metrics: checks CI requires
#   fuzz      clang with its libFuzzer and sanitizer runtimes, and llvm-symbolizer for reports
#   memcheck  valgrind
#   postgres  PostgreSQL, for the tests of `forward` against a cluster of their own: a check CI
#             requires
#   qt6       Qt 6, to build and test against it as well (`make test-qt6`)
#   release   lintian for the package, appstreamcli for the AppStream metadata, man for the
#             manual pages and systemd-analyze (package systemd) for the station's unit: the
#             release checks CI requires (`make` asks for them with CI=true)
#   screenshot  Xvfb, a window manager and ImageMagick, for scripts/screenshot.sh
#   windows   the MinGW-w64 C++ compiler, for the Windows compile check (`make windows-check`)
for group in "$@"; do
    case "$group" in
    browser) packages+=(chromium chromium-driver python3-selenium prometheus) ;;
    fuzz) packages+=(clang libclang-rt-dev llvm) ;;
    memcheck) packages+=(valgrind) ;;
    postgres) packages+=(postgresql) ;;
    qt6) packages+=(qt6-base-dev qt6-serialport-dev libqt6sql6-psql) ;;
    release) packages+=(lintian appstream man-db systemd) ;;
    screenshot) packages+=(xvfb openbox x11-utils imagemagick) ;;
    windows) packages+=(g++-mingw-w64-x86-64) ;;
    *)
        echo "setup.sh: unknown package group '$group' (known: browser, fuzz, memcheck, postgres, qt6, release, screenshot, windows)" >&2
        exit 2
        ;;
    esac
done

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

echo "Installing missing packages: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
