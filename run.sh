#!/bin/sh
# Sets up a fresh Debian 12 machine if needed, builds the soft front panel
# into build/ and starts it. Arguments go to the program (Qt options).
set -eu
cd "$(dirname "$0")"

scripts/setup-deps.sh build
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build --target cv4870fp -j "$(nproc)"

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "No display found (neither DISPLAY nor WAYLAND_DISPLAY is set)." >&2
    echo "Run it from a desktop session, or under a virtual X server: xvfb-run ./run.sh" >&2
    exit 1
fi
exec build/softfrontpanel/cv4870fp "$@"
