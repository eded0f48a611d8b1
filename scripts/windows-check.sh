#!/usr/bin/env bash
# Compiles every translation unit of a Windows build with MinGW-w64 (-fsyntax-only), against this
# machine's Qt 5 headers: the *_windows.cpp files in place of the *_posix.cpp ones, and without
# bootloader-sim, the benchmarks and the tests. It shows that the code compiles for Windows; it is
# neither linked nor run there.
# Usage: windows-check.sh BUILD_DIR [WERROR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-windows-check}
werror=${2:-OFF}
compiler=x86_64-w64-mingw32-g++-posix
command -v "$compiler" > /dev/null || compiler=x86_64-w64-mingw32-g++

# Configured as a Windows build, so that CMake picks the sources a Windows build compiles; moc
# and uic run natively, since what they write does not depend on the system.
mkdir -p "$build"
cmake -S . -B "$build" -DBOOTLOADER_WINDOWS_CHECK=ON -DBOOTLOADER_BUILD_TESTS=OFF \
    -DBOOTLOADER_WERROR="$werror" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON > "$build/configure.log" ||
    { cat "$build/configure.log"; exit 1; }
# Each target's autogen alone (/fast), without the libraries its target links.
for target in $(cmake --build "$build" --target help | sed -n 's/^\.\.\. \(.*_autogen\)$/\1/p'); do
    make -C "$build" --no-print-directory "$target/fast" > /dev/null
done

# Headers of libraries that serve both systems but sit among this system's own headers, which
# MinGW-w64 does not search: each is reached through a folder of its own.
shared="$(cd "$build" && pwd)/windows-headers"
mkdir -p "$shared"
ln -sf /usr/include/microhttpd.h "$shared/microhttpd.h"

# Each command as the native compiler would run it, with the compiler swapped for MinGW-w64's and
# only the syntax checked. -fPIC means nothing on Windows and MinGW says so. The resources rcc
# compiles in (qrc_*.cpp) are data alone, and are made only when the program is built.
python3 - "$build/compile_commands.json" "$compiler" "$shared" <<'EOF'
import json, shlex, subprocess, sys
entries = [entry for entry in json.load(open(sys.argv[1]))
           if not entry["file"].rsplit("/", 1)[-1].startswith("qrc_")]
failed = []
for entry in entries:
    args = shlex.split(entry["command"])
    kept = [sys.argv[2], "-fsyntax-only", "-I" + sys.argv[3]]
    skip = False
    for arg in args[1:]:
        if skip:
            skip = False
            continue
        if arg in ("-o", "-c"):
            skip = arg == "-o"
            continue
        if arg == "-fPIC":
            continue
        kept.append(arg)
    run = subprocess.run(kept, cwd=entry["directory"], capture_output=True, text=True)
    name = entry["file"]
    if run.returncode != 0 or run.stderr.strip():
        failed.append(name)
        print(f"windows-check: {name}\n{run.stderr}", file=sys.stderr)
print(f"windows-check: {len(entries) - len(failed)} of {len(entries)} translation units compile "
      f"for Windows")
sys.exit(1 if failed else 0)
EOF
